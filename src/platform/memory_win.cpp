#include "platform/memory.h"

#include <malloc.h>

namespace platform {

// The C runtime of Windows has no posix_memalign, and its aligned blocks need their own free.
void* allocate_aligned_block(std::size_t size, std::size_t alignment) noexcept {
    if (alignment < sizeof(void*)) alignment = sizeof(void*);
    return ::_aligned_malloc(size == 0 ? 1 : size, alignment);
}

void free_aligned_block(void* block) noexcept { ::_aligned_free(block); }

}  // namespace platform
