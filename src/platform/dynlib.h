#pragma once
// Opening shared libraries by path and resolving their functions. The error texts are the
// loader texts the engine shows; they carry no system code or message.

#include <string>
#include <string_view>

#include "platform/path.h"
#include "platform/result.h"

namespace platform {

using ModuleHandle = void*;

// The file name of the library `stem` on this system: "lib{stem}.so" on Linux, "{stem}.dll" on
// Windows.
std::string library_file_name(std::string_view stem);

Result<ModuleHandle> open_library(const NativePath& path);
Result<void*> find_symbol(ModuleHandle module, const char* name);
void close_library(ModuleHandle module) noexcept;

}  // namespace platform
