// The TIFF decoder: exact rows of every stored layout, the same rows whatever the storage
// (compression, strips or tiles, planes, byte order, BigTIFF, bit order), JPEG and YCbCr pages
// against libtiff's own RGBA reader, and damage: a file cut anywhere, a colour map cut short,
// broken strip data and hostile headers fail without a crash and without a word on stderr.
// The files are written here with libtiff, into memory.
#include <gtest/gtest.h>
#include <jpeglib.h>
#include <tiffio.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "tarnwick/decode.h"
#include "tarnwick/image_probe.h"

namespace {

using tarnwick::PixelLayout;
using tarnwick::SampleType;
using Bytes = std::vector<unsigned char>;

// ---- Writing TIFF files into memory with libtiff ----

struct MemoryFile {
    Bytes bytes;
    std::uint64_t at = 0;
};

tmsize_t memory_read(thandle_t h, void* out, tmsize_t n) {
    auto* f = static_cast<MemoryFile*>(h);
    if (f->at >= f->bytes.size()) return 0;
    const auto count = std::min<std::uint64_t>(static_cast<std::uint64_t>(n), f->bytes.size() - f->at);
    std::memcpy(out, f->bytes.data() + f->at, count);
    f->at += count;
    return static_cast<tmsize_t>(count);
}
tmsize_t memory_write(thandle_t h, void* in, tmsize_t n) {
    auto* f = static_cast<MemoryFile*>(h);
    if (f->at + n > f->bytes.size()) f->bytes.resize(f->at + n);
    std::memcpy(f->bytes.data() + f->at, in, static_cast<std::size_t>(n));
    f->at += n;
    return n;
}
toff_t memory_seek(thandle_t h, toff_t offset, int whence) {
    auto* f = static_cast<MemoryFile*>(h);
    f->at = (whence == SEEK_CUR ? f->at : whence == SEEK_END ? f->bytes.size() : 0) + offset;
    return f->at;
}
int memory_close(thandle_t) { return 0; }
toff_t memory_size(thandle_t h) { return static_cast<MemoryFile*>(h)->bytes.size(); }

struct Page {
    std::uint32_t width = 1, height = 1;
    std::uint16_t samples = 1, bits = 8;
    std::uint16_t photometric = PHOTOMETRIC_MINISBLACK;
    std::uint16_t format = SAMPLEFORMAT_UINT;
    std::uint16_t planar = PLANARCONFIG_CONTIG;
    std::uint16_t compression = COMPRESSION_NONE;
    std::uint16_t predictor = PREDICTOR_NONE;
    std::vector<std::uint16_t> extra;     // ExtraSamples
    std::vector<std::uint16_t> colormap;  // all red entries, then green, then blue
    std::uint32_t rows_per_strip = 0;     // 0: the whole page in one strip
    std::uint32_t tile_width = 0, tile_height = 0;
    std::uint16_t fill_order = FILLORDER_MSB2LSB;
    std::uint16_t ycbcr_h = 0, ycbcr_v = 0;  // YCbCrSubsampling when set
    bool big_endian = false;
    bool bigtiff = false;
};

// Fills one row of one plane in the file's packing (TIFFScanlineSize bytes).
using RowFn = std::function<void(std::uint32_t y, std::uint16_t plane, unsigned char* row)>;

struct TiffClose {
    void operator()(TIFF* t) const { TIFFClose(t); }
};
using TiffPtr = std::unique_ptr<TIFF, TiffClose>;

TiffPtr open_for_writing(MemoryFile& file, const Page& s) {
    std::string mode = "w";
    mode += s.big_endian ? "b" : "l";
    if (s.bigtiff) mode += "8";
    TiffPtr tif(TIFFClientOpen("memory", mode.c_str(), &file, memory_read, memory_write, memory_seek, memory_close,
                               memory_size, nullptr, nullptr));
    TIFF* t = tif.get();
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, s.width);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, s.height);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, s.samples);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, s.bits);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, s.photometric);
    TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, s.format);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, s.planar);
    TIFFSetField(t, TIFFTAG_COMPRESSION, s.compression);
    TIFFSetField(t, TIFFTAG_FILLORDER, s.fill_order);
    if (s.predictor != PREDICTOR_NONE) TIFFSetField(t, TIFFTAG_PREDICTOR, s.predictor);
    if (!s.extra.empty()) TIFFSetField(t, TIFFTAG_EXTRASAMPLES, static_cast<std::uint16_t>(s.extra.size()), s.extra.data());
    if (!s.colormap.empty()) {
        const std::size_t n = s.colormap.size() / 3;
        TIFFSetField(t, TIFFTAG_COLORMAP, s.colormap.data(), s.colormap.data() + n, s.colormap.data() + 2 * n);
    }
    if (s.ycbcr_h) TIFFSetField(t, TIFFTAG_YCBCRSUBSAMPLING, s.ycbcr_h, s.ycbcr_v);
    if (s.photometric == PHOTOMETRIC_SEPARATED) TIFFSetField(t, TIFFTAG_INKSET, INKSET_CMYK);
    if (s.compression == COMPRESSION_JPEG) {
        TIFFSetField(t, TIFFTAG_JPEGQUALITY, 90);
        if (s.photometric == PHOTOMETRIC_YCBCR) TIFFSetField(t, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
    }
    if (s.tile_width) {
        TIFFSetField(t, TIFFTAG_TILEWIDTH, s.tile_width);
        TIFFSetField(t, TIFFTAG_TILELENGTH, s.tile_height);
    } else {
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, s.rows_per_strip ? s.rows_per_strip : s.height);
    }
    return tif;
}

