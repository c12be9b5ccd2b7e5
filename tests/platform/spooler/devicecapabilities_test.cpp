// DeviceCapabilitiesW: the driver's forms and margins, answered from the printer's description.
#include "handleapi.h"
#include "platformprinters.h"
#include "platformsecurity.h"
#include "wingdi.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr WORD kForms = 65525;
constexpr WORD kMargins = 65518;
constexpr size_t kRecord = 152;

int32_t Read32(const unsigned char* at) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = (value << 8) | at[i];
    }
    return static_cast<int32_t>(value);
}

uint16_t Read16(const unsigned char* at) {
    return static_cast<uint16_t>(at[0] | (at[1] << 8));
}

std::u16string NameOf(const unsigned char* record) {
    std::u16string name;
    for (size_t at = 24; at + 1 < kRecord && Read16(record + at) != 0; at += 2) {
        name += static_cast<char16_t>(Read16(record + at));
    }
    return name;
}

// The forms of a printer, asked as a driver's caller asks: the count, then the records.
std::vector<unsigned char> Forms(const char16_t* printer, int& count) {
    count = DeviceCapabilitiesW(printer, nullptr, kForms, nullptr, nullptr);
    std::vector<unsigned char> records(kRecord * static_cast<size_t>(count > 0 ? count : 0) + 1,
                                       0xEE);
    const int written = DeviceCapabilitiesW(printer, nullptr, kForms,
                                            reinterpret_cast<LPWSTR>(records.data()), nullptr);
    EXPECT_EQ(count, written);
    EXPECT_EQ(0xEE, records.back()) << "nothing written past the last record";
    return records;
}

TEST(DeviceCapabilities, TheBuiltInPrinterListsAFormOfEveryKind) {
    struct Expected {
        uint16_t number;
        int32_t width, height, paperSizeId, kind;
        std::u16string name;
    };
    const std::vector<Expected> expected = {
        {1, 2159, 2794, 5101, 25001, u"Letter"},
        {5, 2159, 3556, 5105, 25001, u"Legal"},
        {8, 2970, 4200, 5108, 25001, u"A3"},
        {9, 2100, 2970, 5109, 25001, u"A4"},
        {11, 1480, 2100, 5111, 25001, u"A5"},
        {70, 1050, 1480, 5170, 25002, u"A6"},
        {9, 2100, 2970, 5109, 25004, u"A4"},
        {13, 1820, 2570, 5113, 25004, u"B5 (JIS)"},
        {4, 4318, 2794, 5104, 25004, u"Ledger"},
        {3, 1000, 2000, 5503, 25005, u"Label 100 x 200 mm"},
        {2, 2159, 2794, 5504, 25005, u"My Letter"},
        {300, 1200, 1800, 5600, 25003, u"Photo 120 x 180 mm"},
        {301, 1000, 2000, 5601, 25003, u"Label 100 x 200 mm (driver)"},
        {42, 2500, 3530, 5142, 25006, u"B4 (ISO)"},
        {27, 1100, 2200, 5127, 25007, u"DL Envelope"},
        {256, 0, 0, 5256, 25008, u"Custom size"},
    };
    int count = 0;
    const std::vector<unsigned char> records = Forms(platformprinters::kBuiltinPrinterName, count);
    ASSERT_EQ(static_cast<int>(expected.size()), count);
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        const unsigned char* record = records.data() + i * kRecord;
        EXPECT_EQ(expected[i].number, Read16(record));
        EXPECT_EQ(0, Read16(record + 2));
        EXPECT_EQ(expected[i].width, Read32(record + 4));
        EXPECT_EQ(expected[i].height, Read32(record + 8));
        EXPECT_EQ(expected[i].paperSizeId, Read32(record + 12));
        EXPECT_EQ(0, Read32(record + 16));
        EXPECT_EQ(expected[i].kind, Read32(record + 20));
        EXPECT_EQ(expected[i].name, NameOf(record));
    }
}

TEST(DeviceCapabilities, MarginsAreFourIntegersOfSixteenBytes) {
    unsigned char margins[20];
    std::memset(margins, 0xEE, sizeof margins);
    // Unaligned on purpose: the output is a byte buffer to the driver.
    EXPECT_EQ(16, DeviceCapabilitiesW(platformprinters::kBuiltinPrinterName, nullptr, kMargins,
                                      reinterpret_cast<LPWSTR>(margins + 1), nullptr));
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(4233, Read32(margins + 1 + 4 * i));
    }
    EXPECT_EQ(0xEE, margins[0]);
    EXPECT_EQ(0xEE, margins[17]);
    EXPECT_EQ(16, DeviceCapabilitiesW(platformprinters::kBuiltinPrinterName, nullptr, kMargins,
                                      nullptr, nullptr));
}

