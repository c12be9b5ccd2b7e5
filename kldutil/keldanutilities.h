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
};
