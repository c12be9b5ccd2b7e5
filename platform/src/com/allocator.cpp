#include "allocator.h"

#include "platformtest.h"

#include <cstdlib>

namespace platform {
namespace {
thread_local unsigned long callCount = 0;
thread_local unsigned long failAtCall = 0; // 0: never fail
} // namespace

bool AllocationAllowed() noexcept {
    ++callCount;
    if (failAtCall != 0 && callCount == failAtCall) {
        failAtCall = 0;
        return false;
    }
    return true;
}

void* Allocate(std::size_t size) noexcept {
    return AllocationAllowed() ? std::malloc(size ? size : 1) : nullptr;
}

void* Reallocate(void* block, std::size_t size) noexcept {
    return AllocationAllowed() ? std::realloc(block, size ? size : 1) : nullptr;
}

void Free(void* block) noexcept {
    std::free(block);
}

} // namespace platform

namespace platformtest {

void FailAllocationAt(unsigned long n) {
    platform::failAtCall = n == 0 ? 0 : platform::callCount + n;
}

unsigned long AllocationCount() {
    return platform::callCount;
}

} // namespace platformtest
