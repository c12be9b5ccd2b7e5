#include <filterutilities/saxhandler.h>

#include <filterutilities/errorconvention.h>
#include <filterutilities/widetoutf8.h>

#include <oleauto.h>

#include <cstddef>
#include <string_view>

namespace {

// What stands in the escaped text for one UTF-16 unit; empty when the unit stands for itself.
std::u16string_view EscapeOf(WCHAR unit) noexcept {
    switch (unit) {
    case u'&':
        return u"&amp;";
    case u'<':
        return u"&lt;";
    case u'>':
        return u"&gt;";
    case u'"':
        return u"&quot;";
    case u'\'':
        return u"&apos;";
    case u'\t':
        return u"&#x9;";
    case u'\n':
        return u"&#xA;";
    case u'\r':
        return u"&#xD;";
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
bool IsXmlUnit(WCHAR unit) noexcept {
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
        const std::u16string_view escape = EscapeOf(unit);
        length += escape.empty() ? 1 : escape.size();
    }
    return length;
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
            const std::u16string_view escape = EscapeOf(unit);
            if (escape.empty()) {
                *out++ = unit;
            } else {
                out += escape.copy(out, escape.size());
            }
        }
        ::SysFreeString(*text);
        *text = escaped;
        return S_OK;
    });
}
