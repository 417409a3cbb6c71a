#pragma once
// What a decoded sample becomes in the 8-bit RGB image: colour samples kept, grey copied to R, G
// and B, alpha dropped without compositing (a transparent pixel keeps its stored colour), 16-bit
// samples rounded to 8 bits, float samples clamped to 0 ... 1.

#include <cmath>
#include <cstdint>

#include "tarnwick/decode.h"

namespace tarnwick {

// v * 255 / 65535 rounded to nearest.
constexpr unsigned char u16_to_8bit(std::uint32_t v) noexcept { return static_cast<unsigned char>((v + 128) / 257); }

// Clamped to 0 ... 1, times 255, rounded to nearest with halves up; NaN counts as 1.
inline unsigned char f32_to_8bit(float v) noexcept {
    if (std::isnan(v) || v >= 1.0f) return 255;
    if (!(v > 0.0f)) return 0;
    return static_cast<unsigned char>(std::floor(static_cast<double>(v) * 255.0 + 0.5));
}

// One decoded row of `width` pixels in `layout` to packed RGB (width * 3 bytes).
void row_to_rgb(PixelLayout layout, const unsigned char* row, std::uint32_t width, unsigned char* rgb) noexcept;

// The layout of the rows that scaling works on: the colour channels only, in the source's own
// sample type.
constexpr PixelLayout colour_layout(PixelLayout layout) noexcept { return {layout.colour_channels(), layout.type}; }

// One decoded row to its colour samples for scaling: alpha dropped, and float samples clamped to
// 0 ... 1 with NaN as 1, what they stand for in the RGB image; so one NaN or infinite sample
// cannot spread over its neighbours through the filter.
void row_to_colour(PixelLayout layout, const unsigned char* row, std::uint32_t width, unsigned char* colour) noexcept;

// True when `row_to_colour` would copy the row unchanged, so a decoder may write straight into
// the scaler's rows.
constexpr bool colour_only(PixelLayout layout) noexcept { return !layout.has_alpha() && layout.type != SampleType::f32; }

}  // namespace tarnwick
