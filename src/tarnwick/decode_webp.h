#pragma once
// The WebP decoder with its band budget exposed: `open_webp` is this with the allowance rule
// (budget 0); a small budget cuts even a small image into many bands, which the tests use.

#include <cstddef>
#include <memory>

#include "tarnwick/decode.h"

namespace tarnwick {

// As open_webp, with what libwebp holds and the band kept within `budget` bytes.
std::unique_ptr<ImageDecoder> open_webp_in_bands(const unsigned char* bytes, std::size_t size, std::size_t budget);

}  // namespace tarnwick
