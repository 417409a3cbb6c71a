#pragma once
// Our own declarations of the llama.cpp C interface that the engine binds at run time.
//
// Bound version: llama.cpp upstream commit 82bb48500 (2026-08-07), the first with GLM-OCR and
// with mtmd_helper_bitmap_init_from_buf returning the bitmap-wrapper record. The engine never
// includes llama.cpp's headers and never links its libraries; every function is reached through
// an address resolved with dlsym, so the layouts below must match that build byte for byte. The
// static_asserts hold the sizes of every struct and the offsets of every field we set or read.
//
// Parameter structs are passed and returned by value (the default-params functions, model and
// context creation, llama_batch), so the function-pointer types use the real struct types and
// the compiler lowers them exactly as the library's own callers do.
//
// Enum-typed fields that the engine never names are declared as int32_t: the C enums are
// int-sized, so the layout is the same.

#include <cstddef>
#include <cstdint>

// Opaque handles: only ever held as pointers.
struct ggml_backend_device;
struct ggml_tensor;
struct llama_model;
struct llama_vocab;
struct llama_context;
struct llama_sampler;
struct llama_memory_i;
struct llama_model_tensor_buft_override;
struct llama_model_kv_override;
struct llama_sampler_seq_config;
struct mtmd_context;
struct mtmd_bitmap;
struct mtmd_input_chunks;
struct mtmd_helper_video;

using llama_token = std::int32_t;
using llama_pos = std::int32_t;
using llama_seq_id = std::int32_t;
using llama_memory_t = llama_memory_i*;
using ggml_backend_dev_t = ggml_backend_device*;

enum ggml_log_level : int {
    GGML_LOG_LEVEL_NONE = 0,
    GGML_LOG_LEVEL_DEBUG = 1,
    GGML_LOG_LEVEL_INFO = 2,
    GGML_LOG_LEVEL_WARN = 3,
    GGML_LOG_LEVEL_ERROR = 4,
    GGML_LOG_LEVEL_CONT = 5,
};

enum llama_flash_attn_type : int {
    LLAMA_FLASH_ATTN_TYPE_AUTO = -1,
    LLAMA_FLASH_ATTN_TYPE_DISABLED = 0,
    LLAMA_FLASH_ATTN_TYPE_ENABLED = 1,
};

inline constexpr llama_token LLAMA_TOKEN_NULL = -1;

extern "C" {
using ggml_log_callback = void (*)(ggml_log_level level, const char* text, void* user_data);
using llama_progress_callback = bool (*)(float progress, void* user_data);
using mtmd_progress_callback = bool (*)(float progress, void* user_data);
using ggml_backend_sched_eval_callback = bool (*)(ggml_tensor* t, bool ask, void* user_data);
using ggml_abort_callback = bool (*)(void* data);
}

struct llama_model_params {
    ggml_backend_dev_t* devices;
    const llama_model_tensor_buft_override* tensor_buft_overrides;
    std::int32_t n_gpu_layers;
    std::int32_t split_mode;  // enum llama_split_mode
    std::int32_t load_mode;   // enum llama_load_mode
    std::int32_t main_gpu;
    const float* tensor_split;
    llama_progress_callback progress_callback;
    void* progress_callback_user_data;
    const llama_model_kv_override* kv_overrides;
    bool vocab_only;
    bool check_tensors;
    bool use_extra_bufts;
    bool no_host;
    bool no_alloc;
    bool load_mtp;
};

struct llama_context_params {
    std::uint32_t n_ctx;
    std::uint32_t n_batch;
    std::uint32_t n_ubatch;
    std::uint32_t n_seq_max;
    std::uint32_t n_rs_seq;
    std::uint32_t n_outputs_max;
    std::int32_t n_threads;
    std::int32_t n_threads_batch;
    std::int32_t ctx_type;           // enum llama_context_type
    std::int32_t rope_scaling_type;  // enum llama_rope_scaling_type
    std::int32_t pooling_type;       // enum llama_pooling_type
    std::int32_t attention_type;     // enum llama_attention_type
    llama_flash_attn_type flash_attn_type;
    float rope_freq_base;
    float rope_freq_scale;
    float yarn_ext_factor;
    float yarn_attn_factor;
    float yarn_beta_fast;
    float yarn_beta_slow;
    std::uint32_t yarn_orig_ctx;
    float defrag_thold;
    ggml_backend_sched_eval_callback cb_eval;
    void* cb_eval_user_data;
    std::int32_t type_k;  // enum ggml_type
    std::int32_t type_v;  // enum ggml_type
    ggml_abort_callback abort_callback;
    void* abort_callback_data;
    bool embeddings;
    bool offload_kqv;
    bool no_perf;
    bool op_offload;
    bool swa_full;
    bool kv_unified;
    llama_sampler_seq_config* samplers;
    std::size_t n_samplers;
    llama_context* ctx_other;
};

