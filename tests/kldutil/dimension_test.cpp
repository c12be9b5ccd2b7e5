#include "kldutil/datamodeltesthelpers.h"

#include <kldutil/dimension.h>
#include <kldutil/number.h>

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>

// Conversions are exact where the units are whole fractions of each other.
TEST(Dimension, ConvertsBetweenEveryUnitExactly) {
    struct Case {
        double value;
        Dimension::UnitsEnum from;
        Dimension::UnitsEnum to;
        double expected;
    };
    const Case cases[] = {
        {1, Dimension::Inch, Dimension::Micrometre, 25400},
        {72, Dimension::Point, Dimension::Inch, 1},
        {10, Dimension::Millimetre, Dimension::Centimetre, 1},
        {100, Dimension::HundredthInch, Dimension::Inch, 1},
        {96, Dimension::Pixel96, Dimension::Point, 72},
        {2, Dimension::Centimetre, Dimension::Micrometre, 20000},
        {2159, Dimension::TenthMillimetre, Dimension::Micrometre, 215900},
        {2540, Dimension::HundredthMillimetre, Dimension::Inch, 1},
        {215900, Dimension::Micrometre, Dimension::Inch, 8.5},
        {279400, Dimension::Micrometre, Dimension::Pixel96, 1056},
        {600, Dimension::Dot600, Dimension::Inch, 1},
        {1200, Dimension::Dot1200, Dimension::Dot600, 600},
        {25400, Dimension::Micrometre, Dimension::Dot1200, 1200},
        {-3, Dimension::Inch, Dimension::Point, -216},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.value << " unit " << c.from << " -> " << c.to);
        EXPECT_EQ(c.expected, Dimension(c.value, c.from).GetValue(c.to).GetDoubleValue());
        EXPECT_EQ(c.value, Dimension(c.value, c.from).GetValue(c.from).GetDoubleValue());
    }
    EXPECT_EQ(0.0, Dimension().GetValue(Dimension::Inch).GetDoubleValue());
}

TEST(Dimension, UnitOutsideTheTableIsRefused) {
    for (int unit : {-1, 11, 1000}) {
        SCOPED_TRACE(unit);
        EXPECT_EQ(E_INVALIDARG,
                  RaisedHresult([&] { Dimension(1, static_cast<Dimension::UnitsEnum>(unit)); }));
        EXPECT_EQ(
            E_INVALIDARG, RaisedHresult([&] {
                Dimension(1, Dimension::Inch).GetValue(static_cast<Dimension::UnitsEnum>(unit));
            }));
    }
}

TEST(Number, GetIntValueRoundsBySignedMagnitude) {
    struct Case {
        double value;
        double offset;
        int32_t expected;
    };
    const Case cases[] = {
        {2.5, 0.499999, 2},
        {2.5000011, 0.499999, 3},
        {2.5, 0.5, 3},
        {-2.5, 0.499999, -2},
        {-2.6, 0.499999, -3},
        {-2.5, 0.5, -3},
        {0.4, 0.5, 0},
        {7.9, 0.0, 7},
        {1e12, 0.5, INT_MAX},
        {-1e12, 0.5, INT_MIN},
        {std::numeric_limits<double>::quiet_NaN(), 0.5, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.value << " + " << c.offset);
        EXPECT_EQ(c.expected, Number(c.value).GetIntValue(c.offset));
    }
}

// A booklet measure is stored in micrometres and read as device dots.
TEST(Dimension, ReadsADataModelLengthInDots) {
    EXPECT_EQ(
        236,
        Dimension(10000, Dimension::Micrometre).GetValue(Dimension::Dot600).GetIntValue(0.499999));
    EXPECT_EQ(
        472,
        Dimension(10000, Dimension::Micrometre).GetValue(Dimension::Dot1200).GetIntValue(0.499999));
}
