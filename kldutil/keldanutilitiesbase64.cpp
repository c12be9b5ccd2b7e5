#include <kldutil/keldanutilities.h>

#include <climits>
#include <cstdint>

namespace {

constexpr char16_t kAlphabet[] =
    u"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int64_t kLineLength = 76;

// Characters of the encoding before line breaks are added.
int64_t EncodedCharacters(int64_t bytes, DWORD flags) {
    const int64_t fullGroups = bytes / 3;
    const int64_t rest = bytes % 3;
    if (rest == 0) {
        return fullGroups * 4;
    }
    return fullGroups * 4 + ((flags & KeldanUtilities::Base64FlagNoPad) != 0 ? rest + 1 : 4);
}

int64_t WithLineBreaks(int64_t characters, DWORD flags) {
    if ((flags & KeldanUtilities::Base64FlagNoCrLf) != 0 || characters == 0) {
        return characters;
    }
    return characters + 2 * ((characters - 1) / kLineLength);
}

// Value of a Base64 character, -1 for white space, -2 for padding, -3 for anything else.
int Classify(char16_t c) {
    if (c >= u'A' && c <= u'Z') {
        return c - u'A';
    }
    if (c >= u'a' && c <= u'z') {
        return c - u'a' + 26;
    }
    if (c >= u'0' && c <= u'9') {
        return c - u'0' + 52;
    }
    switch (c) {
    case u'+':
        return 62;
    case u'/':
        return 63;
    case u' ':
    case u'\t':
    case u'\r':
    case u'\n':
        return -1;
    case u'=':
        return -2;
    default:
        return -3;
    }
}

} // namespace

int KeldanUtilities::Base64EncodeGetRequiredLength(int sourceLength, DWORD flags) {
    if (sourceLength < 0) {
        return 0;
    }
    const int64_t required = WithLineBreaks(EncodedCharacters(sourceLength, flags), flags);
    return required > INT_MAX ? 0 : static_cast<int>(required);
}

BOOL KeldanUtilities::Base64Encode(const BYTE* source, int sourceLength, WCHAR* destination,
                                   int* destinationLength, DWORD flags) {
    if (destinationLength == nullptr) {
        return FALSE;
    }
    if (sourceLength < 0 || (source == nullptr && sourceLength > 0)) {
        *destinationLength = 0;
        return FALSE;
    }
    const int required = Base64EncodeGetRequiredLength(sourceLength, flags);
    if (required == 0 && sourceLength > 0) {
        *destinationLength = 0;
        return FALSE;
    }
    if (*destinationLength < required || (destination == nullptr && required > 0)) {
        *destinationLength = required;
        return FALSE;
    }

    const bool breakLines = (flags & KeldanUtilities::Base64FlagNoCrLf) == 0;
    const bool pad = (flags & KeldanUtilities::Base64FlagNoPad) == 0;
    int written = 0;
    int onLine = 0;
    auto put = [&](char16_t c) {
        if (breakLines && onLine == kLineLength) {
            destination[written++] = u'\r';
            destination[written++] = u'\n';
            onLine = 0;
        }
        destination[written++] = c;
        ++onLine;
    };
    int i = 0;
    for (; i + 3 <= sourceLength; i += 3) {
        const uint32_t group =
            (uint32_t{source[i]} << 16) | (uint32_t{source[i + 1]} << 8) | uint32_t{source[i + 2]};
        put(kAlphabet[(group >> 18) & 63]);
        put(kAlphabet[(group >> 12) & 63]);
        put(kAlphabet[(group >> 6) & 63]);
        put(kAlphabet[group & 63]);
    }
    const int rest = sourceLength - i;
    if (rest > 0) {
        uint32_t group = uint32_t{source[i]} << 16;
        if (rest == 2) {
            group |= uint32_t{source[i + 1]} << 8;
        }
        put(kAlphabet[(group >> 18) & 63]);
        put(kAlphabet[(group >> 12) & 63]);
        if (rest == 2) {
            put(kAlphabet[(group >> 6) & 63]);
        } else if (pad) {
            put(u'=');
        }
        if (pad) {
            put(u'=');
        }
    }
    *destinationLength = written;
    return TRUE;
}

int KeldanUtilities::Base64DecodeGetRequiredLength(int sourceLength) {
    if (sourceLength < 0) {
        return 0;
    }
    // Every four characters give at most three bytes; INT_MAX characters give less than
    // INT_MAX bytes, so this cannot overflow.
    return static_cast<int>((static_cast<int64_t>(sourceLength) + 3) / 4 * 3);
}

BOOL KeldanUtilities::Base64Decode(const WCHAR* source, int sourceLength, BYTE* destination,
                                   int* destinationLength) {
    if (destinationLength == nullptr) {
        return FALSE;
    }
    const int capacity = destination == nullptr ? 0 : *destinationLength;
    *destinationLength = 0;
    if (sourceLength < 0 || (source == nullptr && sourceLength > 0)) {
        return FALSE;
    }

    int written = 0;
    uint32_t group = 0;
    int inGroup = 0;      // characters of the current group read so far
    int paddingLeft = -1; // '=' still allowed after the first one; -1 before any padding
    // Writes the bytes of a group of `characters` characters (2, 3 or 4).
    auto flush = [&](int characters) {
        const int bytes = characters - 1;
        if (capacity - written < bytes) {
            return false;
        }
        group <<= 6 * (4 - characters);
        destination[written++] = static_cast<BYTE>(group >> 16);
        if (bytes > 1) {
            destination[written++] = static_cast<BYTE>(group >> 8);
        }
        if (bytes > 2) {
            destination[written++] = static_cast<BYTE>(group);
        }
        group = 0;
        inGroup = 0;
        return true;
    };

    for (int i = 0; i < sourceLength; ++i) {
        const int value = Classify(source[i]);
        if (value == -1) {
            continue;
        }
        if (paddingLeft >= 0) {
            // After padding only the rest of the padding may come.
            if (value != -2 || paddingLeft == 0) {
                *destinationLength = written;
                return FALSE;
            }
            --paddingLeft;
            continue;
        }
        if (value == -2) {
            // Padding closes a group of two or three characters.
            if (inGroup < 2) {
                *destinationLength = written;
                return FALSE;
            }
            paddingLeft = 3 - inGroup;
            if (!flush(inGroup)) {
                *destinationLength = written;
                return FALSE;
            }
            continue;
        }
        if (value < 0) {
            *destinationLength = written;
            return FALSE;
        }
        group = (group << 6) | static_cast<uint32_t>(value);
        if (++inGroup == 4 && !flush(4)) {
            *destinationLength = written;
            return FALSE;
        }
    }
    // Unpadded end: a group of one character carries less than a byte.
    const bool ok = inGroup == 0 || (inGroup >= 2 && flush(inGroup));
    *destinationLength = written;
    return ok ? TRUE : FALSE;
}
