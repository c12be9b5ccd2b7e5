// Text conversions between the DOM's UTF-16 BSTRs and libxml2's UTF-8, with the checks XML
// text and names need.
#pragma once

#include "oleauto.h"

#include <libxml/tree.h>

#include <string>
#include <string_view>

namespace platform::msxml {

// The text of a BSTR (a null BSTR is empty).
inline std::u16string_view View(BSTR text) {
    return text ? std::u16string_view(text, SysStringLen(text)) : std::u16string_view();
}

inline const char* Chars(const xmlChar* text) {
    return text ? reinterpret_cast<const char*>(text) : "";
}
inline const xmlChar* XmlChars(const std::string& text) {
    return reinterpret_cast<const xmlChar*>(text.c_str());
}
inline bool Equal(const xmlChar* a, const char* b) {
    return xmlStrEqual(a, reinterpret_cast<const xmlChar*>(b)) != 0;
}

// Appends text as UTF-8. False when it holds a character XML cannot carry (a control
// character other than tab, line feed and carriage return, an unpaired surrogate, U+FFFE or
// U+FFFF); out is then unspecified.
bool AppendXmlUtf8(std::string& out, std::u16string_view text);

// Writes UTF-8 text as UTF-16 from out on and answers the end of what was written. out must
// have room for utf8.size() units: no sequence gives more units than it has bytes. Runs of
// ASCII are widened eight bytes at a time.
char16_t* WidenUtf8(std::string_view utf8, char16_t* out) noexcept;

// Appends UTF-8 text as UTF-16.
void AppendUtf16(std::u16string& out, std::string_view utf8);

// A new BSTR holding UTF-8 text; null when memory runs out.
BSTR AllocBstr(std::string_view utf8);
inline BSTR AllocBstr(const xmlChar* utf8) {
    return AllocBstr(std::string_view(Chars(utf8)));
}

// Stores a new BSTR in *out: S_OK, or E_OUTOFMEMORY with *out null.
HRESULT ReturnBstr(std::string_view utf8, BSTR* out);
inline HRESULT ReturnBstr(const xmlChar* utf8, BSTR* out) {
    return ReturnBstr(std::string_view(Chars(utf8)), out);
}
// *out becomes a VT_BSTR variant of the text.
HRESULT ReturnVariantBstr(std::string_view utf8, VARIANT* out);

inline bool IsXmlWhitespace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}
bool IsXmlWhitespace(std::string_view text);
std::string_view TrimXmlWhitespace(std::string_view text);

bool IsNcName(const std::string& name);
// Splits a qualified name "p:l" or "l" into prefix and local part; false when it is not one.
bool SplitQName(const std::string& qname, std::string& prefix, std::string& local);

// The text a VARIANT carries, as UTF-8: VT_BSTR or an integer type. E_INVALIDARG for other
// types and for characters XML cannot carry.
HRESULT VariantToXmlUtf8(const VARIANT& value, std::string& out);

// libxml2 names and contents as std::string_view.
inline std::string_view ViewOf(const xmlChar* text) {
    return std::string_view(Chars(text));
}

} // namespace platform::msxml