struct llama_sampler_chain_params {
    bool no_perf;
};

struct llama_batch {
    std::int32_t n_tokens;
    llama_token* token;
    float* embd;
    llama_pos* pos;
    std::int32_t* n_seq_id;
    llama_seq_id** seq_id;
    std::int8_t* logits;
};

struct mtmd_context_params {
    bool use_gpu;
    bool print_timings;
    int n_threads;
    const char* image_marker;
    const char* media_marker;
    llama_flash_attn_type flash_attn_type;
    bool warmup;
    int image_min_tokens;
    int image_max_tokens;
    ggml_backend_sched_eval_callback cb_eval;
    void* cb_eval_user_data;
    std::int32_t batch_max_tokens;
    mtmd_progress_callback progress_callback;
    void* progress_callback_user_data;
};

struct mtmd_input_text {
    const char* text;
    std::size_t text_len;
    bool add_special;
    bool parse_special;
};

struct mtmd_helper_bitmap_wrapper {
    mtmd_bitmap* bitmap;
    mtmd_helper_video* video_ctx;
};

// The layouts measured on a build of the bound version (x86-64 LP64; Windows x64 is the same).
static_assert(sizeof(void*) == 8, "the bound layouts are those of a 64-bit target");
static_assert(sizeof(ggml_log_level) == 4 && sizeof(llama_flash_attn_type) == 4);

static_assert(sizeof(llama_model_params) == 72 && alignof(llama_model_params) == 8);
static_assert(offsetof(llama_model_params, n_gpu_layers) == 16);
static_assert(offsetof(llama_model_params, kv_overrides) == 56);
static_assert(offsetof(llama_model_params, vocab_only) == 64);
static_assert(offsetof(llama_model_params, load_mtp) == 69);

static_assert(sizeof(llama_context_params) == 160 && alignof(llama_context_params) == 8);
static_assert(offsetof(llama_context_params, n_ctx) == 0);
static_assert(offsetof(llama_context_params, n_batch) == 4);
static_assert(offsetof(llama_context_params, n_threads) == 24);
static_assert(offsetof(llama_context_params, n_threads_batch) == 28);
static_assert(offsetof(llama_context_params, flash_attn_type) == 48);
static_assert(offsetof(llama_context_params, defrag_thold) == 80);
static_assert(offsetof(llama_context_params, cb_eval) == 88);
static_assert(offsetof(llama_context_params, type_k) == 104);
static_assert(offsetof(llama_context_params, abort_callback) == 112);
static_assert(offsetof(llama_context_params, embeddings) == 128);
static_assert(offsetof(llama_context_params, kv_unified) == 133);
static_assert(offsetof(llama_context_params, samplers) == 136);
static_assert(offsetof(llama_context_params, ctx_other) == 152);

static_assert(sizeof(llama_sampler_chain_params) == 1);

static_assert(sizeof(llama_batch) == 56 && alignof(llama_batch) == 8);
static_assert(offsetof(llama_batch, n_tokens) == 0);
static_assert(offsetof(llama_batch, token) == 8);
static_assert(offsetof(llama_batch, logits) == 48);

static_assert(sizeof(mtmd_context_params) == 80 && alignof(mtmd_context_params) == 8);
static_assert(offsetof(mtmd_context_params, use_gpu) == 0);
static_assert(offsetof(mtmd_context_params, n_threads) == 4);
static_assert(offsetof(mtmd_context_params, media_marker) == 16);
static_assert(offsetof(mtmd_context_params, warmup) == 28);
static_assert(offsetof(mtmd_context_params, image_max_tokens) == 36);
static_assert(offsetof(mtmd_context_params, batch_max_tokens) == 56);
static_assert(offsetof(mtmd_context_params, progress_callback_user_data) == 72);

static_assert(sizeof(mtmd_input_text) == 24 && alignof(mtmd_input_text) == 8);
static_assert(offsetof(mtmd_input_text, text) == 0);
static_assert(offsetof(mtmd_input_text, text_len) == 8);
static_assert(offsetof(mtmd_input_text, add_special) == 16);
static_assert(offsetof(mtmd_input_text, parse_special) == 17);

