// The ticket filter end to end over real jobs (tickets shared by every page, on the first page of
// each document only, on no page), at each scope: the output read back by our reader holds
// one rewritten ticket per source ticket of that scope, attached where the old one was, and one
// new ticket shared by the parts that had none; the report filter behind it reads the new
// option at that scope; MuPDF and libgxps render the output like the input, pixel for pixel.
#include "tools/toolrunner.h"

#include "filterutilities/xpsjobtestsupport.h"
#include "sharedticketjob.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace {

int Shell(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A structure part as `xps list --json` shows it: its kind and URI, and its ticket's URI
// (empty for none).
struct Listed {
    std::string kind;
    std::string uri;
    std::string ticket;
};

std::string StringAfter(const std::string& text, const std::string& key) {
    const size_t at = text.find("\"" + key + "\": \"");
    if (at == std::string::npos) {
        return "";
    }
    const size_t start = at + key.size() + 5;
    return text.substr(start, text.find('"', start) - start);
}

// The sequence, documents and pages of a job, in order, from `xps list --json`: each part's
// members come before its resources, so a part's ticket stands before the next "kind".
std::vector<Listed> ListParts(const std::string& job) {
    const ToolRun list = RunFilterutil({"xps", "list", "--json", job});
    EXPECT_EQ(0, list.status) << list.err;
    std::vector<Listed> parts;
    const std::string marker = "\"kind\": \"";
    for (size_t at = list.out.find(marker); at != std::string::npos;) {
        const size_t next = list.out.find(marker, at + 1);
        const std::string object = list.out.substr(at, next - at);
        const std::string kind = StringAfter(object, "kind");
        if (kind == "sequence" || kind == "document" || kind == "page") {
            parts.push_back({kind, StringAfter(object, "uri"), StringAfter(object, "printTicket")});
        }
        at = next;
    }
    return parts;
}

// The rewritten ticket's name: the scope's suffix before the extension. A job ticket named for
// the job would keep its name, which its old ticket holds: it gets a counter.
std::string Derived(const std::string& ticket, const std::string& kind) {
    const size_t dot = ticket.rfind('.');
    const char* suffix = kind == "sequence" ? "_2" : (kind == "page" ? "_p" : "_d");
    return ticket.substr(0, dot) + suffix + ticket.substr(dot);
}

// Renders every page with MuPDF and, one fixed document at a time, with libgxps.
std::vector<std::string> Render(const ScratchFolder& folder, const std::string& job,
                                const std::string& name, int documents) {
    std::vector<std::string> pages;
    const std::string mupdf = folder.Path(name + "-mupdf");
    EXPECT_EQ(0, Shell("mutool draw -q -r 24 -o '" + mupdf + "-%d.ppm' '" + job + "' 2>/dev/null"))
        << "MuPDF cannot draw " << name;
    for (int page = 1; std::filesystem::exists(mupdf + "-" + std::to_string(page) + ".ppm");
         ++page) {
        pages.push_back(ReadFile(mupdf + "-" + std::to_string(page) + ".ppm"));
    }
    for (int document = 1; document <= documents; ++document) {
        const std::string gxps = folder.Path(name + "-gxps" + std::to_string(document));
        EXPECT_EQ(0, Shell("xpstopng -r 24 -d " + std::to_string(document) + " '" + job + "' '" +
                           gxps + "' 2>/dev/null"))
            << "libgxps cannot open " << name;
        for (int page = 1; std::filesystem::exists(gxps + "-" + std::to_string(page) + ".png");
             ++page) {
            pages.push_back(ReadFile(gxps + "-" + std::to_string(page) + ".png"));
        }
    }
    return pages;
}

struct TicketJob {
    const char* name;
    const char* pageTickets; // make-xps
    bool shared;             // every page names one ticket part
};

void PrintTo(const TicketJob& job, std::ostream* out) {
    *out << job.name;
}

struct ScopeCase {
    const char* scope;
    const char* kind; // the parts of that scope in the listing
    const char* settings;
    // What report reads on a page that had a ticket of its own, and on one that had none.
    const char* withTicket;
    const char* withoutTicket;
};

constexpr int kDocuments = 2;
constexpr int kPages = 3; // per document

const ScopeCase kScopes[] = {
    {"job", "sequence",
     "JobDuplexAllDocumentsContiguously=OneSided@job,param:JobCopiesAllDocuments=2@job",
     "\"duplex\": {\"value\": \"OneSided\",\"state\": \"read\",\"from\": \"job\"}",
     "\"duplex\": {\"value\": \"OneSided\",\"state\": \"read\",\"from\": \"job\"}"},
    {"document", "document", "PageOrientation=Landscape@document",
     "\"orientation\": {\"value\": \"Portrait\",\"state\": \"read\",\"from\": \"page\"}",
     "\"orientation\": {\"value\": \"Landscape\",\"state\": \"read\",\"from\": \"page\"}"},
    {"page", "page", "PageOrientation=Landscape@page,pk:Finish=pk:Glossy@page",
     "\"orientation\": {\"value\": \"Landscape\",\"state\": \"read\",\"from\": \"page\"}",
     "\"orientation\": {\"value\": \"Landscape\",\"state\": \"read\",\"from\": \"page\"}"},
};

class TicketFilterEndToEnd : public ::testing::TestWithParam<TicketJob> {};

TEST_P(TicketFilterEndToEnd, OneRewrittenTicketPerSourceTicketAtEachScope) {
    const TicketJob& job = GetParam();
    ScratchFolder folder;
    const std::string in = folder.Path("in.xps");
    ASSERT_EQ(0, Shell(std::string("python3 '" XPSTEST_MAKE_XPS "' '") + in + "' --documents " +
                       std::to_string(kDocuments) + " --pages " + std::to_string(kPages) +
                       " --page-tickets " + job.pageTickets));
    if (job.shared) {
        sharedticketjob::ShareFirstPageTicket(in);
    }
    const std::vector<Listed> source = ListParts(in);
    ASSERT_EQ(static_cast<size_t>(1 + kDocuments + kDocuments * kPages), source.size());
    const std::vector<std::string> rendered = Render(folder, in, "in", kDocuments);
    ASSERT_EQ(static_cast<size_t>(2 * kDocuments * kPages), rendered.size());

    for (const ScopeCase& scope : kScopes) {
        SCOPED_TRACE(scope.scope);
        const std::string out = folder.Path(std::string("out-") + scope.scope + ".xps");
        const std::string report = folder.Path(std::string("report-") + scope.scope + ".jsonl");
        const ToolRun run =
            RunFilterutil({"run", "--filter", std::string("ticket:") + scope.settings, "--filter",
                           "report:out=" + report, "--filter", "copy", in, out});
        ASSERT_EQ(0, run.status) << run.err;

        // Attached where they belong: every part of the scope has the rewritten ticket of its
        // old one, or the one new ticket all parts without a ticket share; the rest as they were.
        const std::vector<Listed> written = ListParts(out);
        ASSERT_EQ(source.size(), written.size());
        std::set<std::string> sourceTickets;
        std::set<std::string> writtenTickets;
        std::string shared;
        for (size_t i = 0; i < source.size(); ++i) {
            SCOPED_TRACE(source[i].uri);
            EXPECT_EQ(source[i].uri, written[i].uri);
            if (source[i].kind != scope.kind) {
                EXPECT_EQ(source[i].ticket, written[i].ticket);
                continue;
            }
            sourceTickets.insert(source[i].ticket);
            writtenTickets.insert(written[i].ticket);
            if (!source[i].ticket.empty()) {
                EXPECT_EQ(Derived(source[i].ticket, source[i].kind), written[i].ticket);
                continue;
            }
            const std::string stem =
                std::string("/METADATA/") + (source[i].kind == "page" ? "Page_" : "Doc_");
            EXPECT_EQ(0u, written[i].ticket.rfind(stem, 0)) << written[i].ticket;
            if (shared.empty()) {
                shared = written[i].ticket;
            }
            EXPECT_EQ(shared, written[i].ticket) << "ticketless parts share one new ticket";
        }
        EXPECT_EQ(sourceTickets.size(), writtenTickets.size()) << "one per distinct source ticket";

        // The report behind the ticket filter reads the new settings at that scope.
        std::istringstream lines(ReadFile(report));
        size_t page = 0;
        for (std::string line; std::getline(lines, line); ++page) {
            SCOPED_TRACE(line.substr(0, 60));
            const Listed& part = source[1 + page / kPages + 1 + page];
            ASSERT_EQ("page", part.kind);
            const char* expected = part.ticket.empty() ? scope.withoutTicket : scope.withTicket;
            EXPECT_NE(std::string::npos, line.find(expected)) << line;
        }
        EXPECT_EQ(static_cast<size_t>(kDocuments * kPages), page);

        // The rewritten tickets hold what was set: the job's parameter, the driver's feature.
        const std::string tickets = folder.Path(std::string("tickets-") + scope.scope);
        ASSERT_EQ(0, Shell("python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1])."
                           "extractall(sys.argv[2])' '" +
                           out + "' '" + tickets + "'"));
        // The first part of the scope: the sequence, the first document or the first page.
        const size_t first = std::string(scope.kind) == "sequence"   ? 0
                             : std::string(scope.kind) == "document" ? 1
                                                                     : 2;
        const std::string ticket = ReadFile(tickets + written[first].ticket);
        if (std::string(scope.scope) == "job") {
            EXPECT_NE(
                std::string::npos,
                ticket.find("<psf:ParameterInit name=\"psk:JobCopiesAllDocuments\"><psf:Value "
                            "xsi:type=\"xsd:integer\">2</psf:Value>"))
                << ticket;
        }
        if (std::string(scope.scope) == "page") {
            EXPECT_NE(std::string::npos, ticket.find("<psf:Feature name=\"pk:Finish\"><psf:Option "
                                                     "name=\"pk:Glossy\"/>"))
                << ticket;
        }

        // The output opens in MuPDF and libgxps and renders like the input.
        const std::vector<std::string> after =
            Render(folder, out, std::string("out-") + scope.scope, kDocuments);
        ASSERT_EQ(rendered.size(), after.size());
        for (size_t i = 0; i < rendered.size(); ++i) {
            EXPECT_TRUE(rendered[i] == after[i]) << "rendering " << i << " differs";
        }
    }
}

// --- Ticket names that meet ---

// A structure part of a job and the ticket it is given.
struct Wiring {
    const char* part;
    const char* ticket;
};

constexpr const char* kSequence = "/FixedDocumentSequence.fdseq";
constexpr const char* kDocument = "/Documents/1/FixedDocument.fdoc";
constexpr const char* kPage1 = "/Documents/1/Pages/1.fpage";
constexpr const char* kPage2 = "/Documents/1/Pages/2.fpage";

// Gives every structure part of a make-xps job the ticket the wiring names, in place of its
// own. Each distinct ticket is a part of its own that says Portrait and carries its number in
// order of first mention, so that a part's ticket tells which ticket it came from.
constexpr char kRewire[] = R"(import re, sys, zipfile
src = zipfile.ZipFile(sys.argv[1])
items = [(i.filename, src.read(i.filename)) for i in src.infolist()]
src.close()
wiring = dict(a.split('=') for a in sys.argv[2:])
numbers = {}
for ticket in wiring.values():
    numbers.setdefault(ticket, len(numbers) + 1)
def rels(part):
    folder, name = part.rsplit('/', 1)
    return (folder + '/_rels/' + name + '.rels')[1:]
ticket = ('<psf:PrintTicket xmlns:psf="http://schemas.microsoft.com/windows/2003/08/printing/'
          'printschemaframework" xmlns:psk="http://schemas.microsoft.com/windows/2003/08/printing/'
          'printschemakeywords" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" '
          'xmlns:xsd="http://www.w3.org/2001/XMLSchema" version="1"><psf:Feature '
          'name="psk:PageOrientation"><psf:Option name="psk:Portrait"/></psf:Feature>'
          '<psf:ParameterInit name="psk:DocumentCopiesAllPages"><psf:Value '
          'xsi:type="xsd:integer">%d</psf:Value></psf:ParameterInit></psf:PrintTicket>')
with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as dst:
    for name, data in items:
        if name.endswith('_PT.xml'):
            continue
        if name.endswith('.rels'):
            data = re.sub(rb'<Relationship [^>]*printticket[^>]*/>', b'', data)
        for part, target in wiring.items():
            if name == rels(part):
                rel = ('<Relationship Id="T" Type="http://schemas.microsoft.com/xps/2005/06/'
                       'printticket" Target="%s"/>' % target)
                data = data.replace(b'</Relationships>', rel.encode() + b'</Relationships>')
        dst.writestr(name, data)
    for target, n in numbers.items():
        dst.writestr(target[1:], ticket % n)
)";

