// The TIFF decoder: exact rows of every stored layout, the same rows whatever the storage
// (compression, strips or tiles, planes, byte order, BigTIFF, bit order), JPEG and YCbCr pages
// against libtiff's own RGBA reader, and damage: a file cut anywhere, a colour map cut short,
// broken strip data and hostile headers fail without a crash and without a word on stderr.
// The files are written into memory by image_fixtures' libtiff writer.
#include <gtest/gtest.h>
#include <tiffio.h>  // the names of the tags and their values

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "support/image_fixtures.h"
#include "tarnwick/decode.h"
#include "tarnwick/image_probe.h"

namespace {

using tarnwick::PixelLayout;
using tarnwick::SampleType;
using test_support::Bytes;
using test_support::TiffCompression;
using test_support::TiffEntry;
using test_support::TiffFile;
using test_support::TiffPage;

// ---- Pages ----

// The page with these samples, listed pixel by pixel, sample by sample, row after row, whatever
// the planar configuration: integers, or floats for a float page.
TiffPage with_samples(TiffPage page, const std::vector<double>& samples) {
    for (double v : samples) {
        if (page.raster.is_float()) {
            page.raster.reals.push_back(static_cast<float>(v));
        } else {
            page.raster.samples.push_back(static_cast<std::uint16_t>(v));
        }
    }
    return page;
}

// The file of one page, written by image_fixtures' libtiff writer.
Bytes tiff(const TiffPage& page, const std::vector<double>& samples, const TiffFile& file = {}) {
    return test_support::encode_tiff({with_samples(page, samples)}, file);
}

// A page whose strips are given as stored (YCbCr blocks, a JPEG stream).
Bytes tiff_of_strips(TiffPage page, std::vector<Bytes> strips) {
    page.raw_strips = std::move(strips);
    return test_support::encode_tiff({page});
}

// ---- Reading it back ----

struct Decoded {
    bool opened = false, started = false;
    PixelLayout layout;
    std::uint32_t width = 0, height = 0;
    std::uint32_t rows = 0;  // rows read before the first failure
    std::vector<double> values;  // every channel of every row read, in the layout's type
};

double value_at(const unsigned char* p, SampleType type) {
    if (type == SampleType::u8) return *p;
    if (type == SampleType::u16) {
        std::uint16_t v;
        std::memcpy(&v, p, 2);
        return v;
    }
    float f;
    std::memcpy(&f, p, 4);
    return f;
}

Decoded decode(const Bytes& file) {
    Decoded d;
    auto decoder = tarnwick::open_tiff(file.data(), file.size());
    if (!decoder) return d;
    d.opened = true;
    d.layout = decoder->layout();
    d.width = decoder->width();
    d.height = decoder->height();
    if (!decoder->start()) return d;
    d.started = true;
    Bytes row(decoder->row_bytes());
    for (; d.rows < d.height; ++d.rows) {
        if (!decoder->read_row(row.data())) break;
        for (std::size_t i = 0; i < row.size(); i += d.layout.sample_bytes())
            d.values.push_back(value_at(row.data() + i, d.layout.type));
    }
    return d;
}

bool complete(const Decoded& d) { return d.started && d.rows == d.height; }

bool same_values(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!(a[i] == b[i] || (std::isnan(a[i]) && std::isnan(b[i])))) return false;
    return true;
}

std::string describe(const std::vector<double>& v) {
    std::string s;
    for (double x : v) s += std::to_string(x).substr(0, 8) + " ";
    return s;
}

// ---- Exact rows per stored layout ----

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr PixelLayout grey8{1, SampleType::u8}, grey16{1, SampleType::u16}, grey_alpha8{2, SampleType::u8},
    grey_alpha16{2, SampleType::u16}, rgb8{3, SampleType::u8}, rgb16{3, SampleType::u16}, rgba8{4, SampleType::u8},
    rgba16{4, SampleType::u16}, rgbf{3, SampleType::f32}, rgbaf{4, SampleType::f32};

// A page of one strip; bits 32 are floats, as in a Raster.
TiffPage page(std::uint32_t width, std::uint32_t height, std::uint32_t samples, std::uint32_t bits,
              std::uint16_t photometric, std::vector<std::uint16_t> extra = {}) {
    TiffPage s;
    s.raster = {width, height, samples, bits, {}, {}};
    s.photometric = photometric;
    s.extra_samples = std::move(extra);
    s.rows_per_strip = 0;
    return s;
}

// A page of floats stored as 16 (half), 32 or 64 bits.
TiffPage float_page(std::uint32_t width, std::uint32_t height, std::uint32_t samples, std::uint32_t bits,
                    std::uint16_t photometric, std::vector<std::uint16_t> extra = {}) {
    TiffPage s = page(width, height, samples, 32, photometric, std::move(extra));
    s.float_bits = bits;
    return s;
}

TiffPage with_format(TiffPage s, std::uint16_t format) {
    s.sample_format = format;
    return s;
}

