#include "saxreader.h"

#include "com/classregistry.h"
#include "domloader.h"
#include "saxnames.h"
#include "widetext.h"
#include "xmltext.h"

#include <libxml/SAX2.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>

#include <algorithm>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace platform::msxml {
// The objects a parse hands to its handler (named, not file-local: the reader keeps them).
namespace sax {

// A span of UTF-16 text inside a buffer that may still grow.
struct Span {
    size_t offset = 0;
    int length = 0;
};

// The attributes of the element being started. Made for one parse and refilled for each
// element: a handler that keeps it past its startElement callback sees the attributes of the
// element started last. It owns the parse's names (element names too), so that whoever holds
// it holds the names it gives; values are widened into one buffer.
class SaxAttributes final : public com::Object<SaxAttributes, ISAXAttributes> {
public:
    using Interfaces = com::InterfaceTable<ISAXAttributes>;

    SaxNames& Names() noexcept { return names_; }

    void Clear() {
        values_.Clear();
        entries_.clear();
    }
    void Add(const SaxNames::Name& name, std::string_view utf8Value) {
        Span value{values_.Size(), 0};
        values_.Append(utf8Value);
        value.length = static_cast<int>(values_.Size() - value.offset);
        entries_.push_back({&name, value});
    }

    HRESULT STDMETHODCALLTYPE getLength(int* length) override {
        if (!length) {
            return E_POINTER;
        }
        *length = static_cast<int>(entries_.size());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE getURI(int index, const WCHAR** uri, int* length) override {
        return Give(index, &SaxNames::Name::uri, uri, length);
    }
    HRESULT STDMETHODCALLTYPE getLocalName(int index, const WCHAR** local, int* length) override {
        return Give(index, &SaxNames::Name::local, local, length);
    }
    HRESULT STDMETHODCALLTYPE getQName(int index, const WCHAR** qname, int* length) override {
        return Give(index, &SaxNames::Name::qname, qname, length);
    }
    HRESULT STDMETHODCALLTYPE getName(int index, const WCHAR** uri, int* uriLength,
                                      const WCHAR** local, int* localLength, const WCHAR** qname,
                                      int* qnameLength) override {
        HRESULT hr = Give(index, &SaxNames::Name::uri, uri, uriLength);
        if (SUCCEEDED(hr)) {
            hr = Give(index, &SaxNames::Name::local, local, localLength);
        }
        if (SUCCEEDED(hr)) {
            hr = Give(index, &SaxNames::Name::qname, qname, qnameLength);
        }
        return hr;
    }
    HRESULT STDMETHODCALLTYPE getIndexFromName(const WCHAR* uri, int uriLength, const WCHAR* local,
                                               int localLength, int* index) override {
        if (!index || (!uri && uriLength) || (!local && localLength)) {
            return E_POINTER;
        }
        for (size_t i = 0; i < entries_.size(); ++i) {
            if (Is(entries_[i].name->uri, uri, uriLength) &&
                Is(entries_[i].name->local, local, localLength)) {
                *index = static_cast<int>(i);
                return S_OK;
            }
        }
        *index = -1;
        return E_INVALIDARG;
    }
    HRESULT STDMETHODCALLTYPE getIndexFromQName(const WCHAR* qname, int qnameLength,
                                                int* index) override {
        if (!index || (!qname && qnameLength)) {
            return E_POINTER;
        }
        for (size_t i = 0; i < entries_.size(); ++i) {
            if (Is(entries_[i].name->qname, qname, qnameLength)) {
                *index = static_cast<int>(i);
                return S_OK;
            }
        }
        *index = -1;
        return E_INVALIDARG;
    }
    HRESULT STDMETHODCALLTYPE getType(int index, const WCHAR** type, int* length) override {
        if (!type || !length) {
            return E_POINTER;
        }
        if (index < 0 || static_cast<size_t>(index) >= entries_.size()) {
            return E_INVALIDARG;
        }
        *type = u"CDATA"; // without a DTD every attribute is CDATA
        *length = 5;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE getTypeFromName(const WCHAR* uri, int uriLength, const WCHAR* local,
                                              int localLength, const WCHAR** type,
                                              int* length) override {
        int index = -1;
        const HRESULT hr = getIndexFromName(uri, uriLength, local, localLength, &index);
        return FAILED(hr) ? hr : getType(index, type, length);
    }
    HRESULT STDMETHODCALLTYPE getTypeFromQName(const WCHAR* qname, int qnameLength,
                                               const WCHAR** type, int* length) override {
        int index = -1;
        const HRESULT hr = getIndexFromQName(qname, qnameLength, &index);
        return FAILED(hr) ? hr : getType(index, type, length);
    }
    HRESULT STDMETHODCALLTYPE getValue(int index, const WCHAR** value, int* length) override {
        if (!value || !length) {
            return E_POINTER;
        }
        if (index < 0 || static_cast<size_t>(index) >= entries_.size()) {
            return E_INVALIDARG;
        }
        const Span span = entries_[static_cast<size_t>(index)].value;
        *value = values_.Data() + span.offset;
        *length = span.length;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE getValueFromName(const WCHAR* uri, int uriLength, const WCHAR* local,
                                               int localLength, const WCHAR** value,
                                               int* length) override {
        int index = -1;
        const HRESULT hr = getIndexFromName(uri, uriLength, local, localLength, &index);
        return FAILED(hr) ? hr : getValue(index, value, length);
    }
    HRESULT STDMETHODCALLTYPE getValueFromQName(const WCHAR* qname, int qnameLength,
                                                const WCHAR** value, int* length) override {
        int index = -1;
        const HRESULT hr = getIndexFromQName(qname, qnameLength, &index);
        return FAILED(hr) ? hr : getValue(index, value, length);
    }

private:
    struct Entry {
        const SaxNames::Name* name; // one of names_, so valid as long as this object
        Span value;
    };

    HRESULT Give(int index, std::u16string_view SaxNames::Name::*part, const WCHAR** text,
                 int* length) const {
        if (!text || !length) {
            return E_POINTER;
        }
        if (index < 0 || static_cast<size_t>(index) >= entries_.size()) {
            return E_INVALIDARG;
        }
        const std::u16string_view view = entries_[static_cast<size_t>(index)].name->*part;
        *text = view.data();
        *length = static_cast<int>(view.size());
        return S_OK;
    }
    static bool Is(std::u16string_view name, const WCHAR* text, int length) {
        return length >= 0 && name == std::u16string_view(text, static_cast<size_t>(length));
    }

    SaxNames names_;
    WideText values_; // the values of the element's attributes, one after the other
    std::vector<Entry> entries_;
};

// Where the parse is. A handler that keeps it past the parse finds no position (0).
class SaxLocator final : public com::Object<SaxLocator, ISAXLocator> {
public:
    using Interfaces = com::InterfaceTable<ISAXLocator>;

    xmlParserCtxtPtr context = nullptr;

    HRESULT STDMETHODCALLTYPE getColumnNumber(int* column) override {
        if (!column) {
            return E_POINTER;
        }
        *column = context ? xmlSAX2GetColumnNumber(context) : 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE getLineNumber(int* line) override {
        if (!line) {
            return E_POINTER;
        }
        *line = context ? xmlSAX2GetLineNumber(context) : 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE getPublicId(const WCHAR** publicId) override {
        if (!publicId) {
            return E_POINTER;
        }
        *publicId = nullptr;
        return S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE getSystemId(const WCHAR** systemId) override {
        if (!systemId) {
            return E_POINTER;
        }
        *systemId = nullptr;
        return S_FALSE;
    }
};

} // namespace sax

using sax::SaxAttributes;
using sax::SaxLocator;

// What one parse leaves to the next parse of the same reader, so that a reader that parses page
// after page makes its parser, its names and its objects once: libxml2's push parser, reset for
// each parse (its dictionary, and with it the names made from it, kept), the attributes and the
// locator (made again when a handler still holds the ones before), the read buffer and the
// vectors of the parse. Only a parse that ended well leaves its parser, and only while the
// names it has met stay few: a failed parse, or one of many names, frees it.
class SaxSession {
public:
    static constexpr ULONG kChunk = 64 * 1024;
    // The most names a kept parser's dictionary may hold: beyond it the next parse starts anew,
    // so that a reader fed one document of odd names after another does not keep them all.
    static constexpr size_t kMostKeptNames = 4096;

    SaxSession() = default;
    ~SaxSession() { FreeParser(); }
    SaxSession(const SaxSession&) = delete;
    SaxSession& operator=(const SaxSession&) = delete;

    // The buffer reads go into, kChunk bytes; throws std::bad_alloc when memory runs out.
    char* Chunk() {
        if (!chunk_) {
            chunk_ = std::make_unique_for_overwrite<char[]>(kChunk); // not filled: read into
        }
        return chunk_.get();
    }

    // The parser for a parse whose first bytes are first[0, size), calling back with user,
    // and the objects it hands out: the parser kept when it was made for the same kind of
    // input, else a new one with names of its own (its dictionary is new); attributes and a
    // locator that no handler holds. Null when memory runs out.
    xmlParserCtxtPtr Begin(xmlSAXHandler& sax, void* user, const char* first, int size,
                           bool textIsUtf8) {
        const bool reuse = context_ && textIsUtf8_ == textIsUtf8 &&
                           xmlCtxtResetPush(context_, first, size, nullptr, nullptr) == 0;
        if (!reuse) {
            FreeParser();
            attributes_.Release();
        }
        if (!attributes_ || HeldElsewhere(*attributes_)) {
            attributes_.Attach(com::New<SaxAttributes>());
        }
        if (!locator_ || HeldElsewhere(*locator_)) {
            locator_.Attach(com::New<SaxLocator>());
        }
        if (!attributes_ || !locator_) {
            return nullptr;
        }
        if (!reuse) {
            context_ = xmlCreatePushParserCtxt(&sax, user, first, size, nullptr);
            textIsUtf8_ = textIsUtf8;
            if (!context_) {
                return nullptr;
            }
        }
        context_->userData = user;
        attributes_->Names().UseDictionary(context_->dict);
        locator_->context = context_;
        return context_;
    }

    // After the parse: the parser is kept for the next when the parse ended well and its
    // dictionary is still small. A handler that keeps the locator past the parse finds no
    // position; one that keeps the attributes keeps their names.
    void Finish(bool endedWell) {
        if (locator_) {
            locator_->context = nullptr;
        }
        if (attributes_) {
            attributes_->Names().UseDictionary(nullptr);
        }
        if (!endedWell || (context_ && !SmallDictionary(context_->dict))) {
            FreeParser();
        } else if (attributes_ && context_) {
            attributes_->Names().UseDictionary(context_->dict);
        }
    }

    SaxAttributes& Attributes() const noexcept { return *attributes_; }
    SaxLocator& Locator() const noexcept { return *locator_; }

    WideText scratch; // the text of the event being called
    std::vector<int> prefixCounts;
    std::vector<const SaxNames::Name*> prefixes; // the declarations in scope, innermost last

private:
    static bool SmallDictionary(xmlDictPtr dictionary) {
        const int names = xmlDictSize(dictionary);
        return names >= 0 && static_cast<size_t>(names) <= kMostKeptNames;
    }
    template <class T>
    static bool HeldElsewhere(T& object) {
        object.AddRef();
        return object.Release() > 1;
    }
    void FreeParser() {
        if (attributes_) {
            attributes_->Names().UseDictionary(nullptr); // it goes with the parser
        }
        if (context_) {
            xmlFreeParserCtxt(context_);
            context_ = nullptr;
        }
    }

    xmlParserCtxtPtr context_ = nullptr;
    bool textIsUtf8_ = false;
    CComPtr<SaxAttributes> attributes_;
    CComPtr<SaxLocator> locator_;
    std::unique_ptr<char[]> chunk_;
};

namespace {

// One parse: the bridge from libxml2's SAX2 callbacks to the content handler.
class SaxRun {
public:
    SaxRun(ISAXContentHandler* handler, SaxSession& session)
        : handler_(handler), session_(session), scratch_(session.scratch),
          prefixCounts_(session.prefixCounts), prefixes_(session.prefixes) {
        scratch_.Clear();
        prefixCounts_.clear();
        prefixes_.clear();
    }
    SaxRun(const SaxRun&) = delete;
    SaxRun& operator=(const SaxRun&) = delete;

    SaxNames& Names() noexcept { return session_.Attributes().Names(); }

    xmlParserCtxtPtr context = nullptr;
    // The first failure of the handler, or E_OUTOFMEMORY from a callback; it stops the parse.
    HRESULT handlerFailure = S_OK;
    bool refused = false;
    bool malformed = false;

    static SaxRun& Of(void* user) { return *static_cast<SaxRun*>(user); }

    // Runs a handler call; a failure stops the parse and becomes its result.
    template <class Fn>
    void Call(Fn&& call) {
        if (handler_ && handlerFailure == S_OK) {
            const HRESULT hr = call(handler_);
            if (FAILED(hr)) {
                handlerFailure = hr;
                xmlStopParser(context);
            }
        }
    }
    void Refuse() {
        refused = true;
        xmlStopParser(context);
    }
    // Runs the body of a libxml2 callback. Nothing may unwind through libxml2's C frames, so
    // running out of memory stops the parse here and becomes its result, and so does any other
    // exception a handler lets out, as E_FAIL (a failed BSTR copy as its E_OUTOFMEMORY).
    template <class Body>
    static void Callback(void* user, Body&& body) noexcept {
        SaxRun& run = Of(user);
        HRESULT hr = S_OK;
        try {
            body(run);
        } catch (const std::bad_alloc&) {
            hr = E_OUTOFMEMORY;
        } catch (const std::length_error&) {
            hr = E_OUTOFMEMORY;
        } catch (const ATL::CAtlException& exception) {
            hr = FAILED(exception.m_hr) ? exception.m_hr : E_FAIL;
        } catch (...) {
            hr = E_FAIL;
        }
        if (FAILED(hr) && run.handlerFailure == S_OK) {
            run.handlerFailure = hr;
            xmlStopParser(run.context);
        }
    }

    static void SetDocumentLocator(void* user, xmlSAXLocatorPtr) {
        Callback(user, [](SaxRun& run) {
            ISAXLocator* locator = &run.session_.Locator();
            run.Call([&](ISAXContentHandler* h) { return h->putDocumentLocator(locator); });
        });
    }
    static void StartDocument(void* user) {
        Callback(user, [](SaxRun& run) {
            run.Call([](ISAXContentHandler* h) { return h->startDocument(); });
        });
    }
    static void EndDocument(void* user) {
        // libxml2 ends even a document that failed (an empty one, say); the handler hears the
        // end of well-formed documents only.
        Callback(user, [](SaxRun& run) {
            if (run.context->wellFormed && !run.malformed) {
                run.Call([](ISAXContentHandler* h) { return h->endDocument(); });
            }
        });
    }
    static void InternalSubset(void* user, const xmlChar*, const xmlChar*, const xmlChar*) {
        Of(user).Refuse(); // DTDs are refused
    }
    static void StartElement(void* user, const xmlChar* local, const xmlChar* prefix,
                             const xmlChar* uri, int namespaceCount, const xmlChar** namespaces,
                             int attributeCount, int, const xmlChar** attributes) {
        Callback(user, [&](SaxRun& run) {
            if (++run.depth_ > kMaxElementDepth) {
                run.Refuse();
                return;
            }
            run.prefixCounts_.push_back(namespaceCount);
            WideText& scratch = run.scratch_;
            for (int i = 0; i < namespaceCount; ++i) {
                const SaxNames::Name& declaration = run.Names().OfDeclaration(namespaces[2 * i]);
                run.prefixes_.push_back(&declaration);
                scratch.Clear();
                scratch.Append(ViewOf(namespaces[2 * i + 1]));
                run.Call([&](ISAXContentHandler* h) {
                    return h->startPrefixMapping(declaration.prefix.data(),
                                                 static_cast<int>(declaration.prefix.size()),
                                                 scratch.Data(), static_cast<int>(scratch.Size()));
                });
            }
            SaxAttributes& list = run.session_.Attributes();
            list.Clear();
            for (int i = 0; i < attributeCount; ++i) {
                const xmlChar** a = attributes + 5 * i; // local, prefix, URI, value, value end
                list.Add(run.Names().OfAttribute(static_cast<size_t>(i), a[0], a[1], a[2]),
                         std::string_view(reinterpret_cast<const char*>(a[3]),
                                          static_cast<size_t>(a[4] - a[3])));
            }
            for (int i = 0; i < namespaceCount; ++i) {
                list.Add(run.Names().OfDeclaration(namespaces[2 * i]),
                         ViewOf(namespaces[2 * i + 1]));
            }
            run.CallWithName(run.Names().Of(local, prefix, uri), true);
        });
    }
    static void EndElement(void* user, const xmlChar* local, const xmlChar* prefix,
                           const xmlChar* uri) {
        Callback(user, [&](SaxRun& run) {
            --run.depth_;
            run.CallWithName(run.Names().Of(local, prefix, uri), false);
            const int count = run.prefixCounts_.empty() ? 0 : run.prefixCounts_.back();
            if (!run.prefixCounts_.empty()) {
                run.prefixCounts_.pop_back();
            }
            const size_t first = run.prefixes_.size() - static_cast<size_t>(count);
            for (size_t i = first; i < run.prefixes_.size(); ++i) {
                const std::u16string_view declared = run.prefixes_[i]->prefix;
                run.Call([&](ISAXContentHandler* h) {
                    return h->endPrefixMapping(declared.data(), static_cast<int>(declared.size()));
                });
            }
            run.prefixes_.resize(first);
        });
    }
    static void Characters(void* user, const xmlChar* text, int length) {
        Callback(user, [&](SaxRun& run) {
            WideText& scratch = run.scratch_;
            scratch.Clear();
            scratch.Append(
                std::string_view(reinterpret_cast<const char*>(text), static_cast<size_t>(length)));
            run.Call([&](ISAXContentHandler* h) {
                return h->characters(scratch.Data(), static_cast<int>(scratch.Size()));
            });
        });
    }
    static void ProcessingInstruction(void* user, const xmlChar* target, const xmlChar* data) {
        Callback(user, [&](SaxRun& run) {
            WideText& scratch = run.scratch_;
            scratch.Clear();
            scratch.Append(ViewOf(target));
            const size_t targetLength = scratch.Size();
            scratch.Append(ViewOf(data));
            run.Call([&](ISAXContentHandler* h) {
                return h->processingInstruction(scratch.Data(), static_cast<int>(targetLength),
                                                scratch.Data() + targetLength,
                                                static_cast<int>(scratch.Size() - targetLength));
            });
        });
    }
    // Well-formedness errors stop libxml2 by themselves; namespace errors do not, and are
    // failures all the same, except those a document may carry (see IsTolerated). An error of
    // the input's decoding (bytes that are not the text of their encoding) is raised while
    // libxml2 pushes a chunk into its input buffer, which stopping the parser would free under
    // it: the parser stops by itself once the push fails, and no further chunk is fed.
    static void RecordError(void* user, xmlErrorPtr error) {
        if (user && error && error->level >= XML_ERR_ERROR && !IsTolerated(*error)) {
            SaxRun& run = Of(user);
            run.malformed = true;
            if (error->domain != XML_FROM_IO && error->domain != XML_FROM_I18N) {
                xmlStopParser(run.context);
            }
        }
    }

private:
    // Element names go to the handler as the parse's names: not terminated.
    void CallWithName(const SaxNames::Name& name, bool start) {
        const auto length = [](std::u16string_view part) { return static_cast<int>(part.size()); };
        Call([&](ISAXContentHandler* h) {
            return start ? h->startElement(name.uri.data(), length(name.uri), name.local.data(),
                                           length(name.local), name.qname.data(),
                                           length(name.qname), &session_.Attributes())
                         : h->endElement(name.uri.data(), length(name.uri), name.local.data(),
                                         length(name.local), name.qname.data(), length(name.qname));
        });
    }

    ISAXContentHandler* handler_;
    SaxSession& session_;
    WideText& scratch_; // the text of the event being called
    std::vector<int>& prefixCounts_;
    std::vector<const SaxNames::Name*>& prefixes_; // the declarations in scope, innermost last
    unsigned depth_ = 0;
};

xmlSAXHandler MakeHandler() {
    xmlSAXHandler sax{};
    sax.initialized = XML_SAX2_MAGIC;
    sax.setDocumentLocator = SaxRun::SetDocumentLocator;
    sax.startDocument = SaxRun::StartDocument;
    sax.endDocument = SaxRun::EndDocument;
    sax.internalSubset = SaxRun::InternalSubset;
    sax.startElementNs = SaxRun::StartElement;
    sax.endElementNs = SaxRun::EndElement;
    sax.characters = SaxRun::Characters;
    sax.ignorableWhitespace = SaxRun::Characters;
    sax.cdataBlock = SaxRun::Characters;
    sax.processingInstruction = SaxRun::ProcessingInstruction;
    sax.serror = SaxRun::RecordError;
    return sax;
}

// Feeds chunks from next(buffer, size, &read) to the parser until it gives no more.
template <class Next>
HRESULT Run(SaxSession& session, ISAXContentHandler* handler, bool textIsUtf8, Next&& next) {
    constexpr ULONG kChunk = SaxSession::kChunk;
    char* const buffer = session.Chunk();
    ULONG read = 0;
    HRESULT hr = next(buffer, kChunk, &read);
    if (FAILED(hr)) {
        return hr;
    }
    SaxRun run(handler, session);
    xmlSAXHandler sax = MakeHandler();
    const int first = textIsUtf8 ? 0 : static_cast<int>(read < 4 ? read : 4);
    // Errors raised outside the parser context (the encoding converters) reach the thread's
    // handler: count them too, rather than letting them reach standard error. Making the
    // parser decodes the first bytes already, so the handler is in place before.
    void* oldErrorContext = xmlStructuredErrorContext;
    xmlStructuredErrorFunc oldError = xmlStructuredError;
    xmlSetStructuredErrorFunc(&run, SaxRun::RecordError);
    xmlParserCtxtPtr ctxt = session.Begin(sax, &run, buffer, first, textIsUtf8);
    if (!ctxt) {
        xmlSetStructuredErrorFunc(oldErrorContext, oldError);
        session.Finish(false);
        return E_OUTOFMEMORY;
    }
    run.context = ctxt;
    int options = XML_PARSE_NONET | XML_PARSE_NOENT | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
    if (textIsUtf8) {
        options |= XML_PARSE_IGNORE_ENC;
        xmlSwitchEncoding(ctxt, XML_CHAR_ENCODING_UTF8);
    }
    xmlCtxtUseOptions(ctxt, options);
    const char* rest = buffer + first;
    ULONG restSize = read - static_cast<ULONG>(first);
    HRESULT readFailure = S_OK;
    while (read > 0 && !ctxt->disableSAX && run.handlerFailure == S_OK && !run.refused &&
           !run.malformed) {
        xmlParseChunk(ctxt, rest, static_cast<int>(restSize), 0);
        hr = next(buffer, kChunk, &read);
        if (FAILED(hr)) {
            readFailure = hr;
            break;
        }
        rest = buffer;
        restSize = read;
    }
    if (readFailure == S_OK && run.handlerFailure == S_OK && !run.refused && !run.malformed) {
        xmlParseChunk(ctxt, nullptr, 0, 1);
    }
    const bool wellFormed = ctxt->wellFormed && !run.malformed;
    xmlSetStructuredErrorFunc(oldErrorContext, oldError);
    session.Finish(wellFormed && readFailure == S_OK && run.handlerFailure == S_OK && !run.refused);
    if (FAILED(readFailure)) {
        return readFailure;
    }
    if (FAILED(run.handlerFailure)) {
        return run.handlerFailure;
    }
    return run.refused || !wellFormed ? E_FAIL : S_OK;
}

const platform::ClassRegistration registration(CLSID_SAXXMLReader60, u"Msxml2.SAXXMLReader.6.0",
                                               &SaxReader::CreateInstance);

} // namespace

HRESULT SaxReader::CreateInstance(REFIID iid, void** object) {
    xmlInitParser();
    return com::CreateInstance<SaxReader>(iid, object);
}

HRESULT SaxReader::getContentHandler(ISAXContentHandler** handler) {
    if (!handler) {
        return E_POINTER;
    }
    return handler_.CopyTo(handler);
}

HRESULT SaxReader::putContentHandler(ISAXContentHandler* handler) {
    handler_ = handler;
    return S_OK;
}

SaxReader::SaxReader() = default;

SaxReader::~SaxReader() = default;

HRESULT SaxReader::parse(VARIANT input) {
    return Guarded([&]() -> HRESULT {
        CComPtr<ISAXContentHandler> handler = handler_; // kept while the parse runs
        // The session is the parse's while it runs: a handler that parses again with this
        // reader gets a session of its own.
        std::unique_ptr<SaxSession> session = std::move(session_);
        if (!session) {
            session = std::make_unique<SaxSession>();
        }
        const auto run = [&](bool textIsUtf8, auto&& next) {
            const HRESULT hr = Run(*session, handler, textIsUtf8, next);
            session_ = std::move(session);
            return hr;
        };
        if (input.vt == VT_BSTR) {
            std::u16string_view text = View(input.bstrVal);
            if (!text.empty() && text.front() == u'\xFEFF') {
                text.remove_prefix(1);
            }
            std::string bytes;
            if (!AppendXmlUtf8(bytes, text)) {
                return E_FAIL;
            }
            size_t offset = 0;
            return run(true, [&](char* buffer, ULONG size, ULONG* read) {
                const size_t count = std::min<size_t>(size, bytes.size() - offset);
                bytes.copy(buffer, count, offset);
                offset += count;
                *read = static_cast<ULONG>(count);
                return S_OK;
            });
        }
        if ((input.vt != VT_UNKNOWN && input.vt != VT_DISPATCH) || !input.punkVal) {
            return E_INVALIDARG;
        }
        CComPtr<ISequentialStream> stream;
        if (FAILED(input.punkVal->QueryInterface(&stream))) {
            return E_INVALIDARG;
        }
        return run(false, [&](char* buffer, ULONG size, ULONG* read) {
            *read = 0;
            const HRESULT hr = stream->Read(buffer, size, read);
            if (*read > size) {
                *read = 0;
            }
            return FAILED(hr) ? hr : S_OK;
        });
    });
}

} // namespace platform::msxml
