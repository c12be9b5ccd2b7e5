#include "text.h"

#include <cstdio>
#include <limits>
#include <stdexcept>

namespace filterutil {

std::string ToUtf8(std::u16string_view text) {
    if (text.empty()) {
        return {};
    }
    if (text.size() > static_cast<size_t>(std::numeric_limits<int>::max() / 3)) {
        throw std::length_error("text too long");
    }
    const int count = static_cast<int>(text.size());
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), count, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), count, out.data(), size, nullptr, nullptr);
    return out;
}

std::u16string FromUtf8(std::string_view text) {
    if (text.empty()) {
        return {};
    }
    if (text.size() > static_cast<size_t>(std::numeric_limits<int>::max())) {
        throw std::length_error("text too long");
    }
    const int count = static_cast<int>(text.size());
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), count, nullptr, 0);
    std::u16string out(static_cast<size_t>(size), u'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), count, out.data(), size);
    return out;
}

std::string HexCode(HRESULT hr) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
    return code;
}

} // namespace filterutil
