// CXString: the utility library's string, a UTF-16 text with value semantics.
//
// Positions, lengths and counts are in UTF-16 code units (a character outside the Basic
// Multilingual Plane is a surrogate pair, two units), as in every Windows string. Positions
// and counts outside the text are clamped to it rather than refused, so Mid, Left, Right and
// Delete never fail. A CXString always keeps a terminating zero behind its text, so it
// converts to a C string (operator const WCHAR*) that stays valid until the string changes.
// Narrow text is UTF-8; malformed bytes become U+FFFD. A null pointer given as text is the
// empty string, as a null BSTR is.
#pragma once

#include <kldutil/kldutilexport.h>

#include <windows.h>

#include <compare>
#include <cstdarg>
#include <string>
#include <string_view>
#include <utility>

class KLDUTIL_API CXString {
public:
    CXString() noexcept = default;
    CXString(const WCHAR* text);
    CXString(const WCHAR* text, int length); // the first length units; a negative length is 0
    CXString(const char* utf8);
    CXString(std::u16string_view text);
    explicit CXString(std::u16string&& text) noexcept : m_text(std::move(text)) {}
    CXString(WCHAR unit, int repeat);
    CXString(const CXString&) = default;
    CXString(CXString&&) noexcept = default;
    ~CXString() = default;

    CXString& operator=(const CXString&) = default;
    CXString& operator=(CXString&&) noexcept = default;
    CXString& operator=(const WCHAR* text);
    CXString& operator=(const char* utf8);
    CXString& operator=(WCHAR unit);

    CXString& operator+=(const CXString& text);
    CXString& operator+=(const WCHAR* text);
    CXString& operator+=(const char* utf8);
    CXString& operator+=(WCHAR unit);

    int GetLength() const noexcept { return static_cast<int>(m_text.size()); }
    bool IsEmpty() const noexcept { return m_text.empty(); }
    // True when the text is empty or holds only white space (blank, tab, CR, LF, VT, FF).
    bool IsBlank() const noexcept;
    void Empty() noexcept { m_text.clear(); }

    operator const WCHAR*() const noexcept { return m_text.c_str(); }
    const WCHAR* GetString() const noexcept { return m_text.c_str(); }
    std::u16string_view View() const noexcept { return m_text; }
    // The text as UTF-8 (lone surrogates become U+FFFD).
    std::string ToUtf8() const;

    // printf-style formatting with a wide format: %s takes a const WCHAR*, a null one is
    // empty text; %d, %i, %u, %x and friends read 32-bit values as on Windows (see
    // printfformat.h for the whole grammar). Format replaces the text, AppendFormat appends.
    // A malformed format raises KeldanComException(E_INVALIDARG) and leaves the text as it was.
    void Format(const WCHAR* format, ...);
    void FormatV(const WCHAR* format, va_list args);
    void AppendFormat(const WCHAR* format, ...);
    void AppendFormatV(const WCHAR* format, va_list args);

    // Zero-based index of the first match at or after start, or -1. An empty substring matches
    // at start (when start is within the text); a negative start counts as 0.
    int Find(WCHAR unit, int start = 0) const noexcept;
    int Find(const WCHAR* text, int start = 0) const noexcept;
    // Index of the last occurrence of unit, or -1.
    int ReverseFind(WCHAR unit) const noexcept;

    CXString Left(int count) const;
    CXString Mid(int first) const;
    CXString Mid(int first, int count) const;
    CXString Right(int count) const;
    // Removes up to count units from index on (nothing when index is past the end); answers
    // the new length.
    int Delete(int index, int count = 1);
    // Replaces every occurrence, scanning left to right without overlaps; answers how many
    // were replaced. An empty or null old text replaces nothing.
    int Replace(const WCHAR* oldText, const WCHAR* newText);
    int Replace(WCHAR oldUnit, WCHAR newUnit) noexcept;
    int Insert(int index, const WCHAR* text);

    // -1, 0 or 1: an ordinal comparison unit by unit, shorter prefix first.
    int Compare(const WCHAR* other) const noexcept;
    int Compare(const CXString& other) const noexcept;
    // The leading units that are not in set (the whole text for an empty or null set).
    CXString SpanExcluding(const WCHAR* set) const;

    // Direct access to the units. GetBuffer(n) makes room for at least n units (new ones are
    // zero) and answers the first; until ReleaseBuffer the length counts the whole buffer.
    // ReleaseBuffer(-1) ends the text at its first zero, ReleaseBuffer(n) at n units.
    // GetBufferSetLength(n) makes the length exactly n (cutting or zero-filling).
    WCHAR* GetBuffer(int minLength);
    WCHAR* GetBufferSetLength(int length);
    void ReleaseBuffer(int newLength = -1);

    WCHAR GetAt(int index) const; // raises KeldanComException(E_INVALIDARG) outside the text
    void SetAt(int index, WCHAR unit);

    friend bool operator==(const CXString& a, const CXString& b) noexcept {
        return a.m_text == b.m_text;
    }
    friend bool operator==(const CXString& a, const WCHAR* b) noexcept { return a.Compare(b) == 0; }
    friend std::strong_ordering operator<=>(const CXString& a, const CXString& b) noexcept {
        return a.m_text <=> b.m_text;
    }
    friend std::strong_ordering operator<=>(const CXString& a, const WCHAR* b) noexcept {
        return a.Compare(b) <=> 0;
    }

private:
    std::u16string m_text;
};

KLDUTIL_API CXString operator+(const CXString& a, const CXString& b);
KLDUTIL_API CXString operator+(const CXString& a, const WCHAR* b);
KLDUTIL_API CXString operator+(const WCHAR* a, const CXString& b);
KLDUTIL_API CXString operator+(const CXString& a, WCHAR b);
