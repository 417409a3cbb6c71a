// Image preparation's results across every format and layout it decodes, pinned as a table: each
// row makes a small image file, and prepare_rgb must give exactly the recorded size and RGB
// bytes (a 64-bit FNV-1a digest of them). Where the samples themselves say what the RGB image
// must be (lossless files), the row also carries that expectation and the digest is its digest.
// Most digests are those the earlier road (one general image library for every format) gave;
// rows marked "differs from the earlier road" hold the right results where it gave others.
//
// The scaled table holds one image per layout above a small budget: the result must stay within
// one level per sample of our resampler applied to the unscaled result.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "support/image_fixtures.h"
#include "tarnwick/image.h"
#include "tarnwick/resample.h"

namespace {

using namespace test_support;

constexpr std::uint32_t W = 67, H = 49;
const std::uint64_t budget = tarnwick::pixel_budget(4096);
// 67 x 49 under this budget becomes 45 x 33.
constexpr std::uint64_t small_budget = 1500;

struct Fixture {
    Bytes file;
    std::optional<Bytes> expected;  // the RGB image, when the samples say what it must be
};

struct Row {
    const char* name;
    std::function<Fixture()> make;
    std::uint32_t width, height;  // 0 x 0: no image, the fallback road
    std::uint64_t digest;
    const char* differs = nullptr;  // why the earlier road gave another result
};

std::uint64_t fnv1a(const Bytes& bytes) {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (unsigned char b : bytes) {
        h ^= b;
        h *= 0x100000001b3ULL;
    }
    return h;
}

std::optional<tarnwick::RgbImage> prepare(const Bytes& file, std::uint64_t pixel_budget) {
    return tarnwick::prepare_rgb(file.data(), file.size(), pixel_budget);
}

// --- PNG ---

Fixture png(std::uint32_t channels, std::uint32_t bits, bool interlaced) {
    const Raster r = varied_raster(W, H, channels, bits);
    return {encode_png(r, {.interlaced = interlaced}), expected_rgb(r)};
}

Fixture png_palette(std::uint32_t bits, bool interlaced, bool trns) {
    const Raster indices = varied_raster(W, H, 1, bits);
    Palette palette = varied_palette(std::size_t{1} << bits);
    if (trns) {
        palette[1].a = 0;
        if (palette.size() > 2) palette[2].a = 128;
    }
    return {encode_png(indices, {.palette = palette, .interlaced = interlaced}), expected_rgb(indices, palette)};
}

// A grey or RGB PNG whose tRNS colour is that of the pixel at (3, 2).
Fixture png_trns(std::uint32_t channels, std::uint32_t bits, bool interlaced) {
    const Raster r = varied_raster(W, H, channels, bits);
    const std::uint32_t last = channels - 1;
    const std::array<std::uint16_t, 3> colour{static_cast<std::uint16_t>(r.at(3, 2, 0)),
                                              static_cast<std::uint16_t>(r.at(3, 2, std::min(1u, last))),
                                              static_cast<std::uint16_t>(r.at(3, 2, last))};
    return {encode_png(r, {.transparent = colour, .interlaced = interlaced}), expected_rgb(r)};
}

// --- JPEG: lossy, so only the earlier road's result pins them ---

Fixture jpeg(JpegColour colour, bool progressive = false) {
    const std::uint32_t channels = colour == JpegColour::grey ? 1
                                   : colour == JpegColour::adobe_cmyk || colour == JpegColour::ycck ? 4
                                                                                                     : 3;
    return {encode_jpeg(smooth_raster(W, H, channels), {.colour = colour, .progressive = progressive}), {}};
}

// --- GIF: the first frame on its logical screen, transparent black where it does not reach;
// inside it every pixel its palette colour ---

struct GifCase {
    bool gif89a = true;
    std::uint32_t frame_w = W, frame_h = H, left = 0, top = 0;
    bool transparent = false;
    bool local_palette = false;
    bool interlaced = false;
    bool second_frame = false;
};

Fixture gif(const GifCase& c) {
    GifFrame first;
    first.indices = varied_raster(c.frame_w, c.frame_h, 1, 8);
    first.left = c.left;
    first.top = c.top;
    first.interlaced = c.interlaced;
    if (c.transparent) first.transparent = static_cast<int>(first.indices.at(5, 5, 0));
    GifOptions options{.screen_width = W, .screen_height = H, .palette = varied_palette(256), .gif89a = c.gif89a};
    Palette colours = options.palette;
    if (c.local_palette) {
        options.palette = varied_palette(4);
        first.local_palette = Palette(colours.rbegin(), colours.rend());
        colours = first.local_palette;
    }
    std::vector<GifFrame> frames{first};
    if (c.second_frame) {
        GifFrame second;
        second.indices = varied_raster(W, H, 1, 8, 1);
        frames.push_back(second);
    }
    Bytes rgb(std::size_t{W} * H * 3, 0);
    for (std::uint32_t y = 0; y < c.frame_h; ++y) {
        for (std::uint32_t x = 0; x < c.frame_w; ++x) {
            const Colour& colour = colours[first.indices.at(x, y, 0)];
            unsigned char* p = &rgb[((std::size_t{y} + c.top) * W + x + c.left) * 3];
            p[0] = colour.r;
            p[1] = colour.g;
            p[2] = colour.b;
        }
    }
    return {encode_gif(frames, options), rgb};
}

// --- WebP ---

Fixture webp_lossy(std::uint32_t channels) {
    return {encode_webp(smooth_raster(W, H, channels), {.lossless = false}), {}};
}

Fixture webp_lossless(std::uint32_t channels) {
    const Raster r = varied_raster(W, H, channels, 8);
    return {encode_webp(r, {.lossless = true}), expected_rgb(r)};
}

Fixture webp_animation() {
    const Raster first = varied_raster(W, H, 4, 8), second = varied_raster(W, H, 4, 8, 1);
    return {encode_webp_animation({first, second}, {.lossless = true}), expected_rgb(first)};
}

// --- TIFF ---

Fixture tiff(TiffPage page, bool big_endian = false) {
    std::optional<Bytes> rgb;
    if (!page.palette.empty()) {
        rgb = expected_rgb(page.raster, page.palette);
    } else if (!page.cmyk) {
        rgb = expected_rgb(page.raster);
    }
    return {encode_tiff({page}, {.big_endian = big_endian}), rgb};
}

TiffPage page(Raster raster) {
    TiffPage p;
    p.raster = std::move(raster);
    return p;
}

// Premultiplied samples: no colour above its alpha.
Raster premultiplied(std::uint32_t channels, std::uint32_t bits) {
    Raster r = varied_raster(W, H, channels, bits);
    for (std::size_t p = 0; p < r.samples.size(); p += channels) {
        const std::uint32_t alpha = r.samples[p + channels - 1];
        for (std::size_t c = 0; c + 1 < channels; ++c)
            r.samples[p + c] = static_cast<std::uint16_t>((r.samples[p + c] * alpha + r.max_sample() / 2) / r.max_sample());
    }
    return r;
}

TiffPage palette_page(std::uint32_t bits, std::size_t entries) {
    TiffPage p = page(make_raster(W, H, 1, bits, [&, r = varied_raster(W, H, 1, bits)](std::uint32_t x, std::uint32_t y,
                                                                                     std::uint32_t) {
        return r.at(x, y, 0) % entries;
    }));
    p.palette = varied_palette(entries);
    return p;
}

TiffPage with(TiffPage p, TiffCompression compression, int predictor = 1, std::uint32_t tile_size = 0) {
    p.compression = compression;
    p.predictor = predictor;
    p.tile_size = tile_size;
    return p;
}

Fixture tiff_associated(std::uint32_t channels, std::uint32_t bits) {
    TiffPage p = page(premultiplied(channels, bits));
    p.associated_alpha = true;
    return tiff(p);
}

Fixture tiff_cmyk() {
    TiffPage p = page(varied_raster(W, H, 4, 8));
    p.cmyk = true;
    return tiff(p);
}

Fixture tiff_two_pages() {
    const Raster first = varied_raster(W, H, 3, 8);
    return {encode_tiff({page(first), page(varied_raster(20, 10, 3, 8, 1))}), expected_rgb(first)};
}

Fixture tiff_cut_colour_map() {
    return {cut_colour_map(encode_tiff({palette_page(8, 256)})), {}};
}

// --- BMP ---

Fixture bmp(const Raster& r, const BmpOptions& options, bool rule = true) {
    std::optional<Bytes> rgb;
    if (rule) rgb = options.palette.empty() ? expected_rgb(r) : expected_rgb(r, options.palette);
    return {encode_bmp(r, options), rgb};
}

Fixture bmp_indexed(std::uint32_t bits, std::size_t entries, BmpOptions options) {
    const Raster varied = varied_raster(W, H, 1, bits);
    const Raster r = make_raster(W, H, 1, bits, [&](std::uint32_t x, std::uint32_t y, std::uint32_t) {
        return varied.at(x, y, 0) % entries;
    });
    options.bits = static_cast<std::uint16_t>(bits);
    options.palette = varied_palette(entries);
    return bmp(r, options);
}

Fixture bmp_rle(std::uint32_t bits) {
    const BmpOptions options{.bits = static_cast<std::uint16_t>(bits),
                             .compression = bits == 8 ? BmpCompression::rle8 : BmpCompression::rle4,
                             .palette = varied_palette(std::size_t{1} << bits)};
    return bmp(runs_raster(W, H, bits), options);
}

// 16-bit fields of 5 and 6 bits: how they widen to 8 is the decoder's, so the earlier road's result
// pins them.
Fixture bmp_16(BmpHeader header, std::array<std::uint32_t, 4> masks) {
    const bool fields = masks[0] != 0;
    std::array<std::uint32_t, 4> widths{5, 5, 5, 0};
    if (fields)
        for (std::size_t c = 0; c < 4; ++c) widths[c] = static_cast<std::uint32_t>(std::popcount(masks[c]));
    const std::uint32_t channels = widths[3] ? 4 : 3;
    const Raster varied = varied_raster(W, H, channels, 8);
    const Raster r = make_raster(W, H, channels, 8, [&](std::uint32_t x, std::uint32_t y, std::uint32_t c) {
        return varied.at(x, y, c) >> (8 - widths[c]);
    });
    return bmp(r, {.header = header, .bits = 16, .compression = fields ? BmpCompression::bitfields : BmpCompression::rgb,
                   .masks = masks},
               false);
}

Fixture bmp_32(BmpHeader header, std::uint32_t channels, std::array<std::uint32_t, 4> masks, bool top_down = false) {
    const bool fields = masks[0] != 0;
    return bmp(varied_raster(W, H, channels, 8),
               {.header = header, .bits = 32, .compression = fields ? BmpCompression::bitfields : BmpCompression::rgb,
                .top_down = top_down, .masks = masks});
}

Fixture bmp_24(BmpHeader header, bool top_down = false) {
    return bmp(varied_raster(W, H, 3, 8), {.header = header, .bits = 24, .top_down = top_down});
}

constexpr std::array<std::uint32_t, 4> no_fields{};
constexpr std::array<std::uint32_t, 4> argb32{0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000};
constexpr std::array<std::uint32_t, 4> xbgr32{0x000000FF, 0x0000FF00, 0x00FF0000, 0};
constexpr std::array<std::uint32_t, 4> rgb565{0xF800, 0x07E0, 0x001F, 0};
constexpr std::array<std::uint32_t, 4> argb4444{0x0F00, 0x00F0, 0x000F, 0xF000};

const char* const nan_white = "a NaN float sample gave 0 on the earlier road; it must give 255";
const char* const premultiplied_kept = "premultiplied colour was divided by alpha on the earlier road; the stored colour must stay";
const char* const gif_transparent_kept =
    "a transparent pixel of a frame smaller than the screen turned black on the earlier road; it must keep its "
    "palette colour";
const char* const top_down_fields = "a top-down BMP with bit fields was refused on the earlier road; it is a valid file";
const char* const cut_map_fails = "a colour map cut short decoded with a made-up grey map on the earlier road; it must fail";

// The digests: the earlier road's results where they agree with the rules; in the rows marked
// "differs from the earlier road", the results the rules give, computed from the samples.
const Row rows[] = {
    // PNG
    {"png_grey_1", [] { return png(1, 1, false); }, W, H, 0xa35967b3e6d5a5e5},
    {"png_grey_2", [] { return png(1, 2, false); }, W, H, 0xa887e687d08b2a37},
    {"png_grey_4", [] { return png(1, 4, false); }, W, H, 0x962b101c52bf9629},
    {"png_grey_8", [] { return png(1, 8, false); }, W, H, 0xa53b5903fbe7a2f7},
    {"png_grey_16", [] { return png(1, 16, false); }, W, H, 0xa9af202de9e1684c},
    {"png_grey_alpha_8", [] { return png(2, 8, false); }, W, H, 0xa53b5903fbe7a2f7},
    {"png_grey_alpha_16", [] { return png(2, 16, false); }, W, H, 0xa9af202de9e1684c},
    {"png_rgb_8", [] { return png(3, 8, false); }, W, H, 0x92b5916e28112964},
    {"png_rgb_16", [] { return png(3, 16, false); }, W, H, 0xa31282186f92f8f3},
    {"png_rgba_8", [] { return png(4, 8, false); }, W, H, 0x92b5916e28112964},
    {"png_rgba_16", [] { return png(4, 16, false); }, W, H, 0xa31282186f92f8f3},
    {"png_palette_1", [] { return png_palette(1, false, false); }, W, H, 0xeca5bbccd7ce96ed},
    {"png_palette_2", [] { return png_palette(2, false, false); }, W, H, 0x9feb7db7418834b3},
    {"png_palette_4", [] { return png_palette(4, false, false); }, W, H, 0xd26a7e6b448cbadd},
    {"png_palette_8", [] { return png_palette(8, false, false); }, W, H, 0xf6d770a6c4ee1a87},
    {"png_palette_4_trns", [] { return png_palette(4, false, true); }, W, H, 0xd26a7e6b448cbadd},
    {"png_palette_8_trns", [] { return png_palette(8, false, true); }, W, H, 0xf6d770a6c4ee1a87},
    {"png_grey_2_trns", [] { return png_trns(1, 2, false); }, W, H, 0xa887e687d08b2a37},
    {"png_grey_8_trns", [] { return png_trns(1, 8, false); }, W, H, 0xa53b5903fbe7a2f7},
    {"png_grey_16_trns", [] { return png_trns(1, 16, false); }, W, H, 0xa9af202de9e1684c},
    {"png_rgb_8_trns", [] { return png_trns(3, 8, false); }, W, H, 0x92b5916e28112964},
    {"png_rgb_16_trns", [] { return png_trns(3, 16, false); }, W, H, 0xa31282186f92f8f3},
    {"png_adam7_grey_1", [] { return png(1, 1, true); }, W, H, 0xa35967b3e6d5a5e5},
    {"png_adam7_grey_2", [] { return png(1, 2, true); }, W, H, 0xa887e687d08b2a37},
    {"png_adam7_grey_4", [] { return png(1, 4, true); }, W, H, 0x962b101c52bf9629},
    {"png_adam7_grey_8", [] { return png(1, 8, true); }, W, H, 0xa53b5903fbe7a2f7},
    {"png_adam7_grey_16", [] { return png(1, 16, true); }, W, H, 0xa9af202de9e1684c},
    {"png_adam7_grey_alpha_8", [] { return png(2, 8, true); }, W, H, 0xa53b5903fbe7a2f7},
    {"png_adam7_grey_alpha_16", [] { return png(2, 16, true); }, W, H, 0xa9af202de9e1684c},
    {"png_adam7_rgb_8", [] { return png(3, 8, true); }, W, H, 0x92b5916e28112964},
    {"png_adam7_rgb_16", [] { return png(3, 16, true); }, W, H, 0xa31282186f92f8f3},
    {"png_adam7_rgba_8", [] { return png(4, 8, true); }, W, H, 0x92b5916e28112964},
    {"png_adam7_rgba_16", [] { return png(4, 16, true); }, W, H, 0xa31282186f92f8f3},
    {"png_adam7_palette_1", [] { return png_palette(1, true, false); }, W, H, 0xeca5bbccd7ce96ed},
    {"png_adam7_palette_2", [] { return png_palette(2, true, false); }, W, H, 0x9feb7db7418834b3},
    {"png_adam7_palette_4", [] { return png_palette(4, true, false); }, W, H, 0xd26a7e6b448cbadd},
    {"png_adam7_palette_8", [] { return png_palette(8, true, false); }, W, H, 0xf6d770a6c4ee1a87},
    {"png_adam7_palette_4_trns", [] { return png_palette(4, true, true); }, W, H, 0xd26a7e6b448cbadd},
    {"png_adam7_palette_8_trns", [] { return png_palette(8, true, true); }, W, H, 0xf6d770a6c4ee1a87},
    {"png_adam7_grey_2_trns", [] { return png_trns(1, 2, true); }, W, H, 0xa887e687d08b2a37},
    {"png_adam7_grey_8_trns", [] { return png_trns(1, 8, true); }, W, H, 0xa53b5903fbe7a2f7},
    {"png_adam7_grey_16_trns", [] { return png_trns(1, 16, true); }, W, H, 0xa9af202de9e1684c},
    {"png_adam7_rgb_8_trns", [] { return png_trns(3, 8, true); }, W, H, 0x92b5916e28112964},
    {"png_adam7_rgb_16_trns", [] { return png_trns(3, 16, true); }, W, H, 0xa31282186f92f8f3},
    // JPEG
    {"jpeg_grey", [] { return jpeg(JpegColour::grey); }, W, H, 0x5207f51f1a8dd7f7},
    {"jpeg_ycbcr_420", [] { return jpeg(JpegColour::ycbcr_420); }, W, H, 0x0da4069e8c6b05cd},
    {"jpeg_ycbcr_444", [] { return jpeg(JpegColour::ycbcr_444); }, W, H, 0x42bd20788b890487},
    {"jpeg_rgb", [] { return jpeg(JpegColour::rgb); }, W, H, 0x21291cd46bbd64ca},
    {"jpeg_adobe_cmyk", [] { return jpeg(JpegColour::adobe_cmyk); }, W, H, 0x35ad0f9eb7d1a2a9},
    {"jpeg_ycck", [] { return jpeg(JpegColour::ycck); }, W, H, 0x798150471a2a5452},
    {"jpeg_progressive_ycbcr_420", [] { return jpeg(JpegColour::ycbcr_420, true); }, W, H, 0x0da4069e8c6b05cd},
    {"jpeg_progressive_grey", [] { return jpeg(JpegColour::grey, true); }, W, H, 0x5207f51f1a8dd7f7},
    // GIF
    {"gif87a", [] { return gif({.gif89a = false}); }, W, H, 0xf6d770a6c4ee1a87},
    {"gif89a_transparent_index", [] { return gif({.transparent = true}); }, W, H, 0xf6d770a6c4ee1a87},
    {"gif_local_palette", [] { return gif({.local_palette = true}); }, W, H, 0x9c57ee2bf105c342},
    {"gif_interlaced", [] { return gif({.interlaced = true}); }, W, H, 0xf6d770a6c4ee1a87},
    {"gif_two_frames", [] { return gif({.second_frame = true}); }, W, H, 0xf6d770a6c4ee1a87},
    {"gif_frame_at_offset", [] { return gif({.frame_w = 40, .frame_h = 30, .left = 13, .top = 9}); }, W, H, 0x3a562bfae9d19a5b},
    // differs from the earlier road (the palette colour, not black):
    {"gif_frame_at_offset_transparent_index",
     [] { return gif({.frame_w = 40, .frame_h = 30, .left = 13, .top = 9, .transparent = true}); }, W, H, 0x3a562bfae9d19a5b,
     gif_transparent_kept},
    // WebP
    {"webp_lossy_rgb", [] { return webp_lossy(3); }, W, H, 0xaa87a235f4a21591},
    {"webp_lossy_rgba", [] { return webp_lossy(4); }, W, H, 0xf5ca6620e789567e},
    {"webp_lossless_rgb", [] { return webp_lossless(3); }, W, H, 0x92b5916e28112964},
    {"webp_lossless_rgba", [] { return webp_lossless(4); }, W, H, 0x92b5916e28112964},
    // differs from the earlier road (an animation took the fallback road): its first frame.
    {"webp_animated", webp_animation, W, H, 0x92b5916e28112964},
    // TIFF
    {"tiff_grey_8", [] { return tiff(page(varied_raster(W, H, 1, 8))); }, W, H, 0xa53b5903fbe7a2f7},
    {"tiff_grey_16", [] { return tiff(page(varied_raster(W, H, 1, 16))); }, W, H, 0xa9af202de9e1684c},
    {"tiff_grey_alpha_8", [] { return tiff(page(varied_raster(W, H, 2, 8))); }, W, H, 0xa53b5903fbe7a2f7},
    {"tiff_grey_alpha_16", [] { return tiff(page(varied_raster(W, H, 2, 16))); }, W, H, 0xa9af202de9e1684c},
    {"tiff_rgb_8", [] { return tiff(page(varied_raster(W, H, 3, 8))); }, W, H, 0x92b5916e28112964},
    {"tiff_rgb_16", [] { return tiff(page(varied_raster(W, H, 3, 16))); }, W, H, 0xa31282186f92f8f3},
    {"tiff_rgba_8", [] { return tiff(page(varied_raster(W, H, 4, 8))); }, W, H, 0x92b5916e28112964},
    {"tiff_rgba_16", [] { return tiff(page(varied_raster(W, H, 4, 16))); }, W, H, 0xa31282186f92f8f3},
    {"tiff_grey_alpha_8_associated", [] { return tiff_associated(2, 8); }, W, H, 0x3ce1dba312050117},
    // differ from the earlier road (stored colour, not divided by alpha):
    {"tiff_rgba_8_associated", [] { return tiff_associated(4, 8); }, W, H, 0xd5a178e47b3c25b3, premultiplied_kept},
    {"tiff_rgba_16_associated", [] { return tiff_associated(4, 16); }, W, H, 0x0ee961ceb7f416ad, premultiplied_kept},
    {"tiff_palette_8", [] { return tiff(palette_page(8, 256)); }, W, H, 0xf6d770a6c4ee1a87},
    {"tiff_palette_4", [] { return tiff(palette_page(4, 16)); }, W, H, 0xd26a7e6b448cbadd},
    // differs from the earlier road (no image, not a grey map):
    {"tiff_palette_8_colour_map_cut", tiff_cut_colour_map, 0, 0, 0, cut_map_fails},
    {"tiff_float_rgb", [] { return tiff(page(float_raster(W, H, 3, false))); }, W, H, 0x72c7fc1d369fab7c},
    {"tiff_float_rgba", [] { return tiff(page(float_raster(W, H, 4, false))); }, W, H, 0x72c7fc1d369fab7c},
    // differ from the earlier road (NaN 255, not 0):
    {"tiff_float_rgb_nan_inf", [] { return tiff(page(float_raster(W, H, 3, true))); }, W, H, 0xfc906e8199eba6b4, nan_white},
    {"tiff_float_rgba_nan_inf", [] { return tiff(page(float_raster(W, H, 4, true))); }, W, H, 0xfc906e8199eba6b4, nan_white},
    {"tiff_cmyk", tiff_cmyk, W, H, 0x7187a6370af6f964},
    {"tiff_tiled_rgb_8", [] { return tiff(with(page(varied_raster(W, H, 3, 8)), TiffCompression::none, 1, 16)); }, W, H, 0x92b5916e28112964},
    {"tiff_tiled_rgba_16_deflate",
     [] { return tiff(with(page(varied_raster(W, H, 4, 16)), TiffCompression::deflate, 1, 32)); }, W, H, 0xa31282186f92f8f3},
    {"tiff_tiled_float_rgb_lzw",
     [] { return tiff(with(page(float_raster(W, H, 3, false)), TiffCompression::lzw, 1, 16)); }, W, H, 0x72c7fc1d369fab7c},
    {"tiff_rgb_8_lzw", [] { return tiff(with(page(varied_raster(W, H, 3, 8)), TiffCompression::lzw)); }, W, H, 0x92b5916e28112964},
    {"tiff_rgb_16_lzw_predictor", [] { return tiff(with(page(varied_raster(W, H, 3, 16)), TiffCompression::lzw, 2)); }, W, H, 0xa31282186f92f8f3},
    {"tiff_grey_16_deflate", [] { return tiff(with(page(varied_raster(W, H, 1, 16)), TiffCompression::deflate)); }, W, H, 0xa9af202de9e1684c},
    {"tiff_float_rgba_deflate_predictor",
     [] { return tiff(with(page(float_raster(W, H, 4, false)), TiffCompression::deflate, 3)); }, W, H, 0x72c7fc1d369fab7c},
    {"tiff_palette_8_lzw", [] { return tiff(with(palette_page(8, 256), TiffCompression::lzw)); }, W, H, 0xf6d770a6c4ee1a87},
    {"tiff_big_endian_rgb_16", [] { return tiff(page(varied_raster(W, H, 3, 16)), true); }, W, H, 0xa31282186f92f8f3},
    {"tiff_big_endian_float_rgb", [] { return tiff(page(float_raster(W, H, 3, false)), true); }, W, H, 0x72c7fc1d369fab7c},
    {"tiff_big_endian_palette_8", [] { return tiff(palette_page(8, 256), true); }, W, H, 0xf6d770a6c4ee1a87},
    {"tiff_big_endian_grey_alpha_16_lzw",
     [] { return tiff(with(page(varied_raster(W, H, 2, 16)), TiffCompression::lzw), true); }, W, H, 0xa9af202de9e1684c},
    {"tiff_two_pages", tiff_two_pages, W, H, 0x92b5916e28112964},
    // BMP
    {"bmp_1", [] { return bmp_indexed(1, 2, {}); }, W, H, 0xeca5bbccd7ce96ed},
    {"bmp_4", [] { return bmp_indexed(4, 12, {}); }, W, H, 0xf5eccbbb5a12ed65},
    {"bmp_8", [] { return bmp_indexed(8, 256, {}); }, W, H, 0xf6d770a6c4ee1a87},
    {"bmp_8_top_down", [] { return bmp_indexed(8, 200, {.top_down = true}); }, W, H, 0x0437c696e6c3c2b7},
    {"bmp_rle4", [] { return bmp_rle(4); }, W, H, 0xf8f6efd2c0e9a583},
    {"bmp_rle8", [] { return bmp_rle(8); }, W, H, 0x44a058ab3f7608c3},
    {"bmp_16_555", [] { return bmp_16(BmpHeader::info, no_fields); }, W, H, 0xf5026c1611986157},
    {"bmp_16_565_bitfields", [] { return bmp_16(BmpHeader::info, rgb565); }, W, H, 0xde6d07cdc264ecaf},
    {"bmp_16_4444_v4", [] { return bmp_16(BmpHeader::v4, argb4444); }, W, H, 0x16572e87c1f55cd2},
    {"bmp_24", [] { return bmp_24(BmpHeader::info); }, W, H, 0x92b5916e28112964},
    {"bmp_24_top_down", [] { return bmp_24(BmpHeader::info, true); }, W, H, 0x92b5916e28112964},
    {"bmp_32", [] { return bmp_32(BmpHeader::info, 3, no_fields); }, W, H, 0x92b5916e28112964},
    {"bmp_32_bitfields_xbgr", [] { return bmp_32(BmpHeader::info, 3, xbgr32); }, W, H, 0x92b5916e28112964},
    {"bmp_32_v4_alpha", [] { return bmp_32(BmpHeader::v4, 4, argb32); }, W, H, 0x92b5916e28112964},
    {"bmp_32_v5_alpha", [] { return bmp_32(BmpHeader::v5, 4, argb32); }, W, H, 0x92b5916e28112964},
    // differ from the earlier road (decoded, not refused):
    {"bmp_32_bitfields_top_down", [] { return bmp_32(BmpHeader::info, 3, xbgr32, true); }, W, H, 0x92b5916e28112964, top_down_fields},
    {"bmp_32_v5_alpha_top_down", [] { return bmp_32(BmpHeader::v5, 4, argb32, true); }, W, H, 0x92b5916e28112964, top_down_fields},
    {"bmp_32_top_down", [] { return bmp_32(BmpHeader::info, 4, no_fields, true); }, W, H, 0x92b5916e28112964},
    {"bmp_24_v5", [] { return bmp_24(BmpHeader::v5); }, W, H, 0x92b5916e28112964},
    {"bmp_os2_1", [] { return bmp_indexed(1, 2, {.header = BmpHeader::os2}); }, W, H, 0xeca5bbccd7ce96ed},
    {"bmp_os2_8", [] { return bmp_indexed(8, 256, {.header = BmpHeader::os2}); }, W, H, 0xf6d770a6c4ee1a87},
    {"bmp_os2_24", [] { return bmp_24(BmpHeader::os2); }, W, H, 0x92b5916e28112964},
};

std::string hex(std::uint64_t v) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%016llx", static_cast<unsigned long long>(v));
    return text;
}

