// WideCharToMultiByte and MultiByteToWideChar between UTF-16 and UTF-8. The ANSI code page
// of this platform is UTF-8, so CP_ACP and CP_UTF8 behave the same.
//
// Each conversion runs twice over its input, counting and then writing into the caller's
// buffer: it allocates nothing, so it cannot run out of memory, and a buffer that is too short
// is left untouched.
#include "windows.h"

#include <cstddef>

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsSupportedCodePage(UINT codePage) {
    return codePage == CP_ACP || codePage == CP_UTF8;
}

// Counts the units of a conversion, and writes them when given a buffer.
template <class Unit>
class Output {
public:
    explicit Output(Unit* buffer) : buffer_(buffer) {}
    void operator+=(Unit unit) {
        if (buffer_) {
            buffer_[size_] = unit;
        }
        ++size_;
    }
    // Units below 0x80 of the other width, which convert one for one.
    template <class Other>
    void AppendAscii(const Other* units, size_t count) {
        if (buffer_) {
            for (size_t i = 0; i < count; ++i) {
                buffer_[size_ + i] = static_cast<Unit>(units[i]);
            }
        }
        size_ += count;
    }
    size_t Size() const { return size_; }

private:
    Unit* buffer_;
    size_t size_ = 0;
};

void AppendUtf8(Output<char>& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

void AppendUtf16(Output<char16_t>& out, char32_t cp) {
    if (cp < 0x10000) {
        out += static_cast<char16_t>(cp);
    } else {
        cp -= 0x10000;
        out += static_cast<char16_t>(0xD800 + (cp >> 10));
        out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    }
}

// Runs convert once to count the units, then, when the caller gave room for them all, again
// into the caller's buffer: the Win32 rules for a conversion's size and buffer.
template <class Unit, class Convert>
int CountThenWrite(const Convert& convert, Unit* buffer, int bufferSize) {
    Output<Unit> counted(nullptr);
    if (!convert(counted)) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    if (counted.Size() > 0x7FFFFFFFu) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (bufferSize == 0) {
        return static_cast<int>(counted.Size());
    }
    if (counted.Size() > static_cast<size_t>(bufferSize)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    Output<Unit> written(buffer);
    convert(written);
    return static_cast<int>(written.Size());
}

// Decodes one UTF-8 sequence at text[i]; answers false for a malformed one (and consumes
// one byte).
bool DecodeUtf8(const unsigned char* text, size_t count, size_t& i, char32_t& cp) {
    const unsigned char lead = text[i];
    size_t extra = 0;
    char32_t min = 0;
    if (lead < 0x80) {
        cp = lead;
        ++i;
        return true;
    } else if ((lead & 0xE0) == 0xC0) {
        extra = 1;
        cp = lead & 0x1F;
        min = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2;
        cp = lead & 0x0F;
        min = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3;
        cp = lead & 0x07;
        min = 0x10000;
    } else {
        ++i;
        return false;
    }
    if (i + extra >= count) { // truncated sequence
        ++i;
        return false;
    }
    for (size_t k = 1; k <= extra; ++k) {
        if ((text[i + k] & 0xC0) != 0x80) {
            ++i;
            return false;
        }
        cp = (cp << 6) | (text[i + k] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++i;
        return false;
    }
    i += extra + 1;
    return true;
}

} // namespace

extern "C" {

int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideCount,
                               LPSTR narrow, int narrowSize, LPCSTR, BOOL* usedDefaultChar) {
    if (!IsSupportedCodePage(codePage) || !wide || wideCount == 0 || wideCount < -1 ||
        narrowSize < 0 || (narrowSize > 0 && !narrow)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (usedDefaultChar) {
        *usedDefaultChar = FALSE;
    }
    size_t count = 0;
    if (wideCount == -1) {
        while (wide[count]) {
            ++count;
        }
        ++count; // the terminator is converted too
    } else {
        count = static_cast<size_t>(wideCount);
    }
    // False for an unpaired surrogate when those are errors.
    auto convert = [&](Output<char>& out) {
        for (size_t i = 0; i < count; ++i) {
            // Markup is mostly ASCII: a run of it is counted or copied at once.
            size_t end = i;
            while (end < count && wide[end] < 0x80) {
                ++end;
            }
            if (end > i) {
                out.AppendAscii(wide + i, end - i);
                i = end - 1;
                continue;
            }
            char32_t cp = wide[i];
            if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < count && wide[i + 1] >= 0xDC00 &&
                wide[i + 1] <= 0xDFFF) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (wide[i + 1] - 0xDC00);
                ++i;
            } else if (cp >= 0xD800 && cp <= 0xDFFF) {
                if (flags & WC_ERR_INVALID_CHARS) {
                    return false;
                }
                cp = kReplacement;
            }
            AppendUtf8(out, cp);
        }
        return true;
    };
    return CountThenWrite(convert, narrow, narrowSize);
}

int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR narrow, int narrowCount,
                               LPWSTR wide, int wideSize) {
    if (!IsSupportedCodePage(codePage) || !narrow || narrowCount == 0 || narrowCount < -1 ||
        wideSize < 0 || (wideSize > 0 && !wide)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t count = 0;
    if (narrowCount == -1) {
        while (narrow[count]) {
            ++count;
        }
        ++count;
    } else {
        count = static_cast<size_t>(narrowCount);
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(narrow);
    // False for a malformed sequence when those are errors.
    auto convert = [&](Output<char16_t>& out) {
        for (size_t i = 0; i < count;) {
            char32_t cp = 0;
            if (!DecodeUtf8(bytes, count, i, cp)) {
                if (flags & MB_ERR_INVALID_CHARS) {
                    return false;
                }
                cp = kReplacement;
            }
            AppendUtf16(out, cp);
        }
        return true;
    };
    return CountThenWrite(convert, wide, wideSize);
}

} // extern "C"