// A TIFF of page `s` whose rows `row` makes. Strips are written row by row, so a huge page of
// compressible rows never sits whole in memory; tiles a row of tiles at a time.
Bytes encode_tiff(const Page& s, const RowFn& row) {
    MemoryFile file;
    {
        TiffPtr tif = open_for_writing(file, s);
        TIFF* t = tif.get();
        const std::uint16_t planes = s.planar == PLANARCONFIG_SEPARATE ? s.samples : 1;
        const auto line = static_cast<std::size_t>(TIFFScanlineSize64(t));
        Bytes buffer(line);
        if (!s.tile_width) {
            for (std::uint16_t p = 0; p < planes; ++p)
                for (std::uint32_t y = 0; y < s.height; ++y) {
                    row(y, p, buffer.data());
                    if (TIFFWriteScanline(t, buffer.data(), y, p) != 1) return {};
                }
        } else {
            const auto tile_row = static_cast<std::size_t>(TIFFTileRowSize64(t));
            const auto tile_size = static_cast<std::size_t>(TIFFTileSize64(t));
            Bytes band(line * s.tile_height), tile(tile_size);
            for (std::uint16_t p = 0; p < planes; ++p)
                for (std::uint32_t y0 = 0; y0 < s.height; y0 += s.tile_height) {
                    std::fill(band.begin(), band.end(), 0);
                    for (std::uint32_t r = 0; r < s.tile_height && y0 + r < s.height; ++r)
                        row(y0 + r, p, band.data() + r * line);
                    for (std::uint32_t x0 = 0; x0 < s.width; x0 += s.tile_width) {
                        std::fill(tile.begin(), tile.end(), 0);
                        const std::size_t at = x0 / s.tile_width * tile_row;
                        // Subsampled YCbCr tiles are smaller than their rows: those are left blank.
                        for (std::uint32_t r = 0; r < s.tile_height && (r + 1) * tile_row <= tile_size; ++r)
                            std::memcpy(tile.data() + r * tile_row, band.data() + r * line + at,
                                        std::min(tile_row, line - at));
                        if (TIFFWriteEncodedTile(t, TIFFComputeTile(t, x0, y0, 0, p), tile.data(),
                                                 static_cast<tmsize_t>(tile_size)) < 0)
                            return {};
                    }
                }
        }
    }
    return file.bytes;
}

