#include "tarnwick/convert.h"

#include <algorithm>
#include <cstring>

namespace tarnwick {
namespace {

template <class T>
T sample(const unsigned char* row, std::size_t index) noexcept {
    T v;
    std::memcpy(&v, row + index * sizeof(T), sizeof(T));
    return v;
}

template <class T, class ToByte>
void samples_to_rgb(std::uint32_t channels, const unsigned char* row, std::uint32_t width, unsigned char* rgb,
                    ToByte to_byte) noexcept {
    const bool grey = channels < 3;
    for (std::size_t x = 0; x < width; ++x, rgb += 3) {
        const std::size_t at = x * channels;
        if (grey) {
            rgb[0] = rgb[1] = rgb[2] = to_byte(sample<T>(row, at));
        } else {
            rgb[0] = to_byte(sample<T>(row, at));
            rgb[1] = to_byte(sample<T>(row, at + 1));
            rgb[2] = to_byte(sample<T>(row, at + 2));
        }
    }
}

float clamp_unit(float v) noexcept {
    if (std::isnan(v)) return 1.0f;
    return std::clamp(v, 0.0f, 1.0f);
}

}  // namespace

void row_to_rgb(PixelLayout layout, const unsigned char* row, std::uint32_t width, unsigned char* rgb) noexcept {
    switch (layout.type) {
        case SampleType::u8:
            samples_to_rgb<std::uint8_t>(layout.channels, row, width, rgb, [](std::uint8_t v) { return v; });
            return;
        case SampleType::u16:
            samples_to_rgb<std::uint16_t>(layout.channels, row, width, rgb, u16_to_8bit);
            return;
        case SampleType::f32:
            samples_to_rgb<float>(layout.channels, row, width, rgb, f32_to_8bit);
            return;
    }
}

void row_to_colour(PixelLayout layout, const unsigned char* row, std::uint32_t width, unsigned char* colour) noexcept {
    const std::size_t sample_bytes = layout.sample_bytes();
    const std::size_t keep = layout.colour_channels();
    if (layout.type == SampleType::f32) {
        for (std::size_t x = 0; x < width; ++x)
            for (std::size_t c = 0; c < keep; ++c) {
                const float v = clamp_unit(sample<float>(row, x * layout.channels + c));
                std::memcpy(colour + (x * keep + c) * sample_bytes, &v, sizeof v);
            }
        return;
    }
    const std::size_t in_pixel = layout.channels * sample_bytes, out_pixel = keep * sample_bytes;
    for (std::size_t x = 0; x < width; ++x) std::memcpy(colour + x * out_pixel, row + x * in_pixel, out_pixel);
}

}  // namespace tarnwick
