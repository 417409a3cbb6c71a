// Image preparation on the library road: the scale-down rule, the signature table and header
// probe, and real decodes of images generated here (hand-made PNGs through zlib, the other
// formats encoded by the image library itself).
#include <gtest/gtest.h>
#include <zlib.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>
#include <magick/api.h>

#include "tarnwick/image.h"
#include "tarnwick/image_probe.h"
#include "tarnwick/resample.h"

namespace {

using tarnwick::ImageFormat;
using Bytes = std::vector<unsigned char>;
constexpr std::uint64_t budget = 3211264;

Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }

void put_be32(Bytes& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<unsigned char>(v >> shift));
}

void put_chunk(Bytes& out, const char* type, const Bytes& data) {
    put_be32(out, static_cast<std::uint32_t>(data.size()));
    const std::size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    put_be32(out, static_cast<std::uint32_t>(crc32(0, out.data() + start, static_cast<uInt>(out.size() - start))));
}

// A PNG of `width` x `height` whose row y (filter byte excluded) is made by `row`; rows are
// deflated one at a time, so huge but uniform images stay small in memory and on disk.
Bytes make_png(std::uint32_t width, std::uint32_t height, int colour_type, int depth,
               const std::function<void(std::uint32_t, Bytes&)>& row, const Bytes* trns = nullptr) {
    Bytes out = bytes_of("\x89PNG\r\n\x1a\n");
    Bytes ihdr;
    put_be32(ihdr, width);
    put_be32(ihdr, height);
    ihdr.insert(ihdr.end(), {static_cast<unsigned char>(depth), static_cast<unsigned char>(colour_type), 0, 0, 0});
    put_chunk(out, "IHDR", ihdr);
    if (trns) put_chunk(out, "tRNS", *trns);
    z_stream z{};
    deflateInit(&z, 6);
    Bytes idat, line, buffer(1 << 16);
    for (std::uint32_t y = 0; y < height; ++y) {
        line.assign(1, 0);
        row(y, line);
        z.next_in = line.data();
        z.avail_in = static_cast<uInt>(line.size());
        const int flush = y + 1 == height ? Z_FINISH : Z_NO_FLUSH;
        do {
            z.next_out = buffer.data();
            z.avail_out = static_cast<uInt>(buffer.size());
            deflate(&z, flush);
            idat.insert(idat.end(), buffer.data(), z.next_out);
        } while (z.avail_out == 0);
    }
    deflateEnd(&z);
    put_chunk(out, "IDAT", idat);
    put_chunk(out, "IEND", {});
    return out;
}

// A PNG whose every row is the same bytes.
Bytes uniform_png(std::uint32_t width, std::uint32_t height, int colour_type, int depth, const Bytes& pixels) {
    return make_png(width, height, colour_type, depth,
                    [&](std::uint32_t, Bytes& line) { line.insert(line.end(), pixels.begin(), pixels.end()); });
}

std::optional<tarnwick::RgbImage> prepare(const Bytes& file, std::uint64_t pixel_budget = budget) {
    return tarnwick::prepare_rgb(file.data(), file.size(), pixel_budget);
}

// Encodes 8-bit RGB pixels with the image library in the given format ("PNG", "JPEG", ...).
Bytes encode(const char* format, std::uint32_t width, std::uint32_t height, const Bytes& rgb,
             const char* definitions = nullptr, bool cmyk = false) {
    InitializeMagickEx(nullptr, MAGICK_OPT_NO_SIGNAL_HANDER, nullptr);
    ExceptionInfo exception;
    GetExceptionInfo(&exception);
    Image* image = ConstituteImage(width, height, "RGB", CharPixel, rgb.data(), &exception);
    ImageInfo* info = CloneImageInfo(nullptr);
    std::strncpy(info->magick, format, MaxTextExtent - 1);
    std::strncpy(image->magick, format, MaxTextExtent - 1);
    info->quality = 95;
    if (definitions) AddDefinitions(info, definitions, &exception);
    if (cmyk) TransformColorspace(image, CMYKColorspace);
    size_t length = 0;
    void* blob = ImageToBlob(info, image, &length, &exception);
    Bytes out(static_cast<unsigned char*>(blob), static_cast<unsigned char*>(blob) + length);
    MagickFree(blob);
    DestroyImageInfo(info);
    DestroyImage(image);
    DestroyExceptionInfo(&exception);
    return out;
}

