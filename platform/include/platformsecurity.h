// The security stand-in's own calls, beside the Windows ones (SetThreadToken, OpenProcessToken,
// CloseHandle, GetUserNameW, SHGetFolderPathW). The library never calls these: the pipeline
// host uses PlatformLogonUserW to run a job as another user, tests use the platformtest part.
#pragma once

#include "windows.h"

#include <string>
#include <vector>

extern "C" {
// A token for the local user named userName, found in the system's user database; close it
// with CloseHandle. FALSE with ERROR_NO_SUCH_USER when there is no such user (no password is
// asked: the host already runs with the rights the job needs).
PLATFORM_EXPORT BOOL WINAPI PlatformLogonUserW(LPCWSTR userName, PHANDLE token);
}

namespace platformtest {

// A token for a made-up user with the given application data folder (UTF-8), for tests that
// need users other than the one running them. Close it with CloseHandle.
PLATFORM_EXPORT HANDLE CreateTestUserToken(const std::u16string& userName,
                                           const std::string& appDataFolder);

// The number of token handles open in the process: a test that opens tokens can check that
// it closed them all.
PLATFORM_EXPORT size_t OpenTokenCount();

// While alive, records every change of a thread's impersonation and every platform call that
// acts for a user (the PrintTicket API, the spooler), from any thread, in order. The user is
// the one the thread impersonated at the time, empty when it ran as itself; a SetThreadToken
// that reverts is recorded with an empty user.
class PLATFORM_EXPORT ImpersonationLog {
public:
    struct Entry {
        std::string call;
        std::u16string user;
        bool operator==(const Entry&) const = default;
    };

    ImpersonationLog();
    ~ImpersonationLog();
    ImpersonationLog(const ImpersonationLog&) = delete;
    ImpersonationLog& operator=(const ImpersonationLog&) = delete;

    std::vector<Entry> Entries() const;
};

} // namespace platformtest
