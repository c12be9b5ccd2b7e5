// The watermark filter's page writer over small pages: the added markup lands under the
// content (after FixedPage.Resources) and over it, in the page's own prefix; what is not a
// fixed page is refused; text the page holds survives escaped.
#include "filterutilities/writestreamdoubles.h"

#include <watermark/watermarkpagewriter.h>

#include <atlbase.h>
#include <msxml6.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>

namespace {

using pipelinetest::Make;
using writestreamtest::PrintWriteStream;

// Marks that say what they were asked for.
class EchoMarks final : public IWatermarkMarks {
public:
    HRESULT MarksFor(std::u16string_view namespaceUri, std::u16string_view prefix,
                     std::u16string* under, std::u16string* over) override {
        ++calls;
        openXps = namespaceUri == WatermarkPageWriter::kOpenXpsNamespace;
        *under = u"<" + std::u16string(prefix) + u"Under/>";
        *over = u"<" + std::u16string(prefix) + u"Over/>";
        return S_OK;
    }
    int calls = 0;
    bool openXps = false;
};

struct Rewrite {
    HRESULT hr = E_FAIL;
    std::string bytes;
};

Rewrite RewriteOf(const std::string& page, IWatermarkMarks* marks) {
    CComPtr<ISAXXMLReader> reader;
    EXPECT_EQ(S_OK, CoCreateInstance(CLSID_SAXXMLReader60, nullptr, CLSCTX_INPROC_SERVER,
                                     IID_ISAXXMLReader, reinterpret_cast<void**>(&reader)));
    CComPtr<PrintWriteStream> stream = Make<PrintWriteStream>();
    CComPtr<WatermarkPageWriter> writer;
    writer.Attach(new WatermarkPageWriter(stream, marks));
    EXPECT_EQ(S_OK, reader->putContentHandler(writer));
    const std::u16string text(page.begin(), page.end());
    CComBSTR source(static_cast<int>(text.size()), text.c_str());
    VARIANT input{};
    input.vt = VT_BSTR;
    input.bstrVal = source;
    Rewrite rewrite;
    rewrite.hr = reader->parse(input);
    rewrite.bytes = stream->bytes;
    return rewrite;
}

class WatermarkPageWriterTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)); }
    void TearDown() override { CoUninitialize(); }
};

constexpr char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";

