// The built-in filters end to end over real jobs: the settings report gives for every page are
// those of the job's tickets merged onto the user's default ticket (worked out here with the
// PrintTicket provider and the page view directly), or of the part tickets as they stand
// with merging off; the output of copy renders like its input, pixel for pixel.
#include "tools/toolrunner.h"

#include "filterutilities/printschematestsupport.h"

#include <filterutilities/xpsfilterprintticket.h>

#include "jsonwriter.h"
#include "typedsettings.h"

#include <handleapi.h>
#include <objbase.h>
#include <prntvpt.h>
#include <processthreadsapi.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace {

constexpr char kPrinter[] = "FilterUtilities XPS Printer";

int Shell(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// The stream's bytes from its start.
std::string BytesOf(IStream* stream) {
    LARGE_INTEGER start{};
    stream->Seek(start, STREAM_SEEK_SET, nullptr);
    std::string bytes;
    char buffer[4096];
    ULONG read = 0;
    while (SUCCEEDED(stream->Read(buffer, sizeof(buffer), &read)) && read > 0) {
        bytes.append(buffer, read);
    }
    return bytes;
}

CComPtr<IStream> StreamOf(const std::string& bytes) {
    CComPtr<IStream> stream;
    EXPECT_EQ(S_OK, CreateStreamOnHGlobal(nullptr, TRUE, &stream));
    ULONG written = 0;
    stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written);
    LARGE_INTEGER start{};
    stream->Seek(start, STREAM_SEEK_SET, nullptr);
    return stream;
}

// The settings a filter's page view gives over these tickets, as report writes them after the
// page's position.
class Expectation {
public:
    Expectation() {
        EXPECT_TRUE(
            OpenProcessToken(GetCurrentProcess(), TOKEN_IMPERSONATE | TOKEN_QUERY, &token_));
        EXPECT_EQ(S_OK, PTOpenProvider(printer_.c_str(), 1, &provider_));
    }
    ~Expectation() {
        PTCloseProvider(provider_);
        CloseHandle(token_);
    }
    Expectation(const Expectation&) = delete;
    Expectation& operator=(const Expectation&) = delete;

    std::string Merge(const std::string& base, const std::string& delta, EPrintTicketScope scope) {
        CComPtr<IStream> result;
        EXPECT_EQ(S_OK, CreateStreamOnHGlobal(nullptr, TRUE, &result));
        CComBSTR error;
        const HRESULT hr = PTMergeAndValidatePrintTicket(provider_, StreamOf(base), StreamOf(delta),
                                                         scope, result, &error);
        EXPECT_TRUE(SUCCEEDED(hr)) << std::hex << hr;
        return BytesOf(result);
    }

    std::string Settings(const std::string& defaultTicket, const std::string& job,
                         const std::string& document, const std::string& page,
                         const std::string* merged) {
        using printschematest::LoadBytes;
        const CComPtr<IXMLDOMDocument2> tickets[] = {
            LoadBytes(defaultTicket), LoadBytes(job), LoadBytes(document), LoadBytes(page),
            merged ? LoadBytes(*merged) : CComPtr<IXMLDOMDocument2>()};
        XpsFilterPrintTicket view;
        view.Initialize(kPTPageScope, tickets[0], tickets[1], tickets[2], tickets[3], tickets[4],
                        CXString(printer_.c_str()), token_);
        std::ostringstream line;
        {
            filterutil::JsonWriter writer(line, true);
            writer.BeginObject();
            for (const filterutil::Answer& answer : filterutil::AskAll(view)) {
                writer.Key(answer.name);
                filterutil::WriteAnswerJson(writer, answer);
            }
            writer.EndObject();
        }
        std::string text = line.str();
        return text.substr(1, text.size() - 3); // without the braces and the newline
    }

private:
    std::u16string printer_ = u"FilterUtilities XPS Printer";
    HANDLE token_ = nullptr;
    HPTPROVIDER provider_ = nullptr;
};

struct JobCase {
    const char* arguments; // make-xps
    int documents;
    int pages;           // per document
    bool pageTickets[2]; // on page 1, on the later pages
};

void PrintTo(const JobCase& test, std::ostream* out) {
    *out << test.arguments;
}

class FiltersEndToEnd : public ::testing::TestWithParam<JobCase> {
protected:
    void SetUp() override { ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)); }
    void TearDown() override { CoUninitialize(); }
};

