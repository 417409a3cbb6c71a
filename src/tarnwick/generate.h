#pragma once
// The second half of a recognition: from the image's bitmap and the mode to the generated text,
// through the fixed chat prompt, tokenisation, evaluation and greedy generation.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "tarnwick/library.h"
#include "tarnwick/tarnwick.h"

namespace tarnwick {

struct BitmapFree {
    const EngineLibrary* lib;
    void operator()(mtmd_bitmap* bitmap) const noexcept { lib->mtmd_bitmap_free(bitmap); }
};
using BitmapOwner = std::unique_ptr<mtmd_bitmap, BitmapFree>;

// The chat prompt of a mode around the projector's media marker.
std::string build_prompt(std::string_view marker, OcrMode mode);

// Tokens a run may generate: what the context holds beyond the prompt, less 8 kept free, at most
// 4096; 0 when nothing is left. The prompt occupies the larger of its positions (n_past) and its
// tokens: under multi-axis positions an image's many tokens share few positions, while every
// token takes a memory cell of its own.
std::uint64_t step_limit(std::uint32_t context_size, std::int32_t n_past, std::size_t n_tokens) noexcept;

// Runs the prompt and the bitmap (borrowed: the caller owns and releases it after this returns)
// through the engine and gives the generated text, untrimmed, or an error text. Everything this
// creates is released before it returns, the newest first.
Result<std::string> generate(const Engine& engine, mtmd_bitmap* bitmap, OcrMode mode);

}  // namespace tarnwick
