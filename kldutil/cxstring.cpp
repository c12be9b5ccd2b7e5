#include <kldutil/cxstring.h>

#include <kldutil/printfformat.h>
#include <kldutil/raise.h>

#include <algorithm>

namespace {

size_t WideLength(const WCHAR* text) noexcept {
    return text ? std::char_traits<char16_t>::length(text) : 0;
}

std::u16string_view ViewOf(const WCHAR* text) noexcept {
    return text ? std::u16string_view(text, WideLength(text)) : std::u16string_view();
}

std::u16string FromUtf8(const char* utf8) {
    std::u16string text;
    if (utf8) {
        kldutil::AppendUtf8AsUtf16(text, utf8, std::char_traits<char>::length(utf8));
    }
    return text;
}

// A position or count given as int, clamped to [0, limit].
size_t Clamp(int value, size_t limit) noexcept {
    return value <= 0 ? 0 : std::min(static_cast<size_t>(value), limit);
}

} // namespace

CXString::CXString(const WCHAR* text) : m_text(ViewOf(text)) {}

CXString::CXString(const WCHAR* text, int length)
    : m_text(text ? std::u16string_view(text, Clamp(length, SIZE_MAX)) : std::u16string_view()) {}

CXString::CXString(const char* utf8) : m_text(FromUtf8(utf8)) {}

CXString::CXString(std::u16string_view text) : m_text(text) {}

CXString::CXString(WCHAR unit, int repeat) : m_text(Clamp(repeat, SIZE_MAX), unit) {}

CXString& CXString::operator=(const WCHAR* text) {
    // The text may point into this string, so copy before assigning.
    std::u16string copy(ViewOf(text));
    m_text.swap(copy);
    return *this;
}

CXString& CXString::operator=(const char* utf8) {
    m_text = FromUtf8(utf8);
    return *this;
}

CXString& CXString::operator=(WCHAR unit) {
    m_text.assign(1, unit);
    return *this;
}

CXString& CXString::operator+=(const CXString& text) {
    m_text += text.m_text;
    return *this;
}

CXString& CXString::operator+=(const WCHAR* text) {
    m_text.append(ViewOf(text));
    return *this;
}

CXString& CXString::operator+=(const char* utf8) {
    if (utf8) {
        kldutil::AppendUtf8AsUtf16(m_text, utf8, std::char_traits<char>::length(utf8));
    }
    return *this;
}

CXString& CXString::operator+=(WCHAR unit) {
    m_text += unit;
    return *this;
}

bool CXString::IsBlank() const noexcept {
    return std::all_of(m_text.begin(), m_text.end(), [](char16_t c) {
        return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\v' || c == u'\f';
    });
}

std::string CXString::ToUtf8() const {
    return kldutil::Utf16ToUtf8(m_text.data(), m_text.size());
}

void CXString::Format(const WCHAR* format, ...) {
    va_list args;
    va_start(args, format);
    try {
        FormatV(format, args);
    } catch (...) {
        va_end(args);
        throw;
    }
    va_end(args);
}

void CXString::FormatV(const WCHAR* format, va_list args) {
    std::u16string text;
    if (kldutil::AppendFormatV(text, format, args, kldutil::NullStrings::AsEmpty) !=
        kldutil::FormatResult::Ok) {
        kldutil::RaiseComError(E_INVALIDARG, __FILE__, __LINE__, "CXString::Format");
    }
    m_text.swap(text);
}

void CXString::AppendFormat(const WCHAR* format, ...) {
    va_list args;
    va_start(args, format);
    try {
        AppendFormatV(format, args);
    } catch (...) {
        va_end(args);
        throw;
    }
    va_end(args);
}

void CXString::AppendFormatV(const WCHAR* format, va_list args) {
    std::u16string text;
    if (kldutil::AppendFormatV(text, format, args, kldutil::NullStrings::AsEmpty) !=
        kldutil::FormatResult::Ok) {
        kldutil::RaiseComError(E_INVALIDARG, __FILE__, __LINE__, "CXString::AppendFormat");
    }
    m_text += text;
}

int CXString::Find(WCHAR unit, int start) const noexcept {
    const size_t at = m_text.find(unit, Clamp(start, SIZE_MAX));
    return at == std::u16string::npos ? -1 : static_cast<int>(at);
}

int CXString::Find(const WCHAR* text, int start) const noexcept {
    const size_t from = Clamp(start, SIZE_MAX);
    if (from > m_text.size()) {
        return -1;
    }
    const size_t at = m_text.find(ViewOf(text), from);
    return at == std::u16string::npos ? -1 : static_cast<int>(at);
}

int CXString::ReverseFind(WCHAR unit) const noexcept {
    const size_t at = m_text.rfind(unit);
    return at == std::u16string::npos ? -1 : static_cast<int>(at);
}

