// Page relationships read ahead of the walk on a thread of the reader's: the walk hands out the
// same parts and stops at the same damage with the same error whatever the window, and the
// thread never outlives the walk.
#include "xpstest.h"

#include "threadcount.h"

#include <sched.h>

#include <functional>
#include <thread>

using namespace xpstest;

namespace {

constexpr HRESULT kBadData = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
constexpr HRESULT kMissing = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
constexpr HRESULT kTooLarge = HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE);
constexpr int kPages = 12;

std::string PageRels(int page) {
    return "Doc/Pages/_rels/" + std::to_string(page) + ".fpage.rels";
}

std::string DocumentNaming(const std::vector<int>& pages, const std::string& tail) {
    std::string markup = "<FixedDocument xmlns=\"http://schemas.microsoft.com/xps/2005/06\">";
    for (const int page : pages) {
        markup += "<PageContent Source=\"Pages/" + std::to_string(page) + ".fpage\"/>";
    }
    return markup + tail;
}

// SmallJob with a document of kPages pages, each naming the image and every odd one a ticket.
std::vector<Entry> PagesJob() {
    std::vector<Entry> entries = SmallJob();
    const std::string page = std::find_if(entries.begin(), entries.end(), [](const Entry& e) {
                                 return e.name == "Doc/Pages/1.fpage";
                             })->bytes;
    std::vector<int> pages;
    for (int p = 1; p <= kPages; ++p) {
        pages.push_back(p);
        SetEntry(entries, "Doc/Pages/" + std::to_string(p) + ".fpage", page.c_str());
        SetEntry(entries, PageRels(p),
                 Rels(Rel("required-resource", "/Images/dot.png") +
                      (p % 2 ? Rel("printticket", "/Tickets/Page1.xml") : ""))
                     .c_str());
    }
    SetEntry(entries, "Doc/1.fdoc", DocumentNaming(pages, "</FixedDocument>").c_str());
    return entries;
}

size_t SizeOf(const std::vector<Entry>& entries, const std::string& name) {
    for (const Entry& entry : entries) {
        if (entry.name == name) {
            return entry.bytes.size();
        }
    }
    ADD_FAILURE() << "no entry " << name;
    return 0;
}

// What a walk saw: every part, a page with its ticket and resources, and how it ended.
struct Seen {
    std::vector<std::string> parts;
    size_t pages = 0;
    HRESULT result = S_OK;
    std::string message;
    HRESULT after = S_OK; // asked again once it ended
};

Seen WalkPages(IXpsDocumentProvider* reader) {
    Seen seen;
    while (true) {
        ATL::CComPtr<IUnknown> part;
        seen.result = reader->GetXpsPart(&part);
        if (FAILED(seen.result) || !part) {
            break;
        }
        ATL::CComPtr<IFixedPage> page;
        if (FAILED(part->QueryInterface(&page))) {
            seen.parts.push_back("part");
            continue;
        }
        ++seen.pages;
        ATL::CComBSTR uri;
        page->GetUri(&uri);
        std::string line = "page " + Narrow(uri);
        ATL::CComPtr<IPartPrintTicket> ticket;
        if (SUCCEEDED(page->GetPrintTicket(&ticket))) {
            ATL::CComBSTR ticketUri;
            ticket->GetUri(&ticketUri);
            line += " ticket " + Narrow(ticketUri);
        }
        ATL::CComPtr<IUnknown> image;
        if (SUCCEEDED(page->GetPagePart(u"/Images/dot.png", &image))) {
            line += " image";
        }
        seen.parts.push_back(line);
    }
    ATL::CComPtr<IXpsPackageStatus> status;
    ATL::CComBSTR text;
    if (FAILED(seen.result) && SUCCEEDED(reader->QueryInterface(&status)) &&
        SUCCEEDED(status->GetLastErrorText(&text))) {
        seen.message = Narrow(text);
    }
    ATL::CComPtr<IUnknown> part;
    seen.after = reader->GetXpsPart(&part);
    return seen;
}

