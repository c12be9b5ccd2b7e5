#include "wholeinflater.h"

#include "../com/allocator.h"

#include <libdeflate.h>

#include <new>

namespace platform::xps {

void WholeInflater::Free::operator()(libdeflate_decompressor* decompressor) const noexcept {
    libdeflate_free_decompressor(decompressor);
}

WholeInflater::WholeInflater() = default;
WholeInflater::~WholeInflater() = default;

WholeInflater::Result WholeInflater::Inflate(const void* in, size_t inSize, void* out, size_t room,
                                             size_t& produced) {
    if (!decompressor_) {
        // libdeflate allocates through malloc (its allocator is one for the whole process);
        // the platform's count still decides whether this allocation may succeed.
        if (!AllocationAllowed()) {
            throw std::bad_alloc();
        }
        decompressor_.reset(libdeflate_alloc_decompressor());
        if (!decompressor_) {
            throw std::bad_alloc();
        }
    }
    produced = 0;
    switch (libdeflate_deflate_decompress(decompressor_.get(), in, inSize, out, room, &produced)) {
    case LIBDEFLATE_SUCCESS:
        return Result::kDone;
    case LIBDEFLATE_INSUFFICIENT_SPACE:
        return Result::kTooLong;
    default:
        return Result::kDamaged;
    }
}

} // namespace platform::xps
