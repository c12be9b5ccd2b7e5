#include <kldutil/keldanutilities.h>

#include <kldutil/printfformat.h>
#include <kldutil/raise.h>

#include <string>
#include <utility>

namespace {

template <class Char>
CXString SafeFormat(const Char* format, va_list args) {
    if (!format) {
        kldutil::RaiseNullPointer(__FILE__, __LINE__, "KeldanUtilities::SafeFormatString");
    }
    std::u16string text;
    if (kldutil::AppendFormatV(text, format, args, kldutil::NullStrings::Refuse) !=
        kldutil::FormatResult::Ok) {
        kldutil::RaiseComError(E_INVALIDARG, __FILE__, __LINE__,
                               "KeldanUtilities::SafeFormatString");
    }
    return CXString(std::move(text));
}

} // namespace

CXString KeldanUtilities::SafeFormatString(const char* format, ...) {
    va_list args;
    va_start(args, format);
    try {
        CXString text = SafeFormat(format, args);
        va_end(args);
        return text;
    } catch (...) {
        va_end(args);
        throw;
    }
}

CXString KeldanUtilities::SafeFormatString(const WCHAR* format, ...) {
    va_list args;
    va_start(args, format);
    try {
        CXString text = SafeFormat(format, args);
        va_end(args);
        return text;
    } catch (...) {
        va_end(args);
        throw;
    }
}

CXString KeldanUtilities::SafeFormatStringV(const char* format, va_list args) {
    return SafeFormat(format, args);
}

CXString KeldanUtilities::SafeFormatStringV(const WCHAR* format, va_list args) {
    return SafeFormat(format, args);
}
