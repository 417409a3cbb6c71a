#pragma once
// The library road of image preparation: decode the file bytes with the format's library, scale the
// image down to the pixel budget and convert it to packed 8-bit RGB.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace tarnwick {

struct RgbImage {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<unsigned char> pixels;  // width * height * 3 bytes, rows top to bottom, R G B
};

// max(image_token_budget, 256) * 784: a budget of 28 x 28 pixels per image token.
std::uint64_t pixel_budget(std::int32_t image_token_budget) noexcept;

// The size an image of width x height is resampled to, or the same size when it fits the budget.
std::pair<std::uint32_t, std::uint32_t> scaled_size(std::uint32_t width, std::uint32_t height,
                                                    std::uint64_t budget) noexcept;

// Decodes a PNG, JPEG, GIF, WebP, TIFF or BMP file held in memory and prepares its RGB image.
// Nothing when this road fails for any reason (unknown or undecodable content, an image over the
// decoder's memory allowance, an empty image): the caller then takes the fallback road.
std::optional<RgbImage> prepare_rgb(const unsigned char* bytes, std::size_t size, std::uint64_t budget);

}  // namespace tarnwick
