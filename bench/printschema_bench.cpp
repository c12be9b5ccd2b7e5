// Reading and editing a real print ticket through the library, beside the floor measured in
// the same run: libxml2 parsing the same bytes and evaluating the same XPath expressions
// directly. The ratio of the two is the cost of the DOM stand-in and the library together.
#include <filterutilities/printticketxmldocument.h>

#include <atlbase.h>
#include <msxml6.h>
#include <objbase.h>

#include <benchmark/benchmark.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

namespace {

constexpr char kFrameworkUri[] =
    "http://schemas.microsoft.com/windows/2003/08/printing/printschemaframework";

constexpr std::array<const char16_t*, 10> kFeatures = {u"JobCollateAllDocuments",
                                                       u"JobDuplexAllDocumentsContiguously",
                                                       u"JobInputBin",
                                                       u"JobPageOrder",
                                                       u"PageMediaSize",
                                                       u"PageMediaType",
                                                       u"PageOrientation",
                                                       u"PageOutputColor",
                                                       u"PageOutputQuality",
                                                       u"PageResolution"};

struct ScoredValue {
    const char16_t* feature;
    const char16_t* property;
};
constexpr std::array<ScoredValue, 4> kScoredValues = {{
    {u"PageMediaSize", u"MediaSizeWidth"},
    {u"PageMediaSize", u"MediaSizeHeight"},
    {u"PageResolution", u"ResolutionX"},
    {u"PageScaling", u"Scale"}, // a ParameterRef, followed to its ParameterInit
}};

const std::string& TicketBytes() {
    static const std::string bytes = [] {
        const std::string path =
            std::string(FILTERUTILITIES_EXAMPLES) + "/tickets/job-ticket-a4-duplex.xml";
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            throw std::runtime_error("cannot read " + path);
        }
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }();
    return bytes;
}

std::string Narrow(const char16_t* text) {
    std::string out;
    for (; *text; ++text) {
        out += static_cast<char>(*text);
    }
    return out;
}

// --- The floor: libxml2 directly, with the expressions the library evaluates ---

xmlXPathObjectPtr Evaluate(xmlXPathContextPtr context, xmlNodePtr node, const std::string& query) {
    context->node = node;
    return xmlXPathEvalExpression(reinterpret_cast<const xmlChar*>(query.c_str()), context);
}

xmlNodePtr First(xmlXPathContextPtr context, xmlNodePtr node, const std::string& query) {
    xmlXPathObjectPtr result = Evaluate(context, node, query);
    xmlNodePtr found = (result && result->nodesetval && result->nodesetval->nodeNr > 0)
                           ? result->nodesetval->nodeTab[0]
                           : nullptr;
    xmlXPathFreeObject(result);
    return found;
}

// The value of a property-like element: its Value child, or the ParameterInit its
// ParameterRef names (found by walking every ParameterInit, as the library does).
xmlChar* PropertyValue(xmlXPathContextPtr context, xmlDocPtr document, xmlNodePtr property) {
    if (xmlNodePtr value = First(context, property, "psf:Value")) {
        return xmlNodeGetContent(value);
    }
    xmlNodePtr reference = First(context, property, "psf:ParameterRef");
    if (!reference) {
        return nullptr;
    }
    xmlChar* name = xmlGetProp(reference, BAD_CAST "name");
    xmlChar* value = nullptr;
    xmlXPathObjectPtr inits =
        Evaluate(context, reinterpret_cast<xmlNodePtr>(document), "//psf:ParameterInit");
    for (int i = 0; inits && inits->nodesetval && i < inits->nodesetval->nodeNr; ++i) {
        xmlChar* initName = xmlGetProp(inits->nodesetval->nodeTab[i], BAD_CAST "name");
        const bool match = initName && name && xmlStrEqual(initName, name);
        xmlFree(initName);
        if (match) {
            value = xmlNodeGetContent(inits->nodesetval->nodeTab[i]);
            break;
        }
    }
    xmlXPathFreeObject(inits);
    xmlFree(name);
    return value;
}

// Parsing and finding the root with its namespace declarations, as the document constructor
// does.
xmlDocPtr FloorParse(const std::string& bytes, xmlXPathContextPtr* context) {
    xmlDocPtr document = xmlReadMemory(bytes.data(), static_cast<int>(bytes.size()), nullptr,
                                       nullptr, XML_PARSE_NONET | XML_PARSE_NOBLANKS);
    *context = xmlXPathNewContext(document);
    xmlXPathRegisterNs(*context, BAD_CAST "psf", BAD_CAST kFrameworkUri);
    xmlNodePtr root = First(*context, reinterpret_cast<xmlNodePtr>(document), "//psf:PrintTicket");
    for (xmlNsPtr ns = root ? root->nsDef : nullptr; ns; ns = ns->next) {
        benchmark::DoNotOptimize(ns->href);
    }
    return document;
}

