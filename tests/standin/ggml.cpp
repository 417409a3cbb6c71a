// Stand-in libggml.so: the log setter and the backend plug-in loader.

#include "common.h"

using namespace standin;

namespace {
LogSink g_log;
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
    g_log.emit("load_backend: stand-in backends loaded\n");
}
STANDIN_CHECK_TYPE(ggml_backend_load_all_from_path);
#endif
