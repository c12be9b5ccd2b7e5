// The utility library's exceptions. All are copyable values derived from std::exception, made
// by the factories below (which record the calling thread's execution contexts) and thrown by
// value:
//
//   std::exception
//     KeldanException                      a failure with message, source place and contexts
//       KeldanComException                 ... carrying an HRESULT (GetHresult)
//       ExceptionInvalidArgumentNullPointer a null pointer where one is required (E_POINTER)
//       ExceptionDelayLoadDllLoadFailure   a delay-loaded module could not be loaded
//
// what() gives the message as UTF-8. Copies share the recorded details, so copying never
// throws.
#pragma once

#include <kldutil/cxstring.h>
#include <kldutil/executioncontext.h>
#include <kldutil/kldutilexport.h>

#include <windows.h>

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

// Which kinds of debug text a caller wants; empty means no particular kind.
class DebugMessageCategories {
public:
    constexpr DebugMessageCategories() noexcept = default;
    constexpr explicit DebugMessageCategories(uint32_t mask) noexcept : m_mask(mask) {}
    constexpr uint32_t GetMask() const noexcept { return m_mask; }
    constexpr bool IsEmpty() const noexcept { return m_mask == 0; }

private:
    uint32_t m_mask = 0;
};

class KLDUTIL_API KeldanException : public std::exception {
public:
    KeldanException(const CXString& message, const char* file, int line, const char* function,
                    const ExecutionContextStack& contexts);
    KeldanException(const KeldanException&) noexcept = default;
    KeldanException& operator=(const KeldanException&) noexcept = default;
    ~KeldanException() override;

    const char* what() const noexcept override;
    // The class name, e.g. "KeldanComException".
    virtual const char* GetTypeName() const noexcept;
    // The HRESULT that best describes the failure (E_FAIL for the base class).
    virtual HRESULT GetHresult() const noexcept;

    const CXString& GetMessage() const noexcept;
    const char* GetFile() const noexcept;
    int GetLine() const noexcept;
    const char* GetFunction() const noexcept;
    // The execution contexts of the throwing thread when the exception was made, outermost
    // first.
    const std::vector<CXString>& GetContexts() const noexcept;

    // Asked at a throw site before the exception is made; true means "break into the
    // debugger now". Writes text and the source place as one line to the debug output. It
    // answers true only when throwSite is true and the environment variable
    // FILTERUTILITIES_EXCEPTION_DEBUG asks for it: "1" or "all" for every exception type, or a
    // comma-separated list of type names.
    static bool AllowForExceptionDebug(const char* exceptionType, const CXString& text,
                                       const char* file, int line, const char* function,
                                       bool throwSite, const ExecutionContextStack& contexts,
                                       const DebugMessageCategories& categories);

    // Reports a caught exception as one line on the debug output: the exception's type and
    // HRESULT, where it was caught (file, line, function), where it was thrown and its
    // message for a KeldanException, and the execution contexts. exception may be null (an
    // exception of unknown type). There is no user interface here, so showToUser and window
    // are not used; recovered says the caller carries on after the failure. caption and
    // detail, when not empty, are added to the line. Never throws.
    static void DisplayExceptionMessage(bool showToUser, bool recovered,
                                        const std::exception* exception, const char* file, int line,
                                        const char* function, const ExecutionContextStack& contexts,
                                        HWND window, const CXString& caption,
                                        const CXString& detail) noexcept;

private:
    struct Details;
    std::shared_ptr<const Details> m_details;
};

class KLDUTIL_API KeldanComException : public KeldanException {
public:
    KeldanComException(const CXString& message, const char* file, int line, const char* function,
                       const ExecutionContextStack& contexts, HRESULT hr);
    const char* GetTypeName() const noexcept override;
    HRESULT GetHresult() const noexcept override;

private:
    HRESULT m_hr;
};

class KLDUTIL_API ExceptionInvalidArgumentNullPointer : public KeldanException {
public:
    using KeldanException::KeldanException;
    const char* GetTypeName() const noexcept override;
    HRESULT GetHresult() const noexcept override; // E_POINTER
};

class KLDUTIL_API ExceptionDelayLoadDllLoadFailure : public KeldanException {
public:
    using KeldanException::KeldanException;
    const char* GetTypeName() const noexcept override;
    HRESULT GetHresult() const noexcept override; // HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND)
};

KLDUTIL_API KeldanComException GetKeldanComException(const CXString& message, const char* file,
                                                     int line, const char* function,
                                                     const ExecutionContextStack& contexts,
                                                     HRESULT hr);
KLDUTIL_API ExceptionInvalidArgumentNullPointer
GetExceptionInvalidArgumentNullPointer(const CXString& message, const char* file, int line,
                                       const char* function, const ExecutionContextStack& contexts);
KLDUTIL_API ExceptionDelayLoadDllLoadFailure
GetExceptionDelayLoadDllLoadFailure(const CXString& message, const char* file, int line,
                                    const char* function, const ExecutionContextStack& contexts);
