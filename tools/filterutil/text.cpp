#include "text.h"

#include <cstdio>
#include <limits>
#include <stdexcept>

namespace filterutil {
namespace {

char16_t Unit(std::u16string_view text, size_t at) {
    return at < text.size() ? text[at] : u'\0';
}

bool IsHighSurrogate(char16_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

bool IsLowSurrogate(char16_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

// The code point at text[at], and how many units it takes; an unpaired surrogate is itself.
char32_t CodePointAt(std::u16string_view text, size_t at, size_t& units) {
    const char16_t unit = text[at];
    if (IsHighSurrogate(unit) && IsLowSurrogate(Unit(text, at + 1))) {
        units = 2;
        return 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) +
               (static_cast<char32_t>(text[at + 1]) - 0xDC00);
    }
    units = 1;
    return unit;
}

bool IsNameStart(char32_t c) {
    return (c >= 'A' && c <= 'Z') || c == '_' || (c >= 'a' && c <= 'z') ||
           (c >= 0xC0 && c <= 0xD6) || (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) ||
           (c >= 0x370 && c <= 0x37D) || (c >= 0x37F && c <= 0x1FFF) ||
           (c >= 0x200C && c <= 0x200D) || (c >= 0x2070 && c <= 0x218F) ||
           (c >= 0x2C00 && c <= 0x2FEF) || (c >= 0x3001 && c <= 0xD7FF) ||
           (c >= 0xF900 && c <= 0xFDCF) || (c >= 0xFDF0 && c <= 0xFFFD) ||
           (c >= 0x10000 && c <= 0xEFFFF);
}

bool IsNameChar(char32_t c) {
    return IsNameStart(c) || c == '-' || c == '.' || (c >= '0' && c <= '9') || c == 0xB7 ||
           (c >= 0x300 && c <= 0x36F) || (c >= 0x203F && c <= 0x2040);
}

} // namespace

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

namespace {

std::optional<std::u16string> Widen(std::string_view text, DWORD flags) {
    if (text.empty()) {
        return std::u16string();
    }
    if (text.size() > static_cast<size_t>(std::numeric_limits<int>::max())) {
        throw std::length_error("text too long");
    }
    const int count = static_cast<int>(text.size());
    const int size = MultiByteToWideChar(CP_UTF8, flags, text.data(), count, nullptr, 0);
    if (size <= 0) {
        return std::nullopt;
    }
    std::u16string out(static_cast<size_t>(size), u'\0');
    MultiByteToWideChar(CP_UTF8, flags, text.data(), count, out.data(), size);
    return out;
}

} // namespace

std::u16string FromUtf8(std::string_view text) {
    return Widen(text, 0).value_or(std::u16string());
}

std::optional<std::u16string> FromUtf8Strict(std::string_view text) {
    return Widen(text, MB_ERR_INVALID_CHARS);
}

std::string Printable(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size(); ++i) {
        const auto byte = static_cast<unsigned char>(utf8[i]);
        unsigned escaped = 0x100; // none
        if (byte < 0x20 || byte == 0x7F) {
            escaped = byte;
        } else if (byte == 0xC2 && i + 1 < utf8.size() &&
                   static_cast<unsigned char>(utf8[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(utf8[i + 1]) <= 0x9F) {
            escaped = static_cast<unsigned char>(utf8[++i]); // a C1 control, U+0080 to U+009F
        }
        switch (escaped) {
        case 0x100:
            if (byte == '\\') {
                out += "\\\\";
            } else {
                out += static_cast<char>(byte);
            }
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default: {
            char code[8];
            std::snprintf(code, sizeof code, "\\u%04x", escaped);
            out += code;
        }
        }
    }
    return out;
}

std::optional<std::string> CharacterXmlCannotCarry(std::u16string_view text) {
    for (size_t at = 0; at < text.size();) {
        size_t units = 1;
        const char32_t c = CodePointAt(text, at, units);
        const bool allowed = c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
                             (c >= 0xE000 && c <= 0xFFFD) || c >= 0x10000;
        if (!allowed) {
            char code[16];
            std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(c));
            return std::string(code);
        }
        at += units;
    }
    return std::nullopt;
}

bool IsNcName(std::u16string_view text) {
    if (text.empty()) {
        return false;
    }
    for (size_t at = 0; at < text.size();) {
        size_t units = 1;
        const char32_t c = CodePointAt(text, at, units);
        if (IsLowSurrogate(static_cast<char16_t>(c)) || IsHighSurrogate(static_cast<char16_t>(c)) ||
            (at == 0 ? !IsNameStart(c) : !IsNameChar(c))) {
            return false;
        }
        at += units;
    }
    return true;
}

std::string HexCode(HRESULT hr) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
    return code;
}

std::string DescribeHresult(HRESULT hr) {
    const char* meaning = nullptr;
    switch (hr) {
    case E_OUTOFMEMORY:
        meaning = "out of memory";
        break;
    case E_INVALIDARG:
        meaning = "an argument was refused";
        break;
    case E_POINTER:
        meaning = "a required pointer was missing";
        break;
    case E_FAIL:
        meaning = "unspecified failure";
        break;
    case E_PENDING:
        meaning = "no document";
        break;
    case HRESULT_FROM_WIN32(ERROR_NOT_FOUND):
        meaning = "not found";
        break;
    case DISP_E_TYPEMISMATCH:
        meaning = "a setting of the wrong kind";
        break;
    case HRESULT_FROM_WIN32(ERROR_INVALID_DATA):
        meaning = "invalid data";
        break;
    default:
        break;
    }
    return meaning ? std::string(meaning) + " (" + HexCode(hr) + ")" : HexCode(hr);
}

} // namespace filterutil
