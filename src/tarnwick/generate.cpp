// Prompt, evaluation and generation of one recognition run.

#include "tarnwick/generate.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "platform/env.h"
#include "platform/stdio.h"
#include "platform/utf8.h"

namespace tarnwick {

namespace {

constexpr std::uint64_t kMaxNewTokens = 4096;
constexpr std::int64_t kReservedPositions = 8;
constexpr std::int32_t kPieceCapacity = 512;

std::string_view task_line(OcrMode mode) {
    switch (mode) {
        case OcrMode::table: return "Table Recognition:";
        case OcrMode::formula: return "Formula Recognition:";
        case OcrMode::text: break;
    }
    return "Text Recognition:";
}

struct ChunksFree {
    const EngineLibrary* lib;
    void operator()(mtmd_input_chunks* chunks) const noexcept { lib->mtmd_input_chunks_free(chunks); }
};
struct SamplerFree {
    const EngineLibrary* lib;
    void operator()(llama_sampler* sampler) const noexcept { lib->llama_sampler_free(sampler); }
};

}  // namespace

std::string build_prompt(std::string_view marker, OcrMode mode) {
    std::string prompt = "[gMASK]<sop><|user|>\n";
    prompt.append(marker);
    prompt.append(task_line(mode));
    prompt.append("<|assistant|>");
    return prompt;
}

std::uint64_t step_limit(std::uint32_t context_size, std::int32_t n_past, std::size_t n_tokens) noexcept {
    // More tokens than the context holds leave no room at all (and would not fit the sum below).
    if (n_tokens >= context_size) return 0;
    const std::int64_t used = std::max(static_cast<std::int64_t>(n_past), static_cast<std::int64_t>(n_tokens));
    const std::int64_t left = static_cast<std::int64_t>(context_size) - (used + kReservedPositions);
    if (left <= 0) return 0;
    return std::min(static_cast<std::uint64_t>(left), kMaxNewTokens);
}

Result<std::string> generate(const Engine& engine, mtmd_bitmap* bitmap, OcrMode mode) {
    const EngineLibrary& lib = *engine.library();

    // The library promises a marker; without one the prompt simply holds none, and the
    // tokeniser reports the image it cannot place.
    const char* marker_text = lib.mtmd_default_marker();
    const std::string_view marker = marker_text == nullptr ? std::string_view() : std::string_view(marker_text);
    if (!platform::is_valid_utf8(marker)) return platform::fail("non-UTF-8 media marker");

    // Owners in creation order, so every return releases the newest first.
    const std::string prompt = build_prompt(marker, mode);
    if (prompt.find('\0') != std::string::npos) return platform::fail("prompt contains NUL");
    const mtmd_input_text text{prompt.c_str(), prompt.size(), true, true};

    std::unique_ptr<mtmd_input_chunks, ChunksFree> chunks(lib.mtmd_input_chunks_init(), ChunksFree{&lib});
    if (!chunks) return platform::fail("mtmd_input_chunks_init failed");

    const mtmd_bitmap* bitmaps[1] = {bitmap};
    const std::int32_t tokenized = lib.mtmd_tokenize(engine.mtmd_ctx(), chunks.get(), &text, bitmaps, 1);
    if (tokenized == 2) return platform::fail("image preprocessing failed");
    if (tokenized != 0) return platform::fail("mtmd_tokenize failed (rc " + std::to_string(tokenized) + ")");

    // Only now, with the new prompt ready: a run that fails before leaves the memory alone.
    lib.llama_memory_clear(lib.llama_get_memory(engine.ctx()), true);

    llama_pos n_past = 0;
    const std::int32_t evaluated = lib.mtmd_helper_eval_chunks(engine.mtmd_ctx(), engine.ctx(), chunks.get(), 0, 0,
                                                               engine.n_batch(), true, &n_past);
    // Written before the rc is judged: a failing evaluation is when the figures matter most.
    if (platform::env_var("TARNWICK_DEBUG")) {
        platform::write_stderr("tarnwick: n_past after prompt + image = " + std::to_string(n_past) +
                               " positions (M-RoPE: not the token count; budget " +
                               std::to_string(engine.image_token_budget()) + " image tokens, ctx " +
                               std::to_string(engine.n_ctx()) + ")\n");
    }
    if (evaluated != 0) {
        return platform::fail("the image could not be processed (eval rc " + std::to_string(evaluated) +
                              "); it may be too large for the memory available on this PC \xE2\x80\x94 try a "
                              "smaller or cropped image");
    }

    // n_past counts positions, but the memory fills with tokens: with the model's multi-axis
    // positions a large image stores thousands of tokens under a few dozen positions. The limit
    // must leave room for what is stored, or the last decodes find no free cell and the whole
    // text is lost.
    const std::size_t n_tokens = lib.mtmd_helper_get_n_tokens(chunks.get());

    std::unique_ptr<llama_sampler, SamplerFree> chain(
        lib.llama_sampler_chain_init(lib.llama_sampler_chain_default_params()), SamplerFree{&lib});
    lib.llama_sampler_chain_add(chain.get(), lib.llama_sampler_init_greedy());

    const std::uint64_t limit = step_limit(lib.llama_n_ctx(engine.ctx()), n_past, n_tokens);

    std::string output;
    std::size_t valid = 0;  // length of the longest valid UTF-8 prefix of output
    std::array<char, kPieceCapacity> piece{};
    llama_token token = 0;  // the one-token batch points here until its decode returns
    for (std::uint64_t step = 0; step < limit; ++step) {
        token = lib.llama_sampler_sample(chain.get(), engine.ctx(), -1);
        if (lib.llama_vocab_is_eog(engine.vocab(), token)) break;

        // 0 or less: nothing written (a negative count is a piece too long for the buffer).
        const std::int32_t n = lib.llama_token_to_piece(engine.vocab(), token, piece.data(), kPieceCapacity, 0, false);
        if (n > 0) output.append(piece.data(), static_cast<std::size_t>(std::min(n, kPieceCapacity)));
        // A character cut between pieces waits for the next; after an ill-formed sequence the
        // prefix stops growing, since every later check starts at that sequence.
        valid += platform::valid_utf8_prefix(std::string_view(output).substr(valid));

        const llama_batch batch = lib.llama_batch_get_one(&token, 1);
        const std::int32_t decoded = lib.llama_decode(engine.ctx(), batch);
        if (decoded != 0) return platform::fail("llama_decode failed (rc " + std::to_string(decoded) + ")");
    }

    output.resize(valid);
    return output;
}

}  // namespace tarnwick