// The image library's own decode of a file, scaled with its Lanczos3 when a size is given, as
// 8-bit RGB: the reference the JPEG road is held to.
Bytes library_rgb(const Bytes& file, std::uint32_t width = 0, std::uint32_t height = 0, const char* format = "JPEG:") {
    InitializeMagickEx(nullptr, MAGICK_OPT_NO_SIGNAL_HANDER, nullptr);
    ExceptionInfo exception;
    GetExceptionInfo(&exception);
    ImageInfo* info = CloneImageInfo(nullptr);
    std::strncpy(info->filename, format, MaxTextExtent - 1);
    Image* image = BlobToImage(info, file.data(), file.size(), &exception);
    Bytes out;
    if (image) {
        if (image->colorspace == CMYKColorspace) TransformColorspace(image, RGBColorspace);
        if (width) {
            image->matte = MagickFalse;  // as image preparation resizes: colour not weighted by alpha
            Image* scaled = ResizeImage(image, width, height, LanczosFilter, 1.0, &exception);
            DestroyImage(image);
            image = scaled;
        }
        for (unsigned long y = 0; y < image->rows; ++y) {
            const PixelPacket* row = AcquireImagePixels(image, 0, static_cast<long>(y), image->columns, 1, &exception);
            for (unsigned long x = 0; x < image->columns; ++x)
                for (Quantum v : {row[x].red, row[x].green, row[x].blue})
                    out.push_back(static_cast<unsigned char>((v + 128u) / 257u));
        }
        DestroyImage(image);
    }
    DestroyImageInfo(info);
    DestroyExceptionInfo(&exception);
    return out;
}

// A photo-like test pattern: smooth waves of different lengths per channel. Their peaks stay
// clear of 0 and 255, so no filter overshoot is clipped and the image library's 16-bit
// intermediate and our float one agree.
Bytes pattern(std::uint32_t width, std::uint32_t height) {
    Bytes rgb;
    const auto wave = [](double phase, double amplitude) { return static_cast<unsigned char>(128 + amplitude * std::sin(phase)); };
    for (std::uint32_t y = 0; y < height; ++y)
        for (std::uint32_t x = 0; x < width; ++x)
            rgb.insert(rgb.end(), {wave(x / 3.0, 90), wave(y / 5.0 + x / 9.0, 100), wave((x * x + y * y) / 400.0, 80)});
    return rgb;
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
    const struct { const char* format; const char* definitions; int tolerance; } cases[] = {
        {"PNG", nullptr, 0},  {"GIF", nullptr, 0},  {"TIFF", nullptr, 0},
        {"BMP", nullptr, 0},  {"WEBP", "webp:lossless=true", 0}, {"JPEG", nullptr, 40},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format);
        const auto image = prepare(encode(c.format, 3, 2, rgb, c.definitions));
        ASSERT_TRUE(image);
        EXPECT_EQ(image->width, 3u);
        EXPECT_EQ(image->height, 2u);
        ASSERT_EQ(image->pixels.size(), rgb.size());
        for (std::size_t i = 0; i < rgb.size(); ++i)
            EXPECT_NEAR(image->pixels[i], rgb[i], c.tolerance) << "sample " << i;
    }
}

