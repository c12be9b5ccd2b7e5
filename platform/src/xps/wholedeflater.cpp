#include "wholedeflater.h"

#include "../com/allocator.h"
#include "xps.h"

#include <libdeflate.h>

#include <new>
#include <string>

namespace platform::xps {

void WholeDeflater::Free::operator()(libdeflate_compressor* compressor) const noexcept {
    libdeflate_free_compressor(compressor);
}

WholeDeflater::WholeDeflater() = default;
WholeDeflater::~WholeDeflater() = default;

size_t WholeDeflater::Bound(size_t size) {
    // Without a compressor the bound covers every level.
    return libdeflate_deflate_compress_bound(nullptr, size);
}

size_t WholeDeflater::Deflate(int level, const void* in, size_t size, void* out) {
    if (level < 1 || level > kMaxLevel) {
        Fail(E_INVALIDARG, "deflate level " + std::to_string(level) + " is not one of 1 to 9");
    }
    auto& compressor = compressors_[static_cast<size_t>(level)];
    if (!compressor) {
        // libdeflate allocates through malloc (its allocator is one for the whole process);
        // the platform's count still decides whether this allocation may succeed.
        if (!AllocationAllowed()) {
            throw std::bad_alloc();
        }
        compressor.reset(libdeflate_alloc_compressor(level));
        if (!compressor) {
            throw std::bad_alloc();
        }
    }
    const size_t produced =
        libdeflate_deflate_compress(compressor.get(), in, size, out, Bound(size));
    if (produced == 0) {
        // Cannot happen with room for the bound: every stream, even of no bytes, takes some.
        Fail(E_UNEXPECTED, "the deflated stream found no room within its bound");
    }
    return produced;
}

} // namespace platform::xps
