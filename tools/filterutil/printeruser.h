// The printer a command asks and the user it asks as: the commands that query a printer's
// driver name one with --printer or take the default printer, and act as the current user, as
// a filter acts as the printing user.
#pragma once

#include "windows.h"

#include <optional>
#include <string>

namespace filterutil {

// The printer named (UTF-8), or the default printer when none is named. Throws ToolError
// (exit status 2), with the command's name in front, for a name that is not UTF-8 or empty,
// and for a printer the spooler cannot open.
std::u16string ResolvePrinter(const std::string& command, const std::optional<std::string>& name);

// The token of the user running the tool, for the library to impersonate.
class CurrentUserToken {
public:
    CurrentUserToken();
    ~CurrentUserToken();
    CurrentUserToken(const CurrentUserToken&) = delete;
    CurrentUserToken& operator=(const CurrentUserToken&) = delete;
    HANDLE Get() const { return token_; }

private:
    HANDLE token_ = nullptr;
};

} // namespace filterutil
