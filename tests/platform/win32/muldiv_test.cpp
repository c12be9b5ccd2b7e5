// MulDiv: rounding to nearest, halves away from zero, and its refusals.
#include "winbase.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

TEST(MulDiv, RoundsAndRefuses) {
    struct Case {
        int number, numerator, denominator, expected;
    };
    const Case cases[] = {
        {12, 96, 72, 16}, // a 12-point font at 96 dots per inch
        {10, 96, 72, 13}, // 13.33
        {11, 96, 72, 15}, // 14.67
        {3, 1, 2, 2},     // 1.5: half away from zero
        {-3, 1, 2, -2},   // -1.5
        {3, -1, 2, -2},
        {3, 1, -2, -2},
        {-3, -1, -2, -2},
        {5, 1, 4, 1},
        {INT_MAX, INT_MAX, INT_MAX, INT_MAX}, // the product needs 62 bits
        {INT_MIN, 2, 2, INT_MIN},
        {INT_MIN, -1, 1, -1}, // 2^31 does not fit
        {INT_MAX, 2, 1, -1},
        {7, 5, 0, -1},
        {0, 5, 3, 0},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(std::to_string(test.number) + " * " + std::to_string(test.numerator) + " / " +
                     std::to_string(test.denominator));
        EXPECT_EQ(test.expected, MulDiv(test.number, test.numerator, test.denominator));
    }
}

} // namespace
