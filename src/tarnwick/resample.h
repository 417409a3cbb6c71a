#pragma once
// Exact-size separable Lanczos3 resampling, one output row at a time, pulling source rows in order
// so that the source never has to be held whole. The source rows hold colour samples only (grey
// or RGB) of one sample type; the output is packed 8-bit RGB, converted as convert.h says.

#include <cstdint>
#include <functional>

#include "tarnwick/decode.h"

namespace tarnwick {

// Fills `row` with the next source row (width * channels samples); false stops the resampling.
using RowSource = std::function<bool(unsigned char* row)>;

// Resamples a src_width x src_height image of `layout` (1 or 3 channels of any sample type), read
// row by row from the top through `next_row`, to exactly dst_width x dst_height into `out`
// (dst_width * dst_height * 3 bytes). Each target sample weighs the source samples within
// 3 * max(1, source size / target size) of its centre, with the weights normalised to sum 1.
// Vertical pass first; its float row is clipped to the sample range (0 ... 1 for float) before
// the horizontal pass, and the result is rounded to the source's own precision, then converted
// to 8 bits. Rows past the last one a target row needs are not asked for. False when a row could
// not be read or the working memory could not be had.
bool resample(PixelLayout layout, std::uint32_t src_width, std::uint32_t src_height, std::uint32_t dst_width,
              std::uint32_t dst_height, const RowSource& next_row, unsigned char* out);

// What `resample` holds besides its output for these sizes: the filter weights of both axes, the
// ring of source rows and the intermediate row. Sizes are the caller's to keep sane; the product
// cannot overflow for sides of 32 bits.
std::uint64_t resample_working_bytes(PixelLayout layout, std::uint32_t src_width, std::uint32_t src_height,
                                     std::uint32_t dst_width, std::uint32_t dst_height) noexcept;

// The same for packed 8-bit RGB rows.
inline bool resample_rgb(std::uint32_t src_width, std::uint32_t src_height, std::uint32_t dst_width,
                         std::uint32_t dst_height, const RowSource& next_row, unsigned char* out) {
    return resample(PixelLayout{3, SampleType::u8}, src_width, src_height, dst_width, dst_height, next_row, out);
}

}  // namespace tarnwick
