// A font part's embedding permission, as the font itself states it: the fsType field of its
// OpenType OS/2 table, read from the first bytes of the part (of the first face of a
// collection). An obfuscated font is read through its key, the GUID its part name carries.
#pragma once

#include "partcontent.h"

#include "filterpipeline.h"
#include "platformexport.h"

#include <cstdint>
#include <optional>
#include <string_view>

namespace platform::xps {

// The permission fsType grants an XPS producer. A font for bitmap embedding only may not have
// its outlines embedded; of several usage bits the least restrictive counts (OpenType).
PLATFORM_EXPORT EXpsFontRestriction RestrictionOfFsType(uint16_t fsType) noexcept;

// The fsType of the font in content, an obfuscated one when obfuscated (its key taken from
// partName). Empty when the bytes are no OpenType font or collection that can be read this
// far, when the font has no OS/2 table, or when an obfuscated font's name carries no GUID.
// Reads no further than the OS/2 table; throws what reading the content throws.
PLATFORM_EXPORT std::optional<uint16_t> ReadFsType(const PartContent& content,
                                                   std::string_view partName, bool obfuscated);

} // namespace platform::xps
