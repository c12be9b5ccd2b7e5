// GDI+ start-up counted per process, and font families only while it is started.
#include "gdiplus.h"

#include "allocationsweep.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace Gdiplus;

// Whether GDI+ is started, seen from a call that needs it.
bool Started() {
    return GdipDeleteFontFamily(nullptr) != GdiplusNotInitialized;
}

ULONG_PTR Start() {
    ULONG_PTR token = 0;
    const GdiplusStartupInput input;
    EXPECT_EQ(Ok, GdiplusStartup(&token, &input, nullptr));
    EXPECT_NE(0u, token);
    return token;
}

TEST(Gdiplus, CallsBeforeStartUpAreRefused) {
    ASSERT_FALSE(Started());
    GpFontFamily* family = nullptr;
    EXPECT_EQ(GdiplusNotInitialized, GdipCreateFontFamilyFromName(u"Arial", nullptr, &family));
    EXPECT_EQ(nullptr, family);
    WCHAR name[LF_FACESIZE] = {};
    EXPECT_EQ(GdiplusNotInitialized, GdipGetFamilyName(nullptr, name, 0));
}

TEST(Gdiplus, StartUpIsCountedPerProcess) {
    const ULONG_PTR first = Start();
    const ULONG_PTR second = Start();
    EXPECT_NE(first, second);
    GdiplusShutdown(first);
    EXPECT_TRUE(Started()) << "the second start still holds";
    GdiplusShutdown(first); // given back already
    GdiplusShutdown(0);     // never handed out
    GdiplusShutdown(second + 1000);
    EXPECT_TRUE(Started());
    GdiplusShutdown(second);
    EXPECT_FALSE(Started());
}

TEST(Gdiplus, BadStartUpsStartNothing) {
    struct Case {
        const char* name;
        bool token;
        bool input;
        UINT version;
        BOOL suppressBackgroundThread;
        bool output;
        Status expected;
    };
    const Case cases[] = {
        {"no token", false, true, 1, FALSE, false, InvalidParameter},
        {"no input", true, false, 1, FALSE, false, InvalidParameter},
        {"version 2", true, true, 2, FALSE, false, UnsupportedGdiplusVersion},
        {"version 0", true, true, 0, FALSE, false, UnsupportedGdiplusVersion},
        {"no thread, no output", true, true, 1, TRUE, false, InvalidParameter},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        ULONG_PTR token = 0;
        GdiplusStartupInput input(nullptr, test.suppressBackgroundThread);
        input.GdiplusVersion = test.version;
        GdiplusStartupOutput output{};
        EXPECT_EQ(test.expected,
                  GdiplusStartup(test.token ? &token : nullptr, test.input ? &input : nullptr,
                                 test.output ? &output : nullptr));
        EXPECT_FALSE(Started());
    }
}

TEST(Gdiplus, SuppressedBackgroundThreadGetsTheHooks) {
    ULONG_PTR token = 0;
    const GdiplusStartupInput input(nullptr, TRUE);
    GdiplusStartupOutput output{};
    ASSERT_EQ(Ok, GdiplusStartup(&token, &input, &output));
    ASSERT_NE(nullptr, output.NotificationHook);
    ASSERT_NE(nullptr, output.NotificationUnhook);
    ULONG_PTR hook = 0;
    EXPECT_EQ(Ok, output.NotificationHook(&hook));
    EXPECT_NE(0u, hook);
    EXPECT_EQ(InvalidParameter, output.NotificationHook(nullptr));
    output.NotificationUnhook(hook);
    GdiplusShutdown(token);
    EXPECT_FALSE(Started());
    EXPECT_EQ(GdiplusNotInitialized, output.NotificationHook(&hook));
}

TEST(Gdiplus, FontFamilies) {
    const ULONG_PTR token = Start();
    struct Case {
        std::u16string name;
        Status expected;
        std::u16string family;
    };
    const Case cases[] = {
        {u"Arial", Ok, u"Liberation Sans"},
        {u"helvetica", Ok, u"Liberation Sans"},
        {u"liberation serif", Ok, u"Liberation Serif"},
        {u"No Such Family", FontFamilyNotFound, u""},
        {u"", FontFamilyNotFound, u""},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(std::string(test.name.begin(), test.name.end()));
        GpFontFamily* family = nullptr;
        ASSERT_EQ(test.expected, GdipCreateFontFamilyFromName(test.name.c_str(), nullptr, &family));
        if (test.expected != Ok) {
            EXPECT_EQ(nullptr, family);
            continue;
        }
        WCHAR name[LF_FACESIZE] = {};
        EXPECT_EQ(Ok, GdipGetFamilyName(family, name, 0));
        EXPECT_EQ(test.family, std::u16string(name));
        EXPECT_EQ(Ok, GdipDeleteFontFamily(family));
        EXPECT_EQ(InvalidParameter, GdipDeleteFontFamily(family));
        EXPECT_EQ(InvalidParameter, GdipGetFamilyName(family, name, 0));
    }
    GpFontFamily* family = nullptr;
    int madeUp = 0;
    EXPECT_EQ(InvalidParameter, GdipCreateFontFamilyFromName(nullptr, nullptr, &family));
    EXPECT_EQ(InvalidParameter, GdipCreateFontFamilyFromName(u"Arial", nullptr, nullptr));
    EXPECT_EQ(InvalidParameter,
              GdipCreateFontFamilyFromName(u"Arial", reinterpret_cast<GpFontCollection*>(&madeUp),
                                           &family));
    EXPECT_EQ(InvalidParameter, GdipDeleteFontFamily(reinterpret_cast<GpFontFamily*>(&madeUp)));
    GdiplusShutdown(token);
}

TEST(Gdiplus, RunningOutOfMemoryStartsNothing) {
    struct Fixture {};
    allocationsweep::Sweep<Fixture> sweep;
    sweep.make = [] { return Fixture{}; };
    sweep.operation = [](Fixture&) -> HRESULT {
        ULONG_PTR token = 0;
        const GdiplusStartupInput input;
        Status status = GdiplusStartup(&token, &input, nullptr);
        if (status != Ok) {
            return status == OutOfMemory ? E_OUTOFMEMORY : E_FAIL;
        }
        GpFontFamily* family = nullptr;
        status = GdipCreateFontFamilyFromName(u"Arial", nullptr, &family);
        if (status == Ok) {
            GdipDeleteFontFamily(family);
        }
        GdiplusShutdown(token);
        return status == Ok ? S_OK : status == OutOfMemory ? E_OUTOFMEMORY : E_FAIL;
    };
    sweep.state = [](Fixture&) {
        return std::vector<std::string>{Started() ? "started" : "not started"};
    };
    EXPECT_EQ(2u, allocationsweep::Run(sweep));
}

} // namespace
