// The print ticket manager over real jobs written by make-xps and over strict doubles of the
// pipeline's parts: the default ticket, private copies, the tickets of each scope with merging
// off and on (merged tickets compared with the PrintTicket provider called directly), the
// impersonation around every provider call, the map of updated tickets, and running out of
// memory.
#include "allocationsweep.h"
#include "comtest.h"
#include "devmodetestsupport.h"
#include "pipelinetestdoubles.h"
#include "printschematestsupport.h"
#include "scratchfolder.h"

#include <filterutilities/printreadstreamtoistream.h>
#include <filterutilities/printticketmanager.h>

#include <kldutil/keldanexception.h>

#include <handleapi.h>
#include <platformsecurity.h>
#include <platformtest.h>
#include <prntvpt.h>
#include <winbase.h>
#include <xpspackage.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using namespace printschematest;
using devmodetest::FeatureXml;
using devmodetest::TicketXml;
using pipelinetest::Make;
using pipelinetest::MemoryReadStream;

namespace {

using View = XpsFilterPrintTicketBase;
constexpr HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
constexpr char16_t kPrinter[] = u"FilterUtilities XPS Printer";
constexpr char16_t kUser[] = u"ticketuser";

// A ticket around body with the Print Schema's namespaces and no private one, so that it
// reads the same before and after a view has wrapped it.
std::string PlainTicket(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<psf:PrintTicket "
           "xmlns:psf=\"http://schemas.microsoft.com/windows/2003/08/printing/"
           "printschemaframework\" "
           "xmlns:psk=\"http://schemas.microsoft.com/windows/2003/08/printing/"
           "printschemakeywords\" "
           "version=\"1\">" +
           body + "</psf:PrintTicket>\n";
}

// The user's default ticket: a media size no part ticket of make-xps selects, so a look-up
// that falls through to it is seen.
std::string DefaultTicket() {
    return PlainTicket(FeatureXml("PageMediaSize", "ISOA5") +
                       FeatureXml("PageOrientation", "Landscape") +
                       FeatureXml("JobDuplexAllDocumentsContiguously", "OneSided") +
                       FeatureXml("DocumentCollate", "Uncollated"));
}

std::string BytesOf(IPrintReadStream* stream) {
    std::string bytes;
    char buffer[4096];
    for (;;) {
        ULONG read = 0;
        BOOL end = FALSE;
        if (FAILED(stream->ReadBytes(buffer, sizeof(buffer), &read, &end)) || read == 0) {
            return bytes;
        }
        bytes.append(buffer, read);
    }
}

// The bytes of a part's ticket, read here without the manager; empty when it has none.
template <class Part>
std::string TicketBytesOf(Part* part) {
    CComPtr<IPartPrintTicket> ticket;
    if (part->GetPrintTicket(&ticket) == kNotFound) {
        return {};
    }
    CComPtr<IPrintReadStream> stream;
    EXPECT_EQ(S_OK, ticket->GetStream(&stream));
    return BytesOf(stream);
}

std::string DomBytes(IXMLDOMDocument2* dom) {
    return dom ? StreamBytesOf(dom) : std::string("<null>");
}
std::string DomBytes(const PrintTicketXmlDocument* ticket) {
    return ticket ? StreamBytesOf(ticket->GetDomDocPtr()) : std::string("<null>");
}

CComPtr<IStream> StreamOver(const std::string& bytes) {
    CComPtr<IStream> stream;
    EXPECT_EQ(S_OK, ::CreateStreamOnHGlobal(nullptr, TRUE, &stream));
    ULONG written = 0;
    stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written);
    LARGE_INTEGER start{};
    stream->Seek(start, STREAM_SEEK_SET, nullptr);
    return stream;
}

// The PrintTicket provider called directly, on this thread, as the process's own user.
class DirectProvider {
public:
    DirectProvider() { EXPECT_EQ(S_OK, ::PTOpenProvider(kPrinter, 1, &m_provider)); }
    ~DirectProvider() { ::PTCloseProvider(m_provider); }

    std::string Merge(const std::string& base, const std::string& delta, EPrintTicketScope scope) {
        CComPtr<IStream> result;
        EXPECT_EQ(S_OK, ::CreateStreamOnHGlobal(nullptr, TRUE, &result));
        CComBSTR message;
        const HRESULT hr = ::PTMergeAndValidatePrintTicket(
            m_provider, StreamOver(base), StreamOver(delta), scope, result, &message);
        EXPECT_TRUE(SUCCEEDED(hr)) << Utf8(message.m_str);
        CComPtr<IXMLDOMDocument2> merged;
        EXPECT_EQ(S_OK, PrintTicketManager::SetPTFromStream(result, &merged));
        return DomBytes(merged);
    }

private:
    HPTPROVIDER m_provider = nullptr;
};

// The parts of a job written by make-xps, in the order a reader hands them out.
struct Job {
    CComPtr<IXpsDocumentProvider> reader;
    CComPtr<IFixedDocumentSequence> sequence;
    struct Document {
        CComPtr<IFixedDocument> document;
        std::vector<CComPtr<IFixedPage>> pages;
    };
    std::vector<Document> documents;
};

Job ReadJob(const std::string& path, const std::string& arguments) {
    const std::string command =
        std::string("python3 ") + XPSTEST_MAKE_XPS + " " + path + " " + arguments + " >/dev/null";
    EXPECT_EQ(0, std::system(command.c_str())) << command;
    CComPtr<IXpsDocumentProvider> reader;
    EXPECT_EQ(S_OK, ::XpsOpenPackageReader(path.c_str(), nullptr, &reader));
    Job job;
    job.reader = reader;
    for (;;) {
        CComPtr<IUnknown> part;
        EXPECT_EQ(S_OK, reader->GetXpsPart(&part));
        if (!part) {
            return job;
        }
        CComPtr<IFixedDocumentSequence> sequence;
        CComPtr<IFixedDocument> document;
        CComPtr<IFixedPage> page;
        if (SUCCEEDED(part.QueryInterface(&sequence))) {
            job.sequence = sequence;
        } else if (SUCCEEDED(part.QueryInterface(&document))) {
            job.documents.push_back({document, {}});
        } else if (SUCCEEDED(part.QueryInterface(&page))) {
            job.documents.back().pages.push_back(page);
        }
    }
}

