#include <kldutil/number.h>

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>

namespace {

struct DecimalCase {
    const char16_t* text;
    double value;
    bool valid;
};

TEST(Number, ReadsTheLeadingDecimalNumber) {
    const double infinity = std::numeric_limits<double>::infinity();
    const DecimalCase cases[] = {
        {u"600", 600.0, true},
        {u"  -12.5", -12.5, true},
        {u"+.25", 0.25, true},
        {u"7.", 7.0, true},
        {u"12abc", 12.0, true},
        {u"1.5e3", 1500.0, true},
        {u"2E-2x", 0.02, true},
        {u"2e", 2.0, true}, // an exponent without digits is not part of the number
        {u"3e+", 3.0, true},
        {u"1,5", 1.0, true}, // a comma is never a decimal separator
        {u"1e999", infinity, true},
        {u"-1e999", -infinity, true},
        {u"1e-999", 0.0, true},
        {u"abc", 0.0, false},
        {u"", 0.0, false},
        {u"-", 0.0, false},
        {u".", 0.0, false},
        {u"inf", 0.0, false},
        {u"nan", 0.0, false},
    };
    for (const DecimalCase& c : cases) {
        SCOPED_TRACE(CXString(c.text).ToUtf8());
        const Number number(CXString(c.text), false);
        EXPECT_EQ(c.value, number.GetDoubleValue());
        EXPECT_EQ(c.valid, number.IsValid());
    }
}

TEST(Number, ReadsHexadecimalText) {
    EXPECT_EQ(255.0, Number(CXString(u"0xFF"), true).GetDoubleValue());
    EXPECT_EQ(-26.0, Number(CXString(u" -1a"), true).GetDoubleValue());
    EXPECT_EQ(0.0, Number(CXString(u"0x"), true).GetDoubleValue()); // the 0 before x
    EXPECT_TRUE(Number(CXString(u"0x"), true).IsValid());
    EXPECT_FALSE(Number(CXString(u"xyz"), true).IsValid());
}

TEST(Number, RoundsToInt) {
    struct Case {
        double value;
        double rounding;
        int expected;
    } const cases[] = {
        {2.5, 0.499999, 2},   {2.6, 0.499999, 3},    {-2.6, 0.499999, -3},   {-2.5, 0.499999, -2},
        {2.5, 0.5, 3},        {-2.5, 0.5, -3},       {2.9, 0.0, 2},          {-2.9, 0.0, -2},
        {1e12, 0.5, INT_MAX}, {-1e12, 0.5, INT_MIN}, {std::nan(""), 0.5, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.value << " with " << c.rounding);
        EXPECT_EQ(c.expected, Number(c.value).GetIntValue(c.rounding));
    }
}

TEST(Number, NarrowsToFloatWithoutUndefinedOverflow) {
    EXPECT_EQ(0.5f, Number(0.5).GetFloatValue());
    EXPECT_EQ(std::numeric_limits<float>::infinity(), Number(1e300).GetFloatValue());
    EXPECT_EQ(-std::numeric_limits<float>::infinity(), Number(-1e300).GetFloatValue());
}

TEST(Number, ParseIntFollowsTheRunTimesWtoi) {
    struct Case {
        const char16_t* text;
        int expected;
    } const cases[] = {
        {u"600", 600},
        {u"  -42", -42},
        {u"+7", 7},
        {u"12abc", 12},
        {u"abc", 0},
        {u"", 0},
        {u"3.9", 3},
        {u"2147483647", INT_MAX},
        {u"2147483648", INT_MAX},
        {u"-2147483648", INT_MIN},
        {u"-99999999999999999999", INT_MIN},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(CXString(c.text).ToUtf8());
        EXPECT_EQ(c.expected, Number::ParseInt(c.text));
    }
    EXPECT_EQ(0, Number::ParseInt(nullptr));
}

TEST(Number, ColorRefBecomesRedGreenBlueText) {
    struct Case {
        COLORREF color;
        const char16_t* text;
    } const cases[] = {
        {RGB(0, 0, 0), u"#000000"},
        {RGB(255, 0, 0), u"#FF0000"}, // red is the low byte of a COLORREF, first in the text
        {RGB(0x12, 0xAB, 0x0C), u"#12AB0C"},
        {0xFF00FF00u, u"#00FF00"}, // the high byte is no part of the colour
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(CXString(c.text).ToUtf8());
        EXPECT_EQ(CXString(c.text), Number::ConvertColorRefToHexString(c.color));
    }
}

} // namespace