struct DamageCase {
    const char* name;
    std::function<void(std::vector<Entry>&)> edit;
    HRESULT expected;
    const char* message;
    size_t pages; // handed out before the damage
    // The job's limit on inflated bytes, from the entries as edited; none when null.
    std::function<ULONGLONG(const std::vector<Entry>&)> jobBytes = nullptr;
};

void PrintTo(const DamageCase& test, std::ostream* out) {
    *out << test.name;
}

const DamageCase kDamage[] = {
    {"page 7 relationships not XML",
     [](auto& e) { SetEntry(e, PageRels(7), Rels(Rel("link", "x")).substr(0, 90).c_str()); },
     kBadData, "/Doc/Pages/_rels/7.fpage.rels is not well-formed XML", 6},
    {"page 7 relationship without a target",
     [](auto& e) {
         SetEntry(e, PageRels(7),
                  Rels("<Relationship Id=\"X\" Type=\"http://x/printticket\"/>").c_str());
     },
     kBadData, "a relationship without Id, Type or Target", 6},
    {"page 7 relationships too large to read whole, not XML",
     [](auto& e) {
         SetEntry(e, PageRels(7), Rels(std::string(100000, ' ') + "<Relationship").c_str());
     },
     kBadData, "/Doc/Pages/_rels/7.fpage.rels is not well-formed XML", 6},
    {"page 7 ticket missing",
     [](auto& e) { SetEntry(e, PageRels(7), Rels(Rel("printticket", "/None.xml")).c_str()); },
     kMissing, "the print ticket /None.xml of /Doc/Pages/7.fpage is missing", 6},
    {"document markup broken after page 5",
     [](auto& e) {
         SetEntry(e, "Doc/1.fdoc", DocumentNaming({1, 2, 3, 4, 5}, "<PageContent Sour").c_str());
     },
     kBadData, "/Doc/1.fdoc is not well-formed XML", 5},
    {"document naming a missing page 6", [](auto& e) { SetEntry(e, "Doc/Pages/6.fpage", nullptr); },
     kMissing, "the FixedPage /Doc/Pages/6.fpage named by /Doc/1.fdoc is missing", 5},
    {"document naming page 3 twice",
     [](auto& e) {
         SetEntry(e, "Doc/1.fdoc", DocumentNaming({1, 2, 3, 3, 4}, "</FixedDocument>").c_str());
     },
     kBadData, "FixedPage /Doc/Pages/3.fpage is referenced twice", 3},
    // Relationships read ahead count against the job only when the walk takes them: the limit
    // is passed at page 7's relationships, not where the thread happened to be.
    {"job limit passed by page 7 relationships", nullptr, kTooLarge,
     "/Doc/Pages/_rels/7.fpage.rels: the job inflates to more than", 6,
     [](const std::vector<Entry>& e) {
         ULONGLONG bytes = SizeOf(e, "[Content_Types].xml") + SizeOf(e, "_rels/.rels") +
                           SizeOf(e, "Job.fdseq") + SizeOf(e, "_rels/Job.fdseq.rels") +
                           SizeOf(e, "Doc/1.fdoc") + SizeOf(e, "Doc/_rels/1.fdoc.rels");
         for (int p = 1; p <= 7; ++p) {
             bytes += SizeOf(e, PageRels(p));
         }
         return bytes - 1;
     }},
};

class ReadAheadDamage : public ::testing::TestWithParam<DamageCase> {};

TEST_P(ReadAheadDamage, GivesThePagesBeforeItThenTheSameErrorAtEveryWindow) {
    const DamageCase& test = GetParam();
    TempDir dir;
    std::vector<Entry> entries = PagesJob();
    if (test.edit) {
        test.edit(entries);
    }
    const std::string path = dir.Path("job.xps");
    WriteZip(path, entries);
    XpsPackageLimits base;
    XpsDefaultPackageLimits(&base);
    if (test.jobBytes) {
        base.maxJobBytes = test.jobBytes(entries);
    }

    std::optional<Seen> alone;
    for (const ULONG window : {0u, 1u, 2u, 3u, 5u, 6u, 7u, 8u, 11u, 32u}) {
        SCOPED_TRACE("window " + std::to_string(window));
        const XpsPackageLimits limits = WithReadAhead({"", window}, &base);
        const Seen seen = WalkPages(Open(path, &limits));
        EXPECT_EQ(test.expected, seen.result);
        EXPECT_EQ(test.pages, seen.pages) << ::testing::PrintToString(seen.parts);
        EXPECT_NE(std::string::npos, seen.message.find(test.message)) << seen.message;
        EXPECT_EQ(test.expected, seen.after); // the walk stays stopped at the damage
        if (!alone) {
            alone = seen; // read without the thread
            continue;
        }
        EXPECT_EQ(alone->parts, seen.parts);
        EXPECT_EQ(alone->message, seen.message);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, ReadAheadDamage, ::testing::ValuesIn(kDamage),
                         NamedByField<DamageCase>);

bool OneProcessor() {
    cpu_set_t set;
    CPU_ZERO(&set);
    return sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) < 2;
}

