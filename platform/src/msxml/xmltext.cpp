#include "xmltext.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace platform::msxml {
namespace {

bool IsXmlChar(char32_t c) {
    if (c < 0x20) {
        return c == 0x9 || c == 0xA || c == 0xD;
    }
    return (c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// Decodes the UTF-8 sequence at text[i]. libxml2 hands out checked UTF-8, so a malformed
// sequence (consumed one byte at a time) only guards against surprises.
char32_t DecodeUtf8(std::string_view text, size_t& i) {
    const auto lead = static_cast<unsigned char>(text[i]);
    size_t extra = 0;
    char32_t cp = 0;
    if (lead < 0x80) {
        ++i;
        return lead;
    } else if ((lead & 0xE0) == 0xC0) {
        extra = 1;
        cp = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2;
        cp = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3;
        cp = lead & 0x07;
    } else {
        ++i;
        return 0xFFFD;
    }
    if (i + extra >= text.size()) {
        ++i;
        return 0xFFFD;
    }
    for (size_t k = 1; k <= extra; ++k) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80) {
            ++i;
            return 0xFFFD;
        }
        cp = (cp << 6) | (next & 0x3F);
    }
    i += extra + 1;
    return cp;
}

size_t Utf16Length(std::string_view utf8) {
    size_t units = 0;
    for (size_t i = 0; i < utf8.size();) {
        units += DecodeUtf8(utf8, i) >= 0x10000 ? 2 : 1;
    }
    return units;
}

} // namespace

bool AppendXmlUtf8(std::string& out, std::u16string_view text) {
    // Written through a pointer into room for the worst case (three bytes per UTF-16 unit; a
    // surrogate pair takes four for two), then cut to what was written: names and values
    // pass through here on every node made, so no per-character append.
    const size_t start = out.size();
    out.resize(start + 3 * text.size());
    char* write = out.data() + start;
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c < 0x80) {
            if (c < 0x20 && c != 0x9 && c != 0xA && c != 0xD) {
                out.resize(start);
                return false;
            }
            *write++ = static_cast<char>(c);
            continue;
        }
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) {
                out.resize(start);
                return false;
            }
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if ((c >= 0xDC00 && c <= 0xDFFF) || !IsXmlChar(c)) {
            out.resize(start);
            return false;
        }
        if (c < 0x800) {
            *write++ = static_cast<char>(0xC0 | (c >> 6));
            *write++ = static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            *write++ = static_cast<char>(0xE0 | (c >> 12));
            *write++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *write++ = static_cast<char>(0x80 | (c & 0x3F));
        } else {
            *write++ = static_cast<char>(0xF0 | (c >> 18));
            *write++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            *write++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *write++ = static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    out.resize(static_cast<size_t>(write - out.data()));
    return true;
}

char16_t* WidenUtf8(std::string_view utf8, char16_t* out) noexcept {
    constexpr uint64_t kHighBits = 0x8080808080808080u;
    const char* const text = utf8.data();
    const size_t size = utf8.size();
    size_t i = 0;
    while (i < size) {
        // Names, URIs, numbers and most text are ASCII: sixteen bytes tested and widened at
        // once where the processor has SSE2, then eight bytes tested at once.
#if defined(__SSE2__)
        while (size - i >= 16) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
            if (_mm_movemask_epi8(bytes) != 0) {
                break;
            }
            const __m128i zero = _mm_setzero_si128();
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(bytes, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpackhi_epi8(bytes, zero));
            out += 16;
            i += 16;
        }
#endif
        while (size - i >= 8) {
            uint64_t word;
            std::memcpy(&word, text + i, 8);
            if (word & kHighBits) {
                break;
            }
            for (size_t k = 0; k < 8; ++k) {
                out[k] = static_cast<unsigned char>(text[i + k]);
            }
            out += 8;
            i += 8;
        }
        while (i < size && static_cast<unsigned char>(text[i]) < 0x80) {
            *out++ = static_cast<unsigned char>(text[i++]);
        }
        if (i == size) {
            break;
        }
        char32_t c = DecodeUtf8(utf8, i);
        if (c >= 0x10000) {
            c -= 0x10000;
            *out++ = static_cast<char16_t>(0xD800 + (c >> 10));
            *out++ = static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            *out++ = static_cast<char16_t>(c);
        }
    }
    return out;
}

