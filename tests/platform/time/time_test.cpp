// Time zones from the time zone database under a fixed TZ, and dates and times as text.
#include "datetimeapi.h"
#include "timezoneapi.h"

#include "fixedzone.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace {

SYSTEMTIME Time(WORD year, WORD month, WORD day, WORD hour = 0, WORD minute = 0, WORD second = 0,
                WORD milliseconds = 0) {
    SYSTEMTIME time{};
    time.wYear = year;
    time.wMonth = month;
    time.wDay = day;
    time.wHour = hour;
    time.wMinute = minute;
    time.wSecond = second;
    time.wMilliseconds = milliseconds;
    return time;
}

std::string Text(const SYSTEMTIME& t) {
    char text[64];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u.%03u (%u)", t.wYear, t.wMonth,
                  t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds, t.wDayOfWeek);
    return text;
}

std::string Rule(const SYSTEMTIME& t) {
    char text[64];
    std::snprintf(text, sizeof text, "month %u, weekday %u, week %u, %02u:%02u", t.wMonth,
                  t.wDayOfWeek, t.wDay, t.wHour, t.wMinute);
    return text;
}

TEST(TimeZone, RulesFromTheDatabase) {
    struct Case {
        const char* tz;
        DWORD zoneKind; // whether the zone has daylight time at all
        LONG bias;
        LONG daylightBias;
        const char* daylightStarts; // local standard time
        const char* standardStarts; // local daylight time
        std::u16string standardName;
        std::u16string daylightName;
    };
    const Case cases[] = {
        {"Europe/Berlin", 1, -60, -60, "month 3, weekday 0, week 5, 02:00",
         "month 10, weekday 0, week 5, 03:00", u"CET", u"CEST"},
        {"America/New_York", 1, 300, -60, "month 3, weekday 0, week 2, 02:00",
         "month 11, weekday 0, week 1, 02:00", u"EST", u"EDT"},
        {"Australia/Sydney", 1, -600, -60, "month 10, weekday 0, week 1, 02:00",
         "month 4, weekday 0, week 1, 03:00", u"AEST", u"AEDT"},
        // A POSIX rule, no database needed.
        {"XST5XDT,M3.2.0,M11.1.0", 1, 300, -60, "month 3, weekday 0, week 2, 02:00",
         "month 11, weekday 0, week 1, 02:00", u"XST", u"XDT"},
        {"Asia/Kolkata", 0, -330, 0, "month 0, weekday 0, week 0, 00:00",
         "month 0, weekday 0, week 0, 00:00", u"IST", u"IST"},
        {"UTC", 0, 0, 0, "month 0, weekday 0, week 0, 00:00", "month 0, weekday 0, week 0, 00:00",
         u"UTC", u"UTC"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.tz);
        FixedZone zone(test.tz);
        TIME_ZONE_INFORMATION info{};
        const DWORD kind = GetTimeZoneInformation(&info);
        if (test.zoneKind == 0) {
            EXPECT_EQ(TIME_ZONE_ID_UNKNOWN, kind);
        } else {
            EXPECT_TRUE(kind == TIME_ZONE_ID_STANDARD || kind == TIME_ZONE_ID_DAYLIGHT);
        }
        EXPECT_EQ(test.bias, info.Bias);
        EXPECT_EQ(0, info.StandardBias);
        EXPECT_EQ(test.daylightBias, info.DaylightBias);
        EXPECT_EQ(test.daylightStarts, Rule(info.DaylightDate));
        EXPECT_EQ(test.standardStarts, Rule(info.StandardDate));
        EXPECT_EQ(test.standardName, std::u16string(info.StandardName));
        EXPECT_EQ(test.daylightName, std::u16string(info.DaylightName));
    }
    EXPECT_EQ(TIME_ZONE_ID_INVALID, GetTimeZoneInformation(nullptr));
}

