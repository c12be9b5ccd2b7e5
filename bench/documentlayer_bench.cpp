// The document layer on large tickets: building a ticket object over a ticket whose driver
// namespace has another prefix than pk (the rename to pk runs), and removing the ParameterInit
// elements no ParameterRef names. Both should grow linearly with the number of elements:
// 2,000 to 20,000 parameters should cost about ten times as much, not a hundred.
#include <filterutilities/printticketxmldocument.h>

#include <atlbase.h>
#include <msxml6.h>
#include <objbase.h>

#include <benchmark/benchmark.h>

#include <stdexcept>
#include <string>

namespace {

// A ticket as the PrintTicket provider writes it: ns0002 is the driver's namespace. Every
// parameter is named in it; every tenth is referenced, and every other one holds a QName value.
std::string LargeTicket(int parameters) {
    std::string xml = "<ns0000:PrintTicket "
                      "xmlns:ns0000=\"http://schemas.microsoft.com/windows/2003/08/printing/"
                      "printschemaframework\" "
                      "xmlns:ns0001=\"http://schemas.microsoft.com/windows/2003/08/printing/"
                      "printschemakeywords\" "
                      "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
                      "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
                      "xmlns:ns0002=\"http://schemas.keldan.com/enterprise/print/driver/native/"
                      "printSchemaPrivateKeywords/2006/11\" version=\"1\">";
    xml += "<ns0000:Feature name=\"ns0002:Refs\"><ns0000:Option>";
    for (int i = 0; i < parameters; i += 10) {
        const std::string n = std::to_string(i);
        xml += "<ns0000:ScoredProperty name=\"ns0002:S" + n +
               "\"><ns0000:ParameterRef name=\"ns0002:P" + n + "\"/></ns0000:ScoredProperty>";
    }
    xml += "</ns0000:Option></ns0000:Feature>";
    for (int i = 0; i < parameters; ++i) {
        const std::string n = std::to_string(i);
        xml += "<ns0000:ParameterInit name=\"ns0002:P" + n + "\">";
        xml += i % 2 ? "<ns0000:Value xsi:type=\"xsd:QName\">ns0002:V" + n + "</ns0000:Value>"
                     : "<ns0000:Value xsi:type=\"xsd:integer\">" + n + "</ns0000:Value>";
        xml += "</ns0000:ParameterInit>";
    }
    return xml + "</ns0000:PrintTicket>";
}

CComPtr<IXMLDOMDocument2> LoadDom(const std::string& bytes) {
    CComPtr<IXMLDOMDocument2> document;
    CoCreateInstance(CLSID_DOMDocument60, nullptr, CLSCTX_INPROC_SERVER, IID_IXMLDOMDocument2,
                     reinterpret_cast<void**>(&document));
    const std::u16string wide(bytes.begin(), bytes.end()); // the ticket is ASCII
    CComBSTR text(static_cast<int>(wide.size()), wide.data());
    VARIANT_BOOL loaded = VARIANT_FALSE;
    if (FAILED(document->loadXML(text, &loaded)) || loaded != VARIANT_TRUE) {
        throw std::runtime_error("the ticket did not load");
    }
    return document;
}

struct Apartment {
    Apartment() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
    ~Apartment() { CoUninitialize(); }
};

void ConstructionWithRename(benchmark::State& state) {
    Apartment apartment;
    const std::string bytes = LargeTicket(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        state.PauseTiming();
        CComPtr<IXMLDOMDocument2> dom = LoadDom(bytes);
        state.ResumeTiming();
        PrintTicketXmlDocument ticket(dom);
        benchmark::DoNotOptimize(ticket.GetRootNode());
        state.PauseTiming();
        ticket = PrintTicketXmlDocument(nullptr);
        dom.Release();
        state.ResumeTiming();
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(ConstructionWithRename)->Arg(2000)->Arg(20000)->Unit(benchmark::kMillisecond);

void DeleteOrphanedParameterInits(benchmark::State& state) {
    Apartment apartment;
    const std::string bytes = LargeTicket(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        state.PauseTiming();
        CComPtr<IXMLDOMDocument2> dom = LoadDom(bytes);
        PrintTicketXmlDocument ticket(dom);
        state.ResumeTiming();
        benchmark::DoNotOptimize(ticket.DeleteOrphanedParameterInits());
        state.PauseTiming();
        ticket = PrintTicketXmlDocument(nullptr);
        dom.Release();
        state.ResumeTiming();
    }
}
BENCHMARK(DeleteOrphanedParameterInits)->Arg(2000)->Arg(20000)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
