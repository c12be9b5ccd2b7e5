// GDI+ held started for the lifetime of an object, and shut down with it.
#include <filterutilities/errorconvention.h>
#include <filterutilities/gdiplus.h>

#include <gdiplus.h>

#include <gtest/gtest.h>

#include <memory>

namespace {

// Whether GDI+ is started in the process: only then does it hand out font families.
bool GdiPlusRuns() {
    Gdiplus::GpFontFamily* family = nullptr;
    const Gdiplus::Status status = GdipCreateFontFamilyFromName(u"Arial", nullptr, &family);
    if (family) {
        GdipDeleteFontFamily(family);
    }
    EXPECT_TRUE(status == Gdiplus::Ok || status == Gdiplus::GdiplusNotInitialized) << status;
    return status == Gdiplus::Ok;
}

TEST(GDIPlus, RunsWhileAnyObjectLives) {
    ASSERT_FALSE(GdiPlusRuns()) << "GDI+ was left started by an earlier test";
    auto outer = std::make_unique<GDIPlus>();
    EXPECT_EQ(Gdiplus::Ok, outer->GetGDIPlusStartStatus());
    EXPECT_EQ(S_OK, GetGDIStatusErrorAsHResult(outer->GetGDIPlusStartStatus()));
    EXPECT_TRUE(GdiPlusRuns());
    {
        const GDIPlus inner;
        EXPECT_EQ(Gdiplus::Ok, inner.GetGDIPlusStartStatus());
        outer.reset(); // the objects need not end in the order they began
        EXPECT_TRUE(GdiPlusRuns()) << "one object's shutdown ended another's GDI+";
    }
    EXPECT_FALSE(GdiPlusRuns()) << "GDI+ outlived the objects that started it";
}

} // namespace