// A TIFF whose strips are given already in the file's packing (YCbCr blocks).
Bytes encode_strips(const Page& s, const std::vector<Bytes>& strips) {
    MemoryFile file;
    {
        TiffPtr tif = open_for_writing(file, s);
        for (std::size_t i = 0; i < strips.size(); ++i)
            TIFFWriteEncodedStrip(tif.get(), static_cast<std::uint32_t>(i), const_cast<unsigned char*>(strips[i].data()),
                                  static_cast<tmsize_t>(strips[i].size()));
    }
    return file.bytes;
}

std::uint16_t float_to_half(float f) {
    if (std::isnan(f)) return 0x7E00;
    std::uint32_t bits;
    std::memcpy(&bits, &f, 4);
    const std::uint16_t sign = static_cast<std::uint16_t>(bits >> 16 & 0x8000);
    if (f == 0) return sign;
    const int exponent = static_cast<int>(bits >> 23 & 0xFF) - 127 + 15;  // normal values only
    return static_cast<std::uint16_t>(sign | exponent << 10 | (bits >> 13 & 0x3FF));
}

// Rows of the given samples, listed pixel by pixel, sample by sample, row after row, whatever the
// planar configuration; packed as the page's bits and format say.
RowFn rows_of(const Page& s, std::vector<double> samples) {
    return [s, samples = std::move(samples)](std::uint32_t y, std::uint16_t plane, unsigned char* row) {
        const bool separate = s.planar == PLANARCONFIG_SEPARATE;
        const std::uint32_t per_pixel = separate ? 1 : s.samples;
        std::memset(row, 0, (std::size_t{s.width} * per_pixel * s.bits + 7) / 8);
        for (std::uint32_t x = 0; x < s.width; ++x)
            for (std::uint32_t k = 0; k < per_pixel; ++k) {
                const std::uint32_t sample = separate ? plane : k;
                const double v = samples[(std::size_t{y} * s.width + x) * s.samples + sample];
                const std::size_t i = std::size_t{x} * per_pixel + k;
                if (s.format == SAMPLEFORMAT_IEEEFP) {
                    if (s.bits == 32) {
                        const float f = static_cast<float>(v);
                        std::memcpy(row + i * 4, &f, 4);
                    } else if (s.bits == 64) {
                        std::memcpy(row + i * 8, &v, 8);
                    } else {
                        const std::uint16_t h = float_to_half(static_cast<float>(v));
                        std::memcpy(row + i * 2, &h, 2);
                    }
                } else if (s.bits == 16) {
                    const auto u = static_cast<std::uint16_t>(v);
                    std::memcpy(row + i * 2, &u, 2);
                } else {
                    const auto u = static_cast<std::uint32_t>(v);
                    for (std::uint32_t b = 0; b < s.bits; ++b)
                        if (u >> (s.bits - 1 - b) & 1) {
                            const std::size_t bit = i * s.bits + b;
                            row[bit / 8] |= static_cast<unsigned char>(0x80 >> bit % 8);
                        }
                }
            }
    };
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

Page page(std::uint32_t width, std::uint32_t height, std::uint16_t samples, std::uint16_t bits,
              std::uint16_t photometric, std::vector<std::uint16_t> extra = {}) {
    Page s;
    s.width = width;
    s.height = height;
    s.samples = samples;
    s.bits = bits;
    s.photometric = photometric;
    s.extra = std::move(extra);
    return s;
}

Page with_format(Page s, std::uint16_t format) {
    s.format = format;
    return s;
}

Page with_colormap(Page s, std::vector<std::uint16_t> map) {
    s.colormap = std::move(map);
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
    Page file;
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
        {"float rgb: out of range and NaN as stored", with_format(page(2, 1, 3, 32, rgb), SAMPLEFORMAT_IEEEFP),
         {0, 0.5, 1, 2, -1, nan}, rgbf, {0, 0.5, 1, 2, -1, nan}},
        {"float rgba", with_format(page(1, 1, 4, 32, rgb, {unassociated}), SAMPLEFORMAT_IEEEFP),
         {0.25, 0.5, 0.75, 0}, rgbaf, {0.25, 0.5, 0.75, 0}},
        {"float grey to rgb", with_format(page(2, 1, 1, 32, minisblack), SAMPLEFORMAT_IEEEFP), {0.25, 3}, rgbf,
         {0.25, 0.25, 0.25, 3, 3, 3}},
        {"float grey alpha to rgba", with_format(page(1, 1, 2, 32, minisblack, {unassociated}), SAMPLEFORMAT_IEEEFP),
         {0.5, 1}, rgbaf, {0.5, 0.5, 0.5, 1}},
        {"half float rgb", with_format(page(1, 1, 3, 16, rgb), SAMPLEFORMAT_IEEEFP), {0.5, -2, nan}, rgbf,
         {0.5, -2, nan}},
        {"double rgb", with_format(page(1, 1, 3, 64, rgb), SAMPLEFORMAT_IEEEFP), {0.125, 1, 0.75}, rgbf,
         {0.125, 1, 0.75}},
    };
}