class PrintTicketManagerTest : public DomTest {
protected:
    void SetUp() override {
        DomTest::SetUp();
        m_token = platformtest::CreateTestUserToken(kUser, m_scratch.Path().string());
    }
    void TearDown() override {
        ::CloseHandle(m_token);
        EXPECT_EQ(nullptr, platformtest::CurrentThreadToken()) << "impersonation left behind";
        DomTest::TearDown();
    }

    HRESULT Initialise(PrintTicketManager& manager,
                       const std::string& defaultTicket = DefaultTicket(),
                       const char16_t* printer = kPrinter) {
        CComPtr<MemoryReadStream> stream = Make<MemoryReadStream>(defaultTicket, 100);
        const HRESULT hr = manager.Initialise(stream, CComBSTR(printer), m_token);
        EXPECT_REF(stream.p, 1); // the manager keeps nothing of the stream
        return hr;
    }

    // The manager initialised, with the sequence and one document (tickets given as text,
    // empty for none) resolved.
    std::unique_ptr<PrintTicketManager> ThroughDocument(bool merge, const std::string& job,
                                                        const std::string& document) {
        auto manager = std::make_unique<PrintTicketManager>();
        manager->m_mergeEnabled = merge;
        EXPECT_EQ(S_OK, Initialise(*manager));
        EXPECT_EQ(S_OK, manager->InitializeWithPrintTicket(Sequence(job)));
        EXPECT_EQ(S_OK, manager->InitializeWithPrintTicket(Document(document)));
        return manager;
    }

    static CComPtr<IPartPrintTicket> Ticket(const std::string& bytes,
                                            const char16_t* uri = u"/T.xml") {
        return CComPtr<IPartPrintTicket>(Make<pipelinetest::PartTicket>(uri, bytes));
    }
    template <class Double>
    static CComPtr<Double> Part(const std::string& ticket) {
        return ticket.empty() ? Make<Double>(kNotFound, nullptr)
                              : Make<Double>(S_OK, Ticket(ticket));
    }
    static CComPtr<pipelinetest::Sequence> Sequence(const std::string& t) {
        return Part<pipelinetest::Sequence>(t);
    }
    static CComPtr<pipelinetest::Document> Document(const std::string& t) {
        return Part<pipelinetest::Document>(t);
    }
    static CComPtr<pipelinetest::Page> Page(const std::string& t) {
        return Part<pipelinetest::Page>(t);
    }

    ScratchFolder m_scratch{"printticketmanager"};
    HANDLE m_token = nullptr;
};

std::string Option(XpsFilterPrintTicket* view, const char16_t* feature) {
    CComBSTR option;
    const HRESULT hr = view->XpsFilterGetFeatureOption(CComBSTR(feature), &option);
    return hr == kNotFound ? "<none>" : FAILED(hr) ? "<failed>" : Utf8(option.m_str);
}

// --- The default ticket and Initialise ---

TEST_F(PrintTicketManagerTest, InitialiseReadsTheDefaultTicketFromTheStart) {
    PrintTicketManager manager;
    EXPECT_EQ(nullptr, manager.GetPtrToDefaultPrintTicket());
    EXPECT_EQ(INVALID_HANDLE_VALUE, manager.GetUserToken());

    CComPtr<MemoryReadStream> stream = Make<MemoryReadStream>(DefaultTicket(), 5);
    stream->position = 40; // a stream handed over part read is read from its start
    {
        platformtest::ImpersonationLog log;
        ASSERT_EQ(S_OK, manager.Initialise(stream, CComBSTR(kPrinter), m_token));
        // Merging is off: the ticket is read as the user, and no provider is opened.
        const std::vector<platformtest::ImpersonationLog::Entry> expected = {
            {"SetThreadToken", kUser}, {"SetThreadToken", u""}};
        EXPECT_EQ(expected, log.Entries());
    }
    EXPECT_EQ(Canonical(DefaultTicket()),
              Canonical(DomBytes(manager.GetPtrToDefaultPrintTicket())));
    EXPECT_EQ(m_token, manager.GetUserToken());
    EXPECT_EQ(CXString(kPrinter), manager.GetPrinterName());
    EXPECT_REF(stream.p, 1);

    XpsFilterPrintTicket* view = nullptr;
    ASSERT_EQ(S_OK, manager.GetTicket(kPTPageScope, &view));
    EXPECT_EQ("ISOA5", Option(view, u"PageMediaSize"));
    // The default ticket is a copy of its own: the view's wrappers hold other documents.
    EXPECT_NE(manager.GetPtrToDefaultPrintTicket(),
              view->GetTicket(View::JobPtScope)->GetDomDocPtr());
    EXPECT_EQ(nullptr, view->GetMergedTicket()); // merging is off by default
}

TEST_F(PrintTicketManagerTest, InitialiseRefusesWhatItCannotUse) {
    const HANDLE closedToken = platformtest::CreateTestUserToken(u"gone", "/tmp");
    ::CloseHandle(closedToken);
    struct Case {
        const char* name;
        bool merge;
        bool nullStream;
        const char16_t* printer;
        bool goodToken;
        std::string ticket;
        HRESULT expected;
    };
    const Case cases[] = {
        {"null stream", false, true, kPrinter, true, DefaultTicket(), E_POINTER},
        {"empty printer name", false, false, u"", true, DefaultTicket(), E_INVALIDARG},
        {"unknown printer, merging", true, false, u"No Such Printer", true, DefaultTicket(),
         HRESULT_FROM_WIN32(ERROR_INVALID_PRINTER_NAME)},
        {"token that is closed", false, false, kPrinter, false, DefaultTicket(),
         HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE)},
        {"default ticket not XML", false, false, kPrinter, true, "<psf:PrintTicket", E_FAIL},
        {"default ticket empty", true, false, kPrinter, true, "", E_FAIL},
        {"default ticket with a DTD", false, false, kPrinter, true,
         "<!DOCTYPE t [<!ENTITY a \"aaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;\">]><t>&b;</t>", E_FAIL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PrintTicketManager manager;
        manager.m_mergeEnabled = c.merge;
        CComPtr<MemoryReadStream> stream = Make<MemoryReadStream>(c.ticket);
        const HANDLE token = c.goodToken ? m_token : closedToken;
        EXPECT_EQ(c.expected, manager.Initialise(c.nullStream ? nullptr : stream.p,
                                                 CComBSTR(c.printer), token));
        // Token and printer are kept even when refused; nothing else is.
        EXPECT_EQ(token, manager.GetUserToken());
        EXPECT_EQ(CXString(c.printer), manager.GetPrinterName());
        EXPECT_EQ(nullptr, manager.GetPtrToDefaultPrintTicket());
        EXPECT_EQ(nullptr, platformtest::CurrentThreadToken());
        EXPECT_REF(stream.p, 1);
        XpsFilterPrintTicket unrelated;
        XpsFilterPrintTicket* view = &unrelated;
        EXPECT_EQ(E_FAIL, manager.GetTicket(kPTJobScope, &view));
        EXPECT_EQ(nullptr, view);
    }
}