void AppendUtf16(std::u16string& out, std::string_view utf8) {
    const size_t start = out.size();
    out.resize(start + utf8.size());
    char16_t* const end = WidenUtf8(utf8, out.data() + start);
    out.resize(static_cast<size_t>(end - out.data()));
}

BSTR AllocBstr(std::string_view utf8) {
    // Names, URIs and most values are ASCII: that part is widened unit for unit, and only
    // what follows the first other byte is decoded.
    size_t ascii = 0;
    while (ascii < utf8.size() && static_cast<unsigned char>(utf8[ascii]) < 0x80) {
        ++ascii;
    }
    const std::string_view rest = utf8.substr(ascii);
    const size_t units = ascii + Utf16Length(rest);
    if (units > 0x7FFFFFF0u / sizeof(OLECHAR)) {
        return nullptr;
    }
    BSTR result = SysAllocStringLen(nullptr, static_cast<UINT>(units));
    if (!result) {
        return nullptr;
    }
    OLECHAR* write = result;
    for (size_t i = 0; i < ascii; ++i) {
        *write++ = static_cast<OLECHAR>(utf8[i]);
    }
    for (size_t i = 0; i < rest.size();) {
        char32_t c = DecodeUtf8(rest, i);
        if (c >= 0x10000) {
            c -= 0x10000;
            *write++ = static_cast<OLECHAR>(0xD800 + (c >> 10));
            *write++ = static_cast<OLECHAR>(0xDC00 + (c & 0x3FF));
        } else {
            *write++ = static_cast<OLECHAR>(c);
        }
    }
    return result;
}

HRESULT ReturnBstr(std::string_view utf8, BSTR* out) {
    *out = AllocBstr(utf8);
    return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT ReturnVariantBstr(std::string_view utf8, VARIANT* out) {
    VariantInit(out);
    BSTR text = AllocBstr(utf8);
    if (!text) {
        return E_OUTOFMEMORY;
    }
    out->vt = VT_BSTR;
    out->bstrVal = text;
    return S_OK;
}

bool IsXmlWhitespace(std::string_view text) {
    for (char c : text) {
        if (!IsXmlWhitespace(c)) {
            return false;
        }
    }
    return true;
}

std::string_view TrimXmlWhitespace(std::string_view text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && IsXmlWhitespace(text[begin])) {
        ++begin;
    }
    while (end > begin && IsXmlWhitespace(text[end - 1])) {
        --end;
    }
    return text.substr(begin, end - begin);
}

bool IsNcName(const std::string& name) {
    return !name.empty() && xmlValidateNCName(XmlChars(name), 0) == 0;
}

bool SplitQName(const std::string& qname, std::string& prefix, std::string& local) {
    const size_t colon = qname.find(':');
    if (colon == std::string::npos) {
        prefix.clear();
        local = qname;
    } else {
        prefix = qname.substr(0, colon);
        local = qname.substr(colon + 1);
        if (!IsNcName(prefix)) {
            return false;
        }
    }
    return IsNcName(local);
}

HRESULT VariantToXmlUtf8(const VARIANT& value, std::string& out) {
    out.clear();
    char number[32];
    switch (value.vt) {
    case VT_BSTR:
        return AppendXmlUtf8(out, View(value.bstrVal)) ? S_OK : E_INVALIDARG;
    case VT_I1:
        std::snprintf(number, sizeof number, "%d", value.cVal);
        break;
    case VT_I2:
        std::snprintf(number, sizeof number, "%d", value.iVal);
        break;
    case VT_I4:
    case VT_INT:
        std::snprintf(number, sizeof number, "%d", value.lVal);
        break;
    case VT_I8:
        std::snprintf(number, sizeof number, "%lld", static_cast<long long>(value.llVal));
        break;
    case VT_UI1:
        std::snprintf(number, sizeof number, "%u", value.bVal);
        break;
    case VT_UI2:
        std::snprintf(number, sizeof number, "%u", value.uiVal);
        break;
    case VT_UI4:
    case VT_UINT:
        std::snprintf(number, sizeof number, "%u", value.ulVal);
        break;
    case VT_UI8:
        std::snprintf(number, sizeof number, "%llu", static_cast<unsigned long long>(value.ullVal));
        break;
    default:
        return E_INVALIDARG;
    }
    out = number;
    return S_OK;
}

} // namespace platform::msxml
