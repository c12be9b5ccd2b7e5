// The SAX reader: the events a content handler hears, in order, and how a parse stops.
#include "domtest.h"

#include "platformtest.h"

#include <algorithm>
#include <new>
#include <string>
#include <string_view>
#include <utility>

using namespace domtest;

namespace {

// Writes every event as one line; can fail at the n-th event.
class RecordingHandler : public ISAXContentHandler {
public:
    std::string log;
    int failAt = 0; // 1-based event number that answers failure; 0: none
    HRESULT failure = E_ABORT;
    int throwAt = 0; // 1-based event number that throws what thrower throws; 0: none
    void (*thrower)() = nullptr;
    // With keep set, the locator and the attributes of the last element are held on to.
    bool keep = false;
    CComPtr<ISAXLocator> keptLocator;
    CComPtr<ISAXAttributes> keptAttributes;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_ISAXContentHandler)) {
            *object = static_cast<ISAXContentHandler*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override { return --references_; } // on the stack

    HRESULT STDMETHODCALLTYPE putDocumentLocator(ISAXLocator* locator) override {
        if (keep) {
            keptLocator = locator;
        }
        return Event(locator ? "locator" : "locator(null)");
    }
    HRESULT STDMETHODCALLTYPE startDocument() override { return Event("startDocument"); }
    HRESULT STDMETHODCALLTYPE endDocument() override { return Event("endDocument"); }
    HRESULT STDMETHODCALLTYPE startPrefixMapping(const WCHAR* prefix, int prefixLength,
                                                 const WCHAR* uri, int uriLength) override {
        return Event("startPrefix " + Utf8(prefix, prefixLength) + "=" + Utf8(uri, uriLength));
    }
    HRESULT STDMETHODCALLTYPE endPrefixMapping(const WCHAR* prefix, int prefixLength) override {
        return Event("endPrefix " + Utf8(prefix, prefixLength));
    }
    HRESULT STDMETHODCALLTYPE startElement(const WCHAR* uri, int uriLength, const WCHAR* local,
                                           int localLength, const WCHAR* qname, int qnameLength,
                                           ISAXAttributes* attributes) override {
        std::string line = "start {" + Utf8(uri, uriLength) + "}" + Utf8(local, localLength) + " " +
                           Utf8(qname, qnameLength);
        if (keep) {
            keptAttributes = attributes;
        }
        int count = 0;
        attributes->getLength(&count);
        for (int i = 0; i < count; ++i) {
            const WCHAR* q = nullptr;
            const WCHAR* value = nullptr;
            const WCHAR* attributeUri = nullptr;
            int qLength = 0;
            int valueLength = 0;
            int attributeUriLength = 0;
            attributes->getQName(i, &q, &qLength);
            attributes->getValue(i, &value, &valueLength);
            attributes->getURI(i, &attributeUri, &attributeUriLength);
            line += " " + Utf8(q, qLength) + "{" + Utf8(attributeUri, attributeUriLength) +
                    "}=" + Utf8(value, valueLength);
        }
        return Event(line);
    }
    HRESULT STDMETHODCALLTYPE endElement(const WCHAR*, int, const WCHAR*, int, const WCHAR* qname,
                                         int qnameLength) override {
        return Event("end " + Utf8(qname, qnameLength));
    }
    HRESULT STDMETHODCALLTYPE characters(const WCHAR* chars, int length) override {
        return Event("chars [" + Utf8(chars, length) + "]");
    }
    HRESULT STDMETHODCALLTYPE ignorableWhitespace(const WCHAR* chars, int length) override {
        return Event("whitespace [" + Utf8(chars, length) + "]");
    }
    HRESULT STDMETHODCALLTYPE processingInstruction(const WCHAR* target, int targetLength,
                                                    const WCHAR* data, int dataLength) override {
        return Event("pi " + Utf8(target, targetLength) + " [" + Utf8(data, dataLength) + "]");
    }
    HRESULT STDMETHODCALLTYPE skippedEntity(const WCHAR* name, int length) override {
        return Event("skipped " + Utf8(name, length));
    }

private:
    HRESULT Event(const std::string& line) {
        log += line + "\n";
        ++events_;
        if (events_ == throwAt) {
            thrower();
        }
        return events_ == failAt ? failure : S_OK;
    }
    ULONG references_ = 1;
    int events_ = 0;
};

