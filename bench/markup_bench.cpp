// Rewriting a large fixed page: the SAX reader driving a CSaxHandler subclass that writes every
// element, attribute and text again, escaped, as UTF-8 to a COM memory stream; beside it the
// floor, libxml2's own SAX parse of the same bytes re-serialised by hand into a string with the
// same escaping. Both report the page's bytes per second.
#include "markuprewriter.h"

#include <atlbase.h>
#include <msxml6.h>
#include <objbase.h>

#include <libxml/parser.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>

namespace {

// A page of lines lines of text, each a Glyphs element whose text holds the five special
// characters and a character outside the Basic Multilingual Plane, with a path beside it.
std::string LargePage(int lines) {
    std::string page =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<FixedPage "
        "xmlns=\"http://schemas.microsoft.com/xps/2005/06\" Width=\"816\" "
        "Height=\"1056\" xml:lang=\"en-US\">\n <Canvas RenderTransform=\"1,0,0,1,0,0\">\n";
    for (int i = 0; i < lines; ++i) {
        const std::string y = std::to_string(96 + i % 40 * 22);
        page +=
            "  <Path Fill=\"#FF336699\" Data=\"M 72," + y + " L 744," + y +
            " L 744,2 Z\"/>\n  <Glyphs Fill=\"#FF000000\" FontUri=\"/Resources/Fonts/Font0.ttf\" "
            "FontRenderingEmSize=\"12\" OriginX=\"72\" OriginY=\"" +
            y +
            "\" Indices=\",55;,75;,72;,3;\" UnicodeString=\"The quick brown fox &amp; the "
            "&lt;lazy&gt; dog say &quot;hi&quot; &apos;twice&apos; \xF0\x9F\x98\x80 line " +
            std::to_string(i) + "\"/>\n";
    }
    page += " </Canvas>\n</FixedPage>\n";
    return page;
}

const std::string& Page() {
    static const std::string page = LargePage(5000);
    return page;
}

CComPtr<IStream> StreamOver(const std::string& bytes) {
    CComPtr<IStream> stream;
    ::CreateStreamOnHGlobal(nullptr, TRUE, &stream);
    stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr);
    return stream;
}

void Rewrite(benchmark::State& state, size_t flushAt) {
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    {
        const std::string& page = Page();
        CComPtr<IStream> input = StreamOver(page);
        CComPtr<ISAXXMLReader> reader;
        ::CoCreateInstance(CLSID_SAXXMLReader60, nullptr, CLSCTX_INPROC_SERVER, IID_ISAXXMLReader,
                           reinterpret_cast<void**>(&reader));
        size_t written = 0;
        for (auto _ : state) {
            state.PauseTiming();
            LARGE_INTEGER start{};
            input->Seek(start, STREAM_SEEK_SET, nullptr);
            CComPtr<IStream> output;
            ::CreateStreamOnHGlobal(nullptr, TRUE, &output);
            state.ResumeTiming();
            CComPtr<markuptest::MarkupRewriter> rewriter =
                markuptest::MarkupRewriter::Make(output.p, flushAt);
            reader->putContentHandler(rewriter);
            VARIANT source{};
            source.vt = VT_UNKNOWN;
            source.punkVal = input;
            if (FAILED(reader->parse(source))) {
                state.SkipWithError("the rewrite failed");
                break;
            }
            reader->putContentHandler(nullptr);
            ULARGE_INTEGER size{};
            LARGE_INTEGER none{};
            output->Seek(none, STREAM_SEEK_CUR, &size);
            written = size.QuadPart;
        }
        state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * page.size()));
        state.counters["output_bytes"] = static_cast<double>(written);
    }
    ::CoUninitialize();
}

// Output gathered in 32 KiB pieces, as a filter writing to a part stream would.
void BM_RewriteThroughCSaxHandler(benchmark::State& state) {
    Rewrite(state, 32 * 1024);
}
BENCHMARK(BM_RewriteThroughCSaxHandler)->Unit(benchmark::kMillisecond);

// Every callback writes its own piece: the cost of a conversion and a write per piece.
void BM_RewriteWritingEachPiece(benchmark::State& state) {
    Rewrite(state, 1);
}
BENCHMARK(BM_RewriteWritingEachPiece)->Unit(benchmark::kMillisecond);

