// The user the calling thread acts for when the object is made, and that user's folders.
//
// Contract: the constructor takes the thread's impersonation token, or the process token when
// the thread runs as itself, and keeps its own handle to it until destruction, so later calls
// answer for that user even after the thread's impersonation has changed. Failures throw
// ExceptionUserFailure.
#pragma once

#include <kldutil/cxstring.h>
#include <kldutil/keldanexception.h>
#include <kldutil/kldutilexport.h>

#include <windows.h>

// The user or one of the user's folders could not be found.
class KLDUTIL_API ExceptionUserFailure : public KeldanException {
public:
    ExceptionUserFailure(const CXString& message, const char* file, int line, const char* function,
                         const ExecutionContextStack& contexts, HRESULT hr);
    const char* GetTypeName() const noexcept override;
    HRESULT GetHresult() const noexcept override;

private:
    HRESULT m_hr;
};

class KLDUTIL_API User {
public:
    // applicationName names the component asking, for the messages of its failures.
    explicit User(const WCHAR* applicationName);
    ~User();
    User(const User&) = delete;
    User& operator=(const User&) = delete;

    // The user's application data folder (on Linux the XDG data folder), without a trailing
    // separator. The folder need not exist.
    CXString GetUserApplicationDirectory() const;

private:
    [[noreturn]] void Raise(const char* what, HRESULT hr, int line, const char* function) const;

    CXString m_applicationName;
    HANDLE m_token = nullptr;
};
