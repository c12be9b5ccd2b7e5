#include <filterutilities/saxhandler.h>

#include <filterutilities/errorconvention.h>
#include <filterutilities/widetoutf8.h>

#include <oleauto.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

namespace {

// What stands in the escaped text for one UTF-16 unit; empty when the unit stands for itself.
// Every escape is ASCII, so the same bytes serve UTF-16 and UTF-8 output.
constexpr std::string_view EscapeOf(WCHAR unit) noexcept {
    switch (unit) {
    case u'&':
        return "&amp;";
    case u'<':
        return "&lt;";
    case u'>':
        return "&gt;";
    case u'"':
        return "&quot;";
    case u'\'':
        return "&apos;";
    case u'\t':
        return "&#x9;";
    case u'\n':
        return "&#xA;";
    case u'\r':
        return "&#xD;";
    default:
        return {};
    }
}

bool IsHighSurrogate(WCHAR unit) noexcept {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

bool IsLowSurrogate(WCHAR unit) noexcept {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

// XML 1.0's Char production, unit by unit: the controls below U+0020 other than tab, line
// feed and carriage return, and U+FFFE and U+FFFF, cannot stand in a document, not even as a
// character reference. Surrogates are judged in pairs by the caller.
constexpr bool IsXmlUnit(WCHAR unit) noexcept {
    if (unit < 0x20) {
        return unit == u'\t' || unit == u'\n' || unit == u'\r';
    }
    return unit != 0xFFFE && unit != 0xFFFF;
}

// The length of text escaped, or 0 when it holds a unit XML cannot carry.
size_t EscapedLength(std::u16string_view text) noexcept {
    size_t length = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const WCHAR unit = text[i];
        if (IsHighSurrogate(unit) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
            length += 2;
            ++i;
            continue;
        }
        if (IsHighSurrogate(unit) || IsLowSurrogate(unit) || !IsXmlUnit(unit)) {
            return 0;
        }
        const std::string_view escape = EscapeOf(unit);
        length += escape.empty() ? 1 : escape.size();
    }
    return length;
}

// Which ASCII units go into UTF-8 output as themselves, one byte each: [false] when text goes
// as it stands, [true] when it is escaped.
constexpr std::array<std::array<bool, 0x80>, 2> MakeAsIs() {
    std::array<std::array<bool, 0x80>, 2> asIs{};
    for (char16_t unit = 0; unit < 0x80; ++unit) {
        asIs[0][unit] = IsXmlUnit(unit);
        asIs[1][unit] = IsXmlUnit(unit) && EscapeOf(unit).empty();
    }
    return asIs;
}

constexpr std::array<std::array<bool, 0x80>, 2> kAsIs = MakeAsIs();

#if defined(__SSE2__) || defined(_M_X64)
// Whether eight units are all ASCII that stands for itself. Inlined, so that the constants
// stay in registers across a run of groups.
template <bool kEscape>
[[gnu::always_inline]] inline bool PlainAsciiGroup(__m128i units) noexcept {
    // Controls, and (compared as signed) units from U+8000 on, which the next test catches
    // anyway; tab, line feed and carriage return go the slow way.
    __m128i stop = _mm_cmplt_epi16(units, _mm_set1_epi16(0x20));
    if constexpr (kEscape) {
        const __m128i quotes = _mm_or_si128(_mm_cmpeq_epi16(units, _mm_set1_epi16('"')),
                                            _mm_cmpeq_epi16(units, _mm_set1_epi16('\'')));
        const __m128i angles = _mm_or_si128(_mm_cmpeq_epi16(units, _mm_set1_epi16('<')),
                                            _mm_cmpeq_epi16(units, _mm_set1_epi16('>')));
        stop = _mm_or_si128(stop, _mm_cmpeq_epi16(units, _mm_set1_epi16('&')));
        stop = _mm_or_si128(stop, _mm_or_si128(quotes, angles));
    }
    const __m128i ascii = _mm_cmpeq_epi16(
        _mm_and_si128(units, _mm_set1_epi16(static_cast<short>(0xFF80))), _mm_setzero_si128());
    return _mm_movemask_epi8(_mm_andnot_si128(stop, ascii)) == 0xFFFF;
}

// Copies the longest whole number of eight-unit groups from the start of text that are ASCII
// standing for themselves to out, a byte a unit, and the tail of fewer than eight behind them
// when it is plain too; answers the units copied. out has room for count bytes.
template <bool kEscape>
size_t PlainAsciiGroups(const WCHAR* text, size_t count, char* out) noexcept {
    size_t done = 0;
    for (; count - done >= 8; done += 8) {
        const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + done));
        if (!PlainAsciiGroup<kEscape>(units)) {
            return done;
        }
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + done), _mm_packus_epi16(units, units));
    }
    // Fewer than eight units left of a text of eight or more: the last eight units, some of
    // them copied a second time, rather than one unit at a time.
    if (done < count && count >= 8) {
        const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + count - 8));
        if (PlainAsciiGroup<kEscape>(units)) {
            _mm_storel_epi64(reinterpret_cast<__m128i*>(out + count - 8),
                             _mm_packus_epi16(units, units));
            done = count;
        }
    }
    return done;
}
#endif

