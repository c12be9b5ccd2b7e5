// Part names of the watermark filter's resources: a GUID made for each, so that the names of
// one job never meet another part's.
#pragma once

#include <string>

// 32 upper-case hexadecimal digits of a new random GUID (version 4). Raises std::exception
// when no random device can be had.
std::u16string NewGuidDigits();

// "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" from the 32 digits.
std::u16string GuidText(const std::u16string& digits);