void FloorRead(benchmark::State& state) {
    const std::string& bytes = TicketBytes();
    for (auto _ : state) {
        xmlXPathContextPtr context = nullptr;
        xmlDocPtr document = FloorParse(bytes, &context);
        xmlNodePtr top = reinterpret_cast<xmlNodePtr>(document);
        for (const char16_t* feature : kFeatures) {
            const std::string named = "//psf:Feature[@name = \"psk:" + Narrow(feature) + "\"]";
            xmlNodePtr option =
                First(context, top,
                      named + "/psf:Option | " + named +
                          "/psf:ScoredProperty[@name = \"psk:OptionName\"]/psf:Value");
            xmlChar* name = option ? xmlGetProp(option, BAD_CAST "name") : nullptr;
            benchmark::DoNotOptimize(name);
            xmlFree(name);
        }
        for (const ScoredValue& scored : kScoredValues) {
            xmlNodePtr property = First(
                context, top,
                "//psf:Feature[@name = \"psk:" + Narrow(scored.feature) +
                    "\"]//psf:ScoredProperty[@name = \"psk:" + Narrow(scored.property) + "\"]");
            xmlChar* value = property ? PropertyValue(context, document, property) : nullptr;
            benchmark::DoNotOptimize(value);
            xmlFree(value);
        }
        xmlXPathFreeContext(context);
        xmlFreeDoc(document);
    }
}
BENCHMARK(FloorRead);

void FloorEdit(benchmark::State& state) {
    const std::string& bytes = TicketBytes();
    for (auto _ : state) {
        xmlXPathContextPtr context = nullptr;
        xmlDocPtr document = FloorParse(bytes, &context);
        xmlNodePtr root = xmlDocGetRootElement(document);
        xmlNsPtr framework = xmlSearchNsByHref(document, root, BAD_CAST kFrameworkUri);
        for (const char16_t* feature : kFeatures) {
            xmlNodePtr featureNode =
                xmlNewDocNode(document, framework, BAD_CAST "Feature", nullptr);
            xmlSetProp(featureNode, BAD_CAST "name",
                       BAD_CAST("psk:" + Narrow(feature) + "Copy").c_str());
            xmlNodePtr optionNode = xmlNewDocNode(document, framework, BAD_CAST "Option", nullptr);
            xmlSetProp(optionNode, BAD_CAST "name", BAD_CAST "psk:Something");
            xmlAddChild(featureNode, optionNode);
            xmlAddChild(root, featureNode);
        }
        benchmark::DoNotOptimize(root);
        xmlXPathFreeContext(context);
        xmlFreeDoc(document);
    }
}
BENCHMARK(FloorEdit);

// --- Through the DOM stand-in and the library ---

CComPtr<IXMLDOMDocument2> LoadDom(const std::string& bytes) {
    CComPtr<IStream> stream;
    CreateStreamOnHGlobal(nullptr, TRUE, &stream);
    stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr);
    LARGE_INTEGER start{};
    stream->Seek(start, STREAM_SEEK_SET, nullptr);
    CComPtr<IXMLDOMDocument2> document;
    CoCreateInstance(CLSID_DOMDocument60, nullptr, CLSCTX_INPROC_SERVER, IID_IXMLDOMDocument2,
                     reinterpret_cast<void**>(&document));
    VARIANT source;
    VariantInit(&source);
    source.vt = VT_UNKNOWN;
    source.punkVal = stream;
    VARIANT_BOOL loaded = VARIANT_FALSE;
    if (FAILED(document->load(source, &loaded)) || loaded != VARIANT_TRUE) {
        throw std::runtime_error("the ticket did not load");
    }
    return document;
}

struct Apartment {
    Apartment() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
    ~Apartment() { CoUninitialize(); }
};

void LibraryRead(benchmark::State& state) {
    Apartment apartment;
    const std::string& bytes = TicketBytes();
    std::vector<CComBSTR> features(kFeatures.begin(), kFeatures.end());
    for (auto _ : state) {
        PrintTicketXmlDocument ticket(LoadDom(bytes));
        for (const CComBSTR& feature : features) {
            CComBSTR option;
            ticket.GetFeatureOption(feature, &option);
            benchmark::DoNotOptimize(option.m_str);
        }
        for (const ScoredValue& scored : kScoredValues) {
            CComBSTR feature(scored.feature);
            CComBSTR property(scored.property);
            int value = 0;
            ticket.GetScoredPropertyValue(feature, property, &value);
            benchmark::DoNotOptimize(value);
        }
    }
}
BENCHMARK(LibraryRead);

void LibraryEdit(benchmark::State& state) {
    Apartment apartment;
    const std::string& bytes = TicketBytes();
    std::vector<CComBSTR> features;
    for (const char16_t* feature : kFeatures) {
        features.emplace_back((std::u16string(feature) + u"Copy").c_str());
    }
    CComBSTR option(u"Something");
    for (auto _ : state) {
        PrintTicketXmlDocument ticket(LoadDom(bytes));
        for (const CComBSTR& feature : features) {
            CComPtr<IXMLDOMElement> featureElement;
            CComPtr<IXMLDOMElement> optionElement;
            ticket.CreateFeatureOptionPair(true, feature, true, option, &featureElement,
                                           &optionElement);
            ticket.AppendChild(featureElement, optionElement);
            ticket.AppendChildToRootNode(featureElement);
        }
    }
}
BENCHMARK(LibraryEdit);

} // namespace

BENCHMARK_MAIN();
