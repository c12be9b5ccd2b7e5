// Dates and times as text by Windows' format pictures.
#include "datetimeapi.h"

#include "calendar.h"

#include <string>
#include <string_view>
#include <vector>

namespace platform::time {
namespace {

struct Locale {
    std::u16string_view shortDate;
    std::u16string_view longDate;
    std::u16string_view yearMonth;
    std::u16string_view time;
};

constexpr Locale kUnitedStates = {u"M/d/yyyy", u"dddd, MMMM d, yyyy", u"MMMM yyyy", u"h:mm:ss tt"};
constexpr Locale kInvariant = {u"MM/dd/yyyy", u"dddd, dd MMMM yyyy", u"yyyy MMMM", u"HH:mm:ss"};

constexpr std::u16string_view kDays[] = {u"Sunday",   u"Monday", u"Tuesday", u"Wednesday",
                                         u"Thursday", u"Friday", u"Saturday"};
constexpr std::u16string_view kMonths[] = {u"January",   u"February", u"March",    u"April",
                                           u"May",       u"June",     u"July",     u"August",
                                           u"September", u"October",  u"November", u"December"};

const Locale* FindLocale(LCID locale) {
    switch (locale) {
    case LOCALE_NEUTRAL:
    case LOCALE_USER_DEFAULT:
    case LOCALE_SYSTEM_DEFAULT:
    case 0x0409: // English (United States)
        return &kUnitedStates;
    case LOCALE_INVARIANT:
        return &kInvariant;
    default:
        return nullptr;
    }
}

// One piece of a picture: copied text, or a run of one picture letter.
struct Piece {
    char16_t letter = 0; // 0: text
    size_t count = 0;
    std::u16string text;
};

std::vector<Piece> Split(std::u16string_view picture, std::u16string_view letters) {
    std::vector<Piece> pieces;
    auto addText = [&pieces](char16_t unit) {
        if (pieces.empty() || pieces.back().letter != 0) {
            pieces.push_back({});
        }
        pieces.back().text += unit;
    };
    for (size_t i = 0; i < picture.size();) {
        const char16_t unit = picture[i];
        if (unit == u'\'' && i + 1 < picture.size() && picture[i + 1] == u'\'') {
            addText(u'\''); // '' is a quote
            i += 2;
            continue;
        }
        if (unit == u'\'') {
            ++i;
            while (i < picture.size()) {
                if (picture[i] == u'\'') {
                    if (i + 1 < picture.size() && picture[i + 1] == u'\'') {
                        addText(u'\'');
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                addText(picture[i++]);
            }
            continue;
        }
        if (letters.find(unit) == std::u16string_view::npos) {
            addText(unit);
            ++i;
            continue;
        }
        size_t count = 0;
        while (i < picture.size() && picture[i] == unit) {
            ++count;
            ++i;
        }
        pieces.push_back({unit, count, {}});
    }
    return pieces;
}

std::u16string Number(unsigned value, size_t digits) {
    std::u16string text;
    do {
        text.insert(text.begin(), static_cast<char16_t>(u'0' + value % 10));
        value /= 10;
    } while (value != 0);
    while (text.size() < digits) {
        text.insert(text.begin(), u'0');
    }
    return text;
}

std::u16string RenderDate(std::u16string_view picture, const SYSTEMTIME& date) {
    const int dayOfWeek = DayOfWeek(DaysFromCivil(date.wYear, date.wMonth, date.wDay));
    std::u16string out;
    for (const Piece& piece : Split(picture, u"dMyg")) {
        switch (piece.letter) {
        case 0:
            out += piece.text;
            break;
        case u'd':
            out += piece.count <= 2   ? Number(date.wDay, piece.count)
                   : piece.count == 3 ? std::u16string(kDays[dayOfWeek].substr(0, 3))
                                      : std::u16string(kDays[dayOfWeek]);
            break;
        case u'M':
            out += piece.count <= 2   ? Number(date.wMonth, piece.count)
                   : piece.count == 3 ? std::u16string(kMonths[date.wMonth - 1].substr(0, 3))
                                      : std::u16string(kMonths[date.wMonth - 1]);
            break;
        case u'y':
            out += piece.count == 1   ? Number(date.wYear % 100, 1)
                   : piece.count == 2 ? Number(date.wYear % 100, 2)
                                      : Number(date.wYear, 4);
            break;
        case u'g':
            out += u"A.D.";
            break;
        }
    }
    return out;
}

std::u16string RenderTime(std::u16string_view picture, const SYSTEMTIME& time, DWORD flags) {
    std::vector<Piece> pieces = Split(picture, u"hHmst");
    auto dropped = [flags](char16_t letter) {
        return (letter == u's' && (flags & (TIME_NOSECONDS | TIME_NOMINUTESORSECONDS))) ||
               (letter == u'm' && (flags & TIME_NOMINUTESORSECONDS)) ||
               (letter == u't' && (flags & TIME_NOTIMEMARKER));
    };
    // A dropped element takes the separator before it along ("h:mm:ss tt" without seconds
    // is "h:mm tt"); a leading element takes the separator after it.
    std::vector<bool> keep(pieces.size(), true);
    for (size_t i = 0; i < pieces.size(); ++i) {
        if (pieces[i].letter == 0 || !dropped(pieces[i].letter)) {
            continue;
        }
        keep[i] = false;
        if (i > 0 && pieces[i - 1].letter == 0) {
            keep[i - 1] = false;
        } else if (i + 1 < pieces.size() && pieces[i + 1].letter == 0) {
            keep[i + 1] = false;
        }
    }
    const bool force24 = (flags & TIME_FORCE24HOURFORMAT) != 0;
    const unsigned hour12 = time.wHour % 12 == 0 ? 12 : time.wHour % 12;
    const std::u16string_view marker = time.wHour < 12 ? u"AM" : u"PM";
    std::u16string out;
    for (size_t i = 0; i < pieces.size(); ++i) {
        const Piece& piece = pieces[i];
        if (!keep[i]) {
            continue;
        }
        const size_t width = piece.count >= 2 ? 2 : 1;
        switch (piece.letter) {
        case 0:
            out += piece.text;
            break;
        case u'h':
            out += Number(force24 ? time.wHour : hour12, width);
            break;
        case u'H':
            out += Number(time.wHour, width);
            break;
        case u'm':
            out += Number(time.wMinute, width);
            break;
        case u's':
            out += Number(time.wSecond, width);
            break;
        case u't':
            out += piece.count == 1 ? marker.substr(0, 1) : marker;
            break;
        }
    }
    return out;
}

int Deliver(const std::u16string& text, LPWSTR buffer, int size) {
    const size_t needed = text.size() + 1;
    if (needed > static_cast<size_t>(INT32_MAX)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (size == 0) {
        return static_cast<int>(needed);
    }
    if (static_cast<size_t>(size) < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    text.copy(buffer, text.size());
    buffer[text.size()] = 0;
    return static_cast<int>(needed);
}

int Fail(DWORD error) {
    SetLastError(error);
    return 0;
}

} // namespace
} // namespace platform::time

using namespace platform::time;

extern "C" {

int WINAPI GetDateFormatW(LCID locale, DWORD flags, const SYSTEMTIME* date, LPCWSTR format,
                          LPWSTR buffer, int size) {
    const Locale* known = FindLocale(locale);
    if (!known || size < 0 || (size > 0 && !buffer)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    const DWORD kinds = flags & (DATE_SHORTDATE | DATE_LONGDATE | DATE_YEARMONTH);
    const DWORD known_flags =
        DATE_SHORTDATE | DATE_LONGDATE | DATE_YEARMONTH | LOCALE_NOUSEROVERRIDE | LOCALE_USE_CP_ACP;
    if ((flags & ~known_flags) != 0 || (kinds & (kinds - 1)) != 0 || (format && kinds != 0) ||
        (format && (flags & LOCALE_NOUSEROVERRIDE))) {
        return Fail(ERROR_INVALID_FLAGS);
    }
    SYSTEMTIME when{};
    if (date) {
        when = *date;
        when.wHour = when.wMinute = when.wSecond = when.wMilliseconds = 0; // not part of a date
    } else {
        GetLocalTime(&when);
    }
    if (!IsValid(when)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    const std::u16string_view picture = format                    ? std::u16string_view(format)
                                        : kinds == DATE_LONGDATE  ? known->longDate
                                        : kinds == DATE_YEARMONTH ? known->yearMonth
                                                                  : known->shortDate;
    return Deliver(RenderDate(picture, when), buffer, size);
}

int WINAPI GetTimeFormatW(LCID locale, DWORD flags, const SYSTEMTIME* time, LPCWSTR format,
                          LPWSTR buffer, int size) {
    const Locale* known = FindLocale(locale);
    if (!known || size < 0 || (size > 0 && !buffer)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    const DWORD known_flags = TIME_NOMINUTESORSECONDS | TIME_NOSECONDS | TIME_NOTIMEMARKER |
                              TIME_FORCE24HOURFORMAT | LOCALE_NOUSEROVERRIDE | LOCALE_USE_CP_ACP;
    if ((flags & ~known_flags) != 0 || (format && (flags & LOCALE_NOUSEROVERRIDE))) {
        return Fail(ERROR_INVALID_FLAGS);
    }
    SYSTEMTIME when{};
    if (time) {
        when = *time;
        if (when.wHour >= 24 || when.wMinute >= 60 || when.wSecond >= 60 ||
            when.wMilliseconds >= 1000) {
            return Fail(ERROR_INVALID_PARAMETER);
        }
    } else {
        GetLocalTime(&when);
    }
    return Deliver(RenderTime(format ? std::u16string_view(format) : known->time, when, flags),
                   buffer, size);
}

} // extern "C"
