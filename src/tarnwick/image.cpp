// The library road of image preparation: the format from the signature, the format's decoder on
// the file bytes in place, the memory allowance on the header's size and layout before any pixel
// is decoded, then the rows from the top: converted to packed 8-bit RGB one at a time when the
// image fits the pixel budget, else scaled down with Lanczos3 in the source's own sample type as
// they come. Only the output, a few source rows and what a format forces its decoder to hold
// (convert.h, decode.h) are in memory at once.
#include "tarnwick/image.h"

#include <cmath>
#include <memory>
#include <new>

#include "tarnwick/convert.h"
#include "tarnwick/decode.h"
#include "tarnwick/image_probe.h"
#include "tarnwick/resample.h"

namespace tarnwick {
namespace {

// Each row as it comes, converted into its place in the output; an 8-bit RGB row is decoded
// straight into it.
bool copy_rows(ImageDecoder& decoder, RgbImage& rgb) {
    const PixelLayout layout = decoder.layout();
    const bool direct = layout == PixelLayout{3, SampleType::u8};
    std::vector<unsigned char> row(direct ? 0 : decoder.row_bytes());
    for (std::uint32_t y = 0; y < rgb.height; ++y) {
        unsigned char* out = &rgb.pixels[std::size_t{y} * rgb.width * 3];
        if (direct) {
            if (!decoder.read_row(out)) return false;
            continue;
        }
        if (!decoder.read_row(row.data())) return false;
        row_to_rgb(layout, row.data(), rgb.width, out);
    }
    return true;
}

// The rows through the resampler, which keeps their colour samples only.
bool scale_rows(ImageDecoder& decoder, RgbImage& rgb) {
    const PixelLayout layout = decoder.layout();
    std::vector<unsigned char> row(colour_only(layout) ? 0 : decoder.row_bytes());
    const RowSource next_row = [&](unsigned char* colour) {
        if (row.empty()) return decoder.read_row(colour);
        if (!decoder.read_row(row.data())) return false;
        row_to_colour(layout, row.data(), decoder.width(), colour);
        return true;
    };
    return resample(colour_layout(layout), decoder.width(), decoder.height(), rgb.width, rgb.height, next_row,
                    rgb.pixels.data());
}

}  // namespace

std::uint64_t pixel_budget(std::int32_t image_token_budget) noexcept {
    return static_cast<std::uint64_t>(image_token_budget < 256 ? 256 : image_token_budget) * 784;
}

std::pair<std::uint32_t, std::uint32_t> scaled_size(std::uint32_t width, std::uint32_t height,
                                                    std::uint64_t budget) noexcept {
    const std::uint64_t pixels = std::uint64_t{width} * height;
    if (pixels <= budget) return {width, height};
    const double s = std::sqrt(static_cast<double>(budget) / static_cast<double>(pixels));
    auto side = [s](std::uint32_t length) {
        const auto scaled = static_cast<std::uint32_t>(std::floor(static_cast<double>(length) * s));
        return scaled < 28 ? std::uint32_t{28} : scaled;
    };
    return {side(width), side(height)};
}

std::optional<RgbImage> prepare_rgb(const unsigned char* bytes, std::size_t size, std::uint64_t budget) {
    const auto format = detect_format(bytes, size);
    if (!format) return std::nullopt;
    // Memory for the images running out fails this road like any other decode failure.
    try {
        const std::unique_ptr<ImageDecoder> decoder = open_decoder(*format, bytes, size);
        if (!decoder || decoder->width() == 0 || decoder->height() == 0) return std::nullopt;
        if (!fits_allowance(decoder->width(), decoder->height(), decoder->layout())) return std::nullopt;
        const auto [width, height] = scaled_size(decoder->width(), decoder->height(), budget);
        const bool scaled = width != decoder->width() || height != decoder->height();
        // The 28-pixel floor can make a thin strip's output far larger than the budget (a 510 KiB
        // PNG of 536,870,912 x 1 pixels would want 3.3 GiB of RGB). The output and the scaler's
        // working memory are held to the allowance too; beyond it the fallback road takes the file.
        const std::uint64_t output = std::uint64_t{width} * height * 3;
        const std::uint64_t working =
            scaled ? resample_working_bytes(decoder->layout(), decoder->width(), decoder->height(), width, height) : 0;
        if (output + working > decode_allowance) return std::nullopt;
        if (!decoder->start()) return std::nullopt;
        RgbImage rgb;
        rgb.width = width;
        rgb.height = height;
        rgb.pixels.resize(std::size_t{width} * height * 3);
        if (!(scaled ? scale_rows(*decoder, rgb) : copy_rows(*decoder, rgb))) return std::nullopt;
        return rgb;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

}  // namespace tarnwick
