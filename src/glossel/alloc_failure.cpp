// Replaces the global allocation functions so that running out of memory ends the process at once
// with "memory allocation of N bytes failed" on standard error, instead of a std::bad_alloc that
// would unwind as an internal error. Linked into the executable only, and kept out of its dynamic
// symbols like everything else it defines (own_allocation.map): the inference libraries keep the
// standard library's functions, whose std::bad_alloc their loaders catch and report. Left out of
// sanitizer builds, whose runtime provides the allocation functions itself.

#include <charconv>
#include <cstdlib>
#include <new>

#include "platform/memory.h"
#include "platform/stdio.h"

namespace {

[[noreturn]] void allocation_failed(std::size_t size) noexcept {
    // No allocation here: the message is put together on the stack.
    char message[80] = "memory allocation of ";
    char* end = message + sizeof "memory allocation of " - 1;
    end = std::to_chars(end, message + 40, size).ptr;
    constexpr std::string_view tail = " bytes failed\n";
    for (const char c : tail) *end++ = c;
    platform::write_stderr(std::string_view(message, static_cast<std::size_t>(end - message)));
    std::abort();
}

void* try_allocate(std::size_t size) noexcept { return std::malloc(size == 0 ? 1 : size); }

void* try_allocate_aligned(std::size_t size, std::align_val_t alignment) noexcept {
    return platform::allocate_aligned_block(size, static_cast<std::size_t>(alignment));
}

void* allocate(std::size_t size) noexcept {
    void* block = try_allocate(size);
    if (block == nullptr) allocation_failed(size);
    return block;
}

void* allocate_aligned(std::size_t size, std::align_val_t alignment) noexcept {
    void* block = try_allocate_aligned(size, alignment);
    if (block == nullptr) allocation_failed(size);
    return block;
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, std::align_val_t alignment) { return allocate_aligned(size, alignment); }
void* operator new[](std::size_t size, std::align_val_t alignment) { return allocate_aligned(size, alignment); }

// The nothrow forms keep their contract: the caller asked for a null pointer on failure and
// handles it (the standard library uses them for optional scratch buffers).
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return try_allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return try_allocate(size); }
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return try_allocate_aligned(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return try_allocate_aligned(size, alignment);
}

void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, std::align_val_t) noexcept { platform::free_aligned_block(block); }
void operator delete[](void* block, std::align_val_t) noexcept { platform::free_aligned_block(block); }
void operator delete(void* block, std::size_t, std::align_val_t) noexcept { platform::free_aligned_block(block); }
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept { platform::free_aligned_block(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete(void* block, std::align_val_t, const std::nothrow_t&) noexcept { platform::free_aligned_block(block); }
void operator delete[](void* block, std::align_val_t, const std::nothrow_t&) noexcept { platform::free_aligned_block(block); }
