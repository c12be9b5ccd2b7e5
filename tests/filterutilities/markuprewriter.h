// A content handler that writes the markup it hears again, as a page-rewriting filter does:
// every element with its attributes (namespace declarations among them), character data and
// processing instructions, escaped with CSaxHandler::EscapeEntity and written as UTF-8 with
// CSaxHandler::WriteToPrintStream. Output gathers in a string and is written whenever it
// passes flushAt units, and at the end of the document. An element without content is
// written as an empty-element tag. Comments are not heard, so not written.
#pragma once

#include <filterutilities/saxhandler.h>

#include <atlbase.h>
#include <oleauto.h>

#include <string>
#include <utility>

namespace markuptest {

class MarkupRewriter : public CSaxHandler {
public:
    template <class Stream>
    static CComPtr<MarkupRewriter> Make(Stream* stream, size_t flushAt = 32 * 1024) {
        CComPtr<MarkupRewriter> made;
        made.Attach(new MarkupRewriter(stream, flushAt));
        return made;
    }

    STDMETHODIMP startDocument() override {
        m_out = u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
        return S_OK;
    }
    STDMETHODIMP endDocument() override { return Flush(); }
    STDMETHODIMP startElement(const WCHAR*, int, const WCHAR*, int, const WCHAR* qName,
                              int qNameLength, ISAXAttributes* attributes) override {
        CloseStartTag();
        m_out += u'<';
        m_out.append(qName, static_cast<size_t>(qNameLength));
        int count = 0;
        HRESULT hr = attributes->getLength(&count);
        for (int i = 0; SUCCEEDED(hr) && i < count; ++i) {
            const WCHAR* name = nullptr;
            const WCHAR* value = nullptr;
            int nameLength = 0;
            int valueLength = 0;
            hr = attributes->getQName(i, &name, &nameLength);
            if (SUCCEEDED(hr)) {
                hr = attributes->getValue(i, &value, &valueLength);
            }
            if (SUCCEEDED(hr)) {
                m_out += u' ';
                m_out.append(name, static_cast<size_t>(nameLength));
                m_out += u"=\"";
                hr = AppendEscaped(value, valueLength);
                m_out += u'"';
            }
        }
        m_startTagOpen = true;
        return FAILED(hr) ? hr : FlushWhenFull();
    }
    STDMETHODIMP endElement(const WCHAR*, int, const WCHAR*, int, const WCHAR* qName,
                            int qNameLength) override {
        if (m_startTagOpen) {
            m_out += u"/>";
            m_startTagOpen = false;
        } else {
            m_out += u"</";
            m_out.append(qName, static_cast<size_t>(qNameLength));
            m_out += u'>';
        }
        return FlushWhenFull();
    }
    STDMETHODIMP characters(const WCHAR* chars, int length) override {
        CloseStartTag();
        const HRESULT hr = AppendEscaped(chars, length);
        return FAILED(hr) ? hr : FlushWhenFull();
    }
    STDMETHODIMP ignorableWhitespace(const WCHAR* chars, int length) override {
        return characters(chars, length);
    }
    STDMETHODIMP processingInstruction(const WCHAR* target, int targetLength, const WCHAR* data,
                                       int dataLength) override {
        CloseStartTag();
        m_out += u"<?";
        m_out.append(target, static_cast<size_t>(targetLength));
        if (dataLength > 0) {
            m_out += u' ';
            m_out.append(data, static_cast<size_t>(dataLength));
        }
        m_out += u"?>";
        return FlushWhenFull();
    }

    // What went to the stream's writes, in calls.
    int writes = 0;

private:
    MarkupRewriter(IPrintWriteStream* stream, size_t flushAt)
        : m_printStream(stream), m_flushAt(flushAt) {}
    MarkupRewriter(ISequentialStream* stream, size_t flushAt)
        : m_comStream(stream), m_flushAt(flushAt) {}

    void CloseStartTag() {
        if (m_startTagOpen) {
            m_out += u'>';
            m_startTagOpen = false;
        }
    }
    HRESULT AppendEscaped(const WCHAR* text, int length) {
        if (length == 0) {
            return S_OK;
        }
        CComBSTR escaped;
        escaped.Attach(::SysAllocStringLen(text, static_cast<UINT>(length)));
        if (!escaped) {
            return E_OUTOFMEMORY;
        }
        const HRESULT hr = EscapeEntity(&escaped.m_str);
        if (SUCCEEDED(hr)) {
            m_out.append(escaped.m_str, escaped.Length());
        }
        return hr;
    }
    HRESULT FlushWhenFull() { return m_out.size() >= m_flushAt ? Flush() : S_OK; }
    HRESULT Flush() {
        if (m_out.empty()) {
            return S_OK;
        }
        CXString text(std::move(m_out));
        m_out.clear();
        ++writes;
        return m_printStream ? WriteToPrintStream(&text, m_printStream.p)
                             : WriteToPrintStream(&text, m_comStream.p);
    }

    CComPtr<IPrintWriteStream> m_printStream;
    CComPtr<ISequentialStream> m_comStream;
    size_t m_flushAt;
    std::u16string m_out;
    bool m_startTagOpen = false;
};

} // namespace markuptest
