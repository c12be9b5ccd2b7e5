// RunJob: one job through a chain of filters, each on its own thread.
#include "bytepipe.h"
#include "endpoints.h"
#include "files.h"
#include "partqueue.h"
#include "pipeline.h"
#include "propertybag.h"
#include "spool.h"
#include "userticket.h"

#include "../com/comobject.h"
#include "handleapi.h"
#include "platformprinters.h"
#include "platformsecurity.h"
#include "processthreadsapi.h"
#include "winspool.h"
#include "xpspackage.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace platform::pipeline {
namespace {

using platformpipeline::Connection;
using platformpipeline::JobResult;
using platformpipeline::JobSettings;

constexpr size_t kBytePipeCapacity = 1u << 20;
constexpr size_t kTicketCap = 16 << 20; // a user's default ticket, at most
constexpr auto kProgressInterval = std::chrono::milliseconds(250);

JobResult Failure(FailedAt at, HRESULT hr, std::string message) {
    JobResult result;
    result.failedAt = at;
    result.hr = FAILED(hr) ? hr : E_FAIL;
    result.message = std::move(message);
    return result;
}

// Thrown inside RunJob for a failure before any filter runs.
struct SetupError {
    JobResult result;
};
[[noreturn]] void FailSetup(FailedAt at, HRESULT hr, std::string message) {
    throw SetupError{Failure(at, hr, std::move(message))};
}

// A handle closed with the object.
template <BOOL(WINAPI* Close)(HANDLE)>
class OwnedHandle {
public:
    OwnedHandle() = default;
    ~OwnedHandle() {
        if (handle_) {
            Close(handle_);
        }
    }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    HANDLE* Out() { return &handle_; }
    HANDLE Get() const { return handle_; }

private:
    HANDLE handle_ = nullptr;
};

// A private folder for the spool files of one job, removed with everything in it.
class SpoolFolder {
public:
    SpoolFolder() = default;
    ~SpoolFolder() {
        if (path_.empty()) {
            return;
        }
        if (DIR* folder = opendir(path_.c_str())) {
            while (const dirent* entry = readdir(folder)) {
                const std::string name = entry->d_name;
                if (name != "." && name != "..") {
                    unlink((path_ + "/" + name).c_str());
                }
            }
            closedir(folder);
        }
        rmdir(path_.c_str());
    }
    SpoolFolder(const SpoolFolder&) = delete;
    SpoolFolder& operator=(const SpoolFolder&) = delete;

    // A new name in the folder, made on first use.
    std::string NewFile() {
        if (path_.empty()) {
            const char* tmp = std::getenv("TMPDIR");
            std::string pattern =
                std::string(tmp && *tmp ? tmp : "/tmp") + "/filterpipeline-XXXXXX";
            if (!mkdtemp(pattern.data())) {
                FailSetup(FailedAt::Setup, HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED),
                          pattern + ": cannot make a spool folder");
            }
            path_ = pattern;
        }
        return path_ + "/spool" + std::to_string(++files_) + ".xps";
    }

private:
    std::string path_;
    int files_ = 0;
};

class Communicator final : public com::Object<Communicator, IInterFilterCommunicator> {
public:
    using Interfaces = com::InterfaceTable<IInterFilterCommunicator>;
    Communicator(ATL::CComPtr<IUnknown> reader, REFIID readerIid, ATL::CComPtr<IUnknown> writer,
                 REFIID writerIid)
        : reader_(std::move(reader)), writer_(std::move(writer)), readerIid_(readerIid),
          writerIid_(writerIid) {}

    HRESULT STDMETHODCALLTYPE RequestReader(void** reader) override {
        if (!reader) {
            return E_POINTER;
        }
        return reader_->QueryInterface(readerIid_, reader);
    }
    HRESULT STDMETHODCALLTYPE RequestWriter(void** writer) override {
        if (!writer) {
            return E_POINTER;
        }
        return writer_->QueryInterface(writerIid_, writer);
    }

private:
    ATL::CComPtr<IUnknown> reader_;
    ATL::CComPtr<IUnknown> writer_;
    IID readerIid_;
    IID writerIid_;
};

