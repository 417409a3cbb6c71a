// Placeholder until the bmp decoder lands: every file of this format takes the fallback road.
#include "tarnwick/decode.h"

namespace tarnwick {

std::unique_ptr<ImageDecoder> open_bmp(const unsigned char*, std::size_t) { return nullptr; }

}  // namespace tarnwick
