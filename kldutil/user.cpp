#include <kldutil/user.h>

#include <kldutil/executioncontext.h>

#include <handleapi.h>
#include <processthreadsapi.h>
#include <shlobj.h>

ExceptionUserFailure::ExceptionUserFailure(const CXString& message, const char* file, int line,
                                           const char* function,
                                           const ExecutionContextStack& contexts, HRESULT hr)
    : KeldanException(message, file, line, function, contexts), m_hr(hr) {}

const char* ExceptionUserFailure::GetTypeName() const noexcept {
    return "ExceptionUserFailure";
}

HRESULT ExceptionUserFailure::GetHresult() const noexcept {
    return m_hr;
}

User::User(const WCHAR* applicationName)
    : m_applicationName(applicationName ? applicationName : u"") {
    if (OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &m_token)) {
        return;
    }
    if (GetLastError() == ERROR_NO_TOKEN &&
        OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &m_token)) {
        return;
    }
    m_token = nullptr;
    Raise("cannot open the user's token", HRESULT_FROM_WIN32(GetLastError()), __LINE__, __func__);
}

User::~User() {
    CloseHandle(m_token);
}

CXString User::GetUserApplicationDirectory() const {
    WCHAR path[MAX_PATH];
    const HRESULT hr = SHGetFolderPathW(nullptr, CSIDL_APPDATA, m_token, SHGFP_TYPE_CURRENT, path);
    if (FAILED(hr)) {
        Raise("the user has no application data folder", hr, __LINE__, __func__);
    }
    return CXString(path);
}

void User::Raise(const char* what, HRESULT hr, int line, const char* function) const {
    CXString message;
    message.Format(u"%s: %s", m_applicationName.GetString(), CXString(what).GetString());
    throw ExceptionUserFailure(message, __FILE__, line, function,
                               UtilitiesDllPerThreadStorage::GetExecutionContextStack(), hr);
}
