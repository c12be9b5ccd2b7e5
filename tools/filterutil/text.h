// Conversions between the library's UTF-16 text and the UTF-8 of files and terminals, and the
// checks and escapes that keep what a user typed or a document holds from doing harm.
#pragma once

#include "windows.h"

#include <optional>
#include <string>
#include <string_view>

namespace filterutil {

std::string ToUtf8(std::u16string_view text);
// Ill-formed UTF-8 becomes U+FFFD.
std::u16string FromUtf8(std::string_view text);
// Ill-formed UTF-8 gives nothing.
std::optional<std::u16string> FromUtf8Strict(std::string_view text);

// Text for a terminal or a log line: control characters (C0, DEL and C1) and the backslash are
// written as JSON escapes them ("\n", "\t", "\u001b", "\\"), so nothing taken from a document or
// a command line can move the cursor, change colours or start a new line.
std::string Printable(std::string_view utf8);

// The first character XML 1.0 cannot carry (a control character other than tab, line feed and
// carriage return, an unpaired surrogate, U+FFFE or U+FFFF), described as "U+0001"; nothing
// when every character can be carried.
std::optional<std::string> CharacterXmlCannotCarry(std::u16string_view text);

// Whether the text is an XML name without a colon (an NCName), as a Print Schema name's prefix
// and local part must be.
bool IsNcName(std::u16string_view text);

// An HRESULT as the Windows tools write it: "0x80070490".
std::string HexCode(HRESULT hr);
// What an HRESULT means, in words, with its code: "out of memory (0x8007000E)".
std::string DescribeHresult(HRESULT hr);

} // namespace filterutil
