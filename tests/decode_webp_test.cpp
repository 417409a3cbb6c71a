// The WebP decoder: the layout each kind of file gives, rows equal to libwebp's own whole-image
// decode (in one band and cut into many), the alpha chunk's filters, an animation's first frame on
// its canvas, and files that are cut short, damaged or hostile. Fixtures come from image_fixtures:
// libwebp's encoder, or put together chunk by chunk.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include <webp/decode.h>
#include <webp/demux.h>

#include "support/image_fixtures.h"
#include "tarnwick/decode.h"
#include "tarnwick/decode_webp.h"

namespace {

using tarnwick::ImageDecoder;
using tarnwick::PixelLayout;
using tarnwick::SampleType;
using test_support::Bytes;
using test_support::webp_alpha_flag;
using test_support::webp_animation_file;
using test_support::webp_animation_flag;
using test_support::webp_chunk;
using test_support::webp_file;
using test_support::webp_find_chunk;
using test_support::webp_image_chunks;
using test_support::webp_raw_alpha;
using test_support::webp_vp8x;

constexpr PixelLayout rgb{3, SampleType::u8};
constexpr PixelLayout rgba{4, SampleType::u8};

// RGBA pixels with smooth and noisy parts, so that every predictor and filter has work; alpha
// runs through every value, and some fully transparent pixels keep a stored colour.
std::vector<std::uint32_t> test_pixels(int width, int height, bool opaque) {
    std::vector<std::uint32_t> argb(static_cast<std::size_t>(width) * height);
    std::uint32_t noise = 12345;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            noise = noise * 1103515245 + 12345;
            const std::uint32_t r = (x * 255 / width + (noise >> 28)) & 255;
            const std::uint32_t g = (y * 255 / height) & 255;
            const std::uint32_t b = ((x ^ y) * 16 + (noise >> 24)) & 255;
            const std::uint32_t a = opaque ? 255 : (x + y) % 5 == 0 ? 0 : (x * 7 + y * 3) & 255;
            argb[static_cast<std::size_t>(y) * width + x] = a << 24 | r << 16 | g << 8 | b;
        }
    }
    return argb;
}

// The file image_fixtures' encoder (libwebp's) makes of the pixels: lossless at quality 50, lossy
// at 80 with the simple loop filter unless the options name another.
Bytes encode(int width, int height, const std::vector<std::uint32_t>& argb, test_support::WebpOptions options) {
    options.quality = options.lossless ? 50 : 80;
    options.filter_type = options.filter_type.value_or(0);
    const test_support::Raster rgba = test_support::make_raster(
        static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height), 4, 8,
        [&](std::uint32_t x, std::uint32_t y, std::uint32_t c) {
            const std::uint32_t pixel = argb[std::size_t{y} * static_cast<std::uint32_t>(width) + x];
            return c == 3 ? pixel >> 24 : pixel >> (16 - 8 * c);
        });
    return test_support::encode_webp(rgba, options);
}

Bytes encode(int width, int height, bool opaque, const test_support::WebpOptions& options) {
    return encode(width, height, test_pixels(width, height, opaque), options);
}

Bytes alpha_plane(int width, int height) {
    Bytes alpha;
    for (std::uint32_t p : test_pixels(width, height, false)) alpha.push_back(static_cast<unsigned char>(p >> 24));
    return alpha;
}

// A lossy file whose alpha is stored raw behind `filter`.
Bytes lossy_with_raw_alpha(int width, int height, int filter) {
    const Bytes colour = webp_find_chunk(encode(width, height, true, {}), "VP8 ");
    Bytes chunks = webp_vp8x(webp_alpha_flag, width, height);
    const Bytes alpha = webp_raw_alpha(alpha_plane(width, height), width, height, filter);
    chunks.insert(chunks.end(), alpha.begin(), alpha.end());
    chunks.insert(chunks.end(), colour.begin(), colour.end());
    return webp_file(chunks);
}

