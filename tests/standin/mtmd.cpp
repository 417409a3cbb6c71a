// Stand-in libmtmd.so: the 13 mtmd functions of the engine's table and the two log setters.
// Each call is recorded with its arguments; results follow the script (README.md).

#include "common.h"

using namespace standin;

namespace {

LogSink g_log;

std::string describe(const mtmd_context_params& p) {
    Line l("");
    l.num("use_gpu", p.use_gpu).num("print_timings", p.print_timings).num("n_threads", p.n_threads)
        .str("image_marker", p.image_marker).str("media_marker", p.media_marker)
        .num("flash_attn_type", static_cast<int>(p.flash_attn_type)).num("warmup", p.warmup)
        .num("image_min_tokens", p.image_min_tokens).num("image_max_tokens", p.image_max_tokens)
        .arg("cb_eval", fn_state(p.cb_eval)).ptr("cb_eval_user_data", p.cb_eval_user_data)
        .num("batch_max_tokens", p.batch_max_tokens).arg("progress_callback", fn_state(p.progress_callback))
        .ptr("progress_callback_user_data", p.progress_callback_user_data);
    return l.text().substr(1);
}

Bitmap* make_bitmap(std::uint32_t nx, std::uint32_t ny) {
    Bitmap* bitmap = make<Bitmap>("bitmap");
    bitmap->nx = nx;
    bitmap->ny = ny;
    return bitmap;
}

}  // namespace

STANDIN_API void mtmd_log_set(ggml_log_callback log_callback, void* user_data) {
    Line line("mtmd_log_set");
    g_log.set(line, log_callback, user_data);
}
static_assert(std::is_same_v<decltype(&mtmd_log_set), tarnwick::abi::log_set_fn>);

#ifndef STANDIN_OMIT_mtmd_helper_log_set
STANDIN_API void mtmd_helper_log_set(ggml_log_callback log_callback, void* user_data) {
    Line("mtmd_helper_log_set").arg("callback", fn_state(log_callback)).ptr("user_data", user_data).done();
}
static_assert(std::is_same_v<decltype(&mtmd_helper_log_set), tarnwick::abi::log_set_fn>);
#endif

STANDIN_API mtmd_context_params mtmd_context_params_default(void) {
    Line("mtmd_context_params_default").done();
    mtmd_context_params p{};
    p.use_gpu = true;
    p.print_timings = true;
    p.n_threads = 4;
    p.media_marker = "<__media__>";
    p.flash_attn_type = LLAMA_FLASH_ATTN_TYPE_AUTO;
    p.warmup = true;
    p.image_min_tokens = -1;
    p.image_max_tokens = -1;
    p.batch_max_tokens = 1024;
    if (script_is("odd_defaults", "1")) p.use_gpu = !p.use_gpu, p.n_threads = p.image_max_tokens = 77;
    return p;
}
STANDIN_CHECK_TYPE(mtmd_context_params_default);

STANDIN_API mtmd_context* mtmd_init_from_file(const char* mmproj_fname, const llama_model* text_model,
                                              const mtmd_context_params ctx_params) {
    Line line("mtmd_init_from_file");
    line.str("path", mmproj_fname).obj("model", text_model).arg("params", "{" + describe(ctx_params) + "}");
    g_log.emit("clip_model_loader: stand-in projector\n");
    if (script_is("mtmd_init", "fail")) {
        line.done("null");
        return nullptr;
    }
    Mtmd* ctx = make<Mtmd>("mtmd");
    line.done(ctx->name);
    return reinterpret_cast<mtmd_context*>(ctx);
}
STANDIN_CHECK_TYPE(mtmd_init_from_file);

STANDIN_API void mtmd_free(mtmd_context* ctx) {
    Line("mtmd_free").obj("ctx", ctx).done();
    delete reinterpret_cast<Mtmd*>(ctx);
}
STANDIN_CHECK_TYPE(mtmd_free);

