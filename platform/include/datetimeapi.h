// Dates and times as text, by a locale's pictures or by the caller's.
//
// The user and system default locales are English (United States); LOCALE_INVARIANT is also
// known. Pictures are Windows' own: d dd ddd dddd, M MM MMM MMMM, y yy yyyy, g gg for dates;
// h hh H HH m mm s ss t tt for times; 'quoted' text is copied, '' is a quote.
#pragma once

#include "windows.h"

using LCID = DWORD;
#define LOCALE_NEUTRAL 0x0000u
// Spelt as oleauto.h spells them: a macro may be defined twice only alike.
#define LOCALE_INVARIANT 0x007f
#define LOCALE_USER_DEFAULT 0x0400
#define LOCALE_SYSTEM_DEFAULT 0x0800
#define LOCALE_NOUSEROVERRIDE 0x80000000u
#define LOCALE_USE_CP_ACP 0x40000000u

#define DATE_SHORTDATE 0x00000001u
#define DATE_LONGDATE 0x00000002u
#define DATE_YEARMONTH 0x00000008u

#define TIME_NOMINUTESORSECONDS 0x00000001u
#define TIME_NOSECONDS 0x00000002u
#define TIME_NOTIMEMARKER 0x00000004u
#define TIME_FORCE24HOURFORMAT 0x00000008u

extern "C" {
// The text, zero included, goes to buffer (size characters); the result is the characters
// written, zero included. size 0 asks for the characters needed. 0 on failure, with
// ERROR_INSUFFICIENT_BUFFER, ERROR_INVALID_FLAGS or ERROR_INVALID_PARAMETER (an unknown
// locale, an invalid date or time). A null date or time is the current local time; the day of
// the week is computed, not taken from the record.
PLATFORM_EXPORT int WINAPI GetDateFormatW(LCID locale, DWORD flags, const SYSTEMTIME* date,
                                          LPCWSTR format, LPWSTR buffer, int size);
PLATFORM_EXPORT int WINAPI GetTimeFormatW(LCID locale, DWORD flags, const SYSTEMTIME* time,
                                          LPCWSTR format, LPWSTR buffer, int size);
}
