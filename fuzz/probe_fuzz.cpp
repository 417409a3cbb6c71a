// Signatures and headers fed arbitrary bytes: only the first 16 bytes choose the format, every
// format's decoder opens on any bytes without reading past them and reports one of the ten
// layouts and a non-empty size, and the allowance test agrees with exact arithmetic for any size.

#include <cstdint>
#include <cstring>
#include <optional>

#include "fuzz_check.h"
#include "tarnwick/decode.h"
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

    // Every format's header reader, whatever the signature says: it must cope with any bytes.
    using tarnwick::PixelLayout;
    using tarnwick::SampleType;
    for (const auto open : {tarnwick::open_png, tarnwick::open_jpeg, tarnwick::open_gif, tarnwick::open_webp,
                            tarnwick::open_tiff, tarnwick::open_bmp}) {
        const auto decoder = open(data, size);
        if (!decoder) continue;
        const PixelLayout layout = decoder->layout();
        FUZZ_CHECK(layout.channels >= 1 && layout.channels <= 4);
        // Float samples come only as RGB or RGBA.
        if (layout.type == SampleType::f32) FUZZ_CHECK(layout.channels >= 3);
        FUZZ_CHECK(decoder->width() > 0 && decoder->height() > 0);
    }

    const std::uint64_t sides[][2] = {
        {read_u64(data, size, 0), read_u64(data, size, 8)},
        {read_u64(data, size, 0) & 0xFFFFFFFF, read_u64(data, size, 8) & 0xFFFFFFFF},
        {read_u64(data, size, 0) & 0x3FFFF, read_u64(data, size, 8) & 0x3FFFF},
    };
    for (const SampleType type : {SampleType::u8, SampleType::u16, SampleType::f32})
        for (std::uint32_t channels = 1; channels <= 4; ++channels) {
            const PixelLayout layout{channels, type};
            for (const auto& side : sides) {
                // A side beyond 32 bits exceeds the allowance on its own; below that the product fits.
                const bool fits = side[0] <= UINT32_MAX && side[1] <= UINT32_MAX &&
                                  static_cast<unsigned __int128>(side[0]) * side[1] * layout.pixel_bytes() <=
                                      tarnwick::decode_allowance;
                FUZZ_CHECK(tarnwick::fits_allowance(side[0], side[1], layout) == fits);
            }
        }
    return 0;
}