TiffPage with_colormap(TiffPage s, std::vector<std::uint16_t> map) {
    s.colour_map = std::move(map);
    return s;
}

std::vector<std::uint16_t> ramp_map(std::uint32_t entries, std::uint32_t scale) {
    std::vector<std::uint16_t> map(entries * 3);
    for (std::uint32_t i = 0; i < entries; ++i) {
        map[i] = static_cast<std::uint16_t>(i * scale);
        map[entries + i] = static_cast<std::uint16_t>((entries - 1 - i) * scale);
        map[2 * entries + i] = static_cast<std::uint16_t>(i % 2 ? 0xFFFF : 0x8000);
    }
    return map;
}

constexpr std::uint16_t minisblack = PHOTOMETRIC_MINISBLACK, miniswhite = PHOTOMETRIC_MINISWHITE,
                        rgb = PHOTOMETRIC_RGB, palette = PHOTOMETRIC_PALETTE, cmyk = PHOTOMETRIC_SEPARATED;
constexpr std::uint16_t unassociated = EXTRASAMPLE_UNASSALPHA, associated = EXTRASAMPLE_ASSOCALPHA,
                        unspecified = EXTRASAMPLE_UNSPECIFIED;

struct LayoutCase {
    const char* name;
    TiffPage file;
    std::vector<double> samples;  // as stored
    PixelLayout layout;
    std::vector<double> expected;  // as decoded
};

std::vector<LayoutCase> layout_cases() {
    auto palette8_narrow_map = ramp_map(256, 1);
    for (auto& v : palette8_narrow_map) v = static_cast<std::uint16_t>(v & 0xFF);
    return {
        {"grey 8", page(3, 2, 1, 8, minisblack), {0, 1, 2, 127, 128, 255}, grey8, {0, 1, 2, 127, 128, 255}},
        {"grey 16", page(3, 1, 1, 16, minisblack), {0, 258, 65535}, grey16, {0, 258, 65535}},
        {"grey 1 MinIsWhite (fax)", page(10, 1, 1, 1, miniswhite), {1, 0, 1, 0, 0, 1, 0, 1, 1, 0}, grey8,
         {0, 255, 0, 255, 255, 0, 255, 0, 0, 255}},
        {"grey 1 MinIsBlack", page(3, 1, 1, 1, minisblack), {1, 0, 1}, grey8, {255, 0, 255}},
        {"grey 2", page(4, 1, 1, 2, minisblack), {0, 1, 2, 3}, grey8, {0, 85, 170, 255}},
        {"grey 4 MinIsWhite", page(4, 1, 1, 4, miniswhite), {0, 1, 14, 15}, grey8, {255, 238, 17, 0}},
        {"grey 6 as the image library scaled it", page(3, 1, 1, 6, minisblack), {11, 32, 63}, grey8,
         {45, 129, 255}},
        {"grey 8 MinIsWhite", page(3, 1, 1, 8, miniswhite), {0, 1, 255}, grey8, {255, 254, 0}},
        {"grey 12 as v x 16", page(3, 1, 1, 12, minisblack), {1, 2048, 4095}, grey16, {16, 32768, 65520}},
        {"grey 16 MinIsWhite", page(2, 1, 1, 16, miniswhite), {0, 65534}, grey16, {65535, 1}},
        {"grey signed 16 read as unsigned", with_format(page(2, 1, 1, 16, minisblack), SAMPLEFORMAT_INT),
         {32768, 65535}, grey16, {32768, 65535}},
        {"grey alpha 8", page(2, 1, 2, 8, minisblack, {unassociated}), {10, 0, 20, 255}, grey_alpha8,
         {10, 0, 20, 255}},
        {"grey alpha 16 MinIsWhite keeps alpha", page(1, 1, 2, 16, miniswhite, {unassociated}), {1000, 2000},
         grey_alpha16, {64535, 2000}},
        {"grey with an unspecified extra sample", page(1, 1, 2, 8, minisblack, {unspecified}), {7, 9}, grey_alpha8,
         {7, 9}},
        {"rgb 8", page(2, 1, 3, 8, rgb), {1, 2, 3, 250, 251, 252}, rgb8, {1, 2, 3, 250, 251, 252}},
        {"rgb 16", page(2, 1, 3, 16, rgb), {1, 256, 65535, 40000, 0, 7}, rgb16, {1, 256, 65535, 40000, 0, 7}},
        {"rgb 4", page(2, 1, 3, 4, rgb), {1, 11, 14, 4, 5, 10}, rgb8, {17, 187, 238, 68, 85, 170}},
        {"rgba 8 unassociated", page(2, 1, 4, 8, rgb, {unassociated}), {100, 50, 25, 0, 255, 255, 255, 0}, rgba8,
         {100, 50, 25, 0, 255, 255, 255, 0}},
        {"rgba 8 associated keeps the stored colour", page(2, 1, 4, 8, rgb, {associated}),
         {100, 50, 25, 128, 60, 60, 60, 64}, rgba8, {100, 50, 25, 128, 60, 60, 60, 64}},
        {"rgba 16 associated keeps the stored colour", page(1, 1, 4, 16, rgb, {associated}),
         {30000, 20000, 10000, 32768}, rgba16, {30000, 20000, 10000, 32768}},
        {"rgb with two extra samples: the first is the alpha", page(1, 1, 5, 8, rgb, {unassociated, unspecified}),
         {1, 2, 3, 4, 5}, rgba8, {1, 2, 3, 4}},
        {"palette 8, 16-bit entries", with_colormap(page(3, 1, 1, 8, palette), ramp_map(256, 257)), {0, 1, 255},
         rgb8, {0, 255, 128, 1, 254, 255, 255, 0, 255}},
        {"palette 8, entries below 256 as v x 256", with_colormap(page(3, 1, 1, 8, palette), palette8_narrow_map),
         {0, 128, 255}, rgb8, {0, 254, 0, 128, 127, 0, 254, 0, 254}},
        {"palette 4", with_colormap(page(3, 1, 1, 4, palette), ramp_map(16, 4369)), {0, 5, 15}, rgb8,
         {0, 255, 128, 85, 170, 255, 255, 0, 255}},
        {"palette 1", with_colormap(page(2, 1, 1, 1, palette), ramp_map(2, 65535)), {1, 0}, rgb8,
         {255, 0, 255, 0, 255, 128}},
        {"palette 16", with_colormap(page(2, 1, 1, 16, palette), ramp_map(65536, 1)), {0, 65535}, rgb8,
         {0, 255, 128, 255, 0, 255}},
        {"cmyk 8 as the image library converted", page(3, 1, 4, 8, cmyk), {0, 0, 0, 0, 10, 20, 30, 40, 255, 0, 128, 64},
         rgb8, {255, 255, 255, 207, 198, 190, 0, 191, 95}},
        {"cmyk 16", page(2, 1, 4, 16, cmyk), {0, 65535, 32768, 0, 1000, 2000, 3000, 65535}, rgb16,
         {65535, 0, 32767, 0, 0, 0}},
        {"cmyk 8 with alpha keeps the colour", page(1, 1, 5, 8, cmyk, {associated}), {10, 20, 30, 40, 0}, rgba8,
         {207, 198, 190, 0}},
        {"float rgb: out of range and NaN as stored", float_page(2, 1, 3, 32, rgb),
         {0, 0.5, 1, 2, -1, nan}, rgbf, {0, 0.5, 1, 2, -1, nan}},
        {"float rgba", float_page(1, 1, 4, 32, rgb, {unassociated}),
         {0.25, 0.5, 0.75, 0}, rgbaf, {0.25, 0.5, 0.75, 0}},
        {"float grey to rgb", float_page(2, 1, 1, 32, minisblack), {0.25, 3}, rgbf,
         {0.25, 0.25, 0.25, 3, 3, 3}},
        {"float grey alpha to rgba", float_page(1, 1, 2, 32, minisblack, {unassociated}),
         {0.5, 1}, rgbaf, {0.5, 0.5, 0.5, 1}},
        {"half float rgb", float_page(1, 1, 3, 16, rgb), {0.5, -2, nan}, rgbf,
         {0.5, -2, nan}},
        {"double rgb", float_page(1, 1, 3, 64, rgb), {0.125, 1, 0.75}, rgbf,
         {0.125, 1, 0.75}},
    };
}

