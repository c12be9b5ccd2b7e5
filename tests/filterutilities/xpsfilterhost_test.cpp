// Filters on the XPS filter base run by the pipeline host over real jobs, each on its own
// thread: a hook that fails or throws ends the job with one shutdown request and no output,
// and the first failure in time is the one the job reports; a shutdown that comes from another
// thread stops a walk after the part in hand; the manager control hears FilterFinished exactly
// once from every filter made, started or not; every PrintTicket provider call runs as the
// job's user and leaves the thread as it found it, and no provider is left open.
#include "platform/pipeline/pipelinetest.h"

#include <filterutilities/cunknown.h>
#include <filterutilities/errorconvention.h>
#include <filterutilities/xpsfilterbase.h>

#include <atlbase.h>
#include <platformsecurity.h>
#include <platformtest.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <pwd.h>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr HRESULT kDiskFull = HRESULT_FROM_WIN32(ERROR_DISK_FULL);
constexpr auto kPatience = std::chrono::seconds(20);

// What one filter went through, read by the test once the job is over (and by a neighbour
// while it runs).
class Record {
public:
    void Hook(const std::string& what, bool impersonating) {
        std::lock_guard guard(m_lock);
        m_hooks.push_back(what);
        m_impersonationLeft = m_impersonationLeft || impersonating;
    }
    void Started(HRESULT hr, bool impersonating) {
        std::lock_guard guard(m_lock);
        m_started = hr;
        m_impersonationLeft = m_impersonationLeft || impersonating;
    }
    void ShutdownRequested(HRESULT reason) {
        std::lock_guard guard(m_lock);
        m_requests.push_back(reason);
    }
    void Finished() {
        std::lock_guard guard(m_lock);
        ++m_finished;
    }

    std::vector<std::string> Hooks() const {
        std::lock_guard guard(m_lock);
        return m_hooks;
    }
    std::optional<HRESULT> StartResult() const {
        std::lock_guard guard(m_lock);
        return m_started;
    }
    std::vector<HRESULT> Requests() const {
        std::lock_guard guard(m_lock);
        return m_requests;
    }
    int FinishedCount() const {
        std::lock_guard guard(m_lock);
        return m_finished;
    }
    bool ImpersonationLeft() const {
        std::lock_guard guard(m_lock);
        return m_impersonationLeft;
    }

private:
    mutable std::mutex m_lock;
    std::vector<std::string> m_hooks;
    std::optional<HRESULT> m_started;
    std::vector<HRESULT> m_requests;
    int m_finished = 0;
    bool m_impersonationLeft = false;
};

// Waits, a bounded time, for condition; false when it never came.
template <class Condition>
bool WaitFor(Condition condition) {
    const auto giveUp = std::chrono::steady_clock::now() + kPatience;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > giveUp) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// The host's manager control as the filter sees it: every call recorded, then passed on.
class ControlTap : public CUnknown<IPrintPipelineManagerControl> {
public:
    ControlTap(IPrintPipelineManagerControl* host, std::shared_ptr<Record> record)
        : CUnknown(IID_IPrintPipelineManagerControl), m_host(host), m_record(std::move(record)) {}

    HRESULT STDMETHODCALLTYPE RequestShutdown(HRESULT reason, IImgErrorInfo* info) override {
        // The host hears it first, so that a neighbour that sees the request recorded knows
        // the host has the failure.
        const HRESULT hr = m_host->RequestShutdown(reason, info);
        m_record->ShutdownRequested(reason);
        return hr;
    }
    HRESULT STDMETHODCALLTYPE FilterFinished() override {
        m_record->Finished();
        return m_host->FilterFinished();
    }

private:
    CComPtr<IPrintPipelineManagerControl> m_host;
    std::shared_ptr<Record> m_record;
};

struct NotAnException {};