TEST(TimeZone, UniversalToLocalAcrossDaylightSavingBoundaries) {
    struct Case {
        const char* tz;
        SYSTEMTIME utc;
        const char* local;
    };
    const Case cases[] = {
        {"Europe/Berlin", Time(2026, 3, 29, 0, 59, 59, 999), "2026-03-29 01:59:59.999 (0)"},
        {"Europe/Berlin", Time(2026, 3, 29, 1, 0, 0), "2026-03-29 03:00:00.000 (0)"},
        {"Europe/Berlin", Time(2026, 10, 25, 0, 59, 59), "2026-10-25 02:59:59.000 (0)"},
        {"Europe/Berlin", Time(2026, 10, 25, 1, 0, 0), "2026-10-25 02:00:00.000 (0)"},
        {"Europe/Berlin", Time(2026, 12, 31, 23, 30, 0), "2027-01-01 00:30:00.000 (5)"},
        {"America/New_York", Time(2026, 3, 8, 6, 59, 59), "2026-03-08 01:59:59.000 (0)"},
        {"America/New_York", Time(2026, 3, 8, 7, 0, 0), "2026-03-08 03:00:00.000 (0)"},
        {"America/New_York", Time(2027, 1, 1, 3, 0, 0), "2026-12-31 22:00:00.000 (4)"},
        {"Australia/Sydney", Time(2026, 4, 4, 15, 59, 59), "2026-04-05 02:59:59.000 (0)"},
        {"Australia/Sydney", Time(2026, 4, 4, 16, 0, 0), "2026-04-05 02:00:00.000 (0)"},
        {"Australia/Sydney", Time(2026, 10, 3, 15, 59, 59), "2026-10-04 01:59:59.000 (0)"},
        {"Australia/Sydney", Time(2026, 10, 3, 16, 0, 0), "2026-10-04 03:00:00.000 (0)"},
        {"Asia/Kolkata", Time(2024, 2, 28, 20, 0, 0), "2024-02-29 01:30:00.000 (4)"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(std::string(test.tz) + " " + Text(test.utc));
        FixedZone zone(test.tz);
        SYSTEMTIME local{};
        ASSERT_TRUE(SystemTimeToTzSpecificLocalTime(nullptr, &test.utc, &local));
        EXPECT_EQ(test.local, Text(local));
        // This year's rules, as GetTimeZoneInformation gives them, convert alike.
        TIME_ZONE_INFORMATION info{};
        GetTimeZoneInformation(&info);
        SYSTEMTIME byRules{};
        ASSERT_TRUE(SystemTimeToTzSpecificLocalTime(&info, &test.utc, &byRules));
        EXPECT_EQ(test.local, Text(byRules));
    }
}

TEST(TimeZone, RefusesWhatIsNoTime) {
    const SYSTEMTIME bad[] = {Time(2026, 13, 1),
                              Time(2026, 2, 29),
                              Time(2026, 1, 1, 24),
                              Time(2026, 1, 1, 0, 60),
                              Time(2026, 1, 1, 0, 0, 0, 1000),
                              Time(1600, 12, 31),
                              Time(2026, 0, 1),
                              Time(2026, 1, 0)};
    SYSTEMTIME local = Time(1999, 9, 9);
    for (const SYSTEMTIME& time : bad) {
        SCOPED_TRACE(Text(time));
        EXPECT_FALSE(SystemTimeToTzSpecificLocalTime(nullptr, &time, &local));
        EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
    }
    EXPECT_EQ("1999-09-09 00:00:00.000 (0)", Text(local)) << "left as it was";
    const SYSTEMTIME good = Time(2026, 1, 1);
    EXPECT_FALSE(SystemTimeToTzSpecificLocalTime(nullptr, nullptr, &local));
    EXPECT_FALSE(SystemTimeToTzSpecificLocalTime(nullptr, &good, nullptr));
    // A bias that leaves Windows' range of years is refused, not wrapped.
    TIME_ZONE_INFORMATION far{};
    far.Bias = INT32_MIN;
    far.StandardBias = INT32_MIN;
    far.DaylightBias = INT32_MIN;
    const SYSTEMTIME late = Time(30000, 1, 1);
    EXPECT_FALSE(SystemTimeToTzSpecificLocalTime(&far, &late, &local));
    far.Bias = far.StandardBias = INT32_MAX;
    EXPECT_FALSE(SystemTimeToTzSpecificLocalTime(&far, &good, &local));
    // A rule with out-of-range fields is read safely.
    TIME_ZONE_INFORMATION odd{};
    odd.Bias = -60;
    odd.DaylightBias = -60;
    odd.DaylightDate = Time(0, 2, 40, 300);
    odd.DaylightDate.wDayOfWeek = 99;
    odd.StandardDate = Time(0, 11, 9);
    EXPECT_TRUE(SystemTimeToTzSpecificLocalTime(&odd, &good, &local));
}

std::u16string Date(LCID locale, DWORD flags, const SYSTEMTIME& date, const char16_t* format) {
    WCHAR buffer[260] = {};
    const int written = GetDateFormatW(locale, flags, &date, format, buffer, 260);
    return written > 0 ? std::u16string(buffer, written - 1) : u"<failed>";
}

std::u16string TimeText(LCID locale, DWORD flags, const SYSTEMTIME& time, const char16_t* format) {
    WCHAR buffer[260] = {};
    const int written = GetTimeFormatW(locale, flags, &time, format, buffer, 260);
    return written > 0 ? std::u16string(buffer, written - 1) : u"<failed>";
}

TEST(DateTimeFormat, Pictures) {
    SYSTEMTIME when = Time(2026, 3, 5, 14, 7, 9);
    when.wDayOfWeek = 6; // wrong: the day of the week is computed
    const SYSTEMTIME midnight = Time(2009, 11, 30, 0, 0, 3);
    struct Case {
        bool date;
        LCID locale;
        DWORD flags;
        SYSTEMTIME time;
        const char16_t* format;
        std::u16string expected;
    };
    const Case cases[] = {
        {true, 0, 0, when, nullptr, u"3/5/2026"},
        {true, LOCALE_USER_DEFAULT, DATE_SHORTDATE, when, nullptr, u"3/5/2026"},
        {true, 0, DATE_LONGDATE, when, nullptr, u"Thursday, March 5, 2026"},
        {true, 0, DATE_YEARMONTH, when, nullptr, u"March 2026"},
        {true, 0, 0, when, u"ddd", u"Thu"},
        {true, 0, 0, midnight, u"dd MMM yy, dddd", u"30 Nov 09, Monday"},
        {true, 0, 0, midnight, u"d/M/y", u"30/11/9"},
        {true, 0, 0, when, u"'Day' d 'of' MMMM', ''twas' g", u"Day 5 of March, 'twas A.D."},
        {true, 0, 0, when, u"h:mm ''x''", u"h:mm 'x'"},
        {true, LOCALE_INVARIANT, 0, when, nullptr, u"03/05/2026"},
        {false, 0, 0, when, nullptr, u"2:07:09 PM"},
        {false, 0, TIME_NOSECONDS, when, nullptr, u"2:07 PM"},
        {false, 0, TIME_NOMINUTESORSECONDS, when, nullptr, u"2 PM"},
        {false, 0, TIME_NOTIMEMARKER, when, nullptr, u"2:07:09"},
        {false, 0, TIME_FORCE24HOURFORMAT | TIME_NOTIMEMARKER, when, nullptr, u"14:07:09"},
        {false, 0, 0, midnight, nullptr, u"12:00:03 AM"},
        {false, 0, 0, midnight, u"HH'h'mm t", u"00h00 A"},
        {false, 0, TIME_NOSECONDS, when, u"tt hh:mm:ss", u"PM 02:07"},
        {false, LOCALE_INVARIANT, 0, when, nullptr, u"14:07:09"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(std::string(test.expected.begin(), test.expected.end()));
        EXPECT_EQ(test.expected, test.date
                                     ? Date(test.locale, test.flags, test.time, test.format)
                                     : TimeText(test.locale, test.flags, test.time, test.format));
    }
}

TEST(DateTimeFormat, BuffersFlagsAndBadInput) {
    const SYSTEMTIME when = Time(2026, 3, 5, 14, 7, 9);
    EXPECT_EQ(9, GetDateFormatW(0, 0, &when, nullptr, nullptr, 0)); // "3/5/2026" and a zero
    WCHAR small[8] = {u'x'};
    EXPECT_EQ(0, GetDateFormatW(0, 0, &when, nullptr, small, 8));
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, GetLastError());
    WCHAR exact[9] = {};
    EXPECT_EQ(9, GetDateFormatW(0, 0, &when, nullptr, exact, 9));
    EXPECT_EQ(u"3/5/2026", std::u16string(exact));
    EXPECT_EQ(11, GetTimeFormatW(0, 0, &when, nullptr, nullptr, 0));

    struct Case {
        const char* name;
        int result;
        DWORD error;
    };
    const SYSTEMTIME badDate = Time(2025, 2, 29);
    const SYSTEMTIME badTime = Time(2026, 1, 1, 25);
    WCHAR buffer[64];
    const Case cases[] = {
        {"unknown locale", GetDateFormatW(0x0407, 0, &when, nullptr, buffer, 64),
         ERROR_INVALID_PARAMETER},
        {"negative size", GetDateFormatW(0, 0, &when, nullptr, buffer, -1),
         ERROR_INVALID_PARAMETER},
        {"no buffer", GetTimeFormatW(0, 0, &when, nullptr, nullptr, 64), ERROR_INVALID_PARAMETER},
        {"no such day", GetDateFormatW(0, 0, &badDate, nullptr, buffer, 64),
         ERROR_INVALID_PARAMETER},
        {"no such hour", GetTimeFormatW(0, 0, &badTime, nullptr, buffer, 64),
         ERROR_INVALID_PARAMETER},
        {"picture and kind", GetDateFormatW(0, DATE_LONGDATE, &when, u"d", buffer, 64),
         ERROR_INVALID_FLAGS},
        {"two kinds", GetDateFormatW(0, DATE_LONGDATE | DATE_SHORTDATE, &when, nullptr, buffer, 64),
         ERROR_INVALID_FLAGS},
        {"unknown flag", GetTimeFormatW(0, 0x100, &when, nullptr, buffer, 64), ERROR_INVALID_FLAGS},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        EXPECT_EQ(0, test.result);
    }
    // Each call again, for its own error code.
    EXPECT_EQ(0, GetDateFormatW(0x0407, 0, &when, nullptr, buffer, 64));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
    EXPECT_EQ(0, GetDateFormatW(0, DATE_LONGDATE | DATE_SHORTDATE, &when, nullptr, buffer, 64));
    EXPECT_EQ(ERROR_INVALID_FLAGS, GetLastError());
    EXPECT_EQ(0, GetTimeFormatW(0, 0, &badTime, nullptr, buffer, 64));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
}

TEST(DateTimeFormat, NowInTheCurrentZone) {
    FixedZone zone("Asia/Kolkata");
    SYSTEMTIME utc{};
    GetSystemTime(&utc);
    SYSTEMTIME local{};
    ASSERT_TRUE(SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local));
    WCHAR mine[64] = {};
    WCHAR now[64] = {};
    ASSERT_GT(GetDateFormatW(0, 0, &local, u"yyyy-MM-dd HH", mine, 64), 0);
    ASSERT_GT(GetDateFormatW(0, 0, nullptr, u"yyyy-MM-dd", now, 64), 0);
    // The current local date unless the hour turned between the calls.
    EXPECT_EQ(std::u16string(mine).substr(0, 10), std::u16string(now));
}

} // namespace