// libwebp's own decode of the whole file in `layout`; for an animation, its first frame composed
// on the canvas by libwebp's animation decoder.
Bytes library_decode(const Bytes& file, PixelLayout layout) {
    WebPBitstreamFeatures features;
    if (WebPGetFeatures(file.data(), file.size(), &features) != VP8_STATUS_OK) return {};
    if (features.has_animation) {
        WebPAnimDecoderOptions options;
        WebPAnimDecoderOptionsInit(&options);
        options.color_mode = MODE_RGBA;
        const WebPData data{file.data(), file.size()};
        WebPAnimDecoder* decoder = WebPAnimDecoderNew(&data, &options);
        Bytes out;
        std::uint8_t* canvas = nullptr;
        int timestamp = 0;
        if (decoder && WebPAnimDecoderGetNext(decoder, &canvas, &timestamp))
            out.assign(canvas, canvas + static_cast<std::size_t>(features.width) * features.height * 4);
        WebPAnimDecoderDelete(decoder);
        return out;
    }
    int width = 0, height = 0;
    std::uint8_t* pixels = layout.channels == 4 ? WebPDecodeRGBA(file.data(), file.size(), &width, &height)
                                                : WebPDecodeRGB(file.data(), file.size(), &width, &height);
    if (!pixels) return {};
    Bytes out(pixels, pixels + static_cast<std::size_t>(width) * height * layout.channels);
    WebPFree(pixels);
    return out;
}

struct Decoded {
    bool opened = false;
    bool complete = false;  // started, and every row read
    PixelLayout layout;
    std::uint32_t width = 0, height = 0;
    Bytes rows;
};

// Opens, and when the image's samples take at most `max_bytes` (the road's allowance check, made
// small here: damage to a header can promise a canvas of millions of rows), decodes every row.
Decoded decode(const Bytes& file, std::size_t budget = 0, std::uint64_t max_bytes = 1 << 20) {
    Decoded d;
    const auto decoder = tarnwick::open_webp_in_bands(file.data(), file.size(), budget);
    if (!decoder) return d;
    d.opened = true;
    d.layout = decoder->layout();
    d.width = decoder->width();
    d.height = decoder->height();
    if (std::uint64_t{decoder->row_bytes()} * d.height > max_bytes || !decoder->start()) return d;
    d.rows.assign(decoder->row_bytes() * d.height, 0xAA);  // every byte must be written
    for (std::uint32_t y = 0; y < d.height; ++y)
        if (!decoder->read_row(&d.rows[y * decoder->row_bytes()])) return d;
    Bytes past(decoder->row_bytes() + 1);
    d.complete = !decoder->read_row(past.data());
    return d;
}

struct Fixture {
    const char* name;
    Bytes file;
    PixelLayout layout;
    std::uint32_t width, height;
};

