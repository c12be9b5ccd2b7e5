// Two filters that do the same real work on every page (the page markup parsed into the
// platform's DOM and serialised again as the page's new markup) chained in one job through the
// pipeline host, beside the same two run as two jobs one after the other. In the chain both
// filters work at once, each on its own thread, with pages flowing between them through a
// bounded queue; on two cores it should take well under two thirds of the two jobs' time.
//
//   pipelinechain_bench [benchmark flags]   both ways over a 400-page job
//
// "cores busy" is the processor time of all the process's threads over the wall time. On a
// machine others are loading, the chain gets fewer cores than it can use and the ratio of the
// two wall times says more about the load than about the chain; `chrt -f 1` gives the run the
// cores for its few seconds.
#include <atlbase.h>
#include <msxml6.h>
#include <pipelinehost.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <sys/resource.h>

namespace {

constexpr int kPages = 400;

std::string Folder() {
    static const std::string folder = [] {
        char pattern[] = "/tmp/pipelinebench.XXXXXX";
        if (!mkdtemp(pattern)) {
            throw std::runtime_error("mkdtemp failed");
        }
        return std::string(pattern);
    }();
    return folder;
}

std::string MakeJob() {
    const std::string path = Folder() + "/job.xps";
    if (!std::filesystem::exists(path)) {
        const std::string command = "python3 '" PIPELINEBENCH_MAKE_XPS "' '" + path + "' --pages " +
                                    std::to_string(kPages) + " --lines 60";
        if (std::system(command.c_str()) != 0) {
            throw std::runtime_error("make-xps failed: " + command);
        }
    }
    return path;
}

// Reads every byte of a part.
HRESULT ReadAll(IPartBase* part, std::string& bytes) {
    ATL::CComPtr<IPrintReadStream> stream;
    HRESULT hr = part->GetStream(&stream);
    char buffer[16384];
    BOOL ended = FALSE;
    while (SUCCEEDED(hr) && !ended) {
        ULONG read = 0;
        hr = stream->ReadBytes(buffer, sizeof buffer, &read, &ended);
        bytes.append(buffer, read);
    }
    return hr;
}

// The page's markup through the DOM and back: parsed, serialised, and written as its content.
HRESULT Reserialise(IFixedPage* page) {
    std::string markup;
    HRESULT hr = ReadAll(page, markup);
    if (FAILED(hr)) {
        return hr;
    }
    const int length =
        MultiByteToWideChar(CP_UTF8, 0, markup.data(), static_cast<int>(markup.size()), nullptr, 0);
    ATL::CComBSTR text;
    text.Attach(SysAllocStringLen(nullptr, static_cast<UINT>(length)));
    if (!text) {
        return E_OUTOFMEMORY;
    }
    MultiByteToWideChar(CP_UTF8, 0, markup.data(), static_cast<int>(markup.size()), text, length);
    ATL::CComPtr<IXMLDOMDocument2> document;
    hr = CoCreateInstance(CLSID_DOMDocument60, nullptr, CLSCTX_INPROC_SERVER, IID_IXMLDOMDocument2,
                          reinterpret_cast<void**>(&document));
    VARIANT_BOOL loaded = VARIANT_FALSE;
    if (SUCCEEDED(hr)) {
        hr = document->loadXML(text, &loaded);
    }
    if (FAILED(hr) || loaded != VARIANT_TRUE) {
        return FAILED(hr) ? hr : E_FAIL;
    }
    ATL::CComBSTR serialised;
    hr = document->get_xml(&serialised);
    if (FAILED(hr)) {
        return hr;
    }
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, serialised, -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, serialised, -1, out.data(), bytes, nullptr, nullptr);
    out.pop_back();
    ATL::CComPtr<IPrintWriteStream> writer;
    hr = page->GetWriteStream(&writer);
    ULONG written = 0;
    if (SUCCEEDED(hr)) {
        hr = writer->WriteBytes(out.data(), static_cast<ULONG>(out.size()), &written);
        writer->Close();
    }
    return hr;
}

// IUnknown for one interface, with an atomic count: filters live on the host's threads.
template <class Interface>
class Unknown : public Interface {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (!object) {
            return E_POINTER;
        }
        *object = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, __uuidof(Interface))) {
            return E_NOINTERFACE;
        }
        *object = static_cast<Interface*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --references_;
        if (!left) {
            delete this;
        }
        return left;
    }

protected:
    virtual ~Unknown() = default;

private:
    std::atomic<ULONG> references_{1};
};