// --- The tickets of each scope over real jobs ---

struct WalkCase {
    const char* pageTickets;
    bool merge;
};

class PrintTicketManagerWalk : public PrintTicketManagerTest,
                               public testing::WithParamInterface<WalkCase> {};

// Two documents of three pages: after each part the view of its scope holds that part's
// ticket (or the wider scope's when it has none), nothing of the parts before it, and, while
// merging, the chain of merges the provider makes when asked directly.
TEST_P(PrintTicketManagerWalk, EveryScopeSeesItsOwnTicketsMergedOntoTheWiderOnes) {
    const WalkCase& param = GetParam();
    const std::string path = (m_scratch / "job.xps").string();
    const Job job = ReadJob(path, std::string("--documents 2 --pages 3 --lines 1 --page-tickets ") +
                                      param.pageTickets);
    ASSERT_EQ(2u, job.documents.size());

    PrintTicketManager manager;
    manager.m_mergeEnabled = param.merge;
    ASSERT_EQ(S_OK, Initialise(manager));
    DirectProvider provider;
    const std::string defaultTicket = DomBytes(manager.GetPtrToDefaultPrintTicket());

    const std::string jobTicket = TicketBytesOf(job.sequence.p);
    ASSERT_FALSE(jobTicket.empty());
    ASSERT_EQ(S_OK, manager.InitializeWithPrintTicket(job.sequence));
    XpsFilterPrintTicket* view = nullptr;
    ASSERT_EQ(S_OK, manager.GetTicket(kPTJobScope, &view));
    EXPECT_EQ(Canonical(jobTicket), Canonical(DomBytes(view->GetTicket(View::JobPtScope))));
    const std::string jobMerged = provider.Merge(defaultTicket, jobTicket, kPTJobScope);
    if (param.merge) {
        EXPECT_EQ(Canonical(jobMerged), Canonical(DomBytes(view->GetMergedTicket())));
    } else {
        EXPECT_EQ(nullptr, view->GetMergedTicket());
    }

    for (size_t d = 0; d < job.documents.size(); ++d) {
        const Job::Document& document = job.documents[d];
        SCOPED_TRACE("document " + std::to_string(d + 1));
        const std::string documentTicket = TicketBytesOf(document.document.p);
        ASSERT_EQ(S_OK, manager.InitializeWithPrintTicket(document.document));
        ASSERT_EQ(S_OK, manager.GetTicket(kPTDocumentScope, &view));
        EXPECT_EQ(Canonical(documentTicket),
                  Canonical(DomBytes(view->GetTicket(View::DocumentPtScope))));
        EXPECT_EQ(nullptr,
                  view->GetTicket(View::PagePtScope)); // the last document's pages are gone
        const std::string documentMerged =
            provider.Merge(jobMerged, documentTicket, kPTDocumentScope);
        if (param.merge) {
            EXPECT_EQ(Canonical(documentMerged), Canonical(DomBytes(view->GetMergedTicket())));
        }

        for (size_t p = 0; p < document.pages.size(); ++p) {
            SCOPED_TRACE("page " + std::to_string(p + 1));
            const std::string pageTicket = TicketBytesOf(document.pages[p].p);
            ASSERT_EQ(S_OK, manager.InitializeWithPrintTicket(document.pages[p]));
            ASSERT_EQ(S_OK, manager.GetTicket(kPTPageScope, &view));
            EXPECT_EQ(kPTPageScope, view->GetScope());
            EXPECT_EQ(Canonical(pageTicket.empty() ? documentTicket : pageTicket),
                      Canonical(DomBytes(view->GetTicket(View::PagePtScope))));
            EXPECT_EQ(Canonical(jobTicket), Canonical(DomBytes(view->GetTicket(View::JobPtScope))));
            EXPECT_EQ(Canonical(defaultTicket),
                      Canonical(DomBytes(view->GetTicket(View::DefaultPtScope))));
            if (param.merge) {
                const std::string expected =
                    pageTicket.empty() ? documentMerged
                                       : provider.Merge(documentMerged, pageTicket, kPTPageScope);
                EXPECT_EQ(Canonical(expected), Canonical(DomBytes(view->GetMergedTicket())));
            } else {
                EXPECT_EQ(nullptr, view->GetMergedTicket());
            }
            // make-xps gives odd pages A4 and even pages Letter; without a page ticket the
            // media size falls through to the default ticket.
            const char* media =
                pageTicket.empty() ? "ISOA5" : (p % 2 == 0 ? "ISOA4" : "NorthAmericaLetter");
            EXPECT_EQ(media, Option(view, u"PageMediaSize"));
            EXPECT_EQ("Collated", Option(view, u"DocumentCollate"));
            EXPECT_EQ("TwoSidedLongEdge", Option(view, u"JobDuplexAllDocumentsContiguously"));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(PageTickets, PrintTicketManagerWalk,
                         testing::Values(WalkCase{"every", false}, WalkCase{"every", true},
                                         WalkCase{"first", false}, WalkCase{"first", true},
                                         WalkCase{"none", false}, WalkCase{"none", true}),
                         [](const testing::TestParamInfo<WalkCase>& info) {
                             return std::string(info.param.pageTickets) +
                                    (info.param.merge ? "Merged" : "AsTheyStand");
                         });

TEST_F(PrintTicketManagerTest, APageWithoutTicketDropsThePreviousPagesTickets) {
    for (bool merge : {false, true}) {
        SCOPED_TRACE(merge ? "merging" : "not merging");
        const std::string documentTicket = PlainTicket(FeatureXml("PageMediaSize", "ISOA3"));
        auto manager = ThroughDocument(merge, "", documentTicket);
        XpsFilterPrintTicket* view = nullptr;
        ASSERT_EQ(S_OK, manager->InitializeWithPrintTicket(
                            Page(PlainTicket(FeatureXml("PageMediaSize", "ISOA4")))));
        ASSERT_EQ(S_OK, manager->GetTicket(kPTPageScope, &view));
        EXPECT_EQ("ISOA4", Option(view, u"PageMediaSize"));
        const std::string pageMerged = merge ? DomBytes(view->GetMergedTicket()) : "";

        ASSERT_EQ(S_OK, manager->InitializeWithPrintTicket(Page("")));
        ASSERT_EQ(S_OK, manager->GetTicket(kPTPageScope, &view));
        EXPECT_EQ("ISOA3", Option(view, u"PageMediaSize"));
        EXPECT_EQ(Canonical(documentTicket),
                  Canonical(DomBytes(view->GetTicket(View::PagePtScope))));
        if (merge) {
            XpsFilterPrintTicket* documentView = nullptr;
            ASSERT_EQ(S_OK, manager->GetTicket(kPTDocumentScope, &documentView));
            const std::string documentMerged = DomBytes(documentView->GetMergedTicket());
            ASSERT_EQ(S_OK, manager->GetTicket(kPTPageScope, &view));
            EXPECT_EQ(documentMerged, DomBytes(view->GetMergedTicket()));
            EXPECT_NE(pageMerged, documentMerged);
        }
    }
}

// Pages without a ticket share the copy the first of them got, and pages that hand out one
// ticket part object share what was read and merged from it, while nothing those were made of
// changes: the page view is refilled with the very same documents, and says so with its
// content counter. A change on either side, or another ticket, gets the page its own answer.
TEST_F(PrintTicketManagerTest, PagesShareTheTicketsTheyWouldGetAgainWhileNothingChangesThem) {
    const auto reload = [](IXMLDOMDocument2* dom, const std::string& xml) {
        VARIANT_BOOL ok = VARIANT_FALSE;
        ASSERT_EQ(S_OK, dom->loadXML(CComBSTR(Utf16(xml).c_str()), &ok));
        ASSERT_EQ(VARIANT_TRUE, ok);
    };
    const std::string a4 = PlainTicket(FeatureXml("PageMediaSize", "ISOA4"));
    for (bool merge : {false, true}) {
        SCOPED_TRACE(merge ? "merging" : "not merging");
        auto manager =
            ThroughDocument(merge, "", PlainTicket(FeatureXml("PageMediaSize", "ISOA3")));
        XpsFilterPrintTicket* view = nullptr;
        struct Seen {
            IXMLDOMDocument2* page = nullptr;
            IXMLDOMDocument2* merged = nullptr;
            View::PtChangeCounter content;
        } last;
        // Resolves a page and tells whether it got the documents of the page before.
        const auto resolve = [&](IFixedPage* page) {
            EXPECT_EQ(S_OK, manager->InitializeWithPrintTicket(page));
            EXPECT_EQ(S_OK, manager->GetTicket(kPTPageScope, &view));
            const Seen seen{view->GetTicket(View::PagePtScope)->GetDomDocPtr(),
                            merge ? view->GetMergedTicket()->GetDomDocPtr() : nullptr,
                            view->GetContentCounter()};
            const bool same = seen.page == last.page && seen.merged == last.merged;
            EXPECT_EQ(same, seen.content == last.content);
            last = seen;
            return same;
        };
        const auto none = [&] { return resolve(Page("")); };
        EXPECT_FALSE(none());
        EXPECT_TRUE(none());
        EXPECT_TRUE(none());
        EXPECT_EQ("ISOA3", Option(view, u"PageMediaSize"));

        // The page's copy changed through the view: the next page gets a new copy, as the
        // document's ticket reads.
        reload(last.page, PlainTicket(FeatureXml("PageMediaSize", "ISOA0")));
        EXPECT_FALSE(none());
        EXPECT_EQ("ISOA3", Option(view, u"PageMediaSize"));
        EXPECT_TRUE(none());

        // The document's ticket changed: the next page copies it as it is now.
        reload(view->GetTicket(View::DocumentPtScope)->GetDomDocPtr(),
               PlainTicket(FeatureXml("PageMediaSize", "ISOA2")));
        EXPECT_FALSE(none());
        EXPECT_EQ("ISOA2", Option(view, u"PageMediaSize"));

        // Pages with one ticket part object read it once; another object with the same bytes
        // is read anew, and so is the part once what was read from it changed.
        const CComPtr<IPartPrintTicket> shared = Ticket(a4);
        const auto sharing = [&] { return resolve(Make<pipelinetest::Page>(S_OK, shared.p)); };
        EXPECT_FALSE(sharing());
        EXPECT_EQ("ISOA4", Option(view, u"PageMediaSize"));
        EXPECT_TRUE(sharing());
        EXPECT_FALSE(resolve(Page(a4)));
        EXPECT_FALSE(sharing());
        EXPECT_TRUE(sharing());
        reload(last.page, PlainTicket(FeatureXml("PageMediaSize", "ISOA0")));
        EXPECT_FALSE(sharing());
        EXPECT_EQ("ISOA4", Option(view, u"PageMediaSize"));
        EXPECT_TRUE(sharing());

        // A page without a ticket, then one without again.
        EXPECT_FALSE(none());
        EXPECT_EQ("ISOA2", Option(view, u"PageMediaSize"));
        EXPECT_TRUE(none());

        if (merge) {
            // The document's merged ticket changed: the page's merged ticket is a new copy of
            // it, and the shared part is merged onto it anew.
            XpsFilterPrintTicket* documentView = nullptr;
            ASSERT_EQ(S_OK, manager->GetTicket(kPTDocumentScope, &documentView));
            IXMLDOMDocument2* documentMerged = documentView->GetMergedTicket()->GetDomDocPtr();
            reload(documentMerged, PlainTicket(FeatureXml("PageMediaSize", "ISOA1")));
            const std::string base = DomBytes(documentMerged);
            EXPECT_FALSE(none());
            EXPECT_EQ(base, DomBytes(view->GetMergedTicket()));
            EXPECT_TRUE(none());
            EXPECT_FALSE(sharing());
            EXPECT_EQ(DirectProvider().Merge(base, a4, kPTPageScope),
                      DomBytes(view->GetMergedTicket()));
            EXPECT_TRUE(sharing());
        }

        // A new document: its pages copy its own ticket.
        ASSERT_EQ(S_OK, manager->InitializeWithPrintTicket(
                            Document(PlainTicket(FeatureXml("PageMediaSize", "ISOB5")))));
        EXPECT_FALSE(none());
        EXPECT_EQ("ISOB5", Option(view, u"PageMediaSize"));
        EXPECT_TRUE(none());
    }
}

TEST_F(PrintTicketManagerTest, APartsTicketThatCannotBeReadIsReportedAndTheAnswersOfThePartPassOn) {
    struct Case {
        const char* name;
        HRESULT answer;        // of GetPrintTicket
        std::string ticket;    // its bytes
        HRESULT streamFailure; // of the ticket's GetStream
        HRESULT expected;
    };
    const Case cases[] = {
        {"not well-formed", S_OK, "<psf:PrintTicket", S_OK, E_FAIL},
        {"stream refused", S_OK, DefaultTicket(), E_ACCESSDENIED, E_ACCESSDENIED},
        {"part refuses", E_ACCESSDENIED, "", S_OK, E_ACCESSDENIED},
        {"no ticket", kNotFound, "", S_OK, S_OK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto manager = ThroughDocument(false, "", "");
        CComPtr<pipelinetest::PartTicket> ticket =
            Make<pipelinetest::PartTicket>(u"/P.xml", c.ticket);
        ticket->streamFailure = c.streamFailure;
        EXPECT_EQ(c.expected, manager->InitializeWithPrintTicket(Make<pipelinetest::Page>(
                                  c.answer, SUCCEEDED(c.answer) ? ticket.p : nullptr)));
        EXPECT_REF(ticket.p, 1);
    }
    PrintTicketManager manager;
    EXPECT_EQ(E_POINTER, manager.InitializeWithPrintTicket(static_cast<IFixedPage*>(nullptr)));
    EXPECT_EQ(E_POINTER, manager.InitializeWithPrintTicket(static_cast<IFixedDocument*>(nullptr)));
    EXPECT_EQ(E_POINTER,
              manager.InitializeWithPrintTicket(static_cast<IFixedDocumentSequence*>(nullptr)));
    // Before Initialise there is no default ticket to fill a scope from.
    EXPECT_EQ(E_PENDING, manager.InitializeWithPrintTicket(Page("")));
}

TEST_F(PrintTicketManagerTest, ADocumentMergedBeforeTheJobHasAMergedTicketWaitsForIt) {
    PrintTicketManager manager;
    manager.m_mergeEnabled = true;
    ASSERT_EQ(S_OK, Initialise(manager));
    const std::string documentTicket = PlainTicket(FeatureXml("DocumentCollate", "Collated"));
    EXPECT_EQ(E_PENDING, manager.InitializeWithPrintTicket(Document(documentTicket)));
    XpsFilterPrintTicket* view = nullptr;
    ASSERT_EQ(S_OK, manager.GetTicket(kPTJobScope, &view)); // fills the job's from the default
    EXPECT_EQ(S_OK, manager.InitializeWithPrintTicket(Document(documentTicket)));
    ASSERT_EQ(S_OK, manager.GetTicket(kPTDocumentScope, &view));
    // The job's merged ticket is the default ticket as it stands, the document's is merged
    // onto it.
    DirectProvider provider;
    EXPECT_EQ(Canonical(provider.Merge(DefaultTicket(), documentTicket, kPTDocumentScope)),
              Canonical(DomBytes(view->GetMergedTicket())));
}

TEST_F(PrintTicketManagerTest, AFailedMergeKeepsThePreviousMergedTicket) {
    auto manager = ThroughDocument(true, "", "");
    XpsFilterPrintTicket* view = nullptr;
    ASSERT_EQ(S_OK, manager->InitializeWithPrintTicket(
                        Page(PlainTicket(FeatureXml("PageMediaSize", "ISOA4")))));
    ASSERT_EQ(S_OK, manager->GetTicket(kPTPageScope, &view));
    const std::string merged = DomBytes(view->GetMergedTicket());
    // A ticket the filter can read but the provider refuses: a feature without a name.
    const std::string refused =
        PlainTicket("<psf:Feature><psf:Option name=\"psk:ISOA3\"/></psf:Feature>" +
                    FeatureXml("PageMediaSize", "ISOA3"));
    EXPECT_EQ(E_DELTA_PRINTTICKET_FORMAT, manager->InitializeWithPrintTicket(Page(refused)));
    EXPECT_EQ(nullptr, platformtest::CurrentThreadToken());
    ASSERT_EQ(S_OK, manager->GetTicket(kPTPageScope, &view));
    EXPECT_EQ("ISOA3", Option(view, u"PageMediaSize")); // the part ticket is the new one
    EXPECT_EQ(merged, DomBytes(view->GetMergedTicket()));
}

TEST_F(PrintTicketManagerTest, GetTicketRefusesWhatItCannotHandOut) {
    PrintTicketManager manager;
    EXPECT_EQ(E_POINTER, manager.GetTicket(kPTPageScope, nullptr));
    ASSERT_EQ(S_OK, Initialise(manager));
    for (int scope : {-1, 3, 7}) {
        SCOPED_TRACE(scope);
        XpsFilterPrintTicket unrelated;
        XpsFilterPrintTicket* view = &unrelated;
        EXPECT_EQ(E_FAIL, manager.GetTicket(static_cast<EPrintTicketScope>(scope), &view));
        EXPECT_EQ(nullptr, view);
    }
    // Merging switched on after Initialise: no provider, so no merged ticket can be had.
    manager.m_mergeEnabled = true;
    EXPECT_EQ(E_PENDING, manager.InitializeWithPrintTicket(Sequence(DefaultTicket())));
    XpsFilterPrintTicket* view = nullptr;
    EXPECT_EQ(S_OK, manager.GetTicket(kPTJobScope, &view)); // the default ticket copied
    EXPECT_NE(nullptr, view->GetMergedTicket());
}

// --- Private copies ---

TEST_F(PrintTicketManagerTest, TicketsHandedInAreCopiedAndNeverChanged) {
    for (bool merge : {false, true}) {
        SCOPED_TRACE(merge ? "merging" : "not merging");
        auto manager = ThroughDocument(merge, "", "");
        CComPtr<IXMLDOMDocument2> mine =
            LoadBytes(PlainTicket(FeatureXml("PageMediaSize", "ISOA4")));
        const std::string before = StreamBytesOf(mine);
        ASSERT_EQ(S_OK, manager->InitializeWithPrintTicket(kPTPageScope, mine));
        XpsFilterPrintTicket* view = nullptr;
        ASSERT_EQ(S_OK, manager->GetTicket(kPTPageScope, &view));
        EXPECT_EQ("ISOA4", Option(view, u"PageMediaSize"));
        IXMLDOMDocument2* held = view->GetTicket(View::PagePtScope)->GetDomDocPtr();
        EXPECT_NE(mine.p, held);
        EXPECT_REF(mine.p, 1);
        // A filter editing what it was handed changes the manager's copy, not the caller's.
        CComPtr<IXMLDOMElement> root;
        ASSERT_EQ(S_OK, held->get_documentElement(&root));
        CComPtr<IXMLDOMNode> child;
        ASSERT_EQ(S_OK, root->get_firstChild(&child));
        CComPtr<IXMLDOMNode> removed;
        ASSERT_EQ(S_OK, root->removeChild(child, &removed));
        EXPECT_EQ(before, StreamBytesOf(mine));

        // A null ticket resets the scope from the wider one.
        ASSERT_EQ(S_OK, manager->InitializeWithPrintTicket(kPTPageScope, nullptr));
        ASSERT_EQ(S_OK, manager->GetTicket(kPTPageScope, &view));
        EXPECT_EQ("ISOA5", Option(view, u"PageMediaSize"));
        for (int scope : {-1, 3}) {
            EXPECT_EQ(E_INVALIDARG, manager->InitializeWithPrintTicket(
                                        static_cast<EPrintTicketScope>(scope), mine));
            EXPECT_EQ(E_INVALIDARG, manager->InitializeWithPrintTicket(
                                        static_cast<EPrintTicketScope>(scope), nullptr));
        }
    }
}

// --- Impersonation ---

TEST_F(PrintTicketManagerTest, EveryProviderCallRunsAsTheUserAndIsRevertedAfter) {
    const std::string path = (m_scratch / "job.xps").string();
    const Job job = ReadJob(path, "--documents 1 --pages 2 --lines 1 --page-tickets every");
    platformtest::ImpersonationLog log;
    {
        PrintTicketManager manager;
        manager.m_mergeEnabled = true;
        ASSERT_EQ(S_OK, Initialise(manager));
        EXPECT_EQ(nullptr, platformtest::CurrentThreadToken());
        ASSERT_EQ(S_OK, manager.InitializeWithPrintTicket(job.sequence));
        ASSERT_EQ(S_OK, manager.InitializeWithPrintTicket(job.documents[0].document));
        for (const auto& page : job.documents[0].pages) {
            ASSERT_EQ(S_OK, manager.InitializeWithPrintTicket(page));
            EXPECT_EQ(nullptr, platformtest::CurrentThreadToken());
        }
        // A refused merge reverts too.
        EXPECT_EQ(E_DELTA_PRINTTICKET_FORMAT,
                  manager.InitializeWithPrintTicket(Page("<NoTicket/>")));
        // And so does a provider that cannot be opened (a second Initialise closes the first).
        EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_INVALID_PRINTER_NAME),
                  Initialise(manager, DefaultTicket(), u"No Such Printer"));
    }
    using Entry = platformtest::ImpersonationLog::Entry;
    const std::u16string user = kUser;
    std::vector<Entry> expected = {
        {"SetThreadToken", user}, {"PTOpenProvider", user}, {"SetThreadToken", u""}};
    for (int merges = 0; merges < 5; ++merges) { // job, document, two pages, the refused one
        expected.insert(expected.end(), {{"SetThreadToken", user},
                                         {"PTMergeAndValidatePrintTicket", user},
                                         {"SetThreadToken", u""}});
    }
    expected.insert(expected.end(), {{"SetThreadToken", user},
                                     {"PTCloseProvider", user},
                                     {"SetThreadToken", u""},
                                     {"SetThreadToken", user},
                                     {"PTOpenProvider", user},
                                     {"SetThreadToken", u""}});
    EXPECT_EQ(expected, log.Entries());
    EXPECT_EQ(nullptr, platformtest::CurrentThreadToken());
}

TEST_F(PrintTicketManagerTest, TheProviderIsClosedAsTheUserWhoeverClosesIt) {
    struct Case {
        const char* what;
        std::string defaultTicket;
        std::function<void(PrintTicketManager&)> close;
    };
    const Case cases[] = {
        {"CloseProvider, as a filter's job ends", DefaultTicket(),
         [](PrintTicketManager& manager) { EXPECT_EQ(S_OK, manager.CloseProvider()); }},
        {"the next Initialise", DefaultTicket(),
         [&](PrintTicketManager& manager) {
             manager.m_mergeEnabled = false; // so that it opens none again
             EXPECT_EQ(S_OK, Initialise(manager));
         }},
        {"the destructor", DefaultTicket(), [](PrintTicketManager&) {}},
        {"the destructor, after a default ticket that is not XML", "<PrintTicket",
         [](PrintTicketManager&) {}},
    };
    const size_t providers = platformtest::OpenPrintTicketProviderCount();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        platformtest::ImpersonationLog log;
        {
            PrintTicketManager manager;
            manager.m_mergeEnabled = true;
            const HRESULT hr = Initialise(manager, c.defaultTicket);
            EXPECT_EQ(c.defaultTicket == DefaultTicket() ? S_OK : E_FAIL, hr);
            EXPECT_EQ(providers + 1, platformtest::OpenPrintTicketProviderCount());
            c.close(manager);
        }
        EXPECT_EQ(providers, platformtest::OpenPrintTicketProviderCount());
        const auto entries = log.Entries();
        const auto close = std::find_if(entries.begin(), entries.end(),
                                        [](const auto& e) { return e.call == "PTCloseProvider"; });
        ASSERT_NE(entries.end(), close);
        EXPECT_EQ(kUser, close->user);
        EXPECT_EQ(nullptr, platformtest::CurrentThreadToken());
    }
}

TEST_F(PrintTicketManagerTest, AProviderWhoseUserIsGoneStaysOpenRatherThanCloseAsTheHost) {
    const HANDLE gone = platformtest::CreateTestUserToken(u"goneuser", m_scratch.Path().string());
    const size_t providers = platformtest::OpenPrintTicketProviderCount();
    platformtest::ImpersonationLog log;
    {
        PrintTicketManager manager;
        manager.m_mergeEnabled = true;
        CComPtr<MemoryReadStream> stream = Make<MemoryReadStream>(DefaultTicket(), 100);
        ASSERT_EQ(S_OK, manager.Initialise(stream, CComBSTR(kPrinter), gone));
        ::CloseHandle(gone); // against the contract: the token must outlive the manager
        EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE), manager.CloseProvider());
        // Nor does a new job take over: the open provider keeps its user.
        EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE), Initialise(manager));
        EXPECT_EQ(gone, manager.GetUserToken());
    }
    for (const auto& entry : log.Entries()) {
        EXPECT_NE("PTCloseProvider", entry.call) << "the provider was closed as the host";
    }
    EXPECT_EQ(nullptr, platformtest::CurrentThreadToken());
    // The provider stays open for the rest of the test program, a cost the contract's breach
    // brings.
    EXPECT_EQ(providers + 1, platformtest::OpenPrintTicketProviderCount());
}

