#include "zlibmemory.h"

#include "../com/allocator.h"

#include <cstdint>

namespace platform::xps {
namespace {

voidpf Allocate(voidpf, uInt items, uInt size) {
    if (size != 0 && items > SIZE_MAX / size) {
        return Z_NULL;
    }
    return platform::Allocate(static_cast<size_t>(items) * size);
}

void Free(voidpf, voidpf block) {
    platform::Free(block);
}

} // namespace

void UsePlatformAllocator(z_stream& stream) {
    stream.zalloc = &Allocate;
    stream.zfree = &Free;
    stream.opaque = Z_NULL;
}

} // namespace platform::xps
