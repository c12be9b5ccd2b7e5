// The watermark filter over real jobs: rendered with MuPDF, a watermarked page differs from
// its input only inside the box measured for each watermark record (worked out here through
// the ticket view, not from the picture); the font is one part per job, named by every page;
// a page with nothing to draw is passed on byte for byte; libgxps opens what the filter
// writes; the loadable module draws a job's own settings text from its client job data.
#include "tools/toolrunner.h"

#include "filterutilities/filtertestdoubles.h"
#include "filterutilities/printschematestsupport.h"
#include "filterutilities/xpsjobtestsupport.h"
#include "fixedzone.h"

#include <filterutilities/pageimageablepchandler.h>
#include <filterutilities/xpsfilterprintticket.h>

#include <watermark/watermarkfilter.h>

#include <kldutil/clientjobdatareaderwriter.h>
#include <kldutil/printer.h>

#include <handleapi.h>
#include <objbase.h>
#include <platformtest.h>
#include <processthreadsapi.h>
#include <wingdi.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <numbers>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace {

using pipelinetest::Make;
using PrintSchema::Watermark::WatermarkData;

constexpr char kPrinter[] = "FilterUtilities XPS Printer";
constexpr int kDotsPerInch = 48;

int Shell(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string DefaultTicketPath() {
    return std::string(FILTERUTILITIES_EXAMPLES) + "/tickets/job-ticket-a4-duplex.xml";
}

void MakeJob(const std::string& path, const std::string& arguments) {
    ASSERT_EQ(0, Shell(std::string("python3 '" XPSTEST_MAKE_XPS "' '") + path + "' " + arguments));
}

// A grey picture of one page, as MuPDF draws it.
struct Picture {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> grey;
};

Picture Draw(const ScratchFolder& folder, const std::string& job, const std::string& name) {
    const std::string path = folder.Path(name + ".pgm");
    EXPECT_EQ(0, Shell("mutool draw -q -r " + std::to_string(kDotsPerInch) + " -c gray -o '" +
                       path + "' '" + job + "' 1 2>/dev/null"))
        << "mutool draw failed (is mupdf-tools installed?)";
    const std::string bytes = ReadFile(path);
    std::istringstream in(bytes);
    std::string magic;
    int maximum = 0;
    Picture picture;
    in >> magic >> picture.width >> picture.height >> maximum;
    in.get();
    EXPECT_EQ("P5", magic);
    const size_t start = static_cast<size_t>(in.tellg());
    picture.grey.assign(bytes.begin() + static_cast<std::ptrdiff_t>(start), bytes.end());
    EXPECT_EQ(static_cast<size_t>(picture.width) * picture.height, picture.grey.size());
    return picture;
}

// A measured box on the page: the record's line box and where the filter's drawing sends it.
struct Box {
    double left = 0, top = 0, width = 0, height = 0; // in 1/96 inch, before turning
    bool annotation = false; // the record's frame is the page turned by 90 degrees
    double angle = 0;        // degrees, counter-clockwise
    double xOffset = 0, yOffset = 0, pageHeight = 0;

    // Whether a point of the page (1/96 inch) lies in the box grown by margin.
    bool Holds(double x, double y, double margin) const {
        double u = x;
        double v = y;
        if (annotation) {
            u = pageHeight - y; // the turned frame's x runs up the page
            v = x;
        } else {
            const double cx = left + width / 2;
            const double cy = top + height / 2;
            const double dx = x - xOffset - cx;
            const double dy = y - yOffset - cy;
            const double a = angle * std::numbers::pi / 180;
            // Back through a counter-clockwise turn on a page whose y runs down.
            u = cx + dx * std::cos(a) - dy * std::sin(a);
            v = cy + dx * std::sin(a) + dy * std::cos(a);
        }
        return u >= left - margin && u <= left + width + margin && v >= top - margin &&
               v <= top + height + margin;
    }
};

// The records the filter's page view gives for the printer's default ticket, through the view
// itself, with the descent GDI gives the record's font.
class Records {
public:
    Records() {
        EXPECT_TRUE(
            OpenProcessToken(GetCurrentProcess(), TOKEN_IMPERSONATE | TOKEN_QUERY, &token_));
        ticket_ = printschematest::LoadBytes(ReadFile(DefaultTicketPath()));
        view_.Initialize(kPTPageScope, ticket_, nullptr, nullptr, nullptr, nullptr,
                         CXString(u"FilterUtilities XPS Printer"), token_);
        const auto media = view_.GetPageMediaSize();
        EXPECT_EQ(S_OK, CPageImageablePCHandler(&view_).GetData(u"FilterUtilities XPS Printer",
                                                                token_, &media, &area_));
        view_.SetPageSize(media.width * 96.0 / 25400, media.height * 96.0 / 25400, area_);
    }
    ~Records() { CloseHandle(token_); }
    Records(const Records&) = delete;
    Records& operator=(const Records&) = delete;

    Box Watermark(const std::u16string& settings) {
        CXString text(settings);
        HRESULT status = E_FAIL;
        const WatermarkData& record = view_.ParseWatermarkData(&text, nullptr, &status);
        EXPECT_EQ(S_OK, status);
        Box box = BoxOf(record);
        box.angle = record.angle;
        box.xOffset = record.xOffset;
        box.yOffset = record.yOffset;
        return box;
    }
    // The box a picture of that size (1/96 inch at the picture's own resolution) is drawn in:
    // times the record's scale, centred on the record's page, moved by its offsets.
    Box Picture(const std::u16string& settings, double width, double height) {
        CXString text(settings);
        HRESULT status = E_FAIL;
        const WatermarkData& record = view_.ParseWatermarkData(&text, nullptr, &status);
        EXPECT_EQ(S_OK, status);
        EXPECT_EQ(WatermarkData::Image, record.type);
        Box box;
        box.width = width * record.imageScale;
        box.height = height * record.imageScale;
        box.left = (record.pageWidth - box.width) / 2 + record.xOffset;
        box.top = (record.pageHeight - box.height) / 2 + record.yOffset;
        return box;
    }
    Box Annotation(const std::u16string& line) {
        CXString text(line);
        ByteBuffer unused;
        HRESULT status = E_FAIL;
        const WatermarkData& record =
            view_.ParseAnnotationWatermarkData(&text, &unused, nullptr, &status);
        EXPECT_EQ(S_OK, status);
        Box box = BoxOf(record);
        box.annotation = true;
        return box;
    }

private:
    static Box BoxOf(const WatermarkData& record) {
        EXPECT_TRUE(record.type == WatermarkData::Text ||
                    record.type == WatermarkData::DateTimeStamp);
        HDC dc = CreateICW(nullptr, u"FilterUtilities XPS Printer", nullptr, nullptr);
        HFONT font = CreateFontIndirectW(&record.textData.font);
        HGDIOBJ old = SelectObject(dc, font);
        TEXTMETRICW metrics{};
        EXPECT_TRUE(GetTextMetricsW(dc, &metrics));
        SelectObject(dc, old);
        DeleteObject(font);
        DeleteDC(dc);
        Box box;
        box.left = record.x;
        box.top = record.y + metrics.tmDescent - record.extentHeight;
        box.width = record.extentWidth;
        box.height = record.extentHeight;
        box.pageHeight = record.pageHeight;
        return box;
    }

    HANDLE token_ = nullptr;
    CComPtr<IXMLDOMDocument2> ticket_;
    XpsFilterPrintTicket view_;
    PrintSchema::PageImageableSize::PageImageableData area_;
};

// Every pixel that changed lies in one of the boxes (grown by a pixel and a half for the
// antialiased edge), and each box has pixels that changed.
void ExpectChangesOnlyInside(const Picture& before, const Picture& after,
                             const std::vector<Box>& boxes) {
    ASSERT_EQ(before.width, after.width);
    ASSERT_EQ(before.height, after.height);
    const double pixel = 96.0 / kDotsPerInch;
    std::vector<int> changedIn(boxes.size(), 0);
    int outside = 0;
    for (int row = 0; row < before.height; ++row) {
        for (int column = 0; column < before.width; ++column) {
            const size_t at = static_cast<size_t>(row) * before.width + column;
            if (std::abs(before.grey[at] - after.grey[at]) <= 2) {
                continue;
            }
            const double x = (column + 0.5) * pixel;
            const double y = (row + 0.5) * pixel;
            bool inside = false;
            for (size_t i = 0; i < boxes.size(); ++i) {
                if (boxes[i].Holds(x, y, 1.5 * pixel)) {
                    ++changedIn[i];
                    inside = true;
                }
            }
            if (!inside) {
                ADD_FAILURE_AT(__FILE__, __LINE__)
                    << "pixel " << column << "," << row << " changed outside every box";
                if (++outside > 5) {
                    return;
                }
            }
        }
    }
    for (size_t i = 0; i < boxes.size(); ++i) {
        EXPECT_GT(changedIn[i], 20) << "box " << i << " drew nothing";
    }
}

struct DrawCase {
    const char* name;
    const char* job;         // make-xps arguments
    std::string options;     // after "watermark:"
    std::u16string settings; // the settings text the options give, for the record
    std::u16string annotation;
    const char* fontPart; // the font part's extension
};

void PrintTo(const DrawCase& c, std::ostream* out) {
    *out << c.name;
}

class WatermarkDrawing : public ::testing::TestWithParam<DrawCase> {
protected:
    void SetUp() override { ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)); }
    void TearDown() override { CoUninitialize(); }
};

