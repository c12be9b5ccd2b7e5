// Resolving the ticket of a page with merging on, as a filter does for every page of a job:
// the page's own ticket read from a real job (make-xps), merged onto the document's effective
// ticket through the PrintTicket provider, the page view filled and three typed settings read
// from it (orientation, duplex, page media size). Beside it, the floor measured in the same run:
// bare libxml2 parsing the same two tickets (the page's and the document's effective one) and
// serialising one.
#include <filterutilities/printticketmanager.h>

#include <atlbase.h>
#include <filterpipeline.h>
#include <handleapi.h>
#include <objbase.h>
#include <processthreadsapi.h>
#include <xpspackage.h>

#include <benchmark/benchmark.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kPages = 20;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The user's default ticket as the pipeline hands it over: a read stream over bytes.
class BytesReadStream : public IPrintReadStream {
public:
    explicit BytesReadStream(std::string bytes) : m_bytes(std::move(bytes)) {}
    STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IPrintReadStream)) {
            *object = this;
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_count; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG count = --m_count;
        if (count == 0) {
            delete this;
        }
        return count;
    }
    STDMETHODIMP Seek(LONGLONG offset, DWORD origin, ULONGLONG* position) override {
        const LONGLONG base = origin == STREAM_SEEK_SET   ? 0
                              : origin == STREAM_SEEK_CUR ? static_cast<LONGLONG>(m_position)
                                                          : static_cast<LONGLONG>(m_bytes.size());
        m_position = static_cast<size_t>(std::max<LONGLONG>(0, base + offset));
        if (position) {
            *position = m_position;
        }
        return S_OK;
    }
    STDMETHODIMP ReadBytes(void* buffer, ULONG count, ULONG* read, BOOL* end) override {
        const size_t n =
            std::min<size_t>(count, m_position < m_bytes.size() ? m_bytes.size() - m_position : 0);
        m_bytes.copy(static_cast<char*>(buffer), n, m_position);
        m_position += n;
        *read = static_cast<ULONG>(n);
        *end = m_position >= m_bytes.size();
        return S_OK;
    }

private:
    virtual ~BytesReadStream() = default;
    ULONG m_count = 1;
    std::string m_bytes;
    size_t m_position = 0;
};

std::string StreamBytes(IXMLDOMDocument2* document) {
    CComPtr<IStream> stream;
    document->QueryInterface(IID_IStream, reinterpret_cast<void**>(&stream));
    std::string bytes;
    char buffer[4096];
    ULONG read = 0;
    while (SUCCEEDED(stream->Read(buffer, sizeof(buffer), &read)) && read > 0) {
        bytes.append(buffer, read);
    }
    return bytes;
}

// A job of one document whose pages all carry a ticket, and the manager of a filter that has
// resolved its sequence and document.
struct Fixture {
    std::string folder;
    CComPtr<IXpsDocumentProvider> reader;
    std::vector<CComPtr<IFixedPage>> pages;
    HANDLE token = nullptr;
    PrintTicketManager manager;
    std::string pageTicket;
    std::string documentMerged;