// Script "marker" (raw bytes), default "<__media__>".
STANDIN_API const char* mtmd_default_marker(void) {
    const char* marker = script("marker");
    if (marker == nullptr) marker = "<__media__>";
    Line("mtmd_default_marker").done('"' + escape_bytes(marker) + '"');
    return marker;
}
STANDIN_CHECK_TYPE(mtmd_default_marker);

STANDIN_API mtmd_input_chunks* mtmd_input_chunks_init(void) {
    if (script_is("chunks_init", "fail")) {
        Line("mtmd_input_chunks_init").done("null");
        return nullptr;
    }
    Chunks* chunks = make<Chunks>("chunks");
    Line("mtmd_input_chunks_init").done(chunks->name);
    return reinterpret_cast<mtmd_input_chunks*>(chunks);
}
STANDIN_CHECK_TYPE(mtmd_input_chunks_init);

STANDIN_API void mtmd_input_chunks_free(mtmd_input_chunks* chunks) {
    Line("mtmd_input_chunks_free").obj("chunks", chunks).done();
    delete reinterpret_cast<Chunks*>(chunks);
}
STANDIN_CHECK_TYPE(mtmd_input_chunks_free);

// Script "tokenize_rc" (default 0). The text is taken as text_len bytes, as the real library
// does; "nul" tells whether a NUL follows them.
STANDIN_API std::int32_t mtmd_tokenize(mtmd_context* ctx, mtmd_input_chunks* output, const mtmd_input_text* text,
                                       const mtmd_bitmap** bitmaps, std::size_t n_bitmaps) {
    const auto rc = static_cast<std::int32_t>(script_int("tokenize_rc", 0));
    Line line("mtmd_tokenize");
    line.obj("ctx", ctx).obj("chunks", output);
    if (text != nullptr) {
        line.arg("text", '"' + escape_bytes(std::string_view(text->text, text->text_len)) + '"')
            .num("text_len", text->text_len).num("nul", text->text[text->text_len] == '\0')
            .num("add_special", text->add_special).num("parse_special", text->parse_special);
    }
    std::string names;
    for (std::size_t i = 0; i < n_bitmaps; ++i) names += (i == 0 ? "" : ",") + name_of(bitmaps[i]);
    line.num("n_bitmaps", n_bitmaps).arg("bitmaps", names.empty() ? "none" : names);
    line.done(std::to_string(rc));
    return rc;
}
STANDIN_CHECK_TYPE(mtmd_tokenize);

STANDIN_API void mtmd_bitmap_free(mtmd_bitmap* bitmap) {
    Line("mtmd_bitmap_free").obj("bitmap", bitmap).done();
    delete reinterpret_cast<Bitmap*>(bitmap);
}
STANDIN_CHECK_TYPE(mtmd_bitmap_free);

// Records the size, the FNV-1a 64 digest of the nx * ny * 3 bytes and, up to 96 bytes, the
// bytes themselves in hex. Script "bitmap_init=fail" gives null.
STANDIN_API mtmd_bitmap* mtmd_bitmap_init(std::uint32_t nx, std::uint32_t ny, const unsigned char* data) {
    const std::size_t size = static_cast<std::size_t>(nx) * ny * 3;
    Line line("mtmd_bitmap_init");
    line.num("nx", nx).num("ny", ny).arg("fnv", hex64(fnv1a64(data, size)));
    if (size <= 96) line.arg("bytes", hex_bytes(data, size));
    if (script_is("bitmap_init", "fail")) {
        line.done("null");
        return nullptr;
    }
    Bitmap* bitmap = make_bitmap(nx, ny);
    line.done(bitmap->name);
    return reinterpret_cast<mtmd_bitmap*>(bitmap);
}
STANDIN_CHECK_TYPE(mtmd_bitmap_init);