class ReserialisingFilter final : public Unknown<IPrintPipelineFilter> {
public:
    HRESULT STDMETHODCALLTYPE InitializeFilter(IInterFilterCommunicator* communicator,
                                               IPrintPipelinePropertyBag*,
                                               IPrintPipelineManagerControl* control) override {
        control_ = control;
        HRESULT hr = communicator->RequestReader(reinterpret_cast<void**>(&in_));
        return SUCCEEDED(hr) ? communicator->RequestWriter(reinterpret_cast<void**>(&out_)) : hr;
    }
    HRESULT STDMETHODCALLTYPE ShutdownOperation() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE StartOperation() override {
        while (true) {
            ATL::CComPtr<IUnknown> part;
            HRESULT hr = in_->GetXpsPart(&part);
            if (FAILED(hr)) {
                return hr;
            }
            if (!part) {
                break;
            }
            ATL::CComPtr<IFixedPage> page;
            if (SUCCEEDED(part->QueryInterface(&page))) {
                hr = Reserialise(page);
                if (SUCCEEDED(hr)) {
                    hr = out_->SendFixedPage(page);
                }
            } else {
                hr = XpsSendPartOn(part);
            }
            if (FAILED(hr)) {
                control_->RequestShutdown(hr, nullptr);
                return hr;
            }
        }
        const HRESULT hr = out_->CloseSender();
        if (SUCCEEDED(hr)) {
            control_->FilterFinished();
        }
        return hr;
    }

private:
    HRESULT XpsSendPartOn(IUnknown* part) {
        ATL::CComPtr<IFixedDocument> document;
        ATL::CComPtr<IFixedDocumentSequence> sequence;
        ATL::CComPtr<IXpsDocument> xps;
        if (SUCCEEDED(part->QueryInterface(&document))) {
            return out_->SendFixedDocument(document);
        }
        if (SUCCEEDED(part->QueryInterface(&sequence))) {
            return out_->SendFixedDocumentSequence(sequence);
        }
        if (SUCCEEDED(part->QueryInterface(&xps))) {
            return out_->SendXpsDocument(xps);
        }
        return out_->SendXpsUnknown(part);
    }

    ATL::CComPtr<IXpsDocumentProvider> in_;
    ATL::CComPtr<IXpsDocumentConsumer> out_;
    ATL::CComPtr<IPrintPipelineManagerControl> control_;
};

class ReserialisingFactory final : public Unknown<IClassFactory> {
public:
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID riid, void** object) override {
        auto* filter = new ReserialisingFilter();
        const HRESULT hr = filter->QueryInterface(riid, object);
        filter->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

platformpipeline::Filter Reserialising(const char* name) {
    platformpipeline::Filter filter;
    filter.name = name;
    filter.factory.Attach(new ReserialisingFactory());
    return filter;
}

void Run(const platformpipeline::Pipeline& pipeline, const std::string& in,
         const std::string& out) {
    platformpipeline::JobSettings settings;
    settings.input = in;
    settings.output = out;
    const platformpipeline::JobResult result = platformpipeline::RunJob(pipeline, settings);
    if (!result.Succeeded()) {
        throw std::runtime_error(result.filter + ": " + result.message);
    }
}

// The process's processor time, all threads: over the wall time it tells how many cores the
// job kept busy, whatever else the machine was running.
double ProcessSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

template <class Body>
void Measure(benchmark::State& state, Body&& body) {
    double busy = 0;
    double wall = 0;
    for (auto _ : state) {
        const double cpu = ProcessSeconds();
        const auto start = std::chrono::steady_clock::now();
        body();
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        busy += ProcessSeconds() - cpu;
    }
    state.counters["pages/s"] =
        benchmark::Counter(kPages, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["cores busy"] = wall > 0 ? busy / wall : 0;
}

void ChainedInOneJob(benchmark::State& state) {
    const std::string job = MakeJob();
    platformpipeline::Pipeline pipeline;
    pipeline.filters = {Reserialising("first"), Reserialising("second")};
    Measure(state, [&] { Run(pipeline, job, Folder() + "/chained.xps"); });
}
BENCHMARK(ChainedInOneJob)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(5);

void TwoJobsOneAfterTheOther(benchmark::State& state) {
    const std::string job = MakeJob();
    platformpipeline::Pipeline first;
    first.filters = {Reserialising("first")};
    platformpipeline::Pipeline second;
    second.filters = {Reserialising("second")};
    Measure(state, [&] {
        Run(first, job, Folder() + "/between.xps");
        Run(second, Folder() + "/between.xps", Folder() + "/twojobs.xps");
    });
}
BENCHMARK(TwoJobsOneAfterTheOther)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(5);

} // namespace

int main(int argc, char** argv) {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove_all(Folder());
    CoUninitialize();
    return 0;
}
