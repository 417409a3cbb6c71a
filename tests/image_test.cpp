// Image preparation on the library road: the scale-down rule, the signature table and header
// probe, and real decodes of images made by image_fixtures, checked against the samples they
// were made of, libjpeg's own decode and a Lanczos3 written from its definition.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

#include <jpeglib.h>
#include <jerror.h>

#include "support/image_fixtures.h"
#include "tarnwick/image.h"
#include "tarnwick/image_probe.h"
#include "tarnwick/resample.h"

namespace {

using tarnwick::ImageFormat;
using test_support::Bytes;
using test_support::Raster;
constexpr std::uint64_t budget = 3211264;

Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::optional<tarnwick::RgbImage> prepare(const Bytes& file, std::uint64_t pixel_budget = budget) {
    return tarnwick::prepare_rgb(file.data(), file.size(), pixel_budget);
}

// An 8-bit RGB raster of packed pixels.
Raster rgb_raster(std::uint32_t width, std::uint32_t height, const Bytes& rgb) {
    return Raster{width, height, 3, 8, std::vector<std::uint16_t>(rgb.begin(), rgb.end()), {}};
}

// A photo-like test pattern: smooth waves whose peaks stay clear of 0 and 255, so that no filter
// overshoot is clipped.
Bytes pattern(std::uint32_t width, std::uint32_t height) {
    return test_support::expected_rgb(test_support::smooth_raster(width, height, 3));
}

// libjpeg's own decode of a file to packed RGB (grey spread, CMYK and YCCK combined as the
// inverted Adobe ink R = C * K / 255, rounded), tolerating damage as image preparation must: a
// warning lets the decode go on, but the same warning a fourth time, or a 101st scan, fails it.
struct JpegReference {
    struct Error {
        jpeg_error_mgr base;  // first, so that libjpeg's pointer is one to the whole
        std::jmp_buf jump;
        int strikes[JMSG_LASTMSGCODE];
    };
    jpeg_decompress_struct info{};
    Error error{};
    jpeg_progress_mgr progress{};

