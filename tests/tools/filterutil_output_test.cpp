// Where filterutil writes: -o files (new, kept mode and owner, links, devices, FIFOs, a link
// planted at a temporary name) and failed writes to files and standard output.
#include "tools/toolrunner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

const std::string kJobTicket = FILTERUTILITIES_EXAMPLES "/tickets/job-ticket-a4-duplex.xml";

std::vector<std::string> SetLandscape(const std::string& input, const std::string& output) {
    return {"ticket", "set", input, "psk:PageOrientation", "psk:Landscape", "-o", output};
}

bool IsEdited(const std::string& bytes) {
    return bytes.find("name=\"psk:Landscape\"") != std::string::npos;
}

struct stat StatusOf(const std::string& path, bool followLinks = true) {
    struct stat status {};
    EXPECT_EQ(0, followLinks ? stat(path.c_str(), &status) : lstat(path.c_str(), &status)) << path;
    return status;
}

mode_t CurrentUmask() {
    const mode_t mask = umask(0);
    umask(mask);
    return mask;
}

TEST(FilterutilOutput, TargetsAreWrittenWhereTheyStand) {
    struct Case {
        std::string name;
        // Prepares the folder; answers the -o argument.
        std::function<std::string(const ScratchFolder&)> prepare;
        std::function<void(const ScratchFolder&)> check;
        std::vector<std::string> entries; // what the folder holds afterwards
        bool inPlace = false;             // the output is also the input
    };
    const bool root = geteuid() == 0;
    const Case cases[] = {
        {"a new file gets 0666 less the umask",
         [](const ScratchFolder& f) { return f.Path("new.xml"); },
         [](const ScratchFolder& f) {
             EXPECT_TRUE(IsEdited(ReadFile(f.Path("new.xml"))));
             EXPECT_EQ(0666 & ~CurrentUmask(), StatusOf(f.Path("new.xml")).st_mode & 07777);
         },
         {"new.xml"}},
        {"a 0600 file keeps its mode and owner",
         [root](const ScratchFolder& f) {
             WriteFile(f.Path("pin.xml"), "old");
             chmod(f.Path("pin.xml").c_str(), 0600);
             if (root) {
                 EXPECT_EQ(0, chown(f.Path("pin.xml").c_str(), 4321, 4322));
             }
             return f.Path("pin.xml");
         },
         [root](const ScratchFolder& f) {
             EXPECT_TRUE(IsEdited(ReadFile(f.Path("pin.xml"))));
             const struct stat status = StatusOf(f.Path("pin.xml"));
             EXPECT_EQ(0600u, status.st_mode & 07777);
             if (root) {
                 EXPECT_EQ(4321u, status.st_uid);
                 EXPECT_EQ(4322u, status.st_gid);
             }
         },
         {"pin.xml"}},
        {"a link is followed to the file it names and stays a link",
         [](const ScratchFolder& f) {
             mkdir(f.Path("real").c_str(), 0700);
             WriteFile(f.Path("real/ticket.xml"), "old");
             chmod(f.Path("real/ticket.xml").c_str(), 0640);
             EXPECT_EQ(0, symlink("real/ticket.xml", f.Path("first").c_str()));
             EXPECT_EQ(0, symlink(f.Path("first").c_str(), f.Path("second").c_str()));
             return f.Path("second");
         },
         [](const ScratchFolder& f) {
             EXPECT_TRUE(S_ISLNK(StatusOf(f.Path("second"), false).st_mode));
             EXPECT_TRUE(S_ISLNK(StatusOf(f.Path("first"), false).st_mode));
             EXPECT_TRUE(IsEdited(ReadFile(f.Path("real/ticket.xml"))));
             EXPECT_EQ(0640u, StatusOf(f.Path("real/ticket.xml")).st_mode & 07777);
             EXPECT_EQ(std::vector<std::string>{"ticket.xml"}, EntriesOf(f.Path("real")));
         },
         {"first", "real", "second"}},
        {"a dangling link makes the file it names",
         [](const ScratchFolder& f) {
             EXPECT_EQ(0, symlink("made.xml", f.Path("link").c_str()));
             return f.Path("link");
         },
         [](const ScratchFolder& f) {
             EXPECT_TRUE(S_ISLNK(StatusOf(f.Path("link"), false).st_mode));
             EXPECT_TRUE(IsEdited(ReadFile(f.Path("made.xml"))));
         },
         {"link", "made.xml"}},
        {"the input itself is read, then replaced",
         [](const ScratchFolder& f) {
             WriteFile(f.Path("ticket.xml"), ReadFile(kJobTicket));
             return f.Path("ticket.xml");
         },
         [](const ScratchFolder& f) { EXPECT_TRUE(IsEdited(ReadFile(f.Path("ticket.xml")))); },
         {"ticket.xml"},
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchFolder folder;
        const std::string output = c.prepare(folder);
        const ToolRun run = RunFilterutil(SetLandscape(c.inPlace ? output : kJobTicket, output));
        ASSERT_EQ(0, run.status) << run.err;
        EXPECT_EQ("", run.out);
        c.check(folder);
        EXPECT_EQ(c.entries, folder.Entries()) << "no temporary file is left behind";
    }
}

TEST(FilterutilOutput, ALinkPlantedAtATemporaryNameIsNotFollowed) {
    ScratchFolder folder;
    const std::string victim = folder.Path("victim");
    const std::string output = folder.Path("out.xml");
    WriteFile(victim, "precious");
    // The program runs under the child's pid, so a link at the name a temporary file once took
    // (the target, ".tmp." and the pid) lies in wait for it.
    ToolSetting setting;
    setting.beforeExec = [&] {
        const std::string planted = output + ".tmp." + std::to_string(getpid());
        if (symlink(victim.c_str(), planted.c_str()) != 0) {
            _exit(125);
        }
    };
    const ToolRun run = RunFilterutil(SetLandscape(kJobTicket, output), setting);
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_EQ("precious", ReadFile(victim));
    EXPECT_TRUE(IsEdited(ReadFile(output)));
    EXPECT_EQ(3u, folder.Entries().size()); // victim, out.xml and the planted link
}

TEST(FilterutilOutput, DevicesAndFifosAreWrittenThroughNotReplaced) {
    ToolRun run = RunFilterutil(SetLandscape(kJobTicket, "/dev/null"));
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_TRUE(S_ISCHR(StatusOf("/dev/null").st_mode));

    ScratchFolder folder;
    const std::string fifo = folder.Path("fifo");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    // The reader is open before the program starts, and gives up after a minute, so a program
    // that replaced the FIFO instead of writing to it fails the test rather than hanging it.
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_LE(0, reader);
    std::thread tool([&] { run = RunFilterutil(SetLandscape(kJobTicket, fifo)); });
    std::string received;
    for (;;) {
        pollfd waiting{reader, POLLIN, 0};
        if (poll(&waiting, 1, 60000) <= 0) {
            break;
        }
        char buffer[4096];
        const ssize_t got = read(reader, buffer, sizeof buffer);
        if (got > 0) {
            received.append(buffer, static_cast<size_t>(got));
        } else if (got == 0 || errno != EAGAIN) {
            break; // the writer has closed it
        }
    }
    close(reader);
    tool.join();
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_TRUE(IsEdited(received));
    EXPECT_TRUE(S_ISFIFO(StatusOf(fifo, false).st_mode));
    EXPECT_EQ(std::vector<std::string>{"fifo"}, folder.Entries());
}

TEST(FilterutilOutput, FailedWritesAreStatusOneWithTheReason) {
    ScratchFolder folder;
    const std::string kept = folder.Path("kept.xml");
    struct Case {
        std::string name;
        std::vector<std::string> arguments;
        ToolSetting setting;
        std::string reason;
    };
    ToolSetting fullStandardOutput;
    fullStandardOutput.standardOutput = "/dev/full";
    ToolSetting smallFiles;
    smallFiles.beforeExec = [] {
        signal(SIGXFSZ, SIG_IGN); // a write past the limit then fails with EFBIG
        const rlimit limit{1024, 1024};
        setrlimit(RLIMIT_FSIZE, &limit);
    };
    const Case cases[] = {
        {"-o /dev/full", SetLandscape(kJobTicket, "/dev/full"), {}, "/dev/full: cannot write: "},
        {"edit to a full standard output",
         {"ticket", "set", kJobTicket, "psk:PageOrientation", "psk:Landscape"},
         fullStandardOutput,
         "standard output: cannot write: "},
        {"show to a full standard output",
         {"ticket", "show", "--json", kJobTicket},
         fullStandardOutput,
         "standard output: cannot write: "},
        {"a file that cannot grow", SetLandscape(kJobTicket, kept), smallFiles,
         "kept.xml: cannot write: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(kept, "old");
        const ToolRun run = RunFilterutil(c.arguments, c.setting);
        EXPECT_EQ(1, run.status);
        EXPECT_NE(std::string::npos, run.err.find(c.reason)) << run.err;
        EXPECT_EQ(1, std::count(run.err.begin(), run.err.end(), '\n')) << run.err;
        EXPECT_EQ("old", ReadFile(kept));
        EXPECT_EQ(std::vector<std::string>{"kept.xml"}, folder.Entries());
    }
}

} // namespace