class ManagerControl final : public com::Object<ManagerControl, IPrintPipelineManagerControl> {
public:
    using Interfaces = com::InterfaceTable<IPrintPipelineManagerControl>;
    ManagerControl(std::shared_ptr<JobState> job, size_t filter, std::string name)
        : job_(std::move(job)), filter_(filter), name_(std::move(name)) {}

    HRESULT STDMETHODCALLTYPE RequestShutdown(HRESULT reason, IImgErrorInfo*) override {
        job_->Fail(FailedAt::Filter, name_, FAILED(reason) ? reason : kCancelled,
                   "asked to shut the job down");
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE FilterFinished() override {
        job_->FilterFinished(filter_);
        return S_OK;
    }

private:
    std::shared_ptr<JobState> job_;
    size_t filter_;
    std::string name_;
};

// A call into a filter: an exception that leaves it (a fault of the filter's own) is
// E_UNEXPECTED rather than the end of the process.
template <class Call>
HRESULT Shielded(Call&& call) noexcept {
    try {
        return call();
    } catch (...) {
        return E_UNEXPECTED;
    }
}

const IID& ReaderIid(Connection connection) {
    return connection == Connection::Parts ? IID_IXpsDocumentProvider : IID_IPrintReadStream;
}
const IID& WriterIid(Connection connection) {
    return connection == Connection::Parts ? IID_IXpsDocumentConsumer : IID_IPrintWriteStream;
}

// What one filter's thread uses, held by the thread itself: a thread the job leaves behind
// (see JobSettings::shutdownGrace) keeps it all after the host is gone, the filter's module
// included. The thread that calls the filter's ShutdownOperation holds one too, without the
// links.
struct FilterRun {
    std::vector<std::shared_ptr<void>> modules; // released last: they hold the filter's code
    ATL::CComPtr<IPrintPipelineFilter> filter;
    std::shared_ptr<JobState> job;
    std::shared_ptr<Link> input;
    std::shared_ptr<Link> output;
    size_t index = 0;
    std::string name;
};

using Clock = std::chrono::steady_clock;

class Host {
public:
    Host(const platformpipeline::Pipeline& pipeline, const JobSettings& settings)
        : chain_(pipeline.filters), modules_(pipeline.modules), settings_(settings),
          job_(std::make_shared<JobState>(chain_.size())) {}

    ~Host() {
        // Every thread is joined before anything it uses goes, or left behind holding it: one
        // still running here (the host was left by an exception) is stopped first.
        if (job_->AnyRunning()) {
            ShutDown();
            bool failure = false;
            while (job_->WaitForChange(UntilNextLook(), failure) && !GraceOver()) {
            }
            LeaveBehind();
        }
        JoinThreads();
        if (output_) {
            output_->Discard();
        }
    }

