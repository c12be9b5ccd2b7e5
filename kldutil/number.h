// Number: a numeric value read from text, as print tickets and the driver's settings write it.
//
// Reading never depends on the process locale: the decimal separator is always '.', because
// tickets are written by other machines and the same text must give the same value everywhere.
// Like the C run-time's readers it takes the longest leading number and ignores what follows
// ("12abc" is 12); a text without a number is 0, and IsValid() tells the two apart.
#pragma once

#include <kldutil/cxstring.h>
#include <kldutil/kldutilexport.h>

#include <windows.h>

#include <string_view>

class KLDUTIL_API Number {
public:
    Number() noexcept = default;
    // Implicit: the data model hands doubles on as Numbers.
    Number(double value) noexcept : m_value(value), m_valid(true) {}
    // Decimal text (hexadecimal false): leading white space, an optional sign, digits with an
    // optional '.' and fraction, an optional exponent (e or E, optional sign, digits).
    // Hexadecimal text (hexadecimal true): leading white space, an optional sign, an optional
    // 0x or 0X, hexadecimal digits. A value beyond the range of double is infinite.
    Number(const CXString& text, bool hexadecimal);
    Number(std::u16string_view text, bool hexadecimal);

    double GetDoubleValue() const noexcept { return m_value; }
    // True when the text began with a number (after white space).
    bool IsValid() const noexcept { return m_valid; }

    // The value rounded to an int: rounding is added to the magnitude before the fraction is
    // cut off, so 0.5 rounds halves away from zero and 0.499999 rounds them toward zero
    // (2.5 gives 2, 2.6 gives 3, -2.6 gives -3). Values beyond the int range give INT_MAX or
    // INT_MIN; NaN gives 0.
    int GetIntValue(double rounding) const noexcept;

    // The value as a float; values beyond the float range give a signed infinity (never the
    // undefined narrowing of an out-of-range double).
    float GetFloatValue() const noexcept;

    // The C run-time's _wtoi: leading white space, an optional sign, decimal digits up to the
    // first other character; no digits give 0; beyond the int range INT_MAX or INT_MIN.
    // A null text gives 0.
    static int ParseInt(const WCHAR* text) noexcept;

    // A GDI colour (0x00BBGGRR) as the "#RRGGBB" text of markup, with upper-case digits; the
    // high byte is not part of the colour and is ignored.
    static CXString ConvertColorRefToHexString(COLORREF color);

private:
    double m_value = 0.0;
    bool m_valid = false;
};