void Rewire(const ScratchFolder& folder, const std::string& path,
            const std::vector<Wiring>& wiring) {
    const std::string script = folder.Path("rewire.py");
    WriteFile(script, kRewire);
    std::string command = "python3 '" + script + "' '" + path + "'";
    for (const Wiring& w : wiring) {
        command += std::string(" '") + w.part + "=" + w.ticket + "'";
    }
    ASSERT_EQ(0, Shell(command)) << command;
}

// A structure part of a job as our reader reads it: its name, and its ticket's name and bytes.
struct PartTicket {
    std::string part;
    std::string ticket;
    std::string bytes;
};

template <class Part>
void AddTicketOf(Part* part, std::vector<PartTicket>& tickets) {
    PartTicket read;
    CComBSTR uri;
    EXPECT_EQ(S_OK, part->GetUri(&uri));
    read.part = xpsjob::Narrow(uri);
    CComPtr<IPartPrintTicket> ticket;
    if (part->GetPrintTicket(&ticket) == S_OK && ticket) {
        read.ticket = xpsjob::UriOf(ticket);
        read.bytes = xpsjob::ReadAll(ticket);
    }
    tickets.push_back(read);
}

std::vector<PartTicket> ReadTickets(const std::string& job) {
    std::vector<PartTicket> tickets;
    CComPtr<IXpsDocumentProvider> reader = xpsjob::OpenReader(job);
    for (CComPtr<IUnknown> part; reader && reader->GetXpsPart(&part) == S_OK && part;
         part.Release()) {
        if (CComPtr<IFixedDocumentSequence> sequence; SUCCEEDED(part.QueryInterface(&sequence))) {
            AddTicketOf(sequence.p, tickets);
        } else if (CComPtr<IFixedDocument> document; SUCCEEDED(part.QueryInterface(&document))) {
            AddTicketOf(document.p, tickets);
        } else if (CComPtr<IFixedPage> page; SUCCEEDED(part.QueryInterface(&page))) {
            AddTicketOf(page.p, tickets);
        }
    }
    return tickets;
}

