#pragma once
// What an image file's first bytes say before any decoding: the format, by our own signature
// table, and the decoder that reads it; and the memory allowance that a decoder's image is
// checked against before any pixel is decoded.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "tarnwick/decode.h"

namespace tarnwick {

enum class ImageFormat { png, jpeg, gif, webp, tiff, bmp };

// The format of the file whose first bytes these are (only the first 16 are looked at), or
// nothing when no decodable format matches.
std::optional<ImageFormat> detect_format(const unsigned char* bytes, std::size_t size) noexcept;

// The format's decoder on the file bytes, its header read (decode.h); nothing when it is rejected.
std::unique_ptr<ImageDecoder> open_decoder(ImageFormat format, const unsigned char* bytes, std::size_t size);

// The decoder's memory allowance for one image's samples.
inline constexpr std::uint64_t decode_allowance = 536870912;  // 512 MiB

// True when width x height pixels of `layout` fit the allowance; the product cannot overflow.
bool fits_allowance(std::uint64_t width, std::uint64_t height, PixelLayout layout) noexcept;

}  // namespace tarnwick