TEST_P(WatermarkDrawing, ChangesThePageOnlyInsideTheMeasuredBoxes) {
    const DrawCase& c = GetParam();
    ScratchFolder folder;
    const std::string in = folder.Path("in.xps");
    const std::string out = folder.Path("out.xps");
    MakeJob(in, std::string(c.job) + " --pages 2");
    const ToolRun run =
        RunFilterutil({"run", "--printer", kPrinter, "--ticket", DefaultTicketPath(), "--filter",
                       "watermark:" + c.options, in, out});
    ASSERT_EQ(0, run.status) << run.err;

    Records records;
    std::vector<Box> boxes;
    if (!c.settings.empty()) {
        boxes.push_back(records.Watermark(c.settings));
    }
    if (!c.annotation.empty()) {
        boxes.push_back(records.Annotation(c.annotation));
    }
    ExpectChangesOnlyInside(Draw(folder, in, "in"), Draw(folder, out, "out"), boxes);

    // One font part, of the package's flavour, named by both pages; libgxps draws the pages.
    const ToolRun list = RunFilterutil({"xps", "list", out});
    ASSERT_EQ(0, list.status) << list.err;
    const std::regex part(std::string("/Resources/Fonts/[0-9A-F-]{36}\\.") + c.fontPart + " ");
    std::set<std::string> names;
    int named = 0;
    for (auto m = std::sregex_iterator(list.out.begin(), list.out.end(), part);
         m != std::sregex_iterator(); ++m, ++named) {
        names.insert(m->str());
    }
    EXPECT_EQ(1u, names.size()) << list.out;
    EXPECT_EQ(2, named) << list.out;
    EXPECT_EQ(0, Shell("xpstopng -r 12 '" + out + "' '" + folder.Path("gxps") + "' 2>/dev/null"))
        << "libgxps cannot draw the output (is libgxps-utils installed?)";
    EXPECT_TRUE(std::filesystem::exists(folder.Path("gxps-2.png")));
}

