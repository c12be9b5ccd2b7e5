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
    m_out = u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
    return S_OK;
}

STDMETHODIMP WatermarkPageWriter::endDocument() {
    return Flush();
}

void WatermarkPageWriter::CloseStartTag() {
    if (m_startTagOpen) {
        m_out += u'>';
        m_startTagOpen = false;
    }
}

HRESULT WatermarkPageWriter::AppendUnder() {
    if (!m_underWritten) {
        CloseStartTag();
        m_out += m_under;
        m_underWritten = true;
    }
    return S_OK;
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
        const HRESULT hr = m_marks ? m_marks->MarksFor(uri, prefix, &m_under, &m_over) : S_OK;
        if (FAILED(hr)) {
            return hr;
        }
    } else if (m_depth == 1 && name != m_resourcesName) {
        AppendUnder();
    }
    CloseStartTag();
    m_out += u'<';
    m_out.append(name);
    int count = 0;
    HRESULT hr = attributes ? attributes->getLength(&count) : S_OK;
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
            m_out += u' ';
            m_out.append(View(attributeName, nameLength));
            m_out += u"=\"";
            hr = AppendEscaped(m_out, View(value, valueLength));
            m_out += u'"';
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
    if (m_startTagOpen) {
        m_out += u"/>";
        m_startTagOpen = false;
    } else {
        m_out += u"</";
        m_out.append(View(qName, qNameLength));
        m_out += u'>';
    }
    return FlushWhenFull();
}

STDMETHODIMP WatermarkPageWriter::characters(const WCHAR* chars, int length) {
    if (length <= 0) {
        return S_OK;
    }
    CloseStartTag();
    const HRESULT hr = AppendEscaped(m_out, View(chars, length));
    return FAILED(hr) ? hr : FlushWhenFull();
}

STDMETHODIMP WatermarkPageWriter::ignorableWhitespace(const WCHAR* chars, int length) {
    return characters(chars, length);
}

STDMETHODIMP WatermarkPageWriter::processingInstruction(const WCHAR* target, int targetLength,
                                                        const WCHAR* data, int dataLength) {
    CloseStartTag();
    m_out += u"<?";
    m_out.append(View(target, targetLength));
    if (dataLength > 0) {
        m_out += u' ';
        m_out.append(View(data, dataLength));
    }
    m_out += u"?>";
    return FlushWhenFull();
}

HRESULT WatermarkPageWriter::FlushWhenFull() {
    return m_out.size() >= kFlushAt ? Flush() : S_OK;
}

HRESULT WatermarkPageWriter::Flush() {
    if (m_out.empty()) {
        return S_OK;
    }
    CXString text(std::move(m_out));
    m_out.clear();
    return WriteToPrintStream(&text, m_stream.p);
}