TEST(DeviceCapabilities, RefusesWhatItCannotAnswer) {
    struct Case {
        const char16_t* printer;
        WORD capability;
        DWORD error;
    } const cases[] = {
        {nullptr, kForms, ERROR_INVALID_PRINTER_NAME},
        {u"", kMargins, ERROR_INVALID_PRINTER_NAME},
        {u"No Such Printer", kForms, ERROR_INVALID_PRINTER_NAME},
        {platformprinters::kBuiltinPrinterName, 2 /* DC_PAPERS */, ERROR_NOT_SUPPORTED},
        {platformprinters::kBuiltinPrinterName, 65524, ERROR_NOT_SUPPORTED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.capability);
        unsigned char out[kRecord] = {};
        SetLastError(0);
        EXPECT_EQ(-1, DeviceCapabilitiesW(c.printer, nullptr, c.capability,
                                          reinterpret_cast<LPWSTR>(out), nullptr));
        EXPECT_EQ(c.error, GetLastError());
        EXPECT_EQ(0, out[0]);
    }
}

// A printer described for the test, found first on the search path.
class DescribedPrinter : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() / ("fu-devcaps-" + std::to_string(getpid()));
        fs::create_directories(folder_);
        const char* framework = "xmlns:psf=\"http://schemas.microsoft.com/windows/2003/08/printing/"
                                "printschemaframework\" version=\"1\"/>";
        std::ofstream(folder_ / "caps.xml") << "<psf:PrintCapabilities " << framework;
        std::ofstream(folder_ / "ticket.xml") << "<psf:PrintTicket " << framework;
        setenv("FILTERUTILITIES_PRINTERS", folder_.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("FILTERUTILITIES_PRINTERS");
        fs::remove_all(folder_);
    }
    void Describe(const std::string& extra) {
        std::ofstream(folder_ / "test.printer")
            << "name = Described\ndriver = D\ncapabilities = caps.xml\n"
               "default-ticket = ticket.xml\n"
            << extra;
    }

    fs::path folder_;
};

TEST_F(DescribedPrinter, AnswersFromTheDescriptionAsItStandsNow) {
    Describe("");
    int count = -2;
    Forms(u"Described", count);
    EXPECT_EQ(0, count) << "no forms described";
    unsigned char margins[16];
    ASSERT_EQ(16, DeviceCapabilitiesW(u"Described", nullptr, kMargins,
                                      reinterpret_cast<LPWSTR>(margins), nullptr));
    EXPECT_EQ(0, Read32(margins)) << "margins default to 0";

    // A name longer than the record holds is cut at 63 units and ended; extreme numbers pass
    // through unchanged.
    const std::string longName(70, 'x');
    Describe("margins = 0 10000000 3 4\nform = 65535 2147483647 0 -2147483648 -1 " + longName +
             "\n");
    const std::vector<unsigned char> records = Forms(u"described", count);
    ASSERT_EQ(1, count);
    EXPECT_EQ(65535, Read16(records.data()));
    EXPECT_EQ(2147483647, Read32(records.data() + 4));
    EXPECT_EQ(INT32_MIN, Read32(records.data() + 12));
    EXPECT_EQ(-1, Read32(records.data() + 20));
    EXPECT_EQ(std::u16string(63, u'x'), NameOf(records.data()));
    EXPECT_EQ(0, Read16(records.data() + 150));
    ASSERT_EQ(16, DeviceCapabilitiesW(u"Described", nullptr, kMargins,
                                      reinterpret_cast<LPWSTR>(margins), nullptr));
    EXPECT_EQ(10000000, Read32(margins + 4));
    EXPECT_EQ(4, Read32(margins + 12));
}

TEST(DeviceCapabilities, IsRecordedWithTheUserItRanAs) {
    HANDLE bob = platformtest::CreateTestUserToken(u"bob", "/b");
    platformtest::ImpersonationLog log;
    ASSERT_TRUE(SetThreadToken(nullptr, bob));
    DeviceCapabilitiesW(platformprinters::kBuiltinPrinterName, nullptr, kForms, nullptr, nullptr);
    ASSERT_TRUE(SetThreadToken(nullptr, nullptr));
    EXPECT_TRUE(CloseHandle(bob));
    using Entry = platformtest::ImpersonationLog::Entry;
    EXPECT_EQ((std::vector<Entry>{{"SetThreadToken", u"bob"},
                                  {"DeviceCapabilitiesW", u"bob"},
                                  {"SetThreadToken", u""}}),
              log.Entries());
}

} // namespace