class Sax : public DomTest {
protected:
    static CComPtr<ISAXXMLReader> NewReader() {
        CComPtr<ISAXXMLReader> reader;
        EXPECT_EQ(S_OK, CoCreateInstance(CLSID_SAXXMLReader60, nullptr, CLSCTX_INPROC_SERVER,
                                         IID_ISAXXMLReader, reinterpret_cast<void**>(&reader)));
        return reader;
    }
    static HRESULT ParseText(RecordingHandler& handler, const std::string& xml) {
        CComPtr<ISAXXMLReader> reader = NewReader();
        EXPECT_EQ(S_OK, reader->putContentHandler(&handler));
        CComBSTR text = Bstr(xml);
        return reader->parse(Text(text));
    }
};

TEST_F(Sax, EventsArriveInDocumentOrder) {
    const struct {
        const char* name;
        const char* xml;
        const char* events;
    } cases[] = {
        {"declarations, attributes and text",
         "<?xml version='1.0'?><p:a xmlns:p='urn:p' x='1' xmlns='urn:d' p:y='&amp;'> t "
         "<b/><![CDATA[<c>]]><?pi data?></p:a>",
         "locator\nstartDocument\nstartPrefix p=urn:p\nstartPrefix =urn:d\n"
         "start {urn:p}a p:a x{}=1 p:y{urn:p}=& xmlns:p{}=urn:p xmlns{}=urn:d\n"
         "chars [ t ]\nstart {urn:d}b b\nend b\nchars [<c>]\npi pi [data]\nend p:a\n"
         "endPrefix p\nendPrefix \nendDocument\n"},
        {"whitespace is characters", "<a>\n  <b>&#x20AC;</b>\n</a>",
         "locator\nstartDocument\nstart {}a a\nchars [\n  ]\nstart {}b b\n"
         "chars [\xE2\x82\xAC]\nend b\nchars [\n]\nend a\nendDocument\n"},
        // Runs of ASCII of 7, 8, 9 and 16 bytes before and after characters of two, three and
        // four bytes (the last a surrogate pair), in names, values and text. libxml2 hands
        // the text's leading ASCII on by itself.
        {"non-ASCII names, values and text",
         "<\xC3\xA9:a xmlns:\xC3\xA9='urn:\xC3\xBC' abcdefgh\xC3\xA9='1234567\xF0\x9D\x84\x9E"
         "12345678'>123456789\xE2\x82\xAC"
         "0123456789abcdef\xF0\x9D\x84\x9E\xC3\xB1x</\xC3\xA9:a>",
         "locator\nstartDocument\nstartPrefix \xC3\xA9=urn:\xC3\xBC\n"
         "start {urn:\xC3\xBC}a \xC3\xA9:a abcdefgh\xC3\xA9{}=1234567\xF0\x9D\x84\x9E"
         "12345678 xmlns:\xC3\xA9{}=urn:\xC3\xBC\n"
         "chars [123456789]\nchars [\xE2\x82\xAC"
         "0123456789abcdef\xF0\x9D\x84\x9E\xC3\xB1x]\nend \xC3\xA9:a\nendPrefix \xC3\xA9\n"
         "endDocument\n"},
        {"runs of ASCII of sixteen bytes and more",
         "<a v='0123456789abcdef0123456789abcdefg\xC3\xA9h'>0123456789abcdef\xC3\xA9"
         "0123456789abcdef0</a>",
         "locator\nstartDocument\nstart {}a a v{}=0123456789abcdef0123456789abcdefg\xC3\xA9h\n"
         "chars [0123456789abcdef]\nchars [\xC3\xA9"
         "0123456789abcdef0]\nend a\nendDocument\n"},
        // The same prefix and local name bound to other namespaces, and met again after: each
        // element and attribute is named by what it is bound to where it stands.
        {"names met again under other bindings",
         "<a xmlns:p='urn:1'><p:b p:x='1'/><c xmlns:p='urn:2'><p:b p:x='2'/></c><p:b p:x='3'/>"
         "</a>",
         "locator\nstartDocument\nstartPrefix p=urn:1\nstart {}a a xmlns:p{}=urn:1\n"
         "start {urn:1}b p:b p:x{urn:1}=1\nend p:b\n"
         "startPrefix p=urn:2\nstart {}c c xmlns:p{}=urn:2\n"
         "start {urn:2}b p:b p:x{urn:2}=2\nend p:b\nend c\nendPrefix p\n"
         "start {urn:1}b p:b p:x{urn:1}=3\nend p:b\nend a\nendPrefix p\nendDocument\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingHandler handler;
        EXPECT_EQ(S_OK, ParseText(handler, c.xml));
        EXPECT_EQ(c.events, handler.log);
    }
}

// Attributes found by name: by namespace and local name (a declaration is in no namespace), or
// by qualified name; a name not there answers E_INVALIDARG and index -1.
TEST_F(Sax, AttributesAreFoundByName) {
    class Lookup final : public RecordingHandler {
    public:
        std::string found;
        HRESULT STDMETHODCALLTYPE startElement(const WCHAR*, int, const WCHAR*, int, const WCHAR*,
                                               int, ISAXAttributes* attributes) override {
            const struct {
                const char16_t* uri; // null: by qualified name
                const char16_t* name;
            } names[] = {
                {u"urn:p", u"y"}, {u"", u"x"},       {u"", u"p"},           {u"urn:q", u"y"},
                {u"", u"y"},      {nullptr, u"p:y"}, {nullptr, u"xmlns:p"}, {nullptr, u"y"},
            };
            for (const auto& n : names) {
                const std::u16string_view name(n.name);
                int index = -2;
                const WCHAR* value = nullptr;
                int length = 0;
                HRESULT hr = S_OK;
                if (n.uri) {
                    const std::u16string_view uri(n.uri);
                    hr = attributes->getIndexFromName(uri.data(), static_cast<int>(uri.size()),
                                                      name.data(), static_cast<int>(name.size()),
                                                      &index);
                    if (SUCCEEDED(hr)) {
                        hr = attributes->getValueFromName(
                            uri.data(), static_cast<int>(uri.size()), name.data(),
                            static_cast<int>(name.size()), &value, &length);
                    }
                } else {
                    hr = attributes->getIndexFromQName(name.data(), static_cast<int>(name.size()),
                                                       &index);
                    if (SUCCEEDED(hr)) {
                        hr = attributes->getValueFromQName(
                            name.data(), static_cast<int>(name.size()), &value, &length);
                    }
                }
                found += std::to_string(index) + (hr == S_OK ? "=" + Utf8(value, length) : "") +
                         (hr == E_INVALIDARG ? " absent" : "") + ";";
            }
            return S_OK;
        }
    };
    Lookup handler;
    ASSERT_EQ(S_OK, ParseText(handler, "<a xmlns:p='urn:p' x='1' p:y='2'/>"));
    EXPECT_EQ("1=2;0=1;2=urn:p;-1 absent;-1 absent;1=2;2=urn:p;-1 absent;", handler.found);
}

TEST_F(Sax, AFailingHandlerStopsTheParseWithItsFailure) {
    RecordingHandler handler;
    handler.failAt = 3; // the first startElement
    handler.failure = E_ACCESSDENIED;
    EXPECT_EQ(E_ACCESSDENIED, ParseText(handler, "<a><b/></a>"));
    EXPECT_EQ("locator\nstartDocument\nstart {}a a\n", handler.log);
}

// A handler is not meant to throw, but one that does must not unwind through the parser: the
// parse stops at that event, whichever it is, and ends with a failure.
TEST_F(Sax, AThrowingHandlerStopsTheParseWithAFailure) {
    const struct {
        const char* name;
        void (*thrower)();
        HRESULT expected;
    } kinds[] = {
        {"out of memory", [] { throw std::bad_alloc(); }, E_OUTOFMEMORY},
        {"failed BSTR copy", [] { ATL::AtlThrow(E_OUTOFMEMORY); }, E_OUTOFMEMORY},
        {"anything else", [] { throw 42; }, E_FAIL},
    };
    // locator, startDocument, start a, chars, end a, endDocument
    const char* const xml = "<a>t</a>";
    for (const auto& kind : kinds) {
        for (int at = 1; at <= 6; ++at) {
            SCOPED_TRACE(std::string(kind.name) + " at event " + std::to_string(at));
            RecordingHandler handler;
            handler.throwAt = at;
            handler.thrower = kind.thrower;
            EXPECT_EQ(kind.expected, ParseText(handler, xml));
            EXPECT_EQ(at, std::count(handler.log.begin(), handler.log.end(), '\n'))
                << "no event after the throw";
        }
    }
}

TEST_F(Sax, RefusedDocumentsFail) {
    const char* cases[] = {
        "<a><b></a>",
        "<!DOCTYPE a [<!ENTITY x 'y'>]><a>&x;</a>",
        "<p:a/>",
        "",
    };
    for (const char* xml : cases) {
        SCOPED_TRACE(xml);
        RecordingHandler handler;
        EXPECT_EQ(E_FAIL, ParseText(handler, xml));
        EXPECT_EQ(std::string::npos, handler.log.find("endDocument"));
        EXPECT_EQ(std::string::npos, handler.log.find("{}x")) << "no entity was expanded";
    }
    std::string deep;
    for (int i = 0; i < 300; ++i) {
        deep += "<e>";
    }
    RecordingHandler handler;
    EXPECT_EQ(E_FAIL, ParseText(handler, deep));
}

TEST_F(Sax, StreamsAreReadInChunks) {
    // Bigger than one read, in UTF-16 with a byte order mark.
    std::u16string text = u"\xFEFF<a>";
    for (int i = 0; i < 20000; ++i) {
        text += u"<b>\x00E9</b>";
    }
    text += u"</a>";
    CComPtr<IStream> stream;
    ASSERT_EQ(S_OK, CreateStreamOnHGlobal(nullptr, TRUE, &stream));
    ASSERT_EQ(S_OK, stream->Write(text.data(), static_cast<ULONG>(text.size() * 2), nullptr));
    LARGE_INTEGER start{};
    ASSERT_EQ(S_OK, stream->Seek(start, STREAM_SEEK_SET, nullptr));
    RecordingHandler handler;
    CComPtr<ISAXXMLReader> reader = NewReader();
    ASSERT_EQ(S_OK, reader->putContentHandler(&handler));
    EXPECT_EQ(S_OK, reader->parse(Unknown(stream)));
    size_t elements = 0;
    for (size_t at = 0; (at = handler.log.find("chars [\xC3\xA9]", at)) != std::string::npos;
         ++at) {
        ++elements;
    }
    EXPECT_EQ(20000u, elements);
    // Names met again and again, across reads, stay whole.
    std::string expected;
    for (int i = 0; i < 20000; ++i) {
        expected += "start {}b b\nchars [\xC3\xA9]\nend b\n";
    }
    EXPECT_EQ("locator\nstartDocument\nstart {}a a\n" + expected + "end a\nendDocument\n",
              handler.log);
}

// The locator and the attributes are objects of their own: a handler that holds on to them
// past the parse holds live objects. The locator then has no position to give.
TEST_F(Sax, LocatorAndAttributesKeptPastTheParseStayUsable) {
    RecordingHandler handler;
    handler.keep = true;
    ASSERT_EQ(S_OK, ParseText(handler, "<a>\n<b x='1' y='2'/></a>"));
    ASSERT_TRUE(handler.keptLocator);
    ASSERT_TRUE(handler.keptAttributes);
    int line = -1;
    EXPECT_EQ(S_OK, handler.keptLocator->getLineNumber(&line));
    EXPECT_EQ(0, line);
    int count = 0;
    EXPECT_EQ(S_OK, handler.keptAttributes->getLength(&count));
    EXPECT_EQ(2, count) << "the attributes of the last element started";
    const WCHAR* value = nullptr;
    int length = 0;
    ASSERT_EQ(S_OK, handler.keptAttributes->getValue(1, &value, &length));
    EXPECT_EQ("2", Utf8(value, length));
    const WCHAR* name = nullptr;
    ASSERT_EQ(S_OK, handler.keptAttributes->getQName(1, &name, &length));
    EXPECT_EQ("y", Utf8(name, length)) << "names live as long as the attributes";
}

// A reader's first parse makes its objects (later parses reuse them).
TEST_F(Sax, AParseThatCannotMakeItsObjectsFailsBeforeAnyEvent) {
    RecordingHandler handler; // outlives the readers, which hold it
    CComBSTR text(u"<a x='1'/>");
    const auto newReader = [&] {
        CComPtr<ISAXXMLReader> reader = NewReader();
        EXPECT_EQ(S_OK, reader->putContentHandler(&handler));
        return reader;
    };
    CComPtr<ISAXXMLReader> counted = newReader();
    const unsigned long before = platformtest::AllocationCount();
    ASSERT_EQ(S_OK, counted->parse(Text(text)));
    const unsigned long allocations = platformtest::AllocationCount() - before;
    ASSERT_GT(allocations, 0u);
    for (unsigned long n = 1; n <= allocations; ++n) {
        SCOPED_TRACE(n);
        CComPtr<ISAXXMLReader> reader = newReader();
        handler.log.clear();
        HRESULT hr = S_OK;
        {
            platformtest::AllocationFailure failure(n);
            hr = reader->parse(Text(text));
        }
        EXPECT_EQ(E_OUTOFMEMORY, hr);
        EXPECT_EQ("", handler.log);
        handler.log.clear();
        EXPECT_EQ(S_OK, reader->parse(Text(text))) << "the reader is whole after it";
    }
}

// One reader parsing document after document (as a filter parses its pages) keeps its parser
// and names between them: each parse hears its own document alone, whatever came before (text
// or a stream, the same names or others, a document that failed, or one whose handler keeps
// the attributes, which then keep what they had).
TEST_F(Sax, OneReaderParsesDocumentAfterDocument) {
    const auto stream = [](const std::string& xml) {
        CComPtr<IStream> made;
        EXPECT_EQ(S_OK, CreateStreamOnHGlobal(nullptr, TRUE, &made));
        EXPECT_EQ(S_OK, made->Write(xml.data(), static_cast<ULONG>(xml.size()), nullptr));
        LARGE_INTEGER start{};
        EXPECT_EQ(S_OK, made->Seek(start, STREAM_SEEK_SET, nullptr));
        return made;
    };
    const struct {
        const char* xml;
        bool asStream;
        HRESULT expected;
        const char* events; // after locator and startDocument; null: not compared
    } documents[] = {
        {"<a x='1' y='2'><b x='3'/></a>", false, S_OK,
         "start {}a a x{}=1 y{}=2\nstart {}b b x{}=3\nend b\nend a\nendDocument\n"},
        {"<a y='2' x='1'><b x='3'/></a>", true, S_OK,
         "start {}a a y{}=2 x{}=1\nstart {}b b x{}=3\nend b\nend a\nendDocument\n"},
        {"<?xml version='1.0' encoding='ISO-8859-1'?><a x='\xE9'/>", true, S_OK,
         "start {}a a x{}=\xC3\xA9\nend a\nendDocument\n"},
        {"<a><b></a>", true, E_FAIL, nullptr},
        {"<p:a xmlns:p='urn:2' p:x='1'/>", true, S_OK,
         "startPrefix p=urn:2\nstart {urn:2}a p:a p:x{urn:2}=1 xmlns:p{}=urn:2\nend p:a\n"
         "endPrefix p\nendDocument\n"},
        {"<p:a xmlns:p='urn:1' p:x='1'/>", false, S_OK,
         "startPrefix p=urn:1\nstart {urn:1}a p:a p:x{urn:1}=1 xmlns:p{}=urn:1\nend p:a\n"
         "endPrefix p\nendDocument\n"},
        {"<a x='1' y='2'><b x='3'/></a>", true, S_OK,
         "start {}a a x{}=1 y{}=2\nstart {}b b x{}=3\nend b\nend a\nendDocument\n"},
    };
    CComPtr<ISAXXMLReader> reader = NewReader();
    CComPtr<ISAXAttributes> kept; // from the first document, held through the others
    for (const auto& d : documents) {
        SCOPED_TRACE(d.xml);
        RecordingHandler handler;
        handler.keep = !kept;
        ASSERT_EQ(S_OK, reader->putContentHandler(&handler));
        CComBSTR text = Bstr(d.xml);
        CComPtr<IStream> bytes = stream(d.xml);
        EXPECT_EQ(d.expected, reader->parse(d.asStream ? Unknown(bytes) : Text(text)));
        ASSERT_EQ(S_OK, reader->putContentHandler(nullptr));
        if (d.events) {
            EXPECT_EQ(std::string("locator\nstartDocument\n") + d.events, handler.log);
        }
        if (!kept) {
            kept = handler.keptAttributes;
        }
        ASSERT_TRUE(kept);
        const WCHAR* value = nullptr;
        int length = 0;
        ASSERT_EQ(S_OK, kept->getQName(0, &value, &length));
        EXPECT_EQ("x", Utf8(value, length)) << "held attributes keep what they had";
        ASSERT_EQ(S_OK, kept->getValue(0, &value, &length));
        EXPECT_EQ("3", Utf8(value, length));
    }
}

// A handler may parse again with the reader that calls it: the inner parse runs with objects of
// its own, and the outer one goes on as if it had not been.
TEST_F(Sax, AHandlerMayParseAgainWithItsOwnReader) {
    class Nesting final : public RecordingHandler {
    public:
        ISAXXMLReader* reader = nullptr;
        RecordingHandler inner;
        HRESULT innerResult = E_FAIL;
        HRESULT STDMETHODCALLTYPE startElement(const WCHAR* uri, int uriLength, const WCHAR* local,
                                               int localLength, const WCHAR* qname, int qnameLength,
                                               ISAXAttributes* attributes) override {
            if (reader && std::u16string_view(local, static_cast<size_t>(localLength)) == u"b") {
                ISAXXMLReader* again = std::exchange(reader, nullptr);
                again->putContentHandler(&inner);
                CComBSTR text(u"<c z='9'/>");
                innerResult = again->parse(Text(text));
                again->putContentHandler(this);
            }
            return RecordingHandler::startElement(uri, uriLength, local, localLength, qname,
                                                  qnameLength, attributes);
        }
    };
    CComPtr<ISAXXMLReader> reader = NewReader();
    Nesting handler;
    handler.reader = reader;
    ASSERT_EQ(S_OK, reader->putContentHandler(&handler));
    CComBSTR text(u"<a x='1'><b y='2'/><d w='3'/></a>");
    EXPECT_EQ(S_OK, reader->parse(Text(text)));
    EXPECT_EQ(S_OK, handler.innerResult);
    EXPECT_EQ("locator\nstartDocument\nstart {}c c z{}=9\nend c\nendDocument\n", handler.inner.log);
    EXPECT_EQ("locator\nstartDocument\nstart {}a a x{}=1\nstart {}b b y{}=2\nend b\n"
              "start {}d d w{}=3\nend d\nend a\nendDocument\n",
              handler.log);
    ASSERT_EQ(S_OK, reader->putContentHandler(nullptr));
}

} // namespace
