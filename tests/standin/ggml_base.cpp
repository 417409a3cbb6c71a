// Stand-in libggml-base.so: only the log setter, recorded apart from libggml's own.

#include "common.h"

using namespace standin;

namespace {
LogSink g_log;
}  // namespace

STANDIN_API void ggml_log_set(ggml_log_callback log_callback, void* user_data) {
    Line line("ggml_log_set");
    g_log.set(line.arg("lib", "ggml-base"), log_callback, user_data);
    if (log_callback != nullptr) log_callback(GGML_LOG_LEVEL_INFO, "ggml-base: logger set\n", user_data);
}
static_assert(std::is_same_v<decltype(&ggml_log_set), tarnwick::abi::log_set_fn>);

#ifdef STANDIN_GGML_LOGS_THROUGH_BASE
// Where ggml.dll's own messages go when it has no setter of its own (ggml_log_route_win.cpp).
STANDIN_API void standin_ggml_base_log(const char* text) { g_log.emit(text); }
#endif
