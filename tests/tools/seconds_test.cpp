// Seconds on the command line: digits with an optional fraction, above 0 and at most a day,
// in whole milliseconds; everything else refused.
#include "seconds.h"

#include <gtest/gtest.h>

namespace {

TEST(Seconds, ReadsDigitsWithAFractionInMilliseconds) {
    const struct {
        const char* text;
        long long milliseconds;
    } cases[] = {
        {"2", 2000},         {"0.5", 500},
        {"1.25", 1250},      {"010", 10000},
        {"0.001", 1},        {"0.0001", 1},
        {"2.0005", 2001},    {"0.5000000", 500},
        {"86400", 86400000}, {"86399.9999", 86400000},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.text);
        const auto parsed = filterutil::ParseSeconds(test.text);
        ASSERT_TRUE(parsed.has_value());
        EXPECT_EQ(test.milliseconds, parsed->count());
    }
}

TEST(Seconds, RefusesWhatIsNoPositiveNumberOfSecondsUpToADay) {
    for (const char* text : {"",
                             "0",
                             "0.0",
                             "0.0000",
                             "-1",
                             "+1",
                             " 1",
                             "1 ",
                             "1.",
                             ".5",
                             "1.2.3",
                             "1e3",
                             "0x10",
                             "inf",
                             "nan",
                             "1,5",
                             "86400.001",
                             "86401",
                             "99999999999999999999999",
                             "1s"}) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(filterutil::ParseSeconds(text).has_value());
    }
}

} // namespace
