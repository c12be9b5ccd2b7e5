#include <filterutilities/debugoutput.h>

#include <platformtest.h>

#include <gtest/gtest.h>

#include <new>
#include <string>

namespace {

int Real(DWORD count, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int result = RealDebugMessage(count, format, args);
    va_end(args);
    return result;
}

TEST(DbgPrint, PrintsUpTo32768Bytes) {
    struct Case {
        size_t length;
        int expected;
        size_t printed;
    };
    const Case cases[] = {{0, 1, 0},         {11, 1, 11},       {32767, 1, 32767},
                          {32768, 1, 32768}, {32769, 0, 32768}, {100000, 0, 32768}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        const std::string text(c.length, 'x');
        platformtest::DebugSinkCapture sink;
        EXPECT_EQ(c.expected, DbgPrint("%s", text.c_str()));
        EXPECT_EQ(std::string(c.printed, 'x'), sink.Text());
    }
}

TEST(DbgPrint, FormatsItsArguments) {
    platformtest::DebugSinkCapture sink;
    EXPECT_EQ(1, DbgPrint("page %d of %s: %.2f\n", 3, "job", 0.5));
    EXPECT_EQ("page 3 of job: 0.50\n", sink.Text());
}

TEST(DbgPrint, NullFormatPrintsNothing) {
    platformtest::DebugSinkCapture sink;
    const char* volatile none = nullptr;
    // A null format is the case under test, not a format string from outside.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
    EXPECT_EQ(0, DbgPrint(none));
#pragma GCC diagnostic pop
    EXPECT_EQ("", sink.Text());
}

TEST(DbgPrint, AllocationFailureEscapesAsBadAlloc) {
    platformtest::DebugSinkCapture sink;
    platformtest::AllocationFailure failure(1);
    EXPECT_THROW(DbgPrint("%s", "text"), std::bad_alloc);
    EXPECT_EQ("", sink.Text());
}

TEST(RealDebugMessage, CutsAtTheCountAndRefusesBadCounts) {
    struct Case {
        DWORD count;
        int expected;
        const char* printed;
    };
    const Case cases[] = {
        {5, 0, "abcde"},     {7, 0, "abcdefg"},
        {8, 1, "abcdefg8"},  {9, 1, "abcdefg8"},
        {0, 0, ""},          {0x7FFFFFFF, 0, ""},
        {0xFFFFFFFF, 0, ""}, {0x7FFFFFFE, 1, "abcdefg8"}, // a large limit costs nothing extra
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.count);
        platformtest::DebugSinkCapture sink;
        EXPECT_EQ(c.expected, Real(c.count, "%s%d", "abcdefg", 8));
        EXPECT_EQ(c.printed, sink.Text());
    }
    platformtest::DebugSinkCapture sink;
    EXPECT_EQ(0, Real(10, nullptr));
    EXPECT_EQ("", sink.Text());
}

} // namespace