TEST(DecodeTiff, EveryStoredLayoutGivesItsExactRows) {
    for (const LayoutCase& c : layout_cases()) {
        SCOPED_TRACE(c.name);
        const Decoded d = decode(encode_tiff(c.file, rows_of(c.file, c.samples)));
        ASSERT_TRUE(complete(d));
        EXPECT_EQ(d.width, c.file.width);
        EXPECT_EQ(d.height, c.file.height);
        EXPECT_EQ(d.layout, c.layout);
        EXPECT_TRUE(same_values(d.values, c.expected)) << describe(d.values);
    }
}

// ---- The same rows whatever the storage ----

struct Storage {
    const char* name;
    std::function<void(Page&)> apply;
};

std::vector<Storage> storages() {
    return {
        {"deflate, strips of 3 rows", [](Page& s) { s.compression = COMPRESSION_ADOBE_DEFLATE; s.rows_per_strip = 3; }},
        {"deflate, one strip, predictor",
         [](Page& s) {
             s.compression = COMPRESSION_ADOBE_DEFLATE;
             // libtiff's predictors take whole bytes only.
             if (s.bits >= 8)
                 s.predictor = s.format == SAMPLEFORMAT_IEEEFP ? PREDICTOR_FLOATINGPOINT : PREDICTOR_HORIZONTAL;
         }},
        {"lzw, strips of 1 row", [](Page& s) { s.compression = COMPRESSION_LZW; s.rows_per_strip = 1; }},
        {"packbits", [](Page& s) { s.compression = COMPRESSION_PACKBITS; s.rows_per_strip = 4; }},
        {"big-endian", [](Page& s) { s.big_endian = true; }},
        {"BigTIFF, big-endian, lzw", [](Page& s) { s.bigtiff = s.big_endian = true; s.compression = COMPRESSION_LZW; }},
        {"separate planes, strips", [](Page& s) { s.planar = PLANARCONFIG_SEPARATE; s.rows_per_strip = 2; }},
        {"separate planes, deflate, one strip each",
         [](Page& s) { s.planar = PLANARCONFIG_SEPARATE; s.compression = COMPRESSION_ADOBE_DEFLATE; }},
        {"tiles 16 x 16, edge tiles cut", [](Page& s) { s.tile_width = s.tile_height = 16; }},
        {"tiles 32 x 16, lzw, separate planes",
         [](Page& s) {
             s.tile_width = 32;
             s.tile_height = 16;
             s.compression = COMPRESSION_LZW;
             s.planar = PLANARCONFIG_SEPARATE;
         }},
        {"bits in reverse order (FillOrder 2)", [](Page& s) { s.fill_order = FILLORDER_LSB2MSB; s.rows_per_strip = 5; }},
    };
}

// Contents of 37 x 21, so that strips and tiles end inside the page.
std::vector<LayoutCase> storage_contents() {
    const std::uint32_t w = 37, h = 21;
    auto make = [&](const char* name, Page s, std::uint32_t range) {
        std::vector<double> samples(std::size_t{w} * h * s.samples);
        for (std::size_t i = 0; i < samples.size(); ++i)
            samples[i] = s.format == SAMPLEFORMAT_IEEEFP ? static_cast<double>(static_cast<float>(i % 97) / 64.0f)
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
        make("float rgb", with_format(page(w, h, 3, 32, rgb), SAMPLEFORMAT_IEEEFP), 0),
    };
}

