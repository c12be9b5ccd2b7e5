// Printer data: values under keys kept in the spool folder, found again by other handles and
// users, replaced whole, deleted with the keys under them, and damaged files refused.
#include "platformprinters.h"
#include "scratchfolder.h"
#include "winspool.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

class PrinterData : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("FILTERUTILITIES_SPOOL", (root_ / "spool").c_str(), 1);
        printer_ = Open();
    }
    void TearDown() override {
        ClosePrinter(printer_);
        unsetenv("FILTERUTILITIES_SPOOL");
    }

    static HANDLE Open() {
        HANDLE printer = nullptr;
        EXPECT_TRUE(OpenPrinterW(const_cast<LPWSTR>(platformprinters::kBuiltinPrinterName),
                                 &printer, nullptr));
        return printer;
    }
    DWORD Set(const WCHAR* key, const WCHAR* value, const std::string& data,
              DWORD type = REG_BINARY) {
        return SetPrinterDataExW(printer_, key, value, type,
                                 reinterpret_cast<LPBYTE>(const_cast<char*>(data.data())),
                                 static_cast<DWORD>(data.size()));
    }
    // The stored data, or the error as text.
    std::string Get(HANDLE printer, const WCHAR* key, const WCHAR* value, DWORD* type = nullptr) {
        DWORD needed = 0;
        DWORD error = GetPrinterDataExW(printer, key, value, type, nullptr, 0, &needed);
        if (error == ERROR_SUCCESS) {
            return "";
        }
        if (error != ERROR_MORE_DATA) {
            return "error " + std::to_string(error);
        }
        std::string data(needed, '\0');
        error = GetPrinterDataExW(printer, key, value, type, reinterpret_cast<LPBYTE>(data.data()),
                                  needed, &needed);
        return error == ERROR_SUCCESS ? data : "error " + std::to_string(error);
    }
    // The one value file in the spool folder.
    fs::path OnlyValueFile() const {
        std::vector<fs::path> files;
        for (const auto& entry : fs::recursive_directory_iterator(root_ / "spool")) {
            if (!entry.is_directory()) {
                files.push_back(entry.path());
            }
        }
        EXPECT_EQ(1u, files.size());
        return files.empty() ? fs::path() : files.front();
    }

    const ScratchFolder root_{"fu-printerdata"};
    HANDLE printer_ = nullptr;
};

TEST_F(PrinterData, ValuesOutliveTheirHandleAndAreReplacedWhole) {
    const std::string binary("\x00\x01\xFF\x00", 4);
    ASSERT_EQ(ERROR_SUCCESS, Set(u"ClientJobData\\7", u"12", binary));
    ASSERT_EQ(ERROR_SUCCESS, Set(u"ClientJobData\\7", u"", "default", REG_SZ));
    ASSERT_EQ(ERROR_SUCCESS, Set(u"ClientJobData\\7", u"empty", ""));

    HANDLE other = Open();
    DWORD type = 0;
    EXPECT_EQ(binary, Get(other, u"CLIENTJOBDATA\\7", u"12", &type)) << "names ignore ASCII case";
    EXPECT_EQ(REG_BINARY, type);
    EXPECT_EQ("default", Get(other, u"ClientJobData\\7", u"", &type));
    EXPECT_EQ(REG_SZ, type);
    EXPECT_EQ("", Get(other, u"ClientJobData\\7", u"empty"));

    ASSERT_EQ(ERROR_SUCCESS, Set(u"ClientJobData\\7", u"12", "x"));
    EXPECT_EQ("x", Get(other, u"ClientJobData\\7", u"12"));
    ClosePrinter(other);

    BYTE small[1];
    DWORD needed = 0;
    ASSERT_EQ(ERROR_SUCCESS, Set(u"k", u"v", "four"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA),
              GetPrinterDataExW(printer_, u"k", u"v", nullptr, small, 1, &needed));
    EXPECT_EQ(4u, needed);
}

