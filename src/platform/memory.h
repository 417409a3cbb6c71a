#pragma once
// Over-aligned heap blocks, which the C library of each system hands out differently.

#include <cstddef>

namespace platform {

// A block of `size` bytes (at least 1) aligned to `alignment`, a power of two; null when memory
// cannot be had. Released only with free_aligned_block.
void* allocate_aligned_block(std::size_t size, std::size_t alignment) noexcept;
void free_aligned_block(void* block) noexcept;

}  // namespace platform
