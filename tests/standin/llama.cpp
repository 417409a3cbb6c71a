// Stand-in libllama.so: the 21 llama functions of the engine's table and llama_log_set.
// Each call is recorded with its arguments; results follow the script (README.md).

#include <limits>
#include <new>
#include <sys/stat.h>

#include "common.h"

using namespace standin;

namespace {

LogSink g_log;

std::string describe(const llama_model_params& p) {
    Line l("");
    l.ptr("devices", p.devices).ptr("tensor_buft_overrides", p.tensor_buft_overrides).num("n_gpu_layers", p.n_gpu_layers)
        .num("split_mode", p.split_mode).num("load_mode", p.load_mode).num("main_gpu", p.main_gpu)
        .ptr("tensor_split", p.tensor_split).arg("progress_callback", fn_state(p.progress_callback))
        .ptr("progress_callback_user_data", p.progress_callback_user_data).ptr("kv_overrides", p.kv_overrides)
        .num("vocab_only", p.vocab_only).num("check_tensors", p.check_tensors).num("use_extra_bufts", p.use_extra_bufts)
        .num("no_host", p.no_host).num("no_alloc", p.no_alloc).num("load_mtp", p.load_mtp);
    return l.text().substr(1);
}

std::string describe(const llama_context_params& p) {
    Line l("");
    l.num("n_ctx", p.n_ctx).num("n_batch", p.n_batch).num("n_ubatch", p.n_ubatch).num("n_seq_max", p.n_seq_max)
        .num("n_rs_seq", p.n_rs_seq).num("n_outputs_max", p.n_outputs_max).num("n_threads", p.n_threads)
        .num("n_threads_batch", p.n_threads_batch).num("ctx_type", p.ctx_type).num("rope_scaling_type", p.rope_scaling_type)
        .num("pooling_type", p.pooling_type).num("attention_type", p.attention_type)
        .num("flash_attn_type", static_cast<int>(p.flash_attn_type)).num("rope_freq_base", p.rope_freq_base)
        .num("rope_freq_scale", p.rope_freq_scale).num("yarn_ext_factor", p.yarn_ext_factor)
        .num("yarn_attn_factor", p.yarn_attn_factor).num("yarn_beta_fast", p.yarn_beta_fast)
        .num("yarn_beta_slow", p.yarn_beta_slow).num("yarn_orig_ctx", p.yarn_orig_ctx).num("defrag_thold", p.defrag_thold)
        .arg("cb_eval", fn_state(p.cb_eval)).ptr("cb_eval_user_data", p.cb_eval_user_data).num("type_k", p.type_k)
        .num("type_v", p.type_v).arg("abort_callback", fn_state(p.abort_callback))
        .ptr("abort_callback_data", p.abort_callback_data).num("embeddings", p.embeddings)
        .num("offload_kqv", p.offload_kqv).num("no_perf", p.no_perf).num("op_offload", p.op_offload)
        .num("swa_full", p.swa_full).num("kv_unified", p.kv_unified).ptr("samplers", p.samplers)
        .num("n_samplers", p.n_samplers).obj("ctx_other", p.ctx_other);
    return l.text().substr(1);
}

}  // namespace

STANDIN_API void llama_log_set(ggml_log_callback log_callback, void* user_data) {
    Line line("llama_log_set");
    g_log.set(line, log_callback, user_data);
}
static_assert(std::is_same_v<decltype(&llama_log_set), tarnwick::abi::log_set_fn>);

STANDIN_API void llama_backend_init(void) { Line("llama_backend_init").done(); }
STANDIN_CHECK_TYPE(llama_backend_init);

// The defaults of the bound version, as its library returns them.
STANDIN_API llama_model_params llama_model_default_params(void) {
    Line("llama_model_default_params").done();
    llama_model_params p{};
    p.n_gpu_layers = -1;
    p.split_mode = 1;
    p.load_mode = 1;
    p.use_extra_bufts = true;
    if (script_is("odd_defaults", "1")) p.n_gpu_layers = 77;
    return p;
}
STANDIN_CHECK_TYPE(llama_model_default_params);

STANDIN_API llama_model* llama_model_load_from_file(const char* path_model, llama_model_params params) {
    Line line("llama_model_load_from_file");
    line.str("path", path_model).arg("params", "{" + describe(params) + "}");
    g_log.emit("llama_model_loader: stand-in model\n");
    // "needs_file" fails as the real loader does for a path that names no file, so a test can
    // make a load succeed later by creating the file.
    struct stat info {};
    const bool missing = path_model == nullptr || ::stat(path_model, &info) != 0;
    // "out_of_memory": an allocation fails inside the loader, which catches what it throws and
    // gives no model, as the real one does.
    if (script_is("model_load", "out_of_memory")) {
        try {
            ::operator delete(::operator new(std::numeric_limits<std::size_t>::max() / 4));
        } catch (const std::bad_alloc&) {
            line.done("null");
            return nullptr;
        }
    }
    if (script_is("model_load", "fail") || (script_is("model_load", "needs_file") && missing)) {
        line.done("null");
        return nullptr;
    }
    Model* model = make<Model>("model");
    model->vocab = make<Vocab>("vocab");
    line.done(model->name);
    return reinterpret_cast<llama_model*>(model);
}
STANDIN_CHECK_TYPE(llama_model_load_from_file);

