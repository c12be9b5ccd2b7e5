// Printers: the built-in printer, descriptions on the search path, handles, the driver
// directory.
#include "handleapi.h"
#include "platformprinters.h"
#include "platformsecurity.h"
#include "winspool.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

const std::string kTicket =
    "<psf:PrintTicket xmlns:psf=\"http://schemas.microsoft.com/windows/2003/08/printing/"
    "printschemaframework\" version=\"1\"/>";
const std::string kCapabilities =
    "<psf:PrintCapabilities xmlns:psf=\"http://schemas.microsoft.com/windows/2003/08/printing/"
    "printschemaframework\" version=\"1\"/>";

void Write(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// A printers folder of its own for each test, first on the search path; the user's own
// configuration folder is replaced by an empty one.
class Printers : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() /
                ("fu-printers-" + std::to_string(getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        fs::create_directories(folder());
        fs::create_directories(root_ / "config");
        Write(folder() / "caps.xml", kCapabilities);
        Write(folder() / "ticket.xml", kTicket);
        setenv("FILTERUTILITIES_PRINTERS", folder().c_str(), 1);
        setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1);
    }
    void TearDown() override {
        unsetenv("FILTERUTILITIES_PRINTERS");
        unsetenv("XDG_CONFIG_HOME");
        fs::remove_all(root_);
    }
    fs::path folder() const { return root_ / "printers"; }

    static std::string Description(const std::string& name, const std::string& extra = "") {
        return "name = " + name +
               "\ndriver = Test Driver\ncapabilities = caps.xml\ndefault-ticket = ticket.xml\n" +
               extra;
    }

    fs::path root_;
};

TEST_F(Printers, TheBuiltInPrinterNeedsNoSetUp) {
    unsetenv("FILTERUTILITIES_PRINTERS");
    WCHAR name[64];
    DWORD size = 64;
    ASSERT_TRUE(GetDefaultPrinterW(name, &size));
    EXPECT_EQ(std::u16string(platformprinters::kBuiltinPrinterName), name);

    HANDLE printer = nullptr;
    ASSERT_TRUE(OpenPrinterW(name, &printer, nullptr));
    const platformprinters::Printer described = platformprinters::PrinterOfHandle(printer);
    ASSERT_TRUE(described);
    EXPECT_EQ("built-in", described->source);
    EXPECT_EQ(u"FilterUtilities XPS Driver", described->driverName);
    EXPECT_NE(std::string::npos,
              described->capabilities.find("psk:JobNUpAllDocumentsContiguously"));
    EXPECT_NE(std::string::npos, described->defaultTicket.find("<psf:PrintTicket"));
    EXPECT_EQ(4233, described->margins.left);
    EXPECT_EQ(4233, described->margins.bottom);
    ASSERT_EQ(16u, described->forms.size());
    EXPECT_EQ(9, described->forms[3].number);
    EXPECT_EQ(2100, described->forms[3].width);
    EXPECT_EQ(2970, described->forms[3].height);
    EXPECT_EQ(u"A4", described->forms[3].name);
    EXPECT_EQ(256, described->forms.back().number);
    EXPECT_EQ(25008, described->forms.back().kind);

    char folder[4096];
    DWORD needed = 0;
    ASSERT_TRUE(GetPrinterDriverDirectoryA(nullptr, nullptr, 1, reinterpret_cast<LPBYTE>(folder),
                                           sizeof folder, &needed));
    EXPECT_EQ(described->driverDirectory, folder);
    EXPECT_TRUE(fs::exists(fs::path(folder) / "libplatform.so"));

    ASSERT_TRUE(ClosePrinter(printer));
    EXPECT_FALSE(ClosePrinter(printer)) << "a handle closes once";
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
    EXPECT_FALSE(platformprinters::PrinterOfHandle(printer));
}

TEST_F(Printers, NamesAreFoundWithoutRegardToCaseAndUnknownNamesRefused) {
    Write(folder() / "office.printer", Description("Office Laser", "driver-directory = drv\n"));
    HANDLE printer = nullptr;
    ASSERT_TRUE(OpenPrinterW(const_cast<LPWSTR>(u"office LASER"), &printer, nullptr));
    EXPECT_EQ(u"Office Laser", platformprinters::PrinterOfHandle(printer)->name);
    EXPECT_EQ((folder() / "drv").string(),
              platformprinters::PrinterOfHandle(printer)->driverDirectory);
    EXPECT_TRUE(ClosePrinter(printer));

    for (const char16_t* name : {u"Office", u"", u"Office Laser "}) {
        SetLastError(0);
        EXPECT_FALSE(OpenPrinterW(const_cast<LPWSTR>(name), &printer, nullptr));
        EXPECT_EQ(ERROR_INVALID_PRINTER_NAME, GetLastError());
        EXPECT_EQ(nullptr, printer);
    }
}

