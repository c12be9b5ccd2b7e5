// The imageable area of a page: the driver's margins, asked as the printing user, turned for
// the ticket's orientation, kept on the page.
#include "devmodetestsupport.h"
#include "printschematestsupport.h"

#include <filterutilities/pageimageablepchandler.h>

#include <handleapi.h>
#include <platformsecurity.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <unistd.h>

using namespace printschematest;
using namespace devmodetest;

namespace {

namespace fs = std::filesystem;
using PrintSchema::PageImageableSize::PageImageableData;

std::string Describe(const PageImageableData& a) {
    return "size " + std::to_string(a.imageableSizeWidth) + "x" +
           std::to_string(a.imageableSizeHeight) + " origin " + std::to_string(a.originWidth) +
           "," + std::to_string(a.originHeight) + " extent " + std::to_string(a.extentWidth) + "x" +
           std::to_string(a.extentHeight);
}

// A view over one page ticket, and printers of our own with the margins a test needs.
class PageImageable : public DomTest {
protected:
    void SetUp() override {
        DomTest::SetUp();
        m_folder = fs::temp_directory_path() / ("fu-imageable-" + std::to_string(getpid()));
        fs::create_directories(m_folder);
        const char* framework = "xmlns:psf=\"http://schemas.microsoft.com/windows/2003/08/"
                                "printing/printschemaframework\" version=\"1\"/>";
        std::ofstream(m_folder / "caps.xml") << "<psf:PrintCapabilities " << framework;
        std::ofstream(m_folder / "ticket.xml") << "<psf:PrintTicket " << framework;
        setenv("FILTERUTILITIES_PRINTERS", m_folder.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("FILTERUTILITIES_PRINTERS");
        fs::remove_all(m_folder);
        DomTest::TearDown();
    }
    // A printer named "Margins" with these margins (left top right bottom, micrometres).
    void Margins(const std::string& margins) {
        std::ofstream(m_folder / "margins.printer")
            << "name = Margins\ndriver = D\ncapabilities = caps.xml\n"
               "default-ticket = ticket.xml\nmargins = "
            << margins << "\n";
    }
    void Fill(const std::string& body) {
        m_dom = LoadBytes(TicketXml(body));
        m_view.Initialize(kPTPageScope, m_dom, nullptr, nullptr, nullptr, nullptr,
                          CXString(u"Margins"), nullptr);
    }
    HRESULT Ask(PageImageableData& area, int width = 210000, int height = 297000,
                void* token = nullptr, const WCHAR* printer = u"Margins") {
        PrintSchema::PageMediaSize::PageMediaSizeData media;
        media.width = width;
        media.height = height;
        return CPageImageablePCHandler(&m_view).GetData(printer, token, &media, &area);
    }

    fs::path m_folder;
    CComPtr<IXMLDOMDocument2> m_dom;
    XpsFilterPrintTicket m_view;
};

std::string Snapshot(const AttributeBytesIndexedList& model) {
    return SnapshotXml(Base64(KDevmode::Build(model)));
}

TEST_F(PageImageable, TurnsThePortraitMarginsForEachOrientation) {
    Margins("1000 2000 3000 4000");
    struct Case {
        const char* orientation;
        std::string area;
    } const cases[] = {
        {nullptr, "size 210000x297000 origin 1000,2000 extent 206000x291000"},
        {"Portrait", "size 210000x297000 origin 1000,2000 extent 206000x291000"},
        {"ReversePortrait", "size 210000x297000 origin 3000,4000 extent 206000x291000"},
        {"Landscape", "size 297000x210000 origin 4000,1000 extent 291000x206000"},
        {"ReverseLandscape", "size 297000x210000 origin 2000,3000 extent 291000x206000"},
        {"psk:NotAnOrientation", "size 210000x297000 origin 1000,2000 extent 206000x291000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.orientation ? c.orientation : "no orientation");
        Fill(c.orientation ? FeatureXml("PageOrientation", c.orientation) : "");
        PageImageableData area;
        EXPECT_EQ(S_OK, Ask(area));
        EXPECT_EQ(c.area, Describe(area));
    }
}

TEST_F(PageImageable, AnAreaNeverLeavesThePage) {
    struct Case {
        const char* margins;
        const char* orientation;
        std::string area;
    } const cases[] = {
        {"150000 2000 100000 4000", "Portrait",
         "size 210000x297000 origin 150000,2000 extent 0x291000"},
        {"300000 0 0 400000", "Portrait", "size 210000x297000 origin 210000,0 extent 0x0"},
        {"300000 0 0 400000", "Landscape", "size 297000x210000 origin 297000,210000 extent 0x0"},
        {"0 0 0 0", "Landscape", "size 297000x210000 origin 0,0 extent 297000x210000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.margins) + " " + c.orientation);
        Margins(c.margins);
        Fill(FeatureXml("PageOrientation", c.orientation));
        PageImageableData area;
        EXPECT_EQ(S_OK, Ask(area));
        EXPECT_EQ(c.area, Describe(area));
    }
}

TEST_F(PageImageable, BorderlessPrintingAsksNoMargins) {
    Margins("1000 2000 3000 4000");
    const std::string bordered = "size 210000x297000 origin 1000,2000 extent 206000x291000";
    const std::string borderless = "size 210000x297000 origin 0,0 extent 210000x297000";
    struct Case {
        const char* name;
        std::optional<bool> booklet;
        int feature311, feature813;
        std::string area;
    } const cases[] = {
        {"borderless", std::nullopt, 8011, 0, borderless},
        {"borderless, not a booklet", false, 8011, 8011, borderless},
        {"a booklet reads its own setting", true, 8011, 0, bordered},
        {"a borderless booklet", true, 0, 8011, borderless},
        {"another value", std::nullopt, 8010, 0, bordered},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AttributeBytesIndexedList model;
        if (c.booklet) {
            model.SetBooleanValue(AttributeBytesFeatureId(216), *c.booklet);
        }
        model.SetOptionValue(AttributeBytesFeatureId(311), c.feature311);
        model.SetOptionValue(AttributeBytesFeatureId(813), c.feature813);
        Fill(Snapshot(model));
        platformtest::ImpersonationLog log;
        PageImageableData area;
        EXPECT_EQ(S_OK, Ask(area));
        EXPECT_EQ(c.area, Describe(area));
        EXPECT_EQ(c.area == bordered, !log.Entries().empty()) << "the driver is asked";
    }
}

TEST_F(PageImageable, AsksTheDriverAsTheUserAndLeavesTheViewsDevmodeAlone) {
    Margins("1000 2000 3000 4000");
    AttributeBytesIndexedList model;
    model.SetOptionValue(AttributeBytesFeatureId(215), 7242);
    Fill(Snapshot(model));
    m_view.GetNUp();
    const ByteBuffer before = m_view.GetDevmode();
    ASSERT_GT(before.getDword(), 0u);

    HANDLE dave = platformtest::CreateTestUserToken(u"dave", "/d");
    platformtest::ImpersonationLog log;
    PageImageableData area;
    EXPECT_EQ(S_OK, Ask(area, 210000, 297000, dave));
    EXPECT_EQ("size 210000x297000 origin 1000,2000 extent 206000x291000", Describe(area));
    using Entry = platformtest::ImpersonationLog::Entry;
    EXPECT_EQ((std::vector<Entry>{{"SetThreadToken", u"dave"},
                                  {"DeviceCapabilitiesW", u"dave"},
                                  {"SetThreadToken", u""}}),
              log.Entries());
    EXPECT_TRUE(CloseHandle(dave));
    ASSERT_EQ(before.getDword(), m_view.GetDevmode().getDword());
    EXPECT_EQ(0,
              std::memcmp(before.getLpbyte(), m_view.GetDevmode().getLpbyte(), before.getDword()))
        << "the marker goes into a copy";
}

TEST_F(PageImageable, ADriverThatDoesNotAnswerLeavesTheMarginsAtZero) {
    Fill(FeatureXml("PageOrientation", "Landscape"));
    PageImageableData area;
    EXPECT_EQ(E_FAIL, Ask(area, 100000, 200000, nullptr, u"No Such Printer"));
    EXPECT_EQ("size 200000x100000 origin 0,0 extent 200000x100000", Describe(area));
}

TEST_F(PageImageable, RefusesMissingPiecesAndTakesTheOutputPaperSize) {
    Margins("10 20 30 40");
    Fill("");
    PrintSchema::PageMediaSize::PageMediaSizeData media;
    PageImageableData area;
    area.extentWidth = 77;
    EXPECT_EQ(E_POINTER,
              CPageImageablePCHandler(&m_view).GetData(u"Margins", nullptr, &media, nullptr));
    EXPECT_EQ(E_POINTER,
              CPageImageablePCHandler(&m_view).GetData(
                  u"Margins", nullptr,
                  static_cast<const PrintSchema::PageMediaSize::PageMediaSizeData*>(nullptr),
                  &area));
    EXPECT_EQ(E_PENDING,
              CPageImageablePCHandler(nullptr).GetData(u"Margins", nullptr, &media, &area));
    EXPECT_EQ(77, area.extentWidth);

    PrintSchema::OutputPaperSize::OutputPaperSizeData paper;
    paper.width = 1000;
    paper.height = 2000;
    paper.outputSizeValueId = 1234;
    EXPECT_EQ(S_OK, CPageImageablePCHandler(&m_view).GetData(u"Margins", nullptr, &paper, &area));
    EXPECT_EQ("size 1000x2000 origin 10,20 extent 960x1940", Describe(area));
}

} // namespace
