// fuzz-links: filterutilities kldutil platform
// fuzz-dict: watermark.dict
//
// The watermark settings text a driver stores for a job ("<Type>0</Type><KldWmText>DRAFT
// </KldWmText>...", from the job's client job data or the command line) and the annotation
// line, read by the page view of a job on the built-in printer and measured with its fonts.
// Each input byte is one UTF-16 unit of the text. Whatever the text, the record is read or the
// parse fails cleanly, and a record read places and measures its text with finite numbers.
// Nothing may crash, hang or leak.
#include "fuzzcheck.h"

#include <filterutilities/xpsfilterprintticketwatermarkimpl.h>

#include <kldutil/keldanexception.h>

#include <atlbase.h>
#include <msxml6.h>
#include <objbase.h>
#include <platformprinters.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

using PrintSchema::Watermark::WatermarkData;

constexpr char16_t kTicket[] =
    u"<psf:PrintTicket "
    u"xmlns:psf=\"http://schemas.microsoft.com/windows/2003/08/printing/printschemaframework\" "
    u"xmlns:psk=\"http://schemas.microsoft.com/windows/2003/08/printing/printschemakeywords\" "
    u"version=\"1\"><psf:Feature name=\"psk:PageOrientation\"><psf:Option "
    u"name=\"psk:Portrait\"/></psf:Feature></psf:PrintTicket>";

CComPtr<IXMLDOMDocument2> Ticket() {
    CComPtr<IXMLDOMDocument2> dom;
    FUZZ_REQUIRE(
        SUCCEEDED(::CoCreateInstance(CLSID_DOMDocument60, nullptr, CLSCTX_INPROC_SERVER,
                                     IID_IXMLDOMDocument2, reinterpret_cast<void**>(&dom))));
    VARIANT_BOOL loaded = VARIANT_FALSE;
    FUZZ_REQUIRE(dom->loadXML(CComBSTR(kTicket), &loaded) == S_OK && loaded == VARIANT_TRUE);
    return dom;
}

void RequirePlaced(const WatermarkData& record) {
    for (const double value : {double{record.x}, double{record.y}, double{record.extentWidth},
                               double{record.extentHeight}, record.xOffset, record.yOffset,
                               record.pageWidth, record.pageHeight, double{record.imageScale}}) {
        FUZZ_REQUIRE(std::isfinite(value));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 16) {
        return 0;
    }
    static const bool initialised = SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    FUZZ_REQUIRE(initialised);
    static const CComPtr<IXMLDOMDocument2> ticket = Ticket();

    std::u16string text;
    for (size_t i = 0; i < size; ++i) {
        text += static_cast<char16_t>(data[i]);
    }
    XpsFilterPrintTicketWatermarkImpl view;
    view.Initialize(kPTPageScope, ticket, nullptr, nullptr, nullptr, nullptr,
                    CXString(platformprinters::kBuiltinPrinterName), nullptr);
    view.SetPageSize(816, 1056, {215900, 279400, 4233, 4233, 207434, 270934});

    CXString settings(text);
    HRESULT status = S_OK;
    const WatermarkData& record = view.ParseWatermarkData(&settings, nullptr, &status);
    FUZZ_REQUIRE(status != E_POINTER);
    if (SUCCEEDED(status)) {
        RequirePlaced(record);
    }

    CXString annotation(text);
    ByteBuffer unused;
    status = S_OK;
    const WatermarkData& line =
        view.ParseAnnotationWatermarkData(&annotation, &unused, nullptr, &status);
    if (SUCCEEDED(status)) {
        RequirePlaced(line);
    }
    return 0;
}
