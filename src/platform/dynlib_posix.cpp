#include "platform/dynlib.h"

#include <dlfcn.h>

namespace platform {

std::string library_file_name(std::string_view stem) {
    std::string name = "lib";
    name.append(stem);
    name.append(".so");
    return name;
}

Result<ModuleHandle> open_library(const NativePath& path) {
    // A name without a slash would make dlopen search the system's library folders; the caller
    // means the file of that name in the current folder, which is what it tested for.
    const NativePath opened = path.find('/') == NativePath::npos ? "./" + path : path;
    ::dlerror();  // forget any earlier error, so a null result is judged by this call alone
    void* handle = ::dlopen(opened.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle != nullptr) return handle;
    const char* why = ::dlerror();
    if (why == nullptr) return fail("dlopen failed, but system did not report the error");
    return fail(std::string("dlopen failed: ") + why);
}

Result<void*> find_symbol(ModuleHandle module, const char* name) {
    ::dlerror();
    void* address = ::dlsym(module, name);
    if (address != nullptr) return address;
    if (::dlerror() == nullptr) return fail("dlsym failed, but system did not report the error");
    return fail("dlsym failed");
}

void close_library(ModuleHandle module) noexcept { ::dlclose(module); }

}  // namespace platform
