// What the file layer does the same on every system.
#include "platform/fs.h"

#include <cstdlib>

namespace platform {

bool ByteBuffer::reserve(std::size_t capacity) noexcept {
    if (capacity <= capacity_) return true;
    void* grown = std::realloc(data_.get(), capacity);
    if (grown == nullptr) return false;
    data_.release();
    data_.reset(static_cast<unsigned char*>(grown));
    capacity_ = capacity;
    return true;
}

}  // namespace platform
