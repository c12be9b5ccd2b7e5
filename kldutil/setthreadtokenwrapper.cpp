#include <kldutil/setthreadtokenwrapper.h>

#include <kldutil/raise.h>

#include <handleapi.h>
#include <processthreadsapi.h>

namespace {

[[noreturn]] void RaiseLastError(const char* function) {
    kldutil::RaiseComError(HRESULT_FROM_WIN32(GetLastError()), __FILE__, __LINE__, function);
}

} // namespace

SetThreadTokenWrapper::SetThreadTokenWrapper(HANDLE token) {
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_IMPERSONATE, TRUE, &m_previous)) {
        if (GetLastError() != ERROR_NO_TOKEN) {
            RaiseLastError(__func__);
        }
        m_previous = nullptr;
    }
    if (!SetThreadToken(nullptr, token)) {
        const DWORD error = GetLastError();
        if (m_previous) {
            CloseHandle(m_previous);
        }
        SetLastError(error);
        RaiseLastError(__func__);
    }
}

SetThreadTokenWrapper::~SetThreadTokenWrapper() {
    // Giving back a token the thread held a moment ago cannot be refused; reverting to self
    // never is.
    if (!SetThreadToken(nullptr, m_previous)) {
        SetThreadToken(nullptr, nullptr);
    }
    if (m_previous) {
        CloseHandle(m_previous);
    }
}

bool SetThreadTokenWrapper::IsThisThreadImpersonating() {
    HANDLE token = nullptr;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
        return false;
    }
    CloseHandle(token);
    return true;
}
