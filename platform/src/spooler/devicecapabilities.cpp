// DeviceCapabilitiesW: the driver's private queries, answered from the printer's description.
#include "printers.h"

#include "security/users.h"
#include "wingdi.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

namespace platform::spooler {
namespace {

constexpr size_t kFormNameOffset = 24;
constexpr size_t kFormNameUnits = (platformprinters::kFormRecordSize - kFormNameOffset) / 2 - 1;

int Fail(DWORD error) {
    SetLastError(error);
    return -1;
}

void Put16(unsigned char* at, uint16_t value) {
    at[0] = static_cast<unsigned char>(value);
    at[1] = static_cast<unsigned char>(value >> 8);
}

void Put32(unsigned char* at, int32_t value) {
    const auto bits = static_cast<uint32_t>(value);
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<unsigned char>(bits >> (8 * i));
    }
}

void WriteFormRecord(const platformprinters::Form& form, unsigned char* record) {
    std::memset(record, 0, platformprinters::kFormRecordSize);
    Put16(record, form.number);
    Put32(record + 4, form.width);
    Put32(record + 8, form.height);
    Put32(record + 12, form.paperSizeId);
    Put32(record + 20, form.kind);
    const size_t units = std::min(form.name.size(), kFormNameUnits);
    for (size_t i = 0; i < units; ++i) {
        Put16(record + kFormNameOffset + 2 * i, form.name[i]);
    }
}

} // namespace
} // namespace platform::spooler

extern "C" int WINAPI DeviceCapabilitiesW(LPCWSTR device, LPCWSTR, WORD capability, LPWSTR output,
                                          const DEVMODEW*) {
    using namespace platform::spooler;
    platform::security::RecordCall("DeviceCapabilitiesW");
    if (!device || !*device) {
        return Fail(ERROR_INVALID_PRINTER_NAME);
    }
    if (capability != platformprinters::kFormsCapability &&
        capability != platformprinters::kMarginsCapability) {
        return Fail(ERROR_NOT_SUPPORTED);
    }
    Printer printer;
    try {
        printer = platformprinters::FindPrinter(device);
    } catch (const std::bad_alloc&) {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    if (!printer) {
        return Fail(ERROR_INVALID_PRINTER_NAME);
    }
    auto* bytes = reinterpret_cast<unsigned char*>(output);
    if (capability == platformprinters::kMarginsCapability) {
        if (bytes) {
            const platformprinters::Margins& m = printer->margins;
            Put32(bytes, m.left);
            Put32(bytes + 4, m.top);
            Put32(bytes + 8, m.right);
            Put32(bytes + 12, m.bottom);
        }
        return 16;
    }
    if (printer->forms.size() > static_cast<size_t>(INT_MAX)) {
        return Fail(ERROR_NOT_SUPPORTED);
    }
    if (bytes) {
        for (const platformprinters::Form& form : printer->forms) {
            WriteFormRecord(form, bytes);
            bytes += platformprinters::kFormRecordSize;
        }
    }
    return static_cast<int>(printer->forms.size());
}
