// Conversions between the library's UTF-16 text and the UTF-8 of files and terminals.
#pragma once

#include "windows.h"

#include <string>
#include <string_view>

namespace filterutil {

std::string ToUtf8(std::u16string_view text);
std::u16string FromUtf8(std::string_view text);

// An HRESULT as the Windows tools write it: "0x80070490".
std::string HexCode(HRESULT hr);

} // namespace filterutil