INSTANTIATE_TEST_SUITE_P(
    Records, WatermarkDrawing,
    ::testing::Values(
        DrawCase{"TextTurnedMovedAndColoured", "",
                 "settings=<Type>0</Type><KldWmText>Confidential & <draft></KldWmText>"
                 "<FontEsc>300</FontEsc><XOffset>0.5</XOffset><YOffset>-1.25</YOffset>"
                 "<Red>200</Red><Blue>40</Blue><Density>60</Density><FontWeight>700</FontWeight>",
                 u"<Type>0</Type><KldWmText>Confidential & <draft></KldWmText>"
                 u"<FontEsc>300</FontEsc><XOffset>0.5</XOffset><YOffset>-1.25</YOffset>"
                 u"<Red>200</Red><Blue>40</Blue><Density>60</Density><FontWeight>700</FontWeight>",
                 u"", "odttf"},
        DrawCase{"UnderTheContentInOpenXps", "--openxps",
                 "settings=<IniDataType>38</IniDataType><DrawMode>7170</DrawMode><Type>0</Type>"
                 "<KldWmText>{Under}</KldWmText><FontFace>Times New Roman</FontFace>"
                 "<FontHeight>90</FontHeight><Density>80</Density>",
                 u"<IniDataType>38</IniDataType><DrawMode>7170</DrawMode><Type>0</Type>"
                 u"<KldWmText>{Under}</KldWmText><FontFace>Times New Roman</FontFace>"
                 u"<FontHeight>90</FontHeight><Density>80</Density>",
                 u"", "ttf"},
        DrawCase{"DateStampAndAnnotation", "--page-tickets none",
                 "stamp=4,annotation=Printed for A. N. Other",
                 u"<Type>1</Type><KldWmText>4</KldWmText>", u"Printed for A. N. Other", "odttf"},
        DrawCase{"AnnotationAloneInOpenXps", "--openxps", "annotation=\xF0\x9D\x84\x9E page", u"",
                 u"\U0001D11E page", "ttf"}));

