// Watermark settings: the tagged settings text read into text, date stamp and image
// watermarks measured for the printer, the annotation line, the per-user watermark file,
// client job data, and the user all of it runs as.
#include "allocationsweep.h"
#include "devmodetestsupport.h"
#include "fixedzone.h"
#include "fontreference.h"
#include "printschematestsupport.h"
#include "scratchfolder.h"
#include "textprinters.h"

#include <filterutilities/xpsfilterprintticketwatermarkimpl.h>

#include <kldutil/clientjobdatareaderwriter.h>
#include <kldutil/keldanexception.h>
#include <kldutil/printer.h>
#include <kldutil/setthreadtokenwrapper.h>

#include <handleapi.h>
#include <platformprinters.h>
#include <platformsecurity.h>
#include <platformtest.h>
#include <wingdi.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

using namespace printschematest;
using namespace devmodetest;
using PrintSchema::PageImageableSize::PageImageableData;
using PrintSchema::Watermark::WatermarkData;

namespace {

using Entry = platformtest::ImpersonationLog::Entry;
using fontreference::Measure;
using fontreference::Reference;
// Data-model options of a devmode: feature id, value id.
using DataModel = std::vector<std::pair<int, int>>;

// The view with its protected helpers in reach.
class View : public XpsFilterPrintTicketWatermarkImpl {
public:
    using XpsFilterPrintTicketWatermarkImpl::GetDateTime;
    using XpsFilterPrintTicketWatermarkImpl::GetWatermarkINIPath;
    using XpsFilterPrintTicketWatermarkImpl::GetWmIniInt;
    using XpsFilterPrintTicketWatermarkImpl::GetWmIniString;
    using XpsFilterPrintTicketWatermarkImpl::ParseStringValue;
    using XpsFilterPrintTicketWatermarkImpl::WmIniSectionName;
};

std::u16string Decimal(int value) {
    return CXString(std::to_string(value).c_str()).GetString();
}

std::u16string Text(const CComBSTR& text) {
    return std::u16string(text.m_str ? text.m_str : u"", text.Length());
}

const std::string kLiberationSans =
    "/usr/share/fonts/truetype/liberation2/LiberationSans-Regular.ttf";
const std::string kDejaVuSans = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

// Views filled as the page scope of alice's job on the built-in printer, with a ticket whose
// devmode carries the data-model options given (or none). Every test must leave the thread
// as itself.
class Watermark : public DomTest {
protected:
    void SetUp() override {
        DomTest::SetUp();
        setenv("FILTERUTILITIES_SPOOL", spool_.Path().c_str(), 1);
        ASSERT_NE(nullptr, alice_);
    }
    void TearDown() override {
        EXPECT_EQ(nullptr, platformtest::CurrentThreadToken()) << "left impersonating";
        SetThreadToken(nullptr, nullptr);
        CloseHandle(alice_);
        unsetenv("FILTERUTILITIES_SPOOL");
        DomTest::TearDown();
    }

    void Fill(View& view, const DataModel& dataModel = {},
              const WCHAR* printer = platformprinters::kBuiltinPrinterName,
              HANDLE token = nullptr) {
        std::string ticketXml = TicketXml(FeatureXml("PageOrientation", "Portrait"));
        if (!dataModel.empty()) {
            AttributeBytesIndexedList options;
            for (const auto& [feature, value] : dataModel) {
                options.SetOptionValue(AttributeBytesFeatureId(feature), value);
            }
            ticketXml = TicketWithSnapshots({Base64(KDevmode::Build(options))});
        }
        const CComPtr<IXMLDOMDocument2> ticket = LoadBytes(ticketXml);
        view.Initialize(kPTPageScope, ticket, nullptr, nullptr, nullptr, nullptr, CXString(printer),
                        token ? token : alice_);
    }

    static const WatermarkData& Parse(View& view, const std::u16string& settings, HRESULT* status) {
        CXString text(settings);
        return view.ParseWatermarkData(&text, nullptr, status);
    }

    // A fresh view of alice's job that has parsed the settings text.
    std::unique_ptr<View> ParsedView(const std::u16string& settings, HRESULT& status) {
        auto view = std::make_unique<View>();
        Fill(*view);
        Parse(*view, settings, &status);
        return view;
    }

    std::filesystem::path IniPath() const { return home_ / "Keldan" / "KldWmV5.ini"; }