TEST_F(PrintTicketManagerTest, AThreadAlreadyImpersonatingGetsItsOwnUserBack) {
    const HANDLE other = platformtest::CreateTestUserToken(u"spooleruser", "/tmp");
    ASSERT_TRUE(::SetThreadToken(nullptr, other));
    {
        PrintTicketManager manager;
        manager.m_mergeEnabled = true;
        ASSERT_EQ(S_OK, Initialise(manager));
        ASSERT_EQ(S_OK, manager.InitializeWithPrintTicket(Sequence(DefaultTicket())));
    }
    WCHAR name[64] = {};
    DWORD size = 64;
    ASSERT_TRUE(::GetUserNameW(name, &size));
    EXPECT_EQ(u"spooleruser", std::u16string(name));
    ::SetThreadToken(nullptr, nullptr);
    ::CloseHandle(other);
}

// --- The map of updated tickets ---

TEST_F(PrintTicketManagerTest, TheMapKeepsTheFirstTicketOfAUriWithAReferenceOfItsOwn) {
    CComPtr<IPartPrintTicket> first = Ticket("", u"/Documents/1/Metadata/Page1_PT_1.xml");
    CComPtr<IPartPrintTicket> second = Ticket("", u"/Documents/1/Metadata/Page1_PT_1.xml");
    CComPtr<IPartPrintTicket> other = Ticket("", u"/Documents/1/Metadata/Page2_PT_1.xml");
    CComPtr<pipelinetest::PartTicket> nameless = Make<pipelinetest::PartTicket>(u"/N.xml", "");
    nameless->uriFailure = E_ACCESSDENIED;
    {
        PrintTicketManager manager;
        EXPECT_EQ(S_OK, manager.AddUpdatedPrintTicketToMap(first));
        EXPECT_EQ(S_OK, manager.AddUpdatedPrintTicketToMap(second));
        EXPECT_EQ(S_OK, manager.AddUpdatedPrintTicketToMap(other));
        EXPECT_EQ(E_ACCESSDENIED, manager.AddUpdatedPrintTicketToMap(nameless));
        EXPECT_EQ(E_POINTER, manager.AddUpdatedPrintTicketToMap(nullptr));
        EXPECT_REF(first.p, 2);
        EXPECT_REF(second.p, 1);
        EXPECT_REF(nameless.p, 1);

        const std::pair<const char16_t*, IPartPrintTicket*> lookups[] = {
            {u"/Documents/1/Metadata/Page1_PT_1.xml", first},
            {u"/Documents/1/Metadata/Page2_PT_1.xml", other},
            {u"/Documents/1/Metadata/page1_PT_1.xml", nullptr}, // names are compared exactly
            {u"/N.xml", nullptr},
            {u"", nullptr},
        };
        for (const auto& [uri, expected] : lookups) {
            SCOPED_TRACE(Utf8(uri));
            IPartPrintTicket* found = second; // overwritten either way
            EXPECT_EQ(expected ? S_OK : S_FALSE,
                      manager.GetUpdatedPrintTicketFromMap(CXString(uri), &found));
            EXPECT_EQ(expected, found);
        }
        EXPECT_EQ(E_POINTER, manager.GetUpdatedPrintTicketFromMap(CXString(u"/N.xml"), nullptr));
        EXPECT_REF(first.p, 2); // a look-up adds no reference
    }
    EXPECT_REF(first.p, 1);
    EXPECT_REF(other.p, 1);
}

