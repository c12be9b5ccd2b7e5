// Page markup read by the SAX reader and written again through a CSaxHandler subclass keeps
// its meaning: canonical XML (libxml2's, an independent reader) of input and output are equal,
// over small documents that each stress one thing and over real pages of make-xps jobs.
#include <platformtest.h>
#include <xpspackage.h>

#include <atlbase.h>
#include <msxml6.h>
#include <objbase.h>

#include <libxml/c14n.h>
#include <libxml/parser.h>

#include <gtest/gtest.h>

#include "markuprewriter.h"
#include "scratchfolder.h"
#include "writestreamdoubles.h"

#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

using markuptest::MarkupRewriter;
using pipelinetest::Make;
using writestreamtest::PrintWriteStream;

namespace {

// Canonical XML 1.0 without comments; whitespace is kept, as it is meaning in markup.
std::string Canonical(const std::string& bytes) {
    std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)> doc(
        xmlReadMemory(bytes.data(), static_cast<int>(bytes.size()), "page.xml", nullptr,
                      XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING),
        &xmlFreeDoc);
    if (!doc) {
        throw std::runtime_error("not well-formed: " + bytes.substr(0, 200));
    }
    xmlChar* out = nullptr;
    const int length = xmlC14NDocDumpMemory(doc.get(), nullptr, XML_C14N_1_0, nullptr, 0, &out);
    std::string text = length >= 0 ? std::string(reinterpret_cast<char*>(out), length) : "";
    xmlFree(out);
    return text;
}

CComPtr<IStream> StreamOver(const std::string& bytes) {
    CComPtr<IStream> stream;
    EXPECT_EQ(S_OK, ::CreateStreamOnHGlobal(nullptr, TRUE, &stream));
    EXPECT_EQ(S_OK, stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr));
    LARGE_INTEGER start{};
    EXPECT_EQ(S_OK, stream->Seek(start, STREAM_SEEK_SET, nullptr));
    return stream;
}

std::string ReadAll(IStream* stream) {
    LARGE_INTEGER start{};
    EXPECT_EQ(S_OK, stream->Seek(start, STREAM_SEEK_SET, nullptr));
    std::string bytes;
    char buffer[4096];
    ULONG read = 0;
    while (SUCCEEDED(stream->Read(buffer, sizeof buffer, &read)) && read > 0) {
        bytes.append(buffer, read);
    }
    return bytes;
}

class MarkupRewrite : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    }
    void TearDown() override { ::CoUninitialize(); }

    // Parses the page from a stream with the handler.
    static HRESULT Parse(const std::string& page, ISAXContentHandler* handler) {
        CComPtr<ISAXXMLReader> reader;
        EXPECT_EQ(S_OK, ::CoCreateInstance(CLSID_SAXXMLReader60, nullptr, CLSCTX_INPROC_SERVER,
                                           IID_ISAXXMLReader, reinterpret_cast<void**>(&reader)));
        EXPECT_EQ(S_OK, reader->putContentHandler(handler));
        CComPtr<IStream> input = StreamOver(page);
        VARIANT source{};
        source.vt = VT_UNKNOWN;
        source.punkVal = input;
        return reader->parse(source);
    }

    // The page written again to a COM memory stream.
    static std::string Rewritten(const std::string& page, size_t flushAt = 32 * 1024) {
        CComPtr<IStream> output;
        EXPECT_EQ(S_OK, ::CreateStreamOnHGlobal(nullptr, TRUE, &output));
        EXPECT_EQ(S_OK, Parse(page, MarkupRewriter::Make(output.p, flushAt)));
        return ReadAll(output);
    }

    static void ExpectSameMeaning(const std::string& page) {
        const std::string output = Rewritten(page);
        EXPECT_EQ(0u, output.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?><", 0))
            << "UTF-8 without a byte order mark: " << output.substr(0, 60);
        EXPECT_EQ(Canonical(page), Canonical(output)) << output;
    }
};

