// How the Windows stand-in ggml.dll logs, as the real one does: through the logger of the
// ggml-base.dll it depends on. The system binds that dependency to the ggml-base.dll in
// ggml.dll's own folder (the loader opens it with LOAD_WITH_ALTERED_SEARCH_PATH), so the message
// goes to the ggml-base.dll of that folder when it is loaded. Without one, the real library could
// not have loaded, and a ggml-base with its default logger writes to standard error.

#include <windows.h>

#include <cstdio>
#include <string>

namespace standin {

void log_through_ggml_base(const char* text) {
    HMODULE self = nullptr;
    wchar_t path[32768];
    if (::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                             reinterpret_cast<LPCWSTR>(&log_through_ggml_base), &self)) {
        std::wstring base(path, ::GetModuleFileNameW(self, path, 32768));
        base.erase(base.find_last_of(L"\\/") + 1);
        base += L"ggml-base.dll";
        if (HMODULE beside = ::GetModuleHandleW(base.c_str())) {
            using LogFn = void (*)(const char*);
            if (auto log = reinterpret_cast<LogFn>(reinterpret_cast<void*>(::GetProcAddress(beside, "standin_ggml_base_log")))) {
                log(text);
                return;
            }
        }
    }
    std::fputs(text, stderr);
}

}  // namespace standin