// Copies the run of ASCII units standing for themselves at the start of text to out, a byte a
// unit; answers its length. out has room for count bytes.
size_t PlainAsciiRun(const WCHAR* text, size_t count, char* out, bool escape) noexcept {
    size_t done = 0;
#if defined(__SSE2__) || defined(_M_X64)
    done = escape ? PlainAsciiGroups<true>(text, count, out)
                  : PlainAsciiGroups<false>(text, count, out);
#endif
    const bool* const asIs = kAsIs[escape ? 1 : 0].data();
    while (done < count && text[done] < 0x80 && asIs[text[done]]) {
        out[done] = static_cast<char>(text[done]);
        ++done;
    }
    return done;
}

// The largest number of units a BSTR holds: its length is a 32-bit count of bytes.
constexpr size_t kMaxBstrLength = 0x7FFFFFF0;

} // namespace

CSaxHandler::CSaxHandler() noexcept : CUnknown<ISAXContentHandler>(IID_ISAXContentHandler) {}

CSaxHandler::~CSaxHandler() = default;

STDMETHODIMP CSaxHandler::putDocumentLocator(ISAXLocator*) {
    return S_OK;
}

STDMETHODIMP CSaxHandler::startDocument() {
    return S_OK;
}

STDMETHODIMP CSaxHandler::endDocument() {
    return S_OK;
}

STDMETHODIMP CSaxHandler::startPrefixMapping(const WCHAR*, int, const WCHAR*, int) {
    return S_OK;
}

STDMETHODIMP CSaxHandler::endPrefixMapping(const WCHAR*, int) {
    return S_OK;
}

STDMETHODIMP CSaxHandler::startElement(const WCHAR*, int, const WCHAR*, int, const WCHAR*, int,
                                       ISAXAttributes*) {
    return S_OK;
}

STDMETHODIMP CSaxHandler::endElement(const WCHAR*, int, const WCHAR*, int, const WCHAR*, int) {
    return S_OK;
}

STDMETHODIMP CSaxHandler::characters(const WCHAR*, int) {
    return S_OK;
}

STDMETHODIMP CSaxHandler::ignorableWhitespace(const WCHAR*, int) {
    return S_OK;
}

STDMETHODIMP CSaxHandler::processingInstruction(const WCHAR*, int, const WCHAR*, int) {
    return S_OK;
}

STDMETHODIMP CSaxHandler::skippedEntity(const WCHAR*, int) {
    return S_OK;
}

HRESULT CSaxHandler::WriteToPrintStream(const CXString* text, IPrintWriteStream* stream) {
    if (!text || !stream) {
        return E_POINTER;
    }
    return CatchComException([&] {
        CWideToUTF8 converter(text);
        return converter.WriteToPrintStream(stream);
    });
}

HRESULT CSaxHandler::WriteToPrintStream(const CXString* text, ISequentialStream* stream) {
    if (!text || !stream) {
        return E_POINTER;
    }
    return CatchComException([&] {
        CWideToUTF8 converter(text);
        return converter.WriteToPrintStream(stream);
    });
}

