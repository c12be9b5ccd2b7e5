#include <kldutil/printdriver.h>

#include <kldutil/raise.h>

#include <winspool.h>

#include <vector>

CXString PrintDriver::GetDriverName(HANDLE printer) {
    DWORD needed = 0;
    std::vector<DRIVER_INFO_1W> info;
    // The first call learns the size; a driver changed in between asks for another round.
    while (!GetPrinterDriverW(printer, nullptr, 1, reinterpret_cast<LPBYTE>(info.data()),
                              static_cast<DWORD>(info.size() * sizeof(DRIVER_INFO_1W)), &needed)) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER ||
            needed <= info.size() * sizeof(DRIVER_INFO_1W)) {
            kldutil::RaiseComError(HRESULT_FROM_WIN32(GetLastError()), __FILE__, __LINE__,
                                   __func__);
        }
        info.resize((needed + sizeof(DRIVER_INFO_1W) - 1) / sizeof(DRIVER_INFO_1W));
    }
    return CXString(info.front().pName);
}
