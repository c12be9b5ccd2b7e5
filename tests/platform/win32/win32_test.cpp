// Per-thread state, time, text conversion and the debug sink.
#include "objbase.h"
#include "platformtest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(Win32, LastErrorIsPerThread) {
    SetLastError(ERROR_ACCESS_DENIED);
    std::thread([] {
        EXPECT_EQ(ERROR_SUCCESS, GetLastError());
        SetLastError(ERROR_NOT_FOUND);
    }).join();
    EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError());
}

TEST(Win32, FileTimeCountsFrom1601) {
    FILETIME now{};
    ASSERT_EQ(S_OK, CoFileTimeNow(&now));
    const uint64_t ticks = (uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
    // 2020-01-01 and 2100-01-01 in 100 ns ticks since 1601-01-01.
    EXPECT_GT(ticks, 132223104000000000ull);
    EXPECT_LT(ticks, 157469184000000000ull);
    EXPECT_EQ(E_INVALIDARG, CoFileTimeNow(nullptr));
}

// A fixed system time is what every clock call answers, on any thread, until released.
TEST(Win32, AFixedSystemTimeIsAnsweredEverywhereUntilReleased) {
    // 2026-03-04 05:06:07.890 UTC.
    constexpr ULONGLONG kFixed = 134170743678900000ull;
    const auto fileTime = [] {
        FILETIME now{};
        GetSystemTimeAsFileTime(&now);
        return (ULONGLONG{now.dwHighDateTime} << 32) | now.dwLowDateTime;
    };
    {
        platformtest::FixedSystemTime clock(kFixed);
        EXPECT_EQ(kFixed, fileTime());
        SYSTEMTIME time{};
        GetSystemTime(&time);
        EXPECT_EQ((std::vector<WORD>{2026, 3, 4, 5, 6, 7, 890}),
                  (std::vector<WORD>{time.wYear, time.wMonth, time.wDay, time.wHour, time.wMinute,
                                     time.wSecond, time.wMilliseconds}));
        clock.Set(kFixed + 10'000'000u);
        std::thread([&] { EXPECT_EQ(kFixed + 10'000'000u, fileTime()); }).join();
    }
    // 2020-01-01 onwards: the clock runs again.
    EXPECT_GT(fileTime(), 132223104000000000ull);
    EXPECT_NE(kFixed + 10'000'000u, fileTime());
}

TEST(TextConversion, Utf16ToUtf8AndBack) {
    struct Case {
        std::u16string wide;
        std::string narrow;
    };
    const Case cases[] = {
        {u"plain", "plain"},
        {u"\u00e9t\u00e9", "\xc3\xa9t\xc3\xa9"},
        {u"\u7eb8\u5f20", "\xe7\xba\xb8\xe5\xbc\xa0"},
        {u"\U0001F5A8", "\xf0\x9f\x96\xa8"}, // a surrogate pair becomes one sequence
        // ASCII runs, copied at once, meet other characters on either side.
        {u"<a b=\"\u00e9\">\U0001F5A8x\u007f\u0080",
         "<a b=\"\xc3\xa9\">\xf0\x9f\x96\xa8x\x7f\xc2\x80"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.narrow);
        const int wideCount = static_cast<int>(c.wide.size());
        const int size =
            WideCharToMultiByte(CP_UTF8, 0, c.wide.data(), wideCount, nullptr, 0, nullptr, nullptr);
        ASSERT_EQ(static_cast<int>(c.narrow.size()), size);
        std::string narrow(static_cast<size_t>(size), '\0');
        EXPECT_EQ(size, WideCharToMultiByte(CP_UTF8, 0, c.wide.data(), wideCount, narrow.data(),
                                            size, nullptr, nullptr));
        EXPECT_EQ(c.narrow, narrow);

        const int back = MultiByteToWideChar(CP_UTF8, 0, c.narrow.data(), size, nullptr, 0);
        std::u16string wide(static_cast<size_t>(back), u'\0');
        MultiByteToWideChar(CP_UTF8, 0, c.narrow.data(), size, wide.data(), back);
        EXPECT_EQ(c.wide, wide);
    }
}

TEST(TextConversion, BadInputAndShortBuffers) {
    const char16_t loneSurrogate[] = {u'a', 0xD800, u'b'};
    char out[16] = {};
    EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, loneSurrogate, 3, out,
                                     sizeof out, nullptr, nullptr));
    EXPECT_EQ(ERROR_NO_UNICODE_TRANSLATION, GetLastError());
    EXPECT_EQ(5,
              WideCharToMultiByte(CP_UTF8, 0, loneSurrogate, 3, out, sizeof out, nullptr, nullptr));
    EXPECT_EQ("a\xef\xbf\xbd"
              "b",
              std::string(out, 5));

    std::fill(std::begin(out), std::end(out), 'z');
    EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, 0, u"abcdef", -1, out, 3, nullptr, nullptr));
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_EQ("zzz", std::string(out, 3)) << "a buffer too short is left as it was";
    EXPECT_EQ(7, WideCharToMultiByte(CP_UTF8, 0, u"abcdef", -1, nullptr, 0, nullptr, nullptr));

    const char truncated[] = {'x', '\xe7', '\xba'};
    char16_t wide[8] = {};
    EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, truncated, 3, wide, 8));
    EXPECT_EQ(ERROR_NO_UNICODE_TRANSLATION, GetLastError());
    const int n = MultiByteToWideChar(CP_UTF8, 0, truncated, 3, wide, 8);
    ASSERT_GE(n, 2);
    EXPECT_EQ(u'x', wide[0]);
    EXPECT_EQ(0xFFFD, wide[1]);

    EXPECT_EQ(0, MultiByteToWideChar(1252, 0, "a", 1, wide, 8));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
}

TEST(DebugSink, CapturesOutputFromAnyThread) {
    platformtest::DebugSinkCapture capture;
    OutputDebugStringA("first ");
    std::thread([] { OutputDebugStringW(u"second \u00e9"); }).join();
    OutputDebugStringA(nullptr);
    EXPECT_EQ("first second \xc3\xa9", capture.Text());
    capture.Clear();
    EXPECT_EQ("", capture.Text());
}

TEST(DebugBreak, DoesNothingWithoutADebugger) {
    if (IsDebuggerPresent()) {
        GTEST_SKIP() << "running under a debugger";
    }
    DebugBreak(); // would stop the test with SIGTRAP if it broke
    SUCCEED();
}

} // namespace
