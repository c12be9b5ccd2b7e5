#include "zipcrc.h"

#include <libdeflate.h>

namespace platform::xps {

uint32_t ZipCrc32(uint32_t crc, const void* bytes, size_t count) noexcept {
    return libdeflate_crc32(crc, bytes, count);
}

} // namespace platform::xps
