#include "platform/process.h"

#include <climits>
#include <csignal>
#include <sched.h>
#include <string>
#include <unistd.h>

namespace platform {

std::optional<NativePath> executable_path() {
    std::string buffer(PATH_MAX, '\0');
    for (;;) {
        const ssize_t got = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (got < 0) return std::nullopt;
        if (static_cast<std::size_t>(got) < buffer.size()) {
            buffer.resize(static_cast<std::size_t>(got));
            return buffer;
        }
        buffer.resize(buffer.size() * 2);
    }
}

unsigned processor_count() noexcept {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<unsigned>(count);
    }
    const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<unsigned>(online) : 0;
}

void ignore_broken_pipe() noexcept { std::signal(SIGPIPE, SIG_IGN); }

}  // namespace platform
