// KeldanUtilities: helpers of the utility library that fit no class of their own.
#pragma once

#include <kldutil/cxstring.h>
#include <kldutil/kldutilexport.h>

#include <windows.h>

#include <cstdarg>

class KLDUTIL_API KeldanUtilities {
public:
    // printf-style formatting that checks its arguments (grammar in printfformat.h). In the
    // narrow form %s takes a UTF-8 string and %ls a const WCHAR*; in the wide form %s takes a
    // const WCHAR* and %hs a UTF-8 string. A null format raises
    // ExceptionInvalidArgumentNullPointer; a null string argument or a malformed format
    // raises KeldanComException(E_INVALIDARG).
    static CXString SafeFormatString(const char* format, ...);
    static CXString SafeFormatString(const WCHAR* format, ...);
    static CXString SafeFormatStringV(const char* format, va_list args);
    static CXString SafeFormatStringV(const WCHAR* format, va_list args);

    // Base64 (RFC 4648, standard alphabet) between bytes and UTF-16 text. The driver keeps
    // its devmode inside print tickets as this text, so the decoder reads what other writers
    // produce: it skips the white space that XML indentation puts into a value and stops
    // cleanly, never reading or writing outside its buffers, at the first character that
    // cannot be Base64.
    //
    // Encoder flags; they combine. Without Base64FlagNoCrLf the encoder ends every line of
    // 76 characters with CR LF (the MIME line length); with it the text is one line. Print
    // tickets use Base64FlagNoCrLf (2).
    static constexpr DWORD Base64FlagNoPad = 1;  // leave out the '=' padding of the last group
    static constexpr DWORD Base64FlagNoCrLf = 2; // no line breaks

    // Number of characters Base64Encode writes for sourceLength bytes with these flags; 0
    // for a negative length or when the text would not fit in an int.
    static int Base64EncodeGetRequiredLength(int sourceLength, DWORD flags);
    // Encodes sourceLength bytes into destination, which holds *destinationLength
    // characters. Returns TRUE and sets *destinationLength to the characters written (no
    // terminator is added). Returns FALSE, writing nothing, when an argument is null or
    // negative or the destination is too small; *destinationLength then holds the length
    // needed (0 for a bad argument).
    static BOOL Base64Encode(const BYTE* source, int sourceLength, WCHAR* destination,
                             int* destinationLength, DWORD flags);
    // Upper bound of the bytes Base64Decode writes for sourceLength characters; 0 for a
    // negative length.
    static int Base64DecodeGetRequiredLength(int sourceLength);
    // Decodes sourceLength characters into destination, which holds *destinationLength
    // bytes. Space, tab, CR and LF are skipped anywhere; padding is optional, but after the
    // first '=' only the rest of that group's padding and white space may follow. Returns
    // TRUE when the whole text was read and sets *destinationLength to the bytes written.
    // Returns FALSE when the text is malformed (a character outside the alphabet, misplaced
    // padding, a last group of a single character) or the destination is full;
    // *destinationLength is then the number of bytes of the complete groups written before
    // that point. A null source or length, or a negative source length, gives FALSE and 0.
    static BOOL Base64Decode(const WCHAR* source, int sourceLength, BYTE* destination,
                             int* destinationLength);
};