const char kXpsNamespace[] = "http://schemas.microsoft.com/xps/2005/06";
// The five characters XML escapes (& < > " '), and two characters outside the Basic
// Multilingual Plane: one written as UTF-8, one as a character reference.
const char kSpecialText[] =
    "{}&lt;AT&amp;T&gt; &quot;q&quot; &apos;a&apos; \xF0\x9D\x84\x9E&#x1F600;";

TEST_F(MarkupRewrite, SmallDocumentsKeepTheirMeaning) {
    const struct {
        const char* name;
        std::string xml;
    } cases[] = {
        {"the five in character data", "<a>x &lt; y &amp;&amp; z &gt; w \"q\" 'r' ]]&gt;</a>"},
        {"the five in attributes of either quote", "<a b=\"&lt;&amp;&gt;&quot;'\" c='\"&apos;'/>"},
        {"beyond the BMP", "<a b=\"&#x1F600;\xF0\x9D\x84\x9E\">\xF0\x9D\x84\x9E&#x1D11E;</a>"},
        {"whitespace an attribute or a parser would lose",
         "<a b=\"x&#9;y&#10;z&#13;w\" c=\"  two  spaces \">l1&#13;&#10;l2&#13;\n\t</a>"},
        {"CDATA", "<a><![CDATA[<b>&amp;</b> ]]></a>"},
        {"namespaces", "<p:a xmlns:p=\"urn:p\" xmlns=\"urn:d\"><b p:c=\"1\" xml:lang=\"en\"/>"
                       "<p:a xmlns:p=\"urn:q\" xmlns=\"\"><c/></p:a></p:a>"},
        {"processing instructions and comments",
         "<?pi before?><!-- gone --><a><?pi  data  with spaces ?><?empty?></a><?after x?>"},
        {"a page with special text",
         std::string("<FixedPage xmlns=\"") + kXpsNamespace +
             "\" Width=\"816\" Height=\"1056\" xml:lang=\"en-US\">\n  <Glyphs Fill=\"#FF000000\" "
             "FontUri=\"/Resources/Fonts/Font0.ttf\" FontRenderingEmSize=\"12\" OriginX=\"72\" "
             "OriginY=\"96\" UnicodeString=\"" +
             kSpecialText + "\"/>\n</FixedPage>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ExpectSameMeaning(c.xml);
    }
}

// The fixed pages of a job, as bytes.
std::vector<std::string> PagesOf(const std::string& job) {
    CComPtr<IXpsDocumentProvider> reader;
    EXPECT_EQ(S_OK, ::XpsOpenPackageReader(job.c_str(), nullptr, &reader));
    std::vector<std::string> pages;
    for (CComPtr<IUnknown> part; reader && reader->GetXpsPart(&part) == S_OK && part;
         part.Release()) {
        CComPtr<IFixedPage> page;
        if (FAILED(part.QueryInterface(&page))) {
            continue;
        }
        CComPtr<IPrintReadStream> stream;
        EXPECT_EQ(S_OK, page->GetStream(&stream));
        std::string bytes;
        char buffer[8192];
        ULONG read = 0;
        BOOL end = FALSE;
        while (SUCCEEDED(stream->ReadBytes(buffer, sizeof buffer, &read, &end)) && read > 0) {
            bytes.append(buffer, read);
        }
        pages.push_back(bytes);
    }
    return pages;
}

TEST_F(MarkupRewrite, RealPagesKeepTheirMeaningWithSpecialTextInThem) {
    ScratchFolder scratch("markuprewrite");
    const std::string job = (scratch / "job.xps").string();
    const std::string command = std::string("python3 ") + XPSTEST_MAKE_XPS + " " + job +
                                " --documents 2 --pages 2 --lines 30 --openxps >/dev/null";
    ASSERT_EQ(0, std::system(command.c_str())) << command;
    const std::vector<std::string> pages = PagesOf(job);
    ASSERT_EQ(4u, pages.size());
    for (size_t i = 0; i < pages.size(); ++i) {
        SCOPED_TRACE("page " + std::to_string(i + 1));
        std::string page = pages[i];
        const std::string firstLine = "UnicodeString=\"";
        const size_t at = page.find(firstLine);
        ASSERT_NE(std::string::npos, at);
        page.insert(at + firstLine.size(), std::string(kSpecialText) + " ");
        ExpectSameMeaning(pages[i]);
        ExpectSameMeaning(page);
    }
}

TEST_F(MarkupRewrite, APipelineStreamThatTakesLittleAtATimeGetsTheSameBytes) {
    const std::string page = std::string("<a b=\"") + kSpecialText + "\">" + kSpecialText + "</a>";
    const std::string expected = Rewritten(page);
    CComPtr<PrintWriteStream> output = Make<PrintWriteStream>();
    output->behaviour.chunk = 5;
    CComPtr<MarkupRewriter> rewriter = MarkupRewriter::Make(output.p, 16);
    EXPECT_EQ(S_OK, Parse(page, rewriter));
    EXPECT_GT(rewriter->writes, 2) << "written in several pieces";
    EXPECT_EQ(expected, output->bytes);
}

TEST_F(MarkupRewrite, AFailingWriteStopsTheParseWithItsFailure) {
    const std::string page = "<a><b>one</b><b>two</b><b>three</b><b>four</b></a>";
    CComPtr<PrintWriteStream> output = Make<PrintWriteStream>();
    output->behaviour = {.failAt = 2, .failure = STG_E_MEDIUMFULL};
    CComPtr<MarkupRewriter> rewriter = MarkupRewriter::Make(output.p, 8);
    EXPECT_EQ(STG_E_MEDIUMFULL, Parse(page, rewriter));
    EXPECT_EQ(2, rewriter->writes) << "nothing written after the failure";
}

// Every allocation of a rewrite fails in turn (the BSTRs escaped, the conversion buffers,
// written at an element's end and at the document's, the output stream's growth): the parse
// ends with E_OUTOFMEMORY every time, or with the memory stream's own word for it,
// STG_E_MEDIUMFULL, and the sanitizers see nothing leak.
TEST_F(MarkupRewrite, RunningOutOfMemoryAnywhereEndsTheParseWithOutOfMemory) {
    const std::string page = std::string("<a b=\"") + kSpecialText + "\">x&amp;y<c/></a>";
    // The parse with its failAt-th allocation failing; *count is how many it made.
    const auto run = [&](unsigned long failAt, unsigned long* count) {
        CComPtr<IStream> output;
        EXPECT_EQ(S_OK, ::CreateStreamOnHGlobal(nullptr, TRUE, &output));
        CComPtr<MarkupRewriter> rewriter = MarkupRewriter::Make(output.p, 8);
        CComPtr<IStream> input = StreamOver(page);
        CComPtr<ISAXXMLReader> reader;
        EXPECT_EQ(S_OK, ::CoCreateInstance(CLSID_SAXXMLReader60, nullptr, CLSCTX_INPROC_SERVER,
                                           IID_ISAXXMLReader, reinterpret_cast<void**>(&reader)));
        EXPECT_EQ(S_OK, reader->putContentHandler(rewriter));
        VARIANT source{};
        source.vt = VT_UNKNOWN;
        source.punkVal = input;
        const unsigned long start = platformtest::AllocationCount();
        platformtest::AllocationFailure failure(failAt);
        const HRESULT hr = reader->parse(source);
        *count = platformtest::AllocationCount() - start;
        return hr;
    };
    unsigned long allocations = 0;
    ASSERT_EQ(S_OK, run(0, &allocations));
    ASSERT_GT(allocations, 5u);
    for (unsigned long n = 1; n <= allocations; ++n) {
        SCOPED_TRACE("allocation " + std::to_string(n) + " of " + std::to_string(allocations));
        unsigned long count = 0;
        const HRESULT hr = run(n, &count);
        EXPECT_TRUE(hr == E_OUTOFMEMORY || hr == STG_E_MEDIUMFULL) << std::hex << hr;
    }
}

} // namespace