    [[noreturn]] static void fail(j_common_ptr info) { std::longjmp(reinterpret_cast<Error*>(info->err)->jump, 1); }
    static void warn(j_common_ptr info, int level) {
        auto* error = reinterpret_cast<Error*>(info->err);
        if (level < 0 && error->base.msg_code >= 0 && error->base.msg_code < JMSG_LASTMSGCODE &&
            ++error->strikes[error->base.msg_code] > 3)
            fail(info);
    }
    static void count_scans(j_common_ptr info) {
        if (reinterpret_cast<j_decompress_ptr>(info)->input_scan_number > 100) fail(info);
    }
    static void quiet(j_common_ptr) {}
};

std::optional<Bytes> libjpeg_rgb(const Bytes& file) {
    // Everything the jump may cross is made before setjmp.
    JpegReference r;
    Bytes rgb, row;
    r.info.err = jpeg_std_error(&r.error.base);
    r.error.base.error_exit = JpegReference::fail;
    r.error.base.emit_message = JpegReference::warn;
    r.error.base.output_message = JpegReference::quiet;
    r.progress.progress_monitor = JpegReference::count_scans;
    jpeg_create_decompress(&r.info);
    r.info.progress = &r.progress;
    if (setjmp(r.error.jump)) {
        jpeg_destroy_decompress(&r.info);
        return std::nullopt;
    }
    jpeg_mem_src(&r.info, file.data(), static_cast<unsigned long>(file.size()));
    jpeg_read_header(&r.info, TRUE);
    const bool cmyk = r.info.jpeg_color_space == JCS_CMYK || r.info.jpeg_color_space == JCS_YCCK;
    r.info.out_color_space = cmyk ? JCS_CMYK : JCS_RGB;
    jpeg_start_decompress(&r.info);
    const std::size_t width = r.info.output_width;
    rgb.reserve(width * r.info.output_height * 3);
    row.resize(width * (cmyk ? 4 : 3));
    while (r.info.output_scanline < r.info.output_height) {
        JSAMPROW rows[1] = {row.data()};
        jpeg_read_scanlines(&r.info, rows, 1);
        for (std::size_t x = 0; x < width; ++x) {
            if (!cmyk) {
                rgb.insert(rgb.end(), &row[x * 3], &row[x * 3 + 3]);
                continue;
            }
            const unsigned k = row[x * 4 + 3];
            for (int c = 0; c < 3; ++c) rgb.push_back(static_cast<unsigned char>((row[x * 4 + c] * k + 127) / 255));
        }
    }
    jpeg_finish_decompress(&r.info);
    jpeg_destroy_decompress(&r.info);
    return rgb;
}

// Separable Lanczos3 written from its definition, in double precision: each target sample
// weighs the source samples whose centres lie within 3 * max(1, source size / target size) of
// its own, by sinc(d) sinc(d / 3) at the distance d in source samples divided by
// max(1, source size / target size), the weights normalised to sum 1. Vertical pass first,
// clipped to 0 ... 255, then horizontal, rounded.
Bytes lanczos3(const Bytes& rgb, std::uint32_t w, std::uint32_t h, std::uint32_t new_w, std::uint32_t new_h) {
    struct Tap {
        std::uint32_t source;
        double weight;
    };
    const auto taps = [](std::uint32_t src, std::uint32_t dst) {
        const double scale = static_cast<double>(src) / dst, stretch = std::max(1.0, scale);
        std::vector<std::vector<Tap>> all(dst);
        for (std::uint32_t i = 0; i < dst; ++i) {
            const double centre = (i + 0.5) * scale;
            double sum = 0;
            for (std::uint32_t j = 0; j < src; ++j) {
                const double d = (j + 0.5 - centre) / stretch;
                if (std::abs(d) >= 3) continue;
                const auto sinc = [](double x) { return x == 0 ? 1.0 : std::sin(std::numbers::pi * x) / (std::numbers::pi * x); };
                all[i].push_back({j, sinc(d) * sinc(d / 3)});
                sum += all[i].back().weight;
            }
            for (Tap& t : all[i]) t.weight /= sum;
        }
        return all;
    };
    const auto rows = taps(h, new_h), columns = taps(w, new_w);
    Bytes out;
    std::vector<double> line(std::size_t{w} * 3);
    for (std::uint32_t y = 0; y < new_h; ++y) {
        std::fill(line.begin(), line.end(), 0.0);
        for (const Tap& t : rows[y])
            for (std::size_t i = 0; i < line.size(); ++i) line[i] += t.weight * rgb[t.source * line.size() + i];
        for (double& v : line) v = std::clamp(v, 0.0, 255.0);
        for (std::uint32_t x = 0; x < new_w; ++x) {
            for (int c = 0; c < 3; ++c) {
                double v = 0;
                for (const Tap& t : columns[x]) v += t.weight * line[t.source * 3 + c];
                out.push_back(static_cast<unsigned char>(std::lround(std::clamp(v, 0.0, 255.0))));
            }
        }
    }
    return out;
}

int worst_difference(const Bytes& got, const Bytes& want) {
    int worst = 0;
    for (std::size_t i = 0; i < got.size() && i < want.size(); ++i) worst = std::max(worst, std::abs(got[i] - want[i]));
    return worst;
}

// Resamples an in-memory RGB image through the row interface.
std::optional<Bytes> resample(const Bytes& rgb, std::uint32_t w, std::uint32_t h, std::uint32_t new_w, std::uint32_t new_h) {
    std::uint32_t next = 0;
    const auto rows = [&](unsigned char* row) {
        if (next >= h) return false;
        std::memcpy(row, &rgb[std::size_t{next++} * w * 3], std::size_t{w} * 3);
        return true;
    };
    Bytes out(std::size_t{new_w} * new_h * 3);
    if (!tarnwick::resample_rgb(w, h, new_w, new_h, rows, out.data())) return std::nullopt;
    return out;
}

TEST(ImageTest, PixelBudgetHasAFloorOf256Tokens) {
    const struct { std::int32_t tokens; std::uint64_t pixels; } cases[] = {
        {4096, 3211264}, {256, 200704}, {255, 200704}, {0, 200704}, {-5, 200704},
        {std::numeric_limits<std::int32_t>::max(), 2147483647ull * 784},
    };
    for (const auto& c : cases) EXPECT_EQ(tarnwick::pixel_budget(c.tokens), c.pixels) << c.tokens;
}

TEST(ImageTest, ScaledSizeFollowsTheWorkedExamples) {
    const struct { std::uint32_t w, h, new_w, new_h; } cases[] = {
        {1, 1, 1, 1},
        {1920, 1080, 1920, 1080},
        {100000, 10, 100000, 10},
        {1792, 1792, 1792, 1792},
        {2048, 1568, 2048, 1568},
        {1793, 1792, 1792, 1791},
        {3840, 2160, 2389, 1344},
        {4000, 3000, 2069, 1551},
        {3000, 4000, 1551, 2069},
        {8000, 8000, 1792, 1792},
        {28, 200000, 28, 151451},
        {10, 1000000, 28, 566680},
        {1, 4000000, 28, 3584000},
        {10, 10, 10, 10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.w) + " x " + std::to_string(c.h));
        const auto [w, h] = tarnwick::scaled_size(c.w, c.h, budget);
        EXPECT_EQ(w, c.new_w);
        EXPECT_EQ(h, c.new_h);
    }
}