STANDIN_API void llama_model_free(llama_model* model) {
    Line("llama_model_free").obj("model", model).done();
    auto* m = reinterpret_cast<Model*>(model);
    if (m == nullptr) return;
    delete m->vocab;
    delete m;
}
STANDIN_CHECK_TYPE(llama_model_free);

STANDIN_API llama_context_params llama_context_default_params(void) {
    Line("llama_context_default_params").done();
    llama_context_params p{};
    p.n_ctx = 512;
    p.n_batch = 2048;
    p.n_ubatch = 512;
    p.n_seq_max = 1;
    p.n_threads = 4;
    p.n_threads_batch = 4;
    p.rope_scaling_type = -1;
    p.pooling_type = -1;
    p.attention_type = -1;
    p.flash_attn_type = LLAMA_FLASH_ATTN_TYPE_AUTO;
    p.yarn_ext_factor = -1;
    p.yarn_attn_factor = -1;
    p.yarn_beta_fast = -1;
    p.yarn_beta_slow = -1;
    p.defrag_thold = -1;
    p.type_k = 1;
    p.type_v = 1;
    p.offload_kqv = true;
    p.no_perf = true;
    p.op_offload = true;
    p.swa_full = true;
    if (script_is("odd_defaults", "1")) p.n_ctx = p.n_batch = 77, p.n_threads = p.n_threads_batch = 77;
    return p;
}
STANDIN_CHECK_TYPE(llama_context_default_params);

STANDIN_API llama_context* llama_init_from_model(llama_model* model, llama_context_params params) {
    Line line("llama_init_from_model");
    line.obj("model", model).arg("params", "{" + describe(params) + "}");
    if (script_is("context_init", "fail")) {
        line.done("null");
        return nullptr;
    }
    Context* ctx = make<Context>("ctx");
    ctx->n_ctx = params.n_ctx;
    ctx->memory = make<Memory>("memory");
    line.done(ctx->name);
    return reinterpret_cast<llama_context*>(ctx);
}
STANDIN_CHECK_TYPE(llama_init_from_model);

STANDIN_API void llama_free(llama_context* ctx) {
    Line("llama_free").obj("ctx", ctx).done();
    auto* c = reinterpret_cast<Context*>(ctx);
    if (c == nullptr) return;
    delete c->memory;
    delete c;
}
STANDIN_CHECK_TYPE(llama_free);

#ifndef STANDIN_OMIT_llama_n_ctx
STANDIN_API std::uint32_t llama_n_ctx(const llama_context* ctx) {
    const auto* c = reinterpret_cast<const Context*>(ctx);
    const auto n = static_cast<std::uint32_t>(script_int("n_ctx", c == nullptr ? 0 : c->n_ctx));
    Line("llama_n_ctx").obj("ctx", ctx).done(std::to_string(n));
    return n;
}
STANDIN_CHECK_TYPE(llama_n_ctx);
#endif

STANDIN_API const llama_vocab* llama_model_get_vocab(const llama_model* model) {
    const auto* m = reinterpret_cast<const Model*>(model);
    Line("llama_model_get_vocab").obj("model", model).done(name_of(m == nullptr ? nullptr : m->vocab));
    return reinterpret_cast<const llama_vocab*>(m == nullptr ? nullptr : m->vocab);
}
STANDIN_CHECK_TYPE(llama_model_get_vocab);

// The piece of a token is script "piece.<token>" (default empty). It returns the byte count,
// or minus the count when it does not fit; "piece_n.<token>" overrides the returned number.
STANDIN_API std::int32_t llama_token_to_piece(const llama_vocab* vocab, llama_token token, char* buf,
                                              std::int32_t length, std::int32_t lstrip, bool special) {
    const char* piece = script(script_key("piece.", token).c_str());
    const std::string bytes = piece == nullptr ? std::string() : std::string(piece);
    const auto size = static_cast<std::int32_t>(bytes.size());
    std::int32_t n = size <= length ? size : -size;
    n = static_cast<std::int32_t>(script_int(script_key("piece_n.", token).c_str(), n));
    if (length > 0) std::memcpy(buf, bytes.data(), static_cast<std::size_t>(size < length ? size : length));
    Line("llama_token_to_piece").obj("vocab", vocab).num("token", token).num("length", length).num("lstrip", lstrip)
        .num("special", special).done(std::to_string(n));
    return n;
}
STANDIN_CHECK_TYPE(llama_token_to_piece);

// End-of-generation tokens: script "eog" as "2,7" (default 2).
STANDIN_API bool llama_vocab_is_eog(const llama_vocab* vocab, llama_token token) {
    bool eog = false;
    for (long long t : script_list("eog", "2")) eog = eog || t == token;
    Line("llama_vocab_is_eog").obj("vocab", vocab).num("token", token).done(eog ? "1" : "0");
    return eog;
}
STANDIN_CHECK_TYPE(llama_vocab_is_eog);