CXString CXString::Left(int count) const {
    return CXString(std::u16string_view(m_text).substr(0, Clamp(count, m_text.size())));
}

CXString CXString::Mid(int first) const {
    return CXString(std::u16string_view(m_text).substr(Clamp(first, m_text.size())));
}

CXString CXString::Mid(int first, int count) const {
    const size_t from = Clamp(first, m_text.size());
    return CXString(std::u16string_view(m_text).substr(from, Clamp(count, m_text.size() - from)));
}

CXString CXString::Right(int count) const {
    const size_t keep = Clamp(count, m_text.size());
    return CXString(std::u16string_view(m_text).substr(m_text.size() - keep));
}

int CXString::Delete(int index, int count) {
    const size_t from = Clamp(index, m_text.size());
    m_text.erase(from, Clamp(count, m_text.size() - from));
    return GetLength();
}

int CXString::Replace(const WCHAR* oldText, const WCHAR* newText) {
    const std::u16string_view from = ViewOf(oldText);
    if (from.empty()) {
        return 0;
    }
    const std::u16string_view to = ViewOf(newText);
    size_t at = m_text.find(from);
    if (at == std::u16string::npos) {
        return 0;
    }
    // One pass into a new string: linear however many occurrences there are, and safe when
    // the arguments point into this string.
    std::u16string result;
    result.reserve(m_text.size());
    size_t done = 0;
    int replaced = 0;
    for (; at != std::u16string::npos; at = m_text.find(from, done)) {
        result.append(m_text, done, at - done);
        result.append(to);
        done = at + from.size();
        ++replaced;
    }
    result.append(m_text, done);
    m_text.swap(result);
    return replaced;
}

int CXString::Replace(WCHAR oldUnit, WCHAR newUnit) noexcept {
    int replaced = 0;
    for (char16_t& c : m_text) {
        if (c == oldUnit) {
            c = newUnit;
            ++replaced;
        }
    }
    return replaced;
}

int CXString::Insert(int index, const WCHAR* text) {
    std::u16string copy(ViewOf(text));
    m_text.insert(Clamp(index, m_text.size()), copy);
    return GetLength();
}

int CXString::Compare(const WCHAR* other) const noexcept {
    const int order = std::u16string_view(m_text).compare(ViewOf(other));
    return order < 0 ? -1 : order > 0 ? 1 : 0;
}

int CXString::Compare(const CXString& other) const noexcept {
    const int order = m_text.compare(other.m_text);
    return order < 0 ? -1 : order > 0 ? 1 : 0;
}

CXString CXString::SpanExcluding(const WCHAR* set) const {
    const std::u16string_view units = ViewOf(set);
    if (units.empty()) {
        return *this;
    }
    const size_t at = m_text.find_first_of(units);
    return CXString(std::u16string_view(m_text).substr(0, at));
}

WCHAR* CXString::GetBuffer(int minLength) {
    const size_t wanted = Clamp(minLength, SIZE_MAX);
    if (wanted > m_text.size()) {
        m_text.resize(wanted, u'\0');
    }
    return m_text.data();
}

WCHAR* CXString::GetBufferSetLength(int length) {
    m_text.resize(Clamp(length, SIZE_MAX), u'\0');
    return m_text.data();
}

void CXString::ReleaseBuffer(int newLength) {
    if (newLength < 0) {
        m_text.resize(std::char_traits<char16_t>::length(m_text.c_str()));
    } else {
        m_text.resize(std::min(static_cast<size_t>(newLength), m_text.size()));
    }
}

WCHAR CXString::GetAt(int index) const {
    if (index < 0 || static_cast<size_t>(index) >= m_text.size()) {
        kldutil::RaiseComError(E_INVALIDARG, __FILE__, __LINE__, "CXString::GetAt");
    }
    return m_text[static_cast<size_t>(index)];
}

void CXString::SetAt(int index, WCHAR unit) {
    if (index < 0 || static_cast<size_t>(index) >= m_text.size()) {
        kldutil::RaiseComError(E_INVALIDARG, __FILE__, __LINE__, "CXString::SetAt");
    }
    m_text[static_cast<size_t>(index)] = unit;
}

CXString operator+(const CXString& a, const CXString& b) {
    CXString result(a);
    result += b;
    return result;
}

CXString operator+(const CXString& a, const WCHAR* b) {
    CXString result(a);
    result += b;
    return result;
}

CXString operator+(const WCHAR* a, const CXString& b) {
    CXString result(a);
    result += b;
    return result;
}

CXString operator+(const CXString& a, WCHAR b) {
    CXString result(a);
    result += b;
    return result;
}