// A page whose settings draw nothing goes on as it came, byte for byte.
TEST(WatermarkFilter, PagesWithNothingToDrawPassUnchanged) {
    ScratchFolder folder;
    const std::string in = folder.Path("in.xps");
    MakeJob(in, "--pages 2");
    const std::string listed = "python3 -c 'import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); "
                               "sys.stdout.buffer.write(b\"\".join(z.read(n) for n in "
                               "sorted(z.namelist()) if n.endswith(\".fpage\")))' ";
    const auto pagesOf = [&](const std::string& job) {
        const std::string bytes = folder.Path("pages.bin");
        EXPECT_EQ(0, Shell(listed + "'" + job + "' > '" + bytes + "'"));
        return ReadFile(bytes);
    };
    const std::string pages = pagesOf(in);
    ASSERT_FALSE(pages.empty());
    const struct {
        const char* name;
        std::vector<std::string> filter; // after --filter
    } cases[] = {
        {"no settings text at all", {"watermark"}},
        {"a type that draws nothing", {"watermark:settings=<Type>7</Type>"}},
        {"no Type", {"watermark:settings=<KldWmText>x</KldWmText>"}},
        {"an empty text", {"watermark:settings=<Type>0</Type><KldWmText></KldWmText>"}},
        {"density 0",
         {"watermark:settings=<Type>0</Type><KldWmText>x</KldWmText><Density>0</Density>"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string out = folder.Path("out.xps");
        const ToolRun run =
            RunFilterutil({"run", "--printer", kPrinter, "--filter", c.filter[0], in, out});
        ASSERT_EQ(0, run.status) << run.err;
        EXPECT_TRUE(pages == pagesOf(out));
        const ToolRun list = RunFilterutil({"xps", "list", out});
        EXPECT_EQ(std::string::npos, list.out.find("odttf")) << list.out;
    }
}

// A long job carries the font once, and every page names it.
TEST(WatermarkFilter, OneFontPartForAHundredPages) {
    ScratchFolder folder;
    const std::string in = folder.Path("in.xps");
    const std::string out = folder.Path("out.xps");
    MakeJob(in, "--documents 2 --pages 50 --lines 1");
    const ToolRun run = RunFilterutil({"run", "--printer", kPrinter, "--filter",
                                       "watermark:text=DRAFT,annotation=Proof", in, out});
    ASSERT_EQ(0, run.status) << run.err;
    const ToolRun list = RunFilterutil({"xps", "list", "--json", out});
    ASSERT_EQ(0, list.status) << list.err;
    const std::regex named("\"uri\": \"(/Resources/Fonts/[0-9A-F-]{36}\\.odttf)\"");
    std::set<std::string> names;
    int pagesNaming = 0;
    for (auto m = std::sregex_iterator(list.out.begin(), list.out.end(), named);
         m != std::sregex_iterator(); ++m) {
        names.insert((*m)[1]);
        ++pagesNaming;
    }
    ASSERT_EQ(1u, names.size()); // Arial and Helvetica are one face here: one file
    EXPECT_EQ(100, pagesNaming);
    const std::string entries = folder.Path("entries.txt");
    ASSERT_EQ(0, Shell("python3 -c 'import sys, zipfile; print(\"\\n\".join(zipfile.ZipFile("
                       "sys.argv[1]).namelist()))' '" +
                       out + "' > '" + entries + "'"));
    const std::string listing = ReadFile(entries);
    const std::string entry = names.begin()->substr(1);
    EXPECT_NE(std::string::npos, listing.find(entry));
    EXPECT_EQ(listing.find(entry), listing.rfind(entry)) << "the font part is stored twice";
}

// The watermark markup the filter added to each page of a job, in page order: its Glyphs (those
// drawn with an embedded watermark font), each without the font's part name, which differs from
// job to job.
std::vector<std::string> DrawnMarks(const ScratchFolder& folder, const std::string& job) {
    const std::string script = folder.Path("marks.py");
    WriteFile(script, R"py(import re, sys, zipfile
job = zipfile.ZipFile(sys.argv[1])
pages = sorted((n for n in job.namelist() if n.endswith('.fpage')),
               key=lambda n: [int(x) for x in re.findall(r'\d+', n)])
for name in pages:
    marks = re.findall(rb'<Glyphs [^>]*FontUri="/Resources/Fonts/[0-9A-F-]{36}\.(?:odttf|ttf)"[^>]*/>',
                       job.read(name))
    print(b' '.join(re.sub(rb' FontUri="[^"]*"', b'', m) for m in marks).decode())
)py");
    const std::string listed = folder.Path("marks.txt");
    EXPECT_EQ(0, Shell("python3 '" + script + "' '" + job + "' > '" + listed + "'"));
    std::vector<std::string> lines;
    std::istringstream text(ReadFile(listed));
    for (std::string line; std::getline(text, line);) {
        lines.push_back(line);
    }
    return lines;
}

// Pages that share their document's ticket share one drawing; a page with a ticket of its own,
// or with one an earlier filter rewrote, is drawn for its own ticket. Each page's watermark is
// compared with the one drawn on a job whose pages are all of that orientation.
TEST(WatermarkFilter, EachPageIsDrawnForItsOwnTicket) {
    ScratchFolder folder;
    // A job made by make-xps with the tickets whose entry names match pattern turned to
    // landscape.
    const auto turned = [&](const std::string& name, const std::string& arguments,
                            const std::string& pattern) {
        const std::string made = folder.Path(name + "-made.xps");
        const std::string path = folder.Path(name + ".xps");
        MakeJob(made, arguments);
        EXPECT_EQ(0,
                  Shell("python3 -c 'import re, sys, zipfile\n"
                        "source = zipfile.ZipFile(sys.argv[1])\n"
                        "with zipfile.ZipFile(sys.argv[2], \"w\") as target:\n"
                        "    for entry in source.infolist():\n"
                        "        data = source.read(entry)\n"
                        "        if re.search(sys.argv[3], entry.filename):\n"
                        "            data = data.replace(b\"psk:Portrait\", b\"psk:Landscape\")\n"
                        "        target.writestr(entry, data)' '" +
                        made + "' '" + path + "' '" + pattern + "'"));
        return path;
    };
    const std::string watermark =
        "watermark:settings=<Type>0</Type><KldWmText>Reused</KldWmText><FontEsc>300</FontEsc>";
    const auto marks = [&](const std::vector<std::string>& filters, const std::string& in) {
        std::vector<std::string> arguments = {"run", "--printer", kPrinter};
        for (const std::string& filter : filters) {
            arguments.insert(arguments.end(), {"--filter", filter});
        }
        const std::string out = folder.Path("out.xps");
        arguments.insert(arguments.end(), {in, out});
        const ToolRun run = RunFilterutil(arguments);
        EXPECT_EQ(0, run.status) << run.err;
        return DrawnMarks(folder, out);
    };

    const std::string portrait = folder.Path("portrait.xps");
    MakeJob(portrait, "--pages 1 --page-tickets every");
    const std::vector<std::string> portraitMarks = marks({watermark}, portrait);
    const std::vector<std::string> landscapeMarks =
        marks({watermark}, turned("landscape", "--pages 1 --page-tickets every", "Page1_PT"));
    ASSERT_EQ(1u, portraitMarks.size());
    ASSERT_EQ(1u, landscapeMarks.size());
    ASSERT_NE(std::string::npos, portraitMarks[0].find("UnicodeString=\"Reused\""));
    ASSERT_NE(portraitMarks[0], landscapeMarks[0]);

    // Two documents of three pages: every page a ticket of its own, odd pages landscape; or
    // the first page alone a ticket of its own.
    const std::string alternating =
        turned("alternating", "--documents 2 --pages 3 --page-tickets every", "Page[13]_PT");
    const std::string firstTurned =
        turned("first", "--documents 2 --pages 3 --page-tickets first", "Page1_PT");
    const std::string first = folder.Path("firstportrait.xps");
    MakeJob(first, "--documents 2 --pages 3 --page-tickets first");
    const struct {
        const char* name;
        std::string job;
        std::vector<std::string> filters;
        const char* orientations; // of each page: L landscape, P portrait
    } cases[] = {
        {"own tickets alternating", alternating, {watermark}, "LPLLPL"},
        {"a first page of its own, the others the document's", firstTurned, {watermark}, "LPPLPP"},
        {"every page turned by the ticket filter",
         alternating,
         {"ticket:PageOrientation=Landscape@page", watermark},
         "LLLLLL"},
        {"every page turned back by the ticket filter",
         alternating,
         {"ticket:PageOrientation=Portrait@page", watermark},
         "PPPPPP"},
        {"pages given one rewritten ticket by the ticket filter",
         first,
         {"ticket:PageOrientation=Landscape@page", watermark},
         "LLLLLL"},
        {"the documents turned by the ticket filter",
         first,
         {"ticket:PageOrientation=Landscape@document", watermark},
         "PLLPLL"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string drawn;
        for (const std::string& mark : marks(c.filters, c.job)) {
            drawn += mark == landscapeMarks[0] ? 'L' : mark == portraitMarks[0] ? 'P' : '?';
        }
        EXPECT_EQ(c.orientations, drawn);
    }
}

// Hands out the parts of a job, fixing the system time before each page: the n-th page at
// times[n].
class ClockedReader : public CUnknown<IXpsDocumentProvider> {
public:
    ClockedReader(CComPtr<IXpsDocumentProvider> reader, std::vector<ULONGLONG> times,
                  platformtest::FixedSystemTime& clock)
        : CUnknown(IID_IXpsDocumentProvider), m_reader(std::move(reader)),
          m_times(std::move(times)), m_clock(clock) {}

    HRESULT STDMETHODCALLTYPE GetXpsPart(IUnknown** part) override {
        const HRESULT hr = m_reader->GetXpsPart(part);
        CComPtr<IFixedPage> page;
        if (SUCCEEDED(hr) && *part &&
            SUCCEEDED((*part)->QueryInterface(IID_IFixedPage, reinterpret_cast<void**>(&page))) &&
            m_next < m_times.size()) {
            m_clock.Set(m_times[m_next++]);
        }
        return hr;
    }

private:
    CComPtr<IXpsDocumentProvider> m_reader;
    std::vector<ULONGLONG> m_times;
    platformtest::FixedSystemTime& m_clock;
    size_t m_next = 0;
};

// Pages that share a ticket share a date stamp while the clock stays in one second; the next
// second's page gets the stamp formed again.
TEST(WatermarkFilter, ADateStampIsFormedAgainWhenTheSecondChanges) {
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    const FixedZone zone("UTC0");
    ScratchFolder folder;
    const std::string in = folder.Path("in.xps");
    const std::string out = folder.Path("out.xps");
    MakeJob(in, "--pages 5 --lines 1 --page-tickets none");

    // 2026-03-04 05:06:07 UTC as a FILETIME, and each page's time a number of tenths of a
    // second after it.
    constexpr ULONGLONG kStart = 134170743670000000ull;
    constexpr ULONGLONG kTenth = 1000000ull;
    const std::vector<ULONGLONG> times = {kStart + 1 * kTenth, kStart + 6 * kTenth,
                                          kStart + 12 * kTenth, kStart + 19 * kTenth,
                                          kStart + 50 * kTenth};
    const char* const seconds[] = {":06:07", ":06:07", ":06:08", ":06:08", ":06:12"};
    {
        platformtest::FixedSystemTime clock(kStart);
        HANDLE user = nullptr;
        ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_IMPERSONATE | TOKEN_QUERY, &user));
        WatermarkFilterOptions options;
        options.settings = u"<Type>1</Type><KldWmText>2</KldWmText>"; // the time
        CComPtr<IClassFactory> factory;
        ASSERT_EQ(S_OK, MakeWatermarkFilterFactory(options, &factory));
        CComPtr<IPrintPipelineFilter> filter;
        ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IPrintPipelineFilter,
                                                reinterpret_cast<void**>(&filter)));
        CComPtr<filtertest::Communicator> communicator = Make<filtertest::Communicator>();
        communicator->m_reader = Make<ClockedReader>(xpsjob::OpenReader(in), times, clock);
        communicator->m_writer = xpsjob::CreateWriter(out);
        CComPtr<filtertest::ManagerControl> control = Make<filtertest::ManagerControl>();
        ASSERT_EQ(S_OK, filter->InitializeFilter(communicator, filtertest::PipelineProperties(user),
                                                 control));
        EXPECT_EQ(S_OK, filter->StartOperation());
        filter.Release();
        CloseHandle(user);
    }
    CoUninitialize();

    const std::vector<std::string> marks = DrawnMarks(folder, out);
    ASSERT_EQ(std::size(seconds), marks.size());
    const std::regex stamp("UnicodeString=\"([^\"]*)\"");
    std::vector<std::string> texts;
    for (size_t page = 0; page < marks.size(); ++page) {
        SCOPED_TRACE(page + 1);
        std::smatch found;
        ASSERT_TRUE(std::regex_search(marks[page], found, stamp)) << marks[page];
        texts.push_back(found[1]);
        EXPECT_NE(std::string::npos, texts.back().find(seconds[page])) << texts.back();
    }
    EXPECT_EQ(texts[0], texts[1]);
    EXPECT_EQ(texts[2], texts[3]);
}

