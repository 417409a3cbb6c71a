#include "platform/process.h"

#include <windows.h>

namespace platform {

std::optional<NativePath> executable_path() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD got = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (got == 0) return std::nullopt;
        // A path that fills the buffer to the last unit may have been cut short.
        if (got < buffer.size()) {
            buffer.resize(got);
            return buffer;
        }
        if (buffer.size() >= 0x10000) return std::nullopt;  // longer than any path the system makes
        buffer.resize(buffer.size() * 2);
    }
}

unsigned processor_count() noexcept {
    SYSTEM_INFO info;
    ::GetSystemInfo(&info);
    return info.dwNumberOfProcessors;
}

// Windows has no SIGPIPE: a write to a pipe whose reader is gone fails, and the writer drops it.
void ignore_broken_pipe() noexcept {}

}  // namespace platform
