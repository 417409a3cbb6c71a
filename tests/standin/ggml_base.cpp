// Stand-in libggml-base.so: only the log setter, recorded apart from libggml's own.

#include "common.h"

using namespace standin;

STANDIN_API void ggml_log_set(ggml_log_callback log_callback, void* user_data) {
    Line("ggml_log_set").arg("lib", "ggml-base").arg("callback", fn_state(log_callback)).ptr("user_data", user_data).done();
    if (log_callback != nullptr) log_callback(GGML_LOG_LEVEL_INFO, "ggml-base: logger set\n", user_data);
}
static_assert(std::is_same_v<decltype(&ggml_log_set), tarnwick::abi::log_set_fn>);