// A copy of the font GDI matches for Arial, under another family name of the same length and
// with the embedding its licence permits (OS/2 fsType) set; then the fonts fontconfig finds
// for a child given FONTCONFIG_FILE: the system's and the copy.
constexpr char kLicensedFont[] = R"(import struct, subprocess, sys
folder, family, fs_type = sys.argv[1], sys.argv[2], int(sys.argv[3], 0)
source = subprocess.run(['fc-match', '-f', '%{file}', 'Arial'], check=True,
                        capture_output=True).stdout.decode()
font = bytearray(open(source, 'rb').read())
old = b'Liberation Sans'
assert len(family) == len(old) and font.count(old) > 0
font = font.replace(old, family.encode()).replace(old.decode().encode('utf-16-be'),
                                                  family.encode('utf-16-be'))
for i in range(struct.unpack('>H', font[4:6])[0]):
    tag, _, offset, _ = struct.unpack('>4sIII', font[12 + 16 * i:28 + 16 * i])
    if tag == b'OS/2':
        font[offset + 8:offset + 10] = struct.pack('>H', fs_type)
open(folder + '/licensed.ttf', 'wb').write(font)
open(folder + '/fonts.conf', 'w').write(
    '<?xml version="1.0"?><fontconfig><include ignore_missing="yes">/etc/fonts/fonts.conf'
    '</include><dir>%s</dir><cachedir>%s/cache</cachedir></fontconfig>' % (folder, folder))
)";