STANDIN_API llama_batch llama_batch_get_one(llama_token* tokens, std::int32_t n_tokens) {
    Line line("llama_batch_get_one");
    line.num("n_tokens", n_tokens);
    if (tokens != nullptr && n_tokens >= 1) line.num("token", tokens[0]);
    line.done();
    llama_batch batch{};
    batch.n_tokens = n_tokens;
    batch.token = tokens;
    return batch;
}
STANDIN_CHECK_TYPE(llama_batch_get_one);

#ifndef STANDIN_OMIT_llama_decode
// The k-th decode since the reset gives script "decode_rc.<k>" (default 0). The token is read
// through the batch's pointer here, at decode time.
STANDIN_API std::int32_t llama_decode(llama_context* ctx, llama_batch batch) {
    const unsigned long k = standin_count("decode");
    const auto rc = static_cast<std::int32_t>(script_int(script_key("decode_rc.", static_cast<long long>(k)).c_str(), 0));
    Line line("llama_decode");
    line.obj("ctx", ctx).num("n_tokens", batch.n_tokens);
    if (batch.token != nullptr && batch.n_tokens >= 1) line.num("token", batch.token[0]);
    line.done(std::to_string(rc));
    auto* c = reinterpret_cast<Context*>(ctx);
    if (rc == 0 && c != nullptr) c->memory->positions += batch.n_tokens;
    return rc;
}
STANDIN_CHECK_TYPE(llama_decode);
#endif

STANDIN_API llama_memory_t llama_get_memory(const llama_context* ctx) {
    const auto* c = reinterpret_cast<const Context*>(ctx);
    Memory* memory = c == nullptr ? nullptr : c->memory;
    Line("llama_get_memory").obj("ctx", ctx).done(name_of(memory));
    return reinterpret_cast<llama_memory_t>(memory);
}
STANDIN_CHECK_TYPE(llama_get_memory);

STANDIN_API void llama_memory_clear(llama_memory_t mem, bool data) {
    auto* memory = reinterpret_cast<Memory*>(mem);
    Line("llama_memory_clear").obj("mem", mem).num("data", data)
        .num("positions", memory == nullptr ? 0 : memory->positions).done();
    if (memory != nullptr) memory->positions = 0;
}
STANDIN_CHECK_TYPE(llama_memory_clear);

STANDIN_API llama_sampler_chain_params llama_sampler_chain_default_params(void) {
    Line("llama_sampler_chain_default_params").done();
    return llama_sampler_chain_params{true};
}
STANDIN_CHECK_TYPE(llama_sampler_chain_default_params);

STANDIN_API llama_sampler* llama_sampler_chain_init(llama_sampler_chain_params params) {
    Sampler* chain = make<Sampler>("sampler");
    Line("llama_sampler_chain_init").num("no_perf", params.no_perf).done(chain->name);
    return reinterpret_cast<llama_sampler*>(chain);
}
STANDIN_CHECK_TYPE(llama_sampler_chain_init);

STANDIN_API void llama_sampler_chain_add(llama_sampler* chain, llama_sampler* smpl) {
    Line("llama_sampler_chain_add").obj("chain", chain).obj("smpl", smpl).done();
    if (chain != nullptr && smpl != nullptr) reinterpret_cast<Sampler*>(chain)->owned.push_back(reinterpret_cast<Sampler*>(smpl));
}
STANDIN_CHECK_TYPE(llama_sampler_chain_add);

STANDIN_API llama_sampler* llama_sampler_init_greedy(void) {
    Sampler* greedy = make<Sampler>("sampler");
    Line("llama_sampler_init_greedy").done(greedy->name);
    return reinterpret_cast<llama_sampler*>(greedy);
}
STANDIN_CHECK_TYPE(llama_sampler_init_greedy);

// The k-th sample since the reset gives the k-th entry of script "tokens" ("5,6,7"); after the
// list, script "token_default", else the first end-of-generation token.
STANDIN_API llama_token llama_sampler_sample(llama_sampler* smpl, llama_context* ctx, std::int32_t idx) {
    const unsigned long k = standin_count("sample");
    const std::vector<long long> tokens = script_list("tokens");
    const std::vector<long long> eog = script_list("eog", "2");
    const long long after = script_int("token_default", eog.empty() ? -1 : eog[0]);
    const long long token = k <= tokens.size() ? tokens[k - 1] : after;
    Line("llama_sampler_sample").obj("smpl", smpl).obj("ctx", ctx).num("idx", idx).done(std::to_string(token));
    return static_cast<llama_token>(token);
}
STANDIN_CHECK_TYPE(llama_sampler_sample);

STANDIN_API void llama_sampler_free(llama_sampler* smpl) {
    Line("llama_sampler_free").obj("smpl", smpl).done();
    auto* s = reinterpret_cast<Sampler*>(smpl);
    if (s == nullptr) return;
    for (Sampler* owned : s->owned) delete owned;
    delete s;
}
STANDIN_CHECK_TYPE(llama_sampler_free);
