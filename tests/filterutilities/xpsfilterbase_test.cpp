// The XPS filter base over real jobs: the walk and its hooks, parts held back until the first
// page, the counts, the job closed only when it went through whole, failures and shutdowns
// ending the walk with one shutdown request and one FilterFinished.
#include "filtertestdoubles.h"
#include "scratchfolder.h"
#include "xpsjobtestsupport.h"

#include <filterutilities/errorconvention.h>
#include <filterutilities/reswriter.h>
#include <filterutilities/xpsfilterbase.h>

#include <handleapi.h>
#include <platformsecurity.h>
#include <platformtest.h>

#include <objbase.h>

#include <filesystem>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace filtertest;

namespace {

// What a part is, as the tests write it: "xps", "seq URI", "doc URI", "page URI" or "unknown".
std::string Describe(IUnknown* part) {
    if (!part) {
        return "(null)";
    }
    CComBSTR uri;
    CComPtr<IUnknown> as;
    if (SUCCEEDED(part->QueryInterface(IID_IXpsDocument, reinterpret_cast<void**>(&as)))) {
        return "xps";
    }
    as.Release();
    if (SUCCEEDED(
            part->QueryInterface(IID_IFixedDocumentSequence, reinterpret_cast<void**>(&as)))) {
        static_cast<IFixedDocumentSequence*>(as.p)->GetUri(&uri);
        return "seq " + xpsjob::Narrow(uri);
    }
    as.Release();
    if (SUCCEEDED(part->QueryInterface(IID_IFixedDocument, reinterpret_cast<void**>(&as)))) {
        static_cast<IFixedDocument*>(as.p)->GetUri(&uri);
        return "doc " + xpsjob::Narrow(uri);
    }
    as.Release();
    if (SUCCEEDED(part->QueryInterface(IID_IFixedPage, reinterpret_cast<void**>(&as)))) {
        static_cast<IFixedPage*>(as.p)->GetUri(&uri);
        return "page " + xpsjob::Narrow(uri);
    }
    return "unknown";
}

// Every part of a job as a reader hands it out.
std::vector<std::string> PartsOf(const std::string& path) {
    std::vector<std::string> parts;
    CComPtr<IXpsDocumentProvider> reader = xpsjob::OpenReader(path);
    while (reader) {
        CComPtr<IUnknown> part;
        EXPECT_EQ(S_OK, reader->GetXpsPart(&part));
        if (!part) {
            break;
        }
        parts.push_back(Describe(part));
    }
    return parts;
}

enum class How { Returns, ThrowsKeldan, ThrowsStandard, ThrowsBadAlloc };

constexpr HRESULT kDiskFull = HRESULT_FROM_WIN32(ERROR_DISK_FULL);

// A filter of the default hooks that records each hook it runs ("xps", "seq URI", ...,
// "finalize") and can fail the n-th.
class RecordingFilter : public XpsFilterBase {
public:
    explicit RecordingFilter(bool merge = false) { m_printTicketManager.m_mergeEnabled = merge; }

