// How FilterUtilities fails, written once.
//
// Throwing. Every throw site goes through one throw step with the site's function, file and
// line: FU_THROW_HR(hr) and the macros built on it raise KeldanComException carrying hr;
// FU_THROW_INVALID_ARGUMENT_NULL_POINTER() and FU_THROW_DELAY_LOAD_FAILURE() raise the other
// two exception types of the utility library. The step formats the (always empty) message,
// announces the throw through KeldanException::AllowForExceptionDebug, breaks into the
// debugger when that asks for it, and throws the exception made by the utility library's
// factory.
//
// Catching. An operation that returns an HRESULT and calls code that may throw wraps its body
// in CatchComException: a KeldanComException becomes its HRESULT; everything else (allocation
// failure, standard exceptions, ATL::CAtlException) passes on. The pipeline entry points wrap
// theirs in CatchAtPipelineEntryPoint (or FU_PIPELINE_ENTRY_POINT), which lets nothing
// escape: every exception is reported and becomes E_FAIL.
#pragma once

#include <filterutilities/filterutilitiesexport.h>

#include <kldutil/keldanexception.h>

#include <gdiplus.h>
#include <windows.h>

#include <exception>
#include <new>
#include <string>
#include <utility>

namespace FilterUtilities {

enum class ExceptionKind {
    KeldanCom,                  // KeldanComException carrying the HRESULT
    InvalidArgumentNullPointer, // ExceptionInvalidArgumentNullPointer
    DelayLoadDllLoadFailure,    // ExceptionDelayLoadDllLoadFailure
};

// The message of a throw whose message could not be formatted.
inline constexpr char kUnformattableMessage[] =
    "A message argument was supplied, but the resulting string is empty. The argument list for "
    "this message causes a crash. Some code that executes to marshal the arguments to pass to "
    "the format string method causes a crash (e.g., a NULL pointer indirection). Look at the "
    "message arguments at the file and line number indicated above.";

// The throw step. function may be a plain qualified name or a __PRETTY_FUNCTION__ signature,
// from which the qualified name is taken. hr is used by ExceptionKind::KeldanCom only. The
// message comes from KeldanUtilities::SafeFormatString with messageFormat and the arguments
// that follow it; when that throws, the message is kUnformattableMessage.
[[noreturn]] FILTERUTILITIES_API void ThrowAtSite(ExceptionKind kind, HRESULT hr, const char* file,
                                                  int line, const char* function,
                                                  const char* messageFormat, ...);

// "CSaxHandler::EscapeEntity" from "HRESULT CSaxHandler::EscapeEntity(const WCHAR*) const":
// the qualified name without return type, parameters or qualifiers. A text without a
// parameter list is answered as it is.
FILTERUTILITIES_API std::string QualifiedFunctionName(const char* signature);

// The report of the entry-point handlers: KeldanException::DisplayExceptionMessage with
// (false, false, exception, file, line, qualified function name, the calling thread's
// context stack, no window, "", ""). A null exception stands for one of unknown type; the
// bad_alloc form reports a freshly built std::bad_alloc whose message is "bad allocation".
// Neither throws.
FILTERUTILITIES_API void ReportAtPipelineEntryPoint(const std::exception* exception,
                                                    const char* file, int line,
                                                    const char* function) noexcept;
FILTERUTILITIES_API void ReportBadAllocAtPipelineEntryPoint(const char* file, int line,
                                                            const char* function) noexcept;

} // namespace FilterUtilities

#define FU_THROW_HR(hr)                                                                            \
    ::FilterUtilities::ThrowAtSite(::FilterUtilities::ExceptionKind::KeldanCom, (hr), __FILE__,    \
                                   __LINE__, __PRETTY_FUNCTION__, "")

// Evaluates expr once; throws its HRESULT when it is a failure.
#define FU_THROW_IF_FAILED(expr)                                                                   \
    do {                                                                                           \
        const HRESULT fuThrowIfFailedResult = (expr);                                              \
        if (FAILED(fuThrowIfFailedResult)) {                                                       \
            FU_THROW_HR(fuThrowIfFailedResult);                                                    \
        }                                                                                          \
    } while (false)

// Throws E_OUTOFMEMORY when an allocation gave null.
#define FU_THROW_IF_NULL_ALLOC(ptr)                                                                \
    do {                                                                                           \
        if ((ptr) == nullptr) {                                                                    \
            FU_THROW_HR(E_OUTOFMEMORY);                                                            \
        }                                                                                          \
    } while (false)

#define FU_THROW_INVALID_ARGUMENT_NULL_POINTER()                                                   \
    ::FilterUtilities::ThrowAtSite(::FilterUtilities::ExceptionKind::InvalidArgumentNullPointer,   \
                                   E_POINTER, __FILE__, __LINE__, __PRETTY_FUNCTION__, "")

#define FU_THROW_DELAY_LOAD_FAILURE()                                                              \
    ::FilterUtilities::ThrowAtSite(::FilterUtilities::ExceptionKind::DelayLoadDllLoadFailure,      \
                                   HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND), __FILE__, __LINE__,    \
                                   __PRETTY_FUNCTION__, "")

// The internal-operation catch: body() returns an HRESULT; a KeldanComException thrown by it
// becomes the exception's GetHresult(). Other exceptions pass on.
template <class Body>
HRESULT CatchComException(Body&& body) {
    try {
        return std::forward<Body>(body)();
    } catch (const KeldanComException& exception) {
        return exception.GetHresult();
    }
}

// The pipeline entry-point catch: body() returns an HRESULT. Whatever it throws is reported
// (std::bad_alloc first, then any standard exception, then anything else) and becomes E_FAIL;
// nothing of body runs after the throw.
template <class Body>
HRESULT CatchAtPipelineEntryPoint(const char* file, int line, const char* function,
                                  Body&& body) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (const std::bad_alloc&) {
        ::FilterUtilities::ReportBadAllocAtPipelineEntryPoint(file, line, function);
        return E_FAIL;
    } catch (const std::exception& exception) {
        ::FilterUtilities::ReportAtPipelineEntryPoint(&exception, file, line, function);
        return E_FAIL;
    } catch (...) {
        ::FilterUtilities::ReportAtPipelineEntryPoint(nullptr, file, line, function);
        return E_FAIL;
    }
}

// CatchAtPipelineEntryPoint with the calling site's file, line and function:
//   return FU_PIPELINE_ENTRY_POINT([&]() -> HRESULT { ...; return S_OK; });
#define FU_PIPELINE_ENTRY_POINT(...)                                                               \
    CatchAtPipelineEntryPoint(__FILE__, __LINE__, __PRETTY_FUNCTION__, __VA_ARGS__)

// The HRESULT of the calling thread's last Win32 error: 0 and negative values as they are, a
// positive error v as 0x80070000 | (v & 0xFFFF).
FILTERUTILITIES_API HRESULT GetLastErrorAsHResult();

// The HRESULT for a GDI+ status; unknown values, negative ones included, give E_FAIL.
// Win32Error gives GetLastErrorAsHResult(), or E_FAIL when the last error is 0.
FILTERUTILITIES_API HRESULT GetGDIStatusErrorAsHResult(Gdiplus::Status status);
