// Reads settings files in the INI format, written as UTF-8 (with or without a byte order
// mark), by the rules of the Windows profile functions.
#pragma once

#include <kldutil/kldutilexport.h>

#include <windows.h>

#ifndef ERROR_FILE_TOO_LARGE
#define ERROR_FILE_TOO_LARGE 223u
#endif

class KLDUTIL_API UTF8Ini {
public:
    // GetPrivateProfileStringW over a UTF-8 file. Section and key names are compared without
    // regard to ASCII case; values lose their surrounding blanks and one pair of matching
    // quotes. Lines end with CR LF, LF or CR; a line whose first non-blank character is ';'
    // is a comment; a line without '=' is a key with an empty value. When a section or key
    // appears twice, the first one counts.
    //
    // - section and key given: the value, or defaultValue (null is empty, trailing blanks
    //   dropped) when the file, the section or the key is missing. A buffer too small gets
    //   the first size - 1 characters and the result is size - 1.
    // - section null: the names of all sections; key null: the names of the section's keys.
    //   Each name ends with a zero and the list with another; a buffer too small gets the
    //   list cut, still ending in two zeros, and the result is size - 2.
    // The result counts the characters written without the final zero. A null buffer or a size
    // of 0 gives 0 and writes nothing.
    //
    // GetLastError: ERROR_SUCCESS when the value or list was read, ERROR_FILE_NOT_FOUND when
    // the file, section or key is missing, ERROR_ACCESS_DENIED for something that is not a
    // regular file (a directory, a FIFO, a device), ERROR_FILE_TOO_LARGE for a file over
    // 16 MiB and ERROR_INVALID_DATA for one that is not UTF-8 text (a zero byte or an invalid
    // sequence). Such files are not read at all: the default stands.
    static DWORD GetPrivateProfileStringW(const WCHAR* section, const WCHAR* key,
                                          const WCHAR* defaultValue, WCHAR* buffer, DWORD size,
                                          const WCHAR* fileName);
};
