// CSaxHandler: the base of the SAX content handlers that rewrite page markup.
//
// Contract. A filter parses a fixed page with the SAX reader and writes it again through a
// subclass, which overrides the callbacks it needs; every callback of this class answers S_OK
// and does nothing, so a parse with an unchanged handler succeeds and writes nothing. A handler
// is a COM object made with new: it starts with one reference, owned by its creator, and the
// last Release deletes it (a copy is a new object with a reference of its own). The reader
// calls it on one thread.
//
// Services for subclasses:
// - WriteToPrintStream writes a text as UTF-8 (no byte order mark, no terminator) to a pipeline
//   or COM stream, all of it or a failure (CWideToUTF8 says how a short write is handled).
// - EscapeEntity makes a text fit to stand in XML character data or in an attribute value
//   quoted with either quote: & < > " ' become &amp; &lt; &gt; &quot; &apos;, and tab, line
//   feed and carriage return become &#x9; &#xA; &#xD;, which a parser would otherwise normalise
//   (in an attribute value to a space, a carriage return everywhere). Escaping is not
//   idempotent: escaped text escaped again has its ampersands escaped.
// - AppendUTF8 and WriteUTF8ToPrintStream let a handler build its output as UTF-8 bytes: each
//   piece of text is escaped (or not) and converted in one pass straight into the handler's
//   buffer, and the buffer is written as it stands, with no UTF-16 copy of the output between.
//
// Failures. The services answer HRESULTs. Running out of memory for a conversion buffer raises
// std::bad_alloc, which the library's error convention lets pass; from a callback it reaches
// the SAX reader, which ends the parse with E_OUTOFMEMORY.
#pragma once

#include <filterutilities/cunknown.h>
#include <filterutilities/filterutilitiesexport.h>

#include <kldutil/cxstring.h>

#include <filterpipeline.h>
#include <msxml6.h>
#include <objidl.h>
#include <windows.h>

#include <string>
#include <string_view>

class FILTERUTILITIES_API CSaxHandler : public CUnknown<ISAXContentHandler> {
public:
    CSaxHandler() noexcept;
    CSaxHandler(const CSaxHandler& other) noexcept = default;
    CSaxHandler& operator=(const CSaxHandler& other) noexcept = default;

    STDMETHODIMP putDocumentLocator(ISAXLocator* locator) override;
    STDMETHODIMP startDocument() override;
    STDMETHODIMP endDocument() override;
    STDMETHODIMP startPrefixMapping(const WCHAR* prefix, int prefixLength, const WCHAR* uri,
                                    int uriLength) override;
    STDMETHODIMP endPrefixMapping(const WCHAR* prefix, int prefixLength) override;
    STDMETHODIMP startElement(const WCHAR* namespaceUri, int namespaceUriLength,
                              const WCHAR* localName, int localNameLength, const WCHAR* qName,
                              int qNameLength, ISAXAttributes* attributes) override;
    STDMETHODIMP endElement(const WCHAR* namespaceUri, int namespaceUriLength,
                            const WCHAR* localName, int localNameLength, const WCHAR* qName,
                            int qNameLength) override;
    STDMETHODIMP characters(const WCHAR* chars, int charsLength) override;
    STDMETHODIMP ignorableWhitespace(const WCHAR* chars, int charsLength) override;
    STDMETHODIMP processingInstruction(const WCHAR* target, int targetLength, const WCHAR* data,
                                       int dataLength) override;
    STDMETHODIMP skippedEntity(const WCHAR* name, int nameLength) override;

protected:
    ~CSaxHandler() override;

    // Writes text as UTF-8. E_POINTER for a null text or stream; E_FAIL for an empty text,
    // which writes nothing; otherwise what the stream answered.
    static HRESULT WriteToPrintStream(const CXString* text, IPrintWriteStream* stream);
    static HRESULT WriteToPrintStream(const CXString* text, ISequentialStream* stream);

    // Escapes the BSTR *text in place. A text that needs no escaping, an empty one included,
    // is left as it is; otherwise the old BSTR is freed and *text receives a new one. E_POINTER
    // for a null pointer. Text XML cannot carry (a control character other than tab, line feed
    // and carriage return, U+FFFE, U+FFFF or a surrogate without its pair) gives E_INVALIDARG
    // and leaves *text as it was, as does running out of memory for the new BSTR
    // (E_OUTOFMEMORY).
    static HRESULT EscapeEntity(BSTR* text);

    // Appends length units of text to out as UTF-8 (no byte order mark): escaped as
    // EscapeEntity escapes it when escape is true, as it stands otherwise (names, and markup
    // already escaped). A negative length, a null text with a length, and text XML cannot carry
    // (as EscapeEntity judges it, in both forms) give E_INVALIDARG and leave out as it was.
    // Running out of memory raises std::bad_alloc.
    static HRESULT AppendUTF8(std::string& out, const WCHAR* text, int length, bool escape);

    // Writes UTF-8 bytes to the stream, all of them or a failure, as CWideToUTF8 writes; an
    // empty text writes nothing and answers S_OK. E_POINTER for a null stream.
    static HRESULT WriteUTF8ToPrintStream(std::string_view bytes, IPrintWriteStream* stream);
};
