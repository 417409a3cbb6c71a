// Placeholder until image preparation lands: every file takes the fallback road.
#include "tarnwick/image.h"

namespace tarnwick {

std::uint64_t pixel_budget(std::int32_t image_token_budget) noexcept {
    return static_cast<std::uint64_t>(image_token_budget < 256 ? 256 : image_token_budget) * 784;
}

std::pair<std::uint32_t, std::uint32_t> scaled_size(std::uint32_t width, std::uint32_t height,
                                                    std::uint64_t) noexcept {
    return {width, height};
}

std::optional<RgbImage> prepare_rgb(const unsigned char*, std::size_t, std::uint64_t) { return std::nullopt; }

}  // namespace tarnwick
