#pragma once
// The engine's table of inference-library functions and the block that shares it. Internal to
// the engine: the server reaches the table only through LibraryRef (tarnwick.h).

#include <atomic>
#include <cstddef>
#include <optional>

#include "platform/dynlib.h"
#include "tarnwick/llama_abi.h"
#include "tarnwick/tarnwick.h"

namespace tarnwick {

// The 34 functions the engine calls after loading, in resolution order (21 from llama, then 13
// from mtmd), then the module handles in the order they were opened. Written once by
// load_engine_library, read-only afterwards.
struct EngineLibrary {
    abi::llama_backend_init_fn llama_backend_init;
    abi::llama_model_default_params_fn llama_model_default_params;
    abi::llama_model_load_from_file_fn llama_model_load_from_file;
    abi::llama_model_free_fn llama_model_free;
    abi::llama_context_default_params_fn llama_context_default_params;
    abi::llama_init_from_model_fn llama_init_from_model;
    abi::llama_free_fn llama_free;
    abi::llama_n_ctx_fn llama_n_ctx;
    abi::llama_model_get_vocab_fn llama_model_get_vocab;
    abi::llama_token_to_piece_fn llama_token_to_piece;
    abi::llama_vocab_is_eog_fn llama_vocab_is_eog;
    abi::llama_batch_get_one_fn llama_batch_get_one;
    abi::llama_decode_fn llama_decode;
    abi::llama_get_memory_fn llama_get_memory;
    abi::llama_memory_clear_fn llama_memory_clear;
    abi::llama_sampler_chain_default_params_fn llama_sampler_chain_default_params;
    abi::llama_sampler_chain_init_fn llama_sampler_chain_init;
    abi::llama_sampler_chain_add_fn llama_sampler_chain_add;
    abi::llama_sampler_init_greedy_fn llama_sampler_init_greedy;
    abi::llama_sampler_sample_fn llama_sampler_sample;
    abi::llama_sampler_free_fn llama_sampler_free;
    abi::mtmd_context_params_default_fn mtmd_context_params_default;
    abi::mtmd_init_from_file_fn mtmd_init_from_file;
    abi::mtmd_free_fn mtmd_free;
    abi::mtmd_default_marker_fn mtmd_default_marker;
    abi::mtmd_input_chunks_init_fn mtmd_input_chunks_init;
    abi::mtmd_input_chunks_free_fn mtmd_input_chunks_free;
    abi::mtmd_tokenize_fn mtmd_tokenize;
    abi::mtmd_bitmap_free_fn mtmd_bitmap_free;
    abi::mtmd_bitmap_init_fn mtmd_bitmap_init;
    abi::mtmd_helper_bitmap_init_from_buf_fn mtmd_helper_bitmap_init_from_buf;
    abi::mtmd_helper_eval_chunks_fn mtmd_helper_eval_chunks;
    abi::mtmd_helper_get_n_tokens_fn mtmd_helper_get_n_tokens;
    abi::mtmd_helper_video_free_fn mtmd_helper_video_free;

    platform::ModuleHandle ggml;
    platform::ModuleHandle llama;
    platform::ModuleHandle mtmd;
};

// One shared table: the holders (strong) and the block itself (weak, 1 while any holder
// exists; nothing takes a weak reference). Made with both counts 1.
struct LibraryRef::Block {
    std::atomic<std::size_t> strong{1};
    std::atomic<std::size_t> weak{1};
    EngineLibrary table{};
};

// Opens one library as the required ones are opened; any failure gives nothing and no text.
std::optional<platform::ModuleHandle> load_optional_library(const NativePath& path);

// A log callback that ignores everything: installed to keep the libraries quiet.
extern "C" void quiet_log(ggml_log_level level, const char* text, void* user_data);

}  // namespace tarnwick
