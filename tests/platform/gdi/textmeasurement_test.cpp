// GDI text measurement against FreeType metrics computed here from the font files.
#include "wingdi.h"

#include "allocationsweep.h"
#include "fontreference.h"
#include "gdi/gdiobjects.h"
#include "platformprinters.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <thread>
#include <vector>

namespace {

using fontreference::Measure;
using fontreference::Reference;

const std::string kFontFolder = "/usr/share/fonts/truetype/liberation2/";
const std::u16string kText = u"Confidential \u00e9t\u00e9 2026, WAVY jiggly text!";

LOGFONTW Logical(std::u16string_view face, LONG height, LONG weight = FW_NORMAL,
                 bool italic = false, LONG escapement = 0) {
    LOGFONTW font{};
    font.lfHeight = height;
    font.lfWeight = weight;
    font.lfItalic = italic ? 1 : 0;
    font.lfEscapement = escapement;
    font.lfOrientation = escapement;
    font.lfOutPrecision = OUT_TT_ONLY_PRECIS;
    font.lfQuality = CLEARTYPE_QUALITY;
    face.copy(font.lfFaceName, LF_FACESIZE - 1);
    return font;
}

// An information context on the built-in printer with a font selected, released at the end.
class Measurer {
public:
    explicit Measurer(const LOGFONTW& logical) {
        dc_ = CreateICW(nullptr, platformprinters::kBuiltinPrinterName, nullptr, nullptr);
        font_ = CreateFontIndirectW(&logical);
        EXPECT_NE(nullptr, dc_);
        EXPECT_NE(nullptr, font_);
        old_ = SelectObject(dc_, font_);
        EXPECT_NE(nullptr, old_);
    }
    ~Measurer() {
        EXPECT_EQ(font_, SelectObject(dc_, old_));
        EXPECT_TRUE(DeleteObject(font_));
        EXPECT_TRUE(DeleteDC(dc_));
    }
    SIZE Extent(const std::u16string& text) const {
        SIZE size{-1, -1};
        EXPECT_TRUE(GetTextExtentPoint32W(dc_, text.c_str(), static_cast<int>(text.size()), &size));
        return size;
    }
    TEXTMETRICW Metrics() const {
        TEXTMETRICW metrics{};
        EXPECT_TRUE(GetTextMetricsW(dc_, &metrics));
        return metrics;
    }
    HDC dc() const { return dc_; }

private:
    HDC dc_ = nullptr;
    HFONT font_ = nullptr;
    HGDIOBJ old_ = nullptr;
};

TEST(TextMeasurement, ExtentsMatchTheFontFiles) {
    struct Case {
        std::u16string_view face;
        LONG weight;
        bool italic;
        const char* file;
    };
    const Case cases[] = {
        {u"Liberation Sans", FW_NORMAL, false, "LiberationSans-Regular.ttf"},
        {u"Liberation Sans", FW_BOLD, false, "LiberationSans-Bold.ttf"},
        {u"Liberation Serif", FW_NORMAL, false, "LiberationSerif-Regular.ttf"},
        {u"Liberation Serif", FW_NORMAL, true, "LiberationSerif-Italic.ttf"},
        {u"Liberation Serif", FW_BOLD, true, "LiberationSerif-BoldItalic.ttf"},
    };
    for (const Case& test : cases) {
        for (int pixels : {16, 96}) {
            SCOPED_TRACE(std::string(test.file) + " at " + std::to_string(pixels) + " px");
            const Reference reference = Measure(kFontFolder + test.file, pixels, kText);
            Measurer measurer(Logical(test.face, -pixels, test.weight, test.italic));
            const SIZE extent = measurer.Extent(kText);
            EXPECT_EQ(reference.hintedWidth, extent.cx);
            EXPECT_EQ(reference.cellHeight, extent.cy);
            const TEXTMETRICW metrics = measurer.Metrics();
            EXPECT_EQ(extent.cy, metrics.tmHeight);
            EXPECT_EQ(metrics.tmHeight, metrics.tmAscent + metrics.tmDescent);
            EXPECT_EQ(metrics.tmHeight - pixels, metrics.tmInternalLeading);
            EXPECT_EQ(test.italic ? 255 : 0, metrics.tmItalic);
            EXPECT_EQ(test.weight, metrics.tmWeight);
        }
    }
}

TEST(TextMeasurement, ArialAndHelveticaMeasureAsLiberationSans) {
    const SIZE liberation = Measurer(Logical(u"Liberation Sans", -48)).Extent(kText);
    const SIZE serif = Measurer(Logical(u"Liberation Serif", -48)).Extent(kText);
    ASSERT_NE(liberation.cx, serif.cx);
    for (std::u16string_view face : {u"Arial", u"Helvetica", u"ARIAL"}) {
        SCOPED_TRACE(std::string(face.begin(), face.end()));
        const SIZE extent = Measurer(Logical(face, -48)).Extent(kText);
        EXPECT_EQ(liberation.cx, extent.cx);
        EXPECT_EQ(liberation.cy, extent.cy);
    }
}

TEST(TextMeasurement, BoldAndItalicChangeTheExtent) {
    const long regular = Measurer(Logical(u"Arial", -48)).Extent(kText).cx;
    EXPECT_GT(Measurer(Logical(u"Arial", -48, FW_BOLD)).Extent(kText).cx, regular);
    const long upright = Measurer(Logical(u"Liberation Serif", -48)).Extent(kText).cx;
    EXPECT_NE(upright,
              Measurer(Logical(u"Liberation Serif", -48, FW_NORMAL, true)).Extent(kText).cx);
}

TEST(TextMeasurement, PositiveHeightIsTheCellHeight) {
    for (LONG height : {1, 20, 37, 200}) {
        SCOPED_TRACE(height);
        Measurer measurer(Logical(u"Arial", height));
        const TEXTMETRICW metrics = measurer.Metrics();
        EXPECT_EQ(height, metrics.tmHeight);
        EXPECT_EQ(height, metrics.tmAscent + metrics.tmDescent);
        EXPECT_EQ(height, measurer.Extent(u"Hg").cy);
    }
    // Height 0 is GDI's default size: 12 points.
    EXPECT_EQ(Measurer(Logical(u"Arial", -16)).Extent(kText).cx,
              Measurer(Logical(u"Arial", 0)).Extent(kText).cx);
}

TEST(TextMeasurement, TurnedTextIsMeasuredAlongItsBaselineUnhinted) {
    const Reference reference = Measure(kFontFolder + "LiberationSans-Regular.ttf", 48, kText);
    for (LONG escapement : {900, 450, -900, 2700}) {
        SCOPED_TRACE(escapement);
        const SIZE turned =
            Measurer(Logical(u"Arial", -48, FW_NORMAL, false, escapement)).Extent(kText);
        EXPECT_EQ(reference.unhintedWidth, turned.cx);
        EXPECT_EQ(reference.cellHeight, turned.cy);
    }
    ASSERT_NE(reference.hintedWidth, reference.unhintedWidth);
    EXPECT_EQ(reference.hintedWidth,
              Measurer(Logical(u"Arial", -48, FW_NORMAL, false, 3600)).Extent(kText).cx);
}

TEST(TextMeasurement, OddText) {
    Measurer measurer(Logical(u"Arial", -16));
    SIZE size{};
    EXPECT_TRUE(GetTextExtentPoint32W(measurer.dc(), nullptr, 0, &size));
    EXPECT_EQ(0, size.cx);
    // A surrogate pair is one character (here one missing glyph, as the unassigned U+0378);
    // an unpaired surrogate, even at the very end, is a replacement character.
    EXPECT_EQ(measurer.Extent(u"\u0378").cx, measurer.Extent(u"\U0001F600").cx);
    EXPECT_EQ(measurer.Extent(u"a\ufffd").cx, measurer.Extent(u"a\xd800").cx);
    EXPECT_EQ(measurer.Extent(u"\ufffda").cx, measurer
                                                  .Extent(u"\xdc00"
                                                          u"a")
                                                  .cx);
    // A face name that fills the record without a terminator is read to its end only.
    LOGFONTW unterminated = Logical(u"", -16);
    for (WCHAR& unit : unterminated.lfFaceName) {
        unit = u'x';
    }
    Measurer fallback(unterminated);
    EXPECT_GT(fallback.Extent(u"abc").cx, 0);
    // Extreme heights are measured at the largest size, never wrapped.
    for (LONG height : {INT32_MIN, INT32_MAX}) {
        SCOPED_TRACE(height);
        Measurer extreme(Logical(u"Arial", height));
        const TEXTMETRICW metrics = extreme.Metrics();
        EXPECT_GT(metrics.tmAscent, 10000);
        EXPECT_GT(metrics.tmDescent, 0);
        EXPECT_GT(extreme.Extent(u"Hello").cx, 10000);
    }
    // More pixels than a LONG holds is refused, not wrapped.
    Measurer huge(Logical(u"Arial", -16384));
    const std::u16string wide(200000, u'W');
    EXPECT_FALSE(
        GetTextExtentPoint32W(huge.dc(), wide.c_str(), static_cast<int>(wide.size()), &size));
    EXPECT_EQ(ERROR_ARITHMETIC_OVERFLOW, GetLastError());
}

TEST(TextMeasurement, ThreadsMeasureAlike) {
    const long expected = Measurer(Logical(u"Arial", -24)).Extent(kText).cx;
    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (int& mismatch : mismatches) {
        threads.emplace_back([&expected, &mismatch] {
            const LOGFONTW logical = Logical(u"Arial", -24);
            for (int round = 0; round < 50; ++round) {
                HDC dc = CreateICW(u"DISPLAY", nullptr, nullptr, nullptr);
                HFONT font = CreateFontIndirectW(&logical);
                HGDIOBJ old = SelectObject(dc, font);
                SIZE size{};
                GetTextExtentPoint32W(dc, kText.c_str(), static_cast<int>(kText.size()), &size);
                mismatch += size.cx != expected;
                SelectObject(dc, old);
                mismatch += !DeleteObject(font);
                mismatch += !DeleteDC(dc);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(std::vector<int>(4, 0), mismatches);
}

TEST(TextMeasurement, ManyDifferentFontsInTurn) {
    // More fonts than are kept realized, twice over: each measures as on its first use.
    std::vector<long> first;
    for (int round = 0; round < 2; ++round) {
        for (LONG height = 8; height < 8 + 80; ++height) {
            const long width = Measurer(Logical(u"Arial", -height)).Extent(kText).cx;
            if (round == 0) {
                first.push_back(width);
            } else {
                EXPECT_EQ(first[height - 8], width) << height;
            }
        }
    }
    EXPECT_LT(first.front(), first.back());
}

TEST(TextMeasurement, InformationContexts) {
    EXPECT_EQ(nullptr, CreateICW(nullptr, u"No Such Printer", nullptr, nullptr));
    EXPECT_EQ(ERROR_INVALID_PRINTER_NAME, GetLastError());
    EXPECT_EQ(nullptr, CreateICW(nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
    for (HDC dc :
         {CreateICW(u"DISPLAY", nullptr, nullptr, nullptr),
          CreateICW(u"Some Driver", platformprinters::kBuiltinPrinterName, nullptr, nullptr)}) {
        ASSERT_NE(nullptr, dc);
        EXPECT_EQ(96, GetDeviceCaps(dc, LOGPIXELSX));
        EXPECT_EQ(96, GetDeviceCaps(dc, LOGPIXELSY));
        TEXTMETRICW metrics{};
        EXPECT_TRUE(GetTextMetricsW(dc, &metrics)); // the default font
        EXPECT_GT(metrics.tmHeight, 0);
        EXPECT_TRUE(DeleteDC(dc));
    }
}

TEST(TextMeasurement, HandleMisuseFailsCleanly) {
    // The first context makes the stock font, which stays; count from after it.
    ASSERT_TRUE(DeleteDC(CreateICW(u"DISPLAY", nullptr, nullptr, nullptr)));
    const size_t openBefore = platform::gdi::OpenObjectCount();
    const LOGFONTW logical = Logical(u"Arial", -16);
    HDC dc = CreateICW(u"DISPLAY", nullptr, nullptr, nullptr);
    HFONT font = CreateFontIndirectW(&logical);
    ASSERT_NE(nullptr, dc);
    ASSERT_NE(nullptr, font);
    HGDIOBJ stock = SelectObject(dc, font);
    ASSERT_NE(nullptr, stock);
    EXPECT_FALSE(DeleteObject(font)) << "a selected font stays";
    EXPECT_EQ(font, SelectObject(dc, font));

    HDC deletedDc = CreateICW(u"DISPLAY", nullptr, nullptr, nullptr);
    ASSERT_TRUE(DeleteDC(deletedDc));
    int madeUp = 0;
    HDC badDcs[] = {nullptr, deletedDc, reinterpret_cast<HDC>(&madeUp),
                    reinterpret_cast<HDC>(font)};
    for (HDC bad : badDcs) {
        SCOPED_TRACE(static_cast<void*>(bad));
        SIZE size{};
        TEXTMETRICW metrics{};
        EXPECT_FALSE(GetTextExtentPoint32W(bad, u"x", 1, &size));
        EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
        EXPECT_FALSE(GetTextMetricsW(bad, &metrics));
        EXPECT_EQ(nullptr, SelectObject(bad, font));
        EXPECT_FALSE(DeleteDC(bad));
        EXPECT_EQ(0, GetDeviceCaps(bad, LOGPIXELSX));
    }
    HFONT deletedFont = CreateFontIndirectW(&logical);
    ASSERT_TRUE(DeleteObject(deletedFont));
    HGDIOBJ badObjects[] = {nullptr, deletedFont, &madeUp, dc};
    for (HGDIOBJ bad : badObjects) {
        EXPECT_EQ(nullptr, SelectObject(dc, bad));
        EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
        EXPECT_FALSE(DeleteObject(bad));
    }
    EXPECT_EQ(font, SelectObject(dc, font)) << "a failed selection keeps the font";

    SIZE size{};
    EXPECT_FALSE(GetTextExtentPoint32W(dc, u"x", -1, &size));
    EXPECT_FALSE(GetTextExtentPoint32W(dc, nullptr, 3, &size));
    EXPECT_FALSE(GetTextExtentPoint32W(dc, u"x", 1, nullptr));
    EXPECT_FALSE(GetTextMetricsW(dc, nullptr));
    EXPECT_EQ(nullptr, CreateFontIndirectW(nullptr));

    EXPECT_TRUE(DeleteObject(stock)) << "deleting a stock font does nothing";
    EXPECT_EQ(font, SelectObject(dc, stock));
    EXPECT_TRUE(DeleteObject(font));
    EXPECT_TRUE(DeleteDC(dc));
    EXPECT_EQ(openBefore, platform::gdi::OpenObjectCount());
}

TEST(TextMeasurement, RunningOutOfMemoryLeavesNothingOpen) {
    struct Fixture {};
    allocationsweep::Sweep<Fixture> sweep;
    sweep.make = [] { return Fixture{}; };
    sweep.operation = [](Fixture&) -> HRESULT {
        const LOGFONTW logical = Logical(u"Arial", -16);
        HDC dc = CreateICW(nullptr, platformprinters::kBuiltinPrinterName, nullptr, nullptr);
        if (!dc) {
            return GetLastError() == ERROR_NOT_ENOUGH_MEMORY ? E_OUTOFMEMORY : E_FAIL;
        }
        HFONT font = CreateFontIndirectW(&logical);
        HRESULT result = S_OK;
        if (!font) {
            result = GetLastError() == ERROR_NOT_ENOUGH_MEMORY ? E_OUTOFMEMORY : E_FAIL;
        } else {
            SIZE size{};
            HGDIOBJ old = SelectObject(dc, font);
            if (!GetTextExtentPoint32W(dc, u"Draft", 5, &size) || size.cx <= 0) {
                result = E_FAIL;
            }
            SelectObject(dc, old);
            DeleteObject(font);
        }
        DeleteDC(dc);
        return result;
    };
    sweep.state = [](Fixture&) {
        return std::vector<std::string>{std::to_string(platform::gdi::OpenObjectCount())};
    };
    EXPECT_GE(allocationsweep::Run(sweep), 2u);
}

} // namespace
