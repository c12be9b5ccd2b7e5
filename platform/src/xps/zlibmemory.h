// zlib streams of this folder allocate through the platform's allocator, so that tests can
// make their allocations fail (platformtest::FailAllocationAt).
#pragma once

#include <zlib.h>

namespace platform::xps {

// Sets the stream's allocation functions; call before inflateInit2 or deflateInit2.
void UsePlatformAllocator(z_stream& stream);

} // namespace platform::xps
