#include <kldutil/printfformat.h>

#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <string_view>
#include <system_error>
#include <vector>

namespace kldutil {
namespace {

enum class Length { None, hh, h, l, ll, j, z, t, L, w };

// One conversion of a format: its flags, width, precision and argument size.
struct Field {
    bool left = false;
    bool plus = false;
    bool blank = false;
    bool alternate = false;
    bool zero = false;
    int width = 0;
    int precision = -1; // -1: none given
    Length length = Length::None;
};

bool IsHighSurrogate(char16_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}

// Pads body to the width of the field. prefixLength code units at the start of body (sign,
// 0x) stay in front of zero padding.
void AppendPadded(std::u16string& out, const Field& field, std::u16string_view body,
                  size_t prefixLength = 0, bool zeroPad = false) {
    const size_t width = static_cast<size_t>(field.width);
    const size_t pad = body.size() < width ? width - body.size() : 0;
    if (field.left) {
        out.append(body);
        out.append(pad, u' ');
    } else if (zeroPad) {
        out.append(body.substr(0, prefixLength));
        out.append(pad, u'0');
        out.append(body.substr(prefixLength));
    } else {
        out.append(pad, u' ');
        out.append(body);
    }
}

void AppendAscii(std::u16string& out, std::string_view text) {
    for (char c : text) {
        out += static_cast<char16_t>(static_cast<unsigned char>(c));
    }
}

void FormatInteger(std::u16string& out, const Field& field, uint64_t magnitude, bool negative,
                   bool isSigned, unsigned base, bool upper) {
    char digits[72];
    std::to_chars_result r = std::to_chars(digits, digits + sizeof digits, magnitude, base);
    std::string_view number(digits, static_cast<size_t>(r.ptr - digits));
    if (field.precision == 0 && magnitude == 0) {
        number = {}; // printf: an explicit zero precision prints no digits for zero
    }

    std::u16string body;
    if (isSigned) {
        if (negative) {
            body += u'-';
        } else if (field.plus) {
            body += u'+';
        } else if (field.blank) {
            body += u' ';
        }
    }
    if (field.alternate && magnitude != 0 && base == 16) {
        body += upper ? u"0X" : u"0x";
    }
    const size_t prefixLength = body.size();
    size_t minimumDigits = field.precision > 0 ? static_cast<size_t>(field.precision) : 0;
    if (field.alternate && base == 8 && (number.empty() || number[0] != '0')) {
        minimumDigits = std::max(minimumDigits, number.size() + 1);
    }
    if (number.size() < minimumDigits) {
        body.append(minimumDigits - number.size(), u'0');
    }
    for (char c : number) {
        body += static_cast<char16_t>(upper && c >= 'a' ? c - 'a' + 'A' : c);
    }
    AppendPadded(out, field, body, prefixLength, field.zero && !field.left && field.precision < 0);
}

bool FormatReal(std::u16string& out, const Field& field, double value, char16_t conversion) {
    const bool upper = conversion == u'F' || conversion == u'E' || conversion == u'G';
    const char16_t kind = static_cast<char16_t>(upper ? conversion - u'A' + u'a' : conversion);
    if (kind == u'g' && field.alternate) {
        return false;
    }
    std::u16string body;
    if (std::signbit(value) && !std::isnan(value)) {
        body += u'-';
    } else if (field.plus) {
        body += u'+';
    } else if (field.blank) {
        body += u' ';
    }
    const size_t prefixLength = body.size();
    const double magnitude = std::fabs(value);

    if (!std::isfinite(value)) {
        AppendAscii(body, std::isnan(value) ? (upper ? "NAN" : "nan") : (upper ? "INF" : "inf"));
        AppendPadded(out, field, body);
        return true;
    }

    const int precision = field.precision < 0 ? 6 : field.precision;
    const std::chars_format format = kind == u'f'   ? std::chars_format::fixed
                                     : kind == u'e' ? std::chars_format::scientific
                                                    : std::chars_format::general;
    // Fixed notation of the largest double has 309 digits before the point.
    std::vector<char> digits(static_cast<size_t>(precision) + 330);
    std::to_chars_result r =
        std::to_chars(digits.data(), digits.data() + digits.size(), magnitude, format, precision);
    if (r.ec != std::errc()) {
        return false;
    }
    std::string_view number(digits.data(), static_cast<size_t>(r.ptr - digits.data()));
    const size_t exponent = number.find('e');
    for (size_t k = 0; k < number.size(); ++k) {
        if (k == (exponent == std::string_view::npos ? number.size() : exponent) &&
            field.alternate && number.find('.') == std::string_view::npos) {
            body += u'.';
        }
        const char c = number[k];
        body += static_cast<char16_t>(upper && c == 'e' ? 'E' : c);
    }
    if (field.alternate && exponent == std::string_view::npos &&
        number.find('.') == std::string_view::npos) {
        body += u'.';
    }
    AppendPadded(out, field, body, prefixLength, field.zero && !field.left);
    return true;
}

// Appends text cut to the field's precision (never between the halves of a surrogate pair)
// and padded to its width.
void FormatText(std::u16string& out, const Field& field, std::u16string_view text) {
    if (field.precision >= 0 && text.size() > static_cast<size_t>(field.precision)) {
        size_t keep = static_cast<size_t>(field.precision);
        if (keep > 0 && IsHighSurrogate(text[keep - 1])) {
            --keep;
        }
        text = text.substr(0, keep);
    }
    AppendPadded(out, field, text);
}

size_t WideLength(const WCHAR* text) {
    size_t n = 0;
    while (text[n]) {
        ++n;
    }
    return n;
}

// Reads a decimal number; false when it does not fit in an int.
bool ReadNumber(std::u16string_view format, size_t& i, int& value) {
    int64_t n = 0;
    while (i < format.size() && format[i] >= u'0' && format[i] <= u'9') {
        n = n * 10 + (format[i] - u'0');
        if (n > INT_MAX) {
            return false;
        }
        ++i;
    }
    value = static_cast<int>(n);
    return true;
}

Length ReadLength(std::u16string_view format, size_t& i) {
    auto next = [&](std::u16string_view text) {
        if (format.substr(i, text.size()) == text) {
            i += text.size();
            return true;
        }
        return false;
    };
    if (next(u"hh")) {
        return Length::hh;
    }
    if (next(u"h")) {
        return Length::h;
    }
    if (next(u"ll") || next(u"I64")) {
        return Length::ll;
    }
    if (next(u"l") || next(u"I32")) {
        return Length::l;
    }
    if (next(u"w")) {
        return Length::w;
    }
    if (next(u"j")) {
        return Length::j;
    }
    if (next(u"z") || next(u"I")) {
        return Length::z;
    }
    if (next(u"t")) {
        return Length::t;
    }
    if (next(u"L")) {
        return Length::L;
    }
    return Length::None;
}

FormatResult Format(std::u16string& out, std::u16string_view format, bool narrowFormat,
                    va_list args, NullStrings nulls) {
    size_t i = 0;
    while (i < format.size()) {
        const size_t percent = format.find(u'%', i);
        if (percent == std::u16string_view::npos) {
            out.append(format.substr(i));
            break;
        }
        out.append(format.substr(i, percent - i));
        i = percent + 1;
        if (i < format.size() && format[i] == u'%') {
            out += u'%';
            ++i;
            continue;
        }

        Field field;
        for (bool flags = true; flags && i < format.size();) {
            switch (format[i]) {
            case u'-':
                field.left = true;
                ++i;
                break;
            case u'+':
                field.plus = true;
                ++i;
                break;
            case u' ':
                field.blank = true;
                ++i;
                break;
            case u'#':
                field.alternate = true;
                ++i;
                break;
            case u'0':
                field.zero = true;
                ++i;
                break;
            default:
                flags = false;
            }
        }
        if (i < format.size() && format[i] == u'*') {
            ++i;
            const int width = va_arg(args, int);
            if (width == INT_MIN) {
                return FormatResult::InvalidFormat;
            }
            field.left = field.left || width < 0;
            field.width = width < 0 ? -width : width;
        } else if (!ReadNumber(format, i, field.width)) {
            return FormatResult::InvalidFormat;
        }
        if (i < format.size() && format[i] == u'.') {
            ++i;
            if (i < format.size() && format[i] == u'*') {
                ++i;
                const int precision = va_arg(args, int);
                field.precision = precision < 0 ? -1 : precision;
            } else if (!ReadNumber(format, i, field.precision)) {
                return FormatResult::InvalidFormat;
            }
        }
        field.length = ReadLength(format, i);
        if (i >= format.size()) {
            return FormatResult::InvalidFormat;
        }
        const char16_t conversion = format[i++];

        switch (conversion) {
        case u'd':
        case u'i': {
            int64_t value;
            switch (field.length) {
            case Length::hh:
                value = static_cast<signed char>(va_arg(args, int));
                break;
            case Length::h:
                value = static_cast<short>(va_arg(args, int));
                break;
            case Length::ll:
                value = va_arg(args, long long);
                break;
            case Length::j:
                value = va_arg(args, intmax_t);
                break;
            case Length::z:
            case Length::t:
                value = va_arg(args, ptrdiff_t);
                break;
            default:
                value = va_arg(args, int);
                break;
            }
            const uint64_t magnitude = value < 0 ? uint64_t{0} - static_cast<uint64_t>(value)
                                                 : static_cast<uint64_t>(value);
            FormatInteger(out, field, magnitude, value < 0, true, 10, false);
            break;
        }
        case u'u':
        case u'x':
        case u'X':
        case u'o': {
            uint64_t value;
            switch (field.length) {
            case Length::hh:
                value = static_cast<unsigned char>(va_arg(args, unsigned));
                break;
            case Length::h:
                value = static_cast<unsigned short>(va_arg(args, unsigned));
                break;
            case Length::ll:
                value = va_arg(args, unsigned long long);
                break;
            case Length::j:
                value = va_arg(args, uintmax_t);
                break;
            case Length::z:
            case Length::t:
                value = va_arg(args, size_t);
                break;
            default:
                value = va_arg(args, unsigned);
                break;
            }
            const unsigned base = conversion == u'u' ? 10 : conversion == u'o' ? 8 : 16;
            FormatInteger(out, field, value, false, false, base, conversion == u'X');
            break;
        }
        case u'c':
        case u'C': {
            bool wide = (conversion == u'c') != narrowFormat;
            if (field.length == Length::h) {
                wide = false;
            } else if (field.length == Length::l || field.length == Length::w) {
                wide = true;
            }
            const int value = va_arg(args, int);
            char16_t unit;
            if (wide) {
                unit = static_cast<char16_t>(value);
            } else {
                const unsigned char byte = static_cast<unsigned char>(value);
                unit = byte < 0x80 ? byte : char16_t{0xFFFD};
            }
            AppendPadded(out, field, std::u16string_view(&unit, 1));
            break;
        }
        case u's':
        case u'S': {
            bool wide = (conversion == u's') != narrowFormat;
            if (field.length == Length::h) {
                wide = false;
            } else if (field.length == Length::l || field.length == Length::w) {
                wide = true;
            }
            const void* pointer = wide ? static_cast<const void*>(va_arg(args, const WCHAR*))
                                       : static_cast<const void*>(va_arg(args, const char*));
            if (!pointer) {
                if (nulls == NullStrings::Refuse) {
                    return FormatResult::NullString;
                }
                AppendPadded(out, field, {});
                break;
            }
            if (wide) {
                const WCHAR* text = static_cast<const WCHAR*>(pointer);
                FormatText(out, field, std::u16string_view(text, WideLength(text)));
            } else {
                const char* text = static_cast<const char*>(pointer);
                std::u16string converted;
                AppendUtf8AsUtf16(converted, text, std::char_traits<char>::length(text));
                FormatText(out, field, converted);
            }
            break;
        }
        case u'f':
        case u'F':
        case u'e':
        case u'E':
        case u'g':
        case u'G': {
            const double value = field.length == Length::L
                                     ? static_cast<double>(va_arg(args, long double))
                                     : va_arg(args, double);
            if (!FormatReal(out, field, value, conversion)) {
                return FormatResult::InvalidFormat;
            }
            break;
        }
        case u'p': {
            // As on Windows: every hexadecimal digit of the pointer, upper case, no prefix.
            const uintptr_t value = reinterpret_cast<uintptr_t>(va_arg(args, void*));
            Field digits = field;
            digits.precision = static_cast<int>(sizeof(void*) * 2);
            digits.alternate = false;
            FormatInteger(out, digits, value, false, false, 16, true);
            break;
        }
        default:
            return FormatResult::InvalidFormat;
        }
    }
    return FormatResult::Ok;
}

} // namespace

FormatResult AppendFormatV(std::u16string& out, const WCHAR* format, va_list args,
                           NullStrings nulls) {
    if (!format) {
        return FormatResult::InvalidFormat;
    }
    return Format(out, std::u16string_view(format, WideLength(format)), false, args, nulls);
}

FormatResult AppendFormatV(std::u16string& out, const char* format, va_list args,
                           NullStrings nulls) {
    if (!format) {
        return FormatResult::InvalidFormat;
    }
    // Conversion specifications are ASCII, so the format keeps its shape in UTF-16.
    std::u16string wideFormat;
    AppendUtf8AsUtf16(wideFormat, format, std::char_traits<char>::length(format));
    return Format(out, wideFormat, true, args, nulls);
}

void AppendUtf8AsUtf16(std::u16string& out, const char* text, size_t length) {
    if (length == 0) {
        return;
    }
    // ASCII is by far the common case and needs no decoder.
    size_t ascii = 0;
    while (ascii < length && static_cast<unsigned char>(text[ascii]) < 0x80) {
        ++ascii;
    }
    AppendAscii(out, std::string_view(text, ascii));
    size_t offset = ascii;
    while (offset < length) {
        // MultiByteToWideChar counts in int; long texts go through in slices that end on a
        // character boundary.
        size_t slice = std::min<size_t>(length - offset, INT_MAX / 2);
        if (offset + slice < length) {
            while (slice > 0 && (static_cast<unsigned char>(text[offset + slice]) & 0xC0) == 0x80) {
                --slice;
            }
        }
        const int count =
            MultiByteToWideChar(CP_UTF8, 0, text + offset, static_cast<int>(slice), nullptr, 0);
        const size_t start = out.size();
        out.resize(start + static_cast<size_t>(count));
        MultiByteToWideChar(CP_UTF8, 0, text + offset, static_cast<int>(slice), out.data() + start,
                            count);
        offset += slice;
    }
}

std::string Utf16ToUtf8(const WCHAR* text, size_t length) {
    std::string out;
    if (length == 0) {
        return out;
    }
    size_t offset = 0;
    while (offset < length) {
        size_t slice = std::min<size_t>(length - offset, INT_MAX / 4);
        if (offset + slice < length && IsHighSurrogate(text[offset + slice - 1])) {
            --slice;
        }
        const int count = WideCharToMultiByte(CP_UTF8, 0, text + offset, static_cast<int>(slice),
                                              nullptr, 0, nullptr, nullptr);
        const size_t start = out.size();
        out.resize(start + static_cast<size_t>(count));
        WideCharToMultiByte(CP_UTF8, 0, text + offset, static_cast<int>(slice), out.data() + start,
                            count, nullptr, nullptr);
        offset += slice;
    }
    return out;
}

} // namespace kldutil