TEST(ImageTest, FormatComesFromTheSignatureOnly) {
    const struct { std::string head; std::optional<ImageFormat> format; } cases[] = {
        {"\x89PNG\r\n\x1a\n", ImageFormat::png},
        {"\xff\xd8\xff\xe0", ImageFormat::jpeg},
        {"GIF87a", ImageFormat::gif},
        {"GIF89a", ImageFormat::gif},
        {std::string("RIFF\x10\0\0\0WEBPVP8 ", 16), ImageFormat::webp},
        {std::string("II*\0", 4), ImageFormat::tiff},
        {std::string("MM\0*", 4), ImageFormat::tiff},
        {std::string("II+\0", 4), ImageFormat::tiff},
        {"BM", ImageFormat::bmp},
        {"", std::nullopt},
        {"\x89PN", std::nullopt},
        {"P6\n1 1\n255\n", std::nullopt},                     // PNM
        {std::string("\0\0\1\0\1\0", 6), std::nullopt},       // ICO
        {"qoif", std::nullopt},                               // QOI
        {"DDS ", std::nullopt},
        {"#?RADIANCE\n", std::nullopt},
        {"v/1\1", std::nullopt},                              // OpenEXR
        {"farbfeld", std::nullopt},
        {std::string("\0\0\0\x1c" "ftypavif", 12), std::nullopt},
        {"%PDF-1.7", std::nullopt},
        {"hello, world", std::nullopt},
        {std::string("RIFF\x10\0\0\0WAVEfmt ", 16), std::nullopt},
        {std::string("II\0\0", 4), std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.head);
        const Bytes b = bytes_of(c.head);
        EXPECT_EQ(tarnwick::detect_format(b.data(), b.size()), c.format);
    }
}

TEST(ImageTest, EachFormatDecodesFromBytes) {
    // 3 x 2: red, green, blue / white, black, grey.
    const Bytes rgb{255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255, 0, 0, 0, 128, 128, 128};
    const Raster raster = rgb_raster(3, 2, rgb);
    test_support::Palette palette;
    for (std::size_t i = 0; i < rgb.size(); i += 3) palette.push_back({rgb[i], rgb[i + 1], rgb[i + 2]});
    const Raster indices{3, 2, 1, 8, {0, 1, 2, 3, 4, 5}, {}};
    const struct { const char* format; Bytes file; int tolerance; } cases[] = {
        {"PNG", test_support::encode_png(raster), 0},
        {"GIF", test_support::encode_gif({{.indices = indices}}, {.palette = palette}), 0},
        {"TIFF", test_support::encode_tiff({{.raster = raster}}), 0},
        {"BMP", test_support::encode_bmp(raster), 0},
        {"WEBP", test_support::encode_webp(raster, {.lossless = true}), 0},
        {"JPEG", test_support::encode_jpeg(raster, {.colour = test_support::JpegColour::ycbcr_444, .quality = 95}), 40},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format);
        const auto image = prepare(c.file);
        ASSERT_TRUE(image);
        EXPECT_EQ(image->width, 3u);
        EXPECT_EQ(image->height, 2u);
        ASSERT_EQ(image->pixels.size(), rgb.size());
        for (std::size_t i = 0; i < rgb.size(); ++i)
            EXPECT_NEAR(image->pixels[i], rgb[i], c.tolerance) << "sample " << i;
    }
}

