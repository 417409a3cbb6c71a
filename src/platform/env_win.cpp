#include "platform/env.h"

#include <windows.h>

#include "platform/utf16.h"

namespace platform {

std::optional<NativePath> env_path(const char* name) {
    const std::wstring wide_name = utf8_to_utf16<wchar_t>(name);
    std::wstring value(256, L'\0');
    for (;;) {
        ::SetLastError(0);
        const DWORD got = ::GetEnvironmentVariableW(wide_name.c_str(), value.data(), static_cast<DWORD>(value.size()));
        if (got == 0) {
            // Zero is both "no such variable" and "set to the empty text"; only the error tells.
            if (::GetLastError() != 0) return std::nullopt;
            return std::wstring();
        }
        if (got < value.size()) {
            value.resize(got);
            return value;
        }
        // Too small: `got` is the size the value needs with its NUL. It may change between the
        // two calls, so the loop asks again.
        value.resize(got);
    }
}

std::optional<std::string> env_var(const char* name) {
    std::optional<NativePath> value = env_path(name);
    if (!value) return std::nullopt;
    return utf16_to_utf8(std::wstring_view(*value));
}

std::optional<NativePath> user_data_dir() { return env_path("LOCALAPPDATA"); }

}  // namespace platform