constexpr char kFontParts[] = R"(import sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
rels = {n: z.read(n).decode() for n in z.namelist() if n.endswith('.rels')}
for n in z.namelist():
    if n.startswith('Resources/Fonts/') and not n.endswith('/Font0.ttf'):
        def naming(kind, where):
            return sum(1 for k, v in rels.items() if where in k and
                       kind + '" Target="/' + n + '"' in v)
        copy = sys.argv[2].encode('utf-16-be') in z.read(n)
        print(n.rsplit('.', 1)[1], 'copy' if copy else 'default',
              naming('required-resource', '/Pages/'), naming('restricted-font', 'FixedDocument'))
)";

// What a watermark drawn with a font of each licence puts in the package: a font that may not be
// embedded is not (the default face draws in its place, and the filter says why); a font for
// print and preview embedding is a restricted font, obfuscated in either flavour and named by a
// restricted-font relationship from the fixed document; an editable one is embedded plainly.
TEST(WatermarkFilter, FontsAreEmbeddedAsTheirLicencesAllow) {
    struct Case {
        const char* name;
        const char* family; // as long as "Liberation Sans"
        const char* fsType;
        bool embedded;   // the copy, as opposed to the default face
        bool restricted; // obfuscated and named from the document
    };
    const Case cases[] = {
        {"restricted licence", "Restricted Sans", "0x0002", false, false},
        {"bitmap embedding only", "Bitmapping Sans", "0x0200", false, false},
        {"print and preview", "Previewing Sans", "0x0004", true, true},
        {"editable", "Editable A Sans", "0x0008", true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchFolder folder;
        const std::string font = folder.Path("");
        WriteFile(folder.Path("licensed.py"), kLicensedFont);
        ASSERT_EQ(0, Shell("python3 '" + folder.Path("licensed.py") + "' '" + font + "' '" +
                           c.family + "' " + c.fsType));
        const std::string in = folder.Path("in.xps");
        const std::string out = folder.Path("out.xps");
        MakeJob(in, "--openxps --documents 2 --pages 2");
        ToolSetting setting;
        const std::string configuration = folder.Path("fonts.conf");
        setting.beforeExec = [&] {
            ::setenv("FONTCONFIG_FILE", configuration.c_str(), 1);
            ::setenv("FILTERUTILITIES_DEBUG", "1", 1);
        };
        const ToolRun run = RunFilterutil(
            {"run", "--printer", kPrinter, "--filter",
             std::string("watermark:settings=<Type>0</Type><KldWmText>DRAFT</KldWmText>"
                         "<FontFace>") +
                 c.family + "</FontFace>",
             in, out},
            setting);
        ASSERT_EQ(0, run.status) << run.err;
        EXPECT_EQ(!c.embedded, run.err.find("may not be embedded") != std::string::npos) << run.err;

        // Each font part: its extension, whether it is the copy, how many pages name it as a
        // required resource and how many fixed documents as a restricted font.
        WriteFile(folder.Path("fonts.py"), kFontParts);
        const std::string report = folder.Path("report.txt");
        ASSERT_EQ(0, Shell("python3 '" + folder.Path("fonts.py") + "' '" + out + "' '" + c.family +
                           "' > '" + report + "'"));
        const std::string parts = ReadFile(report);
        const std::string expected = std::string(c.restricted ? "odttf" : "ttf") +
                                     (c.embedded ? " copy" : " default") + " 4 " +
                                     (c.restricted ? "2" : "0") + "\n";
        EXPECT_EQ(expected, parts);
    }
}

// Pictures made for the image watermarks: a PNG written here (8-bit RGB, its resolution in a
// pHYs chunk) and a JPEG drawn by Ghostscript (its resolution in the JFIF header).
constexpr char kPng[] = R"(import struct, sys, zlib
path, width, height, dpi = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4])
rows = b''.join(b'\x00' + bytes([200, 30, 30]) * width for _ in range(height))
def chunk(kind, data):
    return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))