TEST(ImageTest, SamplesConvertToRgbExactly) {
    const auto tiff_floats = [](std::vector<float> values) {
        const auto width = static_cast<std::uint32_t>(values.size() / 3);
        return test_support::encode_tiff({{.raster = Raster{width, 1, 3, 32, {}, std::move(values)}}});
    };
    const struct { const char* name; Bytes file; Bytes rgb; } cases[] = {
        {"16-bit RGBA rounds, alpha dropped",
         test_support::encode_png(Raster{2, 1, 4, 16, {65535, 129, 128, 0, 383, 384, 32767, 65535}, {}}),
         {255, 1, 0, 1, 1, 127}},
        {"transparent black and white keep their colour",
         test_support::encode_png(Raster{2, 1, 4, 8, {0, 0, 0, 0, 255, 255, 255, 0}, {}}), {0, 0, 0, 255, 255, 255}},
        {"8-bit grey", test_support::encode_png(Raster{2, 1, 1, 8, {7, 200}, {}}), {7, 7, 7, 200, 200, 200}},
        {"16-bit grey with alpha", test_support::encode_png(Raster{1, 1, 2, 16, {32896, 0}, {}}), {128, 128, 128}},
        {"RGB with tRNS",
         test_support::encode_png(Raster{1, 1, 3, 16, {255, 255, 255}, {}},
                                  {.transparent = std::array<std::uint16_t, 3>{255, 255, 255}}),
         {1, 1, 1}},
        {"32-bit float clamped, halves rounded up", tiff_floats({1.5f, -0.25f, 0.5f, 1.0f, 0.0f, 0.25f}),
         {255, 0, 128, 255, 0, 64}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto image = prepare(c.file);
        ASSERT_TRUE(image);
        EXPECT_EQ(image->pixels, c.rgb);
    }
}

TEST(ImageTest, UnusableBytesGiveNothing) {
    Bytes damaged = test_support::uniform_png(4, 4, 2, 8, 50);
    damaged[damaged.size() - 20] ^= 0xFF;  // inside IDAT: the checksum no longer matches
    Bytes cut_jpeg_header = test_support::encode_jpeg(Raster{4, 4, 3, 8, std::vector<std::uint16_t>(48, 9), {}});
    cut_jpeg_header.resize(30);
    // Only the header of a 12,000 x 12,000 RGBA PNG: 576,000,000 bytes of samples.
    const Bytes over_allowance = test_support::png_claiming(12000, 12000, 6, 8, 0);
    const struct { const char* name; Bytes file; } cases[] = {
        {"empty", {}},
        {"text", bytes_of("just some text\n")},
        {"PNM", bytes_of("P6\n1 1\n255\n\xff\0\0")},
        {"ICO", bytes_of(std::string("\0\0\1\0\1\0\1\1\0\0\1\0\x18\0", 14))},
        {"QOI", bytes_of(std::string("qoif\0\0\0\1\0\0\0\1\3\0\0\0\0\0\0\0\0\1", 22))},
        {"PNG signature only", bytes_of("\x89PNG\r\n\x1a\n")},
        {"damaged PNG", damaged},
        {"JPEG cut in its header", cut_jpeg_header},
        {"over the allowance", over_allowance},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(prepare(c.file));
    }
}

TEST(ImageTest, GifFrameIsPlacedOnItsLogicalScreen) {
    // A 4 x 2 screen with one red 1 x 1 frame at (2, 1); the rest of the screen is transparent black.
    const Bytes gif = test_support::encode_gif({{.indices = Raster{1, 1, 1, 8, {0}, {}}, .left = 2, .top = 1}},
                                               {.screen_width = 4, .screen_height = 2, .palette = {{255, 0, 0}, {0, 0, 255}}});
    const auto image = prepare(gif);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, 4u);
    EXPECT_EQ(image->height, 2u);
    Bytes expected(4 * 2 * 3, 0);
    expected[(1 * 4 + 2) * 3] = 255;
    EXPECT_EQ(image->pixels, expected);
}

