#include "watermarkpagewriter.h"

#include <oleauto.h>

#include <algorithm>
#include <utility>

namespace {

constexpr size_t kFlushAt = 64 * 1024;
constexpr HRESULT kNotAFixedPage = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);

std::u16string_view View(const WCHAR* text, int length) {
    return text && length > 0 ? std::u16string_view(text, static_cast<size_t>(length))
                              : std::u16string_view();
}

bool NeedsEscaping(std::u16string_view text) {
    return std::any_of(text.begin(), text.end(), [](char16_t c) {
        return c == u'&' || c == u'<' || c == u'>' || c == u'"' || c == u'\'' || c == u'\t' ||
               c == u'\n' || c == u'\r';
    });
}

} // namespace

WatermarkPageWriter::WatermarkPageWriter(IPrintWriteStream* stream, IWatermarkMarks* marks)
    : m_stream(stream), m_marks(marks) {}

HRESULT WatermarkPageWriter::AppendEscaped(std::u16string& out, std::u16string_view text) {
    if (!NeedsEscaping(text)) {
        out.append(text);
        return S_OK;
    }
    CComBSTR escaped;
    escaped.Attach(::SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
    if (!escaped) {
        return E_OUTOFMEMORY;
    }
    const HRESULT hr = EscapeEntity(&escaped.m_str);
    if (SUCCEEDED(hr)) {
        out.append(escaped.m_str, escaped.Length());
    }
    return hr;
}

STDMETHODIMP WatermarkPageWriter::startDocument() {
    // Room for what is gathered between two writes, so that the buffer grows once: a page is
    // mostly longer than a few KiB, and a buffer that doubled its way there copies it as often.
    m_out.reserve(kFlushAt + kFlushAt / 4);
    m_out.assign("<?xml version=\"1.0\" encoding=\"UTF-8\"?>");
    return S_OK;
}

STDMETHODIMP WatermarkPageWriter::endDocument() {
    return Flush();
}

void WatermarkPageWriter::CloseStartTag() {
    if (m_startTagOpen) {
        m_out += '>';
        m_startTagOpen = false;
    }
}

void WatermarkPageWriter::AppendUnder() {
    if (!m_underWritten) {
        CloseStartTag();
        m_out += m_under;
        m_underWritten = true;
    }
}

HRESULT WatermarkPageWriter::Append(std::u16string_view text, bool escape) {
    return AppendUTF8(m_out, text.data(), static_cast<int>(text.size()), escape);
}

STDMETHODIMP WatermarkPageWriter::startElement(const WCHAR* namespaceUri, int namespaceUriLength,
                                               const WCHAR* localName, int localNameLength,
                                               const WCHAR* qName, int qNameLength,
                                               ISAXAttributes* attributes) {
    const std::u16string_view name = View(qName, qNameLength);
    if (m_depth == 0) {
        const std::u16string_view uri = View(namespaceUri, namespaceUriLength);
        if (View(localName, localNameLength) != u"FixedPage" ||
            (uri != kXpsNamespace && uri != kOpenXpsNamespace)) {
            return kNotAFixedPage;
        }
        const std::u16string_view prefix = name.substr(0, name.find(u':') + 1);
        m_resourcesName.assign(name).append(u".Resources");
        std::u16string under;
        std::u16string over;
        HRESULT hr = m_marks ? m_marks->MarksFor(uri, prefix, &under, &over) : S_OK;
        m_under.clear();
        m_over.clear();
        if (SUCCEEDED(hr)) {
            hr = AppendUTF8(m_under, under.data(), static_cast<int>(under.size()), false);
        }
        if (SUCCEEDED(hr)) {
            hr = AppendUTF8(m_over, over.data(), static_cast<int>(over.size()), false);
        }
        if (FAILED(hr)) {
            return hr;
        }
    } else if (m_depth == 1 && name != m_resourcesName) {
        AppendUnder();
    }
    CloseStartTag();
    m_out += '<';
    HRESULT hr = Append(name, false);
    int count = 0;
    if (SUCCEEDED(hr) && attributes) {
        hr = attributes->getLength(&count);
    }
    for (int i = 0; SUCCEEDED(hr) && i < count; ++i) {
        const WCHAR* attributeName = nullptr;
        const WCHAR* value = nullptr;
        int nameLength = 0;
        int valueLength = 0;
        hr = attributes->getQName(i, &attributeName, &nameLength);
        if (SUCCEEDED(hr)) {
            hr = attributes->getValue(i, &value, &valueLength);
        }
        if (SUCCEEDED(hr)) {
            m_out += ' ';
            hr = Append(View(attributeName, nameLength), false);
        }
        if (SUCCEEDED(hr)) {
            m_out += "=\"";
            hr = Append(View(value, valueLength), true);
            m_out += '"';
        }
    }
    m_startTagOpen = true;
    ++m_depth;
    return FAILED(hr) ? hr : FlushWhenFull();
}

STDMETHODIMP WatermarkPageWriter::endElement(const WCHAR*, int, const WCHAR*, int,
                                             const WCHAR* qName, int qNameLength) {
    --m_depth;
    if (m_depth == 0) {
        AppendUnder();
        CloseStartTag();
        m_out += m_over;
    }
    HRESULT hr = S_OK;
    if (m_startTagOpen) {
        m_out += "/>";
        m_startTagOpen = false;
    } else {
        m_out += "</";
        hr = Append(View(qName, qNameLength), false);
        m_out += '>';
    }
    return FAILED(hr) ? hr : FlushWhenFull();
}

STDMETHODIMP WatermarkPageWriter::characters(const WCHAR* chars, int length) {
    if (length <= 0) {
        return S_OK;
    }
    CloseStartTag();
    const HRESULT hr = Append(View(chars, length), true);
    return FAILED(hr) ? hr : FlushWhenFull();
}

STDMETHODIMP WatermarkPageWriter::ignorableWhitespace(const WCHAR* chars, int length) {
    return characters(chars, length);
}

STDMETHODIMP WatermarkPageWriter::processingInstruction(const WCHAR* target, int targetLength,
                                                        const WCHAR* data, int dataLength) {
    CloseStartTag();
    m_out += "<?";
    HRESULT hr = Append(View(target, targetLength), false);
    if (SUCCEEDED(hr) && dataLength > 0) {
        m_out += ' ';
        hr = Append(View(data, dataLength), false);
    }
    m_out += "?>";
    return FAILED(hr) ? hr : FlushWhenFull();
}

HRESULT WatermarkPageWriter::FlushWhenFull() {
    return m_out.size() >= kFlushAt ? Flush() : S_OK;
}

HRESULT WatermarkPageWriter::Flush() {
    if (m_out.empty()) {
        return S_OK;
    }
    const HRESULT hr = WriteUTF8ToPrintStream(m_out, m_stream.p);
    m_out.clear(); // keeps its memory for the rest of the page
    return hr;
}
