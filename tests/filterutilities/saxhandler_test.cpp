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
#include <random>
#include <string>

using pipelinetest::Make;
using writestreamtest::PrintWriteStream;
using writestreamtest::SequentialStream;

namespace {

// The handler as a subclass sees it, with a flag that tells when it is destroyed.
class Handler : public CSaxHandler {
public:
    explicit Handler(bool* destroyed = nullptr) : m_destroyed(destroyed) {}
    using CSaxHandler::AppendUTF8;
    using CSaxHandler::EscapeEntity;
    using CSaxHandler::WriteToPrintStream;
    using CSaxHandler::WriteUTF8ToPrintStream;

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

// What EscapeEntity and CXString's conversion make of a text: the slow way to what AppendUTF8
// makes in one pass.
std::string EscapedThenConverted(const std::u16string& text, bool escape) {
    CComBSTR bstr(static_cast<int>(text.size()), text.data());
    if (escape && FAILED(Handler::EscapeEntity(&bstr.m_str))) {
        return "refused";
    }
    return Utf8(Text(bstr));
}

TEST(CSaxHandler, AppendsTextAsUtf8EscapedOrAsItStands) {
    const struct {
        const char* name;
        std::u16string text;
        std::string asItStands;
        std::string escaped;
    } cases[] = {
        {"empty", u"", "", ""},
        {"the five and whitespace", u"a<b & \"c\" 'd'\t\n\r>", "a<b & \"c\" 'd'\t\n\r>",
         "a&lt;b &amp; &quot;c&quot; &apos;d&apos;&#x9;&#xA;&#xD;&gt;"},
        {"two, three and four bytes", u"\u00E9\u20AC\U0001D11E",
         "\xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E", "\xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E"},
        {"the last of each width", u"\x7F\u07FF\uFFFD\U0010FFFF",
         "\x7F\xDF\xBF\xEF\xBF\xBD\xF4\x8F\xBF\xBF", "\x7F\xDF\xBF\xEF\xBF\xBD\xF4\x8F\xBF\xBF"},
        {"a special character at every place of four", u"abc&defg<hi>jklm\"", "abc&defg<hi>jklm\"",
         "abc&amp;defg&lt;hi&gt;jklm&quot;"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const bool escape : {false, true}) {
            std::string out = "kept|";
            EXPECT_EQ(S_OK, Handler::AppendUTF8(out, c.text.data(), static_cast<int>(c.text.size()),
                                                escape));
            EXPECT_EQ("kept|" + (escape ? c.escaped : c.asItStands), out);
        }
    }
}

// Texts of every length up to 40 drawn from plain ASCII, the characters XML escapes, wider
// characters and surrogate pairs, so that every kind of unit meets every place of the fast
// paths, and texts that run past any room made for them ahead.
TEST(CSaxHandler, AppendingMatchesEscapingThenConverting) {
    const std::u16string units[] = {u"a",  u"Z",  u"0",      u" ",      u"&",
                                    u"<",  u">",  u"\"",     u"'",      u"\t",
                                    u"\n", u"\r", u"\u00E9", u"\u4E2D", u"\U0001F600"};
    std::mt19937 random(20261210);
    for (int round = 0; round < 2000; ++round) {
        std::u16string text;
        const size_t length = random() % 41;
        const bool plain = round % 4 == 0; // mostly plain ASCII, as markup is
        while (text.size() < length) {
            text += units[plain && random() % 8 != 0 ? random() % 4 : random() % std::size(units)];
        }
        SCOPED_TRACE(Utf8(text));
        for (const bool escape : {false, true}) {
            std::string out;
            ASSERT_EQ(S_OK,
                      Handler::AppendUTF8(out, text.data(), static_cast<int>(text.size()), escape));
            EXPECT_EQ(EscapedThenConverted(text, escape), out);
        }
    }
    const std::u16string escapes(5000, u'&');
    std::string out;
    ASSERT_EQ(S_OK, Handler::AppendUTF8(out, escapes.data(), 5000, true));
    EXPECT_EQ(25000u, out.size());
}

TEST(CSaxHandler, AppendingRefusesWhatXmlCannotCarryAndKeepsWhatWasThere) {
    const struct {
        const char* name;
        std::u16string text;
    } cases[] = {
        {"zero", std::u16string(u"abcd\0", 5)},
        {"a control character after a run", u"abcdefgh\x01"},
        {"U+FFFE", u"\xFFFE"},
        {"lone high surrogate at the end", u"abc\xD83D"},
        {"lone high surrogate before a letter", u"\xD83D"
                                                u"a"},
        {"lone low surrogate", u"\xDE00"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const bool escape : {false, true}) {
            std::string out = "kept";
            EXPECT_EQ(E_INVALIDARG, Handler::AppendUTF8(out, c.text.data(),
                                                        static_cast<int>(c.text.size()), escape));
            EXPECT_EQ("kept", out);
        }
    }
    std::string out = "kept";
    EXPECT_EQ(E_INVALIDARG, Handler::AppendUTF8(out, nullptr, 1, true));
    EXPECT_EQ(E_INVALIDARG, Handler::AppendUTF8(out, u"a", -1, true));
    EXPECT_EQ(S_OK, Handler::AppendUTF8(out, nullptr, 0, true));
    EXPECT_EQ("kept", out);
}

TEST(CSaxHandler, WritesUtf8BytesWholeOrSaysWhyNot) {
    CComPtr<PrintWriteStream> stream = Make<PrintWriteStream>();
    stream->behaviour = {.chunk = 3};
    EXPECT_EQ(S_OK, Handler::WriteUTF8ToPrintStream("<a>\xC3\xA9</a>", stream.p));
    EXPECT_EQ("<a>\xC3\xA9</a>", stream->bytes) << "short writes are carried on";
    const int writes = stream->writes;
    EXPECT_EQ(S_OK, Handler::WriteUTF8ToPrintStream("", stream.p));
    EXPECT_EQ(writes, stream->writes) << "nothing to write, no write";
    EXPECT_EQ(E_POINTER, Handler::WriteUTF8ToPrintStream("a", nullptr));

    stream->writes = 0;
    stream->behaviour = {.chunk = 2, .failAt = 2, .failure = STG_E_MEDIUMFULL};
    EXPECT_EQ(STG_E_MEDIUMFULL, Handler::WriteUTF8ToPrintStream("wxyz", stream.p));
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
