// The base of markup-rewriting content handlers: its COM identity, its do-nothing callbacks,
// escaping, and writing to pipeline and COM streams.
#include <filterutilities/saxhandler.h>

#include <platformtest.h>

#include <atlbase.h>
#include <msxml6.h>
#include <objbase.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include "comtest.h"
#include "writestreamdoubles.h"

#include <new>
#include <string>

using pipelinetest::Make;
using writestreamtest::PrintWriteStream;
using writestreamtest::SequentialStream;

namespace {

// The handler as a subclass sees it, with a flag that tells when it is destroyed.
class Handler : public CSaxHandler {
public:
    explicit Handler(bool* destroyed = nullptr) : m_destroyed(destroyed) {}
    using CSaxHandler::EscapeEntity;
    using CSaxHandler::WriteToPrintStream;

private:
    ~Handler() override {
        if (m_destroyed) {
            *m_destroyed = true;
        }
    }
    bool* m_destroyed;
};

std::string Utf8(const std::u16string_view text) {
    return CXString(text).ToUtf8();
}

std::u16string Text(BSTR text) {
    return std::u16string(text, ::SysStringLen(text));
}

TEST(CSaxHandler, EscapesTheFiveSpecialCharactersAndWhitespaceAParserWouldNormalise) {
    const struct {
        const char* name;
        std::u16string text;
        std::u16string escaped;
    } cases[] = {
        {"the five", u"a<b & \"c\" 'd'", u"a&lt;b &amp; &quot;c&quot; &apos;d&apos;"},
        {"greater-than", u"]]>", u"]]&gt;"},
        {"escaped text again", u"&amp;", u"&amp;amp;"},
        {"tab, line feed, carriage return", u"a\tb\nc\r\nd", u"a&#x9;b&#xA;c&#xD;&#xA;d"},
        {"beside characters outside the BMP", u"\U0001D11E&\U0001F600",
         u"\U0001D11E&amp;\U0001F600"},
        {"letters beyond ASCII stand as they are", u"<\u00E9>", u"&lt;\u00E9&gt;"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CComBSTR text(static_cast<int>(c.text.size()), c.text.data());
        EXPECT_EQ(S_OK, Handler::EscapeEntity(&text.m_str));
        EXPECT_EQ(Utf8(c.escaped), Utf8(Text(text)));
    }
}

TEST(CSaxHandler, TextWithNothingToEscapeKeepsItsBstr) {
    const std::u16string texts[] = {u"", u"plain", u"\u00E9\U0001F600"};
    for (const std::u16string& t : texts) {
        SCOPED_TRACE(Utf8(t));
        CComBSTR text(static_cast<int>(t.size()), t.data());
        const BSTR before = text.m_str;
        EXPECT_EQ(S_OK, Handler::EscapeEntity(&text.m_str));
        EXPECT_EQ(before, text.m_str);
        EXPECT_EQ(Utf8(t), Utf8(Text(text)));
    }
    BSTR null = nullptr;
    EXPECT_EQ(S_OK, Handler::EscapeEntity(&null)) << "a null BSTR is empty";
    EXPECT_EQ(nullptr, null);
    EXPECT_EQ(E_POINTER, Handler::EscapeEntity(nullptr));
}

// Escaped or not, these cannot stand in an XML document: writing them would make a page no
// parser reads.
TEST(CSaxHandler, TextXmlCannotCarryIsRefusedAndLeftAsItWas) {
    const struct {
        const char* name;
        std::u16string text;
    } cases[] = {
        {"zero", std::u16string(u"a<\0", 3)},
        {"a control character", u"a<\x01"},
        {"form feed", u"&\f"},
        {"U+FFFE", u"<\xFFFE"},
        {"U+FFFF", u"<\xFFFF"},
        {"lone high surrogate", u"<\xD83D"},
        {"lone low surrogate", u"<\xDE00>"},
        {"pair in the wrong order", u"\xDE00\xD83D"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CComBSTR text(static_cast<int>(c.text.size()), c.text.data());
        const BSTR before = text.m_str;
        EXPECT_EQ(E_INVALIDARG, Handler::EscapeEntity(&text.m_str));
        EXPECT_EQ(before, text.m_str);
        EXPECT_EQ(c.text, Text(text));
    }
}

TEST(CSaxHandler, EscapingWithoutMemoryLeavesTheTextAsItWas) {
    CComBSTR text(u"a&b");
    const BSTR before = text.m_str;
    {
        platformtest::AllocationFailure failure(1);
        EXPECT_EQ(E_OUTOFMEMORY, Handler::EscapeEntity(&text.m_str));
    }
    EXPECT_EQ(before, text.m_str);
    EXPECT_EQ("a&b", Utf8(Text(text)));
}

TEST(CSaxHandler, IsAComObjectAnsweringIUnknownAndISAXContentHandler) {
    bool destroyed = false;
    CComPtr<ISAXContentHandler> handler;
    handler.Attach(new Handler(&destroyed));
    EXPECT_REF(handler.p, 1);
    const struct {
        const char* name;
        const IID& iid;
        HRESULT expected;
    } cases[] = {
        {"IUnknown", IID_IUnknown, S_OK},
        {"ISAXContentHandler", IID_ISAXContentHandler, S_OK},
        {"ISAXXMLReader", IID_ISAXXMLReader, E_NOINTERFACE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        void* object = nullptr;
        EXPECT_EQ(c.expected, handler->QueryInterface(c.iid, &object));
        EXPECT_EQ(c.expected == S_OK ? static_cast<void*>(handler.p) : nullptr, object);
        if (object) {
            EXPECT_REF(handler.p, 2);
            static_cast<IUnknown*>(object)->Release();
        }
    }
    EXPECT_FALSE(destroyed);
    handler.Release();
    EXPECT_TRUE(destroyed);
}

TEST(CSaxHandler, AnUnchangedHandlerHearsAWholeParseAndAnswersEveryCallback) {
    ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    {
        CComPtr<ISAXContentHandler> handler;
        handler.Attach(new Handler());
        CComPtr<ISAXXMLReader> reader;
        ASSERT_EQ(S_OK, ::CoCreateInstance(CLSID_SAXXMLReader60, nullptr, CLSCTX_INPROC_SERVER,
                                           IID_ISAXXMLReader, reinterpret_cast<void**>(&reader)));
        ASSERT_EQ(S_OK, reader->putContentHandler(handler));
        CComBSTR text(u"<?pi x?><p:a xmlns:p='urn:p' b='1'> t<c/><![CDATA[<]]></p:a>");
        VARIANT page{};
        page.vt = VT_BSTR;
        page.bstrVal = text;
        EXPECT_EQ(S_OK, reader->parse(page));
        // What the reader never sends.
        EXPECT_EQ(S_OK, handler->ignorableWhitespace(u" ", 1));
        EXPECT_EQ(S_OK, handler->skippedEntity(u"x", 1));
    }
    ::CoUninitialize();
}

TEST(CSaxHandler, WritesTextAsUtf8ToPipelineAndComStreams) {
    const CXString text(u"\u00E9");
    const CXString empty;
    CComPtr<PrintWriteStream> printStream = Make<PrintWriteStream>();
    CComPtr<SequentialStream> comStream = Make<SequentialStream>();
    EXPECT_EQ(S_OK, Handler::WriteToPrintStream(&text, printStream.p));
    EXPECT_EQ(S_OK, Handler::WriteToPrintStream(&text, comStream.p));
    EXPECT_EQ("\xC3\xA9", printStream->bytes);
    EXPECT_EQ("\xC3\xA9", comStream->bytes);

    EXPECT_EQ(E_FAIL, Handler::WriteToPrintStream(&empty, printStream.p));
    EXPECT_EQ(E_FAIL, Handler::WriteToPrintStream(&empty, comStream.p));
    EXPECT_EQ(E_POINTER, Handler::WriteToPrintStream(nullptr, printStream.p));
    EXPECT_EQ(E_POINTER, Handler::WriteToPrintStream(nullptr, comStream.p));
    EXPECT_EQ(E_POINTER,
              Handler::WriteToPrintStream(&text, static_cast<IPrintWriteStream*>(nullptr)));
    EXPECT_EQ(E_POINTER,
              Handler::WriteToPrintStream(&text, static_cast<ISequentialStream*>(nullptr)));

    printStream->writes = 0;
    printStream->behaviour = {.chunk = 1, .failAt = 2, .failure = STG_E_MEDIUMFULL};
    EXPECT_EQ(STG_E_MEDIUMFULL, Handler::WriteToPrintStream(&text, printStream.p));
    comStream->behaviour = {.chunk = 1};
    EXPECT_EQ(S_OK, Handler::WriteToPrintStream(&text, comStream.p));
    {
        platformtest::AllocationFailure failure(1);
        EXPECT_THROW(Handler::WriteToPrintStream(&text, comStream.p), std::bad_alloc);
    }
    EXPECT_EQ("\xC3\xA9\xC3", printStream->bytes);
    EXPECT_EQ("\xC3\xA9\xC3\xA9", comStream->bytes);
}

} // namespace