std::vector<Fixture> fixtures() {
    const Bytes lossless_rgba = encode(37, 29, false, {.lossless = true});
    const Bytes lossy_alpha = encode(37, 29, false, {});
    return {
        {"lossless with alpha", lossless_rgba, rgba, 37, 29},
        {"lossless opaque", encode(40, 31, true, {.lossless = true}), rgba, 40, 31},
        {"lossy", encode(41, 35, true, {}), rgb, 41, 35},
        {"lossy, strong filter", encode(33, 50, true, {.filter_type = 1}), rgb, 33, 50},
        {"lossy, 1 x 1", encode(1, 1, true, {}), rgb, 1, 1},
        {"lossy, coded alpha", lossy_alpha, rgba, 37, 29},
        {"lossy, coded alpha, no filter", encode(30, 27, false, {.alpha_filtering = 0}), rgba, 30, 27},
        {"lossy, coded alpha, best filter", encode(30, 27, false, {.alpha_filtering = 2}), rgba, 30, 27},
        {"lossy, raw alpha", encode(26, 23, false, {.alpha_compression = 0}), rgba, 26, 23},
        {"lossy, raw alpha, horizontal filter", lossy_with_raw_alpha(19, 17, 1), rgba, 19, 17},
        {"lossy, raw alpha, vertical filter", lossy_with_raw_alpha(19, 17, 2), rgba, 19, 17},
        {"lossy, raw alpha, gradient filter", lossy_with_raw_alpha(19, 17, 3), rgba, 19, 17},
        {"lossy, alpha flag without alpha chunk",
         [] {
             Bytes chunks = webp_vp8x(webp_alpha_flag, 21, 13);
             const Bytes image = webp_find_chunk(encode(21, 13, true, {}), "VP8 ");
             chunks.insert(chunks.end(), image.begin(), image.end());
             return webp_file(chunks);
         }(),
         rgba, 21, 13},
        {"lossless with metadata after the image",
         [&] {
             Bytes chunks = webp_vp8x(webp_alpha_flag | test_support::webp_exif_flag, 37, 29);
             const Bytes image = webp_find_chunk(lossless_rgba, "VP8L"), exif = webp_chunk("EXIF", {1, 2, 3});
             chunks.insert(chunks.end(), image.begin(), image.end());
             chunks.insert(chunks.end(), exif.begin(), exif.end());
             return webp_file(chunks);
         }(),
         rgba, 37, 29},
        {"animation, lossless frame inside the canvas",
         webp_animation_file(50, 40, 6, 4, 37, 29, webp_image_chunks(lossless_rgba)), rgba, 50, 40},
        {"animation, lossy frame with alpha in a corner",
         webp_animation_file(39, 33, 2, 4, 37, 29, webp_image_chunks(lossy_alpha)), rgba, 39, 33},
        {"animation, frame filling the canvas",
         webp_animation_file(37, 29, 0, 0, 37, 29, webp_image_chunks(encode(37, 29, true, {}))), rgba, 37, 29},
    };
}

TEST(DecodeWebpTest, RowsMatchTheLibrarysWholeDecode) {
    for (const Fixture& f : fixtures()) {
        SCOPED_TRACE(f.name);
        ASSERT_FALSE(f.file.empty());
        const Bytes expected = library_decode(f.file, f.layout);
        ASSERT_EQ(expected.size(), std::size_t{f.width} * f.height * f.layout.channels);
        const Decoded d = decode(f.file);
        ASSERT_TRUE(d.opened);
        EXPECT_EQ(d.layout, f.layout);
        EXPECT_EQ(d.width, f.width);
        EXPECT_EQ(d.height, f.height);
        EXPECT_TRUE(d.complete);
        EXPECT_TRUE(d.rows == expected);
    }
}

// Every band is a decode of its own, cropped; rows at a band's edges (fancy upsampling, alpha
// filters that predict from the row above) must come out as in one decode of the whole.
TEST(DecodeWebpTest, BandsGiveTheSameRows) {
    for (const Fixture& f : fixtures()) {
        const Bytes whole = decode(f.file).rows;
        const std::size_t row = std::size_t{f.width} * f.layout.channels;
        // From one- and two-row bands to bands that shrink as libwebp's lossless image grows.
        for (std::size_t budget : {std::size_t{1}, row * 3, row * 7, row * 12 + 5, row * 50}) {
            SCOPED_TRACE(std::string(f.name) + ", budget of " + std::to_string(budget) + " bytes");
            const Decoded d = decode(f.file, budget);
            EXPECT_TRUE(d.complete);
            EXPECT_TRUE(d.rows == whole);
        }
    }
}

