// Time zones: the system's zone (the TZ environment variable, else the machine's zone, from
// the time zone database) as a Windows TIME_ZONE_INFORMATION, and UTC to local time by one.
#pragma once

#include "windows.h"

#define TIME_ZONE_ID_UNKNOWN 0u
#define TIME_ZONE_ID_STANDARD 1u
#define TIME_ZONE_ID_DAYLIGHT 2u
#define TIME_ZONE_ID_INVALID 0xFFFFFFFFu

// Biases are minutes: UTC = local time + Bias (+ StandardBias or DaylightBias). StandardDate
// and DaylightDate with wYear 0 are yearly rules: month, day of week, and in wDay the week of
// the month (5: the last), at a local wall-clock time; wMonth 0 means the zone has no daylight
// saving time.
struct TIME_ZONE_INFORMATION {
    LONG Bias;
    WCHAR StandardName[32];
    SYSTEMTIME StandardDate;
    LONG StandardBias;
    WCHAR DaylightName[32];
    SYSTEMTIME DaylightDate;
    LONG DaylightBias;
};
static_assert(sizeof(TIME_ZONE_INFORMATION) == 172);
static_assert(offsetof(TIME_ZONE_INFORMATION, DaylightName) == 88);
using LPTIME_ZONE_INFORMATION = TIME_ZONE_INFORMATION*;

extern "C" {
// The current zone with this year's rules; the names are the zone's abbreviations ("CET",
// "CEST"). Returns whether daylight time is in force now, or TIME_ZONE_ID_UNKNOWN for a zone
// without daylight saving time.
PLATFORM_EXPORT DWORD WINAPI GetTimeZoneInformation(LPTIME_ZONE_INFORMATION zone);
// zone null: the current zone, with the rules of the year being converted.
PLATFORM_EXPORT BOOL WINAPI SystemTimeToTzSpecificLocalTime(const TIME_ZONE_INFORMATION* zone,
                                                            const SYSTEMTIME* universalTime,
                                                            LPSYSTEMTIME localTime);
}
