// The filters built into filterutil run: report writes one JSON line of typed settings per
// page while copy sends the job on unchanged; their options are checked before the job runs.
#include "tools/toolrunner.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace {

int Shell(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void MakeJob(const std::string& path, const std::string& arguments) {
    ASSERT_EQ(0, Shell(std::string("python3 '" XPSTEST_MAKE_XPS "' '") + path + "' " + arguments));
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

// The job's parts, as xps list shows them, less the sequence and document markup (made anew).
std::string Listing(const std::string& job) {
    const ToolRun list = RunFilterutil({"xps", "list", job});
    EXPECT_EQ(0, list.status) << list.err;
    std::string kept;
    for (const std::string& line : Lines(list.out)) {
        if (line.rfind("sequence ", 0) != 0 && line.rfind("document ", 0) != 0) {
            kept += line + '\n';
        }
    }
    return kept;
}

TEST(BuiltinFilters, ReportWritesALinePerPageAndCopyPassesTheJobOn) {
    ScratchFolder folder;
    const std::string in = folder.Path("in.xps");
    MakeJob(in, "--documents 2 --pages 3 --page-tickets first");
    const std::string out = folder.Path("out.xps");
    const std::string report = folder.Path("report.jsonl");
    const ToolRun run =
        RunFilterutil({"run", "--filter", "report:out=" + report, "--filter", "copy", in, out});
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_EQ(Listing(in), Listing(out));

    const std::vector<std::string> lines = Lines(ReadFile(report));
    ASSERT_EQ(6u, lines.size()) << ReadFile(report);
    for (size_t i = 0; i < lines.size(); ++i) {
        SCOPED_TRACE(lines[i]);
        const size_t document = i / 3 + 1;
        const std::string head = "{\"document\": " + std::to_string(document) +
                                 ",\"page\": " + std::to_string(i + 1) + ",\"uri\": \"/Documents/" +
                                 std::to_string(document) + "/Pages/" + std::to_string(i % 3 + 1) +
                                 ".fpage\"";
        EXPECT_EQ(0u, lines[i].rfind(head, 0));
        EXPECT_EQ('}', lines[i].back());
        for (const char* key : {"duplex", "orientation", "pageScaling", "pageMediaSize",
                                "bookletBinding", "nUp", "outputPaperSize"}) {
            EXPECT_NE(std::string::npos, lines[i].find(std::string("\"") + key + "\": {\"value\""))
                << key;
        }
        // The job ticket's duplex reaches every page through the merge.
        EXPECT_NE(
            std::string::npos,
            lines[i].find("\"duplex\": {\"value\": \"TwoSidedLongEdge\",\"state\": \"read\""));
    }

    // Without out= the report goes to standard error.
    const ToolRun toStandardError =
        RunFilterutil({"run", "--filter", "report", in, folder.Path("second.xps")});
    ASSERT_EQ(0, toStandardError.status) << toStandardError.err;
    EXPECT_EQ(ReadFile(report), toStandardError.err);
}

TEST(BuiltinFilters, BadFilterOptionsAreRefusedBeforeTheJob) {
    ScratchFolder folder;
    const std::string in = folder.Path("in.xps");
    MakeJob(in, "--pages 1");
    const std::string inBytes = ReadFile(in);
    const std::string out = folder.Path("out.xps");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"copy:out=x", "takes no option out"},
        {"report:out", "is not KEY=VALUE"},
        {"report:=x", "is not KEY=VALUE"},
        {"report:out=", "is not KEY=VALUE"},
        {"report:out=a,out=b", "given twice"},
        {"report:merge=no", "merge of report is on or off"},
        {"report:out=" + in, "is the job's IN, OUT or --ticket"},
        {"report:out=" + out, "is the job's OUT"},
        {"report:out=" + folder.Path("missing/report"), "cannot be opened"},
        {"reprot",
         "no filter is named \"reprot\" (built-in filters: copy, report, ticket, watermark)"},
        {"ticket", "the filter ticket needs settings"},
        {"ticket:PageOrientation=Landscape", "names no scope"},
        {"ticket:PageOrientation=Landscape@sheet", "does not end in @job, @document or @page"},
        {"ticket:x:PageOrientation=Landscape@page", "is not a Print Schema name"},
        {"ticket:PageOrientation=pk:@page", "the option \"pk:\" of ticket is not a Print"},
        {"ticket:param:JobCopies=@job", "has no value"},
        {"ticket:param:psk:1st=2@job", "the parameter \"psk:1st\" of ticket is not a Print"},
        {"ticket:PageOrientation=Landscape@page,psk:PageOrientation=Portrait@page",
         "sets what another option sets at that scope"},
        {"ticket:param:pk:Note=a\x01"
         "b@job",
         "holds U+0001, a character XML cannot carry"},
        {"watermark:size=3", "takes no option size"},
        {"watermark:text=a,stamp=1", "one of text=, stamp= and settings="},
        {"watermark:stamp=8", "stamp is a whole number from 0 to 7"},
        {"watermark:stamp=-", "stamp is a whole number from 0 to 7"},
        {"watermark:angle=30", "angle goes with text= or stamp="},
        {"watermark:text=a,angle=30.5", "angle is a whole number"},
        {"watermark:settings=<Type>0</Type>,parameter=2", "parameter names the job's own"},
        {"watermark:parameter=99999999999", "parameter is a whole number"},
        {"watermark:text=\xC3", "text is not UTF-8 text"},
        {"watermark:text=A</KldWmText>B", "text may not hold '<' before a letter or '/'"},
        {"watermark:text=<FontFace>Courier</FontFace>Draft", "text may not hold '<'"},
    };
    for (const auto& [filter, message] : cases) {
        SCOPED_TRACE(filter);
        const ToolRun run = RunFilterutil({"run", "--filter", filter, in, out});
        EXPECT_EQ(2, run.status);
        EXPECT_NE(std::string::npos, run.err.find(message)) << run.err;
        EXPECT_EQ(inBytes, ReadFile(in));
        EXPECT_EQ((std::vector<std::string>{"in.xps"}), folder.Entries());
    }

    // A report file shared with another file of the job is refused before it is emptied.
    const std::string ticket = folder.Path("ticket.xml");
    const std::string report = folder.Path("report.jsonl");
    WriteFile(ticket, "<kept/>");
    const std::vector<std::pair<std::vector<std::string>, std::string>> shared = {
        {{"--ticket", ticket, "--filter", "report:out=" + ticket},
         "is the job's IN, OUT or --ticket"},
        {{"--filter", "report:out=" + report, "--filter",
          "report:out=" + folder.Path("./report.jsonl")},
         "is given to two report filters"},
    };
    for (const auto& [options, message] : shared) {
        SCOPED_TRACE(::testing::PrintToString(options));
        std::vector<std::string> arguments{"run"};
        arguments.insert(arguments.end(), options.begin(), options.end());
        arguments.insert(arguments.end(), {in, out});
        const ToolRun run = RunFilterutil(arguments);
        EXPECT_EQ(2, run.status);
        EXPECT_NE(std::string::npos, run.err.find(message)) << run.err;
        EXPECT_EQ("<kept/>", ReadFile(ticket));
        EXPECT_FALSE(std::filesystem::exists(out));
    }
}

TEST(BuiltinFilters, AReportThatCannotBeWrittenFailsTheJob) {
    ScratchFolder folder;
    const std::string in = folder.Path("in.xps");
    MakeJob(in, "--pages 2");
    const ToolRun run = RunFilterutil({"run", "--filter", "report:out=/dev/full", "--filter",
                                       "copy", in, folder.Path("out.xps")});
    EXPECT_EQ(1, run.status);
    EXPECT_NE(std::string::npos, run.err.find("filter report failed")) << run.err;
    EXPECT_EQ((std::vector<std::string>{"in.xps"}), folder.Entries());
}

} // namespace
