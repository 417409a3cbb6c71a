#include "platform/stdio.h"

#include <cerrno>
#include <unistd.h>

namespace platform {
namespace {

void write_all(int fd, std::string_view bytes) noexcept {
    while (!bytes.empty()) {
        const ssize_t put = ::write(fd, bytes.data(), bytes.size());
        if (put < 0) {
            if (errno == EINTR) continue;
            return;  // EPIPE and the like: the reader is gone, the rest is dropped
        }
        bytes.remove_prefix(static_cast<std::size_t>(put));
    }
}

}  // namespace

void prepare_standard_streams() noexcept {}

ReadResult read_stdin(char* buffer, std::size_t capacity) noexcept {
    for (;;) {
        const ssize_t got = ::read(STDIN_FILENO, buffer, capacity);
        if (got > 0) return {ReadStatus::data, static_cast<std::size_t>(got)};
        if (got == 0) return {ReadStatus::end, 0};
        if (errno == EINTR) continue;
        if (errno == EBADF) return {ReadStatus::end, 0};
        return {ReadStatus::failed, 0};
    }
}

void write_stdout(std::string_view bytes) noexcept { write_all(STDOUT_FILENO, bytes); }
void write_stderr(std::string_view bytes) noexcept { write_all(STDERR_FILENO, bytes); }

}  // namespace platform
