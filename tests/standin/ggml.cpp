// Stand-in libggml.so: the log setter and the backend plug-in loader.

#include "common.h"

using namespace standin;

#ifdef STANDIN_GGML_LOGS_THROUGH_BASE
namespace standin {
void log_through_ggml_base(const char* text);  // ggml_log_route_win.cpp
}  // namespace standin
#endif

namespace {
LogSink g_log;

// ggml's own messages. Where ggml has no setter of its own (the Windows placement), they go where
// the real ggml.dll sends them: through ggml-base's logger.
[[maybe_unused]] void emit(const char* text) {
#ifdef STANDIN_GGML_LOGS_THROUGH_BASE
    log_through_ggml_base(text);
#else
    g_log.emit(text);
#endif
}
}  // namespace

#ifndef STANDIN_OMIT_ggml_log_set
STANDIN_API void ggml_log_set(ggml_log_callback log_callback, void* user_data) {
    Line line("ggml_log_set");
    g_log.set(line.arg("lib", "ggml"), log_callback, user_data);
}
static_assert(std::is_same_v<decltype(&ggml_log_set), tarnwick::abi::log_set_fn>);
#endif

#ifndef STANDIN_OMIT_ggml_backend_load_all_from_path
STANDIN_API void ggml_backend_load_all_from_path(const char* dir_path) {
    Line("ggml_backend_load_all_from_path").str("dir_path", dir_path).done();
    emit("load_backend: stand-in backends loaded\n");
}
STANDIN_CHECK_TYPE(ggml_backend_load_all_from_path);
#endif
