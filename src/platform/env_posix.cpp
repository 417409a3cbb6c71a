#include "platform/env.h"

#include <cstdlib>

namespace platform {

std::optional<std::string> env_var(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

}  // namespace platform
