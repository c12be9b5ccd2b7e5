#include "printeruser.h"

#include "text.h"
#include "toolerror.h"

#include <handleapi.h>
#include <processthreadsapi.h>
#include <winspool.h>

namespace filterutil {

std::u16string ResolvePrinter(const std::string& command, const std::optional<std::string>& name) {
    std::u16string printer;
    if (name) {
        const auto wide = FromUtf8Strict(*name);
        if (!wide || wide->empty()) {
            throw ToolError(command + ": \"" + Printable(*name) + "\" cannot name a printer");
        }
        printer = *wide;
    } else {
        WCHAR defaultName[256] = {};
        DWORD size = 256;
        if (!GetDefaultPrinterW(defaultName, &size)) {
            throw ToolError(command + ": there is no default printer; name one with --printer");
        }
        printer.assign(defaultName, size - 1);
    }
    HANDLE handle = nullptr;
    if (!OpenPrinterW(printer.data(), &handle, nullptr)) {
        throw ToolError(command + ": no printer is named \"" + Printable(ToUtf8(printer)) +
                        "\" (see filterutil printers)");
    }
    ClosePrinter(handle);
    return printer;
}

CurrentUserToken::CurrentUserToken() {
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_IMPERSONATE | TOKEN_QUERY, &token_)) {
        throw ToolError("cannot act as the current user (" +
                            HexCode(HRESULT_FROM_WIN32(GetLastError())) + ")",
                        kExitFailure);
    }
}

CurrentUserToken::~CurrentUserToken() {
    CloseHandle(token_);
}

} // namespace filterutil