struct NamesCase {
    const char* name;
    const char* job;                 // make-xps
    std::vector<Wiring> wiring;      // every structure part of the job
    std::vector<std::string> scopes; // edited: job, document, page
};

void PrintTo(const NamesCase& c, std::ostream* out) {
    *out << c.name;
}

std::string ScopeOf(const std::string& part) {
    const std::string extension = part.substr(part.rfind('.'));
    return extension == ".fdseq" ? "job" : (extension == ".fdoc" ? "document" : "page");
}

class TicketFilterNames : public ::testing::TestWithParam<NamesCase> {};

// Through the ticket filter and the package writer: the job is written, every part's ticket
// came from its own old ticket and holds the edits of its scope (the parts of a scope not
// edited keep their old ticket as it was), and the parts of an edited scope that shared an old
// ticket share one rewrite, while no two different tickets share a name.
TEST_P(TicketFilterNames, EveryPartKeepsItsOwnTicket) {
    const NamesCase& c = GetParam();
    ScratchFolder folder;
    const std::string in = folder.Path("in.xps");
    ASSERT_EQ(0, Shell(std::string("python3 '" XPSTEST_MAKE_XPS "' '") + in + "' " + c.job +
                       " --page-tickets every"));
    Rewire(folder, in, c.wiring);
    const std::vector<PartTicket> source = ReadTickets(in);
    ASSERT_EQ(c.wiring.size(), source.size());

    std::string settings;
    for (const std::string& scope : c.scopes) {
        settings +=
            (settings.empty() ? "" : ",") + std::string("PageOrientation=Landscape@") + scope;
    }
    const std::string out = folder.Path("out.xps");
    const ToolRun run = RunFilterutil({"run", "--filter", "ticket:" + settings, in, out});
    ASSERT_EQ(0, run.status) << run.err;

    const std::vector<PartTicket> written = ReadTickets(out);
    ASSERT_EQ(source.size(), written.size());
    std::map<std::string, std::string> rewriteOf; // scope and old ticket: the rewrite's name
    std::map<std::string, std::string> bytesOf;   // every ticket name written: its bytes
    for (size_t i = 0; i < source.size(); ++i) {
        const PartTicket& before = source[i];
        const PartTicket& after = written[i];
        SCOPED_TRACE(before.part + " with " + before.ticket);
        ASSERT_EQ(before.part, after.part);
        ASSERT_FALSE(after.ticket.empty());
        const size_t number = before.bytes.find("xsd:integer");
        ASSERT_NE(std::string::npos, number);
        const std::string marker =
            before.bytes.substr(number, before.bytes.find("</psf:Value>", number) - number);
        EXPECT_NE(std::string::npos, after.bytes.find(marker)) << "another part's ticket\n"
                                                               << after.bytes;
        const std::string scope = ScopeOf(before.part);
        const bool edited = std::find(c.scopes.begin(), c.scopes.end(), scope) != c.scopes.end();
        if (!edited) {
            EXPECT_EQ(before.ticket, after.ticket);
            EXPECT_EQ(before.bytes, after.bytes);
        } else {
            EXPECT_NE(std::string::npos, after.bytes.find("psk:Landscape")) << after.bytes;
            EXPECT_NE(before.ticket, after.ticket);
            const auto [known, first] =
                rewriteOf.emplace(scope + " " + before.ticket, after.ticket);
            EXPECT_EQ(known->second, after.ticket) << "parts sharing a ticket share its rewrite";
        }
        const auto [named, fresh] = bytesOf.emplace(after.ticket, after.bytes);
        EXPECT_EQ(named->second, after.bytes) << "two tickets under one name";
    }
}

