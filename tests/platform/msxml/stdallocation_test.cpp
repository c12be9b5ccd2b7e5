// Running out of memory in the standard library: the DOM builds its texts in std::string, and
// an editing method that meets std::bad_alloc answers E_OUTOFMEMORY and leaves the document
// whole, as it does when the platform allocator refuses.
//
// This program's operator new can be told to fail the n-th call on this thread; libplatform's
// calls reach it too, since the program's definition comes first.
#include "domtest.h"

#include <cstdlib>
#include <functional>
#include <new>
#include <string>

namespace {
thread_local unsigned long newCalls = 0;
thread_local unsigned long failNewAt = 0; // 0: never

void* Allocate(std::size_t size) {
    ++newCalls;
    if (failNewAt != 0 && newCalls == failNewAt) {
        failNewAt = 0;
        return nullptr;
    }
    return std::malloc(size ? size : 1);
}

// Fails the n-th operator new from now on this thread while in scope.
class NewFailure {
public:
    explicit NewFailure(unsigned long n) { failNewAt = newCalls + n; }
    ~NewFailure() { failNewAt = 0; }
    NewFailure(const NewFailure&) = delete;
    NewFailure& operator=(const NewFailure&) = delete;
};
} // namespace

void* operator new(std::size_t size) {
    if (void* block = Allocate(size)) {
        return block;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return Allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return Allocate(size);
}
void operator delete(void* block) noexcept {
    std::free(block);
}
void operator delete[](void* block) noexcept {
    std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}
void operator delete[](void* block, std::size_t) noexcept {
    std::free(block);
}

using namespace domtest;

namespace {

class DomStdAllocation : public DomTest {};

// The node as Q (QueryInterface allocates nothing).
template <class Q>
CComPtr<Q> As(IXMLDOMNode* node) {
    CComPtr<Q> as;
    EXPECT_EQ(S_OK, node->QueryInterface(&as));
    return as;
}

TEST_F(DomStdAllocation, EditsThatMeetBadAllocAnswerOutOfMemory) {
    const char kXml[] = "<?xml version='1.0'?><p:a xmlns:p='urn:p' x='1'>text<?pi data?>"
                        "<![CDATA[c]]><!--note--><p:b/></p:a>";
    CComBSTR name(u"y");
    CComBSTR value(u"a value long enough to leave the small string buffer behind");
    CComBSTR qname(u"p:c");
    CComBSTR uri(u"urn:p");
    CComBSTR replacement(u"<q:r xmlns:q='urn:q'><q:s a='b'/></q:r>");
    // Each edit is one call on the node the query finds (found before anything may fail).
    using Edit = std::function<HRESULT(IXMLDOMDocument2*, IXMLDOMNode*)>;
    const struct {
        const char* name;
        const char* query;
        Edit edit;
    } cases[] = {
        {"setAttribute", "/*",
         [&](IXMLDOMDocument2*, IXMLDOMNode* node) {
             return As<IXMLDOMElement>(node)->setAttribute(name, Text(value));
         }},
        {"attribute put_value", "/*/@x",
         [&](IXMLDOMDocument2*, IXMLDOMNode* node) {
             return As<IXMLDOMAttribute>(node)->put_value(Text(value));
         }},
        {"text put_data", "/*/text()",
         [&](IXMLDOMDocument2*, IXMLDOMNode* node) {
             return As<IXMLDOMText>(node)->put_data(value);
         }},
        {"CDATA put_data", "/*/text()[2]",
         [&](IXMLDOMDocument2*, IXMLDOMNode* node) {
             return As<IXMLDOMCDATASection>(node)->put_data(value);
         }},
        {"comment put_data", "//comment()",
         [&](IXMLDOMDocument2*, IXMLDOMNode* node) {
             return As<IXMLDOMComment>(node)->put_data(value);
         }},
        {"processing instruction put_data", "//processing-instruction('pi')",
         [&](IXMLDOMDocument2*, IXMLDOMNode* node) {
             return As<IXMLDOMProcessingInstruction>(node)->put_data(value);
         }},
        {"element put_text", "/*/*",
         [&](IXMLDOMDocument2*, IXMLDOMNode* node) { return node->put_text(value); }},
        {"createNode and appendChild", "/*",
         [&](IXMLDOMDocument2* doc, IXMLDOMNode* node) {
             CComPtr<IXMLDOMNode> made;
             HRESULT hr = doc->createNode(Int(NODE_ELEMENT), qname, uri, &made);
             return FAILED(hr) ? hr : node->appendChild(made, nullptr);
         }},
        {"removeChild of a node held by the caller", "/*/*",
         [&](IXMLDOMDocument2*, IXMLDOMNode* node) {
             CComPtr<IXMLDOMNode> parent;
             HRESULT hr = node->get_parentNode(&parent);
             return FAILED(hr) ? hr : parent->removeChild(node, nullptr);
         }},
        {"deep cloneNode", "/*",
         [&](IXMLDOMDocument2*, IXMLDOMNode* node) {
             CComPtr<IXMLDOMNode> clone;
             return node->cloneNode(VARIANT_TRUE, &clone);
         }},
        {"loadXML while a node is held", "/*",
         [&](IXMLDOMDocument2* doc, IXMLDOMNode*) {
             VARIANT_BOOL ok = VARIANT_FALSE;
             const HRESULT hr = doc->loadXML(replacement, &ok);
             return hr == S_OK && ok != VARIANT_TRUE ? E_FAIL : hr;
         }},
        {"document xml", "/*",
         [&](IXMLDOMDocument2* doc, IXMLDOMNode*) {
             CComBSTR xml;
             return doc->get_xml(&xml);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CComPtr<IXMLDOMDocument2> reference = Parse(kXml, "xmlns:p='urn:p'");
        ASSERT_TRUE(reference);
        const std::string before = Xml(reference);
        CComPtr<IXMLDOMNode> target = Select(reference, c.query);
        ASSERT_TRUE(target);
        const unsigned long start = newCalls;
        ASSERT_EQ(S_OK, c.edit(reference, target));
        const unsigned long calls = newCalls - start;
        const std::string after = Xml(reference);
        ASSERT_GT(calls, 0u);
        for (unsigned long n = 1; n <= calls; ++n) {
            SCOPED_TRACE(n);
            CComPtr<IXMLDOMDocument2> doc = Parse(kXml, "xmlns:p='urn:p'");
            ASSERT_TRUE(doc);
            CComPtr<IXMLDOMNode> node = Select(doc, c.query);
            ASSERT_TRUE(node);
            HRESULT hr = S_OK;
            {
                NewFailure failure(n);
                hr = c.edit(doc, node);
            }
            EXPECT_TRUE(hr == S_OK || hr == E_OUTOFMEMORY) << std::hex << hr;
            const std::string now = Xml(doc);
            EXPECT_TRUE(now == before || now == after) << now;
        }
    }
}

} // namespace

namespace {

// Counts the events of a parse and the UTF-16 units they carry, allocating nothing itself.
class CountingHandler final : public ISAXContentHandler {
public:
    int events = 0;
    size_t units = 0;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_ISAXContentHandler)) {
            *object = static_cast<ISAXContentHandler*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; } // on the stack
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE putDocumentLocator(ISAXLocator*) override { return Count(0); }
    HRESULT STDMETHODCALLTYPE startDocument() override { return Count(0); }
    HRESULT STDMETHODCALLTYPE endDocument() override { return Count(0); }
    HRESULT STDMETHODCALLTYPE startPrefixMapping(const WCHAR*, int prefixLength, const WCHAR*,
                                                 int uriLength) override {
        return Count(prefixLength + uriLength);
    }
    HRESULT STDMETHODCALLTYPE endPrefixMapping(const WCHAR*, int prefixLength) override {
        return Count(prefixLength);
    }
    HRESULT STDMETHODCALLTYPE startElement(const WCHAR*, int uriLength, const WCHAR*,
                                           int localLength, const WCHAR*, int qnameLength,
                                           ISAXAttributes* attributes) override {
        int count = 0;
        attributes->getLength(&count);
        int length = uriLength + localLength + qnameLength;
        for (int i = 0; i < count; ++i) {
            const WCHAR* text = nullptr;
            int textLength = 0;
            attributes->getQName(i, &text, &textLength);
            length += textLength;
            attributes->getValue(i, &text, &textLength);
            length += textLength;
        }
        return Count(length);
    }
    HRESULT STDMETHODCALLTYPE endElement(const WCHAR*, int, const WCHAR*, int, const WCHAR*,
                                         int qnameLength) override {
        return Count(qnameLength);
    }
    HRESULT STDMETHODCALLTYPE characters(const WCHAR*, int length) override {
        return Count(length);
    }
    HRESULT STDMETHODCALLTYPE ignorableWhitespace(const WCHAR*, int length) override {
        return Count(length);
    }
    HRESULT STDMETHODCALLTYPE processingInstruction(const WCHAR*, int targetLength, const WCHAR*,
                                                    int dataLength) override {
        return Count(targetLength + dataLength);
    }
    HRESULT STDMETHODCALLTYPE skippedEntity(const WCHAR*, int length) override {
        return Count(length);
    }

private:
    HRESULT Count(int length) {
        ++events;
        units += static_cast<size_t>(length);
        return S_OK;
    }
};

// The SAX reader widens what libxml2 hands it into buffers of its own that grow with the
// longest name, value or text: each of their allocations may fail, and every one stops the
// parse with E_OUTOFMEMORY instead of escaping through libxml2. A reader's first parse makes
// them; a later one reuses them (its parser and names too) and allocates less, and fails as
// well wherever it does.
TEST_F(DomStdAllocation, ASaxParseThatMeetsBadAllocAnswersOutOfMemory) {
    std::string xml =
        "<?xml version='1.0'?><p:a xmlns:p='urn:p' x='1' p:y='\xC3\xA9\xF0\x9D\x84\x9E'>"
        "<?pi data?><p:b z='";
    xml += std::string(300, 'v') + "'>" + std::string(2000, 't') + "</p:b>\xE2\x82\xAC</p:a>";
    CComBSTR text = Bstr(xml);
    CountingHandler whole;
    CountingHandler handler;
    for (const bool later : {false, true}) {
        SCOPED_TRACE(later ? "a later parse" : "a reader's first parse");
        // A reader that has parsed before when later is set; released before the handlers.
        const auto readerFor = [&](ISAXContentHandler* heard) {
            CComPtr<ISAXXMLReader> reader;
            EXPECT_EQ(S_OK, CoCreateInstance(CLSID_SAXXMLReader60, nullptr, CLSCTX_INPROC_SERVER,
                                             IID_ISAXXMLReader, reinterpret_cast<void**>(&reader)));
            EXPECT_EQ(S_OK, reader->putContentHandler(heard));
            if (later) {
                EXPECT_EQ(S_OK, reader->parse(Text(text)));
            }
            return reader;
        };
        whole = CountingHandler();
        CComPtr<ISAXXMLReader> counted = readerFor(&whole);
        whole = CountingHandler();
        const unsigned long start = newCalls;
        ASSERT_EQ(S_OK, counted->parse(Text(text)));
        const unsigned long calls = newCalls - start;
        ASSERT_GT(calls, 0u);
        for (unsigned long n = 1; n <= calls; ++n) {
            SCOPED_TRACE(n);
            CComPtr<ISAXXMLReader> reader = readerFor(&handler);
            handler = CountingHandler();
            HRESULT hr = S_OK;
            {
                NewFailure failure(n);
                hr = reader->parse(Text(text));
            }
            EXPECT_EQ(E_OUTOFMEMORY, hr);
            EXPECT_LT(handler.events, whole.events);
            handler = CountingHandler();
            EXPECT_EQ(S_OK, reader->parse(Text(text))) << "the reader is whole after it";
            EXPECT_EQ(whole.events, handler.events);
            EXPECT_EQ(whole.units, handler.units);
        }
    }
}

} // namespace