TEST(ImageTest, SamplesConvertToRgbExactly) {
    const auto be16 = [](std::initializer_list<unsigned> values) {
        Bytes out;
        for (unsigned v : values) out.insert(out.end(), {static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)});
        return out;
    };
    const Bytes trns_white = be16({255, 255, 255});
    const struct { const char* name; Bytes file; Bytes rgb; } cases[] = {
        {"16-bit RGBA rounds, alpha dropped",
         uniform_png(2, 1, 6, 16, be16({65535, 129, 128, 0, 383, 384, 32767, 65535})), {255, 1, 0, 1, 1, 127}},
        {"transparent black and white keep their colour",
         uniform_png(2, 1, 6, 8, {0, 0, 0, 0, 255, 255, 255, 0}), {0, 0, 0, 255, 255, 255}},
        {"8-bit grey", uniform_png(2, 1, 0, 8, {7, 200}), {7, 7, 7, 200, 200, 200}},
        {"16-bit grey with alpha", uniform_png(1, 1, 4, 16, be16({32896, 0})), {128, 128, 128}},
        {"RGB with tRNS", make_png(1, 1, 2, 16, [&](std::uint32_t, Bytes& l) {
             const Bytes px = be16({255, 255, 255}); l.insert(l.end(), px.begin(), px.end()); }, &trns_white),
         {1, 1, 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto image = prepare(c.file);
        ASSERT_TRUE(image);
        EXPECT_EQ(image->pixels, c.rgb);
    }
}

TEST(ImageTest, UnusableBytesGiveNothing) {
    Bytes damaged = uniform_png(4, 4, 2, 8, Bytes(12, 50));
    damaged[damaged.size() - 20] ^= 0xFF;  // inside IDAT: the checksum no longer matches
    Bytes cut_jpeg_header = encode("JPEG", 4, 4, Bytes(48, 9));
    cut_jpeg_header.resize(30);
    // Only the header of a 12,000 x 12,000 RGBA PNG: 576,000,000 bytes of samples.
    const Bytes over_allowance = [] {
        Bytes out = bytes_of("\x89PNG\r\n\x1a\n"), ihdr;
        put_be32(ihdr, 12000);
        put_be32(ihdr, 12000);
        ihdr.insert(ihdr.end(), {8, 6, 0, 0, 0});
        put_chunk(out, "IHDR", ihdr);
        put_chunk(out, "IDAT", {0x78, 0x9c, 0x03, 0x00, 0, 0, 0, 1});
        put_chunk(out, "IEND", {});
        return out;
    }();
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
    const Bytes gif = bytes_of(std::string(
        "GIF89a\x04\0\x02\0\x80\0\0" "\xff\0\0\0\0\xff"
        "\x2c\x02\0\x01\0\x01\0\x01\0\0" "\x02\x02\x44\x01\0" "\x3b", 35));
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
    std::vector<unsigned char> rgb(64 * 64 * 3);
    for (std::size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<unsigned char>(i * 7);
    Bytes jpeg = encode("JPEG", 64, 64, rgb);
    jpeg.resize(jpeg.size() * 2 / 3);
    const auto image = prepare(jpeg);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, 64u);
    EXPECT_EQ(image->height, 64u);
}

TEST(ImageTest, CmykJpegBecomesRgb) {
    const auto image = prepare(encode("JPEG", 2, 2, {255, 0, 0, 255, 0, 0, 255, 0, 0, 255, 0, 0}, nullptr, true));
    ASSERT_TRUE(image);
    EXPECT_NEAR(image->pixels[0], 255, 8);
    EXPECT_NEAR(image->pixels[1], 0, 8);
    EXPECT_NEAR(image->pixels[2], 0, 8);
}

TEST(ImageTest, ScalingKeepsStoredColoursAndTheTargetSize) {
    // Fully transparent white resampled stays white: alpha does not weigh the colour.
    Bytes transparent_white;
    for (int i = 0; i < 100; ++i) transparent_white.insert(transparent_white.end(), {255, 255, 255, 0});
    const auto white = prepare(uniform_png(100, 100, 6, 8, transparent_white), 2500);
    ASSERT_TRUE(white);
    EXPECT_EQ(white->width, 50u);
    EXPECT_EQ(white->height, 50u);
    EXPECT_EQ(white->pixels, Bytes(50 * 50 * 3, 255));

    const auto small = prepare(uniform_png(10, 10, 2, 8, Bytes(30, 77)));
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
        const auto image = prepare(uniform_png(c.w, c.h, 2, 8, Bytes(std::size_t{c.w} * 3, 90)));
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

TEST(ImageTest, JpegDecodesLikeTheImageLibrary) {
    // Unscaled, the JPEG road gives exactly the image library's pixels, in every colour model.
    const Bytes rgb = pattern(37, 23);
    const struct { const char* name; const char* definitions; bool cmyk; } cases[] = {
        {"YCbCr", nullptr, false},
        {"grey", "jpeg:colorspace=1", false},
        {"RGB", "jpeg:colorspace=2", false},
        {"YCbCr 4:4:4", "jpeg:sampling-factor=1x1", false},
        {"CMYK (Adobe, inverted)", nullptr, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes file = encode("JPEG", 37, 23, rgb, c.definitions, c.cmyk);
        const auto image = prepare(file);
        ASSERT_TRUE(image);
        EXPECT_EQ(image->width, 37u);
        EXPECT_EQ(image->height, 23u);
        EXPECT_EQ(image->pixels, library_rgb(file));
    }
}

TEST(ImageTest, PngDecodesLikeTheImageLibrary) {
    // Every 8-bit-or-less PNG layout, with and without tRNS, gives the image library's pixels
    // unscaled and stays within one level of its Lanczos3 result scaled.
    const std::uint32_t w = 61, h = 47;
    Bytes palette;
    for (int i = 0; i < 256; ++i) palette.insert(palette.end(), {static_cast<unsigned char>(i * 7), static_cast<unsigned char>(255 - i), static_cast<unsigned char>(i * 13)});
    const Bytes grey_trns = {0, 1}, rgb_trns = {0, 9, 0, 9, 0, 9}, palette_trns = {0, 128, 255, 7};
    const struct { int colour, depth; const Bytes* trns; } cases[] = {
        {0, 1, nullptr}, {0, 2, nullptr}, {0, 4, nullptr}, {0, 8, nullptr}, {0, 8, &grey_trns},
        {2, 8, nullptr}, {2, 8, &rgb_trns}, {4, 8, nullptr}, {6, 8, nullptr},
        {3, 1, nullptr}, {3, 2, nullptr}, {3, 4, nullptr}, {3, 8, nullptr}, {3, 8, &palette_trns}, {3, 4, &palette_trns},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("colour type " + std::to_string(c.colour) + " depth " + std::to_string(c.depth) + (c.trns ? " tRNS" : ""));
        const int channels = c.colour == 2 ? 3 : c.colour == 4 ? 2 : c.colour == 6 ? 4 : 1;
        const std::uint32_t bits = w * channels * c.depth, bytes = (bits + 7) / 8;
        Bytes file = make_png(w, h, c.colour, c.depth, [&](std::uint32_t y, Bytes& line) {
            for (std::uint32_t i = 0; i < bytes; ++i) line.push_back(static_cast<unsigned char>((i * 37 + y * 11 + (i * y) % 7) * 29));
        }, c.trns);
        if (c.colour == 3) {
            Bytes plte;
            put_chunk(plte, "PLTE", palette);
            file.insert(file.begin() + 33, plte.begin(), plte.end());
        }
        const auto image = prepare(file);
        ASSERT_TRUE(image);
        EXPECT_EQ(image->pixels, library_rgb(file, 0, 0, "PNG:"));
        const auto scaled = prepare(file, 1000);
        ASSERT_TRUE(scaled);
        const Bytes expected = library_rgb(file, scaled->width, scaled->height, "PNG:");
        ASSERT_EQ(scaled->pixels.size(), expected.size());
        int worst = 0;
        for (std::size_t i = 0; i < expected.size(); ++i) worst = std::max(worst, std::abs(scaled->pixels[i] - expected[i]));
        EXPECT_LE(worst, 1);
    }
}

TEST(ImageTest, ScaledImagesStayWithinOneOfTheImageLibrary) {
    // Hard black-and-white edges make the filter overshoot: the clipped intermediate keeps those
    // areas with the library's result too.
    Bytes edges;
    for (std::uint32_t y = 0; y < 120; ++y)
        for (std::uint32_t x = 0; x < 160; ++x) edges.insert(edges.end(), 3, ((x / 3 + y / 5) % 2) ? 255 : 0);
    const struct { const char* format; std::uint32_t w, h; Bytes rgb; std::uint64_t budget; std::uint32_t new_w, new_h; } cases[] = {
        {"JPEG", 400, 300, pattern(400, 300), 30000, 200, 150},
        {"JPEG", 10, 500, pattern(10, 500), 1000, 28, 223},  // the 28-pixel floor upscales the width
        {"PNG", 160, 120, edges, 5000, 81, 61},
        {"GIF", 160, 120, edges, 5000, 81, 61},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.format) + " " + std::to_string(c.w) + " x " + std::to_string(c.h));
        const Bytes file = encode(c.format, c.w, c.h, c.rgb);
        const auto image = prepare(file, c.budget);
        ASSERT_TRUE(image);
        ASSERT_EQ(image->width, c.new_w);
        ASSERT_EQ(image->height, c.new_h);
        const Bytes expected = library_rgb(file, c.new_w, c.new_h, (std::string(c.format) + ":").c_str());
        ASSERT_EQ(image->pixels.size(), expected.size());
        int worst = 0;
        for (std::size_t i = 0; i < expected.size(); ++i) worst = std::max(worst, std::abs(image->pixels[i] - expected[i]));
        EXPECT_LE(worst, 1);
    }
}

TEST(ImageTest, DamagedJpegsNeverCrash) {
    // Every cut and a spread of flipped bytes, scaled and unscaled; under ASan this also shows
    // that no path leaks libjpeg's memory. A result, when there is one, has its full size.
    const Bytes file = encode("JPEG", 96, 80, pattern(96, 80));
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

bool library_decodes(const Bytes& file) {
    InitializeMagickEx(nullptr, MAGICK_OPT_NO_SIGNAL_HANDER, nullptr);
    ExceptionInfo exception;
    GetExceptionInfo(&exception);
    ImageInfo* info = CloneImageInfo(nullptr);
    std::strncpy(info->filename, "JPEG:", MaxTextExtent - 1);
    Image* image = BlobToImage(info, file.data(), file.size(), &exception);
    const bool ok = image && exception.severity < ErrorException;
    if (image) DestroyImage(image);
    DestroyImageInfo(info);
    DestroyExceptionInfo(&exception);
    return ok;
}

TEST(ImageTest, JpegDamageIsToleratedAsTheImageLibraryDoes) {
    EXPECT_TRUE(prepare(progressive_jpeg(100)));
    EXPECT_TRUE(library_decodes(progressive_jpeg(100)));
    EXPECT_FALSE(prepare(progressive_jpeg(101)));
    EXPECT_FALSE(library_decodes(progressive_jpeg(101)));
    // Every cut of a baseline and of a progressive file: decoded with warnings, or failed for
    // repeating one warning too often, alike.
    int decoded = 0, failed = 0;
    for (const Bytes& file : {encode("JPEG", 64, 64, pattern(64, 64)), progressive_jpeg(12)}) {
        for (std::size_t n = 0; n < file.size(); ++n) {
            const Bytes cut(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(n));
            const bool ours = prepare(cut).has_value();
            EXPECT_EQ(ours, library_decodes(cut)) << "cut at " << n << " of " << file.size();
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
