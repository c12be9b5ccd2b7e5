#include <filterutilities/errorconvention.h>

#include <kldutil/executioncontext.h>
#include <kldutil/keldanutilities.h>

#include <cstdarg>
#include <string_view>

namespace FilterUtilities {
namespace {

const char* TypeName(ExceptionKind kind) noexcept {
    switch (kind) {
    case ExceptionKind::InvalidArgumentNullPointer:
        return "ExceptionInvalidArgumentNullPointer";
    case ExceptionKind::DelayLoadDllLoadFailure:
        return "ExceptionDelayLoadDllLoadFailure";
    case ExceptionKind::KeldanCom:
        break;
    }
    return "KeldanComException";
}

bool IsIdentifierChar(char c) noexcept {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// The std::bad_alloc that the entry-point handler reports, with the message its callers know.
class BadAllocation : public std::bad_alloc {
public:
    const char* what() const noexcept override { return "bad allocation"; }
};

} // namespace

std::string QualifiedFunctionName(const char* signature) {
    if (!signature) {
        return {};
    }
    const std::string_view text(signature);
    size_t nameStart = 0;
    size_t nameEnd = text.size();
    int angles = 0;
    for (size_t i = 0; i < text.size();) {
        if (text.substr(i).starts_with("(anonymous namespace)")) {
            i += std::string_view("(anonymous namespace)").size();
            continue;
        }
        if (text.substr(i).starts_with("operator") && (i == 0 || !IsIdentifierChar(text[i - 1])) &&
            (i + 8 == text.size() || !IsIdentifierChar(text[i + 8]))) {
            // The operator's own symbol may hold <, >, ( or blanks ("operator<<", "operator()",
            // "operator new[]", "operator const char*"): it runs up to its parameter list.
            i += 8;
            if (text.substr(i).starts_with("()")) {
                i += 2;
            }
            while (i < text.size() && text[i] != '(') {
                ++i;
            }
            nameEnd = i;
            break;
        }
        const char c = text[i];
        if (c == '<') {
            ++angles;
        } else if (c == '>' && angles > 0) {
            --angles;
        } else if (angles == 0 && c == '(') {
            nameEnd = i;
            break;
        } else if (angles == 0 && c == ' ') {
            nameStart = i + 1; // what stands before the last blank is the return type
        }
        ++i;
    }
    while (nameStart < nameEnd && (text[nameStart] == '*' || text[nameStart] == '&')) {
        ++nameStart;
    }
    return std::string(text.substr(nameStart, nameEnd - nameStart));
}

void ThrowAtSite(ExceptionKind kind, HRESULT hr, const char* file, int line, const char* function,
                 const char* messageFormat, ...) {
    const std::string name = QualifiedFunctionName(function);

    CXString message;
    va_list args;
    va_start(args, messageFormat);
    try {
        message = KeldanUtilities::SafeFormatStringV(messageFormat, args);
    } catch (...) {
        message = kUnformattableMessage;
    }
    va_end(args);

    ExecutionContextStack& contexts = UtilitiesDllPerThreadStorage::GetExecutionContextStack();
    const char* typeName = TypeName(kind);
    const std::string announcement = std::string("*Throwing* ") + typeName + ": %s";
    const CXString text =
        KeldanUtilities::SafeFormatString(announcement.c_str(), message.ToUtf8().c_str());
    if (KeldanException::AllowForExceptionDebug(typeName, text, file, line, name.c_str(), true,
                                                contexts, DebugMessageCategories())) {
        DebugBreak();
    }

    switch (kind) {
    case ExceptionKind::InvalidArgumentNullPointer:
        throw GetExceptionInvalidArgumentNullPointer(message, file, line, name.c_str(), contexts);
    case ExceptionKind::DelayLoadDllLoadFailure:
        throw GetExceptionDelayLoadDllLoadFailure(message, file, line, name.c_str(), contexts);
    case ExceptionKind::KeldanCom:
        break;
    }
    throw GetKeldanComException(message, file, line, name.c_str(), contexts, hr);
}

void ReportAtPipelineEntryPoint(const std::exception* exception, const char* file, int line,
                                const char* function) noexcept {
    try {
        const std::string name = QualifiedFunctionName(function);
        KeldanException::DisplayExceptionMessage(
            false, false, exception, file, line, name.c_str(),
            UtilitiesDllPerThreadStorage::GetExecutionContextStack(), nullptr, CXString(),
            CXString());
    } catch (...) {
        // No memory for the function name: report with the text as given.
        KeldanException::DisplayExceptionMessage(
            false, false, exception, file, line, function,
            UtilitiesDllPerThreadStorage::GetExecutionContextStack(), nullptr, CXString(),
            CXString());
    }
}

void ReportBadAllocAtPipelineEntryPoint(const char* file, int line, const char* function) noexcept {
    const BadAllocation fresh;
    ReportAtPipelineEntryPoint(&fresh, file, line, function);
}

} // namespace FilterUtilities

HRESULT GetLastErrorAsHResult() {
    const HRESULT error = static_cast<HRESULT>(GetLastError());
    if (error <= 0) {
        return error;
    }
    return static_cast<HRESULT>(0x80070000u | (static_cast<uint32_t>(error) & 0xFFFFu));
}

HRESULT GetGDIStatusErrorAsHResult(Gdiplus::Status status) {
    switch (status) {
    case Gdiplus::Ok:
        return S_OK;
    case Gdiplus::InvalidParameter:
        return E_INVALIDARG;
    case Gdiplus::OutOfMemory:
    case Gdiplus::InsufficientBuffer:
        return E_OUTOFMEMORY;
    case Gdiplus::ObjectBusy:
        return E_PENDING;
    case Gdiplus::NotImplemented:
        return E_NOTIMPL;
    case Gdiplus::Win32Error: {
        // GDI+ failed; a thread whose last error is 0 must not turn that into success.
        const HRESULT hr = GetLastErrorAsHResult();
        return FAILED(hr) ? hr : E_FAIL;
    }
    case Gdiplus::FileNotFound:
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    case Gdiplus::AccessDenied:
        return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
    default:
        return E_FAIL;
    }
}