// The floor: libxml2's SAX2 parse, in the same 64 KiB chunks, serialised with the same
// escaping into one string.
struct Floor {
    std::string out;
    bool startTagOpen = false;

    void Close() {
        if (startTagOpen) {
            out += '>';
            startTagOpen = false;
        }
    }
    void Escape(const xmlChar* text, size_t length) {
        for (size_t i = 0; i < length; ++i) {
            const char c = static_cast<char>(text[i]);
            switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            case '\t':
                out += "&#x9;";
                break;
            case '\n':
                out += "&#xA;";
                break;
            case '\r':
                out += "&#xD;";
                break;
            default:
                out += c;
            }
        }
    }
    void Name(const xmlChar* prefix, const xmlChar* local) {
        if (prefix) {
            out += reinterpret_cast<const char*>(prefix);
            out += ':';
        }
        out += reinterpret_cast<const char*>(local);
    }

    static Floor& Of(void* user) { return *static_cast<Floor*>(user); }
    static void StartElement(void* user, const xmlChar* local, const xmlChar* prefix,
                             const xmlChar*, int namespaceCount, const xmlChar** namespaces,
                             int attributeCount, int, const xmlChar** attributes) {
        Floor& f = Of(user);
        f.Close();
        f.out += '<';
        f.Name(prefix, local);
        for (int i = 0; i < attributeCount; ++i) {
            const xmlChar** a = attributes + 5 * i;
            f.out += ' ';
            f.Name(a[1], a[0]);
            f.out += "=\"";
            f.Escape(a[3], static_cast<size_t>(a[4] - a[3]));
            f.out += '"';
        }
        for (int i = 0; i < namespaceCount; ++i) {
            f.out += namespaces[2 * i] ? " xmlns:" : " xmlns";
            if (namespaces[2 * i]) {
                f.out += reinterpret_cast<const char*>(namespaces[2 * i]);
            }
            f.out += "=\"";
            const xmlChar* uri = namespaces[2 * i + 1];
            f.Escape(uri, xmlStrlen(uri));
            f.out += '"';
        }
        f.startTagOpen = true;
    }
    static void EndElement(void* user, const xmlChar* local, const xmlChar* prefix,
                           const xmlChar*) {
        Floor& f = Of(user);
        if (f.startTagOpen) {
            f.out += "/>";
            f.startTagOpen = false;
            return;
        }
        f.out += "</";
        f.Name(prefix, local);
        f.out += '>';
    }
    static void Characters(void* user, const xmlChar* text, int length) {
        Floor& f = Of(user);
        f.Close();
        f.Escape(text, static_cast<size_t>(length));
    }
};

void BM_Libxml2SaxParseAndSerialise(benchmark::State& state) {
    const std::string& page = Page();
    xmlSAXHandler sax{};
    sax.initialized = XML_SAX2_MAGIC;
    sax.startElementNs = Floor::StartElement;
    sax.endElementNs = Floor::EndElement;
    sax.characters = Floor::Characters;
    size_t written = 0;
    for (auto _ : state) {
        Floor floor;
        floor.out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
        xmlParserCtxtPtr context = xmlCreatePushParserCtxt(&sax, &floor, nullptr, 0, nullptr);
        xmlCtxtUseOptions(context, XML_PARSE_NONET | XML_PARSE_NOENT);
        constexpr size_t kChunk = 64 * 1024;
        for (size_t at = 0; at < page.size(); at += kChunk) {
            xmlParseChunk(context, page.data() + at,
                          static_cast<int>(std::min(kChunk, page.size() - at)), 0);
        }
        xmlParseChunk(context, nullptr, 0, 1);
        if (!context->wellFormed) {
            state.SkipWithError("libxml2 refused the page");
        }
        xmlFreeParserCtxt(context);
        written = floor.out.size();
        benchmark::DoNotOptimize(floor.out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * page.size()));
    state.counters["output_bytes"] = static_cast<double>(written);
}
BENCHMARK(BM_Libxml2SaxParseAndSerialise)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
