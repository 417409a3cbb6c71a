#pragma once

#include <optional>
#include <string>

namespace platform {

// The variable's value exactly as stored; set with an empty value still counts as set.
std::optional<std::string> env_var(const char* name);

}  // namespace platform