TEST(DecodeTiff, StorageDoesNotChangeTheRows) {
    for (const LayoutCase& content : storage_contents()) {
        const Decoded plain = decode(encode_tiff(content.file, rows_of(content.file, content.samples)));
        ASSERT_TRUE(complete(plain)) << content.name;
        for (const Storage& storage : storages()) {
            SCOPED_TRACE(std::string(content.name) + ", " + storage.name);
            Page s = content.file;
            storage.apply(s);
            const Bytes file = encode_tiff(s, rows_of(s, content.samples));
            ASSERT_FALSE(file.empty());
            const Decoded d = decode(file);
            ASSERT_TRUE(complete(d));
            EXPECT_EQ(d.layout, plain.layout);
            EXPECT_TRUE(same_values(d.values, plain.values));
        }
    }
}

TEST(DecodeTiff, FaxCompressedBilevelScans) {
    const Page base = page(200, 40, 1, 1, miniswhite);
    std::vector<double> samples(200 * 40);
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = (i / 7 + i / 200) % 3 == 0;
    const Decoded plain = decode(encode_tiff(base, rows_of(base, samples)));
    ASSERT_TRUE(complete(plain));
    for (std::uint16_t compression : {COMPRESSION_CCITTRLE, COMPRESSION_CCITTFAX3, COMPRESSION_CCITTFAX4}) {
        for (std::uint16_t order : {FILLORDER_MSB2LSB, FILLORDER_LSB2MSB}) {
            SCOPED_TRACE(std::to_string(compression) + " fill order " + std::to_string(order));
            Page s = base;
            s.compression = compression;
            s.fill_order = order;
            s.rows_per_strip = 16;
            const Decoded d = decode(encode_tiff(s, rows_of(s, samples)));
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
    MemoryFile f{file, 0};
    // Its warnings (a progressive JPEG strip) are not the decoder's output.
    std::unique_ptr<TIFFOpenOptions, void (*)(TIFFOpenOptions*)> options(TIFFOpenOptionsAlloc(), TIFFOpenOptionsFree);
    TIFFOpenOptionsSetWarningHandlerExtR(
        options.get(), [](TIFF*, void*, const char*, const char*, va_list) { return 1; }, nullptr);
    TiffPtr tif(TIFFClientOpenExt("memory", "r", &f, memory_read, memory_write, memory_seek, memory_close, memory_size,
                                  nullptr, nullptr, options.get()));
    std::uint32_t w = 0, h = 0;
    TIFFGetField(tif.get(), TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tif.get(), TIFFTAG_IMAGELENGTH, &h);
    std::vector<std::uint32_t> raster(std::size_t{w} * h);
    if (!TIFFReadRGBAImageOriented(tif.get(), w, h, raster.data(), ORIENTATION_TOPLEFT, 0)) return {};
    std::vector<double> out;
    for (std::uint32_t p : raster) out.insert(out.end(), {double(TIFFGetR(p)), double(TIFFGetG(p)), double(TIFFGetB(p))});
    return out;
}

RowFn colour_rows(std::uint32_t width) {
    return [width](std::uint32_t y, std::uint16_t, unsigned char* row) {
        for (std::uint32_t x = 0; x < width; ++x) {
            row[3 * x] = static_cast<unsigned char>(x * 5);
            row[3 * x + 1] = static_cast<unsigned char>(y * 7);
            row[3 * x + 2] = static_cast<unsigned char>((x ^ y) * 3);
        }
    };
}

TEST(DecodeTiff, JpegPagesComeAsRgb) {
    struct Case {
        const char* name;
        Page file;
        RowFn rows;
        PixelLayout layout;
    };
    auto jpeg = [](Page s) {
        s.compression = COMPRESSION_JPEG;
        return s;
    };
    Page tiled = jpeg(page(50, 40, 3, 8, PHOTOMETRIC_YCBCR));
    tiled.tile_width = tiled.tile_height = 16;
    Page strips = jpeg(page(50, 40, 3, 8, PHOTOMETRIC_YCBCR));
    strips.rows_per_strip = 16;
    const std::vector<Case> cases = {
        {"YCbCr, one strip", jpeg(page(50, 40, 3, 8, PHOTOMETRIC_YCBCR)), colour_rows(50), rgb8},
        {"YCbCr, strips of 16 rows", strips, colour_rows(50), rgb8},
        {"YCbCr, tiles", tiled, colour_rows(50), rgb8},
        {"RGB", jpeg(page(50, 40, 3, 8, rgb)), colour_rows(50), rgb8},
        {"grey", jpeg(page(50, 40, 1, 8, minisblack)),
         [](std::uint32_t y, std::uint16_t, unsigned char* row) {
             for (std::uint32_t x = 0; x < 50; ++x) row[x] = static_cast<unsigned char>(x * y);
         },
         grey8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes file = encode_tiff(c.file, c.rows);
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
            Page s = page(5, 3, 3, 8, PHOTOMETRIC_YCBCR);
            s.ycbcr_h = h;
            s.ycbcr_v = v;
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
            const Bytes file = encode_strips(s, strips);
            const Decoded d = decode(file);
            ASSERT_TRUE(complete(d));
            EXPECT_EQ(d.layout, rgb8);
            EXPECT_TRUE(same_values(d.values, rgba_reader_rows(file)));
        }
    }
    // Unsubsampled pixels are plain rows, in tiles too (where libtiff's RGBA reader goes astray:
    // the image library read them as the strips are read).
    Page strips = page(20, 18, 3, 8, PHOTOMETRIC_YCBCR);
    strips.ycbcr_h = strips.ycbcr_v = 1;
    Page tiles = strips;
    tiles.tile_width = tiles.tile_height = 16;
    const Bytes striped = encode_tiff(strips, colour_rows(20));
    const Decoded by_strips = decode(striped), by_tiles = decode(encode_tiff(tiles, colour_rows(20)));
    ASSERT_TRUE(complete(by_strips) && complete(by_tiles));
    EXPECT_TRUE(same_values(by_strips.values, rgba_reader_rows(striped)));
    EXPECT_TRUE(same_values(by_tiles.values, by_strips.values));
}

// ---- Pages this decoder leaves to the fallback road ----

TEST(DecodeTiff, PagesOutsideTheLayoutsAreRefused) {
    Page lab = page(2, 1, 3, 8, PHOTOMETRIC_CIELAB);
    Page int32 = page(2, 1, 1, 32, minisblack);
    Page float_palette = with_format(with_colormap(page(2, 1, 1, 8, palette), ramp_map(256, 257)), SAMPLEFORMAT_IEEEFP);
    Page cmyk_12 = page(2, 1, 4, 12, cmyk);
    Page float_white = with_format(page(2, 1, 1, 32, miniswhite), SAMPLEFORMAT_IEEEFP);
    Page ycbcr_tiles = page(16, 16, 3, 8, PHOTOMETRIC_YCBCR);
    ycbcr_tiles.ycbcr_h = ycbcr_tiles.ycbcr_v = 2;
    ycbcr_tiles.tile_width = ycbcr_tiles.tile_height = 16;
    for (const Page& s : {lab, int32, float_palette, cmyk_12, float_white, ycbcr_tiles}) {
        SCOPED_TRACE(s.photometric);
        const Bytes file = encode_tiff(s, [](std::uint32_t, std::uint16_t, unsigned char*) {});
        ASSERT_FALSE(file.empty());
        EXPECT_FALSE(tarnwick::open_tiff(file.data(), file.size()));
    }
}

// ---- Damage ----

// The offset of the value of `tag` in the first IFD of a little-endian classic TIFF, and its count.
struct Entry {
    std::size_t at = 0;  // of the entry
    std::uint32_t count = 0, value = 0;
};

std::uint32_t le32(const Bytes& b, std::size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | std::uint32_t{b[at + 3]} << 24;
}
void put_le32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

Entry find_entry(const Bytes& file, std::uint16_t tag) {
    const std::size_t ifd = le32(file, 4);
    const std::uint32_t count = file[ifd] | file[ifd + 1] << 8;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::size_t at = ifd + 2 + 12 * i;
        if ((file[at] | file[at + 1] << 8) == tag) return {at, le32(file, at + 4), le32(file, at + 8)};
    }
    ADD_FAILURE() << "no tag " << tag;
    return {};
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
    jpeg_compress_struct c{};
    jpeg_error_mgr error{};
    c.err = jpeg_std_error(&error);
    jpeg_create_compress(&c);
    unsigned char* stream = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &stream, &size);
    c.image_width = c.image_height = 64;
    c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    for (int i = 0; i < 3; ++i) c.comp_info[i].h_samp_factor = c.comp_info[i].v_samp_factor = 1;
    jpeg_scan_info scans[3] = {};
    if (progressive) {
        jpeg_simple_progression(&c);
    } else {
        for (int i = 0; i < 3; ++i) scans[i] = {1, {i}, 0, 63, 0, 0};
        c.scan_info = scans;
        c.num_scans = 3;
    }
    jpeg_start_compress(&c, TRUE);
    Bytes row(64 * 3);
    for (JDIMENSION y = 0; y < 64; ++y) {
        for (std::size_t i = 0; i < row.size(); ++i) row[i] = static_cast<unsigned char>(i * 3 + y * 5);
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&c, rows, 1);
    }
    jpeg_finish_compress(&c);
    Bytes jpeg(stream, stream + size);
    std::free(stream);
    jpeg_destroy_compress(&c);
    for (std::size_t at = 2; at + 9 < jpeg.size(); ++at)
        if (jpeg[at] == 0xFF && (jpeg[at + 1] == 0xC0 || jpeg[at + 1] == 0xC1 || jpeg[at + 1] == 0xC2)) {
            jpeg[at + 5] = jpeg[at + 7] = static_cast<unsigned char>(side >> 8);
            jpeg[at + 6] = jpeg[at + 8] = static_cast<unsigned char>(side);
            break;
        }
    Page s = page(side, side, 3, 8, PHOTOMETRIC_YCBCR);
    s.compression = COMPRESSION_JPEG;
    s.ycbcr_h = s.ycbcr_v = 1;
    MemoryFile file;
    {
        TiffPtr tif = open_for_writing(file, s);
        TIFFWriteRawStrip(tif.get(), 0, jpeg.data(), static_cast<tmsize_t>(jpeg.size()));
    }
    return file.bytes;
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
    const Page s = with_colormap(page(4, 2, 1, 8, palette), ramp_map(256, 257));
    const Bytes good = encode_tiff(s, rows_of(s, {0, 1, 2, 3, 4, 5, 6, 7}));
    ASSERT_TRUE(complete(decode(good)));
    const Entry map = find_entry(good, TIFFTAG_COLORMAP);
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
    const Page s = page(4, 1, 1, 8, minisblack);
    Bytes file = encode_tiff(s, rows_of(s, {1, 2, 3, 4}));
    const Entry fill_order = find_entry(file, TIFFTAG_FILLORDER);
    file[fill_order.at] = 0xE8;
    file[fill_order.at + 1] = 0xFD;
    const Decoded d = decode_quietly(file);
    ASSERT_TRUE(complete(d));
    EXPECT_EQ(d.values, (std::vector<double>{1, 2, 3, 4}));
}