// The projector's own decoder: script "fallback=<W>x<H>" gives a bitmap of that size, anything
// else (or nothing) no bitmap; "fallback_video=1" adds a video ("video1", ...) to the result,
// with or without the bitmap, as a helper built with video support does for bytes it decodes
// as a video. Records the length and digest of the bytes it was given; the result is the
// bitmap, then ", " and the video when there is one.
STANDIN_API mtmd_helper_bitmap_wrapper mtmd_helper_bitmap_init_from_buf(mtmd_context* ctx, const unsigned char* buf,
                                                                       std::size_t len, bool placeholder) {
    Line line("mtmd_helper_bitmap_init_from_buf");
    line.obj("ctx", ctx).num("len", len).arg("fnv", hex64(fnv1a64(buf, len))).num("placeholder", placeholder);
    mtmd_helper_bitmap_wrapper result{nullptr, nullptr};
    unsigned nx = 0, ny = 0;
    const char* fallback = script("fallback");
    if (fallback != nullptr && std::sscanf(fallback, "%ux%u", &nx, &ny) == 2) {
        result.bitmap = reinterpret_cast<mtmd_bitmap*>(make_bitmap(nx, ny));
    }
    std::string shown = name_of(result.bitmap);
    if (script_is("fallback_video", "1")) {
        result.video_ctx = reinterpret_cast<mtmd_helper_video*>(make<Video>("video"));
        shown += ", " + name_of(result.video_ctx);
    }
    line.done(shown);
    return result;
}
STANDIN_CHECK_TYPE(mtmd_helper_bitmap_init_from_buf);

#ifndef STANDIN_OMIT_mtmd_helper_eval_chunks
// Script "eval_rc" (default 0) and "eval_n_past" (written to new_n_past whatever the rc;
// default 100 on success, untouched on failure). "memory" is what sequence 0 held before.
STANDIN_API std::int32_t mtmd_helper_eval_chunks(mtmd_context* ctx, llama_context* lctx, const mtmd_input_chunks* chunks,
                                                 llama_pos n_past, llama_seq_id seq_id, std::int32_t n_batch,
                                                 bool logits_last, llama_pos* new_n_past) {
    const auto rc = static_cast<std::int32_t>(script_int("eval_rc", 0));
    auto* c = reinterpret_cast<Context*>(lctx);
    Line line("mtmd_helper_eval_chunks");
    line.obj("ctx", ctx).obj("lctx", lctx).obj("chunks", chunks).num("n_past", n_past).num("seq_id", seq_id)
        .num("n_batch", n_batch).num("logits_last", logits_last)
        .arg("new_n_past", new_n_past == nullptr ? std::string("null") : std::to_string(*new_n_past))
        .num("memory", c == nullptr ? -1 : c->memory->positions);
    line.done(std::to_string(rc));
    if (new_n_past != nullptr) {
        if (script("eval_n_past") != nullptr) *new_n_past = static_cast<llama_pos>(script_int("eval_n_past", 0));
        else if (rc == 0) *new_n_past = 100;
        if (rc == 0 && c != nullptr) c->memory->positions = *new_n_past;
    }
    return rc;
}
STANDIN_CHECK_TYPE(mtmd_helper_eval_chunks);
#endif

#ifndef STANDIN_OMIT_mtmd_helper_get_n_tokens
// Script "n_tokens" (default 0): the tokens the chunk list holds.
STANDIN_API std::size_t mtmd_helper_get_n_tokens(const mtmd_input_chunks* chunks) {
    const auto n = static_cast<std::size_t>(script_int("n_tokens", 0));
    Line("mtmd_helper_get_n_tokens").obj("chunks", chunks).done(std::to_string(n));
    return n;
}
STANDIN_CHECK_TYPE(mtmd_helper_get_n_tokens);
#endif

#ifndef STANDIN_OMIT_mtmd_helper_video_free
STANDIN_API void mtmd_helper_video_free(mtmd_helper_video* ctx) {
    Line("mtmd_helper_video_free").obj("ctx", ctx).done();
    delete reinterpret_cast<Video*>(ctx);
}
STANDIN_CHECK_TYPE(mtmd_helper_video_free);
#endif