TEST(DecodeTiff, EveryStoredLayoutGivesItsExactRows) {
    for (const LayoutCase& c : layout_cases()) {
        SCOPED_TRACE(c.name);
        const Decoded d = decode(tiff(c.file, c.samples));
        ASSERT_TRUE(complete(d));
        EXPECT_EQ(d.width, c.file.raster.width);
        EXPECT_EQ(d.height, c.file.raster.height);
        EXPECT_EQ(d.layout, c.layout);
        EXPECT_TRUE(same_values(d.values, c.expected)) << describe(d.values);
    }
}

// ---- The same rows whatever the storage ----

struct Storage {
    const char* name;
    std::function<void(TiffPage&)> apply;
    TiffFile file = {};
};

std::vector<Storage> storages() {
    return {
        {"deflate, strips of 3 rows", [](TiffPage& s) { s.compression = TiffCompression::deflate; s.rows_per_strip = 3; }},
        {"deflate, one strip, predictor",
         [](TiffPage& s) {
             s.compression = TiffCompression::deflate;
             // libtiff's predictors take whole bytes only.
             if (s.raster.bits >= 8) s.predictor = s.raster.is_float() ? PREDICTOR_FLOATINGPOINT : PREDICTOR_HORIZONTAL;
         }},
        {"lzw, strips of 1 row", [](TiffPage& s) { s.compression = TiffCompression::lzw; s.rows_per_strip = 1; }},
        {"packbits", [](TiffPage& s) { s.compression = TiffCompression::packbits; s.rows_per_strip = 4; }},
        {"big-endian", [](TiffPage&) {}, {.big_endian = true}},
        {"BigTIFF, big-endian, lzw", [](TiffPage& s) { s.compression = TiffCompression::lzw; },
         {.big_endian = true, .bigtiff = true}},
        {"separate planes, strips", [](TiffPage& s) { s.separate_planes = true; s.rows_per_strip = 2; }},
        {"separate planes, deflate, one strip each",
         [](TiffPage& s) { s.separate_planes = true; s.compression = TiffCompression::deflate; }},
        {"tiles 16 x 16, edge tiles cut", [](TiffPage& s) { s.tile_size = 16; }},
        {"tiles 32 x 16, lzw, separate planes",
         [](TiffPage& s) {
             s.tile_size = 32;
             s.tile_height = 16;
             s.compression = TiffCompression::lzw;
             s.separate_planes = true;
         }},
        {"bits in reverse order (FillOrder 2)", [](TiffPage& s) { s.reversed_bits = true; s.rows_per_strip = 5; }},
    };
}