TEST_F(PrinterData, RefusedArguments) {
    const std::u16string longName(121, u'x');
    const std::u16string lone = u"a\xD800";
    BYTE byte = 0;
    const struct {
        const char* what;
        HANDLE printer;
        const WCHAR* key;
        const WCHAR* value;
        LPBYTE data;
        DWORD size;
        DWORD error;
    } cases[] = {
        {"closed handle", reinterpret_cast<HANDLE>(0x77), u"k", u"v", &byte, 1,
         ERROR_INVALID_HANDLE},
        {"null key", printer_, nullptr, u"v", &byte, 1, ERROR_INVALID_PARAMETER},
        {"empty key", printer_, u"", u"v", &byte, 1, ERROR_INVALID_PARAMETER},
        {"null value name", printer_, u"k", nullptr, &byte, 1, ERROR_INVALID_PARAMETER},
        {"overlong key", printer_, longName.c_str(), u"v", &byte, 1, ERROR_INVALID_PARAMETER},
        {"overlong value name", printer_, u"k", longName.c_str(), &byte, 1,
         ERROR_INVALID_PARAMETER},
        {"lone surrogate", printer_, lone.c_str(), u"v", &byte, 1, ERROR_INVALID_PARAMETER},
        {"no data", printer_, u"k", u"v", nullptr, 1, ERROR_INVALID_PARAMETER},
        {"over 16 MiB", printer_, u"k", u"v", &byte, (16u << 20) + 1, ERROR_INVALID_PARAMETER},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.error,
                  SetPrinterDataExW(c.printer, c.key, c.value, REG_BINARY, c.data, c.size));
    }
    EXPECT_FALSE(fs::exists(root_ / "spool")) << "nothing refused was stored";
    EXPECT_EQ("error " + std::to_string(ERROR_FILE_NOT_FOUND), Get(printer_, u"k", u"v"));
    EXPECT_EQ("error " + std::to_string(ERROR_INVALID_HANDLE),
              Get(reinterpret_cast<HANDLE>(0x77), u"k", u"v"));
}

TEST_F(PrinterData, NamesStayInsideTheSpoolFolder) {
    ASSERT_EQ(ERROR_SUCCESS, Set(u"../../escaped", u"../../../v", "data"));
    ASSERT_EQ(ERROR_SUCCESS, Set(u"/etc/passwd", u"\\..\\x", "data"));
    std::vector<std::string> top;
    for (const auto& entry : fs::directory_iterator(root_.Path())) {
        top.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(std::vector<std::string>{"spool"}, top);
    EXPECT_EQ("data", Get(printer_, u"../../escaped", u"../../../v"));
}

TEST_F(PrinterData, DeletingAKeyTakesTheKeysUnderIt) {
    ASSERT_EQ(ERROR_SUCCESS, Set(u"Job", u"a", "1"));
    ASSERT_EQ(ERROR_SUCCESS, Set(u"Job\\7", u"a", "2"));
    ASSERT_EQ(ERROR_SUCCESS, Set(u"Jobs", u"a", "3"));
    EXPECT_EQ(ERROR_SUCCESS, DeletePrinterKeyW(printer_, u"JOB"));
    const std::string missing = "error " + std::to_string(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(missing, Get(printer_, u"Job", u"a"));
    EXPECT_EQ(missing, Get(printer_, u"Job\\7", u"a"));
    EXPECT_EQ("3", Get(printer_, u"Jobs", u"a"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), DeletePrinterKeyW(printer_, u"Job"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), DeletePrinterKeyW(printer_, u""));
}

TEST_F(PrinterData, DamagedValuesAreRefused) {
    const struct {
        const char* what;
        void (*damage)(const fs::path&);
    } cases[] = {
        {"too short for a type", [](const fs::path& p) { fs::resize_file(p, 2); }},
        {"a FIFO",
         [](const fs::path& p) {
             fs::remove(p);
             mkfifo(p.c_str(), 0600);
         }},
        {"a folder",
         [](const fs::path& p) {
             fs::remove(p);
             fs::create_directory(p);
         }},
        {"a link",
         [](const fs::path& p) {
             fs::remove(p);
             fs::create_symlink("/etc/hostname", p);
         }},
        {"over 16 MiB", [](const fs::path& p) { fs::resize_file(p, (16u << 20) + 5); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(root_ / "spool");
        ASSERT_EQ(ERROR_SUCCESS, Set(u"k", u"v", "data"));
        c.damage(OnlyValueFile());
        EXPECT_EQ("error " + std::to_string(ERROR_INVALID_DATA), Get(printer_, u"k", u"v"));
    }
}

} // namespace
