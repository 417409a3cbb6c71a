#pragma once
// Opening shared libraries by path and resolving their functions. The error texts are the
// loader texts the engine shows; they carry no system code or message.

#include "platform/path.h"
#include "platform/result.h"

namespace platform {

using ModuleHandle = void*;

Result<ModuleHandle> open_library(const NativePath& path);
Result<void*> find_symbol(ModuleHandle module, const char* name);
void close_library(ModuleHandle module) noexcept;

}  // namespace platform