constexpr const char* kOneDocument = "--documents 1 --pages 2";
constexpr const char* kJobTicket = "/Metadata/Job_PT.xml";
constexpr const char* kDocumentTicket = "/Documents/1/Metadata/Document_PT.xml";

INSTANTIATE_TEST_SUITE_P(
    Collisions, TicketFilterNames,
    ::testing::Values(NamesCase{"TheJobTicketAlsoOnAPage",
                                kOneDocument,
                                {{kSequence, kJobTicket},
                                 {kDocument, kDocumentTicket},
                                 {kPage1, kJobTicket},
                                 {kPage2, "/Documents/1/Metadata/Page2_PT.xml"}},
                                {"job"}},
                      NamesCase{"APageNamedTicketAlsoOnItsDocument",
                                kOneDocument,
                                {{kSequence, kJobTicket},
                                 {kDocument, "/Documents/1/Metadata/Page_PT_p.xml"},
                                 {kPage1, "/Documents/1/Metadata/Page_PT_p.xml"},
                                 {kPage2, "/Documents/1/Metadata/Page_PT_p.xml"}},
                                {"page"}},
                      NamesCase{"ADocumentNamedTicketAlsoOnTheJob",
                                kOneDocument,
                                {{kSequence, "/Metadata/Doc_PT_d.xml"},
                                 {kDocument, "/Metadata/Doc_PT_d.xml"},
                                 {kPage1, "/Documents/1/Metadata/Page1_PT.xml"},
                                 {kPage2, "/Documents/1/Metadata/Page2_PT.xml"}},
                                {"document"}},
                      NamesCase{"ATicketAndOneNamedAsItsRewrite",
                                kOneDocument,
                                {{kSequence, kJobTicket},
                                 {kDocument, kDocumentTicket},
                                 {kPage1, "/Documents/1/Metadata/T.xml"},
                                 {kPage2, "/Documents/1/Metadata/T_p.xml"}},
                                {"page"}},
                      NamesCase{"ATicketNamedAsTheRewriteOfALaterOne",
                                kOneDocument,
                                {{kSequence, kJobTicket},
                                 {kDocument, kDocumentTicket},
                                 {kPage1, "/Documents/1/Metadata/T_p.xml"},
                                 {kPage2, "/Documents/1/Metadata/T.xml"}},
                                {"page"}},
                      NamesCase{"AJobTicketNamedAsAPagesRewrite",
                                kOneDocument,
                                {{kSequence, "/Documents/1/Metadata/P_p.xml"},
                                 {kDocument, kDocumentTicket},
                                 {kPage1, "/Documents/1/Metadata/P.xml"},
                                 {kPage2, "/Documents/1/Metadata/P.xml"}},
                                {"page"}},
                      NamesCase{"RewritesOfTwoScopesMeet",
                                kOneDocument,
                                {{kSequence, kJobTicket},
                                 {kDocument, "/Documents/1/Metadata/X_p.xml"},
                                 {kPage1, "/Documents/1/Metadata/X.xml"},
                                 {kPage2, "/Documents/1/Metadata/X_p.xml"}},
                                {"document", "page"}},
                      NamesCase{
                          "APageTicketNamedAsALaterDocumentsRewrite",
                          "--documents 2 --pages 1",
                          {{kSequence, kJobTicket},
                           {kDocument, kDocumentTicket},
                           {kPage1, "/Documents/2/Metadata/D_d.xml"},
                           {"/Documents/2/FixedDocument.fdoc", "/Documents/2/Metadata/D.xml"},
                           {"/Documents/2/Pages/1.fpage", "/Documents/2/Metadata/Page1_PT.xml"}},
                          {"document"}},
                      NamesCase{"OneTicketForEveryPart",
                                kOneDocument,
                                {{kSequence, kJobTicket},
                                 {kDocument, kJobTicket},
                                 {kPage1, kJobTicket},
                                 {kPage2, kJobTicket}},
                                {"job", "document", "page"}}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(Jobs, TicketFilterEndToEnd,
                         ::testing::Values(TicketJob{"SharedByEveryPage", "every", true},
                                           TicketJob{"OnTheFirstPage", "first", false},
                                           TicketJob{"OnNoPage", "none", false}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
