// filterutil run end to end: jobs copied by the host and carried through filters from a
// module named in a configuration file, filters that fail named with their HRESULT, bad input
// refused in one line, and OUT written by the rules of every command (the same file read and
// written, links, devices, FIFOs, a disk that fills) with nothing left behind on failure.
#include "tools/toolrunner.h"

#include "../platform/pipeline/module/testfiltermodule.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr char kPartsConnections[] = "<Input guid=\"{B8CF8530-5562-47C4-AB67-B1F69ECF961E}\"/>"
                                     "<Output guid=\"{4368D8A2-4181-4A9F-B295-3D9A38BB9BA0}\"/>";
constexpr char kBytesConnections[] = "<Input guid=\"{4D47A67C-66CC-4430-850E-DAF466FE5BC4}\"/>"
                                     "<Output guid=\"{65BB7F1B-371E-4571-8AC7-912F510C1A38}\"/>";

int Shell(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void MakeJob(const std::string& path, int pages) {
    ASSERT_EQ(0, Shell(std::string("python3 '" XPSTEST_MAKE_XPS "' '") + path + "' --pages " +
                       std::to_string(pages) + " --lines 2"));
}

// A configuration file of filters of the test module, each "name=CLSID-text[:bytes]".
std::string WriteConfiguration(const ScratchFolder& folder,
                               const std::vector<std::pair<std::string, std::string>>& filters,
                               bool bytesInMiddle = false) {
    std::string text = "<?xml version=\"1.0\"?><Filters>";
    for (size_t i = 0; i < filters.size(); ++i) {
        const bool bytes = bytesInMiddle && i == 1;
        text += "<Filter dll=\"" TESTFILTER_MODULE "\" clsid=\"" + filters[i].second +
                "\" name=\"" + filters[i].first + "\">" +
                (bytes ? kBytesConnections : kPartsConnections) + "</Filter>";
    }
    text += "</Filters>";
    const std::string path = folder.Path("pipeline.xml");
    WriteFile(path, text);
    return path;
}

std::string Listing(const std::string& job) {
    const ToolRun list = RunFilterutil({"xps", "list", job});
    EXPECT_EQ(0, list.status) << list.err;
    // The sequence and document markup are made anew: their sizes may differ.
    std::string kept;
    size_t start = 0;
    while (start < list.out.size()) {
        const size_t end = list.out.find('\n', start);
        const std::string line = list.out.substr(start, end - start);
        if (line.rfind("sequence ", 0) != 0 && line.rfind("document ", 0) != 0) {
            kept += line + '\n';
        }
        start = end == std::string::npos ? list.out.size() : end + 1;
    }
    return kept;
}

TEST(Run, CopiesOrCarriesTheJobThroughFilters) {
    ScratchFolder folder;
    const std::string in = folder.Path("in.xps");
    MakeJob(in, 3);
    const std::string configuration =
        WriteConfiguration(folder,
                           {{"first", testfiltermodule::kPassPartsText},
                            {"bytes", testfiltermodule::kPassBytesText},
                            {"last", testfiltermodule::kPassPartsText}},
                           true);
    const std::vector<std::vector<std::string>> runs = {
        {"run", in, folder.Path("out.xps")},
        {"run", "--pipeline", configuration, in, folder.Path("out.xps")},
        {"run", "--printer", "filterutilities xps printer", "--pipeline", configuration, in,
         folder.Path("out.xps")},
    };
    for (const auto& arguments : runs) {
        SCOPED_TRACE(::testing::PrintToString(arguments));
        const ToolRun run = RunFilterutil(arguments);
        ASSERT_EQ(0, run.status) << run.err;
        EXPECT_EQ("", run.err) << "no progress line when standard error is no terminal";
        EXPECT_EQ(Listing(in), Listing(folder.Path("out.xps")));
        std::remove(folder.Path("out.xps").c_str());
    }
}

TEST(Run, AFilterThatFailsIsNamedWithItsHresult) {
    struct Case {
        const char* clsid;
        const char* words;
    };
    for (const Case& test :
         {Case{testfiltermodule::kFailAtPageTwoText,
               "filter culprit failed with 0x8004D00A: StartOperation failed"},
          Case{testfiltermodule::kShutdownAtPageOneText,
               "filter culprit failed with 0x8004D00A: asked to shut the job down"},
          Case{testfiltermodule::kNeverReadText,
               "filter culprit failed with 0x8007006D: the filter finished before reading"}}) {
        SCOPED_TRACE(test.words);
        ScratchFolder folder;
        const std::string in = folder.Path("in.xps");
        MakeJob(in, 4);
        const std::string configuration =
            WriteConfiguration(folder, {{"first", testfiltermodule::kPassPartsText},
                                        {"culprit", test.clsid},
                                        {"last", testfiltermodule::kPassPartsText}});
        const ToolRun run =
            RunFilterutil({"run", "--pipeline", configuration, in, folder.Path("out.xps")});
        EXPECT_EQ(1, run.status);
        EXPECT_EQ(0u, run.err.rfind(std::string("filterutil: ") + test.words, 0)) << run.err;
        EXPECT_EQ(1, std::count(run.err.begin(), run.err.end(), '\n')) << run.err;
        EXPECT_EQ(std::vector<std::string>({"in.xps", "pipeline.xml"}), folder.Entries());
    }
}

// A filter deaf to the job's shutdown does not hold the tool: after the grace period given
// (well under the host's default of 10 seconds) the failure is said, the filter left running
// is named, and the process ends at once (its thread still in the filter's module), with no
// output file.
TEST(Run, AFilterThatIgnoresTheShutdownIsLeftRunningAndTheToolEnds) {
    ScratchFolder folder;
    const std::string in = folder.Path("in.xps");
    MakeJob(in, 4);
    const std::string configuration =
        WriteConfiguration(folder, {{"failing", testfiltermodule::kFailAtPageTwoText},
                                    {"deaf", testfiltermodule::kIgnoresShutdownText}});
    const auto started = std::chrono::steady_clock::now();
    const ToolRun run = RunFilterutil({"run", "--shutdown-grace", "0.5", "--pipeline",
                                       configuration, in, folder.Path("out.xps")});
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_GE(took, std::chrono::milliseconds(500));
    EXPECT_LT(took, std::chrono::seconds(10)) << "the grace given was not the one waited";
    EXPECT_EQ(1, run.status) << run.err;
    EXPECT_EQ("filterutil: filter deaf did not stop when the job was shut down; it was left "
              "running\nfilterutil: filter failing failed with 0x8004D00A: StartOperation "
              "failed\n",
              run.err);
    EXPECT_EQ(std::vector<std::string>({"in.xps", "pipeline.xml"}), folder.Entries());
}

TEST(Run, BadInputGivesOneLineExitTwoAndNoOutput) {
    ScratchFolder folder;
    const std::string in = folder.Path("in.xps");
    MakeJob(in, 1);
    WriteFile(folder.Path("text.xps"), "not a package");
    WriteFile(folder.Path("bad.xml"), "<Filters><Filter dll=\"x.so\"/></Filters>");
    ASSERT_EQ(0, mkfifo(folder.Path("fifo").c_str(), 0600));
    const std::string out = folder.Path("out.xps");
    const std::vector<std::vector<std::string>> runs = {
        {"run", folder.Path("missing.xps"), out},
        {"run", folder.Path("text.xps"), out},
        {"run", in},
        {"run", in, out, "extra"},
        {"run", "--frobnicate", in, out},
        {"run", "--printer"},
        {"run", "--printer", "No Such Printer", in, out},
        {"run", "--user", "no-such-user-of-this-host", in, out},
        {"run", "--ticket", folder.Path("missing.xml"), in, out},
        {"run", "--filter", "nonesuch", in, out},
        {"run", "--filter", "nonesuch", "--pipeline", folder.Path("bad.xml"), in, out},
        {"run", "--pipeline", folder.Path("bad.xml"), in, out},
        {"run", "--pipeline", folder.Path("missing.xml"), in, out},
        {"run", folder.Path("fifo"), out},
        {"run", "--ticket", folder.Path("fifo"), in, out},
        {"run", "--ticket", in, in, out},
        {"run", "--pipeline", folder.Path("fifo"), in, out},
        {"run", in, "/dev/null"},
        {"run", in, ""},
        {"run", in, folder.Path("fifo")},
        {"run", in, folder.Path("")},
        {"run", in, folder.Path("nofolder/out.xps")},
        {"run", "--shutdown-grace", in, out},
        {"run", "--shutdown-grace", "", in, out},
        {"run", "--shutdown-grace", "0", in, out},
        {"run", "--shutdown-grace", "-1", in, out},
        {"run", "--shutdown-grace", "1e3", in, out},
        {"run", "--shutdown-grace", "86401", in, out},
        {"run", "--shutdown-grace", "1", "--shutdown-grace", "2", in, out},
    };
    for (const auto& arguments : runs) {
        SCOPED_TRACE(::testing::PrintToString(arguments));
        const ToolRun run = RunFilterutil(arguments);
        EXPECT_EQ(2, run.status);
        EXPECT_EQ(0u, run.err.rfind("filterutil: ", 0)) << run.err;
        EXPECT_EQ(1, std::count(run.err.begin(), run.err.end(), '\n')) << run.err;
        EXPECT_EQ(std::vector<std::string>({"bad.xml", "fifo", "in.xps", "text.xps"}),
                  folder.Entries());
    }
}

TEST(Run, OutputFollowsTheRulesOfEveryCommand) {
    ScratchFolder folder;
    const std::string in = folder.Path("in.xps");
    MakeJob(in, 2);
    const std::string listing = Listing(in);

    // The same file read and written: the job is read whole before it is replaced.
    const std::string same = folder.Path("same.xps");
    ASSERT_EQ(0, Shell("cp '" + in + "' '" + same + "'"));
    ToolRun run = RunFilterutil({"run", same, same});
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_EQ(listing, Listing(same));

    // A link is followed: the file it names is replaced, the link stays.
    ASSERT_EQ(0, symlink("same.xps", folder.Path("link.xps").c_str()));
    WriteFile(same, "old");
    run = RunFilterutil({"run", in, folder.Path("link.xps")});
    ASSERT_EQ(0, run.status) << run.err;
    struct stat status {};
    ASSERT_EQ(0, lstat(folder.Path("link.xps").c_str(), &status));
    EXPECT_TRUE(S_ISLNK(status.st_mode));
    EXPECT_EQ(listing, Listing(same));

    // A disk that fills (a file size limit, whether the caller ignores SIGXFSZ or leaves it to
    // end the process): exit 1, the old file kept, nothing else left.
    for (const bool ignoreSignal : {true, false}) {
        SCOPED_TRACE(ignoreSignal ? "SIGXFSZ ignored" : "SIGXFSZ as it comes");
        ToolSetting smallFiles;
        smallFiles.beforeExec = [ignoreSignal] {
            signal(SIGXFSZ, ignoreSignal ? SIG_IGN : SIG_DFL);
            const rlimit limit{64 * 1024, 64 * 1024};
            setrlimit(RLIMIT_FSIZE, &limit);
        };
        WriteFile(folder.Path("kept.xps"), "old");
        run = RunFilterutil({"run", in, folder.Path("kept.xps")}, smallFiles);
        EXPECT_EQ(1, run.status);
        EXPECT_EQ(1, std::count(run.err.begin(), run.err.end(), '\n')) << run.err;
        EXPECT_NE(std::string::npos, run.err.find("kept.xps")) << run.err;
        EXPECT_EQ("old", ReadFile(folder.Path("kept.xps")));
        EXPECT_EQ(std::vector<std::string>({"in.xps", "kept.xps", "link.xps", "same.xps"}),
                  folder.Entries());
    }
}

// A signal that ends the tool while it writes OUT leaves OUT as it was and no temporary beside
// it; the tool ends by that signal.
TEST(Run, ASignalLeavesNoHalfWrittenOutput) {
    ScratchFolder folder;
    const std::string in = folder.Path("in.xps");
    ASSERT_EQ(0, Shell(std::string("python3 '" XPSTEST_MAKE_XPS "' '") + in +
                       "' --documents 4 --pages 300 --lines 20"));
    const std::string out = folder.Path("out.xps");
    const std::vector<std::vector<std::string>> commands = {
        {"xps", "copy", in, out},
        {"run", "--filter", "copy", in, out},
    };
    for (const auto& command : commands) {
        for (const int signal : {SIGINT, SIGTERM}) {
            SCOPED_TRACE(command[0] + " " + strsignal(signal));
            WriteFile(out, "old");
            std::vector<char*> argv{const_cast<char*>(FILTERUTIL_PROGRAM)};
            for (const std::string& argument : command) {
                argv.push_back(const_cast<char*>(argument.c_str()));
            }
            argv.push_back(nullptr);
            const pid_t child = fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                std::signal(SIGINT, SIG_DFL); // as a shell's foreground job has it
                execv(FILTERUTIL_PROGRAM, argv.data());
                _exit(127);
            }
            // Signalled once the package is being made beside OUT.
            bool writing = false;
            for (int wait = 0; wait < 20000 && !writing; ++wait) {
                for (const std::string& name : folder.Entries()) {
                    writing = writing || name.rfind(".out.xps.", 0) == 0;
                }
                usleep(writing ? 0 : 1000);
            }
            kill(child, signal);
            int status = 0;
            ASSERT_EQ(child, waitpid(child, &status, 0));
            EXPECT_TRUE(writing);
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
            EXPECT_EQ("old", ReadFile(out));
            EXPECT_EQ(std::vector<std::string>({"in.xps", "out.xps"}), folder.Entries());
        }
    }
}

TEST(Run, ProgressLineOnlyOnATerminal) {
    ScratchFolder folder;
    const std::string in = folder.Path("in.xps");
    MakeJob(in, 3);
    // script gives the program a terminal for its standard error, and copies what it showed.
    const std::string typescript = folder.Path("typescript");
    ASSERT_EQ(0, Shell("script -qec \"'" FILTERUTIL_PROGRAM "' run '" + in + "' '" +
                       folder.Path("out.xps") + "'\" '" + typescript + "' > /dev/null"));
    EXPECT_NE(std::string::npos, ReadFile(typescript).find("filterutil run: 3 pages"))
        << ReadFile(typescript);
}

} // namespace
