// The CRC-32 that ZIP entries carry (ISO-HDLC, the one zlib computes), computed with
// libdeflate, which folds with carry-less multiplication where the processor has it: several
// times faster than zlib's tables on the few-hundred-byte parts a job is mostly made of.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform::xps {

// Continues crc over count bytes; the CRC of no bytes is 0.
uint32_t ZipCrc32(uint32_t crc, const void* bytes, size_t count) noexcept;

} // namespace platform::xps
