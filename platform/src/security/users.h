// Users and their tokens.
//
// Ownership: a token handle is held by a handle table (handletable.h) from OpenToken until
// CloseToken, so a stale or made-up handle is refused rather than followed. The user it names
// (User, a shared pointer to an immutable identity) is shared between the handles that name
// it and the threads that impersonate it: closing a handle never pulls the user from under a
// thread that still impersonates it. Impersonation is per thread and ends with the thread.
#pragma once

#include "windows.h"

#include <memory>
#include <string>
#include <string_view>

namespace platform::security {

struct UserIdentity {
    std::u16string name;
    std::string appDataFolder; // UTF-8 path, no trailing slash
};
using User = std::shared_ptr<const UserIdentity>;

// The table of open token handles. Thread-safe.
HANDLE OpenToken(User user);  // null when memory runs out
User FindToken(HANDLE token); // null when the handle is not open
bool CloseToken(HANDLE token);
size_t OpenTokenCount();

// The user the process runs as, from the environment (USER, HOME, XDG_DATA_HOME) and the
// user database; made once.
User ProcessUser();
// A local user by name from the user database; null when there is none.
User LookUpUser(std::u16string_view name);

// The calling thread's impersonation.
User ThreadUser(); // null when the thread runs as itself
HANDLE ThreadTokenHandle();
void Impersonate(HANDLE handle, User user); // a null user reverts
// The user the calling thread acts for: the impersonated one or the process user.
User EffectiveUser();

// Records a call made for a user in the test hooks' impersonation log (when one is alive).
void RecordCall(const char* call);
void RecordImpersonationChange(const User& user);

} // namespace platform::security