perMetre = round(dpi / 0.0254)
open(path, 'wb').write(b'\x89PNG\r\n\x1a\n' +
    chunk(b'IHDR', struct.pack('>IIBBBBB', width, height, 8, 2, 0, 0, 0)) +
    chunk(b'pHYs', struct.pack('>IIB', perMetre, perMetre, 1)) +
    chunk(b'IDAT', zlib.compress(rows)) + chunk(b'IEND', b''))
)";

// ASCII text (the scratch folder's paths) as UTF-16 and back.
std::u16string Utf16(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}
std::string Utf8Of(const std::u16string& text) {
    return std::string(text.begin(), text.end());
}

struct PictureCase {
    const char* name;
    const char* file; // named against its kind: the signature tells
    int width, height;
    double dpi;
    const char* scale; // the settings' Scale, in tenths of a millimetre to the inch
    const char* extension;
    const char* tiffCompression; // for a TIFF: Ghostscript's -sCompression
    bool stored;                 // rather than deflated: the pixels are compressed already
};

void PrintTo(const PictureCase& c, std::ostream* out) {
    *out << c.name;
}

class ImageWatermark : public ::testing::TestWithParam<PictureCase> {
protected:
    void SetUp() override { ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)); }
    void TearDown() override { CoUninitialize(); }
};

// An image watermark on every page of a job: MuPDF draws each page changed only inside the
// picture's box; the picture is one part, of its kind, named by every page, holding the file's
// bytes, stored as they are when they are compressed already.
TEST_P(ImageWatermark, IsDrawnInItsBoxFromOnePart) {
    const PictureCase& c = GetParam();
    ScratchFolder folder;
    const std::string image = folder.Path(c.file);
    if (std::string(c.extension) == "png") {
        WriteFile(folder.Path("png.py"), kPng);
        ASSERT_EQ(0, Shell("python3 '" + folder.Path("png.py") + "' '" + image + "' " +
                           std::to_string(c.width) + " " + std::to_string(c.height) + " " +
                           std::to_string(c.dpi)));
    } else {
        const std::string device = std::string(c.extension) == "tif"
                                       ? std::string("tiff24nc -sCompression=") + c.tiffCompression
                                       : std::string("jpeg");
        ASSERT_EQ(0,
                  Shell("gs -q -dSAFER -dNOPAUSE -dBATCH -sDEVICE=" + device + " -r" +
                        std::to_string(static_cast<int>(c.dpi)) + " -g" + std::to_string(c.width) +
                        "x" + std::to_string(c.height) + " -sOutputFile='" + image +
                        "' -c '0.8 0.1 0.1 setrgbcolor 0 0 1000 1000 rectfill showpage'"))
            << "is Ghostscript installed?";
    }
    const std::u16string settings = u"<Type>2</Type><ImageFile>" + Utf16(image) +
                                    u"</ImageFile><Density>70</Density><XOffset>20</XOffset>"
                                    u"<YOffset>-10</YOffset>" +
                                    Utf16(c.scale);
    const std::string in = folder.Path("in.xps");
    const std::string out = folder.Path("out.xps");
    MakeJob(in, "--documents 2 --pages 2");
    const ToolRun run =
        RunFilterutil({"run", "--printer", kPrinter, "--ticket", DefaultTicketPath(), "--filter",
                       "watermark:settings=" + Utf8Of(settings), in, out});
    ASSERT_EQ(0, run.status) << run.err;

    Records records;
    const Box box = records.Picture(settings, c.width * 96.0 / c.dpi, c.height * 96.0 / c.dpi);
    ExpectChangesOnlyInside(Draw(folder, in, "in"), Draw(folder, out, "out"), {box});

    const ToolRun list = RunFilterutil({"xps", "list", out});
    ASSERT_EQ(0, list.status) << list.err;
    const std::regex part(std::string("/Resources/Images/[0-9A-F-]{36}\\.") + c.extension + " ");
    std::set<std::string> names;
    int named = 0;
    for (auto m = std::sregex_iterator(list.out.begin(), list.out.end(), part);
         m != std::sregex_iterator(); ++m, ++named) {
        names.insert(m->str());
    }
    EXPECT_EQ(1u, names.size()) << list.out;
    EXPECT_EQ(4, named) << list.out;
    // The entries of the picture: how many, each one's method (0 stored, 8 deflated), and
    // whether it holds the file's bytes.
    const std::string entries = folder.Path("entries.txt");
    ASSERT_EQ(0, Shell("python3 -c 'import sys, zipfile\n"
                       "z = zipfile.ZipFile(sys.argv[1]); file = open(sys.argv[2], \"rb\").read()\n"
                       "for i in z.infolist():\n"
                       "    if i.filename.startswith(\"Resources/Images/\"):\n"
                       "        print(i.compress_type, z.read(i) == file)' '" +
                       out + "' '" + image + "' > '" + entries + "'"));
    EXPECT_EQ(c.stored ? "0 True\n" : "8 True\n", ReadFile(entries))
        << "the picture is one entry with the file's bytes, "
        << (c.stored ? "stored as they are" : "deflated");
}

INSTANTIATE_TEST_SUITE_P(
    Pictures, ImageWatermark,
    ::testing::Values(
        PictureCase{"Png", "picture.jpg", 60, 40, 150, "<Scale>508</Scale>", "png", "", true},
        PictureCase{"Jpeg", "picture", 80, 50, 72, "", "jpg", "", true},
        PictureCase{"TiffLzw", "picture.png", 80, 50, 72, "", "tif", "lzw", true},
        PictureCase{"TiffUncompressed", "picture.tif", 80, 50, 72, "", "tif", "none", false}),
    [](const auto& info) { return std::string(info.param.name); });