TEST_P(FiltersEndToEnd, ReportGivesTheMergedSettingsAndCopyRendersAlike) {
    const JobCase& test = GetParam();
    ScratchFolder folder;
    const std::string in = folder.Path("in.xps");
    ASSERT_EQ(0,
              Shell(std::string("python3 '" XPSTEST_MAKE_XPS "' '") + in + "' " + test.arguments));
    ASSERT_EQ(0, Shell("python3 -c 'import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); "
                       "z.extractall(sys.argv[2], [n for n in z.namelist() if "
                       "n.endswith(\"_PT.xml\")])' '" +
                       in + "' '" + folder.Path("tickets") + "'"));
    const std::string defaultPath =
        std::string(FILTERUTILITIES_EXAMPLES) + "/tickets/job-ticket-a4-duplex.xml";
    const std::string defaultTicket = ReadFile(defaultPath);

    Expectation expectation;
    const std::string jobTicket = ReadFile(folder.Path("tickets/Metadata/Job_PT.xml"));
    const std::string jobMerged = expectation.Merge(defaultTicket, jobTicket, kPTJobScope);
    for (const bool merge : {true, false}) {
        SCOPED_TRACE(merge ? "merging" : "not merging");
        const std::string report = folder.Path("report.jsonl");
        const std::string out = folder.Path("out.xps");
        const ToolRun run = RunFilterutil(
            {"run", "--printer", kPrinter, "--ticket", defaultPath, "--filter",
             "report:out=" + report + (merge ? "" : ",merge=off"), "--filter", "copy", in, out});
        ASSERT_EQ(0, run.status) << run.err;
        const std::vector<std::string> lines = Lines(ReadFile(report));
        ASSERT_EQ(static_cast<size_t>(test.documents * test.pages), lines.size());
        int pageOfJob = 0;
        for (int document = 1; document <= test.documents; ++document) {
            const std::string metadata =
                folder.Path("tickets/Documents/" + std::to_string(document) + "/Metadata/");
            const std::string documentTicket = ReadFile(metadata + "Document_PT.xml");
            const std::string documentMerged =
                expectation.Merge(jobMerged, documentTicket, kPTDocumentScope);
            for (int page = 1; page <= test.pages; ++page) {
                SCOPED_TRACE("document " + std::to_string(document) + ", page " +
                             std::to_string(page));
                // A page without a ticket shares its document's.
                const std::string pagePath = metadata + "Page" + std::to_string(page) + "_PT.xml";
                const bool own = std::filesystem::exists(pagePath);
                EXPECT_EQ(test.pageTickets[page == 1 ? 0 : 1], own);
                const std::string pageTicket = own ? ReadFile(pagePath) : documentTicket;
                const std::string pageMerged =
                    expectation.Merge(documentMerged, pageTicket, kPTPageScope);
                const std::string expected =
                    expectation.Settings(defaultTicket, jobTicket, documentTicket, pageTicket,
                                         merge ? &pageMerged : nullptr);
                const std::string& line = lines[static_cast<size_t>(pageOfJob++)];
                const std::string head = "{\"document\": " + std::to_string(document) +
                                         ",\"page\": " + std::to_string(pageOfJob) + ",";
                ASSERT_EQ(0u, line.rfind(head, 0)) << line;
                const size_t settings = line.find(",\"duplex\"");
                ASSERT_NE(std::string::npos, settings) << line;
                EXPECT_EQ(expected, line.substr(settings + 1, line.size() - settings - 2));
            }
        }
        if (!merge) {
            continue;
        }
        // The copy renders like the job, page for page.
        ASSERT_EQ(0, Shell("mutool draw -q -r 24 -o '" + folder.Path("in-%d.ppm") + "' '" + in +
                           "' 2>/dev/null && mutool draw -q -r 24 -o '" +
                           folder.Path("out-%d.ppm") + "' '" + out + "' 2>/dev/null"))
            << "mutool draw failed (is mupdf-tools installed?)";
        for (int page = 1; page <= test.documents * test.pages; ++page) {
            SCOPED_TRACE("rendered page " + std::to_string(page));
            const std::string before = folder.Path("in-" + std::to_string(page) + ".ppm");
            ASSERT_TRUE(std::filesystem::exists(before));
            EXPECT_TRUE(ReadFile(before) ==
                        ReadFile(folder.Path("out-" + std::to_string(page) + ".ppm")));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Jobs, FiltersEndToEnd,
    ::testing::Values(JobCase{"--pages 3 --page-tickets every", 1, 3, {true, true}},
                      JobCase{"--documents 2 --pages 2 --page-tickets first", 2, 2, {true, false}},
                      JobCase{"--documents 2 --pages 2 --page-tickets none", 2, 2, {false, false}},
                      JobCase{"--documents 2 --pages 2 --openxps", 2, 2, {true, false}},
                      JobCase{"--pages 2 --pieces 3 --store", 1, 2, {true, false}},
                      JobCase{"--pages 2 --openxps --pieces 2 --store --page-tickets first",
                              1,
                              2,
                              {true, false}}));

} // namespace
