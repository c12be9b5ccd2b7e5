// The pipeline host over real jobs with filters written in the test: chains of every kind of
// neighbour carry a job through whole; a filter that fails, asks for shutdown, never reads or
// forgets to finish ends the job for all, with the first failure named, every thread joined
// and no output file; a slow filter between fast ones holds the fast ones back.
#include "allocationsweep.h"
#include "pipelinetest.h"

#include <handleapi.h>
#include <platformprinters.h>
#include <platformsecurity.h>
#include <processthreadsapi.h>
#include <winbase.h>
#include <winspool.h>

#include <fstream>
#include <pwd.h>
#include <unistd.h>

namespace {

using pipelinetest::InProcess;
using platformpipeline::FailedAt;
using testfilters::Script;
using Act = testfilters::Script::Act;

Script Pass(bool bytes = false) {
    Script script;
    script.bytes = bytes;
    return script;
}

Script Acting(Act act, int page = 0, bool bytes = false) {
    Script script;
    script.act = act;
    script.page = page;
    script.bytes = bytes;
    return script;
}

// A chain written as letters: p passes parts, b passes bytes.
struct ChainCase {
    const char* chain;
    const char* makeXps;
};

void PrintTo(const ChainCase& test, std::ostream* out) {
    *out << '"' << test.chain << "\" " << test.makeXps;
}

class Chains : public ::testing::TestWithParam<ChainCase> {};

// Queue depths for the chains: the tightest queue, so that every wait is met; one whose
// neighbours wake each other for every second part; one deeper than any job here, so that a
// reader is woken by the writer's end rather than by a batch that never fills.
constexpr size_t kQueueDepths[] = {1, 4, 16};

TEST_P(Chains, CarryTheWholeJob) {
    for (const size_t depth : kQueueDepths) {
        SCOPED_TRACE("queue depth " + std::to_string(depth));
        pipelinetest::Job job(5, GetParam().makeXps);
        platformpipeline::Pipeline pipeline;
        for (const char* kind = GetParam().chain; *kind; ++kind) {
            pipeline.filters.push_back(
                InProcess(std::string(1, *kind) + std::to_string(kind - GetParam().chain),
                          Pass(*kind == 'b')));
        }
        job.settings.queueDepth = depth;
        const platformpipeline::JobResult result = job.Run(pipeline);
        ASSERT_TRUE(result.Succeeded()) << result.filter << ": " << result.message;
        EXPECT_EQ(5u, result.pages);
        EXPECT_EQ(pipelinetest::PageUris(job.Input()), pipelinetest::PageUris(job.Output()));
    }
}

INSTANTIATE_TEST_SUITE_P(Host, Chains,
                         ::testing::Values(ChainCase{"", ""},           // the host copies
                                           ChainCase{"p", "--openxps"}, // package in, package out
                                           ChainCase{"ppp", "--pieces 2"}, // part queues
                                           ChainCase{"b", ""},  // file bytes in, spooled bytes out
                                           ChainCase{"bb", ""}, // a byte pipe
                                           ChainCase{"pbbp",
                                                     ""}, // parts to bytes and back through spools
                                           ChainCase{"bp", "--openxps"}));

// A failure and what the job must report: where, who, which HRESULT, and the words.
struct FailureCase {
    const char* name;
    std::vector<Script> scripts; // filters a, b, c, ...; what they record is made anew per run
    FailedAt at;
    const char* filter;
    HRESULT hr;
    const char* words;
    bool started; // the filters ran, so each must have been told to shut down
};

void PrintTo(const FailureCase& test, std::ostream* out) {
    *out << test.name;
}

constexpr HRESULT kCancelled = HRESULT_FROM_WIN32(ERROR_CANCELLED);

class Failures : public ::testing::TestWithParam<FailureCase> {};

// The first failure is the one that happens first. A filter that breaks a rule by returning
// (unread input, an output left open, no FilterFinished) fails as it returns, and its
// neighbours learn of its return only from the job's shutdown: none of them is ever woken by
// the broken pipe or the unfinished input it leaves, which would make its own failure a race
// with the filter's.
TEST_P(Failures, EndTheJobForAllAndNameTheFirst) {
    const FailureCase& test = GetParam();
    for (const size_t depth : kQueueDepths) {
        SCOPED_TRACE("queue depth " + std::to_string(depth));
        std::vector<Script> scripts = test.scripts;
        for (Script& script : scripts) {
            script.record = std::make_shared<testfilters::Record>();
        }
        for (size_t i = 0; i < scripts.size(); ++i) {
            scripts[i].upstream = i > 0 ? scripts[i - 1].record : nullptr;
            scripts[i].downstream = i + 1 < scripts.size() ? scripts[i + 1].record : nullptr;
        }
        pipelinetest::Job job(6);
        job.settings.queueDepth = depth;
        platformpipeline::Pipeline pipeline;
        for (size_t i = 0; i < scripts.size(); ++i) {
            pipeline.filters.push_back(
                InProcess(std::string(1, static_cast<char>('a' + i)), scripts[i]));
        }
        const platformpipeline::JobResult result = job.Run(pipeline);
        EXPECT_EQ(test.at, result.failedAt);
        EXPECT_EQ(test.filter, result.filter);
        EXPECT_EQ(test.hr, result.hr) << std::hex << result.hr;
        EXPECT_NE(std::string::npos, result.message.find(test.words)) << result.message;
        for (size_t i = 0; i < scripts.size(); ++i) {
            SCOPED_TRACE("filter " + std::string(1, static_cast<char>('a' + i)));
            EXPECT_EQ(test.started ? 1 : 0, scripts[i].record->shutdowns.load());
            const HRESULT stoppedBy = scripts[i].record->linkFailure.load();
            EXPECT_TRUE(stoppedBy == S_OK || stoppedBy == kCancelled) << std::hex << stoppedBy;
        }
    }
}

Script NeverReading() {
    Script script = Acting(Act::NeverRead);
    // In the one-part queue the filter before has filled it and waits for room: the return
    // ends its wait. A deeper queue takes all the filter before sends.
    script.upstreamSends = 2;
    return script;
}

constexpr HRESULT kFilterError = static_cast<HRESULT>(0x8004D00Au);
constexpr HRESULT kBrokenPipe = HRESULT_FROM_WIN32(ERROR_BROKEN_PIPE);

INSTANTIATE_TEST_SUITE_P(
    Host, Failures,
    ::testing::Values(FailureCase{"FailsAtPageTwo",
                                  {Pass(), Acting(Act::FailAtPage, 2), Pass()},
                                  FailedAt::Filter,
                                  "b",
                                  kFilterError,
                                  "StartOperation failed",
                                  true},
                      FailureCase{"FirstFailsWhileTheOthersWait",
                                  {Acting(Act::FailAtPage, 1), Pass(), Pass()},
                                  FailedAt::Filter,
                                  "a",
                                  kFilterError,
                                  "StartOperation failed",
                                  true},
                      FailureCase{"AsksForShutdown",
                                  {Pass(), Pass(), Acting(Act::ShutdownAtPage, 1)},
                                  FailedAt::Filter,
                                  "c",
                                  kFilterError,
                                  "asked to shut the job down",
                                  true},
                      FailureCase{"NeverReadsItsInput",
                                  {Pass(), NeverReading(), Pass()},
                                  FailedAt::Filter,
                                  "b",
                                  kBrokenPipe,
                                  "before reading all of its input",
                                  true},
                      FailureCase{"NeverReadsItsInputAsLast",
                                  {Pass(), NeverReading()},
                                  FailedAt::Filter,
                                  "b",
                                  kBrokenPipe,
                                  "before reading all of its input",
                                  true},
                      FailureCase{"BytesFilterNeverReadsItsSpooledInput",
                                  {Pass(), Acting(Act::NeverRead, 0, true), Pass()},
                                  FailedAt::Filter,
                                  "b",
                                  kBrokenPipe,
                                  "before reading all of its input",
                                  true},
                      FailureCase{"LeavesItsOutputOpen",
                                  {Pass(), Acting(Act::NoClose), Pass()},
                                  FailedAt::Filter,
                                  "b",
                                  E_UNEXPECTED,
                                  "without closing its output",
                                  true},
                      FailureCase{"ForgetsFilterFinished",
                                  {Pass(), Acting(Act::NoFinish)},
                                  FailedAt::Filter,
                                  "b",
                                  E_UNEXPECTED,
                                  "FilterFinished",
                                  true},
                      FailureCase{"BytesFilterFailsBetweenPartFilters",
                                  {Pass(), Acting(Act::FailAtPage, 1, true), Pass()},
                                  FailedAt::Filter,
                                  "b",
                                  kFilterError,
                                  "StartOperation failed",
                                  true},
                      FailureCase{"WritesBytesThatAreNoPackage",
                                  {Acting(Act::Garbage, 0, true)},
                                  FailedAt::Filter,
                                  "a",
                                  HRESULT_FROM_WIN32(ERROR_INVALID_DATA),
                                  "not an XPS package",
                                  false},
                      FailureCase{"ThrowsFromStartOperation",
                                  {Pass(), Acting(Act::Throws), Pass()},
                                  FailedAt::Filter,
                                  "b",
                                  E_UNEXPECTED,
                                  "StartOperation failed",
                                  true},
                      FailureCase{"CannotBeMade",
                                  {Pass(), Acting(Act::CannotBeMade)},
                                  FailedAt::Filter,
                                  "b",
                                  kFilterError,
                                  "cannot be made",
                                  false},
                      FailureCase{"FailsToInitialize",
                                  {Acting(Act::FailInitialize), Pass()},
                                  FailedAt::Filter,
                                  "a",
                                  kFilterError,
                                  "InitializeFilter failed",
                                  false}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

TEST(Host, SlowFilterBetweenFastOnesHoldsThemBack) {
    pipelinetest::Job job(24);
    job.settings.queueDepth = 2;
    Script fast = Pass();
    Script slow = Pass();
    slow.delay = std::chrono::milliseconds(10);
    slow.upstream = fast.record;
    platformpipeline::Pipeline pipeline;
    pipeline.filters = {InProcess("fast", fast), InProcess("slow", slow),
                        InProcess("last", Pass())};
    std::vector<uint64_t> progress;
    job.settings.progress = [&](uint64_t pages) { progress.push_back(pages); };
    const platformpipeline::JobResult result = job.Run(pipeline);
    ASSERT_TRUE(result.Succeeded()) << result.filter << ": " << result.message;
    EXPECT_EQ(24, slow.record->pages.load());
    // The fast filter is never more than the queue, the part in its hand and the one being
    // put ahead of the slow one: memory does not grow with the job.
    EXPECT_LE(slow.record->mostAhead.load(), 4);
    EXPECT_GT(slow.record->mostAhead.load(), 0);
    ASSERT_FALSE(progress.empty());
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    EXPECT_EQ(24u, progress.back());
}

// A filter blocked in its own code, deaf to ShutdownOperation or stuck inside it, does not
// hold the job: once the grace period has passed, the job ends with the first failure, names
// the filter it left behind and leaves no output, and every other filter was told to stop
// and has returned. The threads left behind run on with what they hold (the filter and the
// modules its code comes from), and end on their own when the filter wakes.
TEST(Host, AFilterThatDoesNotStopIsLeftBehindAfterTheGracePeriod) {
    for (const Act act : {Act::IgnoresShutdown, Act::StuckInShutdown}) {
        SCOPED_TRACE(act == Act::IgnoresShutdown ? "deaf to the shutdown" : "stuck in it");
        pipelinetest::Job job(4);
        job.settings.shutdownGrace = std::chrono::milliseconds(1000);
        const Script failing = Acting(Act::FailAtPage, 1);
        const Script stuck = Acting(act);
        const Script last = Pass();
        platformpipeline::Pipeline pipeline;
        // The filter left behind comes before one that must still be told to stop.
        pipeline.filters = {InProcess("failing", failing), InProcess("stuck", stuck),
                            InProcess("last", last)};
        // Stands for the modules the filters' code comes from.
        std::weak_ptr<void> module;
        {
            auto loaded = std::make_shared<int>(0);
            module = loaded;
            pipeline.modules.push_back(std::move(loaded));
        }
        std::thread([] {}).join(); // the sanitizer's own thread, out of the count
        const size_t threads = pipelinetest::ThreadCount();
        const auto started = std::chrono::steady_clock::now();
        const platformpipeline::JobResult result = platformpipeline::RunJob(pipeline, job.settings);
        EXPECT_GE(std::chrono::steady_clock::now() - started, job.settings.shutdownGrace);
        EXPECT_EQ(FailedAt::Filter, result.failedAt);
        EXPECT_EQ("failing", result.filter);
        EXPECT_EQ(kFilterError, result.hr) << std::hex << result.hr;
        EXPECT_EQ(std::vector<std::string>{"stuck"}, result.abandoned);
        for (const Script* script : {&failing, &stuck, &last}) {
            EXPECT_EQ(1, script->record->shutdowns.load());
        }
        EXPECT_TRUE(last.destroyed->IsOpen()) << "a filter that stopped was kept";
        EXPECT_EQ(threads + 1, pipelinetest::ThreadCountSettled(threads + 1))
            << "only the stuck filter's thread may be left";
        EXPECT_FALSE(std::filesystem::exists(job.Output())) << "a failed job left output";
        pipeline = {};
        EXPECT_FALSE(module.expired()) << "the module was let go under a running filter";
        EXPECT_FALSE(stuck.destroyed->IsOpen()) << "the filter was released under its thread";

        stuck.release->Open();
        EXPECT_TRUE(stuck.destroyed->WaitOpen()) << "the filter left behind was never released";
        EXPECT_EQ(threads, pipelinetest::ThreadCountSettled(threads)) << "its thread never ended";
        EXPECT_TRUE(module.expired()) << "the thread never let the module go";
    }
}

TEST(Host, DamagedInputIsTheInputsFailureAndThePartsBeforeItFlow) {
    for (const bool withFilter : {false, true}) {
        SCOPED_TRACE(withFilter ? "through a filter" : "copied by the host");
        pipelinetest::Job job(4);
        // Page 3 goes missing from the package: the walk meets it after two pages.
        const std::string damage =
            "python3 -c \"import zipfile,sys; s=zipfile.ZipFile(sys.argv[1]); "
            "d=zipfile.ZipFile(sys.argv[2],'w'); "
            "[d.writestr(i, s.read(i.filename)) for i in s.infolist() if not "
            "i.filename.endswith('3.fpage')]; d.close()\" '" +
            job.Input().string() + "' '" + job.Input().string() + ".damaged'";
        ASSERT_EQ(0, std::system(damage.c_str()));
        std::filesystem::rename(job.Input().string() + ".damaged", job.Input());
        platformpipeline::Pipeline pipeline;
        Script pass = Pass();
        if (withFilter) {
            pipeline.filters.push_back(InProcess("a", pass));
        }
        const platformpipeline::JobResult result = job.Run(pipeline);
        EXPECT_EQ(FailedAt::Input, result.failedAt);
        EXPECT_EQ("", result.filter);
        EXPECT_NE(std::string::npos, result.message.find(job.Input().string())) << result.message;
        EXPECT_EQ(2u, result.pages);
        EXPECT_EQ(withFilter ? 2 : 0, pass.record->pages.load());
    }
}

TEST(Host, SetupFailuresRunNoFilter) {
    struct Case {
        const char* name;
        std::function<void(pipelinetest::Job&)> change;
        FailedAt at;
        const char* words;
    };
    const std::vector<Case> cases = {
        {"unknown printer", [](auto& job) { job.settings.printer = u"No Such Printer"; },
         FailedAt::Setup, "No Such Printer"},
        {"unknown user", [](auto& job) { job.settings.user = u"no-such-user-of-this-host"; },
         FailedAt::Setup, "no-such-user-of-this-host"},
        {"missing ticket", [](auto& job) { job.settings.ticket = "/no/such/ticket.xml"; },
         FailedAt::Setup, "/no/such/ticket.xml"},
        {"ticket is a folder", [](auto& job) { job.settings.ticket = "/"; }, FailedAt::Setup,
         "not a regular file"},
        {"ticket is not XML", [](auto& job) { job.settings.ticket = job.Input().string(); },
         FailedAt::Setup, "not well-formed XML"},
        {"ticket is not a ticket",
         [](auto& job) {
             job.settings.ticket = job.OwnFile("ticket.xml");
             std::ofstream(job.settings.ticket) << "<PrintTicket/>";
         },
         FailedAt::Setup, "root is not the Print Schema's PrintTicket"},
        {"missing input", [](auto& job) { job.settings.input += ".missing"; }, FailedAt::Input,
         ".missing"},
        {"input not a package", [](auto& job) { job.settings.input = "/etc/passwd"; },
         FailedAt::Input, "/etc/passwd"},
        {"output in a missing folder",
         [](auto& job) { job.settings.output = job.Input().string() + ".d/out.xps"; },
         FailedAt::Setup, ".d/out.xps"},
        {"output is a device", [](auto& job) { job.settings.output = "/dev/null"; },
         FailedAt::Setup, "/dev/null"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        pipelinetest::Job job(1);
        test.change(job);
        Script pass = Pass();
        platformpipeline::Pipeline pipeline;
        pipeline.filters.push_back(InProcess("a", pass));
        const platformpipeline::JobResult result = job.Run(pipeline);
        EXPECT_EQ(test.at, result.failedAt);
        EXPECT_TRUE(FAILED(result.hr));
        EXPECT_NE(std::string::npos, result.message.find(test.words)) << result.message;
        EXPECT_EQ(0, pass.record->pages.load());
    }
}

// What a filter finds in its property bag, read while it is initialised.
struct BagContents {
    std::u16string printerName;
    std::u16string printerOfHandle;
    ULONG jobId = 0;
    std::string ticket;
    std::u16string user; // GetUserNameW while impersonating the job's token
};

class BagReader final : public testfilters::Unknown<IPrintPipelineFilter> {
public:
    explicit BagReader(BagContents& seen) : seen_(seen), inner_(new testfilters::Filter(Pass())) {}
    ~BagReader() override { inner_->Release(); }

    HRESULT STDMETHODCALLTYPE InitializeFilter(IInterFilterCommunicator* communicator,
                                               IPrintPipelinePropertyBag* bag,
                                               IPrintPipelineManagerControl* control) override {
        VARIANT value;
        VariantInit(&value);
        if (SUCCEEDED(bag->GetProperty(u"PrinterName", &value)) && value.vt == VT_BSTR) {
            seen_.printerName = value.bstrVal;
        }
        VariantClear(&value);
        if (SUCCEEDED(bag->GetProperty(u"PrinterHandle", &value)) && value.vt == VT_BYREF) {
            if (auto printer = platformprinters::PrinterOfHandle(value.byref)) {
                seen_.printerOfHandle = printer->name;
            }
        }
        if (SUCCEEDED(bag->GetProperty(u"PrintJobId", &value)) && value.vt == VT_UI4) {
            seen_.jobId = value.ulVal;
        }
        ATL::CComPtr<IPrintReadStreamFactory> factory;
        ATL::CComPtr<IPrintReadStream> stream;
        if (SUCCEEDED(bag->GetProperty(u"PerUserPrintTicket", &value)) && value.vt == VT_UNKNOWN &&
            SUCCEEDED(value.punkVal->QueryInterface(&factory)) &&
            SUCCEEDED(factory->GetStream(&stream))) {
            char buffer[4096];
            ULONG read = 0;
            BOOL ended = FALSE;
            while (!ended && SUCCEEDED(stream->ReadBytes(buffer, sizeof buffer, &read, &ended))) {
                seen_.ticket.append(buffer, read);
            }
        }
        VariantClear(&value);
        if (SUCCEEDED(bag->GetProperty(u"UserSecurityToken", &value)) && value.vt == VT_BYREF &&
            SetThreadToken(nullptr, value.byref)) {
            WCHAR name[256];
            DWORD size = 256;
            if (GetUserNameW(name, &size)) {
                seen_.user.assign(name, size - 1);
            }
            SetThreadToken(nullptr, nullptr);
        }
        return inner_->InitializeFilter(communicator, bag, control);
    }
    HRESULT STDMETHODCALLTYPE ShutdownOperation() override { return inner_->ShutdownOperation(); }
    HRESULT STDMETHODCALLTYPE StartOperation() override { return inner_->StartOperation(); }

private:
    BagContents& seen_;
    IPrintPipelineFilter* inner_;
};

class BagReaderFactory final : public testfilters::Unknown<IClassFactory> {
public:
    explicit BagReaderFactory(BagContents& seen) : seen_(seen) {}
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID riid, void** object) override {
        auto* filter = new BagReader(seen_);
        const HRESULT hr = filter->QueryInterface(riid, object);
        filter->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

private:
    BagContents& seen_;
};

std::u16string Wide(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

TEST(Host, PropertyBagNamesThePrinterJobTicketAndUser) {
    const passwd* me = getpwuid(getuid());
    ASSERT_NE(nullptr, me);
    struct Case {
        const char* name;
        bool ownTicket;
        bool namedUser;
    };
    for (const Case& test : {Case{"defaults", false, false}, Case{"ticket and user", true, true}}) {
        SCOPED_TRACE(test.name);
        pipelinetest::Job job(1);
        const std::string ticket = "<psf:PrintTicket version=\"1\" xmlns:psf=\"http://"
                                   "schemas.microsoft.com/windows/2003/08/printing/"
                                   "printschemaframework\"/>";
        if (test.ownTicket) {
            job.settings.ticket = job.OwnFile("user.ticket");
            std::ofstream(job.settings.ticket) << ticket;
        }
        if (test.namedUser) {
            job.settings.user = Wide(me->pw_name);
        }
        job.settings.jobId = 4711;
        BagContents seen;
        platformpipeline::Pipeline pipeline;
        platformpipeline::Filter filter;
        filter.name = "bag";
        filter.factory.Attach(new BagReaderFactory(seen));
        pipeline.filters.push_back(filter);
        const size_t tokens = platformtest::OpenTokenCount();
        const platformpipeline::JobResult result = platformpipeline::RunJob(pipeline, job.settings);
        ASSERT_TRUE(result.Succeeded()) << result.message;
        EXPECT_EQ(platformprinters::kBuiltinPrinterName, seen.printerName);
        EXPECT_EQ(platformprinters::kBuiltinPrinterName, seen.printerOfHandle);
        EXPECT_EQ(4711u, seen.jobId);
        const auto printer = platformprinters::FindPrinter(platformprinters::kBuiltinPrinterName);
        EXPECT_EQ(test.ownTicket ? ticket : printer->defaultTicket, seen.ticket);
        EXPECT_EQ(Wide(me->pw_name), seen.user);
        EXPECT_EQ(tokens, platformtest::OpenTokenCount()) << "the job's token is left open";
    }
}

TEST(Host, PropertyBagKeepsCopiesAndAnswersMissingNames) {
    ATL::CComPtr<IPrintPipelinePropertyBag> bag;
    ASSERT_EQ(S_OK, platformpipeline::CreatePropertyBag(&bag));
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_BSTR;
    value.bstrVal = SysAllocString(u"first");
    ASSERT_EQ(S_OK, bag->AddProperty(u"Name", &value));
    VariantClear(&value); // the bag holds its own copy
    value.vt = VT_UI4;
    value.ulVal = 7;
    ASSERT_EQ(S_OK, bag->AddProperty(u"Name", &value)); // replaces
    VARIANT read;
    VariantInit(&read);
    ASSERT_EQ(S_OK, bag->GetProperty(u"Name", &read));
    EXPECT_EQ(VT_UI4, read.vt);
    EXPECT_EQ(7u, read.ulVal);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NOT_FOUND), bag->GetProperty(u"Other", &read));
    EXPECT_EQ(VT_EMPTY, read.vt);
    EXPECT_TRUE(bag->DeleteProperty(u"Name"));
    EXPECT_FALSE(bag->DeleteProperty(u"Name"));
    EXPECT_EQ(E_POINTER, bag->GetProperty(nullptr, &read));
}

} // namespace

namespace {

// A job whose every platform allocation on the calling thread fails in turn: the host's own
// setup, the copy it makes without filters, the filter it makes and starts, the commit of the
// output. Each run ends in success or E_OUTOFMEMORY, with the output whole or absent.
TEST(Host, RunningOutOfMemoryAnywhereLeavesNoOutput) {
    ScratchFolder source("pipelinesweep");
    pipelinetest::MakeJob(source / "in.xps", "--pages 1 --lines 1 --page-tickets none");
    for (const bool withFilter : {false, true}) {
        SCOPED_TRACE(withFilter ? "one filter" : "copied by the host");
        struct Fixture {
            std::unique_ptr<ScratchFolder> folder;
        };
        allocationsweep::Sweep<Fixture> sweep;
        sweep.make = [&] {
            Fixture fixture{std::make_unique<ScratchFolder>("pipelinesweepjob")};
            std::filesystem::copy_file(source / "in.xps", *fixture.folder / "in.xps");
            return fixture;
        };
        sweep.operation = [&](Fixture& fixture) {
            platformpipeline::JobSettings settings;
            settings.input = (*fixture.folder / "in.xps").string();
            settings.output = (*fixture.folder / "out.xps").string();
            platformpipeline::Pipeline pipeline;
            if (withFilter) {
                pipeline.filters.push_back(InProcess("a", Pass()));
            }
            return platformpipeline::RunJob(pipeline, settings).hr;
        };
        sweep.state = [](Fixture& fixture) {
            std::string pages;
            if (std::filesystem::exists(*fixture.folder / "out.xps")) {
                for (const std::string& page :
                     pipelinetest::PageUris(*fixture.folder / "out.xps")) {
                    pages += page + " ";
                }
            }
            return std::vector<std::string>{
                ::testing::PrintToString(pipelinetest::Names(fixture.folder->Path())), pages};
        };
        EXPECT_LT(0u, allocationsweep::Run(sweep));
    }
}

} // namespace
