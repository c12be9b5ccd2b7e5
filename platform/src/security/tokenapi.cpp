// The Win32 calls over users and tokens: SetThreadToken, the token openers, CloseHandle,
// GetUserNameW, SHGetFolderPathW and the host's PlatformLogonUserW.
#include "users.h"

#include "handleapi.h"
#include "platformsecurity.h"
#include "processthreadsapi.h"
#include "shlobj.h"
#include "textutf.h"
#include "winbase.h"

#include <cerrno>
#include <string>
#include <sys/stat.h>

namespace {

using platform::security::User;

const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
const HANDLE kCurrentThread = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2));

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

BOOL ReturnToken(User user, PHANDLE token) {
    HANDLE handle = platform::security::OpenToken(std::move(user));
    if (!handle) {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    *token = handle;
    return TRUE;
}

// mkdir -p, each missing folder private to the user as an application data folder is.
bool CreateFolders(const std::string& path) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string prefix = path.substr(0, slash);
        if (mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
            return false;
        }
        if (slash == std::string::npos) {
            break;
        }
    }
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

} // namespace

extern "C" {

BOOL WINAPI SetThreadToken(PHANDLE thread, HANDLE token) {
    if (thread != nullptr && *thread != kCurrentThread) {
        // Only the calling thread can be given a token here.
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (token == nullptr) {
        platform::security::Impersonate(nullptr, nullptr);
        return TRUE;
    }
    User user = platform::security::FindToken(token);
    if (!user) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    platform::security::Impersonate(token, std::move(user));
    return TRUE;
}

HANDLE WINAPI GetCurrentProcess() {
    return kCurrentProcess;
}

HANDLE WINAPI GetCurrentThread() {
    return kCurrentThread;
}

BOOL WINAPI OpenProcessToken(HANDLE process, DWORD, PHANDLE token) {
    if (!token) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    *token = nullptr;
    if (process != kCurrentProcess) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    return ReturnToken(platform::security::ProcessUser(), token);
}

BOOL WINAPI OpenThreadToken(HANDLE thread, DWORD, BOOL, PHANDLE token) {
    if (!token) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    *token = nullptr;
    if (thread != kCurrentThread) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    User user = platform::security::ThreadUser();
    if (!user) {
        return Fail(ERROR_NO_TOKEN);
    }
    return ReturnToken(std::move(user), token);
}

BOOL WINAPI CloseHandle(HANDLE object) {
    return platform::security::CloseToken(object) ? TRUE : Fail(ERROR_INVALID_HANDLE);
}

BOOL WINAPI GetUserNameW(LPWSTR buffer, LPDWORD size) {
    if (!size) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    return platform::CopyOutText(platform::security::EffectiveUser()->name, buffer, size);
}

HRESULT WINAPI SHGetFolderPathW(HWND, int folder, HANDLE token, DWORD, LPWSTR path) {
    if (!path) {
        return E_INVALIDARG;
    }
    path[0] = u'\0';
    if ((folder & ~CSIDL_FLAG_CREATE) != CSIDL_APPDATA) {
        return E_INVALIDARG;
    }
    User user = token ? platform::security::FindToken(token) : platform::security::EffectiveUser();
    if (!user) {
        return E_INVALIDARG;
    }
    const std::u16string text = platform::Utf16(user->appDataFolder);
    if (text.empty() || text.size() >= MAX_PATH) {
        return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    }
    if ((folder & CSIDL_FLAG_CREATE) && !CreateFolders(user->appDataFolder)) {
        return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
    }
    text.copy(path, text.size());
    path[text.size()] = u'\0';
    return S_OK;
}

BOOL WINAPI PlatformLogonUserW(LPCWSTR userName, PHANDLE token) {
    if (!userName || !token) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    *token = nullptr;
    User user = platform::security::LookUpUser(userName);
    if (!user) {
        return Fail(ERROR_NO_SUCH_USER);
    }
    return ReturnToken(std::move(user), token);
}

} // extern "C"
