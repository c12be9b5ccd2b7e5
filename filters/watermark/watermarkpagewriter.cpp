#include "watermarkpagewriter.h"

#include <oleauto.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
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

HRESULT WatermarkPageWriter::AppendName(const WCHAR* text, int length) {
    const std::u16string_view name = View(text, length);
    if (name.empty()) {
        return S_OK;
    }
    // The pointer's bits mixed, so that names the reader keeps at a regular stride spread; a
    // name looks in four slots from there, and a new one takes the first free of them (or the
    // first, when none is).
    constexpr size_t kSlots = std::size(decltype(m_names){});
    static_assert(kSlots == 64);
    const size_t home = (reinterpret_cast<std::uintptr_t>(text) * 0x9E3779B97F4A7C15u) >> 58;
    KnownName* known = nullptr;
    for (size_t probe = 0; probe < 4; ++probe) {
        KnownName& slot = m_names[(home + probe) % kSlots];
        if (slot.text == text || !slot.text) {
            known = &slot;
            break;
        }
    }
    if (!known) {
        known = &m_names[home];
    }
    // memcmp rather than the units' own comparison, which goes a unit at a time.
    if (known->text == text && known->unitCount == name.size() &&
        std::memcmp(known->units, name.data(), name.size() * sizeof(WCHAR)) == 0) {
        m_out.append(known->utf8, known->byteCount);
        return S_OK;
    }
    const size_t start = m_out.size();
    const HRESULT hr = Append(name, false);
    const size_t bytes = m_out.size() - start;
    if (SUCCEEDED(hr) && name.size() <= KnownName::kLongest && bytes <= sizeof known->utf8) {
        std::copy(name.begin(), name.end(), known->units);
        std::memcpy(known->utf8, m_out.data() + start, bytes);
        known->unitCount = name.size();
        known->byteCount = bytes;
        known->text = text;
    }
    return hr;
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
    HRESULT hr = AppendName(qName, qNameLength);
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
            hr = AppendName(attributeName, nameLength);
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
        hr = AppendName(qName, qNameLength);
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