TEST(DecodeTiff, FileCutAnywhereFailsWithoutCrash) {
    Page strips = page(37, 21, 3, 8, rgb);
    strips.compression = COMPRESSION_ADOBE_DEFLATE;
    strips.rows_per_strip = 4;
    Page raw = page(37, 21, 1, 16, minisblack);
    Page tiles = page(37, 21, 3, 16, rgb);
    tiles.tile_width = tiles.tile_height = 16;
    tiles.compression = COMPRESSION_LZW;
    Page fax = page(64, 21, 1, 1, miniswhite);
    fax.compression = COMPRESSION_CCITTFAX4;
    Page planes = page(37, 21, 4, 8, rgb, {unassociated});
    planes.planar = PLANARCONFIG_SEPARATE;
    planes.compression = COMPRESSION_PACKBITS;
    Page jpeg = page(37, 21, 3, 8, PHOTOMETRIC_YCBCR);
    jpeg.compression = COMPRESSION_JPEG;
    Page ycbcr = page(4, 4, 3, 8, PHOTOMETRIC_YCBCR);
    ycbcr.ycbcr_h = ycbcr.ycbcr_v = 2;
    std::vector<Bytes> files;
    for (const Page& s : {strips, raw, tiles, fax, planes, jpeg}) {
        std::vector<double> samples(std::size_t{s.width} * s.height * s.samples);
        for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = (i * 37 % 251) % (1u << std::min<int>(s.bits, 8));
        files.push_back(encode_tiff(s, rows_of(s, samples)));
    }
    files.push_back(encode_strips(ycbcr, {Bytes(24, 100)}));
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
    Page s = page(64, 32, 1, 8, minisblack);
    s.compression = COMPRESSION_ADOBE_DEFLATE;
    s.rows_per_strip = 8;
    std::vector<double> samples(64 * 32);
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = i * 7 % 256;
    Bytes file = encode_tiff(s, rows_of(s, samples));
    const Entry offsets = find_entry(file, TIFFTAG_STRIPOFFSETS);
    const std::uint32_t third = le32(file, offsets.value + 8);  // the third strip's offset
    for (std::size_t i = 2; i < 12; ++i) file[third + i] ^= 0x5A;
    const Decoded d = decode_quietly(file);
    EXPECT_TRUE(d.started);
    EXPECT_FALSE(complete(d));
    EXPECT_LE(d.rows, 16u);
}

