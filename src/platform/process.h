#pragma once

#include <optional>

#include "platform/path.h"

namespace platform {

// Full path of the running executable; nothing when the system cannot tell.
std::optional<NativePath> executable_path();

// Logical processors this process may run on; 0 when unknown.
unsigned processor_count() noexcept;

// A client that stops reading must never kill the server: writes to a closed pipe fail instead.
void ignore_broken_pipe() noexcept;

}  // namespace platform
