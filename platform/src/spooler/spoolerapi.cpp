// The winspool calls: printer handles, the default printer, a printer's driver and the driver
// directory.
#include "printers.h"

#include "handletable.h"
#include "security/users.h"
#include "textutf.h"
#include "winspool.h"

#include <cstring>

namespace platform::spooler {
namespace {

HandleTable<const platformprinters::PrinterDescription>& Handles() {
    static HandleTable<const platformprinters::PrinterDescription> table;
    return table;
}

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

bool SameAscii(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b) {
        const char x = (*a >= 'A' && *a <= 'Z') ? static_cast<char>(*a - 'A' + 'a') : *a;
        const char y = (*b >= 'A' && *b <= 'Z') ? static_cast<char>(*b - 'A' + 'a') : *b;
        if (x != y) {
            return false;
        }
    }
    return *a == *b;
}

} // namespace

HANDLE OpenPrinterHandle(Printer printer) {
    return Handles().Open(std::move(printer));
}

Printer FindPrinterHandle(HANDLE handle) {
    return Handles().Find(handle);
}

bool ClosePrinterHandle(HANDLE handle) {
    return Handles().Close(handle);
}

} // namespace platform::spooler

namespace platformprinters {
Printer PrinterOfHandle(HANDLE printer) {
    return platform::spooler::FindPrinterHandle(printer);
}
} // namespace platformprinters

using platform::spooler::Fail;
using platform::spooler::SameAscii;

extern "C" {

BOOL WINAPI OpenPrinterW(LPWSTR printerName, LPHANDLE printer, LPPRINTER_DEFAULTSW) {
    platform::security::RecordCall("OpenPrinterW");
    if (!printer) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    *printer = nullptr;
    if (!printerName || !*printerName) {
        return Fail(ERROR_INVALID_PRINTER_NAME);
    }
    platform::spooler::Printer found;
    try {
        found = platformprinters::FindPrinter(printerName);
    } catch (const std::bad_alloc&) {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    if (!found) {
        return Fail(ERROR_INVALID_PRINTER_NAME);
    }
    HANDLE handle = platform::spooler::OpenPrinterHandle(std::move(found));
    if (!handle) {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    *printer = handle;
    return TRUE;
}

BOOL WINAPI ClosePrinter(HANDLE printer) {
    return platform::spooler::ClosePrinterHandle(printer) ? TRUE : Fail(ERROR_INVALID_HANDLE);
}

BOOL WINAPI GetDefaultPrinterW(LPWSTR buffer, LPDWORD size) {
    if (!size) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    return platform::CopyOutText(platformprinters::kBuiltinPrinterName, buffer, size);
}

BOOL WINAPI GetPrinterDriverW(HANDLE printer, LPWSTR environment, DWORD level, LPBYTE driverInfo,
                              DWORD bufferSize, LPDWORD needed) {
    platform::security::RecordCall("GetPrinterDriverW");
    const platform::spooler::Printer found = platform::spooler::FindPrinterHandle(printer);
    if (!found) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (environment && *environment &&
        !SameAscii(platform::Utf8(environment).c_str(), "Windows x64")) {
        return Fail(ERROR_INVALID_ENVIRONMENT);
    }
    if (level != 1) {
        return Fail(ERROR_INVALID_LEVEL);
    }
    if (!needed) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    const std::u16string& name = found->driverName;
    const size_t nameBytes = (name.size() + 1) * sizeof(WCHAR);
    *needed = static_cast<DWORD>(sizeof(DRIVER_INFO_1W) + nameBytes);
    if (bufferSize < *needed) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    if (!driverInfo) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    auto* text = reinterpret_cast<WCHAR*>(driverInfo + sizeof(DRIVER_INFO_1W));
    std::memcpy(text, name.c_str(), nameBytes);
    DRIVER_INFO_1W info{text};
    std::memcpy(driverInfo, &info, sizeof info);
    return TRUE;
}

BOOL WINAPI GetPrinterDriverDirectoryA(LPSTR serverName, LPSTR environment, DWORD level,
                                       LPBYTE driverDirectory, DWORD bufferSize, LPDWORD needed) {
    platform::security::RecordCall("GetPrinterDriverDirectoryA");
    if (serverName && *serverName) {
        return Fail(ERROR_INVALID_NAME);
    }
    if (environment && *environment && !SameAscii(environment, "Windows x64")) {
        return Fail(ERROR_INVALID_ENVIRONMENT);
    }
    if (level != 1) {
        return Fail(ERROR_INVALID_LEVEL);
    }
    if (!needed) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    const std::string& folder = platform::spooler::MachineDriverDirectory();
    *needed = static_cast<DWORD>(folder.size() + 1);
    if (bufferSize < *needed) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    if (!driverDirectory) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    std::memcpy(driverDirectory, folder.c_str(), folder.size() + 1);
    return TRUE;
}

} // extern "C"
