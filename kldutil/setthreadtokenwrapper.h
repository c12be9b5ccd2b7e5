// Runs the calling thread as another user for the lifetime of one object.
//
// Contract: the constructor makes the thread impersonate the token (a null token makes it run
// as itself) or throws KeldanComException with the Win32 error as HRESULT and changes nothing.
// The destructor gives the thread back the impersonation it had before the constructor ran
// (none, or the token of an enclosing wrapper), also when the scope is left by an exception.
// The wrapper keeps its own handle to that earlier token and closes it; the caller keeps
// ownership of the token passed in, which must stay open for the lifetime of the wrapper.
// A wrapper belongs to the thread that made it and must be destroyed on that thread.
#pragma once

#include <kldutil/kldutilexport.h>

#include <windows.h>

class KLDUTIL_API SetThreadTokenWrapper {
public:
    explicit SetThreadTokenWrapper(HANDLE token);
    ~SetThreadTokenWrapper();
    SetThreadTokenWrapper(const SetThreadTokenWrapper&) = delete;
    SetThreadTokenWrapper& operator=(const SetThreadTokenWrapper&) = delete;

    // Whether the calling thread runs as another user now.
    static bool IsThisThreadImpersonating();

private:
    HANDLE m_previous = nullptr; // the thread's earlier token, a handle of our own, or null
};