    const ScratchFolder home_{"fu-watermark-home"};
    const ScratchFolder spool_{"fu-watermark-spool"};
    HANDLE alice_ = platformtest::CreateTestUserToken(u"alice", home_.Path().string());
};

TEST(WatermarkSettingsText, ValuesBetweenTags) {
    struct Case {
        const char* what;
        std::u16string text;
        std::u16string value;
    };
    const Case cases[] = {
        {"tagged", u"<A>12</A>", u"12"},
        {"first of two", u"<A>x</A><A>y</A>", u"x"},
        {"among others", u"junk <B>b</B> <A> a </A> tail", u" a "},
        {"no nesting", u"<A><B>in</B></A>", u"<B>in</B>"},
        {"empty", u"<A></A>", u""},
        {"closing first", u"</A>x<A>y</A>", u""},
        {"no closing", u"<A>x", u""},
        {"no opening", u"x</A>", u""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CXString text(c.text), opening(u"<A>"), closing(u"</A>");
        EXPECT_EQ(CXString(c.value), View::ParseStringValue(&text, &opening, &closing));
    }
    CXString text(u"<A>x</A>"), tag(u"<A>");
    EXPECT_EQ(CXString(), View::ParseStringValue(nullptr, &tag, &tag));
    EXPECT_EQ(CXString(), View::ParseStringValue(&text, nullptr, &tag));
    EXPECT_EQ(CXString(), View::ParseStringValue(&text, &tag, nullptr));
}

// Each kind of watermark, from the settings text to the record.
TEST_F(Watermark, EachKindFromItsSettingsText) {
    struct Expected {
        int32_t type = WatermarkData::None;
        std::u16string text{};
        int32_t pointSize = 72;
        LONG height = -96;
        LONG escapement = 0;
        int32_t angle = 0;
        LONG weight = FW_NORMAL;
        BYTE italic = 0, underline = 0, strikeOut = 0, charSet = 0;
        std::u16string face = u"Arial";
        std::u16string colour = u"#000000";
        int32_t density = 25;
        double xOffset = 0, yOffset = 0;
        std::u16string imageFile{};
        float imageScale = 0;
        bool measured = false;
    };
    struct Case {
        const char* what;
        std::u16string settings;
        Expected expected;
    };
    const std::u16string face40 = u"Liberation Sans Narrow Condensed Extended";
    const Case cases[] = {
        {"text with every font setting",
         u"<Type>0</Type><KldWmText>CONFIDENTIAL</KldWmText><FontHeight>36</FontHeight>"
         u"<Density>40</Density><FontEsc>450</FontEsc><FontWeight>700</FontWeight>"
         u"<FontItalic>1</FontItalic><FontUnderline>257</FontUnderline>"
         u"<FontStrikeOut>1</FontStrikeOut><FontCharSet>2</FontCharSet><FontFace>DejaVu "
         u"Sans</FontFace><Red>255</Red><Green>128</Green><Blue>1</Blue>"
         u"<XOffset>25.4</XOffset><YOffset>-12.7</YOffset>",
         {.type = 0,
          .text = u"CONFIDENTIAL",
          .pointSize = 36,
          .height = -48,
          .escapement = 450,
          .angle = 45,
          .weight = 700,
          .italic = 1,
          .underline = 1,
          .strikeOut = 1,
          .charSet = 2,
          .face = u"DejaVu Sans",
          .colour = u"#FF8001",
          .density = 40,
          .xOffset = 96,
          .yOffset = -48,
          .measured = true}},
        {"type -1 is text; what is absent keeps its default",
         u"<Type>-1</Type><KldWmText>Draft</KldWmText>",
         {.type = 0, .text = u"Draft", .measured = true}},
        {"blank tags change nothing",
         u"<Type>0</Type><KldWmText>x</KldWmText><FontHeight> </FontHeight><FontFace>\t</FontFace>"
         u"<FontEsc></FontEsc><Density>  </Density>",
         {.type = 0, .text = u"x", .measured = true}},
        {"negative escapement turns toward zero",
         u"<Type>0</Type><FontEsc>-455</FontEsc>",
         {.type = 0, .escapement = -455, .angle = -45, .measured = true}},
        {"a face name of 40 characters is cut to 31",
         u"<Type>0</Type><FontFace>" + face40 + u"</FontFace>",
         {.type = 0, .face = face40.substr(0, 31), .measured = true}},
        {"colour components take their low byte",
         u"<Type>0</Type><Red>256</Red><Green>511</Green><Blue>-1</Blue>",
         {.type = 0, .colour = u"#00FFFF", .measured = true}},
        {"image, scale 0 is 1",
         u"<Type>2</Type><ImageFile>/srv/logo.png</ImageFile><Scale>0</Scale><Density>10</Density>"
         u"<XOffset>10</XOffset><FontHeight>12</FontHeight><KldWmText>ignored</KldWmText>",
         {.type = 2,
          .density = 10,
          .xOffset = 10 / 25.4 * 96,
          .imageFile = u"/srv/logo.png",
          .imageScale = 1.0f}},
        {"image, scale in tenths of a millimetre read in inches",
         u"<Type>2</Type><Scale>127</Scale>",
         {.type = 2, .imageScale = 0.5f}},
        {"image without a scale", u"<Type>2</Type>", {.type = 2, .imageScale = 1.0f}},
        {"no type: nothing to draw", u"<KldWmText>Draft</KldWmText><FontHeight>9</FontHeight>", {}},
        {"another type: nothing more", u"<Type>3</Type><KldWmText>Draft</KldWmText>", {.type = 3}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        HRESULT status = E_FAIL;
        const std::unique_ptr<View> view = ParsedView(c.settings, status);
        const WatermarkData& record = view->GetWatermarkData();
        const Expected& e = c.expected;
        EXPECT_EQ(S_OK, status);
        EXPECT_EQ(e.type, record.type);
        EXPECT_EQ(e.text, Text(record.textData.text));
        EXPECT_EQ(e.pointSize, record.textData.pointSize);
        const LOGFONTW& font = record.textData.font;
        EXPECT_EQ(e.measured ? e.height : 0, font.lfHeight);
        EXPECT_EQ(e.escapement, font.lfEscapement);
        EXPECT_EQ(e.escapement, font.lfOrientation);
        EXPECT_EQ(e.angle, record.angle);
        EXPECT_EQ(e.weight, font.lfWeight);
        EXPECT_EQ(e.italic, font.lfItalic);
        EXPECT_EQ(e.underline, font.lfUnderline);
        EXPECT_EQ(e.strikeOut, font.lfStrikeOut);
        EXPECT_EQ(e.charSet, font.lfCharSet);
        EXPECT_EQ(e.face, std::u16string(font.lfFaceName));
        EXPECT_EQ(CXString(e.colour), record.textData.colour);
        EXPECT_EQ(e.density, record.density);
        EXPECT_NEAR(e.xOffset, record.xOffset, 1e-9);
        EXPECT_NEAR(e.yOffset, record.yOffset, 1e-9);
        EXPECT_EQ(e.imageFile, Text(record.imageData.imageFile));
        EXPECT_FLOAT_EQ(e.imageScale, record.imageScale);
        EXPECT_EQ(alice_, record.userToken);
        EXPECT_EQ(e.measured, record.extentWidth != 816.0f) << "measured or left at the page";
    }
}

// Extents and positions against FreeType reading the font files, for two faces at two sizes,
// upright and turned, on two pages.
TEST_F(Watermark, MeasuredExtentAndCentredPosition) {
    struct Case {
        const char16_t* face;
        const std::string& file;
        int points;
        int pixels; // the em at 96 dots per inch
        int escapement;
        double pageWidth, pageHeight;
    };
    const Case cases[] = {
        {u"Arial", kLiberationSans, 12, 16, 0, 816, 1056},
        {u"Arial", kLiberationSans, 72, 96, 450, 793.7, 1122.5},
        {u"DejaVu Sans", kDejaVuSans, 12, 16, 450, 793.7, 1122.5},
        {u"DejaVu Sans", kDejaVuSans, 72, 96, 0, 816, 1056},
    };
    const std::u16string text = u"Confidential \u00e9t\u00e9 2026, WAVY jiggly";
    for (const Case& c : cases) {
        SCOPED_TRACE(CXString(c.face).ToUtf8() + " " + std::to_string(c.points) + " pt, " +
                     std::to_string(c.escapement));
        const Reference reference = Measure(c.file, c.pixels, text);
        const long width = c.escapement ? reference.unhintedWidth : reference.hintedWidth;
        View view;
        Fill(view);
        view.SetPageSize(c.pageWidth, c.pageHeight, PageImageableData{});
        HRESULT status = E_FAIL;
        const WatermarkData& record =
            Parse(view,
                  u"<Type>0</Type><FontEsc>" + Decimal(c.escapement) + u"</FontEsc><KldWmText>" +
                      text + u"</KldWmText><FontFace>" + c.face + u"</FontFace><FontHeight>" +
                      Decimal(c.points) + u"</FontHeight>",
                  &status);
        ASSERT_EQ(S_OK, status);
        EXPECT_EQ(-c.pixels, record.textData.font.lfHeight);
        EXPECT_EQ(width, record.extentWidth);
        EXPECT_EQ(reference.cellHeight, record.extentHeight);
        EXPECT_FLOAT_EQ(static_cast<float>((c.pageWidth - width) * 0.5), record.x);
        EXPECT_FLOAT_EQ(
            static_cast<float>((c.pageHeight + reference.cellHeight) * 0.5 - reference.descent),
            record.y);
        EXPECT_EQ(c.pageWidth, record.pageWidth);
    }
}

// The stamp's pieces as the C library tells the local time in the zone of TZ, in the
// pictures of English (United States): "ddd", "M/d/yyyy", "h:mm:ss tt".
std::u16string ExpectedStamp(int format) {
    // The platform reads CLOCK_REALTIME; time() may read a coarser clock that trails it by a
    // tick, which near a second's end names the second before.
    timespec clock{};
    clock_gettime(CLOCK_REALTIME, &clock);
    const std::time_t now = clock.tv_sec;
    std::tm local{};
    localtime_r(&now, &local);
    char day[16], date[32], time[32];
    std::strftime(day, sizeof day, "%a", &local);
    std::snprintf(date, sizeof date, "%d/%d/%d", local.tm_mon + 1, local.tm_mday,
                  local.tm_year + 1900);
    std::snprintf(time, sizeof time, "%d:%02d:%02d %s",
                  local.tm_hour % 12 ? local.tm_hour % 12 : 12, local.tm_min, local.tm_sec,
                  local.tm_hour < 12 ? "AM" : "PM");
    const std::string zone = local.tm_zone;
    const std::string pieces[8] = {
        std::string(date) + " " + time,
        date,
        time,
        std::string(day) + " " + date + " " + time,
        std::string(day) + " " + date,
        std::string(date) + " " + time + " " + zone,
        std::string(time) + " " + zone,
        std::string(day) + " " + date + " " + time + " " + zone,
    };
    return CXString(pieces[format >= 0 && format <= 7 ? format : 0].c_str()).GetString();
}

// The stamp for now, checked against the clock read before and after (a second may pass).
void ExpectStamp(int format, const std::function<std::u16string()>& stamp) {
    const std::u16string before = ExpectedStamp(format);
    const std::u16string actual = stamp();
    const std::u16string after = ExpectedStamp(format);
    EXPECT_TRUE(actual == before || actual == after)
        << CXString(actual).ToUtf8() << " is not " << CXString(before).ToUtf8();
}

TEST_F(Watermark, DateStampInAFixedZone) {
    for (const char* zone : {"Asia/Tokyo", "America/New_York"}) {
        SCOPED_TRACE(zone);
        const FixedZone fixed(zone);
        View view;
        for (int format = 0; format <= 8; ++format) {
            SCOPED_TRACE(format);
            ExpectStamp(format, [&] {
                FILETIME ignored{};
                return std::u16string(
                    view.GetDateTime(static_cast<View::ETimeStampFormat>(format), &ignored).View());
            });
        }
        // Through the settings text: 4 is the short day name and the date, 9 is not a format
        // and gives date and time.
        Fill(view);
        const std::pair<const char16_t*, int> stamps[] = {{u"4", 4}, {u"9", 0}, {u"7", 7}};
        for (const auto& stamp : stamps) {
            const char16_t* value = stamp.first;
            const int format = stamp.second;
            SCOPED_TRACE(format);
            ExpectStamp(format, [&] {
                HRESULT status = E_FAIL;
                const WatermarkData& record = Parse(
                    view, std::u16string(u"<Type>1</Type><KldWmText>") + value + u"</KldWmText>",
                    &status);
                EXPECT_EQ(S_OK, status);
                EXPECT_EQ(WatermarkData::DateTimeStamp, record.type);
                EXPECT_LT(record.x, 408.0f) << "the stamp was measured";
                return Text(record.textData.text);
            });
        }
    }
}

TEST_F(Watermark, KeptForTheFillOnlyWhenTheTextAsks) {
    View view;
    Fill(view);
    HRESULT status = E_FAIL;
    EXPECT_EQ(
        u"One",
        Text(Parse(view, u"<Type>0</Type><KldWmText>One</KldWmText>", &status).textData.text));
    EXPECT_EQ(u"Two",
              Text(Parse(view, u"<Type>0</Type><KldWmText>Two</KldWmText>", &status).textData.text))
        << "without IniDataType 37 every call parses";

    Parse(view, u"<IniDataType>37</IniDataType><Type>0</Type><KldWmText>Kept</KldWmText>", &status);
    EXPECT_EQ(u"Kept", Text(Parse(view, u"<Type>2</Type>", &status).textData.text));
    EXPECT_EQ(WatermarkData::Text, view.GetWatermarkData().type);
    bool found = false;
    EXPECT_EQ(WatermarkData::Text, view.ParseWatermarkData(nullptr, &found, &status).type)
        << "the kept record needs no text";
    EXPECT_EQ(S_OK, status);
    EXPECT_TRUE(found);

    Fill(view); // a new fill reads the text again
    EXPECT_EQ(WatermarkData::Image, Parse(view, u"<Type>2</Type>", &status).type);
}

// Draw mode and the data model flag, from the data model or from the text, over a series of
// fills of one view: each step starts from what the one before left.
TEST_F(Watermark, DrawModeAndDataModelFlags) {
    struct Step {
        const char* what;
        DataModel dataModel;
        std::u16string settings;
        int32_t drawMode;
        bool dataModelFlag;
    };
    const Step steps[] = {
        {"behind, data model watermark", {{156, 7170}, {157, 7480}}, u"", 0, true},
        {"in front; the flag is never reset", {{156, 7171}, {157, 1}}, u"", 1, true},
        {"behind", {{156, 7170}}, u"", 0, true},
        {"an unknown mode keeps the last", {{156, 9999}}, u"", 0, true},
        {"outline", {{156, 7172}}, u"", 1, true},
        {"from the text",
         {{156, 7171}},
         u"<IniDataType>38</IniDataType><DrawMode>7170</DrawMode>",
         0,
         true},
        {"the text names none", {{156, 7171}}, u"<IniDataType>38</IniDataType>", 0, true},
        {"IniDataType 38 only", {{156, 7170}}, u"<DrawMode>7171</DrawMode>", 0, true},
    };
    View view;
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        Fill(view, step.dataModel);
        HRESULT status = E_FAIL;
        const WatermarkData& record = Parse(view, step.settings, &status);
        EXPECT_EQ(S_OK, status);
        EXPECT_EQ(step.drawMode, record.drawMode);
        EXPECT_EQ(step.dataModelFlag, record.dataModel);
    }

    View fresh; // no devmode at all: the text alone decides
    Fill(fresh);
    HRESULT status = E_FAIL;
    const WatermarkData& record = Parse(fresh, u"<Type>0</Type><KldWmText>x</KldWmText>", &status);
    EXPECT_EQ(S_OK, status);
    EXPECT_EQ(1, record.drawMode);
    EXPECT_FALSE(record.dataModel);
    EXPECT_NE(816.0f, record.extentWidth);
}

TEST_F(Watermark, AnnotationLine) {
    struct Case {
        const char* what;
        DataModel dataModel;
        double marginCentimetres;
        bool dataModelFlag;
    };
    const Case cases[] = {
        {"plain", {}, 1.0, false},
        {"wide margin, data model annotation", {{311, 8011}, {931, 10185}}, 2.0, true},
        {"other values", {{311, 8010}, {931, 1}}, 1.0, false},
    };
    const std::u16string line = u"Job 42 \u00b7 alice \u00b7 12/10/2026";
    const Reference reference = Measure(kLiberationSans, 16, line);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        View view;
        Fill(view, c.dataModel);
        PageImageableData area;
        area.originWidth = 6350;   // a quarter inch
        area.originHeight = 12700; // half an inch
        view.SetPageSize(816, 1056, area);
        CXString text(line);
        ByteBuffer unused;
        HRESULT status = E_FAIL;
        const WatermarkData& record =
            view.ParseAnnotationWatermarkData(&text, &unused, nullptr, &status);
        EXPECT_EQ(S_OK, status);
        EXPECT_EQ(WatermarkData::Text, record.type);
        EXPECT_EQ(line, Text(record.textData.text));
        EXPECT_EQ(25, record.density);
        EXPECT_EQ(12, record.textData.pointSize);
        EXPECT_EQ(-16, record.textData.font.lfHeight);
        EXPECT_EQ(900, record.textData.font.lfEscapement);
        EXPECT_EQ(900, record.textData.font.lfOrientation);
        EXPECT_EQ(std::u16string(u"Helvetica"), record.textData.font.lfFaceName);
        EXPECT_EQ(90, record.angle);
        EXPECT_EQ(c.dataModelFlag, record.dataModel);
        EXPECT_EQ(reference.unhintedWidth, record.extentWidth) << "turned text is not hinted";
        EXPECT_EQ(reference.cellHeight, record.extentHeight);
        EXPECT_FLOAT_EQ(24.0f, record.x);
        EXPECT_FLOAT_EQ(static_cast<float>(48 + reference.cellHeight), record.y);
        EXPECT_NEAR(std::fabs(8.5 - (11.0 - c.marginCentimetres / 2.54)) * 0.5 * 96, record.xOffset,
                    1e-9);
        EXPECT_EQ(WatermarkData::None, view.GetWatermarkData().type) << "the watermark is apart";
    }
}

TEST_F(Watermark, Failures) {
    HANDLE closed = platformtest::CreateTestUserToken(u"carol", "/c");
    CloseHandle(closed);
    constexpr HRESULT kInvalidHandle = HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);
    struct Case {
        const char* what;
        bool annotation;
        bool nullText;
        bool nullBuffer;
        const WCHAR* printer;
        HANDLE token;
        HRESULT status;
        int32_t type; // what the record says after
    };
    const Case cases[] = {
        {"null text", false, true, false, platformprinters::kBuiltinPrinterName, nullptr, E_POINTER,
         WatermarkData::None},
        {"no user", false, false, false, platformprinters::kBuiltinPrinterName, closed,
         kInvalidHandle, WatermarkData::None},
        {"no printer: nothing more is read", false, false, false, u"No Such Printer", nullptr, S_OK,
         WatermarkData::None},
        {"annotation, null text", true, true, false, platformprinters::kBuiltinPrinterName, nullptr,
         E_POINTER, WatermarkData::None},
        {"annotation, null buffer", true, false, true, platformprinters::kBuiltinPrinterName,
         nullptr, E_POINTER, WatermarkData::None},
        {"annotation, no user", true, false, false, platformprinters::kBuiltinPrinterName, closed,
         kInvalidHandle, WatermarkData::None},
        {"annotation, no printer", true, false, false, u"No Such Printer", nullptr, S_OK,
         WatermarkData::Text},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CXString text(u"<Type>0</Type><KldWmText>Draft</KldWmText>");
        ByteBuffer buffer;
        const auto parse = [&](View& view, bool* found, HRESULT* status) -> const WatermarkData& {
            CXString* settings = c.nullText ? nullptr : &text;
            return c.annotation ? view.ParseAnnotationWatermarkData(
                                      settings, c.nullBuffer ? nullptr : &buffer, found, status)
                                : view.ParseWatermarkData(settings, found, status);
        };
        View view;
        Fill(view, {}, c.printer, c.token);
        bool found = !SUCCEEDED(c.status);
        HRESULT status = 12345;
        const WatermarkData& record = parse(view, &found, &status);
        EXPECT_EQ(c.status, status);
        EXPECT_EQ(SUCCEEDED(c.status), found);
        EXPECT_EQ(c.type, record.type);
        EXPECT_EQ(816.0f, record.extentWidth) << "nothing was measured";
        if (FAILED(c.status)) {
            try {
                parse(view, &found, nullptr);
                ADD_FAILURE() << "a failure without a status pointer was not raised";
            } catch (const KeldanComException& e) {
                EXPECT_EQ(c.status, e.GetHresult());
            }
        }
    }
}