// Where two RGB images part: the first differing sample and how many differ.
std::string difference(const Bytes& got, const Bytes& want) {
    if (got.size() != want.size()) return "sizes differ";
    std::size_t count = 0, first = got.size();
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (got[i] == want[i]) continue;
        if (count++ == 0) first = i;
    }
    if (count == 0) return "";
    return std::to_string(count) + " samples differ, the first at pixel " + std::to_string(first / 3) + " channel " +
           std::to_string(first % 3) + ": " + std::to_string(got[first]) + " instead of " + std::to_string(want[first]);
}

std::string row_name(const testing::TestParamInfo<Row>& info) { return info.param.name; }

// GoogleTest prints a failing row by its name.
void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

class Golden : public testing::TestWithParam<Row> {};

TEST_P(Golden, Unscaled) {
    const Row& row = GetParam();
    if (row.differs) RecordProperty("differs_from_the_earlier_road", row.differs);
    const Fixture fixture = row.make();
    const auto rgb = prepare(fixture.file, budget);
    const std::string given = rgb ? std::to_string(rgb->width) + ", " + std::to_string(rgb->height) + ", " +
                                        hex(fnv1a(rgb->pixels))
                                  : "0, 0, 0 (no image)";
    SCOPED_TRACE(std::string(row.name) + ": prepare_rgb gives {" + given + "}" +
                 (row.differs ? std::string("; differs from the earlier road: ") + row.differs : std::string()));
    if (fixture.expected) {
        EXPECT_EQ(hex(fnv1a(*fixture.expected)), hex(row.digest)) << "the table's digest is not the samples' own";
    }
    if (row.width == 0) {
        EXPECT_FALSE(rgb);
        return;
    }
    ASSERT_TRUE(rgb);
    EXPECT_EQ(rgb->width, row.width);
    EXPECT_EQ(rgb->height, row.height);
    EXPECT_EQ(hex(fnv1a(rgb->pixels)), hex(row.digest));
    if (fixture.expected) {
        EXPECT_EQ(difference(rgb->pixels, *fixture.expected), "");
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, Golden, testing::ValuesIn(rows), row_name);

// --- scaled: one image per layout ---

// Floats clear of 0 and 1, so that clamping before or after resampling gives the same.
Raster smooth_float(std::uint32_t channels) {
    return make_float_raster(W, H, channels, [](std::uint32_t x, std::uint32_t y, std::uint32_t c) {
        return 0.5f + 0.4f * static_cast<float>(std::sin(x / (3.0 + c) + y / 7.0));
    });
}

struct ScaledRow {
    const char* name;
    std::function<Bytes()> file;
};

void PrintTo(const ScaledRow& row, std::ostream* out) { *out << row.name; }

template <class Make>
std::function<Bytes()> file_of(Make make) {
    return [make] { return make().file; };
}

const ScaledRow scaled_rows[] = {
    {"png_grey_1", file_of([] { return png(1, 1, false); })},
    {"png_grey_4", file_of([] { return png(1, 4, false); })},
    {"png_grey_8", file_of([] { return png(1, 8, false); })},
    {"png_grey_16", file_of([] { return png(1, 16, false); })},
    {"png_grey_alpha_8", file_of([] { return png(2, 8, false); })},
    {"png_grey_alpha_16", file_of([] { return png(2, 16, false); })},
    {"png_rgb_8", file_of([] { return png(3, 8, false); })},
    {"png_rgb_16", file_of([] { return png(3, 16, false); })},
    {"png_rgba_8", file_of([] { return png(4, 8, false); })},
    {"png_rgba_16", file_of([] { return png(4, 16, false); })},
    {"png_palette_2", file_of([] { return png_palette(2, false, false); })},
    {"png_palette_8_trns", file_of([] { return png_palette(8, false, true); })},
    {"png_grey_16_trns", file_of([] { return png_trns(1, 16, false); })},
    {"png_rgb_8_trns", file_of([] { return png_trns(3, 8, false); })},
    {"png_adam7_grey_8", file_of([] { return png(1, 8, true); })},
    {"png_adam7_rgb_16", file_of([] { return png(3, 16, true); })},
    {"png_adam7_rgba_8", file_of([] { return png(4, 8, true); })},
    {"png_adam7_palette_4", file_of([] { return png_palette(4, true, false); })},
    {"jpeg_grey", file_of([] { return jpeg(JpegColour::grey); })},
    {"jpeg_ycbcr_420", file_of([] { return jpeg(JpegColour::ycbcr_420); })},
    {"jpeg_ycbcr_444", file_of([] { return jpeg(JpegColour::ycbcr_444); })},
    {"jpeg_adobe_cmyk", file_of([] { return jpeg(JpegColour::adobe_cmyk); })},
    {"jpeg_progressive_ycbcr_420", file_of([] { return jpeg(JpegColour::ycbcr_420, true); })},
    {"gif89a_transparent_index", file_of([] { return gif({.transparent = true}); })},
    {"gif_interlaced", file_of([] { return gif({.interlaced = true}); })},
    {"gif_frame_at_offset", file_of([] { return gif({.frame_w = 40, .frame_h = 30, .left = 13, .top = 9}); })},
    {"webp_lossy_rgb", file_of([] { return webp_lossy(3); })},
    {"webp_lossy_rgba", file_of([] { return webp_lossy(4); })},
    {"webp_lossless_rgba", file_of([] { return webp_lossless(4); })},
    {"tiff_grey_8", file_of([] { return tiff(page(varied_raster(W, H, 1, 8))); })},
    {"tiff_grey_16", file_of([] { return tiff(page(varied_raster(W, H, 1, 16))); })},
    {"tiff_grey_alpha_16", file_of([] { return tiff(page(varied_raster(W, H, 2, 16))); })},
    {"tiff_rgb_8", file_of([] { return tiff(page(varied_raster(W, H, 3, 8))); })},
    {"tiff_rgb_16", file_of([] { return tiff(page(varied_raster(W, H, 3, 16))); })},
    {"tiff_rgba_8", file_of([] { return tiff(page(varied_raster(W, H, 4, 8))); })},
    {"tiff_rgba_16_associated", file_of([] { return tiff_associated(4, 16); })},
    {"tiff_palette_8", file_of([] { return tiff(palette_page(8, 256)); })},
    {"tiff_palette_4", file_of([] { return tiff(palette_page(4, 16)); })},
    {"tiff_float_rgb", file_of([] { return tiff(page(smooth_float(3))); })},
    {"tiff_float_rgba", file_of([] { return tiff(page(smooth_float(4))); })},
    {"tiff_cmyk", file_of(tiff_cmyk)},
    {"tiff_tiled_rgba_16_deflate",
     file_of([] { return tiff(with(page(varied_raster(W, H, 4, 16)), TiffCompression::deflate, 1, 32)); })},
    {"tiff_big_endian_rgb_16", file_of([] { return tiff(page(varied_raster(W, H, 3, 16)), true); })},
    {"bmp_1", file_of([] { return bmp_indexed(1, 2, {}); })},
    {"bmp_4", file_of([] { return bmp_indexed(4, 12, {}); })},
    {"bmp_8", file_of([] { return bmp_indexed(8, 256, {}); })},
    {"bmp_rle4", file_of([] { return bmp_rle(4); })},
    {"bmp_rle8", file_of([] { return bmp_rle(8); })},
    {"bmp_16_555", file_of([] { return bmp_16(BmpHeader::info, no_fields); })},
    {"bmp_16_565_bitfields", file_of([] { return bmp_16(BmpHeader::info, rgb565); })},
    {"bmp_24", file_of([] { return bmp_24(BmpHeader::info); })},
    {"bmp_24_top_down", file_of([] { return bmp_24(BmpHeader::info, true); })},
    {"bmp_32_v4_alpha", file_of([] { return bmp_32(BmpHeader::v4, 4, argb32); })},
    {"bmp_os2_24", file_of([] { return bmp_24(BmpHeader::os2); })},
};

std::optional<Bytes> resample(const tarnwick::RgbImage& image, std::uint32_t width, std::uint32_t height) {
    std::uint32_t next = 0;
    const auto rows = [&](unsigned char* row) {
        if (next >= image.height) return false;
        std::memcpy(row, &image.pixels[std::size_t{next++} * image.width * 3], std::size_t{image.width} * 3);
        return true;
    };
    Bytes out(std::size_t{width} * height * 3);
    if (!tarnwick::resample_rgb(image.width, image.height, width, height, rows, out.data())) return std::nullopt;
    return out;
}

std::string scaled_name(const testing::TestParamInfo<ScaledRow>& info) { return info.param.name; }

class GoldenScaled : public testing::TestWithParam<ScaledRow> {};

TEST_P(GoldenScaled, WithinOneLevelOfTheUnscaledResultResampled) {
    const Bytes file = GetParam().file();
    const auto full = prepare(file, budget);
    ASSERT_TRUE(full);
    const auto [width, height] = tarnwick::scaled_size(full->width, full->height, small_budget);
    ASSERT_LT(width, full->width);
    ASSERT_LT(height, full->height);
    const auto scaled = prepare(file, small_budget);
    ASSERT_TRUE(scaled);
    ASSERT_EQ(scaled->width, width);
    ASSERT_EQ(scaled->height, height);
    const auto expected = resample(*full, width, height);
    ASSERT_TRUE(expected);
    int worst = 0;
    std::size_t at = 0;
    for (std::size_t i = 0; i < expected->size(); ++i) {
        const int d = std::abs(scaled->pixels[i] - (*expected)[i]);
        if (d > worst) {
            worst = d;
            at = i;
        }
    }
    EXPECT_LE(worst, 1) << "at pixel " << at / 3 << " channel " << at % 3;
}

INSTANTIATE_TEST_SUITE_P(Layouts, GoldenScaled, testing::ValuesIn(scaled_rows), scaled_name);

}  // namespace
