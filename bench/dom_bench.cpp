// The DOM stand-in against bare libxml2: load a real print ticket and select the option of ten
// features, as the Print Schema document classes do. The floor does the same parse and the
// same ten XPath evaluations directly.
#include <atlbase.h>
#include <msxml6.h>
#include <objbase.h>

#include <libxml/parser.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>

#include <benchmark/benchmark.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr const char* kFramework =
    "http://schemas.microsoft.com/windows/2003/08/printing/printschemaframework";
constexpr const char* kFeatures[] = {"JobCollateAllDocuments",
                                     "JobDuplexAllDocumentsContiguously",
                                     "JobInputBin",
                                     "JobNUpAllDocumentsContiguously",
                                     "JobPageOrder",
                                     "PageMediaSize",
                                     "PageMediaType",
                                     "PageOrientation",
                                     "PageOutputColor",
                                     "PageResolution"};

std::string TicketBytes() {
    std::ifstream file(std::string(FILTERUTILITIES_EXAMPLES) + "/tickets/job-ticket-a4-duplex.xml",
                       std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// The option query of the query builder: the Option children of the feature, or the value of
// its OptionName scored property.
std::vector<std::string> Queries() {
    std::vector<std::string> queries;
    for (const char* feature : kFeatures) {
        const std::string f = std::string("//psf:Feature[@name = \"psk:") + feature + "\"]";
        queries.push_back(f + "/psf:Option | " + f +
                          "/psf:ScoredProperty[@name = \"psk:OptionName\"]/psf:Value");
    }
    return queries;
}

CComBSTR Wide(const std::string& text) {
    CComBSTR wide(static_cast<int>(text.size()), nullptr);
    for (size_t i = 0; i < text.size(); ++i) {
        wide.m_str[i] = static_cast<OLECHAR>(text[i]);
    }
    return wide;
}

void Libxml2Floor(benchmark::State& state) {
    const std::string bytes = TicketBytes();
    const std::vector<std::string> queries = Queries();
    for (auto _ : state) {
        xmlDocPtr doc = xmlReadMemory(bytes.data(), static_cast<int>(bytes.size()), nullptr,
                                      nullptr, XML_PARSE_NONET);
        xmlXPathContextPtr context = xmlXPathNewContext(doc);
        xmlXPathRegisterNs(context, BAD_CAST "psf", BAD_CAST kFramework);
        for (const std::string& query : queries) {
            xmlXPathObjectPtr result = xmlXPathEvalExpression(BAD_CAST query.c_str(), context);
            xmlNodePtr option = result->nodesetval->nodeTab[0];
            xmlChar* name = xmlGetProp(option, BAD_CAST "name");
            benchmark::DoNotOptimize(name);
            xmlFree(name);
            xmlXPathFreeObject(result);
        }
        xmlXPathFreeContext(context);
        xmlFreeDoc(doc);
    }
}
BENCHMARK(Libxml2Floor);

void DomStandIn(benchmark::State& state) {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    {
        const std::string bytes = TicketBytes();
        std::vector<CComBSTR> queries;
        for (const std::string& query : Queries()) {
            queries.push_back(Wide(query));
        }
        CComPtr<IStream> stream;
        CreateStreamOnHGlobal(nullptr, TRUE, &stream);
        stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr);
        const CComBSTR language(u"SelectionLanguage");
        const CComBSTR xpath(u"XPath");
        const CComBSTR namespacesName(u"SelectionNamespaces");
        const CComBSTR namespaces = Wide(std::string("xmlns:psf='") + kFramework + "'");
        const CComBSTR name(u"name");
        for (auto _ : state) {
            LARGE_INTEGER start{};
            stream->Seek(start, STREAM_SEEK_SET, nullptr);
            CComPtr<IXMLDOMDocument2> doc;
            CoCreateInstance(CLSID_DOMDocument60, nullptr, CLSCTX_INPROC_SERVER,
                             IID_IXMLDOMDocument2, reinterpret_cast<void**>(&doc));
            VARIANT source;
            source.vt = VT_UNKNOWN;
            source.punkVal = stream;
            VARIANT_BOOL ok = VARIANT_FALSE;
            doc->load(source, &ok);
            VARIANT value;
            value.vt = VT_BSTR;
            value.bstrVal = xpath;
            doc->setProperty(language, value);
            value.bstrVal = namespaces;
            doc->setProperty(namespacesName, value);
            for (const CComBSTR& query : queries) {
                CComPtr<IXMLDOMNode> option;
                doc->selectSingleNode(query, &option);
                CComPtr<IXMLDOMNamedNodeMap> attributes;
                option->get_attributes(&attributes);
                CComPtr<IXMLDOMNode> attribute;
                if (attributes->getNamedItem(name, &attribute) == S_OK) { // some options have none
                    VARIANT text;
                    attribute->get_nodeValue(&text);
                    benchmark::DoNotOptimize(text.bstrVal);
                    VariantClear(&text);
                }
            }
        }
    }
    CoUninitialize();
}
BENCHMARK(DomStandIn);

} // namespace

BENCHMARK_MAIN();