enum class Act {
    None,
    Returns,          // the hook answers hr
    ThrowsKeldan,     // KeldanComException carrying hr
    ThrowsStandard,   // std::runtime_error
    ThrowsBadAlloc,   // std::bad_alloc
    ThrowsAtl,        // ATL::CAtlException, the failed BSTR copy's
    ThrowsPlain,      // a type of no exception hierarchy
    RequestsShutdown, // RequestShutdown(hr), then the part goes on as usual
    WaitsForShutdown, // waits until the pipeline tells the filter to stop, then goes on
    FailsInitialize,  // InitializeFilter keeps the pipeline objects but answers hr
    CannotBeMade,     // the class factory answers hr
};

struct Script {
    Act act = Act::None;
    std::string at; // the hook that acts: "xps", "seq", "doc N", "page N", "finalize"
    HRESULT hr = kDiskFull;
    std::function<bool()> when; // acts only once this holds (a neighbour's progress)
    bool resolvePages = false;  // each page's ticket merged and its view filled, as report
    std::shared_ptr<Record> record = std::make_shared<Record>();
};

// A filter of the default hooks (merging on, as the built-in filters) that records every hook
// and does what its script says at one of them.
class ScriptedFilter final : public XpsFilterBase {
public:
    explicit ScriptedFilter(Script script) : m_script(std::move(script)) {
        m_printTicketManager.m_mergeEnabled = true;
    }

    STDMETHODIMP InitializeFilter(IInterFilterCommunicator* communicator,
                                  IPrintPipelinePropertyBag* bag,
                                  IPrintPipelineManagerControl* control) override {
        CComPtr<IPrintPipelineManagerControl> tap;
        if (control) {
            tap.Attach(new ControlTap(control, m_script.record));
        }
        const HRESULT hr = XpsFilterBase::InitializeFilter(communicator, bag, tap);
        return SUCCEEDED(hr) && m_script.act == Act::FailsInitialize ? m_script.hr : hr;
    }

protected:
    STDMETHODIMP StartOperation() override {
        const HRESULT hr = XpsFilterBase::StartOperation();
        m_script.record->Started(hr, platformtest::CurrentThreadToken() != nullptr);
        return hr;
    }

    HRESULT OnXpsDocument(IXpsDocument* document) override {
        return Hook(document ? "xps" : "xps (null)",
                    [&] { return XpsFilterBase::OnXpsDocument(document); });
    }
    HRESULT OnFixedDocumentSequence(IFixedDocumentSequence* sequence) override {
        return Hook("seq", [&] { return XpsFilterBase::OnFixedDocumentSequence(sequence); });
    }
    HRESULT OnFixedDocument(IFixedDocument* document) override {
        return Hook("doc " + std::to_string(m_documentCount),
                    [&] { return XpsFilterBase::OnFixedDocument(document); });
    }
    HRESULT OnFixedPage(IFixedPage* page) override {
        return Hook("page " + std::to_string(m_pageCount), [&] {
            if (m_script.resolvePages) {
                HRESULT hr = m_printTicketManager.InitializeWithPrintTicket(page);
                XpsFilterPrintTicket* view = nullptr;
                if (SUCCEEDED(hr)) {
                    hr = m_printTicketManager.GetTicket(kPTPageScope, &view);
                }
                if (FAILED(hr)) {
                    return hr;
                }
            }
            return XpsFilterBase::OnFixedPage(page);
        });
    }
    HRESULT OnFinalize() override {
        return Hook("finalize", [&] { return XpsFilterBase::OnFinalize(); });
    }

private:
    template <class Base>
    HRESULT Hook(const std::string& what, Base base) {
        // Every provider call before this one has reverted its impersonation.
        m_script.record->Hook(what, platformtest::CurrentThreadToken() != nullptr);
        if (what != m_script.at) {
            return base();
        }
        if (m_script.when) {
            EXPECT_TRUE(WaitFor(m_script.when)) << "the neighbour never came so far";
        }
        switch (m_script.act) {
        case Act::Returns:
            return m_script.hr;
        case Act::ThrowsKeldan:
            FU_THROW_HR(m_script.hr);
        case Act::ThrowsStandard:
            throw std::runtime_error("a filter's own failure");
        case Act::ThrowsBadAlloc:
            throw std::bad_alloc();
        case Act::ThrowsAtl:
            throw ATL::CAtlException(E_OUTOFMEMORY);
        case Act::ThrowsPlain:
            throw NotAnException();
        case Act::RequestsShutdown:
            RequestShutdown(m_script.hr);
            break;
        case Act::WaitsForShutdown:
            EXPECT_TRUE(WaitFor([&] { return IsFilterFinished(); })) << "never told to stop";
            break;
        default:
            break;
        }
        return base();
    }

