#pragma once
// Exact-size separable Lanczos3 resampling of packed 8-bit RGB, one output row at a time, pulling
// source rows in order so that the source never has to be held whole.

#include <cstdint>
#include <functional>

namespace tarnwick {

// Fills `row` with the next source row (width * 3 bytes, R G B); false stops the resampling.
using RowSource = std::function<bool(unsigned char* row)>;

// Resamples a src_width x src_height image, read row by row from the top through `next_row`, to
// exactly dst_width x dst_height into `out` (dst_width * dst_height * 3 bytes). Each target sample
// weighs the source samples within 3 * max(1, source size / target size) of its centre, with the
// weights normalised to sum 1. Vertical pass first; its float row is clipped to 0 ... 255 before
// the horizontal pass, and the result is rounded to 8 bits.
// Rows past the last one a target row needs are not asked for. False when a row could not be
// read or the working memory could not be had.
bool resample_rgb(std::uint32_t src_width, std::uint32_t src_height, std::uint32_t dst_width,
                  std::uint32_t dst_height, const RowSource& next_row, unsigned char* out);

}  // namespace tarnwick
