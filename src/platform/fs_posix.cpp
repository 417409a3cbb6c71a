#include "platform/fs.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

// stat() with links followed; a path holding NUL cannot name anything.
bool query(const NativePath& path, struct stat& info) noexcept {
    if (path.find('\0') != NativePath::npos) return false;
    return ::stat(path.c_str(), &info) == 0;
}

std::string os_error_text(int code) {
    return std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")";
}

}  // namespace

bool entry_exists(const NativePath& path) noexcept {
    struct stat info;
    return query(path, info);
}

bool is_file(const NativePath& path) noexcept {
    struct stat info;
    return query(path, info) && !S_ISDIR(info.st_mode);
}

bool is_folder(const NativePath& path) noexcept {
    struct stat info;
    return query(path, info) && S_ISDIR(info.st_mode);
}

Result<ByteBuffer> read_whole_file(const NativePath& path) {
    if (path.find('\0') != NativePath::npos) return fail(os_error_text(EINVAL));
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return fail(os_error_text(errno));

    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};

    ByteBuffer buffer;
    // The size is a hint only: the file may grow or shrink while it is read.
    std::size_t hint = 0;
    struct stat info;
    if (::fstat(fd, &info) == 0) {
        if (S_ISDIR(info.st_mode)) return fail(os_error_text(EISDIR));
        if (S_ISREG(info.st_mode) && info.st_size > 0) hint = static_cast<std::size_t>(info.st_size);
    }
    if (!buffer.reserve(hint > 0 ? hint + 1 : 8192)) return fail("out of memory");

    for (;;) {
        if (buffer.size() == buffer.capacity()) {
            const std::size_t grown = buffer.capacity() < 8192 ? 8192 : buffer.capacity() * 2;
            if (grown < buffer.capacity() || !buffer.reserve(grown)) return fail("out of memory");
        }
        const ssize_t got = ::read(fd, buffer.data() + buffer.size(), buffer.capacity() - buffer.size());
        if (got < 0) {
            if (errno == EINTR) continue;
            return fail(os_error_text(errno));
        }
        if (got == 0) break;
        buffer.set_size(buffer.size() + static_cast<std::size_t>(got));
    }
    return buffer;
}

}  // namespace platform