    std::vector<std::string> hooks;
    int failAt = 0; // the hook call that fails, from 1; 0: none
    How how = How::Returns;
    std::function<void(RecordingFilter&)> onHook; // runs at every hook, after recording it
    ULONG Documents() const { return m_documentCount; }
    ULONG Pages() const { return m_pageCount; }

protected:
    HRESULT OnXpsDocument(IXpsDocument* document) override {
        return Hook(document ? "xps" : "xps (null)",
                    [&] { return XpsFilterBase::OnXpsDocument(document); });
    }
    HRESULT OnFixedDocumentSequence(IFixedDocumentSequence* sequence) override {
        return Hook(sequence ? Describe(sequence) : "seq (null)",
                    [&] { return XpsFilterBase::OnFixedDocumentSequence(sequence); });
    }
    HRESULT OnFixedDocument(IFixedDocument* document) override {
        return Hook(document ? Describe(document) : "doc (null)",
                    [&] { return XpsFilterBase::OnFixedDocument(document); });
    }
    HRESULT OnFixedPage(IFixedPage* page) override {
        return Hook(Describe(page), [&] { return XpsFilterBase::OnFixedPage(page); });
    }
    HRESULT OnFinalize() override {
        return Hook("finalize", [&] { return XpsFilterBase::OnFinalize(); });
    }

private:
    template <class Base>
    HRESULT Hook(const std::string& what, Base base) {
        hooks.push_back(what);
        if (onHook) {
            onHook(*this);
        }
        if (static_cast<int>(hooks.size()) != failAt) {
            return base();
        }
        switch (how) {
        case How::Returns:
            return kDiskFull;
        case How::ThrowsKeldan:
            FU_THROW_HR(E_ACCESSDENIED);
        case How::ThrowsStandard:
            throw std::runtime_error("a filter's own failure");
        case How::ThrowsBadAlloc:
            throw std::bad_alloc();
        }
        return E_UNEXPECTED;
    }
};

// The next filter, as far as the walk can tell: records what it is sent.
class RecordingWriter : public CUnknown<IXpsDocumentConsumer> {
public:
    RecordingWriter() : CUnknown(IID_IXpsDocumentConsumer) {}
    HRESULT STDMETHODCALLTYPE SendXpsUnknown(IUnknown* part) override { return Sent(part); }
    HRESULT STDMETHODCALLTYPE SendXpsDocument(IXpsDocument* part) override { return Sent(part); }
    HRESULT STDMETHODCALLTYPE SendFixedDocumentSequence(IFixedDocumentSequence* part) override {
        return Sent(part);
    }
    HRESULT STDMETHODCALLTYPE SendFixedDocument(IFixedDocument* part) override {
        return Sent(part);
    }
    HRESULT STDMETHODCALLTYPE SendFixedPage(IFixedPage* part) override { return Sent(part); }
    HRESULT STDMETHODCALLTYPE CloseSender() override {
        sent.push_back("close");
        return closeResult;
    }
    HRESULT STDMETHODCALLTYPE GetNewEmptyPart(const WCHAR*, REFIID, void**,
                                              IPrintWriteStream**) override {
        ADD_FAILURE() << "the walk creates no parts";
        return E_UNEXPECTED;
    }

