// The watermark record a filter asks its view for on every page: a text watermark and a date
// stamp parsed and measured for the printer (the user impersonated, the printer opened, an
// information context made, the font measured, everything released), and the record kept for
// the fill when the settings text says IniDataType 37.
#include <filterutilities/xpsfilterprintticketwatermarkimpl.h>

#include <atlbase.h>
#include <msxml6.h>
#include <objbase.h>
#include <platformprinters.h>

#include <benchmark/benchmark.h>

#include <stdexcept>
#include <string>

namespace {

struct Apartment {
    Apartment() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
    ~Apartment() { CoUninitialize(); }
};

CComPtr<IXMLDOMDocument2> Ticket() {
    CComPtr<IXMLDOMDocument2> document;
    CoCreateInstance(CLSID_DOMDocument60, nullptr, CLSCTX_INPROC_SERVER, IID_IXMLDOMDocument2,
                     reinterpret_cast<void**>(&document));
    const CComBSTR text(
        u"<psf:PrintTicket xmlns:psf=\"http://schemas.microsoft.com/windows/2003/08/printing/"
        u"printschemaframework\" xmlns:psk=\"http://schemas.microsoft.com/windows/2003/08/"
        u"printing/printschemakeywords\" version=\"1\"><psf:Feature "
        u"name=\"psk:PageOrientation\"><psf:Option name=\"psk:Portrait\"/></psf:Feature>"
        u"</psf:PrintTicket>");
    VARIANT_BOOL loaded = VARIANT_FALSE;
    if (!document || FAILED(document->loadXML(text, &loaded)) || loaded != VARIANT_TRUE) {
        throw std::runtime_error("the ticket did not load");
    }
    return document;
}

const WCHAR* const kSettings[] = {
    u"<Type>0</Type><KldWmText>CONFIDENTIAL</KldWmText><FontHeight>72</FontHeight>"
    u"<FontEsc>450</FontEsc><FontWeight>700</FontWeight><FontFace>Arial</FontFace>"
    u"<Red>192</Red><Green>192</Green><Blue>192</Blue><Density>25</Density>",
    u"<Type>1</Type><KldWmText>7</KldWmText><FontHeight>12</FontHeight>",
    u"<IniDataType>37</IniDataType><Type>0</Type><KldWmText>CONFIDENTIAL</KldWmText>",
};

void ParseWatermark(benchmark::State& state) {
    const Apartment apartment;
    const CComPtr<IXMLDOMDocument2> ticket = Ticket();
    XpsFilterPrintTicketWatermarkImpl view;
    view.Initialize(kPTPageScope, ticket, nullptr, nullptr, nullptr, nullptr,
                    CXString(platformprinters::kBuiltinPrinterName), nullptr);
    CXString settings(kSettings[state.range(0)]);
    for (auto _ : state) {
        HRESULT status = E_FAIL;
        benchmark::DoNotOptimize(view.ParseWatermarkData(&settings, nullptr, &status).x);
        if (status != S_OK) {
            state.SkipWithError("the watermark did not parse");
            break;
        }
    }
}
BENCHMARK(ParseWatermark)->ArgName("text/stamp/kept")->DenseRange(0, 2);

} // namespace

BENCHMARK_MAIN();
