// The one error the tool reports: a line on standard error and an exit status.
#pragma once

#include <stdexcept>
#include <string>

namespace filterutil {

enum ExitStatus {
    kExitOk = 0,
    kExitFailure = 1,  // the library failed on good input
    kExitBadInput = 2, // unreadable input, not Print Schema, or a bad command line
};

class ToolError : public std::runtime_error {
public:
    explicit ToolError(const std::string& message, int status = kExitBadInput)
        : std::runtime_error(message), status_(status) {}
    int Status() const noexcept { return status_; }

private:
    int status_;
};

} // namespace filterutil
