#include "platform/memory.h"

#include <cstdlib>

namespace platform {

void* allocate_aligned_block(std::size_t size, std::size_t alignment) noexcept {
    if (alignment < sizeof(void*)) alignment = sizeof(void*);
    void* block = nullptr;
    if (::posix_memalign(&block, alignment, size == 0 ? 1 : size) != 0) return nullptr;
    return block;
}

void free_aligned_block(void* block) noexcept { std::free(block); }

}  // namespace platform
