// Paths: joined with the platform's separator, and whether they exist.
#include "shlwapi.h"

#include "scratchfolder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>

namespace {

TEST(PathAppend, JoinsWithOneSeparator) {
    struct Case {
        const char* what;
        std::u16string path;
        const WCHAR* more;
        BOOL result;
        std::u16string joined;
    };
    const std::u16string longest(MAX_PATH - 3, u'a'); // room for "/b" and the zero
    const Case cases[] = {
        {"plain", u"/home/alice/.local/share", u"Keldan", TRUE, u"/home/alice/.local/share/Keldan"},
        {"trailing separator", u"/home/", u"Keldan", TRUE, u"/home/Keldan"},
        {"leading separator", u"/home", u"//Keldan", TRUE, u"/home/Keldan"},
        {"empty path", u"", u"/Keldan", TRUE, u"/Keldan"},
        {"empty more", u"/home", u"", TRUE, u"/home"},
        {"just fits", longest, u"b", TRUE, longest + u"/b"},
        {"too long", longest, u"bc", FALSE, longest},
        {"null more", u"/home", nullptr, FALSE, u"/home"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WCHAR buffer[MAX_PATH] = {};
        c.path.copy(buffer, MAX_PATH - 1);
        EXPECT_EQ(c.result, PathAppendW(buffer, c.more));
        EXPECT_EQ(c.joined, std::u16string(buffer));
    }
    EXPECT_FALSE(PathAppendW(nullptr, u"x"));
}

TEST(PathFileExists, FilesFoldersAndWhatIsNotThere) {
    const ScratchFolder root("fu-pathexists");
    std::ofstream(root / "file.ini") << "[1]\n";
    mkfifo((root / "fifo").c_str(), 0600);
    std::filesystem::create_symlink(root / "gone", root / "dangling");
    struct Case {
        std::u16string path;
        BOOL exists;
    };
    const Case cases[] = {
        {(root / "file.ini").u16string(), TRUE},
        {root.Path().u16string(), TRUE},
        {(root / "fifo").u16string(), TRUE}, // answered without opening it
        {(root / "missing.ini").u16string(), FALSE},
        {(root / "dangling").u16string(), FALSE},
        {(root / "file.ini" / "below").u16string(), FALSE},
        {u"", FALSE},
        {std::u16string(u"/tmp/\xD800"), FALSE}, // no file name can hold a lone surrogate
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        EXPECT_EQ(c.exists, PathFileExistsW(c.path.c_str()));
    }
    EXPECT_FALSE(PathFileExistsW(nullptr));
}

} // namespace