TEST(DecodeTiff, OneFailingDecoderLeavesAnotherAlone) {
    const Page s = page(8, 8, 1, 8, minisblack);
    const Bytes good = encode_tiff(s, rows_of(s, std::vector<double>(64, 9)));
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
    const Entry e = find_entry(file, tag);
    file[e.at + 2] = TIFF_LONG;
    file[e.at + 3] = 0;
    put_le32(file, e.at + 8, value);
    return file;
}

TEST(DecodeTiff, HostileSizesFailBeforeAnyLargeBlock) {
    Page striped = page(16, 16, 4, 16, rgb, {unassociated});
    striped.compression = COMPRESSION_ADOBE_DEFLATE;
    Page tiled = striped;
    tiled.tile_width = tiled.tile_height = 16;
    const Bytes strip_file = encode_tiff(striped, rows_of(striped, std::vector<double>(16 * 16 * 4, 1)));
    const Bytes tile_file = encode_tiff(tiled, rows_of(tiled, std::vector<double>(16 * 16 * 4, 1)));
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
    const Page s = page(4, 1, 1, 8, minisblack);
    Bytes looped = encode_tiff(s, rows_of(s, {1, 2, 3, 4}));
    const std::size_t ifd = le32(looped, 4);
    const std::uint32_t entries = looped[ifd] | looped[ifd + 1] << 8;
    put_le32(looped, ifd + 2 + 12 * entries, static_cast<std::uint32_t>(ifd));
    const Decoded d = decode_quietly(looped);
    ASSERT_TRUE(complete(d));
    EXPECT_EQ(d.values, (std::vector<double>{1, 2, 3, 4}));

    MemoryFile file;
    {
        TiffPtr tif(TIFFClientOpen("memory", "wl", &file, memory_read, memory_write, memory_seek, memory_close,
                                   memory_size, nullptr, nullptr));
        for (int n = 0; n < 5000; ++n) {
            TIFFSetField(tif.get(), TIFFTAG_IMAGEWIDTH, 1u);
            TIFFSetField(tif.get(), TIFFTAG_IMAGELENGTH, 1u);
            TIFFSetField(tif.get(), TIFFTAG_BITSPERSAMPLE, 8);
            TIFFSetField(tif.get(), TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
            unsigned char v = static_cast<unsigned char>(n + 1);
            TIFFWriteScanline(tif.get(), &v, 0, 0);
            TIFFWriteDirectory(tif.get());
        }
    }
    const Decoded pages = decode(file.bytes);
    ASSERT_TRUE(complete(pages));
    EXPECT_EQ(pages.values, std::vector<double>{1});
}

}  // namespace