// --- The static helpers ---

TEST_F(PrintTicketManagerTest, SetPTFromStreamParsesFromTheStart) {
    CComPtr<IStream> stream = StreamOver(DefaultTicket());
    LARGE_INTEGER end{};
    stream->Seek(end, STREAM_SEEK_END, nullptr);
    CComPtr<IXMLDOMDocument2> dom;
    ASSERT_EQ(S_OK, PrintTicketManager::SetPTFromStream(stream, &dom));
    EXPECT_EQ(Canonical(DefaultTicket()), Canonical(DomBytes(dom)));

    IXMLDOMDocument2* out = dom;
    EXPECT_EQ(E_FAIL, PrintTicketManager::SetPTFromStream(StreamOver("<a><b></a>"), &out));
    EXPECT_EQ(nullptr, out);
    out = dom;
    EXPECT_EQ(E_POINTER, PrintTicketManager::SetPTFromStream(nullptr, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(E_POINTER, PrintTicketManager::SetPTFromStream(stream, nullptr));
    // A stream that cannot be rewound is not read.
    CComPtr<MemoryReadStream> source = Make<MemoryReadStream>(DefaultTicket());
    source->seekFailure = E_ACCESSDENIED;
    CComPtr<IStream> adapter;
    adapter.Attach(new CPrintReadStreamToIStream(source));
    EXPECT_EQ(E_ACCESSDENIED, PrintTicketManager::SetPTFromStream(adapter, &out));
    EXPECT_EQ(0, source->reads);
}

TEST_F(PrintTicketManagerTest, GetDevmodeFromPrintTicketString) {
    const ByteBuffer devmode = devmodetest::DriverDevmode({{1, 2}});
    ByteBuffer foreign = devmode;
    reinterpret_cast<DEVMODEW*>(foreign.getLpbyte())->dmDriverExtra = 0;
    foreign.resize(reinterpret_cast<DEVMODEW*>(foreign.getLpbyte())->dmSize);
    struct Case {
        const char* name;
        std::optional<std::string> xml;
        HRESULT expected;
        ByteBuffer bytes;
    };
    const Case cases[] = {
        {"with a snapshot", TicketXml(devmodetest::SnapshotXml(devmodetest::Base64(devmode))), S_OK,
         devmode},
        {"without a snapshot", DefaultTicket(), S_FALSE, {}},
        {"another driver's devmode",
         TicketXml(devmodetest::SnapshotXml(devmodetest::Base64(foreign))),
         E_FAIL,
         {}},
        {"not XML", std::string("PageDevmodeSnapshot"), S_FALSE, {}},
        {"XML but no ticket", std::string("<Other/>"), E_INVALIDARG, {}},
        {"null", std::nullopt, E_POINTER, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ByteBuffer out(7, 0xAB); // emptied first
        const std::u16string text = c.xml ? Utf16(*c.xml) : u"";
        EXPECT_EQ(c.expected, PrintTicketManager::GetDevmodeFromPrintTicketString(
                                  c.xml ? text.c_str() : nullptr, out));
        EXPECT_TRUE(c.bytes == out);
    }
}

// --- Running out of memory ---

TEST_F(PrintTicketManagerTest, InitialiseRunsOutOfMemoryCleanly) {
    struct Fixture {
        std::unique_ptr<PrintTicketManager> manager = std::make_unique<PrintTicketManager>();
        CComPtr<MemoryReadStream> stream = Make<MemoryReadStream>(DefaultTicket());
    };
    allocationsweep::Sweep<Fixture> sweep;
    sweep.make = [] {
        Fixture fixture;
        fixture.manager->m_mergeEnabled = true;
        return fixture;
    };
    sweep.operation = [this](Fixture& fixture) {
        fixture.stream->position = 0;
        return fixture.manager->Initialise(fixture.stream, CComBSTR(kPrinter), m_token);
    };
    sweep.state = [](Fixture& fixture) {
        return std::vector<std::string>{DomBytes(fixture.manager->GetPtrToDefaultPrintTicket())};
    };
    EXPECT_GT(allocationsweep::Run(sweep), 0u);
    EXPECT_EQ(nullptr, platformtest::CurrentThreadToken());
}

TEST_F(PrintTicketManagerTest, APageMergeRunsOutOfMemoryCleanly) {
    struct Fixture {
        std::unique_ptr<PrintTicketManager> manager;
        CComPtr<pipelinetest::Page> page;
    };
    const std::string pageTicket = PlainTicket(FeatureXml("PageMediaSize", "ISOA4"));
    allocationsweep::Sweep<Fixture> sweep;
    sweep.make = [&] {
        return Fixture{ThroughDocument(true, DefaultTicket(),
                                       PlainTicket(FeatureXml("DocumentCollate", "Collated"))),
                       Page(pageTicket)};
    };
    sweep.operation = [](Fixture& fixture) {
        return fixture.manager->InitializeWithPrintTicket(fixture.page);
    };
    // What a filter sees of the page scope: its part ticket and its merged ticket, each of
    // which may change on its own (a merge that fails keeps the previous merged ticket).
    sweep.state = [](Fixture& fixture) {
        XpsFilterPrintTicket* view = nullptr;
        const HRESULT hr = fixture.manager->GetTicket(kPTPageScope, &view);
        if (FAILED(hr)) {
            return std::vector<std::string>{"GetTicket failed", ""};
        }
        return std::vector<std::string>{DomBytes(view->GetTicket(View::PagePtScope)),
                                        DomBytes(view->GetMergedTicket())};
    };
    EXPECT_GT(allocationsweep::Run(sweep), 0u);
    EXPECT_EQ(nullptr, platformtest::CurrentThreadToken());
}

TEST_F(PrintTicketManagerTest, GetDevmodeFromPrintTicketStringRunsOutOfMemoryCleanly) {
    const std::u16string text = Utf16(TicketXml(
        devmodetest::SnapshotXml(devmodetest::Base64(devmodetest::DriverDevmode({{1, 2}})))));
    allocationsweep::Sweep<ByteBuffer> sweep;
    sweep.make = [] { return ByteBuffer(); };
    sweep.operation = [&](ByteBuffer& devmode) {
        try {
            return PrintTicketManager::GetDevmodeFromPrintTicketString(text.c_str(), devmode);
        } catch (const KeldanComException& exception) {
            return exception.GetHresult();
        }
    };
    sweep.state = [](ByteBuffer& devmode) {
        return std::vector<std::string>{std::to_string(devmode.getDword())};
    };
    EXPECT_GT(allocationsweep::Run(sweep), 0u);
}

} // namespace