    std::vector<std::string> sent;
    HRESULT closeResult = S_OK;

private:
    HRESULT Sent(IUnknown* part) {
        sent.push_back(Describe(part));
        return S_OK;
    }
};

// A part of no kind the walk knows.
class StrangePart : public CUnknown<IStream> {
public:
    StrangePart() : CUnknown(IID_IStream) {}
    HRESULT STDMETHODCALLTYPE Read(void*, ULONG, ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Write(const void*, ULONG, ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*,
                                     ULARGE_INTEGER*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Revert() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Stat(STATSTG*, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Clone(IStream**) override { return E_NOTIMPL; }
};

// A real reader with parts left out (keep answers false), a strange part put in before the
// n-th real part, or a failure at the n-th GetXpsPart.
class ScriptedReader : public CUnknown<IXpsDocumentProvider> {
public:
    explicit ScriptedReader(CComPtr<IXpsDocumentProvider> reader)
        : CUnknown(IID_IXpsDocumentProvider), m_reader(std::move(reader)) {}

    HRESULT STDMETHODCALLTYPE GetXpsPart(IUnknown** part) override {
        ++calls;
        if (calls == failAt) {
            *part = nullptr;
            return failure;
        }
        while (true) {
            if (++m_real == strangeBefore) {
                *part = new StrangePart;
                return S_OK;
            }
            const HRESULT hr = m_reader->GetXpsPart(part);
            if (FAILED(hr) || !*part || !keep || keep(Describe(*part))) {
                return hr;
            }
            (*part)->Release();
            *part = nullptr;
        }
    }

    std::function<bool(const std::string&)> keep;
    int strangeBefore = 0;
    int failAt = 0;
    HRESULT failure = E_FAIL;
    int calls = 0;

private:
    CComPtr<IXpsDocumentProvider> m_reader;
    int m_real = 0;
};

struct UserToken {
    UserToken() : handle(platformtest::CreateTestUserToken(u"xpsfilter-user", "/tmp")) {}
    ~UserToken() { CloseHandle(handle); }
    HANDLE handle;
};

// A job, the pipeline objects around a filter, and what came of running it.
struct JobRun {
    // A job made by make-xps with arguments, or a copy of the job at copyOf.
    explicit JobRun(const std::string& arguments, const std::string& copyOf = "")
        : folder("xpsfilterbase") {
        if (copyOf.empty()) {
            xpsjob::Make(input(), arguments);
        } else {
            std::filesystem::copy_file(copyOf, input());
        }
        bag = PipelineProperties(user.handle);
        communicator->m_reader = xpsjob::OpenReader(input());
        communicator->m_writer = xpsjob::CreateWriter(output());
    }
    std::string input() const { return (folder / "in.xps").string(); }
    std::string output() const { return (folder / "out.xps").string(); }

    // Initialises the filter with the pipeline objects and runs it; the filter is released
    // at the end, as the pipeline releases it.
    HRESULT Start(CComPtr<RecordingFilter> filter) {
        EXPECT_EQ(S_OK, filter->InitializeFilter(communicator, bag, control));
        const HRESULT hr = static_cast<IPrintPipelineFilter*>(filter.p)->StartOperation();
        EXPECT_EQ(nullptr, platformtest::CurrentThreadToken()) << "impersonation left in force";
        // The apartment was left again.
        EXPECT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        CoUninitialize();
        return hr;
    }
    bool OutputExists() const { return std::filesystem::exists(output()); }

    ScratchFolder folder;
    UserToken user;
    CComPtr<PropertyBag> bag;
    CComPtr<Communicator> communicator = Make<Communicator>();
    CComPtr<ManagerControl> control = Make<ManagerControl>();
};

TEST(XpsFilterBase, PassesAJobOnPartByPartAndClosesIt) {
    struct Case {
        const char* arguments;
        bool merge;
    };
    const Case cases[] = {
        {"--documents 2 --pages 2 --lines 1", false},
        {"--documents 2 --pages 2 --lines 1 --page-tickets first", true},
        {"--openxps --pages 3 --lines 1 --pieces 2 --page-tickets none", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.arguments) + (c.merge ? ", merging" : ""));
        JobRun run(c.arguments);
        const std::vector<std::string> parts = PartsOf(run.input());
        CComPtr<RecordingFilter> filter = Make<RecordingFilter>(c.merge);
        platformtest::ImpersonationLog log;
        ASSERT_EQ(S_OK, run.Start(filter));

        // Every part went to its hook in the order read, then the walk finalised.
        std::vector<std::string> expected = parts;
        expected.push_back("finalize");
        EXPECT_EQ(expected, filter->hooks);
        const auto count = [&](const char* kind) {
            return static_cast<ULONG>(std::count_if(
                parts.begin(), parts.end(), [&](auto& p) { return p.rfind(kind, 0) == 0; }));
        };
        EXPECT_EQ(count("doc "), filter->Documents());
        EXPECT_EQ(count("page "), filter->Pages());
        EXPECT_EQ(1, run.control->Finished());
        EXPECT_TRUE(run.control->Shutdowns().empty());
        EXPECT_EQ(parts, PartsOf(run.output()));

        // The PrintTicket API ran as the user, and only while merging.
        bool merged = false;
        for (const auto& entry : log.Entries()) {
            if (entry.call.rfind("PT", 0) == 0) {
                merged = true;
                EXPECT_EQ(u"xpsfilter-user", entry.user) << entry.call;
            }
        }
        EXPECT_EQ(c.merge, merged);
    }
}

TEST(XpsFilterBase, PartsBeforeTheFirstPageAreHeldBackUntilItComes) {
    const std::string seq = "seq /FixedDocumentSequence.fdseq";
    const std::string doc1 = "doc /Documents/1/FixedDocument.fdoc";
    const std::string doc2 = "doc /Documents/2/FixedDocument.fdoc";
    const std::string page21 = "page /Documents/2/Pages/1.fpage";
    struct Case {
        const char* what;
        std::function<void(ScriptedReader&)> script;
        std::vector<std::string> hooks;
        std::vector<std::string> sent;
        ULONG documents, pages;
    };
    const Case cases[] = {
        {"no XPS document part",
         [](ScriptedReader& r) { r.keep = [](const std::string& p) { return p != "xps"; }; },
         {"xps (null)", seq, doc1, "page /Documents/1/Pages/1.fpage", doc2, page21, "finalize"},
         {seq, doc1, "page /Documents/1/Pages/1.fpage", doc2, page21, "close"},
         2,
         2},
        {"two documents before the first page",
         [](ScriptedReader& r) {
             r.keep = [](const std::string& p) { return p.rfind("page /Documents/1/", 0) != 0; };
         },
         {"xps", seq, doc2, page21, "finalize"},
         {"xps", seq, doc2, page21, "close"},
         2,
         1},
        {"no page at all",
         [](ScriptedReader& r) {
             r.keep = [](const std::string& p) { return p.rfind("page", 0); };
         },
         {"finalize"},
         {"close"},
         2,
         0},
        {"a strange part before the first document",
         [](ScriptedReader& r) { r.strangeBefore = 3; },
         {"xps", seq, doc1, "page /Documents/1/Pages/1.fpage", doc2, page21, "finalize"},
         {"unknown", "xps", seq, doc1, "page /Documents/1/Pages/1.fpage", doc2, page21, "close"},
         2,
         2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        JobRun run("--documents 2 --pages 1 --lines 1");
        CComPtr<ScriptedReader> reader = Make<ScriptedReader>(xpsjob::OpenReader(run.input()));
        c.script(*reader);
        CComPtr<RecordingWriter> writer = Make<RecordingWriter>();
        run.communicator->m_reader = reader;
        run.communicator->m_writer = writer;
        CComPtr<RecordingFilter> filter = Make<RecordingFilter>();
        EXPECT_EQ(S_OK, run.Start(filter));
        EXPECT_EQ(c.hooks, filter->hooks);
        EXPECT_EQ(c.sent, writer->sent);
        EXPECT_EQ(c.documents, filter->Documents());
        EXPECT_EQ(c.pages, filter->Pages());
        EXPECT_TRUE(run.control->Shutdowns().empty());
        EXPECT_EQ(1, run.control->Finished());
    }
}

TEST(XpsFilterBase, AFailingHookEndsTheWalkAndAbandonsTheJob) {
    // Hook calls of the job: 1 xps, 2 seq, 3 doc 1, 4 page 1, 5 page 2, 6 doc 2, 7 page 1,
    // 8 page 2, 9 finalize.
    struct Case {
        const char* what;
        int failAt;
        How how;
        HRESULT expected;
        ULONG pages;
    };
    const Case cases[] = {
        {"a held sequence's hook fails", 2, How::Returns, kDiskFull, 0},
        {"the first page's hook fails", 4, How::Returns, kDiskFull, 1},
        {"the second document's hook throws KeldanComException", 6, How::ThrowsKeldan, E_FAIL, 2},
        {"a page's hook throws a standard exception", 7, How::ThrowsStandard, E_FAIL, 3},
        {"a page's hook runs out of memory", 8, How::ThrowsBadAlloc, E_FAIL, 4},
        {"the final hook fails", 9, How::Returns, kDiskFull, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        JobRun run("--documents 2 --pages 2 --lines 1");
        CComPtr<RecordingFilter> filter = Make<RecordingFilter>(true);
        filter->failAt = c.failAt;
        filter->how = c.how;
        platformtest::DebugSinkCapture reports;
        EXPECT_EQ(c.expected, run.Start(filter));
        if (c.how != How::Returns) {
            // An exception is reported where it was caught.
            EXPECT_NE(std::string::npos, reports.Text().find("XpsFilterBase::StartOperation"))
                << reports.Text();
        }
        EXPECT_EQ(static_cast<size_t>(c.failAt), filter->hooks.size()) << "the walk went on";
        EXPECT_EQ(c.pages, filter->Pages());
        EXPECT_EQ(std::vector<HRESULT>{c.expected}, run.control->Shutdowns());
        EXPECT_EQ(1, run.control->Finished());
        filter.Release();
        run.communicator.Release(); // the last reference on the writer
        EXPECT_FALSE(run.OutputExists()) << "a failed job left output";
    }
}

TEST(XpsFilterBase, AReaderOrWriterFailureEndsTheJob) {
    struct Case {
        const char* what;
        int failAt;          // the GetXpsPart call that fails; 0: none
        HRESULT closeResult; // CloseSender's answer
        bool shutDownFirst;  // ShutdownOperation before the failure
        HRESULT expected;
        std::vector<HRESULT> shutdowns;
    };
    const Case cases[] = {
        {"the reader fails", 3, S_OK, false, kDiskFull, {kDiskFull}},
        {"the reader fails after a shutdown", 5, S_OK, true, S_OK, {}},
        {"the job cannot be closed", 0, kDiskFull, false, kDiskFull, {kDiskFull}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        JobRun run("--pages 2 --lines 1");
        CComPtr<ScriptedReader> reader = Make<ScriptedReader>(xpsjob::OpenReader(run.input()));
        reader->failAt = c.failAt;
        reader->failure = kDiskFull;
        CComPtr<RecordingWriter> writer = Make<RecordingWriter>();
        writer->closeResult = c.closeResult;
        run.communicator->m_reader = reader;
        run.communicator->m_writer = writer;
        CComPtr<RecordingFilter> filter = Make<RecordingFilter>();
        if (c.shutDownFirst) {
            // The pipeline's shutdown comes while the first page is handled; reading the
            // second page then fails.
            filter->onHook = [](RecordingFilter& f) { f.ShutdownOperation(); };
        }
        EXPECT_EQ(c.expected, run.Start(filter));
        EXPECT_EQ(c.shutdowns, run.control->Shutdowns());
        EXPECT_EQ(1, run.control->Finished());
        if (c.failAt) {
            EXPECT_EQ(c.failAt, reader->calls) << "the reader was asked again after failing";
            EXPECT_TRUE(writer->sent.empty() || writer->sent.back() != "close");
        }
    }
}

TEST(XpsFilterBase, ADamagedJobFailsWhereTheDamageIsAndLeavesNoOutput) {
    JobRun run("--pages 3 --lines 1");
    run.communicator->m_reader.Release();
    xpsjob::RemoveEntry(run.input(), "Documents/1/Pages/2.fpage");
    run.communicator->m_reader = xpsjob::OpenReader(run.input());
    CComPtr<RecordingFilter> filter = Make<RecordingFilter>(true);
    const HRESULT hr = run.Start(filter);
    EXPECT_TRUE(FAILED(hr));
    EXPECT_EQ(std::vector<HRESULT>{hr}, run.control->Shutdowns());
    EXPECT_EQ(1, run.control->Finished());
    // The parts before the damage went through their hooks.
    EXPECT_EQ((std::vector<std::string>{"xps", "seq /FixedDocumentSequence.fdseq",
                                        "doc /Documents/1/FixedDocument.fdoc",
                                        "page /Documents/1/Pages/1.fpage"}),
              filter->hooks);
    filter.Release();
    run.communicator.Release();
    EXPECT_FALSE(run.OutputExists());
}

TEST(XpsFilterBase, ShutdownFromAnotherThreadStopsTheWalkAfterTheCurrentPart) {
    JobRun run("--pages 4 --lines 1");
    CComPtr<RecordingFilter> filter = Make<RecordingFilter>();
    filter->onHook = [](RecordingFilter& f) {
        if (f.hooks.back() == "page /Documents/1/Pages/2.fpage") {
            std::thread pipeline([&] { EXPECT_EQ(S_OK, f.ShutdownOperation()); });
            pipeline.join();
        }
    };
    EXPECT_EQ(S_OK, run.Start(filter));
    EXPECT_EQ((std::vector<std::string>{"xps", "seq /FixedDocumentSequence.fdseq",
                                        "doc /Documents/1/FixedDocument.fdoc",
                                        "page /Documents/1/Pages/1.fpage",
                                        "page /Documents/1/Pages/2.fpage", "finalize"}),
              filter->hooks);
    EXPECT_EQ(2u, filter->Pages());
    EXPECT_TRUE(run.control->Shutdowns().empty());
    EXPECT_EQ(1, run.control->Finished());
    filter.Release();
    run.communicator.Release();
    EXPECT_FALSE(run.OutputExists()) << "a stopped job left output";
}

// A PrintTicket provider can be closed only on the thread that opened it, and a pipeline
// releases its filters on a thread of its own: the provider must be closed as the filter's
// operation ends, whichever way it ends.
TEST(XpsFilterBase, ThePrintTicketProviderIsClosedOnTheFiltersThreadWhateverTheEnd) {
    struct Case {
        const char* what;
        int failAt;
        How how;
    };
    const Case cases[] = {
        {"the job goes through", 0, How::Returns},
        {"a hook fails", 4, How::Returns},
        {"a hook throws past the walk", 5, How::ThrowsStandard},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        JobRun run("--pages 2 --lines 1");
        const size_t providers = platformtest::OpenPrintTicketProviderCount();
        CComPtr<RecordingFilter> filter = Make<RecordingFilter>(true);
        filter->failAt = c.failAt;
        filter->how = c.how;
        platformtest::ImpersonationLog log;
        std::thread([&] { run.Start(filter); }).join();
        platformtest::DebugSinkCapture reports;
        filter.Release(); // here, on a thread that never opened the provider
        EXPECT_EQ(providers, platformtest::OpenPrintTicketProviderCount());
        EXPECT_EQ(std::string::npos, reports.Text().find("cannot be closed")) << reports.Text();
        // Closed as the user, like every other call into the provider.
        int closed = 0;
        for (const auto& entry : log.Entries()) {
            if (entry.call == "PTCloseProvider") {
                ++closed;
                EXPECT_EQ(u"xpsfilter-user", entry.user);
            }
        }
        EXPECT_EQ(1, closed);
    }
}

TEST(XpsFilterBase, AFilterThatCannotStartAsksForAShutdownOnce) {
    const HRESULT notThere = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
    struct Case {
        const char* what;
        std::function<void(JobRun&)> spoil;
        HRESULT expected;
        std::vector<HRESULT> shutdowns;
    };
    const Case cases[] = {
        {"no reader",
         [](JobRun& r) { r.communicator->m_readerFailure = E_ACCESSDENIED; },
         E_ACCESSDENIED,
         {E_ACCESSDENIED}},
        {"no writer",
         [](JobRun& r) { r.communicator->m_writerFailure = E_OUTOFMEMORY; },
         E_OUTOFMEMORY,
         {E_OUTOFMEMORY}},
        {"a reader that reads no XPS",
         [](JobRun& r) { r.communicator->m_reader = Make<PropertyBag>(); },
         E_FAIL,
         {E_FAIL, E_FAIL}},
        {"a writer that writes no XPS",
         [](JobRun& r) { r.communicator->m_writer.Release(); },
         E_FAIL,
         {E_FAIL, E_FAIL}},
        {"no printer name",
         [&](JobRun& r) { r.bag->Fail(u"PrinterName", notThere); },
         notThere,
         {notThere}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        JobRun run("--pages 1 --lines 1");
        c.spoil(run);
        CComPtr<RecordingFilter> filter = Make<RecordingFilter>();
        EXPECT_EQ(c.expected, run.Start(filter));
        EXPECT_TRUE(filter->hooks.empty());
        EXPECT_EQ(c.shutdowns, run.control->Shutdowns());
        EXPECT_EQ(1, run.control->Finished());
    }
}

TEST(XpsFilterBase, AFilterOutsideASingleThreadedApartmentDoesNotStart) {
    JobRun run("--pages 1 --lines 1");
    CComPtr<RecordingFilter> filter = Make<RecordingFilter>();
    ASSERT_EQ(S_OK, filter->InitializeFilter(run.communicator, run.bag, run.control));
    std::thread([&] {
        ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
        EXPECT_EQ(RPC_E_CHANGED_MODE,
                  static_cast<IPrintPipelineFilter*>(filter.p)->StartOperation());
        // The thread's own apartment is untouched: one more entry answers S_FALSE.
        EXPECT_EQ(S_FALSE, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
        CoUninitialize();
        CoUninitialize();
    }).join();
    EXPECT_TRUE(filter->hooks.empty());
    EXPECT_EQ(std::vector<HRESULT>{RPC_E_CHANGED_MODE}, run.control->Shutdowns());
    EXPECT_EQ(1, run.control->Finished());
}

// A filter that puts one logo on every page through the filter's resource cache.
class LogoFilter : public XpsFilterBase, private IResWriter {
public:
    int written = 0;

protected:
    HRESULT OnFixedPage(IFixedPage* page) override {
        const HRESULT hr = m_resourceCache.WriteResource(m_xpsWriter, page, this);
        return FAILED(hr) ? hr : XpsFilterBase::OnFixedPage(page);
    }

private:
    HRESULT WriteResourceData(IUnknown*, IPrintWriteStream* stream) override {
        ++written;
        ULONG count = 0;
        return stream->WriteBytes("\x89PNG logo", 9, &count);
    }
    HRESULT GetResourceKey(BSTR* key) override {
        *key = SysAllocString(u"logo");
        return *key ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT GetResourceUri(BSTR* uri) override {
        *uri = SysAllocString(u"/Resources/logo.png");
        return *uri ? S_OK : E_OUTOFMEMORY;
    }
    REFIID GetResourceInterfaceId() override { return IID_IPartImage; }
};

TEST(XpsFilterBase, AResourceOfEveryPageIsWrittenOncePerJob) {
    JobRun run("--documents 2 --pages 3 --lines 1");
    CComPtr<LogoFilter> filter = Make<LogoFilter>();
    ASSERT_EQ(S_OK, filter->InitializeFilter(run.communicator, run.bag, run.control));
    ASSERT_EQ(S_OK, static_cast<IPrintPipelineFilter*>(filter.p)->StartOperation());
    EXPECT_EQ(1, filter->written);
    CComPtr<IXpsDocumentProvider> reader = xpsjob::OpenReader(run.output());
    int pages = 0;
    while (CComPtr<IFixedPage> page = xpsjob::NextPage(reader)) {
        ++pages;
        CComPtr<IUnknown> logo;
        EXPECT_EQ(S_OK, page->GetPagePart(u"/Resources/logo.png", &logo)) << pages;
    }
    EXPECT_EQ(6, pages);
}

// Every platform allocation of a whole run failing in turn (a spread of them for a long run):
// the job either goes through whole or fails with one shutdown request and no output, and the
// thread ends as it began.
TEST(XpsFilterBase, RunningOutOfMemoryFailsTheJobCleanly) {
    JobRun clean("--documents 2 --pages 1 --lines 1");
    const std::vector<std::string> parts = PartsOf(clean.input());
    unsigned long allocations = 0;
    {
        CComPtr<RecordingFilter> filter = Make<RecordingFilter>(true);
        const unsigned long start = platformtest::AllocationCount();
        ASSERT_EQ(S_OK, clean.Start(filter));
        allocations = platformtest::AllocationCount() - start;
    }
    ASSERT_GT(allocations, 0u);
    const ScratchFolder kept("xpsfilterbase-job");
    const std::string job = (kept / "job.xps").string();
    std::filesystem::copy_file(clean.input(), job);
    const unsigned long step = allocations / 150 + 1;
    for (unsigned long n = 1; n <= allocations; n += (n < 50 ? 1 : step)) {
        SCOPED_TRACE("allocation " + std::to_string(n) + " of " + std::to_string(allocations));
        JobRun run("", job);
        CComPtr<RecordingFilter> filter = Make<RecordingFilter>(true);
        HRESULT hr;
        {
            platformtest::AllocationFailure failure(n);
            hr = run.Start(filter);
        }
        filter.Release();
        run.communicator.Release();
        EXPECT_EQ(1, run.control->Finished());
        if (SUCCEEDED(hr)) {
            EXPECT_TRUE(run.control->Shutdowns().empty());
            EXPECT_EQ(parts, PartsOf(run.output()));
        } else {
            EXPECT_EQ(std::vector<HRESULT>{hr}, run.control->Shutdowns());
            EXPECT_FALSE(run.OutputExists());
        }
    }
}

TEST(XpsFilterBase, AFilterNeverInitializedHasNothingToWalk) {
    CComPtr<RecordingFilter> filter = Make<RecordingFilter>();
    EXPECT_EQ(E_PENDING, static_cast<IPrintPipelineFilter*>(filter.p)->StartOperation());
    EXPECT_TRUE(filter->hooks.empty());
}

} // namespace