TEST(XpsReadAhead, LeavesNoThreadWhereverTheWalkEnds) {
    if (OneProcessor()) {
        GTEST_SKIP() << "no thread reads ahead where the process may use one processor";
    }
    TempDir dir;
    std::vector<Entry> entries = PagesJob();
    WriteZip(dir.Path("good.xps"), entries);
    SetEntry(entries, PageRels(7), "<Relationships");
    WriteZip(dir.Path("damaged.xps"), entries);
    // A sanitizer's runtime starts a thread of its own with the first thread a program makes:
    // one made and joined first keeps it out of the count.
    std::thread([] {}).join();
    const size_t before = threadcount::ThreadCount();

    struct Way {
        const char* name;
        const char* job;
        size_t pages; // read before the reader is released; all of them when more than it has
    };
    for (const Way& way :
         {Way{"released after two pages", "good.xps", 2}, Way{"read to the end", "good.xps", 99},
          Way{"stopped by damage", "damaged.xps", 99}}) {
        for (const ULONG window : {1u, 32u}) {
            SCOPED_TRACE(std::string(way.name) + ", window " + std::to_string(window));
            const XpsPackageLimits limits = WithReadAhead({"", window});
            ATL::CComPtr<IXpsDocumentProvider> reader = Open(dir.Path(way.job), &limits);
            ASSERT_TRUE(reader);
            size_t pages = 0;
            HRESULT hr = S_OK;
            while (pages < way.pages) {
                ATL::CComPtr<IUnknown> part;
                hr = reader->GetXpsPart(&part);
                if (FAILED(hr) || !part) {
                    break;
                }
                ATL::CComPtr<IFixedPage> page;
                if (SUCCEEDED(part->QueryInterface(&page)) && ++pages == 1) {
                    EXPECT_EQ(before + 1, threadcount::ThreadCount()) << "no thread reads ahead";
                }
            }
            if (pages < way.pages) {
                // The walk ended, well or not: the thread went with it.
                EXPECT_EQ(before, threadcount::ThreadCountSettled(before));
            }
            reader.Release();
            EXPECT_EQ(before, threadcount::ThreadCountSettled(before)) << "a thread is left";
        }
    }
}

TEST(XpsReadAhead, NoThreadForASmallDocumentOrWhenOff) {
    TempDir dir;
    WriteZip(dir.Path("small.xps"), SmallJob());
    WriteZip(dir.Path("pages.xps"), PagesJob());
    std::thread([] {}).join();
    const size_t before = threadcount::ThreadCount();
    XpsPackageLimits off;
    XpsDefaultPackageLimits(&off);
    off.readAheadPages = 0;
    off.readAheadFloor = 0;
    // The small document's markup is under the default floor.
    for (const auto& [job, limits] :
         {std::pair{"small.xps", static_cast<XpsPackageLimits*>(nullptr)},
          std::pair{"pages.xps", &off}}) {
        SCOPED_TRACE(job);
        ATL::CComPtr<IXpsDocumentProvider> reader = Open(dir.Path(job), limits);
        ATL::CComPtr<IFixedPage> page;
        while (!page) {
            ATL::CComPtr<IUnknown> part;
            ASSERT_EQ(S_OK, reader->GetXpsPart(&part));
            ASSERT_TRUE(part);
            part->QueryInterface(&page);
        }
        EXPECT_EQ(before, threadcount::ThreadCount());
    }
}

} // namespace