    Script m_script;
};

class ScriptedFactory : public CUnknown<IClassFactory> {
public:
    explicit ScriptedFactory(Script script)
        : CUnknown(IID_IClassFactory), m_script(std::move(script)) {}

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
        *object = nullptr;
        if (outer) {
            return CLASS_E_NOAGGREGATION;
        }
        if (m_script.act == Act::CannotBeMade) {
            return m_script.hr;
        }
        ScriptedFilter* filter = new ScriptedFilter(m_script);
        const HRESULT hr = filter->QueryInterface(riid, object);
        filter->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

private:
    Script m_script;
};

// Filters a, b, c, ... of the scripts, in that order.
platformpipeline::Pipeline PipelineOf(const std::vector<Script>& scripts) {
    platformpipeline::Pipeline pipeline;
    for (size_t i = 0; i < scripts.size(); ++i) {
        platformpipeline::Filter filter;
        filter.name = std::string(1, static_cast<char>('a' + i));
        filter.factory.Attach(new ScriptedFactory(scripts[i]));
        pipeline.filters.push_back(filter);
    }
    return pipeline;
}

Script Acting(Act act, const std::string& at, HRESULT hr = kDiskFull) {
    Script script;
    script.act = act;
    script.at = at;
    script.hr = hr;
    return script;
}

// A neighbour's progress, for a script's when: it asked for a shutdown, or reached a hook.
std::function<bool()> Asked(const Script& neighbour) {
    return [record = neighbour.record] { return !record->Requests().empty(); };
}
std::function<bool()> Reached(const Script& neighbour, const std::string& hook) {
    return [record = neighbour.record, hook] {
        const std::vector<std::string> hooks = record->Hooks();
        return std::find(hooks.begin(), hooks.end(), hook) != hooks.end();
    };
}

// What one filter must have gone through.
struct Outcome {
    // The hook after which its walk ended (only "finalize" may follow); empty: any.
    std::string stopsAt;
    std::vector<HRESULT> requests;  // its shutdown requests
    std::optional<HRESULT> started; // StartOperation's answer; null: never started
    // It failed after the other filter, while the host shut the job down: either it was told
    // to stop first (S_OK, no request) or it asked for the shutdown with its own failure.
    bool lateFailure = false;
};

struct FailureCase {
    const char* what;
    std::vector<Script> scripts;
    const char* filter; // the one the job names
    HRESULT hr;
    std::vector<Outcome> outcomes; // one per filter the host made
};