TEST(ImageTest, TruncatedJpegStillGivesItsImage) {
    // The decoder warns and fills the missing rows; the part that is there is kept.
    const Raster noise = test_support::make_raster(64, 64, 3, 8, [](std::uint32_t x, std::uint32_t y, std::uint32_t c) {
        return ((y * 64 + x) * 3 + c) * 7;
    });
    Bytes jpeg = test_support::encode_jpeg(noise, {.quality = 95});
    jpeg.resize(jpeg.size() * 2 / 3);
    const auto image = prepare(jpeg);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, 64u);
    EXPECT_EQ(image->height, 64u);
}

TEST(ImageTest, CmykJpegBecomesRgb) {
    // Red as inverted (Adobe) ink: no cyan, full magenta and yellow, no black.
    const Raster red{2, 2, 4, 8, {255, 0, 0, 255, 255, 0, 0, 255, 255, 0, 0, 255, 255, 0, 0, 255}, {}};
    const auto image = prepare(test_support::encode_jpeg(red, {.colour = test_support::JpegColour::adobe_cmyk, .quality = 95}));
    ASSERT_TRUE(image);
    EXPECT_NEAR(image->pixels[0], 255, 8);
    EXPECT_NEAR(image->pixels[1], 0, 8);
    EXPECT_NEAR(image->pixels[2], 0, 8);
}

TEST(ImageTest, ScalingKeepsStoredColoursAndTheTargetSize) {
    // Fully transparent white resampled stays white: alpha does not weigh the colour.
    const Raster transparent_white = test_support::make_raster(
        100, 100, 4, 8, [](std::uint32_t, std::uint32_t, std::uint32_t c) { return c < 3 ? 255 : 0; });
    const auto white = prepare(test_support::encode_png(transparent_white), 2500);
    ASSERT_TRUE(white);
    EXPECT_EQ(white->width, 50u);
    EXPECT_EQ(white->height, 50u);
    EXPECT_EQ(white->pixels, Bytes(50 * 50 * 3, 255));

    const auto small = prepare(test_support::uniform_png(10, 10, 2, 8, 77));
    ASSERT_TRUE(small);
    EXPECT_EQ(small->width, 10u);
    EXPECT_EQ(small->height, 10u);
}

TEST(ImageTest, LargeImagesScaleToTheBudget) {
    const struct { std::uint32_t w, h, new_w, new_h; } cases[] = {
        {10, 1000000, 28, 566680},
        {8000, 8000, 1792, 1792},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.w) + " x " + std::to_string(c.h));
        const auto image = prepare(test_support::uniform_png(c.w, c.h, 2, 8, 90));
        ASSERT_TRUE(image);
        EXPECT_EQ(image->width, c.new_w);
        EXPECT_EQ(image->height, c.new_h);
        ASSERT_EQ(image->pixels.size(), std::size_t{c.new_w} * c.new_h * 3);
        EXPECT_EQ(image->pixels.front(), 90);
        EXPECT_EQ(image->pixels[image->pixels.size() / 2], 90);
    }
}

}  // namespace

