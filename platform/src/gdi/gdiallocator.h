// The platform's allocator as a standard allocator, for what the GDI and GDI+ calls create.
#pragma once

#include "com/allocator.h"

#include <cstddef>
#include <new>

namespace platform::gdi {

// Objects the GDI and GDI+ calls create come from the platform's allocator, so running out of
// memory can be tested like everywhere else in the platform. Throws std::bad_alloc.
template <typename T>
struct PlatformAllocator {
    using value_type = T;
    PlatformAllocator() = default;
    template <typename U>
    PlatformAllocator(const PlatformAllocator<U>&) noexcept {}
    T* allocate(std::size_t count) {
        void* block = platform::Allocate(count * sizeof(T));
        if (!block) {
            throw std::bad_alloc();
        }
        return static_cast<T*>(block);
    }
    void deallocate(T* block, std::size_t) noexcept { platform::Free(block); }
    friend bool operator==(const PlatformAllocator&, const PlatformAllocator&) { return true; }
};

} // namespace platform::gdi