// Contents of 37 x 21, so that strips and tiles end inside the page.
std::vector<LayoutCase> storage_contents() {
    const std::uint32_t w = 37, h = 21;
    auto make = [&](const char* name, TiffPage s, std::uint32_t range) {
        std::vector<double> samples(std::size_t{w} * h * s.raster.channels);
        for (std::size_t i = 0; i < samples.size(); ++i)
            samples[i] = s.raster.is_float() ? static_cast<double>(static_cast<float>(i % 97) / 64.0f)
                                                         : static_cast<double>((i * 2654435761u >> 7) % range);
        return LayoutCase{name, s, samples, {}, {}};
    };
    return {
        make("grey 8", page(w, h, 1, 8, minisblack), 256),
        make("grey 1 MinIsWhite", page(w, h, 1, 1, miniswhite), 2),
        make("grey 4", page(w, h, 1, 4, minisblack), 16),
        make("grey alpha 16", page(w, h, 2, 16, minisblack, {unassociated}), 65536),
        make("rgb 8", page(w, h, 3, 8, rgb), 256),
        make("rgba 16", page(w, h, 4, 16, rgb, {associated}), 65536),
        make("palette 4", with_colormap(page(w, h, 1, 4, palette), ramp_map(16, 4369)), 16),
        make("cmyk 8 with alpha", page(w, h, 5, 8, cmyk, {unassociated}), 256),
        make("float rgb", float_page(w, h, 3, 32, rgb), 0),
    };
}

TEST(DecodeTiff, StorageDoesNotChangeTheRows) {
    for (const LayoutCase& content : storage_contents()) {
        const Decoded plain = decode(tiff(content.file, content.samples));
        ASSERT_TRUE(complete(plain)) << content.name;
        for (const Storage& storage : storages()) {
            SCOPED_TRACE(std::string(content.name) + ", " + storage.name);
            TiffPage s = content.file;
            storage.apply(s);
            const Bytes file = tiff(s, content.samples, storage.file);
            ASSERT_FALSE(file.empty());
            const Decoded d = decode(file);
            ASSERT_TRUE(complete(d));
            EXPECT_EQ(d.layout, plain.layout);
            EXPECT_TRUE(same_values(d.values, plain.values));
        }
    }
}

TEST(DecodeTiff, FaxCompressedBilevelScans) {
    const TiffPage base = page(200, 40, 1, 1, miniswhite);
    std::vector<double> samples(200 * 40);
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = (i / 7 + i / 200) % 3 == 0;
    const Decoded plain = decode(tiff(base, samples));
    ASSERT_TRUE(complete(plain));
    const std::pair<const char*, TiffCompression> compressions[] = {
        {"CCITT RLE", TiffCompression::ccitt_rle},
        {"CCITT group 3", TiffCompression::ccitt_fax3},
        {"CCITT group 4", TiffCompression::ccitt_fax4},
    };
    for (const auto& [name, compression] : compressions) {
        for (bool reversed : {false, true}) {
            SCOPED_TRACE(std::string(name) + (reversed ? ", fill order 2" : ", fill order 1"));
            TiffPage s = base;
            s.compression = compression;
            s.reversed_bits = reversed;
            s.rows_per_strip = 16;
            const Decoded d = decode(tiff(s, samples));
            ASSERT_TRUE(complete(d));
            EXPECT_EQ(d.layout, grey8);
            EXPECT_TRUE(same_values(d.values, plain.values));
        }
    }
}

// ---- JPEG and YCbCr pages against libtiff's RGBA reader ----

// libtiff's RGBA reader converts YCbCr with the same tables and JPEG with the same libjpeg mode;
// for opaque 8-bit pages it gives exactly the rows the decoder should.
std::vector<double> rgba_reader_rows(const Bytes& file) {
    const Bytes rgb = test_support::libtiff_rgb(file);
    return {rgb.begin(), rgb.end()};
}

