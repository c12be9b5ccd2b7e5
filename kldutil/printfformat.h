// The printf-style formatter behind CXString::Format and KeldanUtilities::SafeFormatString.
// It writes UTF-16 directly; nothing goes through wchar_t, which is 32-bit here.
//
// Conversions: %d %i %u %x %X %o %c %C %s %S %f %F %e %E %g %G %p and %%, with the flags
// - + blank # 0, a width and a precision (numbers or *). Argument sizes follow Windows, where
// long is 32-bit: no modifier and l read 32-bit values, ll and I64 read 64-bit ones, h and hh
// narrow them, z, t and I read pointer-sized ones, j intmax_t.
// Strings: in a wide format %s takes const WCHAR* and %S a narrow string; in a narrow format
// %s takes a narrow string and %S const WCHAR*; hs and ls (or ws) force narrow and wide.
// Narrow strings are UTF-8. Widths and precisions count UTF-16 code units; a precision never
// cuts a surrogate pair in two.
// Refused: %n, %a, # with %g, an unknown conversion and a format ending inside a conversion.
#pragma once

#include <windows.h>

#include <cstdarg>
#include <string>

namespace kldutil {

enum class FormatResult {
    Ok,
    InvalidFormat, // the format itself is malformed or asks for a refused conversion
    NullString,    // a %s argument was null and the caller refuses that
};

enum class NullStrings {
    AsEmpty, // a null string argument formats as empty text, as a null BSTR is empty
    Refuse,  // a null string argument stops formatting with FormatResult::NullString
};

// Appends the formatted text to out. On a result other than Ok, out holds an unspecified
// prefix of the text; callers format into a scratch string.
FormatResult AppendFormatV(std::u16string& out, const WCHAR* format, va_list args,
                           NullStrings nulls);
FormatResult AppendFormatV(std::u16string& out, const char* format, va_list args,
                           NullStrings nulls);

// UTF-8 to UTF-16 and back; malformed input becomes U+FFFD.
void AppendUtf8AsUtf16(std::u16string& out, const char* text, size_t length);
std::string Utf16ToUtf8(const WCHAR* text, size_t length);

} // namespace kldutil