namespace {

TEST(ImageTest, JpegDecodesLikeLibjpeg) {
    // Unscaled, the JPEG road gives exactly libjpeg's pixels, in every colour model.
    using test_support::JpegColour;
    const struct { const char* name; JpegColour colour; bool progressive; } cases[] = {
        {"YCbCr", JpegColour::ycbcr_420, false},
        {"grey", JpegColour::grey, false},
        {"RGB", JpegColour::rgb, false},
        {"YCbCr 4:4:4", JpegColour::ycbcr_444, false},
        {"CMYK (Adobe, inverted)", JpegColour::adobe_cmyk, false},
        {"YCCK", JpegColour::ycck, false},
        {"progressive", JpegColour::ycbcr_420, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::uint32_t channels = c.colour == JpegColour::grey                                       ? 1
                                       : c.colour == JpegColour::adobe_cmyk || c.colour == JpegColour::ycck ? 4
                                                                                                         : 3;
        const Bytes file = test_support::encode_jpeg(test_support::smooth_raster(37, 23, channels),
                                                     {.colour = c.colour, .quality = 95, .progressive = c.progressive});
        const auto image = prepare(file);
        ASSERT_TRUE(image);
        EXPECT_EQ(image->width, 37u);
        EXPECT_EQ(image->height, 23u);
        EXPECT_EQ(image->pixels, libjpeg_rgb(file));
    }
}

TEST(ImageTest, PngDecodesToItsSamples) {
    // Every PNG layout of at most 8 bits, with and without tRNS, gives its samples' colours
    // unscaled and stays within one level of Lanczos3 of them scaled.
    const std::uint32_t w = 61, h = 47;
    test_support::Palette palette;
    for (int i = 0; i < 256; ++i)
        palette.push_back({static_cast<std::uint8_t>(i * 7), static_cast<std::uint8_t>(255 - i), static_cast<std::uint8_t>(i * 13)});
    using Trns = std::optional<std::array<std::uint16_t, 3>>;
    const Trns grey_trns = std::array<std::uint16_t, 3>{1, 0, 0}, rgb_trns = std::array<std::uint16_t, 3>{9, 9, 9};
    const struct { std::uint32_t channels, depth; bool indexed; Trns trns; bool palette_trns; } cases[] = {
        {1, 1, false, {}, false}, {1, 2, false, {}, false}, {1, 4, false, {}, false}, {1, 8, false, {}, false},
        {1, 8, false, grey_trns, false}, {3, 8, false, {}, false}, {3, 8, false, rgb_trns, false},
        {2, 8, false, {}, false}, {4, 8, false, {}, false},
        {1, 1, true, {}, false}, {1, 2, true, {}, false}, {1, 4, true, {}, false}, {1, 8, true, {}, false},
        {1, 8, true, {}, true}, {1, 4, true, {}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.channels) + " channels, depth " + std::to_string(c.depth) +
                     (c.indexed ? " palette" : "") + (c.trns || c.palette_trns ? " tRNS" : ""));
        const Raster raster = test_support::make_raster(w, h, c.channels, c.depth, [&](std::uint32_t x, std::uint32_t y, std::uint32_t ch) {
            const std::uint32_t i = x * c.channels + ch;
            return (i * 37 + y * 11 + (i * y) % 7) * 29;
        });
        test_support::PngOptions options{.transparent = c.trns};
        Bytes expected;
        if (c.indexed) {
            options.palette.assign(palette.begin(), palette.begin() + (std::size_t{1} << c.depth));
            if (c.palette_trns)
                for (std::size_t i = 0; i < 4; ++i) options.palette[i].a = std::array<std::uint8_t, 4>{0, 128, 255, 7}[i];
            expected = test_support::expected_rgb(raster, options.palette);
        } else {
            expected = test_support::expected_rgb(raster);
        }
        const Bytes file = test_support::encode_png(raster, options);
        const auto image = prepare(file);
        ASSERT_TRUE(image);
        EXPECT_EQ(image->pixels, expected);
        const auto scaled = prepare(file, 1000);
        ASSERT_TRUE(scaled);
        ASSERT_EQ(scaled->pixels.size(), std::size_t{scaled->width} * scaled->height * 3);
        EXPECT_LE(worst_difference(scaled->pixels, lanczos3(expected, w, h, scaled->width, scaled->height)), 1);
    }
}

TEST(ImageTest, ScaledImagesStayWithinOneOfLanczos3) {
    // Hard black-and-white edges make the filter overshoot: the clipped intermediate keeps those
    // areas within one level too.
    const std::uint32_t ew = 160, eh = 120;
    const Raster edges = test_support::make_raster(ew, eh, 1, 8, [](std::uint32_t x, std::uint32_t y, std::uint32_t) {
        return ((x / 3 + y / 5) % 2) ? 1 : 0;
    });
    const test_support::Palette black_white{{0, 0, 0}, {255, 255, 255}};
    const Bytes edges_rgb = test_support::expected_rgb(edges, black_white);
    const Bytes photo = pattern(400, 300), strip = pattern(10, 500);
    const struct { const char* format; Bytes file; Bytes rgb; std::uint32_t w, h; std::uint64_t budget; std::uint32_t new_w, new_h; } cases[] = {
        {"JPEG", test_support::encode_jpeg(rgb_raster(400, 300, photo), {.quality = 95}), {}, 400, 300, 30000, 200, 150},
        // The 28-pixel floor upscales the width.
        {"JPEG", test_support::encode_jpeg(rgb_raster(10, 500, strip), {.quality = 95}), {}, 10, 500, 1000, 28, 223},
        {"PNG", test_support::encode_png(rgb_raster(ew, eh, edges_rgb)), edges_rgb, ew, eh, 5000, 81, 61},
        {"GIF", test_support::encode_gif({{.indices = edges}}, {.palette = black_white}), edges_rgb, ew, eh, 5000, 81, 61},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.format) + " " + std::to_string(c.w) + " x " + std::to_string(c.h));
        const auto image = prepare(c.file, c.budget);
        ASSERT_TRUE(image);
        ASSERT_EQ(image->width, c.new_w);
        ASSERT_EQ(image->height, c.new_h);
        // A lossy file is held to what libjpeg decodes of it.
        const Bytes source = c.rgb.empty() ? libjpeg_rgb(c.file).value_or(Bytes{}) : c.rgb;
        const Bytes expected = lanczos3(source, c.w, c.h, c.new_w, c.new_h);
        ASSERT_EQ(image->pixels.size(), expected.size());
        EXPECT_LE(worst_difference(image->pixels, expected), 1);
    }
}

