#include "shlwapi.h"

#include <string>
#include <string_view>
#include <sys/stat.h>

extern "C" {

BOOL WINAPI PathFileExistsW(LPCWSTR path) {
    if (!path || !*path) {
        return FALSE;
    }
    const std::u16string_view name(path);
    const int size =
        WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, name.data(),
                            static_cast<int>(name.size()), nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        return FALSE;
    }
    std::string narrow(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, name.data(), static_cast<int>(name.size()),
                        narrow.data(), size, nullptr, nullptr);
    struct stat status {};
    return stat(narrow.c_str(), &status) == 0 ? TRUE : FALSE;
}

BOOL WINAPI PathAppendW(LPWSTR path, LPCWSTR more) {
    if (!path || !more) {
        return FALSE;
    }
    std::u16string_view head(path, std::char_traits<char16_t>::length(path));
    std::u16string_view tail(more);
    while (!head.empty() && !tail.empty() && tail.front() == PLATFORM_PATH_SEPARATOR) {
        tail.remove_prefix(1);
    }
    const bool separator = !head.empty() && !tail.empty() && head.back() != PLATFORM_PATH_SEPARATOR;
    const size_t length = head.size() + (separator ? 1 : 0) + tail.size();
    if (length >= MAX_PATH) {
        return FALSE;
    }
    WCHAR* end = path + head.size();
    if (separator) {
        *end++ = PLATFORM_PATH_SEPARATOR;
    }
    std::char_traits<char16_t>::copy(end, tail.data(), tail.size());
    end[tail.size()] = u'\0';
    return TRUE;
}

} // extern "C"