TEST_F(WatermarkPageWriterTest, MarksGoUnderAndOverTheContent) {
    const std::string xps = "xmlns=\"http://schemas.microsoft.com/xps/2005/06\"";
    const std::string oxps = "xmlns:o=\"http://schemas.openxps.org/oxps/v1.0\"";
    const struct {
        const char* name;
        std::string page;
        std::string written; // after the declaration
        bool openXps;
    } cases[] = {
        {"an empty page", "<FixedPage " + xps + " Width=\"816\" Height=\"1056\"/>",
         // Namespace declarations come after the other attributes, as the reader lists them.
         "<FixedPage Width=\"816\" Height=\"1056\" " + xps + "><Under/><Over/></FixedPage>", false},
        {"resources stay first",
         "<FixedPage " + xps +
             "><FixedPage.Resources><ResourceDictionary/></FixedPage.Resources>"
             "<Path/> <Canvas><Path/></Canvas></FixedPage>",
         "<FixedPage " + xps +
             "><FixedPage.Resources><ResourceDictionary/></FixedPage.Resources>"
             "<Under/><Path/> <Canvas><Path/></Canvas><Over/></FixedPage>",
         false},
        {"a prefixed OpenXPS page",
         "<o:FixedPage " + oxps +
             "><o:Glyphs UnicodeString=\"a&amp;b &lt;&quot;&apos;&gt;\"/>"
             "</o:FixedPage>",
         "<o:FixedPage " + oxps +
             "><o:Under/><o:Glyphs UnicodeString=\"a&amp;b "
             "&lt;&quot;&apos;&gt;\"/><o:Over/></o:FixedPage>",
         true},
        {"whitespace and line ends kept",
         "<FixedPage " + xps + ">\n <Path Data=\"M 0,0&#10;L 1,1\"/>\n</FixedPage>",
         "<FixedPage " + xps +
             ">&#xA; <Under/><Path Data=\"M 0,0&#xA;L 1,1\"/>&#xA;<Over/></FixedPage>",
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EchoMarks marks;
        const Rewrite rewrite = RewriteOf(c.page, &marks);
        EXPECT_EQ(S_OK, rewrite.hr);
        EXPECT_EQ(kDeclaration + c.written, rewrite.bytes);
        EXPECT_EQ(1, marks.calls);
        EXPECT_EQ(c.openXps, marks.openXps);
    }
}

// A page longer than the writer gathers goes out in several writes, none of them losing or
// repeating a byte where one ends and the next begins.
TEST_F(WatermarkPageWriterTest, ALongPageIsWrittenWhole) {
    const std::string xps = "xmlns=\"http://schemas.microsoft.com/xps/2005/06\"";
    std::string page;    // characters beyond ASCII as references: the page is read as ASCII
    std::string written; // and written as UTF-8
    for (int i = 0; i < 3000; ++i) {
        const std::string line = "<Glyphs UnicodeString=\"line " + std::to_string(i) + " &amp; ";
        page += line + "&#xE9;&#x1F600;\"/>";
        written += line + "\xC3\xA9\xF0\x9F\x98\x80\"/>";
    }
    EchoMarks marks;
    const Rewrite rewrite = RewriteOf("<FixedPage " + xps + ">" + page + "</FixedPage>", &marks);
    EXPECT_EQ(S_OK, rewrite.hr);
    EXPECT_GT(rewrite.bytes.size(), 128u * 1024) << "more than two writes' worth";
    EXPECT_EQ(std::string(kDeclaration) + "<FixedPage " + xps + "><Under/>" + written +
                  "<Over/></FixedPage>",
              rewrite.bytes);
}

// The writer knows a name again by where its reader keeps it; a reader that hands out other
// names from one place (as any may) gets each written as it is, whatever its length.
TEST_F(WatermarkPageWriterTest, NamesFromOnePlaceAreWrittenAsTheyAre) {
    const std::u16string_view xps = WatermarkPageWriter::kXpsNamespace;
    CComPtr<PrintWriteStream> stream = Make<PrintWriteStream>();
    CComPtr<WatermarkPageWriter> writer;
    writer.Attach(new WatermarkPageWriter(stream, nullptr));
    char16_t place[16] = {};
    const auto name = [&](std::u16string_view text) {
        std::copy(text.begin(), text.end(), place);
        return static_cast<int>(text.size());
    };
    const int uriLength = static_cast<int>(xps.size());
    ASSERT_EQ(S_OK, writer->startDocument());
    int length = name(u"FixedPage");
    ASSERT_EQ(S_OK,
              writer->startElement(xps.data(), uriLength, place, length, place, length, nullptr));
    const std::u16string_view children[] = {u"Path", u"Glyphs", u"Canvas",
                                            u"Path", u"Pat",    u"\u00C9t\u00E9"};
    for (const std::u16string_view child : children) {
        length = name(child);
        ASSERT_EQ(S_OK, writer->startElement(xps.data(), uriLength, place, length, place, length,
                                             nullptr));
        ASSERT_EQ(S_OK, writer->characters(u"x", 1));
        ASSERT_EQ(S_OK, writer->endElement(xps.data(), uriLength, place, length, place, length));
    }
    length = name(u"FixedPage");
    ASSERT_EQ(S_OK, writer->endElement(xps.data(), uriLength, place, length, place, length));
    ASSERT_EQ(S_OK, writer->endDocument());
    EXPECT_EQ(std::string(kDeclaration) +
                  "<FixedPage><Path>x</Path><Glyphs>x</Glyphs><Canvas>x</Canvas><Path>x</Path>"
                  "<Pat>x</Pat><\xC3\x89t\xC3\xA9>x</\xC3\x89t\xC3\xA9></FixedPage>",
              stream->bytes);
}

TEST_F(WatermarkPageWriterTest, WhatIsNoFixedPageIsRefused) {
    const char* pages[] = {
        "<FixedPage/>", // in no namespace
        "<Canvas xmlns=\"http://schemas.microsoft.com/xps/2005/06\"/>",
        "<FixedPage xmlns=\"http://schemas.microsoft.com/xps/2005/07\"/>",
        "<FixedDocument xmlns=\"http://schemas.openxps.org/oxps/v1.0\"/>",
    };
    for (const char* page : pages) {
        SCOPED_TRACE(page);
        EchoMarks marks;
        EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_INVALID_DATA), RewriteOf(page, &marks).hr);
        EXPECT_EQ(0, marks.calls);
    }
}

} // namespace
