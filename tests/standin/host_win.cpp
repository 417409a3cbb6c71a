// The Windows side of the stand-in helpers.
//
// The program calls the system's loader through its import slots. At start-up the slots of
// LoadLibraryExW and FreeLibrary are pointed at the recorders below, which note each call and pass
// it on. That is how the tests see which libraries the loader opened and closed, and in which
// order, although FreeLibrary of a library that stays in use elsewhere unloads nothing.

#include <windows.h>

#include "host.h"
#include "host_trace.h"
#include "platform/utf16.h"

// The program's import slots of the two functions, filled by the system's loader.
extern "C" FARPROC __imp_LoadLibraryExW;
extern "C" FARPROC __imp_FreeLibrary;

namespace {

using LoadLibraryExWFn = HMODULE(WINAPI*)(LPCWSTR, HANDLE, DWORD);
using FreeLibraryFn = BOOL(WINAPI*)(HMODULE);

LoadLibraryExWFn g_load_library = nullptr;
FreeLibraryFn g_free_library = nullptr;

HMODULE WINAPI traced_load_library(LPCWSTR file, HANDLE reserved, DWORD flags) {
    standin::add_library_event(standin::opened_native(platform::NativePath(file == nullptr ? L"(null)" : file)));
    return g_load_library(file, reserved, flags);
}

BOOL WINAPI traced_free_library(HMODULE module) {
    wchar_t path[32768];
    const DWORD length = ::GetModuleFileNameW(module, path, 32768);
    std::wstring name(path, length);
    name.erase(0, name.find_last_of(L"\\/") + 1);
    standin::add_library_event("FreeLibrary " + (length == 0 ? std::string("?") : platform::path_to_utf8(name)));
    return g_free_library(module);
}

template <class Fn>
void redirect(FARPROC& slot, Fn recorder, Fn& original) {
    DWORD protection = 0;
    ::VirtualProtect(&slot, sizeof slot, PAGE_READWRITE, &protection);
    original = reinterpret_cast<Fn>(reinterpret_cast<void*>(slot));
    slot = reinterpret_cast<FARPROC>(reinterpret_cast<void*>(recorder));
    ::VirtualProtect(&slot, sizeof slot, protection, &protection);
}

[[maybe_unused]] const bool g_traced = [] {
    redirect(__imp_LoadLibraryExW, &traced_load_library, g_load_library);
    redirect(__imp_FreeLibrary, &traced_free_library, g_free_library);
    return true;
}();

}  // namespace

namespace standin {

std::string process_id() { return std::to_string(::GetCurrentProcessId()); }

std::string opened_native(const platform::NativePath& path) { return "LoadLibraryExW " + platform::path_to_utf8(path); }

std::string closed(std::string_view stem) { return "FreeLibrary " + platform::library_file_name(stem); }

std::string current_folder_prefix() { return ".\\"; }

bool is_open_failure(const std::string& error, const std::string& path) {
    // The loader shows neither the system's code nor its message.
    return error == "failed to load " + path + ": LoadLibraryExW failed";
}

std::string missing_symbol(std::string_view name) {
    return "missing symbol " + std::string(name) + ": GetProcAddress failed";
}

bool ggml_exports_log_set() { return false; }

void* symbol(platform::ModuleHandle library, const char* name) {
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(library), name));
}

}  // namespace standin
