#include "platform/env.h"

#include <cstdlib>

namespace platform {

std::optional<std::string> env_var(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

std::optional<NativePath> env_path(const char* name) { return env_var(name); }

std::optional<NativePath> user_data_dir() {
    // LOCALAPPDATA comes first so that a host configured as on Windows finds the same folder.
    if (std::optional<NativePath> base = env_path("LOCALAPPDATA")) return base;
    // A relative XDG_DATA_HOME is invalid and ignored, as the XDG base-directory rules say.
    if (std::optional<NativePath> base = env_path("XDG_DATA_HOME"); base && base->starts_with('/')) return base;
    if (std::optional<NativePath> home = env_path("HOME")) return join_path(join_path(*home, ".local"), "share");
    return std::nullopt;
}

}  // namespace platform