    Fixture() {
        char pattern[] = "/tmp/ptmbench.XXXXXX";
        if (!mkdtemp(pattern)) {
            throw std::runtime_error("mkdtemp failed");
        }
        folder = pattern;
        const std::string job = folder + "/job.xps";
        const std::string command = "python3 '" PTMBENCH_MAKE_XPS "' '" + job + "' --pages " +
                                    std::to_string(kPages) + " --lines 1 --page-tickets every";
        if (std::system(command.c_str()) != 0 ||
            FAILED(XpsOpenPackageReader(job.c_str(), nullptr, &reader))) {
            throw std::runtime_error("cannot make the job: " + command);
        }
        if (!OpenProcessToken(GetCurrentProcess(),
                              TOKEN_IMPERSONATE | TOKEN_QUERY | TOKEN_DUPLICATE, &token)) {
            throw std::runtime_error("no token");
        }
        manager.m_mergeEnabled = true;
        CComPtr<IPrintReadStream> defaultTicket;
        defaultTicket.Attach(new BytesReadStream(
            ReadFile(std::string(FILTERUTILITIES_EXAMPLES) + "/tickets/job-ticket-a4-duplex.xml")));
        if (FAILED(manager.Initialise(defaultTicket, CComBSTR(u"FilterUtilities XPS Printer"),
                                      token))) {
            throw std::runtime_error("Initialise failed");
        }
        for (;;) {
            CComPtr<IUnknown> part;
            if (FAILED(reader->GetXpsPart(&part)) || !part) {
                break;
            }
            CComPtr<IFixedDocumentSequence> sequence;
            CComPtr<IFixedDocument> document;
            CComPtr<IFixedPage> page;
            HRESULT hr = S_OK;
            if (SUCCEEDED(part.QueryInterface(&sequence))) {
                hr = manager.InitializeWithPrintTicket(sequence);
            } else if (SUCCEEDED(part.QueryInterface(&document))) {
                hr = manager.InitializeWithPrintTicket(document);
            } else if (SUCCEEDED(part.QueryInterface(&page))) {
                pages.push_back(page);
            }
            if (FAILED(hr)) {
                throw std::runtime_error("a wider scope did not resolve");
            }
        }
        XpsFilterPrintTicket* view = nullptr;
        if (pages.empty() || FAILED(manager.GetTicket(kPTDocumentScope, &view))) {
            throw std::runtime_error("no pages, or no document ticket");
        }
        documentMerged = StreamBytes(view->GetMergedTicket()->GetDomDocPtr());
        if (FAILED(manager.InitializeWithPrintTicket(pages[0])) ||
            FAILED(manager.GetTicket(kPTPageScope, &view))) {
            throw std::runtime_error("the page did not resolve");
        }
        pageTicket =
            StreamBytes(view->GetTicket(XpsFilterPrintTicketBase::PagePtScope)->GetDomDocPtr());
    }
    ~Fixture() {
        CloseHandle(token);
        std::filesystem::remove_all(folder);
    }
};

// One iteration of each benchmark is a function of its own, never inlined, so that
// bench/instructions-per-call.sh can count the instructions of exactly one page.
[[gnu::noinline]] bool ResolvePage(PrintTicketManager& manager, IFixedPage* page) {
    XpsFilterPrintTicket* view = nullptr;
    if (FAILED(manager.InitializeWithPrintTicket(page)) ||
        FAILED(manager.GetTicket(kPTPageScope, &view))) {
        return false;
    }
    HRESULT orientation = E_FAIL;
    HRESULT duplex = E_FAIL;
    HRESULT mediaSize = E_FAIL;
    benchmark::DoNotOptimize(view->GetOrientation(nullptr, &orientation));
    benchmark::DoNotOptimize(view->GetDuplex(nullptr, &duplex));
    benchmark::DoNotOptimize(view->GetPageMediaSize(nullptr, &mediaSize));
    return SUCCEEDED(orientation) && SUCCEEDED(duplex) && SUCCEEDED(mediaSize);
}

void PageScopeWithMerging(benchmark::State& state) {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    {
        Fixture fixture;
        size_t next = 0;
        for (auto _ : state) {
            if (!ResolvePage(fixture.manager, fixture.pages[next++ % fixture.pages.size()])) {
                state.SkipWithError("the page did not resolve");
                break;
            }
        }
    }
    CoUninitialize();
}
BENCHMARK(PageScopeWithMerging)->Unit(benchmark::kMicrosecond);

[[gnu::noinline]] void ParseTheTwoTickets(const std::string& page, const std::string& document) {
    const int options = XML_PARSE_NONET | XML_PARSE_NOBLANKS;
    xmlDoc* pageDoc =
        xmlReadMemory(page.data(), static_cast<int>(page.size()), nullptr, nullptr, options);
    xmlDoc* documentDoc = xmlReadMemory(document.data(), static_cast<int>(document.size()), nullptr,
                                        nullptr, options);
    xmlChar* text = nullptr;
    int length = 0;
    xmlDocDumpMemory(pageDoc, &text, &length);
    benchmark::DoNotOptimize(length);
    xmlFree(text);
    xmlFreeDoc(documentDoc);
    xmlFreeDoc(pageDoc);
}

void Floor(benchmark::State& state) {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    std::string page;
    std::string document;
    {
        Fixture fixture;
        page = fixture.pageTicket;
        document = fixture.documentMerged;
    }
    CoUninitialize();
    for (auto _ : state) {
        ParseTheTwoTickets(page, document);
    }
}
BENCHMARK(Floor)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
