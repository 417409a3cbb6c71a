#include "platform/dynlib.h"

#include <windows.h>

namespace platform {

std::string library_file_name(std::string_view stem) {
    std::string name(stem);
    name.append(".dll");
    return name;
}

Result<ModuleHandle> open_library(const NativePath& path) {
    // A path that the system would cut short at a NUL names some other file.
    if (path.find(L'\0') != NativePath::npos) return fail("LoadLibraryExW failed");
    // A bare name would make the loader search the executable's folder and the system folders;
    // the caller means the file of that name in the current folder, which is what it tested for.
    const bool bare = path.find_first_of(L"\\/:") == NativePath::npos;
    const NativePath opened = bare ? L".\\" + path : path;

    // No critical-error box may stop a server that has no one to click it away. The mode belongs
    // to this thread and is put back afterwards, unless it could not be set or was already this.
    DWORD previous_mode = 0;
    const bool mode_set = ::SetThreadErrorMode(SEM_FAILCRITICALERRORS, &previous_mode) != 0;
    // Cleared first, so that a null result is judged by this call alone.
    ::SetLastError(0);
    HMODULE module = ::LoadLibraryExW(opened.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    const DWORD error = module == nullptr ? ::GetLastError() : 0;
    if (mode_set && previous_mode != SEM_FAILCRITICALERRORS) ::SetThreadErrorMode(previous_mode, nullptr);

    if (module != nullptr) return static_cast<ModuleHandle>(module);
    if (error == 0) return fail("LoadLibraryExW failed, but system did not report the error");
    return fail("LoadLibraryExW failed");
}

Result<void*> find_symbol(ModuleHandle module, const char* name) {
    ::SetLastError(0);
    const FARPROC address = ::GetProcAddress(static_cast<HMODULE>(module), name);
    if (address != nullptr) return reinterpret_cast<void*>(address);
    if (::GetLastError() == 0) return fail("GetProcAddress failed, but system did not report the error");
    return fail("GetProcAddress failed");
}

void close_library(ModuleHandle module) noexcept { ::FreeLibrary(static_cast<HMODULE>(module)); }

}  // namespace platform