TEST(XpsFilterHost, FailuresEndTheJobOnceWithTheFirstNamedAndNoOutput) {
    const std::vector<HRESULT> none;
    const std::vector<HRESULT> diskFull{kDiskFull};
    // A script that depends on a neighbour waits for it, so that every case runs the same way
    // each time: a filter fails only once its neighbour holds the page it is to stop at.
    const auto after = [](Script script, std::function<bool()> when) {
        script.when = std::move(when);
        return script;
    };
    // Two failures, the first in time in a (the earlier filter) or in b (the later).
    Script aFirst = Acting(Act::Returns, "page 2");
    Script bSecond = Acting(Act::Returns, "page 1", E_ACCESSDENIED);
    aFirst.when = Reached(bSecond, "page 1");
    bSecond.when = Asked(aFirst);
    Script aSecond = Acting(Act::Returns, "page 2", E_ACCESSDENIED);
    Script bFirst = Acting(Act::Returns, "page 1");
    aSecond.when = Asked(bFirst);
    bFirst.when = Reached(aSecond, "page 2");
    // A walk stopped by its neighbour's failure, and every walk by the host's shutdown.
    const Script bWaits = Acting(Act::WaitsForShutdown, "page 1");
    const Script aWaits = Acting(Act::WaitsForShutdown, "page 2");

    const FailureCase cases[] = {
        {"a page hook answers a failure",
         {Acting(Act::Returns, "page 3"), Script()},
         "a",
         kDiskFull,
         {{"page 3", diskFull, kDiskFull}, {"", none, S_OK}}},
        {"a held document's hook throws KeldanComException",
         {Script(), Acting(Act::ThrowsKeldan, "doc 1", E_ACCESSDENIED)},
         "b",
         E_FAIL,
         {{"", none, S_OK}, {"doc 1", {E_FAIL}, E_FAIL}}},
        {"the sequence's hook throws a standard exception",
         {Acting(Act::ThrowsStandard, "seq"), Script()},
         "a",
         E_FAIL,
         {{"seq", {E_FAIL}, E_FAIL}, {"", none, S_OK}}},
        {"a page hook runs out of memory",
         {Script(), Acting(Act::ThrowsBadAlloc, "page 2")},
         "b",
         E_FAIL,
         {{"", none, S_OK}, {"page 2", {E_FAIL}, E_FAIL}}},
        {"the XPS document's hook throws the failed BSTR copy's exception",
         {Acting(Act::ThrowsAtl, "xps"), Script()},
         "a",
         E_FAIL,
         {{"xps", {E_FAIL}, E_FAIL}, {"", none, S_OK}}},
        {"the final hook throws what is no exception class, after the whole job was sent",
         {Script(), Acting(Act::ThrowsPlain, "finalize")},
         "b",
         E_FAIL,
         {{"finalize", none, S_OK}, {"finalize", {E_FAIL}, E_FAIL}}},
        {"two fail, the later filter first: its failure is the job's",
         {aSecond, bFirst},
         "b",
         kDiskFull,
         {{"page 2", none, std::nullopt, true}, {"page 1", diskFull, kDiskFull}}},
        {"two fail, the earlier filter first: its failure is the job's",
         {aFirst, bSecond},
         "a",
         kDiskFull,
         {{"page 2", diskFull, kDiskFull}, {"page 1", none, std::nullopt, true}}},
        {"a neighbour's failure stops a walk after the page in hand",
         {after(Acting(Act::Returns, "page 3"), Reached(bWaits, "page 1")), bWaits},
         "a",
         kDiskFull,
         {{"page 3", diskFull, kDiskFull}, {"page 1", none, S_OK}}},
        {"the host's shutdown stops every walk after the page in hand",
         {aWaits,
          after(Acting(Act::RequestsShutdown, "page 1", E_ABORT), Reached(aWaits, "page 2"))},
         "b",
         E_ABORT,
         {{"page 2", none, S_OK}, {"page 1", {E_ABORT}, S_OK}}},
        {"a filter that cannot be made: the two made are destroyed unstarted",
         {Script(), Script(), Acting(Act::CannotBeMade, "")},
         "c",
         kDiskFull,
         {{"", none, std::nullopt}, {"", none, std::nullopt}}},
        {"a filter that fails InitializeFilter is destroyed unstarted",
         {Script(), Acting(Act::FailsInitialize, "")},
         "b",
         kDiskFull,
         {{"", none, std::nullopt}, {"", none, std::nullopt}}},
    };
    for (const FailureCase& test : cases) {
        SCOPED_TRACE(test.what);
        pipelinetest::Job job(6);
        job.settings.queueDepth = 1; // no filter runs far ahead of its neighbour
        const platformpipeline::JobResult result = job.Run(PipelineOf(test.scripts));
        EXPECT_EQ(platformpipeline::FailedAt::Filter, result.failedAt);
        EXPECT_EQ(test.filter, result.filter) << result.message;
        EXPECT_EQ(test.hr, result.hr) << std::hex << result.hr;
        for (size_t i = 0; i < test.outcomes.size(); ++i) {
            const Outcome& expected = test.outcomes[i];
            const Record& record = *test.scripts[i].record;
            SCOPED_TRACE("filter " + std::string(1, static_cast<char>('a' + i)));
            EXPECT_EQ(1, record.FinishedCount()) << "FilterFinished heard otherwise than once";
            const std::vector<HRESULT> requests = record.Requests();
            if (expected.lateFailure) {
                const HRESULT own = test.scripts[i].hr;
                EXPECT_TRUE(requests.empty() || requests == std::vector<HRESULT>{own});
                EXPECT_EQ(requests.empty() ? S_OK : own, record.StartResult());
            } else {
                EXPECT_EQ(expected.requests, requests);
                EXPECT_EQ(expected.started, record.StartResult());
            }
            if (!expected.stopsAt.empty()) {
                std::vector<std::string> hooks = record.Hooks();
                if (!hooks.empty() && hooks.back() == "finalize" &&
                    expected.stopsAt != "finalize") {
                    hooks.pop_back();
                }
                ASSERT_FALSE(hooks.empty());
                EXPECT_EQ(expected.stopsAt, hooks.back()) << "the walk went on";
            }
        }
    }
}

