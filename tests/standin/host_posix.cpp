// The Linux side of the stand-in helpers.
//
// The dlopen/dlclose definitions below take precedence over the C library's for every call made
// from the test program (the engine's loader included), record it and pass it on. That is how
// the tests see which libraries the loader opened and closed, and in which order, although
// dlclose of a library that stays in use elsewhere unloads nothing.

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <filesystem>

#include "host.h"
#include "host_trace.h"

namespace {

using dlopen_fn = void* (*)(const char*, int);
using dlclose_fn = int (*)(void*);

}  // namespace

extern "C" void* dlopen(const char* file, int mode) {
    static auto real = reinterpret_cast<dlopen_fn>(dlsym(RTLD_NEXT, "dlopen"));
    standin::add_library_event("dlopen " + std::string(file == nullptr ? "(null)" : file));
    return real(file, mode);
}

extern "C" int dlclose(void* handle) {
    static auto real = reinterpret_cast<dlclose_fn>(dlsym(RTLD_NEXT, "dlclose"));
    link_map* map = nullptr;
    std::string name = "?";
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && map->l_name != nullptr) {
        name = std::filesystem::path(map->l_name).filename().string();
    }
    standin::add_library_event("dlclose " + name);
    return real(handle);
}

namespace standin {

std::string process_id() { return std::to_string(::getpid()); }

std::string opened_native(const platform::NativePath& path) { return "dlopen " + path; }

std::string closed(std::string_view stem) { return "dlclose " + platform::library_file_name(stem); }

std::string current_folder_prefix() { return "./"; }

bool is_open_failure(const std::string& error, const std::string& path) {
    // dlerror's own words follow.
    const std::string head = "failed to load " + path + ": dlopen failed: ";
    return error.starts_with(head) && error.size() > head.size();
}

std::string missing_symbol(std::string_view name) { return "missing symbol " + std::string(name) + ": dlsym failed"; }

bool ggml_exports_log_set() { return true; }

void* symbol(platform::ModuleHandle library, const char* name) { return ::dlsym(library, name); }

}  // namespace standin
