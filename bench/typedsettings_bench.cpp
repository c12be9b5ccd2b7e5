// The typed settings a filter reads for each page: the view refilled with the job's tickets
// (the example job ticket as the user's default, a page ticket carrying the driver's devmode)
// and the seven getters asked, as a filter does once per page, beside the refill and devmode
// decoding alone; and the same getters asked again within one fill, where each answers from
// its cache.
#include <filterutilities/xpsfilterprintticket.h>

#include <kldutil/attributebytesindexedlist.h>
#include <kldutil/kdevmode.h>

#include <atlbase.h>
#include <msxml6.h>
#include <objbase.h>

#include <benchmark/benchmark.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace {

CComPtr<IXMLDOMDocument2> Load(const std::string& xml) {
    CComPtr<IXMLDOMDocument2> dom;
    if (FAILED(CoCreateInstance(CLSID_DOMDocument60, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IXMLDOMDocument2, reinterpret_cast<void**>(&dom)))) {
        throw std::runtime_error("no DOM");
    }
    std::u16string text(xml.begin(), xml.end()); // the tickets here are ASCII
    VARIANT_BOOL loaded = VARIANT_FALSE;
    if (dom->loadXML(CComBSTR(text.c_str()), &loaded) != S_OK || loaded != VARIANT_TRUE) {
        throw std::runtime_error("not loaded");
    }
    return dom;
}

std::string DefaultTicket() {
    std::ifstream file(FILTERUTILITIES_EXAMPLES "/tickets/job-ticket-a4-duplex.xml");
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

std::string Base64(const ByteBuffer& bytes) {
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    const BYTE* b = bytes.getLpbyte();
    for (size_t i = 0; i < bytes.getDword(); i += 3) {
        const size_t left = bytes.getDword() - i;
        const unsigned group =
            (b[i] << 16) | (left > 1 ? b[i + 1] << 8 : 0) | (left > 2 ? b[i + 2] : 0);
        text += alphabet[(group >> 18) & 63];
        text += alphabet[(group >> 12) & 63];
        text += left > 1 ? alphabet[(group >> 6) & 63] : '=';
        text += left > 2 ? alphabet[group & 63] : '=';
    }
    return text;
}

// A page ticket with the driver's devmode: a realistic set of settings and the own output
// size, so that every getter walks its whole path.
std::string PageTicket() {
    AttributeBytesIndexedList model;
    for (int feature = 100; feature < 160; ++feature) {
        model.SetOptionValue(AttributeBytesFeatureId(feature), 7000 + feature);
    }
    const auto f = [](int id) { return AttributeBytesFeatureId(id); };
    model.SetIntegerValue(f(160), 150);
    model.SetOptionValue(f(161), 7463);
    model.SetOptionValue(f(215), 7242);
    model.SetBooleanValue(f(216), true);
    model.SetOptionValue(f(219), 7262);
    model.SetIntegerValue(f(312), 25400);
    model.SetOptionValue(f(751), 9685);
    AttributeBytesIndexedList dimensions;
    dimensions.SetIntegerValue(f(172), 210000);
    dimensions.SetIntegerValue(f(173), 297000);
    AttributeBytesIndexedList size;
    size.SetOptionValue(f(168), 6732);
    size.SetCollection(f(164), dimensions);
    AttributeBytesIndexedList paper;
    paper.SetCollection(f(210), size);
    model.SetCollection(f(477), paper);
    return "<psf:PrintTicket "
           "xmlns:psf=\"http://schemas.microsoft.com/windows/2003/08/printing/"
           "printschemaframework\" "
           "xmlns:psk=\"http://schemas.microsoft.com/windows/2003/08/printing/"
           "printschemakeywords\" "
           "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
           "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
           "xmlns:ns0000=\"http://schemas.keldan.com/enterprise/print/driver/native/"
           "printSchemaPrivateKeywords/2006/11\" version=\"1\">"
           "<psf:Feature name=\"psk:PageOrientation\"><psf:Option name=\"psk:Landscape\"/>"
           "</psf:Feature><psf:ParameterInit name=\"ns0000:PageDevmodeSnapshot\"><psf:Value "
           "xsi:type=\"xsd:string\">" +
           Base64(KDevmode::Build(model)) + "</psf:Value></psf:ParameterInit></psf:PrintTicket>";
}

void AskAll(XpsFilterPrintTicket& view) {
    HRESULT status = S_OK;
    benchmark::DoNotOptimize(view.GetDuplex(nullptr, &status));
    benchmark::DoNotOptimize(view.GetOrientation(nullptr, &status));
    benchmark::DoNotOptimize(view.GetPageScaling(nullptr, &status).scaleWidth);
    benchmark::DoNotOptimize(view.GetPageMediaSize(nullptr, &status).width);
    benchmark::DoNotOptimize(view.GetBookletBinding(nullptr, &status).bindingOption);
    benchmark::DoNotOptimize(view.GetNUp(nullptr, &status).pagesPerSheet);
    benchmark::DoNotOptimize(view.GetOutputPaperSize(nullptr, &status).width);
}

class Apartment {
public:
    Apartment() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
    ~Apartment() { CoUninitialize(); }
};

// One page: refill, then the seven getters (each computed once).
void TypedSettingsPerFill(benchmark::State& state) {
    Apartment apartment;
    CComPtr<IXMLDOMDocument2> defaults = Load(DefaultTicket());
    CComPtr<IXMLDOMDocument2> page = Load(PageTicket());
    XpsFilterPrintTicket view;
    for (auto _ : state) {
        view.Initialize(kPTPageScope, defaults, nullptr, nullptr, page, nullptr, CXString(),
                        nullptr);
        AskAll(view);
    }
}
BENCHMARK(TypedSettingsPerFill);

// The refill alone and the devmode decoded, without the getters: the part of a page's cost
// that is not theirs.
void RefillAndDecodeOnly(benchmark::State& state) {
    Apartment apartment;
    CComPtr<IXMLDOMDocument2> defaults = Load(DefaultTicket());
    CComPtr<IXMLDOMDocument2> page = Load(PageTicket());
    XpsFilterPrintTicket view;
    for (auto _ : state) {
        view.Initialize(kPTPageScope, defaults, nullptr, nullptr, page, nullptr, CXString(),
                        nullptr);
        benchmark::DoNotOptimize(
            view.GetAttributeBytesIndexedListRef().GetNumberOfAttributeBytes());
    }
}
BENCHMARK(RefillAndDecodeOnly);

// The seven getters again within one fill: every answer from its cache.
void TypedSettingsCached(benchmark::State& state) {
    Apartment apartment;
    CComPtr<IXMLDOMDocument2> defaults = Load(DefaultTicket());
    CComPtr<IXMLDOMDocument2> page = Load(PageTicket());
    XpsFilterPrintTicket view;
    view.Initialize(kPTPageScope, defaults, nullptr, nullptr, page, nullptr, CXString(), nullptr);
    AskAll(view);
    for (auto _ : state) {
        AskAll(view);
    }
}
BENCHMARK(TypedSettingsCached);

} // namespace

BENCHMARK_MAIN();