HRESULT CSaxHandler::EscapeEntity(BSTR* text) {
    if (!text) {
        return E_POINTER;
    }
    const std::u16string_view source(*text, ::SysStringLen(*text));
    if (source.empty()) {
        return S_OK;
    }
    return CatchComException([&]() -> HRESULT {
        const size_t length = EscapedLength(source);
        if (length == 0) {
            return E_INVALIDARG;
        }
        if (length == source.size()) {
            return S_OK; // nothing to escape
        }
        if (length > kMaxBstrLength) {
            FU_THROW_HR(E_OUTOFMEMORY);
        }
        BSTR escaped = ::SysAllocStringLen(nullptr, static_cast<UINT>(length));
        FU_THROW_IF_NULL_ALLOC(escaped);
        WCHAR* out = escaped;
        for (const WCHAR unit : source) {
            const std::string_view escape = EscapeOf(unit);
            if (escape.empty()) {
                *out++ = unit;
            } else {
                out = std::copy(escape.begin(), escape.end(), out);
            }
        }
        ::SysFreeString(*text);
        *text = escaped;
        return S_OK;
    });
}

HRESULT CSaxHandler::AppendUTF8(std::string& out, const WCHAR* text, int length, bool escape) {
    if (length < 0 || (!text && length > 0)) {
        return E_INVALIDARG;
    }
    const size_t start = out.size();
    const size_t count = static_cast<size_t>(length);
    // Room for every unit as one byte, which is exact for plain ASCII, and kept for the units
    // still to come whenever an escape or a longer sequence takes more (the string's capacity
    // grows geometrically, so growing a little at a time costs no copies).
    out.resize(start + count);
    char* at = out.data() + start;
    char* end = out.data() + out.size();
    const auto room = [&](size_t bytes, size_t unitsLeft) {
        if (static_cast<size_t>(end - at) >= bytes + unitsLeft) {
            return;
        }
        constexpr size_t kSlack = 64;
        const size_t used = static_cast<size_t>(at - out.data());
        out.resize(used + bytes + unitsLeft + kSlack);
        at = out.data() + used;
        end = out.data() + out.size();
    };
    const auto refuse = [&] {
        out.resize(start);
        return E_INVALIDARG;
    };
    size_t i = 0;
    while (i < count) {
        // Markup is mostly ASCII that stands for itself: such a run is copied unit for byte,
        // eight units at a time while it lasts.
        const size_t run = PlainAsciiRun(text + i, count - i, at, escape);
        at += run;
        i += run;
        if (i == count) {
            break;
        }
        const WCHAR unit = text[i++];
        const size_t left = count - i;
        if (unit < 0x80) {
            if (!IsXmlUnit(unit)) {
                return refuse();
            }
            const std::string_view escaped = EscapeOf(unit);
            room(escaped.size(), left);
            at = std::copy(escaped.begin(), escaped.end(), at);
        } else if (unit < 0x800) {
            room(2, left);
            *at++ = static_cast<char>(0xC0 | (unit >> 6));
            *at++ = static_cast<char>(0x80 | (unit & 0x3F));
        } else if (IsHighSurrogate(unit) && left > 0 && IsLowSurrogate(text[i])) {
            const char32_t cp = 0x10000 + ((char32_t{unit} - 0xD800) << 10) + (text[i++] - 0xDC00);
            room(4, left - 1);
            *at++ = static_cast<char>(0xF0 | (cp >> 18));
            *at++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            *at++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            *at++ = static_cast<char>(0x80 | (cp & 0x3F));
        } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit) || !IsXmlUnit(unit)) {
            return refuse();
        } else {
            room(3, left);
            *at++ = static_cast<char>(0xE0 | (unit >> 12));
            *at++ = static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
            *at++ = static_cast<char>(0x80 | (unit & 0x3F));
        }
    }
    out.resize(static_cast<size_t>(at - out.data()));
    return S_OK;
}

HRESULT CSaxHandler::WriteUTF8ToPrintStream(std::string_view bytes, IPrintWriteStream* stream) {
    if (!stream) {
        return E_POINTER;
    }
    // A write's count is 32 bits: longer text goes in pieces.
    constexpr size_t kMaxWrite = 0x40000000;
    HRESULT hr = S_OK;
    while (SUCCEEDED(hr) && !bytes.empty()) {
        const size_t piece = std::min(bytes.size(), kMaxWrite);
        hr = CWideToUTF8::WriteBytes(reinterpret_cast<const BYTE*>(bytes.data()),
                                     static_cast<ULONG>(piece), stream);
        bytes.remove_prefix(piece);
    }
    return hr;
}
