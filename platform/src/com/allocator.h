// The platform's own allocator: every allocation the stand-in makes on behalf of a caller
// (BSTRs, task memory, stream buffers, DOM nodes) goes through here, so tests can make the
// n-th one fail (platformtest::FailAllocationAt).
#pragma once

#include <cstddef>

namespace platform {

// Counts the call; answers false when this call is the one told to fail.
bool AllocationAllowed() noexcept;

void* Allocate(std::size_t size) noexcept;
void* Reallocate(void* block, std::size_t size) noexcept;
void Free(void* block) noexcept;

} // namespace platform
