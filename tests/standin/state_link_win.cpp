// The state functions of standin.h for Windows stand-ins and test programs: each forwards to
// standin_state.dll, opened by its absolute build path (STANDIN_STATE_DLL) at first use. A copy of
// a stand-in in any folder thus reaches the one state of its process, as the Linux stand-ins do
// through their absolute RUNPATH; the state library needs no place on the search path.

#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "standin.h"

namespace {

HMODULE state_library() {
    static const HMODULE library = [] {
        HMODULE opened = ::LoadLibraryW(STANDIN_STATE_DLL);
        if (opened == nullptr) {
            std::fprintf(stderr, "stand-in: cannot open %ls (error %lu)\n", STANDIN_STATE_DLL, ::GetLastError());
            std::abort();
        }
        return opened;
    }();
    return library;
}

template <class Fn>
Fn state_function(const char* name) {
    const FARPROC found = ::GetProcAddress(state_library(), name);
    if (found == nullptr) {
        std::fprintf(stderr, "stand-in: standin_state.dll lacks %s\n", name);
        std::abort();
    }
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(found));
}

}  // namespace

// Each forwarder resolves its function once.
#define STANDIN_FORWARD(name, result, params, args)                                    \
    extern "C" result name params {                                                    \
        static const auto target = state_function<result(*) params>(#name);            \
        return target args;                                                            \
    }

STANDIN_FORWARD(standin_reset, void, (void), ())
STANDIN_FORWARD(standin_load_script, int, (const char* path), (path))
STANDIN_FORWARD(standin_set, void, (const char* key, const char* value), (key, value))
STANDIN_FORWARD(standin_get, const char*, (const char* key), (key))
STANDIN_FORWARD(standin_record, void, (const char* line), (line))
STANDIN_FORWARD(standin_log_count, size_t, (void), ())
STANDIN_FORWARD(standin_log_line, const char*, (size_t index), (index))
STANDIN_FORWARD(standin_next_name, void, (const char* kind, char out[32]), (kind, out))
STANDIN_FORWARD(standin_count, unsigned long, (const char* kind), (kind))