TEST(ImageTest, DamagedJpegsNeverCrash) {
    // Every cut and a spread of flipped bytes, scaled and unscaled; under ASan this also shows
    // that no path leaks libjpeg's memory. A result, when there is one, has its full size.
    const Bytes file = test_support::encode_jpeg(rgb_raster(96, 80, pattern(96, 80)), {.quality = 95});
    const auto check = [](const Bytes& damaged, std::uint64_t pixel_budget, bool header_intact) {
        const Bytes copy(damaged);  // exactly sized, so an overread is seen
        const auto image = prepare(copy, pixel_budget);
        if (!image) return;
        EXPECT_EQ(image->pixels.size(), std::size_t{image->width} * image->height * 3);
        if (!header_intact) return;
        EXPECT_EQ(image->width, pixel_budget == budget ? 96u : 48u);
        EXPECT_EQ(image->height, pixel_budget == budget ? 80u : 40u);
    };
    for (std::uint64_t pixel_budget : {budget, std::uint64_t{1920}}) {
        SCOPED_TRACE(pixel_budget);
        for (std::size_t n = 0; n < file.size(); n += 3)
            check(Bytes(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(n)), pixel_budget, true);
        for (std::size_t at = 2; at < file.size(); at += 5) {
            Bytes damaged = file;
            damaged[at] ^= 0x5A;
            check(damaged, pixel_budget, false);
        }
    }
    // Cut inside the entropy data: libjpeg warns and fills the rest, and the image is kept.
    EXPECT_TRUE(prepare(Bytes(file.begin(), file.end() - 200)));
    // A frame header that claims a huge image is held to the allowance before decoding.
    Bytes huge = file;
    for (std::size_t at = 2; at + 9 < huge.size(); ++at) {
        if (huge[at] == 0xFF && huge[at + 1] == 0xC0) {
            huge[at + 5] = huge[at + 6] = huge[at + 7] = huge[at + 8] = 0xFF;  // 65535 x 65535
            break;
        }
    }
    EXPECT_FALSE(prepare(huge));
}

// A 64 x 64 grey progressive JPEG of exactly `scans` scans (4 to 128): the DC scan (split into
// two by successive approximation when `scans` is odd), then the first AC coefficients two scans
// each (successive approximation again), then one scan for the rest.
Bytes progressive_jpeg(int scans) {
    jpeg_compress_struct info{};
    jpeg_error_mgr error{};
    info.err = jpeg_std_error(&error);
    jpeg_create_compress(&info);
    unsigned char* buffer = nullptr;
    unsigned long length = 0;
    jpeg_mem_dest(&info, &buffer, &length);
    info.image_width = info.image_height = 64;
    info.input_components = 1;
    info.in_color_space = JCS_GRAYSCALE;
    jpeg_set_defaults(&info);
    std::vector<jpeg_scan_info> script;
    if (scans % 2) {
        script.push_back({1, {0}, 0, 0, 0, 1});
        script.push_back({1, {0}, 0, 0, 1, 0});
    } else {
        script.push_back({1, {0}, 0, 0, 0, 0});
    }
    const int bands = (scans - static_cast<int>(script.size()) - 1) / 2;
    for (int k = 1; k <= bands; ++k) {
        script.push_back({1, {0}, k, k, 0, 1});
        script.push_back({1, {0}, k, k, 1, 0});
    }
    script.push_back({1, {0}, bands + 1, 63, 0, 0});
    info.scan_info = script.data();
    info.num_scans = static_cast<int>(script.size());
    jpeg_start_compress(&info, TRUE);
    Bytes row(64);
    for (int y = 0; y < 64; ++y) {
        for (int x = 0; x < 64; ++x) row[x] = static_cast<unsigned char>(x * 4 ^ y);
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&info, rows, 1);
    }
    jpeg_finish_compress(&info);
    Bytes out(buffer, buffer + length);
    std::free(buffer);
    jpeg_destroy_compress(&info);
    return out;
}

