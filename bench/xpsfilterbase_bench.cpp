// A 1,000-page job through a filter of the XPS filter base's default hooks (every part to its
// hook and on to the writer; with merging, the job and document tickets merged onto the
// user's default ticket), beside the floor measured in the same run: the same reader and writer
// with each part sent straight on.
#include <filterutilities/cunknown.h>
#include <filterutilities/xpsfilterbase.h>

#include <atlbase.h>
#include <handleapi.h>
#include <oleauto.h>
#include <platformprinters.h>
#include <platformsecurity.h>
#include <xpspackage.h>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace {

std::string Folder() {
    static const std::string folder = [] {
        char pattern[] = "/tmp/xpsfilterbench.XXXXXX";
        if (!mkdtemp(pattern)) {
            throw std::runtime_error("mkdtemp failed");
        }
        return std::string(pattern);
    }();
    return folder;
}

std::string Job() {
    const std::string path = Folder() + "/job1000.xps";
    if (!std::filesystem::exists(path)) {
        const std::string command = "python3 '" XPSBENCH_MAKE_XPS "' '" + path +
                                    "' --pages 1000 --lines 40 --page-tickets every";
        if (std::system(command.c_str()) != 0) {
            throw std::runtime_error("make-xps failed: " + command);
        }
    }
    return path;
}

CComPtr<IXpsDocumentProvider> Reader(const std::string& path) {
    CComPtr<IXpsDocumentProvider> reader;
    if (FAILED(XpsOpenPackageReader(path.c_str(), nullptr, &reader))) {
        throw std::runtime_error("cannot open " + path);
    }
    return reader;
}

CComPtr<IXpsDocumentConsumer> Writer(const std::string& path) {
    CComPtr<IXpsDocumentConsumer> writer;
    if (FAILED(XpsCreatePackageWriter(path.c_str(), &writer))) {
        throw std::runtime_error("cannot create " + path);
    }
    return writer;
}