static_assert(sizeof(mtmd_helper_bitmap_wrapper) == 16);
static_assert(offsetof(mtmd_helper_bitmap_wrapper, bitmap) == 0);

// The functions, as the engine calls them.
namespace tarnwick::abi {
extern "C" {
// Slots of the function table, in slot order.
using llama_backend_init_fn = void (*)();
using llama_model_default_params_fn = llama_model_params (*)();
using llama_model_load_from_file_fn = llama_model* (*)(const char* path_model, llama_model_params params);
using llama_model_free_fn = void (*)(llama_model* model);
using llama_context_default_params_fn = llama_context_params (*)();
using llama_init_from_model_fn = llama_context* (*)(llama_model* model, llama_context_params params);
using llama_free_fn = void (*)(llama_context* ctx);
using llama_n_ctx_fn = std::uint32_t (*)(const llama_context* ctx);
using llama_model_get_vocab_fn = const llama_vocab* (*)(const llama_model* model);
using llama_token_to_piece_fn = std::int32_t (*)(const llama_vocab* vocab, llama_token token, char* buf,
                                                 std::int32_t length, std::int32_t lstrip, bool special);
using llama_vocab_is_eog_fn = bool (*)(const llama_vocab* vocab, llama_token token);
using llama_batch_get_one_fn = llama_batch (*)(llama_token* tokens, std::int32_t n_tokens);
using llama_decode_fn = std::int32_t (*)(llama_context* ctx, llama_batch batch);
using llama_get_memory_fn = llama_memory_t (*)(const llama_context* ctx);
using llama_memory_clear_fn = void (*)(llama_memory_t mem, bool data);
using llama_sampler_chain_default_params_fn = llama_sampler_chain_params (*)();
using llama_sampler_chain_init_fn = llama_sampler* (*)(llama_sampler_chain_params params);
using llama_sampler_chain_add_fn = void (*)(llama_sampler* chain, llama_sampler* smpl);
using llama_sampler_init_greedy_fn = llama_sampler* (*)();
using llama_sampler_sample_fn = llama_token (*)(llama_sampler* smpl, llama_context* ctx, std::int32_t idx);
using llama_sampler_free_fn = void (*)(llama_sampler* smpl);
using mtmd_context_params_default_fn = mtmd_context_params (*)();
using mtmd_init_from_file_fn = mtmd_context* (*)(const char* mmproj_fname, const llama_model* text_model,
                                                 const mtmd_context_params ctx_params);
using mtmd_free_fn = void (*)(mtmd_context* ctx);
using mtmd_default_marker_fn = const char* (*)();
using mtmd_input_chunks_init_fn = mtmd_input_chunks* (*)();
using mtmd_input_chunks_free_fn = void (*)(mtmd_input_chunks* chunks);
using mtmd_tokenize_fn = std::int32_t (*)(mtmd_context* ctx, mtmd_input_chunks* output, const mtmd_input_text* text,
                                          const mtmd_bitmap** bitmaps, std::size_t n_bitmaps);
using mtmd_bitmap_free_fn = void (*)(mtmd_bitmap* bitmap);
using mtmd_bitmap_init_fn = mtmd_bitmap* (*)(std::uint32_t nx, std::uint32_t ny, const unsigned char* data);
using mtmd_helper_bitmap_init_from_buf_fn = mtmd_helper_bitmap_wrapper (*)(mtmd_context* ctx, const unsigned char* buf,
                                                                           std::size_t len, bool placeholder);
using mtmd_helper_eval_chunks_fn = std::int32_t (*)(mtmd_context* ctx, llama_context* lctx,
                                                    const mtmd_input_chunks* chunks, llama_pos n_past,
                                                    llama_seq_id seq_id, std::int32_t n_batch, bool logits_last,
                                                    llama_pos* new_n_past);
using mtmd_helper_get_n_tokens_fn = std::size_t (*)(const mtmd_input_chunks* chunks);
using mtmd_helper_video_free_fn = void (*)(mtmd_helper_video* ctx);

// Called by the loader only: the log setters (llama_log_set, mtmd_log_set, mtmd_helper_log_set,
// ggml_log_set all share this type) and ggml's backend plug-in loader.
using log_set_fn = void (*)(ggml_log_callback log_callback, void* user_data);
using ggml_backend_load_all_from_path_fn = void (*)(const char* dir_path);
}
}  // namespace tarnwick::abi