TEST(ImageTest, JpegDamageIsToleratedWithinLimits) {
    // Damage is tolerated as far as libjpeg's warnings go, but not the same warning a fourth time
    // (a progressive file cut short warns at every later scan) nor a 101st scan.
    EXPECT_TRUE(prepare(progressive_jpeg(100)));
    EXPECT_TRUE(libjpeg_rgb(progressive_jpeg(100)));
    EXPECT_FALSE(prepare(progressive_jpeg(101)));
    EXPECT_FALSE(libjpeg_rgb(progressive_jpeg(101)));
    // Every cut of a baseline and of a progressive file: decoded with warnings, or failed for
    // repeating one warning too often, alike, and decoded to libjpeg's pixels.
    int decoded = 0, failed = 0;
    for (const Bytes& file : {test_support::encode_jpeg(rgb_raster(64, 64, pattern(64, 64)), {.quality = 95}),
                              progressive_jpeg(12)}) {
        for (std::size_t n = 0; n < file.size(); ++n) {
            const Bytes cut(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(n));
            const auto ours = prepare(cut);
            const auto reference = libjpeg_rgb(cut);
            ASSERT_EQ(ours.has_value(), reference.has_value()) << "cut at " << n << " of " << file.size();
            if (ours) {
                EXPECT_EQ(ours->pixels, *reference) << "cut at " << n;
            }
            ++(ours ? decoded : failed);
        }
    }
    EXPECT_GT(decoded, 0);
    EXPECT_GT(failed, 0);
}

TEST(ImageTest, ResamplerKeepsConstantsSizesAndOrder) {
    const struct { std::uint32_t w, h, new_w, new_h; } sizes[] = {
        {100, 80, 37, 29}, {37, 29, 100, 80}, {1, 5, 28, 7}, {1, 1, 28, 28}, {4000, 3, 2069, 28}, {5, 5, 5, 5},
    };
    for (const auto& c : sizes) {
        SCOPED_TRACE(std::to_string(c.w) + " x " + std::to_string(c.h) + " -> " + std::to_string(c.new_w) + " x " +
                     std::to_string(c.new_h));
        for (unsigned char value : {0, 1, 128, 254, 255}) {
            const auto out = resample(Bytes(std::size_t{c.w} * c.h * 3, value), c.w, c.h, c.new_w, c.new_h);
            ASSERT_TRUE(out);
            EXPECT_EQ(*out, Bytes(std::size_t{c.new_w} * c.new_h * 3, value)) << int(value);
        }
    }
    // A horizontal ramp stays non-decreasing along each row, down- and upscaled.
    for (std::uint32_t new_w : {17u, 250u}) {
        Bytes ramp;
        for (std::uint32_t y = 0; y < 4; ++y)
            for (std::uint32_t x = 0; x < 100; ++x) ramp.insert(ramp.end(), 3, static_cast<unsigned char>(x * 255 / 99));
        const auto out = resample(ramp, 100, 4, new_w, 3);
        ASSERT_TRUE(out);
        for (std::uint32_t y = 0; y < 3; ++y)
            for (std::uint32_t x = 1; x < new_w; ++x)
                EXPECT_LE((*out)[(y * new_w + x - 1) * 3], (*out)[(y * new_w + x) * 3]) << new_w << " at " << x;
    }
    // The same size is the identity.
    const Bytes rgb = pattern(9, 7);
    EXPECT_EQ(resample(rgb, 9, 7, 9, 7), rgb);
    // A source that fails stops the resampling.
    const auto failing = [](unsigned char*) { return false; };
    Bytes out(10 * 10 * 3);
    EXPECT_FALSE(tarnwick::resample_rgb(20, 20, 10, 10, failing, out.data()));
}

}  // namespace