// What the pipeline hands the filter, reduced to what a run needs.
class Stream : public CUnknown<IPrintReadStream> {
public:
    explicit Stream(const std::string& bytes) : CUnknown(IID_IPrintReadStream), m_bytes(bytes) {}
    HRESULT STDMETHODCALLTYPE Seek(LONGLONG offset, DWORD origin, ULONGLONG* position) override {
        m_at = origin == 0 ? static_cast<size_t>(offset) : m_at;
        if (position) {
            *position = m_at;
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ReadBytes(void* buffer, ULONG count, ULONG* read,
                                        BOOL* end) override {
        const size_t n = std::min<size_t>(count, m_at < m_bytes.size() ? m_bytes.size() - m_at : 0);
        std::memcpy(buffer, m_bytes.data() + m_at, n);
        m_at += n;
        *read = static_cast<ULONG>(n);
        if (end) {
            *end = m_at >= m_bytes.size();
        }
        return S_OK;
    }

private:
    std::string m_bytes;
    size_t m_at = 0;
};

class Factory : public CUnknown<IPrintReadStreamFactory> {
public:
    explicit Factory(std::string ticket)
        : CUnknown(IID_IPrintReadStreamFactory), m_ticket(std::move(ticket)) {}
    HRESULT STDMETHODCALLTYPE GetStream(IPrintReadStream** stream) override {
        *stream = new Stream(m_ticket);
        return S_OK;
    }

private:
    std::string m_ticket;
};

class Bag : public CUnknown<IPrintPipelinePropertyBag> {
public:
    Bag(IUnknown* ticket, HANDLE token)
        : CUnknown(IID_IPrintPipelinePropertyBag), m_ticket(ticket), m_token(token) {}
    HRESULT STDMETHODCALLTYPE GetProperty(const WCHAR* name, VARIANT* value) override {
        const std::u16string_view wanted(name);
        VariantInit(value);
        if (wanted == u"PerUserPrintTicket") {
            value->vt = VT_UNKNOWN;
            value->punkVal = m_ticket;
            m_ticket->AddRef();
        } else if (wanted == u"PrinterName") {
            value->vt = VT_BSTR;
            value->bstrVal = SysAllocString(platformprinters::kBuiltinPrinterName);
        } else if (wanted == u"UserSecurityToken") {
            value->vt = VT_BYREF;
            value->byref = m_token;
        } else {
            return E_INVALIDARG;
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE AddProperty(const WCHAR*, const VARIANT*) override {
        return E_NOTIMPL;
    }
    BOOL STDMETHODCALLTYPE DeleteProperty(const WCHAR*) override { return FALSE; }

private:
    CComPtr<IUnknown> m_ticket;
    HANDLE m_token;
};

class Control : public CUnknown<IPrintPipelineManagerControl> {
public:
    Control() : CUnknown(IID_IPrintPipelineManagerControl) {}
    HRESULT STDMETHODCALLTYPE RequestShutdown(HRESULT reason, IImgErrorInfo*) override {
        failure = reason;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE FilterFinished() override { return S_OK; }
    HRESULT failure = S_OK;
};

class Communicator : public CUnknown<IInterFilterCommunicator> {
public:
    Communicator(IUnknown* reader, IUnknown* writer)
        : CUnknown(IID_IInterFilterCommunicator), m_reader(reader), m_writer(writer) {}
    HRESULT STDMETHODCALLTYPE RequestReader(void** reader) override {
        return m_reader.CopyTo(reinterpret_cast<IUnknown**>(reader));
    }
    HRESULT STDMETHODCALLTYPE RequestWriter(void** writer) override {
        return m_writer.CopyTo(reinterpret_cast<IUnknown**>(writer));
    }

private:
    CComPtr<IUnknown> m_reader;
    CComPtr<IUnknown> m_writer;
};

class CopyFilter : public XpsFilterBase {
public:
    explicit CopyFilter(bool merge) { m_printTicketManager.m_mergeEnabled = merge; }
};

void BM_SendEachPartOn(benchmark::State& state) {
    const std::string in = Job();
    const std::string out = Folder() + "/floor.xps";
    for (auto _ : state) {
        CComPtr<IXpsDocumentProvider> reader = Reader(in);
        CComPtr<IXpsDocumentConsumer> writer = Writer(out);
        while (true) {
            CComPtr<IUnknown> part;
            if (FAILED(reader->GetXpsPart(&part))) {
                state.SkipWithError("GetXpsPart failed");
                return;
            }
            if (!part) {
                break;
            }
            XpsSendPart(writer, part);
        }
        if (FAILED(writer->CloseSender())) {
            state.SkipWithError("CloseSender failed");
            return;
        }
    }
}
BENCHMARK(BM_SendEachPartOn)->Unit(benchmark::kMillisecond);

void BM_XpsFilterBaseDefaultHooks(benchmark::State& state) {
    const std::string in = Job();
    const std::string out = Folder() + "/filter.xps";
    platformprinters::Printer printer =
        platformprinters::FindPrinter(platformprinters::kBuiltinPrinterName);
    HANDLE token = platformtest::CreateTestUserToken(u"bench", Folder());
    CComPtr<Factory> ticket;
    ticket.Attach(new Factory(printer->defaultTicket));
    for (auto _ : state) {
        CComPtr<Communicator> communicator;
        communicator.Attach(new Communicator(Reader(in), Writer(out)));
        CComPtr<Bag> bag;
        bag.Attach(new Bag(ticket, token));
        CComPtr<Control> control;
        control.Attach(new Control);
        CComPtr<IPrintPipelineFilter> filter;
        filter.Attach(new CopyFilter(state.range(0) != 0));
        filter->InitializeFilter(communicator, bag, control);
        if (FAILED(filter->StartOperation())) {
            state.SkipWithError("the filter failed");
            break;
        }
    }
    CloseHandle(token);
}
BENCHMARK(BM_XpsFilterBaseDefaultHooks)
    ->ArgName("merge")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
