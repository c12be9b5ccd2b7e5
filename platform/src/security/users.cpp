#include "users.h"

#include "handletable.h"
#include "platformsecurity.h"
#include "platformtest.h"
#include "textutf.h"

#include <cstdlib>
#include <mutex>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace platform::security {
namespace {

using platform::Utf16;
using platform::Utf8;

platform::HandleTable<const UserIdentity>& Tokens() {
    static platform::HandleTable<const UserIdentity> table;
    return table;
}

struct ThreadImpersonation {
    HANDLE handle = nullptr;
    User user;
};
thread_local ThreadImpersonation impersonation;

std::string WithoutTrailingSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

// The password database entry of a user, by name or by id.
struct PasswdEntry {
    std::string name;
    std::string home;
};

bool ReadPasswd(const char* name, uid_t uid, PasswdEntry& out) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    const int error = name ? getpwnam_r(name, &entry, buffer.data(), buffer.size(), &found)
                           : getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
    if (error != 0 || !found) {
        return false;
    }
    out.name = found->pw_name ? found->pw_name : "";
    out.home = found->pw_dir ? found->pw_dir : "";
    return true;
}

User MakeProcessUser() {
    PasswdEntry entry;
    const bool known = ReadPasswd(nullptr, geteuid(), entry);
    auto identity = std::make_shared<UserIdentity>();
    const char* user = std::getenv("USER");
    identity->name =
        Utf16(known ? entry.name : (user && *user ? user : "uid" + std::to_string(geteuid())));
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    const char* home = std::getenv("HOME");
    if (dataHome && dataHome[0] == '/') {
        identity->appDataFolder = WithoutTrailingSlash(dataHome);
    } else {
        const std::string base = home && home[0] == '/' ? home : (known ? entry.home : "/");
        identity->appDataFolder = WithoutTrailingSlash(base) + "/.local/share";
    }
    return identity;
}

struct CallLog {
    std::mutex lock;
    int listeners = 0;
    std::vector<platformtest::ImpersonationLog::Entry> entries;
};

CallLog& Log() {
    static CallLog log;
    return log;
}

void Record(const char* call, const User& user) {
    CallLog& log = Log();
    std::lock_guard guard(log.lock);
    if (log.listeners > 0) {
        log.entries.push_back({call, user ? user->name : std::u16string()});
    }
}

} // namespace

HANDLE OpenToken(User user) {
    return Tokens().Open(std::move(user));
}

User FindToken(HANDLE token) {
    return Tokens().Find(token);
}

bool CloseToken(HANDLE token) {
    return Tokens().Close(token);
}

size_t OpenTokenCount() {
    return Tokens().Count();
}

User ProcessUser() {
    static const User user = MakeProcessUser();
    return user;
}

User LookUpUser(std::u16string_view name) {
    const std::string narrow = Utf8(name);
    if (narrow.empty() || narrow.find('\0') != std::string::npos) {
        return nullptr;
    }
    PasswdEntry entry;
    if (!ReadPasswd(narrow.c_str(), 0, entry)) {
        return nullptr;
    }
    if (entry.name == Utf8(ProcessUser()->name)) {
        return ProcessUser();
    }
    auto identity = std::make_shared<UserIdentity>();
    identity->name = Utf16(entry.name);
    identity->appDataFolder =
        WithoutTrailingSlash(entry.home.empty() ? "/" : entry.home) + "/.local/share";
    return identity;
}

User ThreadUser() {
    return impersonation.user;
}

HANDLE ThreadTokenHandle() {
    return impersonation.handle;
}

void Impersonate(HANDLE handle, User user) {
    impersonation.handle = user ? handle : nullptr;
    impersonation.user = std::move(user);
    RecordImpersonationChange(impersonation.user);
}

User EffectiveUser() {
    return impersonation.user ? impersonation.user : ProcessUser();
}

void RecordCall(const char* call) {
    Record(call, impersonation.user);
}

void RecordImpersonationChange(const User& user) {
    Record("SetThreadToken", user);
}

} // namespace platform::security

namespace platformtest {

HANDLE CreateTestUserToken(const std::u16string& userName, const std::string& appDataFolder) {
    auto identity = std::make_shared<platform::security::UserIdentity>();
    identity->name = userName;
    identity->appDataFolder = appDataFolder;
    return platform::security::OpenToken(std::move(identity));
}

size_t OpenTokenCount() {
    return platform::security::OpenTokenCount();
}

HANDLE CurrentThreadToken() {
    return platform::security::ThreadTokenHandle();
}

ImpersonationLog::ImpersonationLog() {
    auto& log = platform::security::Log();
    std::lock_guard guard(log.lock);
    if (log.listeners++ == 0) {
        log.entries.clear();
    }
}

ImpersonationLog::~ImpersonationLog() {
    auto& log = platform::security::Log();
    std::lock_guard guard(log.lock);
    if (--log.listeners == 0) {
        log.entries.clear();
    }
}

std::vector<ImpersonationLog::Entry> ImpersonationLog::Entries() const {
    auto& log = platform::security::Log();
    std::lock_guard guard(log.lock);
    return log.entries;
}

} // namespace platformtest
