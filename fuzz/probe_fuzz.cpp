// The header probe fed arbitrary bytes: it reads only what it is given, only the first 16 bytes
// choose the format, every layout it reports is one the decoder can produce, and the allowance
// test agrees with exact arithmetic for any size.

#include <cstdint>
#include <cstring>
#include <optional>

#include "fuzz_check.h"
#include "tarnwick/image_probe.h"

namespace {

using tarnwick::ImageFormat;

std::uint64_t read_u64(const std::uint8_t* data, std::size_t size, std::size_t at) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < 8 && at + i < size; ++i) value |= std::uint64_t{data[at + i]} << (8 * i);
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::optional<ImageFormat> format = tarnwick::detect_format(data, size);
    FUZZ_CHECK(format == tarnwick::detect_format(data, size < 16 ? size : 16));

    // Every format's probe, whatever the signature says: the decoder is told the format, and the
    // probe must cope with any bytes under it.
    for (const ImageFormat f : {ImageFormat::png, ImageFormat::jpeg, ImageFormat::gif, ImageFormat::webp,
                                ImageFormat::tiff, ImageFormat::bmp}) {
        const std::optional<tarnwick::SampleLayout> layout = tarnwick::probe_layout(f, data, size);
        if (!layout) continue;
        FUZZ_CHECK(layout->channels >= 1 && layout->channels <= 4);
        FUZZ_CHECK(layout->bytes_per_sample == 1 || layout->bytes_per_sample == 2 || layout->bytes_per_sample == 4);
        // Float samples come only as RGB or RGBA.
        if (layout->bytes_per_sample == 4) FUZZ_CHECK(layout->channels >= 3);

        const std::uint64_t sides[][2] = {
            {layout->width, layout->height},
            {read_u64(data, size, 0), read_u64(data, size, 8)},
            {read_u64(data, size, 0) & 0xFFFFFFFF, read_u64(data, size, 8) & 0xFFFFFFFF},
            {read_u64(data, size, 0) & 0x3FFFF, read_u64(data, size, 8) & 0x3FFFF},
        };
        for (const auto& side : sides) {
            // An empty image fails the road whatever the allowance says, so only sizes with
            // pixels are held to exact arithmetic.
            if (side[0] == 0 || side[1] == 0) continue;
            // A side beyond 32 bits exceeds the allowance on its own; below that the product fits.
            const bool fits = side[0] <= UINT32_MAX && side[1] <= UINT32_MAX &&
                              static_cast<unsigned __int128>(side[0]) * side[1] * layout->channels *
                                      layout->bytes_per_sample <= tarnwick::decode_allowance;
            FUZZ_CHECK(tarnwick::fits_allowance(side[0], side[1], *layout) == fits);
        }
    }
    return 0;
}
