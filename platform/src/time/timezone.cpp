// Time zone rules read from the C library's time zone database.
#include "timezoneapi.h"

#include "calendar.h"
#include "textutf.h"

#include <algorithm>
#include <ctime>
#include <string>
#include <vector>

namespace platform::time {
namespace {

struct Instant {
    int64_t seconds; // since 1970, UTC
    long offset;     // seconds east of UTC in force from here on
    bool daylight;
    std::string abbreviation;
};

Instant At(int64_t seconds) {
    const time_t when = static_cast<time_t>(seconds);
    std::tm parts{};
    localtime_r(&when, &parts);
    return {seconds, parts.tm_gmtoff, parts.tm_isdst > 0, parts.tm_zone ? parts.tm_zone : ""};
}

bool Differ(const Instant& a, const Instant& b) {
    return a.offset != b.offset || a.daylight != b.daylight;
}

// The first second at which the zone differs from `before`, within (low, high].
Instant Transition(Instant before, int64_t high) {
    int64_t low = before.seconds;
    while (high - low > 1) {
        const int64_t middle = low + (high - low) / 2;
        if (Differ(At(middle), before)) {
            high = middle;
        } else {
            low = middle;
        }
    }
    return At(high);
}

void CopyName(const std::string& name, WCHAR (&out)[32]) {
    const std::u16string wide = Utf16(name);
    const size_t length = std::min<size_t>(wide.size(), 31);
    wide.copy(out, length);
    out[length] = 0;
}

// A transition's local wall-clock time (by the offset in force before it) as a yearly rule.
SYSTEMTIME Rule(int64_t seconds, long offsetBefore) {
    SYSTEMTIME local = FromSeconds(seconds + offsetBefore, 0);
    const int week = (local.wDay - 1) / 7 + 1;
    local.wDay = local.wDay + 7 > DaysInMonth(local.wYear, local.wMonth) ? 5 : week;
    local.wYear = 0;
    return local;
}

// The zone's rules for one year, from the changes between daylight and standard time in it.
TIME_ZONE_INFORMATION RulesForYear(int year) {
    tzset();
    TIME_ZONE_INFORMATION zone{};
    const int64_t start = DaysFromCivil(year, 1, 1) * 86400;
    const int64_t end = DaysFromCivil(year + 1, 1, 1) * 86400;
    std::vector<Instant> changes;
    Instant previous = At(start);
    Instant standard = previous;
    Instant daylight = previous;
    bool sawStandard = !previous.daylight;
    bool sawDaylight = previous.daylight;
    for (int64_t day = start + 86400; day <= end; day += 86400) {
        Instant current = At(day);
        if (Differ(current, previous)) {
            const Instant change = Transition(previous, day);
            changes.push_back(change);
            (change.daylight ? sawDaylight : sawStandard) = true;
            (change.daylight ? daylight : standard) = change;
            current = At(day);
        }
        if (!current.daylight && !sawStandard) {
            standard = current;
            sawStandard = true;
        }
        previous = current;
    }
    if (!sawStandard) {
        standard = At(start);
    }
    zone.Bias = static_cast<LONG>(-standard.offset / 60);
    CopyName(standard.abbreviation, zone.StandardName);
    if (!sawDaylight) {
        CopyName(standard.abbreviation, zone.DaylightName);
        return zone;
    }
    zone.DaylightBias = static_cast<LONG>(-(daylight.offset - standard.offset) / 60);
    CopyName(daylight.abbreviation, zone.DaylightName);
    long offset = At(start).offset;
    for (const Instant& change : changes) {
        if (change.daylight) {
            zone.DaylightDate = Rule(change.seconds, offset);
        } else {
            zone.StandardDate = Rule(change.seconds, offset);
        }
        offset = change.offset;
    }
    if (zone.DaylightDate.wMonth == 0 || zone.StandardDate.wMonth == 0) {
        // A zone that only entered or only left daylight time this year: no yearly rule.
        zone.DaylightDate = {};
        zone.StandardDate = {};
    }
    return zone;
}

// The instant, in seconds since 1970 UTC, at which a yearly rule fires in a year; the rule's
// wall-clock time is read with the given bias (minutes, UTC = local + bias).
int64_t RuleInstant(const SYSTEMTIME& rule, int64_t year, int64_t bias) {
    int day = rule.wDay;
    if (rule.wYear == 0) {
        const int first = DayOfWeek(DaysFromCivil(year, rule.wMonth, 1));
        day = 1 + (rule.wDayOfWeek % 7 - first + 7) % 7 + (std::min<int>(rule.wDay, 5) - 1) * 7;
        while (day > DaysInMonth(year, rule.wMonth)) {
            day -= 7;
        }
    }
    day = std::clamp(day, 1, DaysInMonth(year, rule.wMonth));
    return DaysFromCivil(year, rule.wMonth, day) * 86400 + rule.wHour * 3600 + rule.wMinute * 60 +
           rule.wSecond + bias * 60;
}

bool IsDaylight(const TIME_ZONE_INFORMATION& zone, int64_t utc, int64_t year) {
    if (zone.DaylightDate.wMonth == 0 || zone.StandardDate.wMonth == 0 ||
        zone.DaylightDate.wMonth > 12 || zone.StandardDate.wMonth > 12) {
        return false;
    }
    const int64_t begins =
        RuleInstant(zone.DaylightDate, year, int64_t{zone.Bias} + zone.StandardBias);
    const int64_t ends =
        RuleInstant(zone.StandardDate, year, int64_t{zone.Bias} + zone.DaylightBias);
    return begins < ends ? utc >= begins && utc < ends : utc >= begins || utc < ends;
}

} // namespace
} // namespace platform::time

using namespace platform::time;

extern "C" {

DWORD WINAPI GetTimeZoneInformation(LPTIME_ZONE_INFORMATION zone) {
    if (!zone) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return TIME_ZONE_ID_INVALID;
    }
    SYSTEMTIME now{};
    GetSystemTime(&now);
    *zone = RulesForYear(now.wYear);
    if (zone->DaylightDate.wMonth == 0) {
        return TIME_ZONE_ID_UNKNOWN;
    }
    return IsDaylight(*zone, ToSeconds(now), now.wYear) ? TIME_ZONE_ID_DAYLIGHT
                                                        : TIME_ZONE_ID_STANDARD;
}

BOOL WINAPI SystemTimeToTzSpecificLocalTime(const TIME_ZONE_INFORMATION* zone,
                                            const SYSTEMTIME* universalTime,
                                            LPSYSTEMTIME localTime) {
    if (!universalTime || !localTime || !IsValid(*universalTime)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const int64_t utc = ToSeconds(*universalTime);
    const TIME_ZONE_INFORMATION rules = zone ? *zone : RulesForYear(universalTime->wYear);
    // The rules are read in the local year, which differs from the UTC one near New Year.
    const int64_t standardLocal = utc - (int64_t{rules.Bias} + rules.StandardBias) * 60;
    const int64_t year = FromSeconds(standardLocal, 0).wYear;
    // Biases are added in 64 bits: a made-up zone may hold any two LONGs.
    const int64_t bias = int64_t{rules.Bias} +
                         (IsDaylight(rules, utc, year) ? rules.DaylightBias : rules.StandardBias);
    const int64_t localSeconds = utc - bias * 60;
    if (localSeconds < DaysFromCivil(1601, 1, 1) * 86400 ||
        localSeconds >= DaysFromCivil(30828, 1, 1) * 86400) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *localTime = FromSeconds(localSeconds, universalTime->wMilliseconds);
    return TRUE;
}

} // extern "C"