    JobResult Run() {
        OpenPrinterAndUser();
        FillPropertyBag();
        Connect();
        if (chain_.empty()) {
            Copy();
        } else {
            MakeFilters();
            if (!job_->Failed()) {
                RunFilters();
            }
        }
        if (!job_->Failed() && !chain_.empty() && chain_.back().output == Connection::Bytes) {
            // The last filter wrote the package as bytes: it becomes the output part by part.
            CopyParts(ReaderOf(links_.back()), WriterOf(output_));
        }
        ReportProgress();
        output_->Commit();
        output_->Discard();
        JobResult result = job_->Result();
        result.abandoned = std::move(abandoned_);
        return result;
    }

private:
    void OpenPrinterAndUser() {
        std::u16string printer = settings_.printer;
        if (printer.empty()) {
            WCHAR name[256];
            DWORD size = 256;
            if (!GetDefaultPrinterW(name, &size)) {
                FailSetup(FailedAt::Setup, HRESULT_FROM_WIN32(GetLastError()),
                          "there is no default printer");
            }
            printer.assign(name, size - 1);
        }
        if (!OpenPrinterW(printer.data(), printer_.Out(), nullptr)) {
            FailSetup(FailedAt::Setup, HRESULT_FROM_WIN32(GetLastError()),
                      "no printer is named \"" + Narrow(printer.c_str()) + "\"");
        }
        description_ = platformprinters::PrinterOfHandle(printer_.Get());
        if (!description_) {
            FailSetup(FailedAt::Setup, E_HANDLE, "the printer's handle names no printer");
        }
        if (settings_.user.empty()) {
            if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_IMPERSONATE,
                                  token_.Out())) {
                FailSetup(FailedAt::Setup, HRESULT_FROM_WIN32(GetLastError()),
                          "cannot open the token of the user running the job");
            }
        } else if (!PlatformLogonUserW(settings_.user.c_str(), token_.Out())) {
            FailSetup(FailedAt::Setup, HRESULT_FROM_WIN32(GetLastError()),
                      "no user is named \"" + Narrow(settings_.user.c_str()) + "\"");
        }
        ticket_ = std::make_shared<const std::string>(
            settings_.ticket.empty() ? description_->defaultTicket : ReadTicket(settings_.ticket));
    }

    static std::string ReadTicket(const std::string& path) {
        std::string bytes;
        std::string problem;
        const HRESULT hr = ReadSmallFile(path, kTicketCap, bytes, problem);
        if (FAILED(hr)) {
            FailSetup(FailedAt::Setup, hr, problem);
        }
        problem = UserTicketProblem(bytes);
        if (!problem.empty()) {
            FailSetup(FailedAt::Setup, HRESULT_FROM_WIN32(ERROR_INVALID_DATA),
                      path + ": " + problem);
        }
        return bytes;
    }

    void FillPropertyBag() {
        bag_ = MakePropertyBag();
        const auto add = [&](const char16_t* name, VARIANT& value) {
            const HRESULT hr = bag_->AddProperty(name, &value);
            VariantClear(&value);
            if (FAILED(hr)) {
                throw std::bad_alloc();
            }
        };
        VARIANT value;
        VariantInit(&value);
        value.vt = VT_BSTR;
        value.bstrVal = com::Require(SysAllocString(description_->name.c_str()));
        add(u"PrinterName", value);
        value.vt = VT_BYREF;
        value.byref = printer_.Get();
        add(u"PrinterHandle", value);
        value.vt = VT_UI4;
        value.ulVal = settings_.jobId;
        add(u"PrintJobId", value);
        value.vt = VT_UNKNOWN;
        value.punkVal = MakeTicketStreamFactory(ticket_).Detach();
        add(u"PerUserPrintTicket", value);
        value.vt = VT_BYREF;
        value.byref = token_.Get();
        add(u"UserSecurityToken", value);
    }

    // The links: the input, one between each two neighbours, and the output.
    void Connect() {
        HRESULT hr = S_OK;
        std::string problem;
        const bool bytesIn = !chain_.empty() && chain_.front().input == Connection::Bytes;
        links_.push_back(bytesIn ? MakeFileInput(settings_.input, hr, problem)
                                 : OpenPartsInput(settings_.input, job_, hr, problem));
        if (!links_.back()) {
            FailSetup(FailedAt::Input, hr, problem);
        }
        for (size_t i = 1; i < chain_.size(); ++i) {
            const Connection out = chain_[i - 1].output;
            const Connection in = chain_[i].input;
            std::shared_ptr<Link> link;
            if (out == Connection::Parts && in == Connection::Parts) {
                link = MakePartQueue(settings_.queueDepth, links_.back());
            } else if (out == Connection::Bytes && in == Connection::Bytes) {
                link = MakeBytePipe(kBytePipeCapacity);
            } else if (out == Connection::Parts) {
                link = MakePartsToBytesSpool(spool_.NewFile(), hr, problem);
            } else {
                link =
                    MakeBytesToPartsSpool(spool_.NewFile(), job_, chain_[i - 1].name, hr, problem);
            }
            if (!link) {
                FailSetup(FailedAt::Setup, hr, problem);
            }
            links_.push_back(std::move(link));
        }
        const std::string last = chain_.empty() ? std::string() : chain_.back().name;
        output_ = OpenPartsOutput(settings_.output, job_, last, hr, problem);
        if (!output_) {
            FailSetup(FailedAt::Setup, hr, problem);
        }
        if (!chain_.empty() && chain_.back().output == Connection::Bytes) {
            auto spool = MakeBytesToPartsSpool(spool_.NewFile(), job_, last, hr, problem);
            if (!spool) {
                FailSetup(FailedAt::Setup, hr, problem);
            }
            links_.push_back(std::move(spool));
        } else {
            links_.push_back(output_);
        }
    }

    static ATL::CComPtr<IXpsDocumentProvider> ReaderOf(const std::shared_ptr<Link>& link) {
        ATL::CComPtr<IXpsDocumentProvider> reader;
        link->Reader()->QueryInterface(&reader);
        return reader;
    }
    static ATL::CComPtr<IXpsDocumentConsumer> WriterOf(const std::shared_ptr<Link>& link) {
        ATL::CComPtr<IXpsDocumentConsumer> writer;
        link->Writer()->QueryInterface(&writer);
        return writer;
    }

    // No filter: the host itself passes every part from the input to the output.
    void Copy() {
        ATL::CComPtr<IXpsDocumentProvider> reader = ReaderOf(links_.front());
        ATL::CComPtr<IXpsDocumentConsumer> writer = WriterOf(output_);
        auto reported = std::chrono::steady_clock::now();
        while (!job_->Failed()) {
            ATL::CComPtr<IUnknown> part;
            if (FAILED(reader->GetXpsPart(&part))) {
                break; // the input recorded why
            }
            if (!part) {
                writer->CloseSender();
                break;
            }
            if (FAILED(XpsSendPart(writer, part))) {
                break; // the output recorded why
            }
            if (std::chrono::steady_clock::now() - reported >= kProgressInterval) {
                reported = std::chrono::steady_clock::now();
                ReportProgress();
            }
        }
    }

    void MakeFilters() {
        for (size_t i = 0; i < chain_.size(); ++i) {
            const platformpipeline::Filter& entry = chain_[i];
            ATL::CComPtr<IPrintPipelineFilter> filter;
            HRESULT hr = entry.factory ? Shielded([&] {
                return entry.factory->CreateInstance(nullptr, IID_IPrintPipelineFilter,
                                                     reinterpret_cast<void**>(&filter));
            })
                                       : E_POINTER;
            if (SUCCEEDED(hr) && !filter) {
                hr = E_NOINTERFACE;
            }
            if (FAILED(hr)) {
                job_->Fail(FailedAt::Filter, entry.name, hr, "the filter cannot be made");
                return;
            }
            ATL::CComPtr<IInterFilterCommunicator> communicator;
            communicator.Attach(com::Require(
                com::New<Communicator>(links_[i]->Reader(), ReaderIid(entry.input),
                                       links_[i + 1]->Writer(), WriterIid(entry.output))));
            ATL::CComPtr<IPrintPipelineManagerControl> control;
            control.Attach(com::Require(com::New<ManagerControl>(job_, i, entry.name)));
            hr = Shielded([&] { return filter->InitializeFilter(communicator, bag_, control); });
            if (FAILED(hr)) {
                job_->Fail(FailedAt::Filter, entry.name, hr, "InitializeFilter failed");
                return;
            }
            filters_.push_back(filter);
        }
    }

    void RunFilters() {
        // Room for every thread and name up front, so that leaving a filter behind never
        // needs memory.
        threads_.reserve(filters_.size());
        stoppers_.resize(filters_.size());
        abandoned_.reserve(filters_.size());
        for (size_t i = 0; i < filters_.size(); ++i) {
            auto run = std::make_shared<FilterRun>();
            run->modules = modules_;
            run->filter = filters_[i];
            run->job = job_;
            run->input = links_[i];
            run->output = links_[i + 1];
            run->index = i;
            run->name = chain_[i].name;
            job_->ThreadStarted(i);
            try {
                threads_.emplace_back(
                    [run = std::move(run)]() mutable { RunFilter(std::move(run)); });
            } catch (const std::system_error&) {
                job_->ThreadEnded(i);
                job_->Fail(FailedAt::Setup, std::string(), E_OUTOFMEMORY,
                           "cannot start a thread for " + chain_[i].name);
                break;
            }
        }
        bool running = true;
        while (running) {
            bool failure = false;
            running = job_->WaitForChange(UntilNextLook(), failure);
            if (failure) {
                ShutDown();
            }
            ReportProgress();
            if (running && GraceOver()) {
                LeaveBehind();
                break;
            }
        }
        JoinThreads();
    }

    // How long the host waits before it looks again: until the next progress report, or the
    // end of the shutdown's grace if that comes first.
    Clock::duration UntilNextLook() const {
        Clock::duration wait = kProgressInterval;
        if (graceEnds_) {
            wait = std::min(wait, std::max(*graceEnds_ - Clock::now(), Clock::duration::zero()));
        }
        return wait;
    }

    bool GraceOver() const { return graceEnds_ && Clock::now() >= *graceEnds_; }

    // The filters still in StartOperation or ShutdownOperation when the shutdown's grace ran
    // out: their threads run on, detached, on what they hold themselves, and the job ends
    // without them.
    void LeaveBehind() noexcept {
        for (size_t i = 0; i < stoppers_.size(); ++i) {
            if (!job_->Running(i)) {
                continue;
            }
            if (i < threads_.size() && threads_[i].joinable()) {
                threads_[i].detach();
            }
            if (stoppers_[i].joinable()) {
                stoppers_[i].detach();
            }
            try {
                abandoned_.push_back(chain_[i].name);
            } catch (const std::bad_alloc&) {
                abandoned_.emplace_back(); // nameless, within the room reserved
            }
        }
    }

    void JoinThreads() {
        for (std::vector<std::thread>* threads : {&threads_, &stoppers_}) {
            for (std::thread& thread : *threads) {
                if (thread.joinable()) {
                    thread.join();
                }
            }
        }
    }

    static void RunFilter(std::shared_ptr<FilterRun> run) {
        JobState& job = *run->job;
        const size_t index = run->index;
        const std::string& name = run->name;
        // A single-threaded apartment, the one the driver's filters enter themselves: a
        // filter asking for it again is answered S_FALSE rather than RPC_E_CHANGED_MODE.
        const HRESULT apartment = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        const HRESULT hr = Shielded([&] { return run->filter->StartOperation(); });
        if (SUCCEEDED(apartment)) {
            CoUninitialize();
        }
        try {
            if (FAILED(hr)) {
                job.Fail(FailedAt::Filter, name, hr, "StartOperation failed");
            } else if (!job.HasFinished(index)) {
                job.Fail(FailedAt::Filter, name, E_UNEXPECTED,
                         "StartOperation returned before the filter called FilterFinished");
            }
            // A rule the filter broke by returning is broken as it returns: it is recorded
            // before a neighbour can learn of the return, so that no neighbour, woken by a
            // broken pipe or an input that stops short, fails in a race with it and is named
            // first.
            if (!job.Failed() && !run->input->ReadToEnd()) {
                job.Fail(FailedAt::Filter, name, kBrokenPipe,
                         "the filter finished before reading all of its input");
            }
            if (!job.Failed() && !run->output->WriterClosed()) {
                job.Fail(FailedAt::Filter, name, E_UNEXPECTED,
                         "the filter finished without closing its output");
            }
            // A job that failed is being shut down: its filters are told to stop before their
            // links wake them (ShutDown), so the links are left alone here, lest a neighbour
            // take a link ended now for a failure of its own.
            if (!job.Failed()) {
                run->input->ReaderReturned();
                run->output->WriterReturned();
            }
        } catch (const std::bad_alloc&) {
            job.Fail(FailedAt::Filter, name, E_OUTOFMEMORY, std::string());
        }
        // What the thread holds goes before the host can see it ended: the filter is released
        // here or by the host, and its module stays loaded until both are done with it.
        std::shared_ptr<JobState> keep = std::move(run->job);
        run.reset();
        keep->ThreadEnded(index);
    }

    // Every filter is told to stop, each on a thread of its own, then every link wakes
    // whoever waits on it: a filter woken by its cancelled link already knows that the
    // pipeline stopped it, and does not answer with a failure (and a shutdown request) of its
    // own. A ShutdownOperation that blocks holds neither the host nor the other filters: the
    // links wait for the answers a quarter of the grace at most, so that the filters they wake
    // have the rest to return, and a filter still in ShutdownOperation when the grace is over
    // is left behind with it. Called once; the grace starts here.
    void ShutDown() {
        if (graceEnds_) {
            return;
        }
        graceEnds_ = Clock::now() + settings_.shutdownGrace;
        // From the last filter to the first, each answering before the one before it is told:
        // a filter released by its ShutdownOperation may send on the part it held, and the
        // filter after it, already told, stops before that part's hook.
        const auto answersBy = Clock::now() + settings_.shutdownGrace / 4;
        for (size_t i = filters_.size(); i-- > 0;) {
            TellToStop(i);
            job_->WaitForStops(std::max(answersBy - Clock::now(), Clock::duration::zero()));
        }
        for (const std::shared_ptr<Link>& link : links_) {
            link->Cancel();
        }
        if (output_) {
            output_->Cancel();
        }
    }

    void TellToStop(size_t i) {
        if (i < stoppers_.size()) {
            try {
                auto run = std::make_shared<FilterRun>();
                run->modules = modules_;
                run->filter = filters_[i];
                run->job = job_;
                run->index = i;
                job_->StopStarted(i);
                try {
                    stoppers_[i] = std::thread(
                        [run = std::move(run)]() mutable { StopFilter(std::move(run)); });
                } catch (const std::system_error&) {
                    job_->StopEnded(i);
                    throw;
                }
                return;
            } catch (const std::bad_alloc&) {
            } catch (const std::system_error&) {
            }
        }
        // No thread to spare: the filter is told on this one rather than not at all.
        Shielded([&] { return filters_[i]->ShutdownOperation(); });
    }

    static void StopFilter(std::shared_ptr<FilterRun> run) {
        Shielded([&] { return run->filter->ShutdownOperation(); });
        // Released before the host can see the call returned, as in RunFilter.
        const size_t index = run->index;
        std::shared_ptr<JobState> keep = std::move(run->job);
        run.reset();
        keep->StopEnded(index);
    }

    void ReportProgress() {
        const uint64_t pages = job_->pages.load();
        if (settings_.progress && pages != reportedPages_) {
            reportedPages_ = pages;
            settings_.progress(pages);
        }
    }

    const std::vector<platformpipeline::Filter>& chain_;
    const std::vector<std::shared_ptr<void>> modules_;
    const JobSettings& settings_;
    // Released in reverse order: the filters before the links they hold, the links before the
    // handles the property bag names.
    OwnedHandle<ClosePrinter> printer_;
    OwnedHandle<CloseHandle> token_;
    platformprinters::Printer description_;
    std::shared_ptr<const std::string> ticket_;
    std::shared_ptr<JobState> job_;
    SpoolFolder spool_;
    ATL::CComPtr<IPrintPipelinePropertyBag> bag_;
    std::vector<std::shared_ptr<Link>> links_;
    std::shared_ptr<Output> output_;
    std::vector<ATL::CComPtr<IPrintPipelineFilter>> filters_;
    std::vector<std::thread> threads_;
    std::vector<std::thread> stoppers_;          // per filter: its ShutdownOperation's, once told
    std::optional<Clock::time_point> graceEnds_; // set once the job is being shut down
    std::vector<std::string> abandoned_;         // filters left running after the shutdown's grace
    uint64_t reportedPages_ = 0;
};

} // namespace

} // namespace platform::pipeline

namespace platformpipeline {

JobResult RunJob(const Pipeline& pipeline, const JobSettings& settings) {
    try {
        platform::pipeline::Host host(pipeline, settings);
        return host.Run();
    } catch (const platform::pipeline::SetupError& error) {
        return error.result;
    } catch (const std::bad_alloc&) {
        return platform::pipeline::Failure(FailedAt::Setup, E_OUTOFMEMORY, "out of memory");
    }
}

HRESULT CreatePropertyBag(IPrintPipelinePropertyBag** bag) {
    if (!bag) {
        return E_POINTER;
    }
    *bag = nullptr;
    return platform::com::Guarded([&] {
        *bag = platform::pipeline::MakePropertyBag().Detach();
        return S_OK;
    });
}

} // namespace platformpipeline