// Exact samples: a lossless image keeps every stored colour, those of transparent pixels too.
TEST(DecodeWebpTest, LosslessSamplesAreExact) {
    const std::vector<std::uint32_t> argb = {0xFF102030, 0x00FFFFFF, 0x80FF0000, 0x00000000,
                                             0xFF00FF00, 0x01020304, 0x7F7F7F7F, 0xFFFFFFFF};
    const Decoded d = decode(encode(4, 2, argb, {.lossless = true}));
    ASSERT_TRUE(d.complete);
    ASSERT_EQ(d.layout, rgba);
    const Bytes expected = {0x10, 0x20, 0x30, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0xFF, 0x00, 0x00, 0x80,
                            0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0x00, 0xFF, 0x02, 0x03, 0x04, 0x01,
                            0x7F, 0x7F, 0x7F, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(d.rows, expected);
}

TEST(DecodeWebpTest, RawAlphaFiltersGiveTheStoredPlane) {
    const Bytes alpha = alpha_plane(19, 17);
    for (int filter : {0, 1, 2, 3}) {
        SCOPED_TRACE("filter " + std::to_string(filter));
        for (std::size_t budget : {std::size_t{0}, std::size_t{1}}) {
            const Decoded d = decode(lossy_with_raw_alpha(19, 17, filter), budget);
            ASSERT_TRUE(d.complete);
            Bytes got;
            for (std::size_t i = 3; i < d.rows.size(); i += 4) got.push_back(d.rows[i]);
            EXPECT_EQ(got, alpha);
        }
    }
}

// The frame's pixels at its offset, stored colours kept; transparent black around it, whatever
// the background colour the animation names.
TEST(DecodeWebpTest, AnimationGivesItsFirstFrameOnTheCanvas) {
    const std::vector<std::uint32_t> argb = {0xFF102030, 0x00FFFFFF, 0x80FF0000, 0xFF000000};
    const Bytes frame = webp_image_chunks(encode(2, 2, argb, {.lossless = true}));
    const Decoded d = decode(webp_animation_file(6, 4, 2, 2, 2, 2, frame));
    ASSERT_TRUE(d.complete);
    ASSERT_EQ(d.layout, rgba);
    Bytes expected(6 * 4 * 4, 0);
    const unsigned char inside[2][8] = {{0x10, 0x20, 0x30, 0xFF, 0xFF, 0xFF, 0xFF, 0x00},
                                        {0xFF, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0xFF}};
    for (int y = 0; y < 2; ++y) std::memcpy(&expected[((2 + y) * 6 + 2) * 4], inside[y], 8);
    EXPECT_EQ(d.rows, expected);
}

// Every prefix of a file lacks bytes its RIFF size promises: refused before any row.
TEST(DecodeWebpTest, FilesCutShortAreRefused) {
    for (const Fixture& f : fixtures()) {
        SCOPED_TRACE(f.name);
        for (std::size_t cut = 0; cut < f.file.size(); ++cut) {
            const Bytes part(f.file.begin(), f.file.begin() + cut);
            ASSERT_FALSE(decode(part).opened) << "cut at " << cut;
        }
    }
}

// Damage anywhere, with the RIFF size left intact: the decoder may fail at any step but never
// reads outside the bytes (run under the sanitizers) and never gives more rows than the image has.
TEST(DecodeWebpTest, DamagedFilesNeverCrash) {
    for (const Fixture& f : fixtures()) {
        SCOPED_TRACE(f.name);
        // Every byte of the headers, then a sample of the bitstreams.
        for (std::size_t at = 8; at < f.file.size(); at += at < 64 ? 1 : 11) {
            for (unsigned char flip : {0x01, 0xFF}) {
                Bytes damaged = f.file;
                damaged[at] ^= flip;
                // One-row bands each decode from the top: only images of the fixture's size.
                for (std::size_t budget : {std::size_t{0}, std::size_t{1}}) {
                    const Decoded d = decode(damaged, budget, budget ? 1 << 14 : 1 << 20);
                    if (d.complete) {
                        EXPECT_EQ(d.rows.size(), std::size_t{d.width} * d.height * d.layout.channels);
                    }
                }
            }
        }
    }
}

TEST(DecodeWebpTest, HostileHeadersAreRefused) {
    const Bytes lossless = encode(8, 8, false, {.lossless = true});
    const Bytes lossy = encode(8, 8, true, {});
    const Bytes colour = webp_find_chunk(lossy, "VP8 ");
    auto with_alpha = [&](const Bytes& alph, std::uint32_t width, std::uint32_t height) {
        Bytes chunks = webp_vp8x(webp_alpha_flag, width, height);
        chunks.insert(chunks.end(), alph.begin(), alph.end());
        chunks.insert(chunks.end(), colour.begin(), colour.end());
        return webp_file(chunks);
    };
    auto patched = [](Bytes file, std::size_t at, std::uint32_t value) {
        for (int i = 0; i < 4; ++i) file[at + i] = static_cast<unsigned char>(value >> (8 * i));
        return file;
    };
    const Bytes frame = webp_image_chunks(lossless);
    struct Case {
        const char* name;
        Bytes file;
    };
    const Case cases[] = {
        {"not RIFF", Bytes{'R', 'I', 'F', 'X', 0, 0, 0, 0, 'W', 'E', 'B', 'P'}},
        {"RIFF size beyond the file", patched(lossless, 4, 0xFFFFFFF0)},
        {"RIFF size too small", patched(lossless, 4, 4)},
        {"image chunk size beyond the RIFF size", patched(lossy, 16, 0x7FFFFFF0)},
        {"canvas larger than the image", with_alpha(webp_raw_alpha(Bytes(64, 255), 8, 8, 0), 9, 8)},
        {"alpha chunk beyond the RIFF size",
         [&] {
             Bytes file = with_alpha(webp_raw_alpha(Bytes(64, 255), 8, 8, 0), 8, 8);
             return patched(file, 30 + 4, 0x00FFFFFF);
         }()},
        {"raw alpha shorter than the plane", with_alpha(webp_chunk("ALPH", Bytes(63, 0)), 8, 8)},
        {"alpha chunk with only its header byte", with_alpha(webp_chunk("ALPH", {1}), 8, 8)},
        {"alpha compression 2", with_alpha(webp_chunk("ALPH", Bytes(65, 2)), 8, 8)},
        {"alpha pre-processing 2", with_alpha(webp_chunk("ALPH", Bytes(65, 0x20)), 8, 8)},
        {"alpha reserved bits", with_alpha(webp_chunk("ALPH", Bytes(65, 0x40)), 8, 8)},
        {"frame beyond the canvas", webp_animation_file(9, 9, 2, 2, 8, 8, frame)},
        {"animation without frames",
         [] {
             Bytes chunks = webp_vp8x(webp_animation_flag, 8, 8);
             const Bytes anim = webp_chunk("ANIM", Bytes(6, 0));
             chunks.insert(chunks.end(), anim.begin(), anim.end());
             return webp_file(chunks);
         }()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(decode(c.file).opened);
    }
}

// A header may promise far more than the bytes hold. Opening reports the promised size (the
// road checks it against the allowance); decoding it fails on the missing data, having written
// nothing outside its buffers.
TEST(DecodeWebpTest, SidesBeyondTheDataFailToDecode) {
    Bytes lossless = encode(8, 8, false, {.lossless = true});
    // The lossless header's 14-bit sides, little-endian from bit 8 of the bitstream: 1000 x 1000.
    const std::uint32_t sides = 999 | 999u << 14 | 1u << 28;
    for (int i = 0; i < 4; ++i) lossless[21 + i] = static_cast<unsigned char>(sides >> (8 * i));
    const Decoded d = decode(lossless);
    ASSERT_TRUE(d.opened);
    EXPECT_EQ(d.width, 1000u);
    EXPECT_EQ(d.height, 1000u);
    EXPECT_FALSE(d.complete);
}

}  // namespace