// An image file that cannot be drawn (missing, not a picture, a folder) leaves every page as it
// came; the filter says why once, and the job goes on.
TEST(WatermarkFilter, AnImageThatCannotBeDrawnLeavesThePages) {
    ScratchFolder folder;
    WriteFile(folder.Path("text.png"), "not a picture at all");
    std::filesystem::create_directory(folder.Path("folder.png"));
    const std::string in = folder.Path("in.xps");
    MakeJob(in, "--pages 3");
    for (const char* file : {"missing.png", "text.png", "folder.png"}) {
        SCOPED_TRACE(file);
        const std::string out = folder.Path("out.xps");
        ToolSetting setting;
        setting.beforeExec = [] { ::setenv("FILTERUTILITIES_DEBUG", "1", 1); };
        const ToolRun run = RunFilterutil(
            {"run", "--printer", kPrinter, "--filter",
             "watermark:settings=<Type>2</Type><ImageFile>" + folder.Path(file) + "</ImageFile>",
             in, out},
            setting);
        ASSERT_EQ(0, run.status) << run.err;
        const size_t said = run.err.find("cannot be drawn");
        ASSERT_NE(std::string::npos, said) << run.err;
        EXPECT_EQ(said, run.err.rfind("cannot be drawn")) << "said more than once\n" << run.err;
        const ToolRun after = RunFilterutil({"xps", "list", out});
        EXPECT_EQ(std::string::npos, after.out.find("/Resources/Images/")) << after.out;
        const std::string pages = folder.Path("pages.txt");
        ASSERT_EQ(0, Shell("python3 -c 'import sys, zipfile\n"
                           "a, b = (zipfile.ZipFile(p) for p in sys.argv[1:])\n"
                           "names = [n for n in a.namelist() if n.endswith(\".fpage\")]\n"
                           "print(len(names), all(a.read(n) == b.read(n) for n in names))' '" +
                           in + "' '" + out + "' > '" + pages + "'"));
        EXPECT_EQ("3 True\n", ReadFile(pages));
    }
}

// Numbers at and beyond the ends of their ranges give a job that is written and reads back.
TEST(WatermarkFilter, SettingsAtTheEndsOfTheirRangesGiveAJob) {
    ScratchFolder folder;
    const std::string in = folder.Path("in.xps");
    MakeJob(in, "--pages 1");
    for (const char* extreme :
         {"<FontHeight>2147483647</FontHeight>", "<FontHeight>1e300</FontHeight>",
          "<FontHeight>-2147483648</FontHeight>",
          "<FontEsc>2147483647</FontEsc><XOffset>1e308</XOffset>",
          "<Density>99999</Density><FontWeight>-99999999999</FontWeight>"}) {
        SCOPED_TRACE(extreme);
        const std::string out = folder.Path("out.xps");
        const ToolRun run = RunFilterutil(
            {"run", "--printer", kPrinter, "--filter",
             std::string("watermark:settings=<Type>0</Type><KldWmText>X</KldWmText>") + extreme, in,
             out});
        ASSERT_EQ(0, run.status) << run.err;
        EXPECT_EQ(0, RunFilterutil({"xps", "list", out}).status);
    }
}

// The module, named in a pipeline configuration file, draws the job's own settings text: its
// client job data.
TEST(WatermarkFilter, TheModuleDrawsTheJobsOwnSettingsText) {
    ScratchFolder folder;
    const std::string in = folder.Path("in.xps");
    const std::string out = folder.Path("out.xps");
    MakeJob(in, "--pages 1");
    const std::string configuration = folder.Path("pipeline.xml");
    WriteFile(configuration,
              "<Filters><Filter dll=\"" WATERMARK_MODULE "\" "
              "clsid=\"{B808740F-AC19-484F-ACE4-78001BA8B641}\" name=\"watermark\">"
              "<Input guid=\"{B8CF8530-5562-47C4-AB67-B1F69ECF961E}\"/>"
              "<Output guid=\"{4368D8A2-4181-4A9F-B295-3D9A38BB9BA0}\"/></Filter></Filters>");
    {
        const Printer printer = Printer::CreateHandle(u"FilterUtilities XPS Printer");
        ASSERT_TRUE(printer);
        const ClientJobDataReaderWriter job(printer.GetHandle(), 1); // filterutil run's job id
        ASSERT_TRUE(job.SetStringInParameterList(1, u"<Type>0</Type><KldWmText>Own</KldWmText>"));
    }
    const ToolRun run =
        RunFilterutil({"run", "--printer", kPrinter, "--pipeline", configuration, in, out});
    {
        const Printer printer = Printer::CreateHandle(u"FilterUtilities XPS Printer");
        ClientJobDataReaderWriter(printer.GetHandle(), 1).DeleteParameterList();
    }
    ASSERT_EQ(0, run.status) << run.err;
    const std::string page = folder.Path("page.xml");
    ASSERT_EQ(0, Shell("python3 -c 'import sys, zipfile; sys.stdout.buffer.write(zipfile.ZipFile("
                       "sys.argv[1]).read(\"Documents/1/Pages/1.fpage\"))' '" +
                       out + "' > '" + page + "'"));
    EXPECT_NE(std::string::npos, ReadFile(page).find("UnicodeString=\"Own\""));
}

} // namespace
