// UTF-8 and UTF-16 for the platform's own strings (names, paths, messages), and the Win32
// way of handing a string out through a caller's buffer.
#pragma once

#include "windows.h"

#include <string>
#include <string_view>

namespace platform {

// Invalid input becomes U+FFFD.
inline std::u16string Utf16(std::string_view utf8) {
    if (utf8.empty()) {
        return {};
    }
    const int count =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::u16string text(static_cast<size_t>(count > 0 ? count : 0), u'\0');
    if (count > 0) {
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), text.data(),
                            count);
    }
    return text;
}

// False, with out unspecified, when utf8 is not UTF-8.
inline bool StrictUtf16(std::string_view utf8, std::u16string& out) {
    out.clear();
    if (utf8.empty()) {
        return true;
    }
    const int count = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                                          static_cast<int>(utf8.size()), nullptr, 0);
    if (count <= 0) {
        return false;
    }
    out = Utf16(utf8);
    return true;
}

inline std::string Utf8(std::u16string_view text) {
    if (text.empty()) {
        return {};
    }
    const int count = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                          nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(count > 0 ? count : 0), '\0');
    if (count > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(),
                            count, nullptr, nullptr);
    }
    return bytes;
}

// Copies text and its terminating zero to buffer, which holds *size characters; *size becomes
// the characters needed, zero included. A buffer too small (or none) gives FALSE and
// ERROR_INSUFFICIENT_BUFFER.
inline BOOL CopyOutText(std::u16string_view text, LPWSTR buffer, LPDWORD size) {
    const DWORD needed = static_cast<DWORD>(text.size() + 1);
    if (!buffer || *size < needed) {
        *size = needed;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    text.copy(buffer, text.size());
    buffer[text.size()] = u'\0';
    *size = needed;
    return TRUE;
}

} // namespace platform
