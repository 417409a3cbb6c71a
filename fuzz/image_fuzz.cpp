// Image preparation's library road fed arbitrary file bytes under the engine's pixel budget: it
// gives nothing (the caller's fallback road) or an RGB image whose buffer matches its size and
// whose size keeps to the budget (beyond it only where a side was raised to 28 pixels).

#include <cstdint>
#include <optional>

#include "fuzz_check.h"
#include "image_size.h"
#include "tarnwick/image.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (too_large_to_fuzz(data, size)) return -1;
    static const std::uint64_t budget = tarnwick::pixel_budget(4096);
    const std::optional<tarnwick::RgbImage> rgb = tarnwick::prepare_rgb(data, size, budget);
    if (!rgb) return 0;
    FUZZ_CHECK(rgb->width > 0 && rgb->height > 0);
    FUZZ_CHECK(rgb->pixels.size() == std::uint64_t{rgb->width} * rgb->height * 3);
    FUZZ_CHECK(std::uint64_t{rgb->width} * rgb->height <= budget || rgb->width == 28 || rgb->height == 28);
    return 0;
}