TEST_F(Printers, UnreadableDescriptionsAreReportedByNameAndSkipped) {
    Write(folder() / "good.printer", Description("Good", "form = 9 2100 2970 5109 25001 A4\n"));
    ASSERT_EQ(0, mkfifo((folder() / "fifo.xml").c_str(), 0600));
    Write(folder() / "bad.xml", "<psf:PrintCapabilities xmlns:psf='x'>");
    const struct {
        const char* file;
        std::string text;
        const char* problem;
    } cases[] = {
        {"a-no-name", "driver = D\ncapabilities = caps.xml\ndefault-ticket = ticket.xml\n",
         "no name given"},
        {"b-unknown-key", Description("B", "colour = yes\n"), "line 5: unknown key \"colour\""},
        {"c-twice", Description("C", "name = C2\n"), "line 5: name given twice"},
        {"d-margins", Description("D", "margins = 1 2 3\n"), "line 5: a margin must be"},
        {"e-form", Description("E", "form = 70000 1 1 1 25001 X\n"), "a form number must be"},
        {"f-missing", "name = F\ndriver = D\ncapabilities = nowhere.xml\ndefault-ticket = t\n",
         "capabilities nowhere.xml: cannot open"},
        {"g-fifo", "name = G\ndriver = D\ncapabilities = fifo.xml\ndefault-ticket = t\n",
         "capabilities fifo.xml: not a regular file"},
        {"h-swapped", "name = H\ndriver = D\ncapabilities = ticket.xml\ndefault-ticket = t\n",
         "not a Print Schema PrintCapabilities document"},
        {"i-broken", "name = I\ndriver = D\ncapabilities = bad.xml\ndefault-ticket = t\n",
         "capabilities bad.xml: not well-formed XML (line 1"},
        {"j-comma", Description("Office, second floor"), "line 1: a printer name holds no"},
        {"k-utf8", Description("K\xff"), "line 1: not UTF-8"},
        {"l-taken", Description("GOOD"), "the name is taken by"},
        {"m-no-equals", "name Office\n", "line 1: not \"key = value\""},
    };
    for (const auto& c : cases) {
        Write(folder() / (std::string(c.file) + ".printer"), c.text);
    }
    fs::create_directory(folder() / "n-folder.printer");

    const auto listings = platformprinters::ListPrinters();
    auto listing = [&](const std::string& file) -> const platformprinters::Listing* {
        for (const auto& l : listings) {
            if (l.source == (folder() / file).string()) {
                return &l;
            }
        }
        return nullptr;
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const auto* found = listing(std::string(c.file) + ".printer");
        ASSERT_TRUE(found);
        EXPECT_FALSE(found->printer);
        EXPECT_NE(std::string::npos, found->problem.find(c.problem)) << found->problem;
    }
    ASSERT_TRUE(listing("n-folder.printer"));
    EXPECT_EQ("not a regular file", listing("n-folder.printer")->problem);
    ASSERT_TRUE(listing("good.printer") && listing("good.printer")->printer);
    EXPECT_EQ(1u, listing("good.printer")->printer->forms.size());
    EXPECT_EQ("built-in", listings.back().source);
    EXPECT_TRUE(listings.back().printer);
}

// A description is kept once read, and read again as soon as it or one of its documents
// changes: edited in place (even to the same size), replaced by another file, or removed.
TEST_F(Printers, AChangedDescriptionOrDocumentIsReadAgain) {
    const std::string otherCapabilities =
        "<psf:PrintCapabilities xmlns:psf=\"http://schemas.microsoft.com/windows/2003/08/printing/"
        "printschemaframework\" version=\"2\"/>";
    Write(folder() / "x.printer", Description("Kept", "margins = 2 2 2 2\n"));
    const platformprinters::Printer first = platformprinters::FindPrinter(u"Kept");
    ASSERT_TRUE(first);
    EXPECT_EQ(first, platformprinters::FindPrinter(u"Kept")) << "read again while unchanged";

    Write(folder() / "x.printer", Description("Kept", "margins = 3 3 3 3\n"));
    EXPECT_EQ(3, platformprinters::FindPrinter(u"Kept")->margins.left);

    Write(folder() / "caps.xml", otherCapabilities);
    EXPECT_EQ(otherCapabilities, platformprinters::FindPrinter(u"Kept")->capabilities);

    Write(folder() / "ticket.new", kTicket + "\n");
    fs::rename(folder() / "ticket.new", folder() / "ticket.xml");
    EXPECT_EQ(kTicket + "\n", platformprinters::FindPrinter(u"Kept")->defaultTicket);

    fs::remove(folder() / "ticket.xml");
    EXPECT_FALSE(platformprinters::FindPrinter(u"Kept"));
    Write(folder() / "ticket.xml", kTicket);
    EXPECT_TRUE(platformprinters::FindPrinter(u"Kept"));

    fs::remove(folder() / "x.printer");
    EXPECT_FALSE(platformprinters::FindPrinter(u"Kept"));
}

