#include <kldutil/keldanexception.h>

#include <kldutil/raise.h>

#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <typeinfo>

struct KeldanException::Details {
    CXString message;
    std::string narrowMessage; // what()
    std::string file;
    int line = 0;
    std::string function;
    std::vector<CXString> contexts;
};

namespace {

std::string Hex32(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

// The readable name of an exception's dynamic type.
std::string TypeNameOf(const std::exception& exception) {
    if (const auto* keldan = dynamic_cast<const KeldanException*>(&exception)) {
        return keldan->GetTypeName();
    }
    if (dynamic_cast<const std::bad_alloc*>(&exception)) {
        return "std::bad_alloc";
    }
    const char* mangled = typeid(exception).name();
    int status = 0;
    char* readable = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    std::string name = status == 0 && readable ? readable : mangled;
    std::free(readable);
    return name;
}

HRESULT HresultOf(const std::exception* exception) {
    if (const auto* keldan = dynamic_cast<const KeldanException*>(exception)) {
        return keldan->GetHresult();
    }
    if (dynamic_cast<const std::bad_alloc*>(exception)) {
        return E_OUTOFMEMORY;
    }
    return E_FAIL;
}

std::string Place(const char* file, int line, const char* function) {
    std::string text = function && *function ? function : "?";
    text += " at ";
    text += file && *file ? file : "?";
    text += "(" + std::to_string(line) + ")";
    return text;
}

void AppendContexts(std::string& line, const std::vector<CXString>& contexts) {
    if (contexts.empty()) {
        return;
    }
    line += "; contexts:";
    for (const CXString& context : contexts) {
        line += " [" + context.ToUtf8() + "]";
    }
}

// FILTERUTILITIES_EXCEPTION_DEBUG: "1" or "all" for every type, else a comma-separated list of
// type names.
bool DebuggingAskedFor(const char* exceptionType) {
    const char* setting = std::getenv("FILTERUTILITIES_EXCEPTION_DEBUG");
    if (!setting || !*setting || std::strcmp(setting, "0") == 0) {
        return false;
    }
    const std::string_view all(setting);
    if (all == "1" || all == "all") {
        return true;
    }
    const std::string_view type(exceptionType ? exceptionType : "");
    size_t start = 0;
    while (start <= all.size()) {
        size_t end = all.find(',', start);
        if (end == std::string_view::npos) {
            end = all.size();
        }
        if (all.substr(start, end - start) == type) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

} // namespace

KeldanException::KeldanException(const CXString& message, const char* file, int line,
                                 const char* function, const ExecutionContextStack& contexts) {
    auto details = std::make_shared<Details>();
    details->message = message;
    details->narrowMessage = message.ToUtf8();
    details->file = file ? file : "";
    details->line = line;
    details->function = function ? function : "";
    details->contexts = contexts.Describe();
    m_details = std::move(details);
}

KeldanException::~KeldanException() = default;

const char* KeldanException::what() const noexcept {
    return m_details->narrowMessage.c_str();
}
const char* KeldanException::GetTypeName() const noexcept {
    return "KeldanException";
}
HRESULT KeldanException::GetHresult() const noexcept {
    return E_FAIL;
}
const CXString& KeldanException::GetMessage() const noexcept {
    return m_details->message;
}
const char* KeldanException::GetFile() const noexcept {
    return m_details->file.c_str();
}
int KeldanException::GetLine() const noexcept {
    return m_details->line;
}
const char* KeldanException::GetFunction() const noexcept {
    return m_details->function.c_str();
}
const std::vector<CXString>& KeldanException::GetContexts() const noexcept {
    return m_details->contexts;
}

bool KeldanException::AllowForExceptionDebug(const char* exceptionType, const CXString& text,
                                             const char* file, int line, const char* function,
                                             bool throwSite, const ExecutionContextStack& contexts,
                                             const DebugMessageCategories& categories) {
    std::string message = text.ToUtf8() + " [" + Place(file, line, function) + "]";
    if (!categories.IsEmpty()) {
        message += " categories " + Hex32(categories.GetMask());
    }
    AppendContexts(message, contexts.Describe());
    message += "\n";
    OutputDebugStringA(message.c_str());
    return throwSite && DebuggingAskedFor(exceptionType);
}

void KeldanException::DisplayExceptionMessage(bool /*showToUser*/, bool recovered,
                                              const std::exception* exception, const char* file,
                                              int line, const char* function,
                                              const ExecutionContextStack& contexts,
                                              HWND /*window*/, const CXString& caption,
                                              const CXString& detail) noexcept {
    try {
        std::string text = recovered ? "Recovered from " : "Caught ";
        text += exception ? TypeNameOf(*exception) : std::string("an exception of unknown type");
        text += " (HRESULT " + Hex32(static_cast<uint32_t>(HresultOf(exception))) + ") in ";
        text += Place(file, line, function);
        std::vector<CXString> thrownIn;
        if (const auto* keldan = dynamic_cast<const KeldanException*>(exception)) {
            text +=
                ", thrown in " + Place(keldan->GetFile(), keldan->GetLine(), keldan->GetFunction());
            thrownIn = keldan->GetContexts();
        }
        if (exception) {
            text += ": ";
            text += exception->what();
        }
        if (!caption.IsEmpty()) {
            text += "; " + caption.ToUtf8();
        }
        if (!detail.IsEmpty()) {
            text += "; " + detail.ToUtf8();
        }
        AppendContexts(text, thrownIn.empty() ? contexts.Describe() : thrownIn);
        text += "\n";
        OutputDebugStringA(text.c_str());
    } catch (...) {
        // Out of memory while describing: say at least that something was caught.
        OutputDebugStringA("Caught an exception; no memory to describe it\n");
    }
}

KeldanComException::KeldanComException(const CXString& message, const char* file, int line,
                                       const char* function, const ExecutionContextStack& contexts,
                                       HRESULT hr)
    : KeldanException(message, file, line, function, contexts), m_hr(hr) {}

const char* KeldanComException::GetTypeName() const noexcept {
    return "KeldanComException";
}
HRESULT KeldanComException::GetHresult() const noexcept {
    return m_hr;
}

const char* ExceptionInvalidArgumentNullPointer::GetTypeName() const noexcept {
    return "ExceptionInvalidArgumentNullPointer";
}
HRESULT ExceptionInvalidArgumentNullPointer::GetHresult() const noexcept {
    return E_POINTER;
}

const char* ExceptionDelayLoadDllLoadFailure::GetTypeName() const noexcept {
    return "ExceptionDelayLoadDllLoadFailure";
}
HRESULT ExceptionDelayLoadDllLoadFailure::GetHresult() const noexcept {
    return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
}

KeldanComException GetKeldanComException(const CXString& message, const char* file, int line,
                                         const char* function,
                                         const ExecutionContextStack& contexts, HRESULT hr) {
    return KeldanComException(message, file, line, function, contexts, hr);
}

ExceptionInvalidArgumentNullPointer
GetExceptionInvalidArgumentNullPointer(const CXString& message, const char* file, int line,
                                       const char* function,
                                       const ExecutionContextStack& contexts) {
    return ExceptionInvalidArgumentNullPointer(message, file, line, function, contexts);
}

ExceptionDelayLoadDllLoadFailure
GetExceptionDelayLoadDllLoadFailure(const CXString& message, const char* file, int line,
                                    const char* function, const ExecutionContextStack& contexts) {
    return ExceptionDelayLoadDllLoadFailure(message, file, line, function, contexts);
}

namespace kldutil {

void RaiseComError(HRESULT hr, const char* file, int line, const char* function) {
    throw GetKeldanComException(CXString(), file, line, function,
                                UtilitiesDllPerThreadStorage::GetExecutionContextStack(), hr);
}

void RaiseNullPointer(const char* file, int line, const char* function) {
    throw GetExceptionInvalidArgumentNullPointer(
        CXString(), file, line, function, UtilitiesDllPerThreadStorage::GetExecutionContextStack());
}

} // namespace kldutil
