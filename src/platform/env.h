#pragma once

#include <optional>
#include <string>

#include "platform/path.h"

namespace platform {

// The variable's value; set with an empty value still counts as set. On Linux the bytes exactly
// as stored; on Windows the UTF-16 value as UTF-8, unpaired surrogates as U+FFFD.
std::optional<std::string> env_var(const char* name);

// The variable's value exactly as stored, as a path: not trimmed, not tested, not made absolute.
std::optional<NativePath> env_path(const char* name);

// The base of the per-user data folders. Windows: %LOCALAPPDATA% alone. Linux: LOCALAPPDATA when
// set, else XDG_DATA_HOME when it is absolute, else $HOME/.local/share. Absent when none applies.
std::optional<NativePath> user_data_dir();

}  // namespace platform
