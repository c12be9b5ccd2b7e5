// WatermarkPageWriter: the SAX content handler that writes a fixed page's markup again, as
// UTF-8 to the page's new content, with the watermark's markup added under the page's content
// (as the first element after FixedPage.Resources) and over it (as the last element).
//
// Contract.
// - The root element must be a FixedPage of Microsoft XPS or of OpenXPS; any other root fails
//   the parse with HRESULT_FROM_WIN32(ERROR_INVALID_DATA). When the root starts, the writer
//   asks its marks source for the markup to add, telling it the page's namespace and the
//   prefix the page uses for it, so that what is added is in the page's own vocabulary.
// - Elements, attributes (namespace declarations among them), character data and processing
//   instructions are written again with their qualified names, text escaped as
//   CSaxHandler::EscapeEntity escapes it; an element without content is written as an
//   empty-element tag. Comments are not heard by a content handler and so not written.
// - Output gathers in memory as UTF-8, each piece escaped and converted in one pass
//   (CSaxHandler::AppendUTF8), and is written to the stream when it passes 64 KiB and at the
//   end of the document; the buffer is kept from one write to the next. The stream is the
//   caller's to close.
// - A page names the same few elements and attributes again and again: the UTF-8 form of a
//   name is kept by where the reader handed it out and its units, and converted again only
//   when another name turns up there.
// - The writer is a COM object made with new (one reference for its creator).
#pragma once

#include <filterutilities/saxhandler.h>

#include <atlbase.h>
#include <filterpipeline.h>
#include <windows.h>

#include <string>
#include <string_view>

// What a page gets added: markup (already escaped) under and over the page's content.
class IWatermarkMarks {
public:
    virtual ~IWatermarkMarks() = default;
    // namespaceUri: the page's markup namespace; elementPrefix: "" or "p:" as the page names
    // its FixedPage.
    virtual HRESULT MarksFor(std::u16string_view namespaceUri, std::u16string_view elementPrefix,
                             std::u16string* under, std::u16string* over) = 0;
};

class WatermarkPageWriter final : public CSaxHandler {
public:
    static constexpr std::u16string_view kXpsNamespace =
        u"http://schemas.microsoft.com/xps/2005/06";
    static constexpr std::u16string_view kOpenXpsNamespace =
        u"http://schemas.openxps.org/oxps/v1.0";

    WatermarkPageWriter(IPrintWriteStream* stream, IWatermarkMarks* marks);

    STDMETHODIMP startDocument() override;
    STDMETHODIMP endDocument() override;
    STDMETHODIMP startElement(const WCHAR* namespaceUri, int namespaceUriLength,
                              const WCHAR* localName, int localNameLength, const WCHAR* qName,
                              int qNameLength, ISAXAttributes* attributes) override;
    STDMETHODIMP endElement(const WCHAR* namespaceUri, int namespaceUriLength,
                            const WCHAR* localName, int localNameLength, const WCHAR* qName,
                            int qNameLength) override;
    STDMETHODIMP characters(const WCHAR* chars, int length) override;
    STDMETHODIMP ignorableWhitespace(const WCHAR* chars, int length) override;
    STDMETHODIMP processingInstruction(const WCHAR* target, int targetLength, const WCHAR* data,
                                       int dataLength) override;

    // Appends text to out escaped for character data or an attribute value (either quote).
    static HRESULT AppendEscaped(std::u16string& out, std::u16string_view text);

private:
    // A name converted once, found again by the reader's pointer to it. Names longer than
    // kLongest units are converted each time.
    struct KnownName {
        static constexpr size_t kLongest = 32;
        const WCHAR* text = nullptr;
        size_t unitCount = 0;
        size_t byteCount = 0;
        WCHAR units[kLongest];
        char utf8[3 * kLongest];
    };

    void CloseStartTag();
    void AppendUnder();
    HRESULT Append(std::u16string_view text, bool escape);
    HRESULT AppendName(const WCHAR* text, int length);
    HRESULT FlushWhenFull();
    HRESULT Flush();

    CComPtr<IPrintWriteStream> m_stream;
    IWatermarkMarks* m_marks;       // not owned; outlives the parse
    std::string m_out;              // UTF-8
    std::string m_under;            // UTF-8
    std::string m_over;             // UTF-8
    std::u16string m_resourcesName; // the page's qualified name of FixedPage.Resources
    KnownName m_names[64];          // by the pointer's bits, the last name met there
    int m_depth = 0;
    bool m_startTagOpen = false;
    bool m_underWritten = false;
};
