#pragma once
// What an image file's first bytes say before any decoding: the format, by our own signature
// table, and the sample layout the decoder will produce, which the memory allowance is checked
// against. Pure functions over a byte range; they never read past `size`.

#include <cstddef>
#include <cstdint>
#include <optional>

namespace tarnwick {

enum class ImageFormat { png, jpeg, gif, webp, tiff, bmp };

// The format of the file whose first bytes these are (only the first 16 are looked at), or
// nothing when no decodable format matches.
std::optional<ImageFormat> detect_format(const unsigned char* bytes, std::size_t size) noexcept;

struct SampleLayout {
    std::uint32_t channels = 0;          // 1 grey, 2 grey + alpha, 3 RGB, 4 RGBA
    std::uint32_t bytes_per_sample = 0;  // 1, 2 or 4 (float)
    // The canvas size when the header fixes one the decoder may not report (a GIF's logical
    // screen); 0 when unknown.
    std::uint32_t width = 0;
    std::uint32_t height = 0;
};

// The layout the decoder yields for a file of `format`, read from its header, or nothing when
// the header is missing, truncated or malformed.
std::optional<SampleLayout> probe_layout(ImageFormat format, const unsigned char* bytes,
                                         std::size_t size) noexcept;

// The decoder's memory allowance for one image's samples.
inline constexpr std::uint64_t decode_allowance = 536870912;  // 512 MiB

// True when width x height samples of `layout` fit the allowance; the product cannot overflow.
bool fits_allowance(std::uint64_t width, std::uint64_t height, const SampleLayout& layout) noexcept;

}  // namespace tarnwick