// Each pixel x * 5, y * 7, (x ^ y) * 3, in bytes.
std::vector<double> colour_samples(std::uint32_t width, std::uint32_t height) {
    std::vector<double> samples;
    for (std::uint32_t y = 0; y < height; ++y)
        for (std::uint32_t x = 0; x < width; ++x)
            samples.insert(samples.end(), {double(x * 5 % 256), double(y * 7 % 256), double((x ^ y) * 3 % 256)});
    return samples;
}

TEST(DecodeTiff, JpegPagesComeAsRgb) {
    struct Case {
        const char* name;
        TiffPage file;
        std::vector<double> samples;
        PixelLayout layout;
    };
    auto jpeg = [](TiffPage s) {
        s.compression = TiffCompression::jpeg;
        return s;
    };
    TiffPage tiled = jpeg(page(50, 40, 3, 8, PHOTOMETRIC_YCBCR));
    tiled.tile_size = 16;
    TiffPage strips = jpeg(page(50, 40, 3, 8, PHOTOMETRIC_YCBCR));
    strips.rows_per_strip = 16;
    std::vector<double> grey;
    for (std::uint32_t y = 0; y < 40; ++y)
        for (std::uint32_t x = 0; x < 50; ++x) grey.push_back(x * y % 256);
    const std::vector<Case> cases = {
        {"YCbCr, one strip", jpeg(page(50, 40, 3, 8, PHOTOMETRIC_YCBCR)), colour_samples(50, 40), rgb8},
        {"YCbCr, strips of 16 rows", strips, colour_samples(50, 40), rgb8},
        {"YCbCr, tiles", tiled, colour_samples(50, 40), rgb8},
        {"RGB", jpeg(page(50, 40, 3, 8, rgb)), colour_samples(50, 40), rgb8},
        {"grey", jpeg(page(50, 40, 1, 8, minisblack)), grey, grey8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes file = tiff(c.file, c.samples);
        const Decoded d = decode(file);
        ASSERT_TRUE(complete(d));
        EXPECT_EQ(d.layout, c.layout);
        std::vector<double> expected = rgba_reader_rows(file);
        if (c.layout.channels == 1) {
            std::vector<double> grey;
            for (std::size_t i = 0; i < expected.size(); i += 3) grey.push_back(expected[i]);
            expected = grey;
        }
        EXPECT_TRUE(same_values(d.values, expected));
    }
}

TEST(DecodeTiff, UncompressedYCbCrBlocks) {
    // 5 x 3 pixels: blocks of h x v luma samples, then Cb and Cr; the last column and row of
    // blocks reach past the page.
    for (std::uint16_t h : {1, 2, 4}) {
        for (std::uint16_t v : {1, 2}) {
            SCOPED_TRACE(std::to_string(h) + " x " + std::to_string(v));
            TiffPage s = page(5, 3, 3, 8, PHOTOMETRIC_YCBCR);
            s.ycbcr_subsampling = {h, v};
            s.rows_per_strip = v;  // several strips of one row of blocks
            const std::uint32_t across = (5 + h - 1) / h, down = (3 + v - 1) / v, block = h * v + 2;
            std::vector<Bytes> strips;
            for (std::uint32_t by = 0; by < down; ++by) {
                Bytes strip;
                for (std::uint32_t bx = 0; bx < across; ++bx) {
                    for (std::uint32_t i = 0; i < h * v; ++i) strip.push_back(static_cast<unsigned char>(40 + 17 * i + 31 * bx + 50 * by));
                    strip.push_back(static_cast<unsigned char>(90 + 20 * bx));
                    strip.push_back(static_cast<unsigned char>(200 - 30 * by));
                }
                strips.push_back(strip);
                ASSERT_EQ(strip.size(), across * block);
            }
            const Bytes file = tiff_of_strips(s, strips);
            const Decoded d = decode(file);
            ASSERT_TRUE(complete(d));
            EXPECT_EQ(d.layout, rgb8);
            EXPECT_TRUE(same_values(d.values, rgba_reader_rows(file)));
        }
    }
    // Unsubsampled pixels are plain rows, in tiles too (where libtiff's RGBA reader goes astray:
    // the image library read them as the strips are read).
    TiffPage strips = page(20, 18, 3, 8, PHOTOMETRIC_YCBCR);
    strips.ycbcr_subsampling = {1, 1};
    TiffPage tiles = strips;
    tiles.tile_size = 16;
    const Bytes striped = tiff(strips, colour_samples(20, 18));
    const Decoded by_strips = decode(striped), by_tiles = decode(tiff(tiles, colour_samples(20, 18)));
    ASSERT_TRUE(complete(by_strips) && complete(by_tiles));
    EXPECT_TRUE(same_values(by_strips.values, rgba_reader_rows(striped)));
    EXPECT_TRUE(same_values(by_tiles.values, by_strips.values));
}

// ---- Pages this decoder leaves to the fallback road ----

TEST(DecodeTiff, PagesOutsideTheLayoutsAreRefused) {
    TiffPage lab = page(2, 1, 3, 8, PHOTOMETRIC_CIELAB);
    TiffPage int32 = with_format(page(2, 1, 1, 32, minisblack), SAMPLEFORMAT_UINT);
    TiffPage float_palette = with_format(with_colormap(page(2, 1, 1, 8, palette), ramp_map(256, 257)), SAMPLEFORMAT_IEEEFP);
    TiffPage cmyk_12 = page(2, 1, 4, 12, cmyk);
    TiffPage float_white = float_page(2, 1, 1, 32, miniswhite);
    TiffPage ycbcr_tiles = page(16, 16, 3, 8, PHOTOMETRIC_YCBCR);
    ycbcr_tiles.ycbcr_subsampling = {2, 2};
    ycbcr_tiles.tile_size = 16;
    for (const TiffPage& s : {lab, int32, float_palette, cmyk_12, float_white, ycbcr_tiles}) {
        SCOPED_TRACE(*s.photometric);
        const Bytes file = tiff(s, std::vector<double>(std::size_t{s.raster.width} * s.raster.height * s.raster.channels, 0));
        ASSERT_FALSE(file.empty());
        EXPECT_FALSE(tarnwick::open_tiff(file.data(), file.size()));
    }
}

// ---- Damage ----

std::uint32_t le32(const Bytes& b, std::size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | std::uint32_t{b[at + 3]} << 24;
}
void put_le32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

// Every decode on the damaged file: nothing is printed, the decoder never crashes or reads outside
// the bytes (under the sanitizers), and it ends in failure or in complete rows.
Decoded decode_quietly(const Bytes& file) {
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    const Decoded d = decode(file);
    const std::string err = ::testing::internal::GetCapturedStderr(), out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(err, "");
    EXPECT_EQ(out, "");
    return d;
}

// A TIFF of side x side whose one strip is a JPEG in several scans: progressive, or one scan per
// component. Above 64 pixels the stream is a 64 x 64 one whose frame header claims the full size.
Bytes multi_scan_jpeg_tiff(std::uint32_t side, bool progressive) {
    const test_support::Raster pixels = test_support::make_raster(
        64, 64, 3, 8, [](std::uint32_t x, std::uint32_t y, std::uint32_t c) { return (x * 3 + c) * 3 + y * 5; });
    Bytes jpeg = test_support::encode_jpeg(pixels, {.colour = test_support::JpegColour::ycbcr_444, .quality = 75,
                                                    .progressive = progressive, .scan_per_component = !progressive});
    for (std::size_t at = 2; at + 9 < jpeg.size(); ++at)
        if (jpeg[at] == 0xFF && (jpeg[at + 1] == 0xC0 || jpeg[at + 1] == 0xC1 || jpeg[at + 1] == 0xC2)) {
            jpeg[at + 5] = jpeg[at + 7] = static_cast<unsigned char>(side >> 8);
            jpeg[at + 6] = jpeg[at + 8] = static_cast<unsigned char>(side);
            break;
        }
    TiffPage s = page(side, side, 3, 8, PHOTOMETRIC_YCBCR);
    s.compression = TiffCompression::jpeg;
    s.ycbcr_subsampling = {1, 1};
    return tiff_of_strips(s, {jpeg});
}

// libjpeg holds every coefficient of such a strip at once (6 bytes a pixel here): a strip whose
// coefficients would pass the allowance fails before libjpeg allocates them.
TEST(DecodeTiff, JpegInSeveralScansWithinTheAllowance) {
    for (bool progressive : {true, false}) {
        SCOPED_TRACE(progressive ? "progressive" : "one scan per component");
        const Bytes small = multi_scan_jpeg_tiff(64, progressive);
        const Decoded d = decode_quietly(small);
        ASSERT_TRUE(complete(d));
        EXPECT_TRUE(same_values(d.values, rgba_reader_rows(small)));
        const Decoded huge = decode_quietly(multi_scan_jpeg_tiff(13377, progressive));
        EXPECT_TRUE(huge.started);
        EXPECT_EQ(huge.rows, 0u);
    }
}

TEST(DecodeTiff, ColourMapCutShortOrMiscountedFails) {
    const Bytes good = tiff(with_colormap(page(4, 2, 1, 8, palette), ramp_map(256, 257)), {0, 1, 2, 3, 4, 5, 6, 7});
    ASSERT_TRUE(complete(decode(good)));
    const TiffEntry map = test_support::find_tiff_entry(good, TIFFTAG_COLORMAP);
    // The map moved to the end of the file: all but its first entries lie past the end.
    Bytes cut_short = good;
    put_le32(cut_short, map.at + 8, static_cast<std::uint32_t>(good.size() - 100));
    EXPECT_FALSE(decode_quietly(cut_short).opened);
    // The map's count no longer 3 x 256.
    Bytes miscounted = good;
    put_le32(miscounted, map.at + 4, map.count - 3);
    EXPECT_FALSE(decode_quietly(miscounted).opened);
}

// The file with its directory moved in front of the image data, as many writers store it, so that
// a cut inside the image data leaves the directory whole. libtiff writes the directory and its
// values after the data; only offsets need moving (classic little-endian files).
struct DirectoryFirst {
    Bytes file;
    std::size_t data_start = 0;
};

DirectoryFirst directory_first(const Bytes& file) {
    const std::size_t ifd = le32(file, 4), tail = file.size() - ifd;
    Bytes out(file.begin(), file.begin() + 8);
    out.insert(out.end(), file.begin() + static_cast<std::ptrdiff_t>(ifd), file.end());
    out.insert(out.end(), file.begin() + 8, file.begin() + static_cast<std::ptrdiff_t>(ifd));
    put_le32(out, 4, 8);
    const auto type_size = [](unsigned type) { return type == 3 || type == 8 ? 2u : type == 5 || type >= 10 ? 8u : type >= 4 ? 4u : 1u; };
    const std::uint32_t entries = out[8] | out[9] << 8;
    for (std::uint32_t i = 0; i < entries; ++i) {
        const std::size_t at = 10 + 12 * std::size_t{i};
        const std::uint32_t tag = out[at] | out[at + 1] << 8, type = out[at + 2] | out[at + 3] << 8;
        const std::uint64_t count = le32(out, at + 4), bytes = count * type_size(type);
        if (bytes > 4) put_le32(out, at + 8, static_cast<std::uint32_t>(le32(out, at + 8) - (ifd - 8)));
        if (tag != TIFFTAG_STRIPOFFSETS && tag != TIFFTAG_TILEOFFSETS) continue;
        EXPECT_EQ(type, unsigned{TIFF_LONG});
        const std::size_t values = bytes > 4 ? le32(out, at + 8) : at + 8;
        for (std::uint64_t k = 0; k < count; ++k)
            put_le32(out, values + 4 * k, static_cast<std::uint32_t>(le32(out, values + 4 * k) + tail));
    }
    return {out, 8 + tail};
}

TEST(DecodeTiff, OtherWarningsAreSilentAndHarmless) {
    // FillOrder's tag made an unknown one, out of the directory's order: libtiff warns twice.
    Bytes file = tiff(page(4, 1, 1, 8, minisblack), {1, 2, 3, 4});
    const TiffEntry fill_order = test_support::find_tiff_entry(file, TIFFTAG_FILLORDER);
    file[fill_order.at] = 0xE8;
    file[fill_order.at + 1] = 0xFD;
    const Decoded d = decode_quietly(file);
    ASSERT_TRUE(complete(d));
    EXPECT_EQ(d.values, (std::vector<double>{1, 2, 3, 4}));
}

TEST(DecodeTiff, FileCutAnywhereFailsWithoutCrash) {
    TiffPage strips = page(37, 21, 3, 8, rgb);
    strips.compression = TiffCompression::deflate;
    strips.rows_per_strip = 4;
    TiffPage raw = page(37, 21, 1, 16, minisblack);
    TiffPage tiles = page(37, 21, 3, 16, rgb);
    tiles.tile_size = 16;
    tiles.compression = TiffCompression::lzw;
    TiffPage fax = page(64, 21, 1, 1, miniswhite);
    fax.compression = TiffCompression::ccitt_fax4;
    TiffPage planes = page(37, 21, 4, 8, rgb, {unassociated});
    planes.separate_planes = true;
    planes.compression = TiffCompression::packbits;
    TiffPage jpeg = page(37, 21, 3, 8, PHOTOMETRIC_YCBCR);
    jpeg.compression = TiffCompression::jpeg;
    TiffPage ycbcr = page(4, 4, 3, 8, PHOTOMETRIC_YCBCR);
    ycbcr.ycbcr_subsampling = {2, 2};
    std::vector<Bytes> files;
    for (const TiffPage& s : {strips, raw, tiles, fax, planes, jpeg}) {
        const test_support::Raster& r = s.raster;
        std::vector<double> samples(std::size_t{r.width} * r.height * r.channels);
        for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = (i * 37 % 251) % (1u << std::min<int>(r.bits, 8));
        files.push_back(tiff(s, samples));
    }
    files.push_back(tiff_of_strips(ycbcr, {Bytes(24, 100)}));
    for (const Bytes& written : files) {
        const DirectoryFirst moved = directory_first(written);
        ASSERT_TRUE(complete(decode(moved.file)));
        for (const Bytes* file : {&written, &moved.file}) {
            for (std::size_t cut = 0; cut < file->size(); cut += 1 + cut / 128) {
                SCOPED_TRACE("cut at " + std::to_string(cut) + " of " + std::to_string(file->size()));
                const Decoded d = decode_quietly(Bytes(file->begin(), file->begin() + static_cast<std::ptrdiff_t>(cut)));
                // With the directory whole, image data cut short fails rather than making rows up.
                if (file == &moved.file && cut >= moved.data_start) {
                    EXPECT_TRUE(d.opened && !complete(d));
                }
            }
        }
    }
}

TEST(DecodeTiff, BrokenStripDataFails) {
    TiffPage s = page(64, 32, 1, 8, minisblack);
    s.compression = TiffCompression::deflate;
    s.rows_per_strip = 8;
    std::vector<double> samples(64 * 32);
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = i * 7 % 256;
    Bytes file = tiff(s, samples);
    const TiffEntry offsets = test_support::find_tiff_entry(file, TIFFTAG_STRIPOFFSETS);
    const std::uint32_t third = le32(file, offsets.value + 8);  // the third strip's offset
    for (std::size_t i = 2; i < 12; ++i) file[third + i] ^= 0x5A;
    const Decoded d = decode_quietly(file);
    EXPECT_TRUE(d.started);
    EXPECT_FALSE(complete(d));
    EXPECT_LE(d.rows, 16u);
}

TEST(DecodeTiff, OneFailingDecoderLeavesAnotherAlone) {
    const Bytes good = tiff(page(8, 8, 1, 8, minisblack), std::vector<double>(64, 9));
    Bytes bad = good;
    bad.resize(16);
    auto first = tarnwick::open_tiff(good.data(), good.size());
    ASSERT_TRUE(first && first->start());
    unsigned char row[8];
    ASSERT_TRUE(first->read_row(row));
    EXPECT_FALSE(tarnwick::open_tiff(bad.data(), bad.size()));
    for (int y = 1; y < 8; ++y) ASSERT_TRUE(first->read_row(row));
    EXPECT_EQ(row[7], 9);
    EXPECT_FALSE(first->read_row(row));  // past the last row
}

// ---- Hostile headers ----

// The file with the single value of `tag` made the LONG `value`.
Bytes patched(Bytes file, std::uint16_t tag, std::uint32_t value) {
    const TiffEntry e = test_support::find_tiff_entry(file, tag);
    file[e.at + 2] = TIFF_LONG;
    file[e.at + 3] = 0;
    put_le32(file, e.at + 8, value);
    return file;
}

TEST(DecodeTiff, HostileSizesFailBeforeAnyLargeBlock) {
    TiffPage striped = page(16, 16, 4, 16, rgb, {unassociated});
    striped.compression = TiffCompression::deflate;
    TiffPage tiled = striped;
    tiled.tile_size = 16;
    const Bytes strip_file = tiff(striped, std::vector<double>(16 * 16 * 4, 1));
    const Bytes tile_file = tiff(tiled, std::vector<double>(16 * 16 * 4, 1));
    struct Case {
        const char* name;
        Bytes file;
    };
    const std::vector<Case> cases = {
        // Each within reach of malloc, so only the decoder's own check stops them.
        {"a row wider than the allowance", patched(strip_file, TIFFTAG_IMAGEWIDTH, 100000000)},
        {"a tile larger than the allowance", patched(patched(tile_file, TIFFTAG_TILEWIDTH, 16384), TIFFTAG_TILELENGTH, 8192)},
        {"a row of tiles past the allowance", patched(patched(tile_file, TIFFTAG_IMAGEWIDTH, 320000), TIFFTAG_TILELENGTH, 512)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Decoded d = decode_quietly(c.file);
        EXPECT_FALSE(d.started);
    }
    // A page claiming 4 billion rows of one strip decodes the rows there are, then fails.
    const Decoded tall = decode_quietly(patched(patched(strip_file, TIFFTAG_IMAGELENGTH, 0xFFFFFFFFu),
                                                TIFFTAG_ROWSPERSTRIP, 0xFFFFFFFFu));
    EXPECT_TRUE(tall.started);
    EXPECT_EQ(tall.rows, 16u);
}

// A chain of pages that loops back on itself, and one of 5,000 pages: only the first is read.
TEST(DecodeTiff, OnlyTheFirstPageIsRead) {
    Bytes looped = tiff(page(4, 1, 1, 8, minisblack), {1, 2, 3, 4});
    const std::size_t ifd = le32(looped, 4);
    const std::uint32_t entries = looped[ifd] | looped[ifd + 1] << 8;
    put_le32(looped, ifd + 2 + 12 * entries, static_cast<std::uint32_t>(ifd));
    const Decoded d = decode_quietly(looped);
    ASSERT_TRUE(complete(d));
    EXPECT_EQ(d.values, (std::vector<double>{1, 2, 3, 4}));

    std::vector<TiffPage> many;
    for (int n = 0; n < 5000; ++n) many.push_back(with_samples(page(1, 1, 1, 8, minisblack), {double((n + 1) % 256)}));
    const Bytes file = test_support::encode_tiff(many);
    const Decoded pages = decode(file);
    ASSERT_TRUE(complete(pages));
    EXPECT_EQ(pages.values, std::vector<double>{1});
}

}  // namespace