// Settings texts no user interface writes: each parses without harm to values a filter can
// use.
TEST_F(Watermark, OddSettingsTexts) {
    const std::u16string highSurrogateAt31 = std::u16string(30, u'F') + u"\U0001F5A8";
    const std::u16string withZero(u"Draft\0copy", 10);
    const std::u16string longText(100000, u'W');
    struct Case {
        const char* what;
        std::u16string settings;
        std::function<void(const WatermarkData&)> check;
    };
    const Case cases[] = {
        {"a font too large for any int", u"<Type>0</Type><FontHeight>1e300</FontHeight>",
         [](const WatermarkData& record) {
             EXPECT_EQ(INT32_MAX, record.textData.pointSize);
             EXPECT_EQ(INT32_MIN, record.textData.font.lfHeight) << "huge, not one pixel";
             EXPECT_GT(record.extentHeight, 1000.0f);
         }},
        {"offsets and scale beyond double",
         u"<Type>2</Type><XOffset>1e999</XOffset><YOffset>-1e999</YOffset><Scale>1e999</Scale>",
         [](const WatermarkData& record) {
             EXPECT_EQ(0.0, record.xOffset);
             EXPECT_EQ(0.0, record.yOffset);
             EXPECT_EQ(1.0f, record.imageScale);
         }},
        {"a type beyond int", u"<Type>99999999999</Type><KldWmText>x</KldWmText>",
         [](const WatermarkData& record) {
             EXPECT_EQ(INT32_MAX, record.type);
             EXPECT_EQ(u"", Text(record.textData.text));
         }},
        {"a face name cut inside a surrogate pair",
         u"<Type>0</Type><FontFace>" + highSurrogateAt31 + u"</FontFace>",
         [](const WatermarkData& record) {
             EXPECT_EQ(std::u16string(30, u'F'), record.textData.font.lfFaceName);
         }},
        {"a text holding a zero", u"<Type>0</Type><KldWmText>" + withZero + u"</KldWmText>",
         [&](const WatermarkData& record) { EXPECT_EQ(withZero, Text(record.textData.text)); }},
        {"a long text", u"<Type>0</Type><KldWmText>" + longText + u"</KldWmText>",
         [](const WatermarkData& record) {
             EXPECT_EQ(100000u, record.textData.text.Length());
             EXPECT_GT(record.extentWidth, 1e6f);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        HRESULT status = E_FAIL;
        const std::unique_ptr<View> view = ParsedView(c.settings, status);
        const WatermarkData& record = view->GetWatermarkData();
        EXPECT_EQ(S_OK, status);
        c.check(record);
    }
}

TEST_F(Watermark, IniFileReadByNumberedSection) {
    View view;
    Fill(view);
    const CXString marker(View::kMissingValueMarker);
    EXPECT_EQ(CXString(u"!@*^%&$#"), marker);
    EXPECT_EQ(CXString(u"12"), View::WmIniSectionName(12));
    EXPECT_EQ(CXString(u"-3"), View::WmIniSectionName(-3));

    // No file yet: an empty path, the marker and -1.
    EXPECT_EQ(CXString(), view.GetWatermarkINIPath());
    EXPECT_EQ(marker, view.GetWmIniString(1, CXString(u"Text")));
    EXPECT_EQ(-1, view.GetWmIniInt(1, CXString(u"Density")));

    std::filesystem::create_directories(IniPath().parent_path());
    std::ofstream(IniPath()) << "[1]\nText=Confidential\nDensity = 30\n"
                                "[2]\nText=\xc3\x89t\xc3\xa9\nDensity=abc\n[10]\nDensity=-7\n";
    EXPECT_EQ(CXString(IniPath().u16string()), view.GetWatermarkINIPath())
        << "the file in alice's application data folder, found once it exists";
    struct Case {
        int section;
        const char16_t* key;
        std::u16string text;
        int number;
    };
    const Case cases[] = {
        {1, u"Text", u"Confidential", 0},  {1, u"density", u"30", 30},
        {2, u"Text", u"\u00c9t\u00e9", 0}, {2, u"Density", u"abc", 0},
        {10, u"Density", u"-7", -7},       {1, u"Missing", u"!@*^%&$#", -1},
        {3, u"Text", u"!@*^%&$#", -1},     {0, u"Text", u"!@*^%&$#", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.section) + " " + CXString(c.key).ToUtf8());
        EXPECT_EQ(CXString(c.text), view.GetWmIniString(c.section, CXString(c.key)));
        EXPECT_EQ(c.number, view.GetWmIniInt(c.section, CXString(c.key)));
    }

    std::filesystem::remove(IniPath());
    EXPECT_EQ(CXString(), view.GetWatermarkINIPath()) << "a file that went away";
    EXPECT_EQ(marker, view.GetWmIniString(1, CXString(u"Text")));

    // What stands at the path may be no settings file at all; none of it is read, and a FIFO
    // without a writer does not stop the reader.
    const std::function<void()> oddFiles[] = {
        [&] { std::filesystem::create_directory(IniPath()); },
        [&] { mkfifo(IniPath().c_str(), 0600); },
        [&] { std::filesystem::create_symlink("/dev/zero", IniPath()); },
        [&] { std::ofstream(IniPath()) << "[1]\nText=\xff\xfe\n"; },
    };
    for (const auto& make : oddFiles) {
        SCOPED_TRACE(testing::Message() << "odd file " << (&make - oddFiles));
        std::filesystem::remove(IniPath());
        make();
        EXPECT_EQ(marker, view.GetWmIniString(1, CXString(u"Text")));
        EXPECT_EQ(-1, view.GetWmIniInt(1, CXString(u"Text")));
    }
}

TEST_F(Watermark, ClientJobDataOfTheJob) {
    {
        const SetThreadTokenWrapper asAlice(alice_);
        const Printer printer = Printer::CreateHandle(platformprinters::kBuiltinPrinterName);
        const ClientJobDataReaderWriter job(printer.GetHandle(), 7);
        ASSERT_TRUE(job.SetStringInParameterList(1, u"<Type>0</Type>"));
        ByteBuffer bytes(3, 0xAB);
        ASSERT_TRUE(job.SetByteBufferInParameterList(2, bytes));
    }
    View view;
    Fill(view);
    CXString text;
    EXPECT_TRUE(view.GetClientJobDataAsString(7, 1, &text));
    EXPECT_EQ(CXString(u"<Type>0</Type>"), text);
    ByteBuffer bytes;
    EXPECT_TRUE(view.GetClientJobDataAsByteBuffer(7, 2, &bytes));
    EXPECT_EQ(ByteBuffer(3, 0xAB), bytes);

    CXString untouched(u"untouched");
    EXPECT_FALSE(view.GetClientJobDataAsString(7, 2, &untouched)) << "bytes are no string";
    EXPECT_FALSE(view.GetClientJobDataAsString(7, 3, &untouched));
    EXPECT_FALSE(view.GetClientJobDataAsString(8, 1, &untouched));
    EXPECT_EQ(CXString(u"untouched"), untouched);
    EXPECT_FALSE(view.GetClientJobDataAsString(7, 1, nullptr));
    EXPECT_FALSE(view.GetClientJobDataAsByteBuffer(7, 2, nullptr));

    View elsewhere;
    Fill(elsewhere, {}, u"No Such Printer");
    EXPECT_FALSE(elsewhere.GetClientJobDataAsString(7, 1, &untouched));
}

// Every call that reaches the spooler or the user's folders runs as the view's user, and the
// thread is itself again afterwards.
TEST_F(Watermark, EveryCallRunsAsTheUser) {
    const struct {
        const char* what;
        std::function<void(View&)> call;
        bool asksThePrinter;
    } cases[] = {
        {"watermark",
         [](View& view) {
             CXString text(u"<Type>1</Type><KldWmText>5</KldWmText>");
             view.ParseWatermarkData(&text);
         },
         true},
        {"annotation",
         [](View& view) {
             CXString text(u"page 1");
             ByteBuffer unused;
             view.ParseAnnotationWatermarkData(&text, &unused);
         },
         true},
        {"client job text",
         [](View& view) {
             CXString text;
             view.GetClientJobDataAsString(1, 1, &text);
         },
         true},
        {"client job bytes",
         [](View& view) {
             ByteBuffer bytes;
             view.GetClientJobDataAsByteBuffer(1, 1, &bytes);
         },
         true},
        {"settings file", [](View& view) { view.GetWmIniInt(1, CXString(u"Density")); }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        View view;
        Fill(view);
        platformtest::ImpersonationLog log;
        c.call(view);
        const std::vector<Entry> entries = log.Entries();
        ASSERT_GE(entries.size(), 2u);
        EXPECT_EQ((Entry{"SetThreadToken", u"alice"}), entries.front());
        EXPECT_EQ((Entry{"SetThreadToken", u""}), entries.back());
        bool printerAsked = false;
        for (size_t i = 1; i + 1 < entries.size(); ++i) {
            EXPECT_EQ(u"alice", entries[i].user) << entries[i].call;
            printerAsked = printerAsked || entries[i].call == "OpenPrinterW";
        }
        EXPECT_EQ(c.asksThePrinter, printerAsked);
        EXPECT_EQ(nullptr, platformtest::CurrentThreadToken());
    }
}

// A BSTR that cannot be allocated, wherever it happens, raises the out-of-memory exception
// (or reports E_OUTOFMEMORY), leaves the record as it was and the thread as itself.
TEST_F(Watermark, OutOfMemoryLeavesTheRecordWhole) {
    struct Fixture {
        std::unique_ptr<View> view;
        std::unique_ptr<CXString> settings;
    };
    const auto render = [](Fixture& fixture) {
        const WatermarkData& record = fixture.view->GetWatermarkData();
        return std::vector<std::string>{
            std::to_string(record.type) + " " + CXString(Text(record.textData.text)).ToUtf8() +
                " " + std::to_string(record.extentWidth) + " " + std::to_string(record.x) + " " +
                record.textData.colour.ToUtf8(),
            platformtest::CurrentThreadToken() ? "impersonating" : "itself"};
    };
    const allocationsweep::Sweep<Fixture> sweep{
        [&] {
            Fixture fixture{std::make_unique<View>(),
                            std::make_unique<CXString>(
                                u"<Type>0</Type><KldWmText>Out of memory</KldWmText><Red>9</Red>")};
            Fill(*fixture.view, {{156, 7170}});
            fixture.view->GetAttributeBytesIndexedListRef(); // the devmode is read beforehand
            return fixture;
        },
        [](Fixture& fixture) {
            HRESULT status = E_FAIL;
            fixture.view->ParseWatermarkData(fixture.settings.get(), nullptr, &status);
            return status;
        },
        render};
    EXPECT_GT(allocationsweep::Run(sweep), 0u);

    // The text's own BSTR, failed directly: the exception passes the status pointer by.
    View view;
    Fill(view);
    CXString text(u"<Type>0</Type><KldWmText>Draft</KldWmText>");
    HRESULT status = E_FAIL;
    bool raised = false;
    for (unsigned long n = 1; n < 64 && !raised; ++n) {
        platformtest::AllocationFailure failure(n);
        try {
            view.ParseWatermarkData(&text, nullptr, &status);
        } catch (const ATL::CAtlException& e) {
            EXPECT_EQ(E_OUTOFMEMORY, e.m_hr);
            raised = true;
        }
        EXPECT_EQ(nullptr, platformtest::CurrentThreadToken());
    }
    EXPECT_TRUE(raised);
    EXPECT_EQ(WatermarkData::None, view.GetWatermarkData().type);
}

} // namespace
