// GDI+ held started for the lifetime of an object, and shut down with it.
#include <filterutilities/errorconvention.h>
#include <filterutilities/gdiplus.h>

#include <gdiplus.h>
#include <platformtest.h>

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

TEST(GDIPlus, AFailedStartIsReportedAndGivesNothingBack) {
    {
        const GDIPlus running;
        std::unique_ptr<GDIPlus> failed;
        {
            const platformtest::AllocationFailure failure(1);
            failed = std::make_unique<GDIPlus>();
        }
        EXPECT_EQ(Gdiplus::OutOfMemory, failed->GetGDIPlusStartStatus());
        EXPECT_EQ(E_OUTOFMEMORY, GetGDIStatusErrorAsHResult(failed->GetGDIPlusStartStatus()));
        failed.reset();
        EXPECT_TRUE(GdiPlusRuns()) << "a failed start shut down another object's GDI+";
    }
    EXPECT_FALSE(GdiPlusRuns());
}

} // namespace