std::u16string Wide(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

TEST(XpsFilterHost, EveryProviderCallRunsAsTheJobsUserAndNoProviderIsLeftOpen) {
    const passwd* other = getpwnam("nobody");
    ASSERT_NE(nullptr, other) << "the system has no user nobody";
    pipelinetest::Job job(3, "--documents 2 --page-tickets every");
    job.settings.user = Wide(other->pw_name);
    Script report; // resolves every page's ticket, as report does
    report.resolvePages = true;
    const std::vector<Script> scripts{report, Script()};

    const size_t providers = platformtest::OpenPrintTicketProviderCount();
    const size_t tokens = platformtest::OpenTokenCount();
    platformtest::ImpersonationLog log;
    const platformpipeline::JobResult result = job.Run(PipelineOf(scripts));
    ASSERT_TRUE(result.Succeeded()) << result.filter << ": " << result.message;
    EXPECT_EQ(6u, result.pages);

    int opened = 0;
    int merged = 0;
    int closed = 0;
    for (const auto& entry : log.Entries()) {
        if (entry.call.rfind("PT", 0) == 0) {
            SCOPED_TRACE(entry.call);
            EXPECT_EQ(job.settings.user, entry.user) << "not impersonating the job's user";
        }
        opened += entry.call == "PTOpenProvider";
        merged += entry.call == "PTMergeAndValidatePrintTicket";
        closed += entry.call == "PTCloseProvider";
    }
    EXPECT_EQ(2, opened);
    // Both filters merge the job's and the two documents' tickets; the first merges each of
    // the six pages' as well.
    EXPECT_EQ(3 + 3 + 6, merged);
    EXPECT_EQ(2, closed);
    for (const Script& script : scripts) {
        EXPECT_FALSE(script.record->ImpersonationLeft()) << "a thread was left impersonating";
        EXPECT_EQ(1, script.record->FinishedCount());
    }
    EXPECT_EQ(providers, platformtest::OpenPrintTicketProviderCount())
        << "a PrintTicket provider was left open";
    EXPECT_EQ(tokens, platformtest::OpenTokenCount());
}

} // namespace
