// Short texts of Print Schema documents: names, queries and the numbers written into values.
//
// Internal to the library (not exported). Names and queries are joined from a few pieces into
// one BSTR with a single allocation; numbers are written the same way whatever the process
// locale is, because a decimal comma in a ticket would be read back as a different number.
// A failed allocation raises the out-of-memory exception (ATL::CAtlException, E_OUTOFMEMORY)
// that every string copy of the library raises.
#pragma once

#include <atlbase.h>
#include <oleauto.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string_view>

namespace SchemaText {

// The text of a BSTR; a null BSTR is empty.
inline std::u16string_view View(BSTR text) noexcept {
    return text ? std::u16string_view(text, ::SysStringLen(text)) : std::u16string_view();
}

// Equal texts compared as the documents compare names and namespace URIs: exactly, letter
// case included (VarBstrCmp with no flags); null counts as empty.
inline bool Equal(BSTR left, BSTR right) noexcept {
    return ::VarBstrCmp(left, right, LOCALE_USER_DEFAULT, 0) == VARCMP_EQ;
}

// A VARIANT that clears what it holds when it goes, however the scope is left.
struct ScopedVariant : VARIANT {
    ScopedVariant() noexcept { ::VariantInit(this); }
    ~ScopedVariant() { ::VariantClear(this); }
    ScopedVariant(const ScopedVariant&) = delete;
    ScopedVariant& operator=(const ScopedVariant&) = delete;
};

// A VARIANT that lends a string to a call; the callee copies what it keeps.
inline VARIANT BorrowedText(BSTR text) noexcept {
    VARIANT variant;
    ::VariantInit(&variant);
    variant.vt = VT_BSTR;
    variant.bstrVal = text;
    return variant;
}

// A VARIANT holding a 32-bit integer (a node type, say).
inline VARIANT IntegerVariant(int32_t value) noexcept {
    VARIANT variant;
    ::VariantInit(&variant);
    variant.vt = VT_I4;
    variant.lVal = value;
    return variant;
}

inline bool IsEmpty(BSTR text) noexcept {
    return ::SysStringLen(text) == 0;
}

// One BSTR holding the pieces one after the other (an empty BSTR, not null, when all are empty).
inline CComBSTR Join(std::initializer_list<std::u16string_view> pieces) {
    size_t length = 0;
    for (std::u16string_view piece : pieces) {
        length += piece.size();
    }
    if (length > 0x7FFFFFFFu / sizeof(WCHAR)) {
        ATL::AtlThrow(E_OUTOFMEMORY);
    }
    CComBSTR joined;
    joined.m_str = ::SysAllocStringLen(nullptr, static_cast<UINT>(length));
    if (!joined.m_str) {
        ATL::AtlThrow(E_OUTOFMEMORY);
    }
    WCHAR* at = joined.m_str;
    for (std::u16string_view piece : pieces) {
        if (!piece.empty()) {
            std::memcpy(at, piece.data(), piece.size() * sizeof(WCHAR));
            at += piece.size();
        }
    }
    return joined;
}

// Appends the pieces to text with one new allocation. A piece may be a view of text itself:
// every piece is copied before the old string is freed.
inline void Append(CComBSTR& text, std::initializer_list<std::u16string_view> pieces) {
    size_t length = text.Length();
    for (std::u16string_view piece : pieces) {
        length += piece.size();
    }
    if (length > 0x7FFFFFFFu / sizeof(WCHAR)) {
        ATL::AtlThrow(E_OUTOFMEMORY);
    }
    BSTR joined = ::SysAllocStringLen(nullptr, static_cast<UINT>(length));
    if (!joined) {
        ATL::AtlThrow(E_OUTOFMEMORY);
    }
    WCHAR* at = joined;
    if (text.Length()) {
        std::memcpy(at, text.m_str, text.Length() * sizeof(WCHAR));
        at += text.Length();
    }
    for (std::u16string_view piece : pieces) {
        if (!piece.empty()) {
            std::memcpy(at, piece.data(), piece.size() * sizeof(WCHAR));
            at += piece.size();
        }
    }
    text.Attach(joined);
}

// A number written as ASCII digits, widened to UTF-16.
class NumberText {
public:
    // "%i": signed decimal.
    static NumberText Integer(int value) noexcept { return NumberText(value); }
    // "%u": the 32-bit pattern read as unsigned decimal.
    static NumberText Unsigned(unsigned int value) noexcept { return NumberText(value); }
    // "%.2f": fixed point with two decimals, rounded as printf rounds. Only finite values
    // can be written (a Print Schema decimal has no infinity or NaN); callers check first.
    static NumberText Fixed2(double value) noexcept {
        NumberText text;
        const auto result = std::to_chars(text.m_narrow, text.m_narrow + sizeof(text.m_narrow),
                                          value, std::chars_format::fixed, 2);
        text.Widen(result.ec == std::errc() ? result.ptr : text.m_narrow);
        return text;
    }

    std::u16string_view View() const noexcept { return std::u16string_view(m_wide, m_length); }
    operator std::u16string_view() const noexcept { return View(); }

private:
    NumberText() = default;
    template <class Integral>
    explicit NumberText(Integral value) noexcept {
        const auto result = std::to_chars(m_narrow, m_narrow + sizeof(m_narrow), value);
        Widen(result.ptr);
    }
    void Widen(const char* end) noexcept {
        m_length = static_cast<size_t>(end - m_narrow);
        for (size_t i = 0; i < m_length; ++i) {
            m_wide[i] = static_cast<WCHAR>(m_narrow[i]);
        }
    }

    // Large enough for "%.2f" of the largest double (309 digits, sign, point, two decimals).
    char m_narrow[320] = {};
    WCHAR m_wide[320] = {};
    size_t m_length = 0;
};

} // namespace SchemaText
