// filterutil xps list and xps copy end to end: real jobs copied, listed and rendered by MuPDF
// and libgxps, a job written by Ghostscript, and bad input refused without output.
#include "tools/toolrunner.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>

namespace {

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

// The listing without the sizes of the markup the writer makes anew (sequence and documents).
std::vector<std::string> Comparable(const std::string& listing) {
    std::vector<std::string> lines;
    const std::regex sizes(" stored [0-9]+ full [0-9]+");
    for (const std::string& line : Lines(listing)) {
        const bool regenerated = line.rfind("sequence ", 0) == 0 || line.rfind("document ", 0) == 0;
        lines.push_back(regenerated ? std::regex_replace(line, sizes, "") : line);
    }
    return lines;
}

// Renders every page of job with MuPDF into folder/prefix-N.ppm; answers the page images.
std::vector<std::string> Render(const ScratchFolder& folder, const std::string& job,
                                const std::string& prefix) {
    const std::string pattern = folder.Path(prefix + "-%d.ppm");
    EXPECT_EQ(0, Shell("mutool draw -q -r 24 -o '" + pattern + "' '" + job + "' 2>/dev/null"))
        << "mutool draw failed on " << job << " (is mupdf-tools installed?)";
    std::vector<std::string> pages;
    for (int page = 1;; ++page) {
        const std::string path = folder.Path(prefix + "-" + std::to_string(page) + ".ppm");
        if (!std::filesystem::exists(path)) {
            break;
        }
        pages.push_back(ReadFile(path));
    }
    return pages;
}

void ExpectRoundTrip(const ScratchFolder& folder, const std::string& in, size_t pages,
                     int documents = 1) {
    const std::string out = folder.Path("out.xps");
    const ToolRun copy = RunFilterutil({"xps", "copy", in, out});
    ASSERT_EQ(0, copy.status) << copy.err;
    EXPECT_EQ("", copy.err);

    const ToolRun listIn = RunFilterutil({"xps", "list", in});
    const ToolRun listOut = RunFilterutil({"xps", "list", out});
    ASSERT_EQ(0, listIn.status) << listIn.err;
    ASSERT_EQ(0, listOut.status) << listOut.err;
    EXPECT_EQ(Comparable(listIn.out), Comparable(listOut.out));

    const std::vector<std::string> before = Render(folder, in, "in");
    const std::vector<std::string> after = Render(folder, out, "out");
    EXPECT_EQ(pages, before.size());
    ASSERT_EQ(before.size(), after.size());
    for (size_t page = 0; page < before.size(); ++page) {
        EXPECT_TRUE(before[page] == after[page]) << "page " << page + 1 << " renders differently";
    }
    // libgxps renders one fixed document at a time.
    size_t rendered = 0;
    for (int document = 1; document <= documents; ++document) {
        const std::string prefix = folder.Path("gxps" + std::to_string(document));
        EXPECT_EQ(0, Shell("xpstopng -r 24 -d " + std::to_string(document) + " '" + out + "' '" +
                           prefix + "' 2>/dev/null"))
            << "libgxps cannot open the copy (is libgxps-utils installed?)";
        for (int page = 1; std::filesystem::exists(prefix + "-" + std::to_string(page) + ".png");
             ++page) {
            ++rendered;
        }
    }
    EXPECT_EQ(pages, rendered);
}

struct RoundTripCase {
    const char* arguments;
    size_t pages;
    int documents = 1;
};

void PrintTo(const RoundTripCase& test, std::ostream* out) {
    *out << test.arguments;
}

class XpsRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(XpsRoundTrip, CopyListsAndRendersTheSame) {
    ScratchFolder folder;
    const std::string in = folder.Path("in.xps");
    ASSERT_EQ(0, Shell(std::string("python3 '" XPSTEST_MAKE_XPS "' '") + in + "' " +
                       GetParam().arguments));
    ExpectRoundTrip(folder, in, GetParam().pages, GetParam().documents);
}

INSTANTIATE_TEST_SUITE_P(
    MakeXps, XpsRoundTrip,
    ::testing::Values(
        RoundTripCase{"--pages 2 --lines 6", 2},
        RoundTripCase{"--openxps --pages 2 --lines 6 --page-tickets every", 2},
        RoundTripCase{"--pieces 3 --store --pages 2 --lines 6 --page-tickets none", 2},
        RoundTripCase{"--documents 2 --pages 2 --lines 6 --openxps --pieces 2", 4, 2}));

TEST(XpsRoundTrip, JobWrittenByGhostscript) {
    ScratchFolder folder;
    WriteFile(folder.Path("in.ps"),
              "%!PS\n/Helvetica findfont 24 scalefont setfont\n"
              "72 700 moveto (A job no code of ours wrote) show\n"
              "0.2 0.4 0.8 setrgbcolor 72 400 200 150 rectfill showpage\n"
              "72 700 moveto (Second page) show 1 0 0 setrgbcolor 100 100 moveto 300 500 lineto "
              "8 setlinewidth stroke showpage\n");
    ASSERT_EQ(0, Shell("gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=xpswrite -o '" +
                       folder.Path("in.xps") + "' '" + folder.Path("in.ps") + "'"))
        << "Ghostscript's xpswrite failed (is ghostscript installed?)";
    ExpectRoundTrip(folder, folder.Path("in.xps"), 2);
}

TEST(XpsList, ShowsFlavourPartsTicketsAndResources) {
    ScratchFolder folder;
    const std::string job = folder.Path("job.xps");
    ASSERT_EQ(0, Shell(std::string("python3 '" XPSTEST_MAKE_XPS "' '") + job +
                       "' --openxps --pages 2 --lines 1"));
    const ToolRun text = RunFilterutil({"xps", "list", job});
    ASSERT_EQ(0, text.status) << text.err;
    const std::vector<std::string> lines = Lines(text.out);
    ASSERT_EQ(8u, lines.size()) << text.out;
    EXPECT_EQ("flavour OpenXPS", lines[0]);
    EXPECT_EQ("xps-document /", lines[1]);
    EXPECT_EQ(0u, lines[2].rfind("sequence /FixedDocumentSequence.fdseq "
                                 "application/vnd.ms-package.xps-fixeddocumentsequence+xml stored ",
                                 0));
    EXPECT_NE(std::string::npos, lines[2].find(" ticket /Metadata/Job_PT.xml"));
    EXPECT_NE(std::string::npos, lines[4].find(" ticket /Documents/1/Metadata/Page1_PT.xml"));
    EXPECT_EQ(0u, lines[5].rfind("  font /Resources/Fonts/Font0.ttf application/vnd.ms-opentype "
                                 "stored ",
                                 0));
    EXPECT_EQ(std::string::npos, lines[6].find("ticket"));

    const ToolRun json = RunFilterutil({"xps", "list", "--json", job});
    ASSERT_EQ(0, json.status) << json.err;
    EXPECT_NE(std::string::npos, json.out.find("\"flavour\": \"OpenXPS\""));
    EXPECT_NE(std::string::npos, json.out.find("\"printTicket\": null"));
    EXPECT_NE(std::string::npos, json.out.find("\"kind\": \"font\""));
    EXPECT_NE(std::string::npos, json.out.find("\"fullSize\": "));
}

TEST(XpsCommands, BadInputGivesOneLineExitTwoAndNoOutput) {
    ScratchFolder folder;
    WriteFile(folder.Path("text.xps"), "not a package");
    ASSERT_EQ(0, Shell(std::string("python3 '" XPSTEST_MAKE_XPS "' '") + folder.Path("good.xps") +
                       "' --pages 1 --lines 1"));
    ASSERT_EQ(0, Shell("cd '" + folder.Path("") + "' && cp good.xps evil.xps && " +
                       "python3 -c \"import zipfile; z = zipfile.ZipFile('evil.xps', 'a'); "
                       "z.writestr('../../escape.txt', 'x'); z.close()\""));
    const std::vector<std::vector<std::string>> runs = {
        {"xps", "copy", folder.Path("missing.xps"), folder.Path("out.xps")},
        {"xps", "copy", folder.Path("text.xps"), folder.Path("out.xps")},
        {"xps", "copy", folder.Path("evil.xps"), folder.Path("out.xps")},
        {"xps", "copy", folder.Path("good.xps"), "/dev/full"},
        {"xps", "copy", folder.Path("good.xps"), folder.Path("")},
        {"xps", "copy", folder.Path("good.xps"), ""},
        {"xps", "list", folder.Path("evil.xps")},
        {"xps", "list"},
        {"xps", "copy", folder.Path("good.xps")},
    };
    for (const auto& arguments : runs) {
        SCOPED_TRACE(::testing::PrintToString(arguments));
        const ToolRun run = RunFilterutil(arguments);
        EXPECT_EQ(2, run.status);
        EXPECT_EQ(1u, Lines(run.err).size()) << run.err;
        EXPECT_EQ(0u, run.err.rfind("filterutil: ", 0)) << run.err;
        EXPECT_FALSE(std::filesystem::exists(folder.Path("out.xps")));
    }
    EXPECT_FALSE(std::filesystem::exists(folder.Path("../escape.txt")));
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder.Path(""))) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(std::vector<std::string>({"evil.xps", "good.xps", "text.xps"}), names);
}

} // namespace