TEST_F(Printers, TheFirstFolderOnTheSearchPathWins) {
    const fs::path second = root_ / "config" / "filterutilities" / "printers";
    fs::create_directories(second);
    Write(second / "caps.xml", kCapabilities);
    Write(second / "ticket.xml", kTicket);
    Write(second / "x.printer", Description("Shared", "margins = 1 1 1 1\n"));
    Write(second / "own.printer", Description("Only In Config"));
    Write(folder() / "x.printer", Description("Shared", "margins = 2 2 2 2\n"));
    // A user may describe a printer under the built-in name: theirs comes first.
    Write(folder() / "builtin.printer",
          Description("FilterUtilities XPS Printer", "margins = 7 7 7 7\n"));

    EXPECT_EQ(2, platformprinters::FindPrinter(u"Shared")->margins.left);
    EXPECT_TRUE(platformprinters::FindPrinter(u"Only In Config"));
    EXPECT_EQ(7, platformprinters::FindPrinter(platformprinters::kBuiltinPrinterName)->margins.top);
    const auto folders = platformprinters::SearchFolders();
    ASSERT_GE(folders.size(), 3u);
    EXPECT_EQ(folder().string(), folders[0]);
    EXPECT_EQ(second.string(), folders[1]);
}

TEST_F(Printers, DriverDirectoryRefusesWhatItCannotAnswer) {
    char buffer[4096];
    auto* out = reinterpret_cast<LPBYTE>(buffer);
    DWORD needed = 0;
    char server[] = "\\\\printserver";
    char arm[] = "Windows ARM64";
    char x64[] = "windows X64";
    const struct {
        const char* what;
        LPSTR server;
        LPSTR environment;
        DWORD level;
        DWORD size;
        DWORD error;
    } cases[] = {
        {"remote server", server, nullptr, 1, sizeof buffer, ERROR_INVALID_NAME},
        {"other environment", nullptr, arm, 1, sizeof buffer, ERROR_INVALID_ENVIRONMENT},
        {"level 2", nullptr, nullptr, 2, sizeof buffer, ERROR_INVALID_LEVEL},
        {"small buffer", nullptr, x64, 1, 3, ERROR_INSUFFICIENT_BUFFER},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_FALSE(
            GetPrinterDriverDirectoryA(c.server, c.environment, c.level, out, c.size, &needed));
        EXPECT_EQ(c.error, GetLastError());
    }
    EXPECT_GT(needed, 3u) << "the small buffer learns the size it needs";
    EXPECT_TRUE(GetPrinterDriverDirectoryA(nullptr, x64, 1, out, needed, &needed));
    EXPECT_EQ(needed, std::string(buffer).size() + 1);
}

TEST_F(Printers, DriverNameOfAnOpenPrinter) {
    Write(folder() / "office.printer", Description("Office"));
    HANDLE printer = nullptr;
    ASSERT_TRUE(OpenPrinterW(const_cast<LPWSTR>(u"office"), &printer, nullptr));
    WCHAR x64[] = u"Windows x64";
    WCHAR arm[] = u"Windows ARM64";
    alignas(DRIVER_INFO_1W) BYTE buffer[256];
    DWORD needed = 0;
    struct Case {
        const char* what;
        HANDLE printer;
        LPWSTR environment;
        DWORD level;
        DWORD size;
        DWORD error;
    };
    const Case cases[] = {
        {"closed handle", reinterpret_cast<HANDLE>(0x1234), nullptr, 1, sizeof buffer,
         ERROR_INVALID_HANDLE},
        {"other environment", printer, arm, 1, sizeof buffer, ERROR_INVALID_ENVIRONMENT},
        {"level 2", printer, nullptr, 2, sizeof buffer, ERROR_INVALID_LEVEL},
        {"small buffer", printer, x64, 1, sizeof(DRIVER_INFO_1W) + 4, ERROR_INSUFFICIENT_BUFFER},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_FALSE(GetPrinterDriverW(c.printer, c.environment, c.level, buffer, c.size, &needed));
        EXPECT_EQ(c.error, GetLastError());
    }
    const DWORD expected = sizeof(DRIVER_INFO_1W) + sizeof(u"Test Driver");
    EXPECT_EQ(expected, needed) << "the small buffer learns the size it needs";
    ASSERT_TRUE(GetPrinterDriverW(printer, x64, 1, buffer, needed, &needed));
    EXPECT_EQ(u"Test Driver", std::u16string(reinterpret_cast<DRIVER_INFO_1W*>(buffer)->pName));
    EXPECT_TRUE(ClosePrinter(printer));
}

TEST_F(Printers, OpeningAPrinterIsRecordedWithTheUserItRanAs) {
    HANDLE alice = platformtest::CreateTestUserToken(u"alice", "/a");
    platformtest::ImpersonationLog log;
    ASSERT_TRUE(SetThreadToken(nullptr, alice));
    HANDLE printer = nullptr;
    ASSERT_TRUE(
        OpenPrinterW(const_cast<LPWSTR>(platformprinters::kBuiltinPrinterName), &printer, nullptr));
    ASSERT_TRUE(SetThreadToken(nullptr, nullptr));
    EXPECT_TRUE(ClosePrinter(printer));
    EXPECT_TRUE(CloseHandle(alice));
    using Entry = platformtest::ImpersonationLog::Entry;
    EXPECT_EQ((std::vector<Entry>{{"SetThreadToken", u"alice"},
                                  {"OpenPrinterW", u"alice"},
                                  {"SetThreadToken", u""}}),
              log.Entries());
}

} // namespace
