#pragma once
// File-system tests and whole-file reads. Every test follows symbolic links, and any error of
// the metadata query counts as "absent".

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <string>

#include "platform/path.h"
#include "platform/result.h"

namespace platform {

bool entry_exists(const NativePath& path) noexcept;  // any kind of entry
bool is_file(const NativePath& path) noexcept;       // exists and is not a folder
bool is_folder(const NativePath& path) noexcept;     // exists and is a folder

// A heap buffer taken with malloc, so that a file too large for memory is an error text and not
// the process-ending allocation failure of the rest of the program.
class ByteBuffer {
public:
    ByteBuffer() = default;
    const unsigned char* data() const noexcept { return data_.get(); }
    unsigned char* data() noexcept { return data_.get(); }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }

    // Grows the capacity to at least `capacity`; false when memory cannot be had.
    bool reserve(std::size_t capacity) noexcept;
    // Sets the size; `size` must not exceed the capacity.
    void set_size(std::size_t size) noexcept { size_ = size; }
    std::size_t capacity() const noexcept { return capacity_; }

private:
    struct FreeDeleter {
        void operator()(unsigned char* p) const noexcept { std::free(p); }
    };
    std::unique_ptr<unsigned char, FreeDeleter> data_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// Reads the whole file. The error text is the operating system's, as "{message} (os error {code})",
// or "out of memory" when the buffer cannot be had.
Result<ByteBuffer> read_whole_file(const NativePath& path);

}  // namespace platform
