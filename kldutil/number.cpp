#include <kldutil/number.h>

#include <charconv>
#include <climits>
#include <cmath>
#include <limits>
#include <string>

namespace {

bool IsSpace(WCHAR c) noexcept {
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\v' || c == u'\f' || c == u'\r';
}
bool IsDigit(WCHAR c) noexcept {
    return c >= u'0' && c <= u'9';
}
int HexDigit(WCHAR c) noexcept {
    if (IsDigit(c)) {
        return c - u'0';
    }
    if (c >= u'a' && c <= u'f') {
        return c - u'a' + 10;
    }
    if (c >= u'A' && c <= u'F') {
        return c - u'A' + 10;
    }
    return -1;
}

struct Parsed {
    double value = 0.0;
    bool valid = false;
};

Parsed ParseHexadecimal(std::u16string_view text, size_t at, bool negative) {
    if (at + 1 < text.size() && text[at] == u'0' &&
        (text[at + 1] == u'x' || text[at + 1] == u'X') && at + 2 < text.size() &&
        HexDigit(text[at + 2]) >= 0) {
        at += 2;
    }
    Parsed parsed;
    for (; at < text.size() && HexDigit(text[at]) >= 0; ++at) {
        parsed.value = parsed.value * 16.0 + HexDigit(text[at]);
        parsed.valid = true;
    }
    if (negative) {
        parsed.value = -parsed.value;
    }
    return parsed;
}

Parsed ParseDecimal(std::u16string_view text, size_t at, bool negative) {
    // The number is copied as ASCII for from_chars, which never looks at the locale.
    std::string ascii;
    if (negative) {
        ascii += '-';
    }
    size_t digits = 0;
    long long magnitude = 0; // decimal exponent of the first significant digit, plus one
    bool significant = false;
    bool fraction = false;
    for (; at < text.size(); ++at) {
        const WCHAR c = text[at];
        if (IsDigit(c)) {
            ++digits;
            if (c != u'0') {
                significant = true;
            }
            if (!fraction && significant) {
                ++magnitude;
            } else if (fraction && !significant) {
                --magnitude;
            }
        } else if (c == u'.' && !fraction) {
            fraction = true;
        } else {
            break;
        }
        ascii += static_cast<char>(c);
    }
    Parsed parsed;
    if (digits == 0) {
        return parsed; // "", "-", ".", "abc": no number
    }
    parsed.valid = true;
    // An exponent counts only when digits follow it ("2e" is 2).
    if (at < text.size() && (text[at] == u'e' || text[at] == u'E')) {
        size_t next = at + 1;
        bool negativeExponent = false;
        if (next < text.size() && (text[next] == u'+' || text[next] == u'-')) {
            negativeExponent = text[next] == u'-';
            ++next;
        }
        if (next < text.size() && IsDigit(text[next])) {
            ascii += 'e';
            if (negativeExponent) {
                ascii += '-';
            }
            long long exponent = 0;
            for (; next < text.size() && IsDigit(text[next]); ++next) {
                ascii += static_cast<char>(text[next]);
                exponent = std::min(exponent * 10 + (text[next] - u'0'), 1LL << 40);
            }
            magnitude += negativeExponent ? -exponent : exponent;
        }
    }
    const auto result = std::from_chars(ascii.data(), ascii.data() + ascii.size(), parsed.value,
                                        std::chars_format::general);
    if (result.ec == std::errc::result_out_of_range) {
        const double limit = magnitude > 0 ? std::numeric_limits<double>::infinity() : 0.0;
        parsed.value = negative ? -limit : limit;
    } else if (result.ec != std::errc()) {
        parsed.value = 0.0;
    }
    return parsed;
}

} // namespace

Number::Number(const CXString& text, bool hexadecimal) : Number(text.View(), hexadecimal) {}

Number::Number(std::u16string_view text, bool hexadecimal) {
    size_t at = 0;
    while (at < text.size() && IsSpace(text[at])) {
        ++at;
    }
    bool negative = false;
    if (at < text.size() && (text[at] == u'+' || text[at] == u'-')) {
        negative = text[at] == u'-';
        ++at;
    }
    const Parsed parsed =
        hexadecimal ? ParseHexadecimal(text, at, negative) : ParseDecimal(text, at, negative);
    m_value = parsed.value;
    m_valid = parsed.valid;
}

int Number::GetIntValue(double rounding) const noexcept {
    if (std::isnan(m_value)) {
        return 0;
    }
    const double magnitude = std::floor(std::fabs(m_value) + rounding);
    const double rounded = m_value < 0 ? -magnitude : magnitude;
    if (rounded >= static_cast<double>(INT_MAX)) {
        return INT_MAX;
    }
    if (rounded <= static_cast<double>(INT_MIN)) {
        return INT_MIN;
    }
    return static_cast<int>(rounded);
}

float Number::GetFloatValue() const noexcept {
    constexpr double largest = std::numeric_limits<float>::max();
    if (m_value > largest || m_value < -largest) {
        return m_value > 0 ? std::numeric_limits<float>::infinity()
                           : -std::numeric_limits<float>::infinity();
    }
    return static_cast<float>(m_value);
}

int Number::ParseInt(const WCHAR* text) noexcept {
    if (!text) {
        return 0;
    }
    while (IsSpace(*text)) {
        ++text;
    }
    bool negative = false;
    if (*text == u'+' || *text == u'-') {
        negative = *text == u'-';
        ++text;
    }
    long long value = 0;
    for (; IsDigit(*text); ++text) {
        value = value * 10 + (*text - u'0');
        if (value > static_cast<long long>(INT_MAX) + 1) {
            value = static_cast<long long>(INT_MAX) + 1; // saturated; only the sign is left
        }
    }
    if (negative) {
        value = -value;
    }
    if (value > INT_MAX) {
        return INT_MAX;
    }
    if (value < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(value);
}

CXString Number::ConvertColorRefToHexString(COLORREF color) {
    static constexpr WCHAR kDigits[] = u"0123456789ABCDEF";
    WCHAR text[8] = {u'#'};
    const BYTE components[3] = {static_cast<BYTE>(color), static_cast<BYTE>(color >> 8),
                                static_cast<BYTE>(color >> 16)};
    for (int i = 0; i < 3; ++i) {
        text[1 + 2 * i] = kDigits[components[i] >> 4];
        text[2 + 2 * i] = kDigits[components[i] & 0xF];
    }
    return CXString(text, 7);
}
