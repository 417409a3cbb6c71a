// The fixture makers of image_fixtures.h. The libraries' error callbacks abort with the message:
// they must not return, a fixture that fails is a broken test, and no C++ frame is unwound
// through the libraries' C frames.
#include "support/image_fixtures.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>

#include <gif_lib.h>
#include <jpeglib.h>
#include <png.h>
#include <tiffio.h>
#include <webp/encode.h>
#include <webp/mux.h>
#include <zlib.h>

namespace test_support {
namespace {

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error("image fixture: " + what); }

[[noreturn]] void library_abort(const char* library, const char* message) {
    std::fprintf(stderr, "image fixture: %s: %s\n", library, message);
    std::abort();
}

std::uint32_t mix(std::uint32_t v) {
    v ^= v >> 16;
    v *= 0x7feb352dU;
    v ^= v >> 15;
    v *= 0x846ca68bU;
    v ^= v >> 16;
    return v;
}

std::uint32_t hash(std::uint32_t x, std::uint32_t y, std::uint32_t c, std::uint32_t seed) {
    return mix(x * 0x9E3779B1U ^ mix(y * 0x85EBCA77U ^ mix(c * 0xC2B2AE3DU ^ seed)));
}

void check_raster(const Raster& raster, std::uint32_t most_channels = 4) {
    if (raster.width == 0 || raster.height == 0 || raster.channels < 1 || raster.channels > most_channels)
        fail("a raster needs a size and 1 to " + std::to_string(most_channels) + " channels");
    const std::size_t count = std::size_t{raster.width} * raster.height * raster.channels;
    if ((raster.is_float() ? raster.reals.size() : raster.samples.size()) != count)
        fail("the raster's samples do not match its size");
}

void put_be32(Bytes& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<unsigned char>(v >> shift));
}

// Integer samples packed as PNG and TIFF store them: narrower than a byte or of odd widths, one
// after the other from the high bit of each byte; 16-bit ones big-endian or in the host's order.
void pack_samples(const std::uint16_t* in, std::size_t count, std::uint32_t bits, unsigned char* out,
                  bool big_endian_16) {
    if (bits == 16) {
        for (std::size_t i = 0; i < count; ++i) {
            if (big_endian_16) {
                out[2 * i] = static_cast<unsigned char>(in[i] >> 8);
                out[2 * i + 1] = static_cast<unsigned char>(in[i]);
            } else {
                std::memcpy(out + 2 * i, &in[i], 2);
            }
        }
    } else if (bits == 8) {
        for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<unsigned char>(in[i]);
    } else if (bits == 1 || bits == 2 || bits == 4) {
        std::memset(out, 0, (count * bits + 7) / 8);
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t bit = i * bits;
            out[bit / 8] |= static_cast<unsigned char>(in[i] << (8 - bits - bit % 8));
        }
    } else if (bits >= 1 && bits < 16) {
        std::memset(out, 0, (count * bits + 7) / 8);
        for (std::size_t i = 0; i < count; ++i)
            for (std::uint32_t b = 0; b < bits; ++b)
                if (in[i] >> (bits - 1 - b) & 1) {
                    const std::size_t bit = i * bits + b;
                    out[bit / 8] |= static_cast<unsigned char>(0x80 >> bit % 8);
                }
    } else {
        fail("samples of " + std::to_string(bits) + " bits cannot be packed");
    }
}

// Row y of an integer raster, packed.
void pack_row(const Raster& raster, std::uint32_t y, unsigned char* out, bool big_endian_16) {
    const std::size_t count = std::size_t{raster.width} * raster.channels;
    pack_samples(&raster.samples[std::size_t{y} * count], count, raster.bits, out, big_endian_16);
}

void check_rows(const RowImage& image) {
    if (image.width == 0 || image.height == 0 || image.channels < 1 || image.channels > 4 || image.bits == 0 ||
        image.bits > 16 || !image.row)
        fail("a row image needs a size, 1 to 4 channels of 1 to 16 bits and its rows");
}

// The rows of an integer raster as a row image.
RowImage rows_of(const Raster& raster) {
    check_raster(raster);
    if (raster.is_float()) fail("float samples do not come by sample rows");
    const std::size_t count = std::size_t{raster.width} * raster.channels;
    return {raster.width, raster.height, raster.channels, raster.bits, [&raster, count](std::uint32_t y, std::uint16_t* out) {
                std::copy_n(&raster.samples[std::size_t{y} * count], count, out);
            }};
}

std::uint8_t to_8bit(const Raster& raster, std::size_t i) {
    if (raster.is_float()) {
        const float v = raster.reals[i];
        if (std::isnan(v)) return 255;
        const double clamped = std::clamp(static_cast<double>(v), 0.0, 1.0);
        return static_cast<std::uint8_t>(std::floor(clamped * 255.0 + 0.5));
    }
    const std::uint32_t v = raster.samples[i];
    switch (raster.bits) {
        case 16: return static_cast<std::uint8_t>((v + 128) / 257);
        case 8: return static_cast<std::uint8_t>(v);
        case 1:
        case 2:
        case 4: return static_cast<std::uint8_t>(v * 255 / raster.max_sample());
        default: fail("no conversion rule for " + std::to_string(raster.bits) + "-bit samples");
    }
}

}  // namespace

void put_le16(Bytes& out, std::uint32_t v) {
    out.push_back(static_cast<unsigned char>(v));
    out.push_back(static_cast<unsigned char>(v >> 8));
}
void put_le32(Bytes& out, std::uint32_t v) {
    put_le16(out, v & 0xFFFF);
    put_le16(out, v >> 16);
}

// --- samples ---------------------------------------------------------------------------------

Raster make_raster(std::uint32_t width, std::uint32_t height, std::uint32_t channels, std::uint32_t bits,
                   const SampleFn& sample) {
    if (bits == 0 || bits > 16) fail("integer samples have 1 to 16 bits");
    Raster raster{width, height, channels, bits, {}, {}};
    const std::uint32_t mask = raster.max_sample();
    raster.samples.reserve(std::size_t{width} * height * channels);
    for (std::uint32_t y = 0; y < height; ++y)
        for (std::uint32_t x = 0; x < width; ++x)
            for (std::uint32_t c = 0; c < channels; ++c)
                raster.samples.push_back(static_cast<std::uint16_t>(sample(x, y, c) & mask));
    check_raster(raster);
    return raster;
}

Raster make_float_raster(std::uint32_t width, std::uint32_t height, std::uint32_t channels, const RealFn& sample) {
    Raster raster{width, height, channels, 32, {}, {}};
    raster.reals.reserve(std::size_t{width} * height * channels);
    for (std::uint32_t y = 0; y < height; ++y)
        for (std::uint32_t x = 0; x < width; ++x)
            for (std::uint32_t c = 0; c < channels; ++c) raster.reals.push_back(sample(x, y, c));
    check_raster(raster);
    return raster;
}

Raster varied_raster(std::uint32_t width, std::uint32_t height, std::uint32_t channels, std::uint32_t bits,
                     std::uint32_t seed) {
    // The 16-bit values around the rounding steps of (v + 128) / 257.
    static const std::uint16_t edges16[] = {0,     127,   128,   129,   255,   256,   383,   384,   385,
                                            32639, 32640, 32767, 32768, 65279, 65280, 65407, 65408, 65535};
    const std::uint32_t max = bits >= 16 ? 65535u : (1u << bits) - 1;
    const bool has_alpha = channels == 2 || channels == 4;
    return make_raster(width, height, channels, bits, [&](std::uint32_t x, std::uint32_t y, std::uint32_t c) -> std::uint32_t {
        const std::uint32_t h = hash(x, y, c, seed);
        if (has_alpha && c == channels - 1) {
            // Transparent, opaque and in between, in patches.
            switch (hash(x / 3, y / 2, 99, seed) % 4) {
                case 0: return 0;
                case 1: return max;
                default: return h % (max + 1);
            }
        }
        if (x == 0 && y == 0) return 0;
        if (x == 1 && y == 0) return max;
        if (y == 1 && bits == 16) return edges16[(x + c * 5 + seed) % std::size(edges16)];
        switch ((x / 7 + y / 5 + seed) % 4) {
            case 0: return static_cast<std::uint32_t>((std::uint64_t{x * 5 + y * 3 + c * 11} * max) /
                                                      std::max<std::uint32_t>(1, width * 5 + height * 3 + 33)) %
                           (max + 1);
            case 1: return ((x + y + c) % 2) ? max : 0;
            case 2: return h % (max + 1);
            default: return (x * 7 + y * 13 + c * 29 + seed) % (max + 1);
        }
    });
}

Raster smooth_raster(std::uint32_t width, std::uint32_t height, std::uint32_t channels, std::uint32_t bits) {
    const std::uint32_t max = bits >= 16 ? 65535u : (1u << bits) - 1;
    return make_raster(width, height, channels, bits, [&](std::uint32_t x, std::uint32_t y, std::uint32_t c) {
        double wave = 0;
        switch (c) {
            case 0: wave = 0.70 * std::sin(x / 3.0 + y / 11.0); break;
            case 1: wave = 0.78 * std::sin(y / 5.0 + x / 9.0); break;
            case 2: wave = 0.62 * std::sin((x * x + y * y) / 400.0); break;
            default: wave = 0.50 * std::cos(x / 6.0 - y / 4.0); break;
        }
        return static_cast<std::uint32_t>(std::lround((0.5 + wave / 2) * max));
    });
}

Raster float_raster(std::uint32_t width, std::uint32_t height, std::uint32_t channels, bool specials) {
    return make_float_raster(width, height, channels, [&](std::uint32_t x, std::uint32_t y, std::uint32_t c) {
        const std::uint32_t h = hash(x, y, c, 7);
        if (specials) {
            switch (h % 29) {
                case 0: return std::numeric_limits<float>::quiet_NaN();
                case 1: return std::numeric_limits<float>::infinity();
                case 2: return -std::numeric_limits<float>::infinity();
                default: break;
            }
        }
        // k / 512 for k from -128 to 640: exact in a float, and every 512th level is a half.
        const int k = static_cast<int>((x * 37 + y * 11 + c * 101 + (h >> 8) % 64) % 769) - 128;
        return static_cast<float>(k) / 512.0f;
    });
}

Raster runs_raster(std::uint32_t width, std::uint32_t height, std::uint32_t bits, std::uint32_t seed) {
    const std::uint32_t max = (1u << bits) - 1;
    Raster raster{width, height, 1, bits, {}, {}};
    for (std::uint32_t y = 0; y < height; ++y) {
        std::uint32_t x = 0, segment = 0;
        while (x < width) {
            // Runs of one value alternate with stretches where every pixel differs.
            const std::uint32_t h = hash(segment++, y, 5, seed);
            const std::uint32_t length = 1 + h % 9;
            const bool run = (h >> 8) % 2 == 0;
            for (std::uint32_t i = 0; i < length && x < width; ++i, ++x)
                raster.samples.push_back(static_cast<std::uint16_t>((run ? h >> 12 : hash(x, y, 6, seed)) & max));
        }
    }
    check_raster(raster);
    return raster;
}

Palette varied_palette(std::size_t size) {
    Palette palette(size);
    for (std::size_t i = 0; i < size; ++i) {
        palette[i].r = static_cast<std::uint8_t>(30 + 67 * i);
        palette[i].g = static_cast<std::uint8_t>(90 + 151 * i);
        palette[i].b = static_cast<std::uint8_t>(200 + 29 * i);
    }
    return palette;
}

Bytes expected_rgb(const Raster& raster) {
    check_raster(raster);
    Bytes rgb;
    rgb.reserve(std::size_t{raster.width} * raster.height * 3);
    const std::size_t pixels = std::size_t{raster.width} * raster.height;
    for (std::size_t p = 0; p < pixels; ++p) {
        const std::size_t first = p * raster.channels;
        if (raster.channels <= 2) {
            rgb.insert(rgb.end(), 3, to_8bit(raster, first));
        } else {
            for (std::size_t c = 0; c < 3; ++c) rgb.push_back(to_8bit(raster, first + c));
        }
    }
    return rgb;
}

Bytes expected_rgb(const Raster& indices, const Palette& palette) {
    check_raster(indices);
    if (indices.channels != 1 || indices.is_float()) fail("palette indices are one integer channel");
    Bytes rgb;
    rgb.reserve(indices.samples.size() * 3);
    for (std::uint16_t i : indices.samples) {
        if (i >= palette.size()) fail("an index past the palette");
        rgb.insert(rgb.end(), {palette[i].r, palette[i].g, palette[i].b});
    }
    return rgb;
}

// --- PNG -------------------------------------------------------------------------------------

namespace {

struct PngWriter {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~PngWriter() { png_destroy_write_struct(&png, &info); }
};

[[noreturn]] void png_abort(png_structp, png_const_charp message) { library_abort("libpng", message); }
void png_quiet(png_structp, png_const_charp) {}

void png_append(png_structp png, png_bytep data, std::size_t length) {
    auto* out = static_cast<Bytes*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}
void png_no_flush(png_structp) {}

Bytes write_png(std::uint32_t width, std::uint32_t height, int colour_type, int depth, const RowFn& row,
                const PngOptions& options, bool filtered) {
    if (colour_type == PNG_COLOR_TYPE_PALETTE && options.palette.empty()) fail("a palette PNG needs a palette");
    Bytes out;
    PngWriter w;
    w.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, png_abort, png_quiet);
    if (!w.png) fail("png_create_write_struct");
    w.info = png_create_info_struct(w.png);
    if (!w.info) fail("png_create_info_struct");
    png_set_write_fn(w.png, &out, png_append, png_no_flush);
    // Any size the format can hold: libpng's own default stops at a million pixels a side.
    png_set_user_limits(w.png, 0x7FFFFFFF, 0x7FFFFFFF);
    png_set_IHDR(w.png, w.info, width, height, depth, colour_type,
                 options.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    if (!filtered) png_set_filter(w.png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
    std::vector<png_color> plte;
    std::vector<png_byte> alphas;
    if (colour_type == PNG_COLOR_TYPE_PALETTE) {
        for (const Colour& c : options.palette) plte.push_back({c.r, c.g, c.b});
        png_set_PLTE(w.png, w.info, plte.data(), static_cast<int>(plte.size()));
        for (std::size_t i = 0; i < options.palette.size(); ++i)
            if (options.palette[i].a != 255) alphas.resize(i + 1, 255);
        for (std::size_t i = 0; i < alphas.size(); ++i) alphas[i] = options.palette[i].a;
        if (!alphas.empty()) png_set_tRNS(w.png, w.info, alphas.data(), static_cast<int>(alphas.size()), nullptr);
    }
    if (options.transparent) {
        if (colour_type != PNG_COLOR_TYPE_GRAY && colour_type != PNG_COLOR_TYPE_RGB)
            fail("a tRNS colour belongs to a grey or RGB PNG");
        png_color_16 colour{};
        colour.gray = (*options.transparent)[0];
        colour.red = (*options.transparent)[0];
        colour.green = (*options.transparent)[1];
        colour.blue = (*options.transparent)[2];
        png_set_tRNS(w.png, w.info, nullptr, 0, &colour);
    }
    png_write_info(w.png, w.info);
    const int passes = options.interlaced ? png_set_interlace_handling(w.png) : 1;
    std::vector<unsigned char> line(png_get_rowbytes(w.png, w.info));
    for (int pass = 0; pass < passes; ++pass) {
        for (std::uint32_t y = 0; y < height; ++y) {
            row(y, line.data());
            png_write_row(w.png, line.data());
        }
    }
    png_write_end(w.png, nullptr);
    return out;
}

}  // namespace

Bytes encode_png(const Raster& raster, const PngOptions& options) {
    check_raster(raster);
    if (raster.is_float()) fail("PNG has no float samples");
    int colour_type = PNG_COLOR_TYPE_GRAY;
    switch (raster.channels) {
        case 1: colour_type = options.palette.empty() ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_PALETTE; break;
        case 2: colour_type = PNG_COLOR_TYPE_GRAY_ALPHA; break;
        case 3: colour_type = PNG_COLOR_TYPE_RGB; break;
        default: colour_type = PNG_COLOR_TYPE_RGB_ALPHA; break;
    }
    return write_png(raster.width, raster.height, colour_type, static_cast<int>(raster.bits),
                     [&](std::uint32_t y, unsigned char* row) { pack_row(raster, y, row, true); }, options, true);
}

Bytes encode_png_rows(std::uint32_t width, std::uint32_t height, int colour_type, int depth, const RowFn& row,
                      const PngOptions& options) {
    return write_png(width, height, colour_type, depth, row, options, false);
}

Bytes uniform_png(std::uint32_t width, std::uint32_t height, int colour_type, int depth, unsigned char fill,
                  bool interlaced) {
    const int channels = colour_type == 2 ? 3 : colour_type == 6 ? 4 : colour_type == 4 ? 2 : 1;
    const std::size_t row_bytes = (std::size_t{width} * channels * depth + 7) / 8;
    PngOptions options;
    options.interlaced = interlaced;
    if (colour_type == PNG_COLOR_TYPE_PALETTE) options.palette = varied_palette(std::size_t{1} << depth);
    return write_png(width, height, colour_type, depth,
                     [&](std::uint32_t, unsigned char* row) { std::memset(row, fill, row_bytes); }, options, false);
}

void put_png_chunk(Bytes& file, const char* type, const Bytes& data) {
    put_be32(file, static_cast<std::uint32_t>(data.size()));
    const std::size_t start = file.size();
    file.insert(file.end(), type, type + 4);
    file.insert(file.end(), data.begin(), data.end());
    put_be32(file, static_cast<std::uint32_t>(crc32(0, file.data() + start, static_cast<uInt>(file.size() - start))));
}

Bytes png_claiming(std::uint32_t width, std::uint32_t height, int colour_type, int depth, std::uint32_t rows) {
    Bytes out{0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    Bytes ihdr;
    put_be32(ihdr, width);
    put_be32(ihdr, height);
    ihdr.insert(ihdr.end(), {static_cast<unsigned char>(depth), static_cast<unsigned char>(colour_type), 0, 0, 0});
    put_png_chunk(out, "IHDR", ihdr);
    const int channels = colour_type == 2 ? 3 : colour_type == 6 ? 4 : colour_type == 4 ? 2 : 1;
    const std::size_t row_bytes = 1 + (std::size_t{width} * channels * depth + 7) / 8;
    const Bytes raw(std::min<std::size_t>(row_bytes * rows, std::size_t{1} << 20), 0);
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    Bytes idat(size);
    compress(idat.data(), &size, raw.data(), static_cast<uLong>(raw.size()));
    idat.resize(size);
    put_png_chunk(out, "IDAT", idat);
    put_png_chunk(out, "IEND", {});
    return out;
}

// --- JPEG ------------------------------------------------------------------------------------

namespace {

[[noreturn]] void jpeg_abort(j_common_ptr info) {
    char message[JMSG_LENGTH_MAX];
    info->err->format_message(info, message);
    library_abort("libjpeg", message);
}

struct JpegWriter {
    jpeg_compress_struct info{};
    jpeg_error_mgr error{};
    unsigned char* buffer = nullptr;
    unsigned long length = 0;
    ~JpegWriter() {
        jpeg_destroy_compress(&info);
        std::free(buffer);
    }
};

}  // namespace

Bytes encode_jpeg(const Raster& raster, const JpegOptions& options) { return encode_jpeg_rows(rows_of(raster), options); }

Bytes encode_jpeg_rows(const RowImage& raster, const JpegOptions& options) {
    check_rows(raster);
    if (raster.bits != 8) fail("JPEG takes 8-bit samples");
    const bool grey = options.colour == JpegColour::grey;
    const bool cmyk = options.colour == JpegColour::adobe_cmyk || options.colour == JpegColour::ycck;
    if (raster.channels != (grey ? 1u : cmyk ? 4u : 3u)) fail("the raster's channels do not fit the JPEG colour");
    JpegWriter w;
    w.info.err = jpeg_std_error(&w.error);
    w.error.error_exit = jpeg_abort;
    jpeg_create_compress(&w.info);
    jpeg_mem_dest(&w.info, &w.buffer, &w.length);
    w.info.image_width = raster.width;
    w.info.image_height = raster.height;
    w.info.input_components = static_cast<int>(raster.channels);
    w.info.in_color_space = grey ? JCS_GRAYSCALE : cmyk ? JCS_CMYK : JCS_RGB;
    jpeg_set_defaults(&w.info);
    switch (options.colour) {
        case JpegColour::ycbcr_444:
            w.info.comp_info[0].h_samp_factor = 1;
            w.info.comp_info[0].v_samp_factor = 1;
            break;
        case JpegColour::rgb: jpeg_set_colorspace(&w.info, JCS_RGB); break;
        case JpegColour::ycck: jpeg_set_colorspace(&w.info, JCS_YCCK); break;
        default: break;
    }
    jpeg_set_quality(&w.info, options.quality, TRUE);
    if (options.progressive) jpeg_simple_progression(&w.info);
    std::array<jpeg_scan_info, 4> scans{};
    if (options.scan_per_component) {
        for (int i = 0; i < w.info.num_components; ++i) scans[static_cast<std::size_t>(i)] = {1, {i}, 0, 63, 0, 0};
        w.info.scan_info = scans.data();
        w.info.num_scans = w.info.num_components;
    }
    jpeg_start_compress(&w.info, TRUE);
    const std::size_t count = std::size_t{raster.width} * raster.channels;
    std::vector<std::uint16_t> samples(count);
    std::vector<unsigned char> line(count);
    for (std::uint32_t y = 0; y < raster.height; ++y) {
        raster.row(y, samples.data());
        pack_samples(samples.data(), count, 8, line.data(), true);
        JSAMPROW rows[1] = {line.data()};
        jpeg_write_scanlines(&w.info, rows, 1);
    }
    jpeg_finish_compress(&w.info);
    return Bytes(w.buffer, w.buffer + w.length);
}

// --- GIF -------------------------------------------------------------------------------------

namespace {

struct ColourMapDeleter {
    void operator()(ColorMapObject* map) const noexcept { GifFreeMapObject(map); }
};
using ColourMapPtr = std::unique_ptr<ColorMapObject, ColourMapDeleter>;

// giflib takes tables of 2, 4, ... 256 entries; the rest is black.
ColourMapPtr colour_map(const Palette& palette) {
    if (palette.empty()) return nullptr;
    if (palette.size() > 256) fail("a GIF colour table has at most 256 entries");
    int count = 2;
    while (count < static_cast<int>(palette.size())) count *= 2;
    std::vector<GifColorType> colours(static_cast<std::size_t>(count), GifColorType{0, 0, 0});
    for (std::size_t i = 0; i < palette.size(); ++i) colours[i] = {palette[i].r, palette[i].g, palette[i].b};
    ColourMapPtr map(GifMakeMapObject(count, colours.data()));
    if (!map) fail("GifMakeMapObject");
    return map;
}

int gif_append(GifFileType* gif, const GifByteType* data, int length) {
    auto* out = static_cast<Bytes*>(gif->UserData);
    out->insert(out->end(), data, data + length);
    return length;
}

// Closes the file on every path; giflib frees the handle in EGifCloseFile.
struct GifWriter {
    GifFileType* gif = nullptr;
    ~GifWriter() {
        if (gif) EGifCloseFile(gif, nullptr);
    }
    void check(int status, const char* what) const {
        if (status != GIF_OK) fail(std::string(what) + ": " + GifErrorString(gif->Error));
    }
};

// The rows of an interlaced GIF frame in the order they are stored: every 8th from 0, every 8th
// from 4, every 4th from 2, every 2nd from 1.
std::vector<std::uint32_t> gif_row_order(std::uint32_t height, bool interlaced) {
    std::vector<std::uint32_t> order;
    if (!interlaced) {
        for (std::uint32_t y = 0; y < height; ++y) order.push_back(y);
        return order;
    }
    const std::uint32_t starts[] = {0, 4, 2, 1}, steps[] = {8, 8, 4, 2};
    for (int pass = 0; pass < 4; ++pass)
        for (std::uint32_t y = starts[pass]; y < height; y += steps[pass]) order.push_back(y);
    return order;
}

}  // namespace

Bytes encode_gif(const std::vector<GifFrame>& frames, const GifOptions& options) {
    const ColourMapPtr global = colour_map(options.palette);
    Bytes out;
    GifWriter w;
    int error = 0;
    w.gif = EGifOpen(&out, gif_append, &error);
    if (!w.gif) fail(std::string("EGifOpen: ") + GifErrorString(error));
    EGifSetGifVersion(w.gif, options.gif89a);
    const std::uint32_t screen_w = options.screen_width.value_or(frames.empty() ? 0 : frames[0].indices.width);
    const std::uint32_t screen_h = options.screen_height.value_or(frames.empty() ? 0 : frames[0].indices.height);
    w.check(EGifPutScreenDesc(w.gif, static_cast<int>(screen_w), static_cast<int>(screen_h), 8, options.background,
                              global.get()),
            "EGifPutScreenDesc");
    for (const GifFrame& frame : frames) {
        const Raster& indices = frame.indices;
        if (indices.channels != 1 || indices.bits != 8 || indices.samples.size() != std::size_t{indices.width} * indices.height)
            fail("GIF frames are 8-bit indices");
        const ColourMapPtr local = colour_map(frame.local_palette);
        if (!local && !global) fail("a GIF frame needs a colour table");
        if (options.gif89a && (frame.transparent >= 0 || frames.size() > 1)) {
            GraphicsControlBlock gcb{};
            gcb.DisposalMode = DISPOSAL_UNSPECIFIED;
            gcb.DelayTime = 10;
            gcb.TransparentColor = frame.transparent >= 0 ? frame.transparent : NO_TRANSPARENT_COLOR;
            GifByteType extension[4];
            const std::size_t length = EGifGCBToExtension(&gcb, extension);
            w.check(EGifPutExtension(w.gif, GRAPHICS_EXT_FUNC_CODE, static_cast<int>(length), extension),
                    "EGifPutExtension");
        } else if (frame.transparent >= 0) {
            fail("a transparent index needs GIF89a");
        }
        for (const GifExtension& extension : frame.extensions) {
            w.check(EGifPutExtensionLeader(w.gif, extension.code), "EGifPutExtensionLeader");
            for (const Bytes& block : extension.blocks)
                w.check(EGifPutExtensionBlock(w.gif, static_cast<int>(block.size()), block.data()), "EGifPutExtensionBlock");
            w.check(EGifPutExtensionTrailer(w.gif), "EGifPutExtensionTrailer");
        }
        w.check(EGifPutImageDesc(w.gif, static_cast<int>(frame.left), static_cast<int>(frame.top),
                                 static_cast<int>(indices.width), static_cast<int>(indices.height),
                                 frame.interlaced, local.get()),
                "EGifPutImageDesc");
        std::vector<GifPixelType> line(indices.width);
        for (const std::uint32_t y : gif_row_order(indices.height, frame.interlaced)) {
            for (std::uint32_t x = 0; x < indices.width; ++x)
                line[x] = static_cast<GifPixelType>(indices.at(x, y, 0));
            w.check(EGifPutLine(w.gif, line.data(), static_cast<int>(line.size())), "EGifPutLine");
        }
    }
    GifFileType* gif = w.gif;
    w.gif = nullptr;
    if (EGifCloseFile(gif, &error) != GIF_OK) fail(std::string("EGifCloseFile: ") + GifErrorString(error));
    return out;
}

Bytes gif_claiming(std::uint32_t screen_w, std::uint32_t screen_h, std::uint32_t frame_w, std::uint32_t frame_h) {
    Bytes out{'G', 'I', 'F', '8', '9', 'a'};
    put_le16(out, screen_w);
    put_le16(out, screen_h);
    out.insert(out.end(), {0x80, 0, 0});                 // a global table of 2 colours
    out.insert(out.end(), {0xFF, 0, 0, 0, 0xFF, 0});     // red, green
    out.push_back(',');
    put_le16(out, 0);
    put_le16(out, 0);
    put_le16(out, frame_w);
    put_le16(out, frame_h);
    out.push_back(0);
    out.insert(out.end(), {2, 2, 0x44, 0x01, 0});        // LZW: clear, index 0, end
    out.push_back(';');
    return out;
}

// --- WebP ------------------------------------------------------------------------------------

namespace {

struct WebpPicture {
    WebPPicture picture;
    WebpPicture() {
        if (!WebPPictureInit(&picture)) fail("WebPPictureInit");
    }
    ~WebpPicture() { WebPPictureFree(&picture); }
};

WebPConfig webp_config(const WebpOptions& options) {
    WebPConfig config;
    if (!WebPConfigInit(&config)) fail("WebPConfigInit");
    config.lossless = options.lossless ? 1 : 0;
    config.quality = static_cast<float>(options.quality);
    config.method = options.method;
    config.exact = 1;
    if (options.filter_type) config.filter_type = *options.filter_type;
    if (options.alpha_compression) config.alpha_compression = *options.alpha_compression;
    if (options.alpha_filtering) config.alpha_filtering = *options.alpha_filtering;
    if (!WebPValidateConfig(&config)) fail("WebPValidateConfig");
    return config;
}

void import_picture(WebpPicture& p, const Raster& raster, bool argb) {
    check_raster(raster);
    if (raster.bits != 8 || (raster.channels != 3 && raster.channels != 4)) fail("WebP takes 8-bit RGB or RGBA");
    p.picture.use_argb = argb ? 1 : 0;
    p.picture.width = static_cast<int>(raster.width);
    p.picture.height = static_cast<int>(raster.height);
    std::vector<std::uint8_t> bytes(raster.samples.begin(), raster.samples.end());
    const int stride = static_cast<int>(raster.width * raster.channels);
    const int ok = raster.channels == 4 ? WebPPictureImportRGBA(&p.picture, bytes.data(), stride)
                                        : WebPPictureImportRGB(&p.picture, bytes.data(), stride);
    if (!ok) fail("WebPPictureImport");
}

// The picture through the encoder into memory.
Bytes encode_picture(const WebPConfig& config, WebpPicture& p) {
    WebPMemoryWriter writer;
    WebPMemoryWriterInit(&writer);
    p.picture.writer = WebPMemoryWrite;
    p.picture.custom_ptr = &writer;
    const int ok = WebPEncode(&config, &p.picture);
    Bytes out(writer.mem, writer.mem + writer.size);
    WebPMemoryWriterClear(&writer);
    if (!ok) fail("WebPEncode: error " + std::to_string(p.picture.error_code));
    return out;
}

}  // namespace

Bytes encode_webp(const Raster& raster, const WebpOptions& options) {
    const WebPConfig config = webp_config(options);
    WebpPicture p;
    import_picture(p, raster, options.lossless);
    return encode_picture(config, p);
}

Bytes encode_webp_rows(const RowImage& image, const WebpOptions& options) {
    check_rows(image);
    if (image.bits != 8 || (image.channels != 3 && image.channels != 4)) fail("WebP takes 8-bit RGB or RGBA");
    const WebPConfig config = webp_config(options);
    WebpPicture p;
    p.picture.use_argb = 1;
    p.picture.width = static_cast<int>(image.width);
    p.picture.height = static_cast<int>(image.height);
    if (!WebPPictureAlloc(&p.picture)) fail("WebPPictureAlloc");
    std::vector<std::uint16_t> samples(std::size_t{image.width} * image.channels);
    for (std::uint32_t y = 0; y < image.height; ++y) {
        image.row(y, samples.data());
        std::uint32_t* out = p.picture.argb + std::size_t{y} * static_cast<std::size_t>(p.picture.argb_stride);
        for (std::uint32_t x = 0; x < image.width; ++x) {
            const std::uint16_t* s = &samples[std::size_t{x} * image.channels];
            const std::uint32_t alpha = image.channels == 4 ? s[3] & 0xFFu : 0xFFu;
            out[x] = alpha << 24 | std::uint32_t{s[0] & 0xFFu} << 16 | std::uint32_t{s[1] & 0xFFu} << 8 | (s[2] & 0xFFu);
        }
    }
    return encode_picture(config, p);
}

namespace {

// Bits packed from the lowest bit of each byte up, as VP8L reads them.
struct LsbBits {
    Bytes bytes;
    std::size_t used = 0;
    void put(std::uint32_t value, int count) {
        for (int i = 0; i < count; ++i, ++used) {
            if (used % 8 == 0) bytes.push_back(0);
            bytes.back() = static_cast<unsigned char>(bytes.back() | ((value >> i) & 1u) << (used % 8));
        }
    }
};

}  // namespace

Bytes webp_lossless_claiming(std::uint32_t width, std::uint32_t height, std::uint32_t argb, bool alpha_used) {
    if (width == 0 || height == 0 || width > 16384 || height > 16384) fail("VP8L sides are 1 to 16384");
    LsbBits bits;
    bits.put(0x2F, 8);  // the VP8L signature
    bits.put(width - 1, 14);
    bits.put(height - 1, 14);
    bits.put(alpha_used ? 1 : 0, 1);
    bits.put(0, 3);  // version
    bits.put(0, 1);  // no transform
    bits.put(0, 1);  // no colour cache
    bits.put(0, 1);  // one group of prefix codes for the whole image
    // Green (with the lengths of copies), red, blue, alpha, distance: each a "simple" code of one
    // symbol, whose symbol takes 0 bits to read.
    const std::uint32_t symbols[] = {(argb >> 8) & 0xFF, (argb >> 16) & 0xFF, argb & 0xFF, argb >> 24, 0};
    for (const std::uint32_t symbol : symbols) {
        bits.put(1, 1);  // simple code
        bits.put(0, 1);  // of one symbol
        if (symbol < 2) {
            bits.put(0, 1);
            bits.put(symbol, 1);
        } else {
            bits.put(1, 1);
            bits.put(symbol, 8);
        }
    }
    Bytes chunk = std::move(bits.bytes);
    const auto chunk_size = static_cast<std::uint32_t>(chunk.size());
    if (chunk.size() % 2) chunk.push_back(0);
    Bytes out{'R', 'I', 'F', 'F'};
    put_le32(out, static_cast<std::uint32_t>(4 + 8 + chunk.size()));
    out.insert(out.end(), {'W', 'E', 'B', 'P', 'V', 'P', '8', 'L'});
    put_le32(out, chunk_size);
    out.insert(out.end(), chunk.begin(), chunk.end());
    return out;
}

Bytes encode_webp_animation(const std::vector<Raster>& frames, const WebpOptions& options) {
    if (frames.empty()) fail("an animation needs a frame");
    const WebPConfig config = webp_config(options);
    WebPAnimEncoderOptions anim_options;
    if (!WebPAnimEncoderOptionsInit(&anim_options)) fail("WebPAnimEncoderOptionsInit");
    struct EncoderDeleter {
        void operator()(WebPAnimEncoder* e) const noexcept { WebPAnimEncoderDelete(e); }
    };
    std::unique_ptr<WebPAnimEncoder, EncoderDeleter> encoder(
        WebPAnimEncoderNew(static_cast<int>(frames[0].width), static_cast<int>(frames[0].height), &anim_options));
    if (!encoder) fail("WebPAnimEncoderNew");
    int timestamp = 0;
    for (const Raster& frame : frames) {
        WebpPicture p;
        import_picture(p, frame, true);
        if (!WebPAnimEncoderAdd(encoder.get(), &p.picture, timestamp, &config))
            fail(std::string("WebPAnimEncoderAdd: ") + WebPAnimEncoderGetError(encoder.get()));
        timestamp += 100;
    }
    if (!WebPAnimEncoderAdd(encoder.get(), nullptr, timestamp, nullptr)) fail("WebPAnimEncoderAdd (end)");
    WebPData data;
    WebPDataInit(&data);
    if (!WebPAnimEncoderAssemble(encoder.get(), &data)) fail("WebPAnimEncoderAssemble");
    Bytes out(data.bytes, data.bytes + data.size);
    WebPDataClear(&data);
    return out;
}

namespace {

void put_le24(Bytes& out, std::uint32_t v) {
    put_le16(out, v & 0xFFFF);
    out.push_back(static_cast<unsigned char>(v >> 16));
}

}  // namespace

Bytes webp_chunk(const char* tag, const Bytes& payload) {
    Bytes out(tag, tag + 4);
    put_le32(out, static_cast<std::uint32_t>(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
    if (payload.size() % 2) out.push_back(0);
    return out;
}

Bytes webp_file(const Bytes& chunks) {
    Bytes out{'R', 'I', 'F', 'F'};
    put_le32(out, static_cast<std::uint32_t>(4 + chunks.size()));
    out.insert(out.end(), {'W', 'E', 'B', 'P'});
    out.insert(out.end(), chunks.begin(), chunks.end());
    return out;
}

Bytes webp_vp8x(std::uint32_t flags, std::uint32_t width, std::uint32_t height) {
    Bytes payload;
    put_le32(payload, flags);
    put_le24(payload, width - 1);
    put_le24(payload, height - 1);
    return webp_chunk("VP8X", payload);
}

Bytes webp_find_chunk(const Bytes& file, const char* tag) {
    for (std::size_t at = 12; at + 8 <= file.size();) {
        const std::size_t size = file[at + 4] | file[at + 5] << 8 | file[at + 6] << 16 | std::size_t{file[at + 7]} << 24;
        const std::size_t on_disk = std::min(8 + size + (size & 1), file.size() - at);
        if (std::memcmp(&file[at], tag, 4) == 0) return Bytes(file.begin() + at, file.begin() + at + on_disk);
        at += on_disk;
    }
    return {};
}

Bytes webp_image_chunks(const Bytes& still) {
    Bytes frame = webp_find_chunk(still, "ALPH");
    for (const char* tag : {"VP8 ", "VP8L"}) {
        const Bytes image = webp_find_chunk(still, tag);
        frame.insert(frame.end(), image.begin(), image.end());
    }
    return frame;
}

Bytes webp_raw_alpha(const Bytes& alpha, std::uint32_t width, std::uint32_t height, int filter) {
    if (alpha.size() != std::size_t{width} * height || filter < 0 || filter > 3) fail("an alpha plane and a filter");
    Bytes payload{static_cast<unsigned char>(filter << 2)};
    auto at = [&](std::uint32_t x, std::uint32_t y) { return int{alpha[std::size_t{y} * width + x]}; };
    for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width; ++x) {
            int predicted = 0;
            if (filter == 0 || (x == 0 && y == 0)) {
                predicted = 0;
            } else if (y == 0) {
                predicted = at(x - 1, 0);
            } else if (x == 0) {
                predicted = at(0, y - 1);
            } else if (filter == 1) {
                predicted = at(x - 1, y);
            } else if (filter == 2) {
                predicted = at(x, y - 1);
            } else {
                predicted = std::clamp(at(x - 1, y) + at(x, y - 1) - at(x - 1, y - 1), 0, 255);
            }
            payload.push_back(static_cast<unsigned char>(at(x, y) - predicted));
        }
    }
    return webp_chunk("ALPH", payload);
}

Bytes webp_animation_file(std::uint32_t canvas_width, std::uint32_t canvas_height, std::uint32_t x, std::uint32_t y,
                          std::uint32_t width, std::uint32_t height, const Bytes& frame) {
    Bytes chunks = webp_vp8x(webp_animation_flag | webp_alpha_flag, canvas_width, canvas_height);
    const Bytes anim = webp_chunk("ANIM", {0xFF, 0xFF, 0xFF, 0xFF, 0, 0});  // white, no loop count
    chunks.insert(chunks.end(), anim.begin(), anim.end());
    Bytes anmf;
    put_le24(anmf, x / 2);
    put_le24(anmf, y / 2);
    put_le24(anmf, width - 1);
    put_le24(anmf, height - 1);
    put_le24(anmf, 100);  // duration, in milliseconds
    anmf.push_back(0);
    anmf.insert(anmf.end(), frame.begin(), frame.end());
    const Bytes frame_chunk = webp_chunk("ANMF", anmf);
    chunks.insert(chunks.end(), frame_chunk.begin(), frame_chunk.end());
    return webp_file(chunks);
}

// --- TIFF ------------------------------------------------------------------------------------

namespace {

// The file libtiff writes through its client procedures: it seeks, writes past the end and reads
// back what it wrote (to link a new directory to the one before).
struct MemoryFile {
    Bytes data;
    std::uint64_t position = 0;
};

tmsize_t tiff_read(thandle_t handle, void* buffer, tmsize_t size) {
    auto* f = static_cast<MemoryFile*>(handle);
    if (f->position >= f->data.size()) return 0;
    const auto n = std::min<std::uint64_t>(static_cast<std::uint64_t>(size), f->data.size() - f->position);
    std::memcpy(buffer, f->data.data() + f->position, n);
    f->position += n;
    return static_cast<tmsize_t>(n);
}

tmsize_t tiff_write(thandle_t handle, void* buffer, tmsize_t size) {
    auto* f = static_cast<MemoryFile*>(handle);
    const auto end = f->position + static_cast<std::uint64_t>(size);
    if (end > f->data.size()) f->data.resize(end);
    std::memcpy(f->data.data() + f->position, buffer, static_cast<std::size_t>(size));
    f->position = end;
    return size;
}

toff_t tiff_seek(thandle_t handle, toff_t offset, int whence) {
    auto* f = static_cast<MemoryFile*>(handle);
    switch (whence) {
        case SEEK_SET: f->position = offset; break;
        case SEEK_CUR: f->position += offset; break;
        case SEEK_END: f->position = f->data.size() + offset; break;
        default: return static_cast<toff_t>(-1);
    }
    return f->position;
}

int tiff_close(thandle_t) { return 0; }
toff_t tiff_size(thandle_t handle) { return static_cast<MemoryFile*>(handle)->data.size(); }
int tiff_map(thandle_t, void**, toff_t*) { return 0; }
void tiff_unmap(thandle_t, void*, toff_t) {}

struct TiffCloser {
    void operator()(TIFF* tif) const noexcept { TIFFClose(tif); }
};
using TiffPtr = std::unique_ptr<TIFF, TiffCloser>;

void require(bool ok, const char* what) {
    if (!ok) fail(std::string("libtiff: ") + what);
}

// The shape of a page's samples, from its raster or its row image.
struct TiffShape {
    std::uint32_t width, height, channels, bits;  // bits 32: floats
};

// Fills row y of one plane (of every channel when the page is not in planes) as TIFF stores it,
// in the host's byte order (libtiff swaps for the file).
using TiffRowFn = std::function<void(std::uint32_t y, std::uint32_t plane, unsigned char* out)>;

std::uint16_t float_to_half(float f) {
    if (std::isnan(f)) return 0x7E00;
    std::uint32_t bits = 0;
    std::memcpy(&bits, &f, 4);
    const auto sign = static_cast<std::uint16_t>(bits >> 16 & 0x8000);
    if (f == 0) return sign;
    const int exponent = static_cast<int>(bits >> 23 & 0xFF) - 127 + 15;  // normal halves only
    if (exponent <= 0 || exponent >= 31) fail("a float that no normal half holds");
    return static_cast<std::uint16_t>(sign | exponent << 10 | (bits >> 13 & 0x3FF));
}

constexpr std::uint32_t all_planes = ~0u;

// One row of `pixels` pixels of `channels` samples each, packed for one plane (every channel with
// all_planes): integers (`ints`) of `bits`, or floats (`reals`) stored as `bits`-bit floats.
void pack_tiff_row(const std::uint16_t* ints, const float* reals, std::uint32_t pixels, std::uint32_t channels,
                   std::uint32_t plane, std::uint32_t bits, unsigned char* out) {
    const std::uint32_t first = plane == all_planes ? 0 : plane;
    const std::uint32_t count = plane == all_planes ? channels : 1;
    if (ints) {
        std::vector<std::uint16_t> picked;
        picked.reserve(std::size_t{pixels} * count);
        for (std::uint32_t x = 0; x < pixels; ++x)
            for (std::uint32_t c = first; c < first + count; ++c) picked.push_back(ints[std::size_t{x} * channels + c]);
        pack_samples(picked.data(), picked.size(), bits, out, false);
        return;
    }
    for (std::uint32_t x = 0, i = 0; x < pixels; ++x) {
        for (std::uint32_t c = first; c < first + count; ++c, ++i) {
            const float v = reals[std::size_t{x} * channels + c];
            if (bits == 16) {
                const std::uint16_t half = float_to_half(v);
                std::memcpy(out + std::size_t{i} * 2, &half, 2);
            } else if (bits == 64) {
                const double wide = v;
                std::memcpy(out + std::size_t{i} * 8, &wide, 8);
            } else {
                std::memcpy(out + std::size_t{i} * 4, &v, 4);
            }
        }
    }
}

std::uint16_t photometric_of(const TiffPage& page, std::uint32_t channels) {
    if (page.photometric) return *page.photometric;
    if (!page.palette.empty() || !page.colour_map.empty()) return PHOTOMETRIC_PALETTE;
    if (page.cmyk) return PHOTOMETRIC_SEPARATED;
    return channels <= 2 ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB;
}

std::uint32_t colour_channels(std::uint16_t photometric) {
    switch (photometric) {
        case PHOTOMETRIC_MINISWHITE:
        case PHOTOMETRIC_MINISBLACK:
        case PHOTOMETRIC_PALETTE: return 1;
        case PHOTOMETRIC_SEPARATED: return 4;
        default: return 3;
    }
}

std::uint16_t compression_of(TiffCompression compression) {
    switch (compression) {
        case TiffCompression::lzw: return COMPRESSION_LZW;
        case TiffCompression::deflate: return COMPRESSION_ADOBE_DEFLATE;
        case TiffCompression::packbits: return COMPRESSION_PACKBITS;
        case TiffCompression::ccitt_rle: return COMPRESSION_CCITTRLE;
        case TiffCompression::ccitt_fax3: return COMPRESSION_CCITTFAX3;
        case TiffCompression::ccitt_fax4: return COMPRESSION_CCITTFAX4;
        case TiffCompression::jpeg: return COMPRESSION_JPEG;
        default: return COMPRESSION_NONE;
    }
}

// The page's tags, then its strips or tiles, then its directory. Strips are written row by row,
// so that a huge page never sits whole in memory; tiles a row of tiles at a time.
void write_page(TIFF* tif, const TiffPage& page, const TiffShape& r, const TiffRowFn& row_of, std::uint16_t number,
                std::uint16_t pages) {
    const std::uint16_t photometric = photometric_of(page, r.channels);
    const bool floats = r.bits == 32;
    const std::uint32_t bits = floats ? page.float_bits : r.bits;
    if (!page.palette.empty() && (r.channels != 1 || r.bits > 8 || page.palette.size() > (1u << r.bits)))
        fail("a palette page has one channel of indices of up to 8 bits");
    if (!page.colour_map.empty() && (r.channels != 1 || r.bits > 16 || page.colour_map.size() != std::size_t{3} << r.bits))
        fail("a colour map has 3 x 2^bits entries");
    if (page.cmyk && (r.channels != 4 || r.bits != 8)) fail("a CMYK page has 4 channels of 8 bits");
    if (floats && bits != 16 && bits != 32 && bits != 64) fail("floats of 16, 32 or 64 bits");
    require(TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, r.width), "width");
    require(TIFFSetField(tif, TIFFTAG_IMAGELENGTH, r.height), "height");
    require(TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, static_cast<std::uint16_t>(bits)), "bits");
    require(TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, static_cast<std::uint16_t>(r.channels)), "samples");
    require(TIFFSetField(tif, TIFFTAG_PLANARCONFIG, page.separate_planes ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG),
            "planar");
    require(TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, photometric), "photometric");
    require(TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT,
                         page.sample_format.value_or(floats ? SAMPLEFORMAT_IEEEFP : SAMPLEFORMAT_UINT)),
            "sample format");
    require(TIFFSetField(tif, TIFFTAG_FILLORDER, page.reversed_bits ? FILLORDER_LSB2MSB : FILLORDER_MSB2LSB),
            "fill order");
    // The channels past the colour ones: the first is the alpha, any more say nothing.
    std::vector<std::uint16_t> extra = page.extra_samples;
    const std::uint32_t colours = colour_channels(photometric);
    if (extra.empty() && r.channels > colours) {
        extra.assign(r.channels - colours, EXTRASAMPLE_UNSPECIFIED);
        extra[0] = page.associated_alpha ? EXTRASAMPLE_ASSOCALPHA : EXTRASAMPLE_UNASSALPHA;
    }
    if (!extra.empty())
        require(TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, static_cast<std::uint16_t>(extra.size()), extra.data()),
                "extra samples");
    require(TIFFSetField(tif, TIFFTAG_COMPRESSION, compression_of(page.compression)), "compression");
    if (page.predictor != 1)
        require(TIFFSetField(tif, TIFFTAG_PREDICTOR, static_cast<std::uint16_t>(page.predictor)), "predictor");
    std::vector<std::uint16_t> map = page.colour_map;
    if (!page.palette.empty()) {
        const std::size_t entries = std::size_t{1} << r.bits;
        map.assign(3 * entries, 0);
        for (std::size_t i = 0; i < page.palette.size(); ++i) {
            map[i] = static_cast<std::uint16_t>(page.palette[i].r * 257);
            map[entries + i] = static_cast<std::uint16_t>(page.palette[i].g * 257);
            map[2 * entries + i] = static_cast<std::uint16_t>(page.palette[i].b * 257);
        }
    }
    if (!map.empty()) {
        const std::size_t entries = map.size() / 3;
        require(TIFFSetField(tif, TIFFTAG_COLORMAP, map.data(), map.data() + entries, map.data() + 2 * entries),
                "colour map");
    }
    if (page.ycbcr_subsampling[0])
        require(TIFFSetField(tif, TIFFTAG_YCBCRSUBSAMPLING, page.ycbcr_subsampling[0], page.ycbcr_subsampling[1]),
                "YCbCr subsampling");
    if (photometric == PHOTOMETRIC_SEPARATED) require(TIFFSetField(tif, TIFFTAG_INKSET, INKSET_CMYK), "ink set");
    if (page.compression == TiffCompression::jpeg) {
        require(TIFFSetField(tif, TIFFTAG_JPEGQUALITY, 90), "JPEG quality");
        if (photometric == PHOTOMETRIC_YCBCR)
            require(TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB), "JPEG colour mode");
    }
    if (pages > 1) {
        require(TIFFSetField(tif, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE), "subfile type");
        require(TIFFSetField(tif, TIFFTAG_PAGENUMBER, number, pages), "page number");
    }
    const std::uint32_t tile_width = page.tile_size;
    const std::uint32_t tile_height = page.tile_height ? page.tile_height : page.tile_size;
    if (tile_width) {
        require(TIFFSetField(tif, TIFFTAG_TILEWIDTH, tile_width), "tile width");
        require(TIFFSetField(tif, TIFFTAG_TILELENGTH, tile_height), "tile length");
    } else {
        require(TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, page.rows_per_strip ? page.rows_per_strip : r.height),
                "rows per strip");
    }

    if (!page.raw_strips.empty()) {
        for (std::size_t i = 0; i < page.raw_strips.size(); ++i) {
            Bytes strip = page.raw_strips[i];  // libtiff takes it as writable
            require(TIFFWriteRawStrip(tif, static_cast<std::uint32_t>(i), strip.data(),
                                      static_cast<tmsize_t>(strip.size())) >= 0,
                    "TIFFWriteRawStrip");
        }
    } else {
        const std::uint32_t planes = page.separate_planes ? r.channels : 1;
        const std::uint32_t plane_channels = page.separate_planes ? 1 : r.channels;
        // A row as packed here; libtiff's scanline is shorter for subsampled YCbCr.
        const std::size_t row_bytes = (std::size_t{r.width} * plane_channels * bits + 7) / 8;
        const std::size_t line = std::max(row_bytes, static_cast<std::size_t>(TIFFScanlineSize64(tif)));
        const auto plane_of = [&](std::uint32_t p) { return page.separate_planes ? p : all_planes; };
        if (!tile_width) {
            Bytes row(line);
            for (std::uint32_t p = 0; p < planes; ++p)
                for (std::uint32_t y = 0; y < r.height; ++y) {
                    row_of(y, plane_of(p), row.data());
                    require(TIFFWriteScanline(tif, row.data(), y, static_cast<std::uint16_t>(p)) == 1,
                            "TIFFWriteScanline");
                }
        } else {
            const auto tile_row = static_cast<std::size_t>(TIFFTileRowSize64(tif));
            const auto tile_bytes = static_cast<std::size_t>(TIFFTileSize64(tif));
            Bytes band(line * tile_height), tile(tile_bytes);
            for (std::uint32_t p = 0; p < planes; ++p)
                for (std::uint32_t y0 = 0; y0 < r.height; y0 += tile_height) {
                    std::fill(band.begin(), band.end(), 0);
                    for (std::uint32_t y = 0; y < tile_height && y0 + y < r.height; ++y)
                        row_of(y0 + y, plane_of(p), &band[y * line]);
                    for (std::uint32_t x0 = 0; x0 < r.width; x0 += tile_width) {
                        std::fill(tile.begin(), tile.end(), 0);
                        const std::size_t at = x0 / tile_width * tile_row;
                        // Subsampled YCbCr tiles are smaller than their rows: those are left blank.
                        for (std::uint32_t y = 0; y < tile_height && (y + 1) * tile_row <= tile_bytes && at < row_bytes; ++y)
                            std::memcpy(&tile[y * tile_row], &band[y * line + at], std::min(tile_row, row_bytes - at));
                        require(TIFFWriteEncodedTile(tif, TIFFComputeTile(tif, x0, y0, 0, static_cast<std::uint16_t>(p)),
                                                     tile.data(), static_cast<tmsize_t>(tile_bytes)) >= 0,
                                "TIFFWriteEncodedTile");
                    }
                }
        }
    }
    require(TIFFWriteDirectory(tif) == 1, "TIFFWriteDirectory");
}

TiffPtr open_tiff(MemoryFile& file, const TiffFile& options) {
    std::string mode = options.big_endian ? "wb" : "wl";
    if (options.bigtiff) mode += '8';
    TiffPtr tif(TIFFClientOpen("fixture.tif", mode.c_str(), &file, tiff_read, tiff_write, tiff_seek, tiff_close,
                               tiff_size, tiff_map, tiff_unmap));
    if (!tif) fail("TIFFClientOpen");
    return tif;
}

std::uint32_t read_u32(const Bytes& b, std::size_t at, bool big) {
    return big ? std::uint32_t{b[at]} << 24 | std::uint32_t{b[at + 1]} << 16 | std::uint32_t{b[at + 2]} << 8 | b[at + 3]
               : std::uint32_t{b[at + 3]} << 24 | std::uint32_t{b[at + 2]} << 16 | std::uint32_t{b[at + 1]} << 8 | b[at];
}
std::uint32_t read_u16(const Bytes& b, std::size_t at, bool big) {
    return big ? std::uint32_t{b[at]} << 8 | b[at + 1] : std::uint32_t{b[at + 1]} << 8 | b[at];
}

}  // namespace

Bytes encode_tiff(const std::vector<TiffPage>& pages, const TiffFile& options) {
    if (pages.empty()) fail("a TIFF needs a page");
    MemoryFile file;
    {
        const TiffPtr tif = open_tiff(file, options);
        for (std::size_t i = 0; i < pages.size(); ++i) {
            const Raster& r = pages[i].raster;
            if (pages[i].raw_strips.empty()) check_raster(r, 8);
            const std::size_t count = std::size_t{r.width} * r.channels;
            const std::uint32_t float_bits = pages[i].float_bits;
            const TiffRowFn row = [&r, count, float_bits](std::uint32_t y, std::uint32_t plane, unsigned char* out) {
                if (r.is_float()) {
                    pack_tiff_row(nullptr, &r.reals[y * count], r.width, r.channels, plane, float_bits, out);
                } else {
                    pack_tiff_row(&r.samples[y * count], nullptr, r.width, r.channels, plane, r.bits, out);
                }
            };
            write_page(tif.get(), pages[i], {r.width, r.height, r.channels, r.bits}, row, static_cast<std::uint16_t>(i),
                       static_cast<std::uint16_t>(pages.size()));
        }
    }
    return std::move(file.data);
}

Bytes encode_tiff_rows(const RowImage& image, const TiffPage& format, const TiffFile& options) {
    check_rows(image);
    MemoryFile file;
    {
        const TiffPtr tif = open_tiff(file, options);
        std::vector<std::uint16_t> samples(std::size_t{image.width} * image.channels);
        const TiffRowFn row = [&](std::uint32_t y, std::uint32_t plane, unsigned char* out) {
            image.row(y, samples.data());
            pack_tiff_row(samples.data(), nullptr, image.width, image.channels, plane, image.bits, out);
        };
        write_page(tif.get(), format, {image.width, image.height, image.channels, image.bits}, row, 0, 1);
    }
    return std::move(file.data);
}

Bytes encode_tiff_float_rows(std::uint32_t width, std::uint32_t height, std::uint32_t channels, const RealRowFn& row,
                             const TiffPage& format, const TiffFile& options) {
    if (width == 0 || height == 0 || (channels != 3 && channels != 4) || !row)
        fail("a float page needs a size, 3 or 4 channels and its rows");
    if (format.separate_planes) fail("float rows are written as one plane");
    MemoryFile file;
    {
        const TiffPtr tif = open_tiff(file, options);
        const std::size_t count = std::size_t{width} * channels;
        std::vector<float> samples(count);
        const TiffRowFn row_bytes = [&](std::uint32_t y, std::uint32_t, unsigned char* out) {
            row(y, samples.data());
            std::memcpy(out, samples.data(), count * sizeof(float));
        };
        write_page(tif.get(), format, {width, height, channels, 32}, row_bytes, 0, 1);
    }
    return std::move(file.data);
}

TiffEntry find_tiff_entry(const Bytes& tiff, std::uint16_t tag) {
    if (tiff.size() < 8) fail("not a TIFF");
    const bool big = tiff[0] == 'M';
    const std::uint32_t ifd = read_u32(tiff, 4, big);
    const std::uint32_t entries = read_u16(tiff, ifd, big);
    for (std::uint32_t i = 0; i < entries; ++i) {
        const std::size_t at = ifd + 2 + std::size_t{i} * 12;
        if (read_u16(tiff, at, big) == tag) return {at, read_u32(tiff, at + 4, big), read_u32(tiff, at + 8, big)};
    }
    fail("the TIFF has no tag " + std::to_string(tag));
}

Bytes cut_colour_map(Bytes tiff) {
    const TiffEntry map = find_tiff_entry(tiff, TIFFTAG_COLORMAP);
    const bool big = tiff[0] == 'M';
    // count shorts = 2 * count bytes; only the first count bytes are left in the file.
    const auto offset = static_cast<std::uint32_t>(tiff.size() - map.count);
    for (int k = 0; k < 4; ++k) tiff[map.at + 8 + k] = static_cast<unsigned char>(offset >> (big ? 24 - 8 * k : 8 * k));
    return tiff;
}

Bytes libtiff_rgb(const Bytes& tiff) {
    MemoryFile file{tiff, 0};
    // Its warnings (a progressive JPEG strip) are not the decoder's output.
    std::unique_ptr<TIFFOpenOptions, void (*)(TIFFOpenOptions*)> options(TIFFOpenOptionsAlloc(), TIFFOpenOptionsFree);
    TIFFOpenOptionsSetWarningHandlerExtR(
        options.get(), [](TIFF*, void*, const char*, const char*, va_list) { return 1; }, nullptr);
    const TiffPtr tif(TIFFClientOpenExt("fixture.tif", "r", &file, tiff_read, tiff_write, tiff_seek, tiff_close,
                                        tiff_size, tiff_map, tiff_unmap, options.get()));
    if (!tif) return {};
    std::uint32_t width = 0, height = 0;
    TIFFGetField(tif.get(), TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif.get(), TIFFTAG_IMAGELENGTH, &height);
    std::vector<std::uint32_t> raster(std::size_t{width} * height);
    if (!TIFFReadRGBAImageOriented(tif.get(), width, height, raster.data(), ORIENTATION_TOPLEFT, 0)) return {};
    Bytes rgb;
    rgb.reserve(raster.size() * 3);
    for (std::uint32_t p : raster)
        rgb.insert(rgb.end(), {static_cast<unsigned char>(TIFFGetR(p)), static_cast<unsigned char>(TIFFGetG(p)),
                               static_cast<unsigned char>(TIFFGetB(p))});
    return rgb;
}

// --- BMP -------------------------------------------------------------------------------------

namespace {

std::uint32_t shift_of(std::uint32_t mask) {
    std::uint32_t shift = 0;
    while (mask && !(mask & 1)) {
        mask >>= 1;
        ++shift;
    }
    return shift;
}

// One row of indices in RLE8 or RLE4: runs of one index as (count, index), stretches of three
// or more differing indices in absolute mode (0, count, indices..., padded to 16 bits).
void rle_row(const std::uint16_t* indices, std::uint32_t w, bool four, Bytes& out) {
    auto value = [&](std::uint32_t x) { return static_cast<unsigned char>(indices[x]); };
    std::uint32_t x = 0;
    while (x < w) {
        std::uint32_t run = 1;
        while (x + run < w && run < 255 && value(x + run) == value(x)) ++run;
        if (run >= 2) {
            out.push_back(static_cast<unsigned char>(run));
            out.push_back(four ? static_cast<unsigned char>(value(x) << 4 | value(x)) : value(x));
            x += run;
            continue;
        }
        // A literal stretch ends where a run of two begins.
        std::uint32_t end = x + 1;
        while (end < w && end - x < 255 && !(end + 1 < w && value(end) == value(end + 1))) ++end;
        const std::uint32_t count = end - x;
        if (count < 3) {
            for (; x < end; ++x) {
                out.push_back(1);
                out.push_back(four ? static_cast<unsigned char>(value(x) << 4) : value(x));
            }
            continue;
        }
        out.push_back(0);
        out.push_back(static_cast<unsigned char>(count));
        std::size_t bytes = 0;
        if (four) {
            for (std::uint32_t i = 0; i < count; i += 2, ++bytes)
                out.push_back(static_cast<unsigned char>(value(x + i) << 4 | (i + 1 < count ? value(x + i + 1) : 0)));
        } else {
            for (std::uint32_t i = 0; i < count; ++i, ++bytes) out.push_back(value(x + i));
        }
        if (bytes % 2) out.push_back(0);
        x = end;
    }
}

}  // namespace

Bytes encode_bmp(const Raster& raster, const BmpOptions& options) { return encode_bmp_rows(rows_of(raster), options); }

Bytes encode_bmp_rows(const RowImage& r, const BmpOptions& o) {
    check_rows(r);
    const bool os2 = o.header == BmpHeader::os2;
    const bool indexed = o.bits <= 8;
    const bool rle = o.compression == BmpCompression::rle8 || o.compression == BmpCompression::rle4;
    const bool fields = o.compression == BmpCompression::bitfields;
    if (indexed != !o.palette.empty() || (indexed && (r.channels != 1 || o.palette.size() > (1u << o.bits))))
        fail("1, 4 and 8 bits take a palette and a raster of indices");
    if ((o.compression == BmpCompression::rle8 && o.bits != 8) || (o.compression == BmpCompression::rle4 && o.bits != 4))
        fail("RLE8 is for 8 bits, RLE4 for 4");
    if (fields && o.bits != 16 && o.bits != 32) fail("bit fields are for 16 and 32 bits");
    if (os2 && (o.compression != BmpCompression::rgb || o.top_down || o.bits == 16 || o.bits == 32))
        fail("the OS/2 header takes uncompressed 1, 4, 8 or 24 bits, bottom-up");
    if (o.top_down && rle) fail("RLE images are stored bottom-up");

    // The fields of a 16- or 32-bit pixel; 16 bits without bit fields are 5-5-5.
    std::array<std::uint32_t, 4> masks = o.masks;
    if (o.bits == 16 && !fields) masks = {0x7C00, 0x03E0, 0x001F, 0};

    Bytes pixels;
    const std::size_t stride = (std::size_t{r.width} * o.bits + 31) / 32 * 4;
    std::vector<std::uint16_t> samples(std::size_t{r.width} * r.channels);
    const auto at = [&](std::uint32_t x, std::uint32_t c) { return samples[std::size_t{x} * r.channels + c]; };
    for (std::uint32_t i = 0; i < r.height; ++i) {
        const std::uint32_t y = o.top_down ? i : r.height - 1 - i;
        r.row(y, samples.data());
        if (rle) {
            rle_row(samples.data(), r.width, o.bits == 4, pixels);
            pixels.insert(pixels.end(), {0, static_cast<unsigned char>(i + 1 == r.height ? 1 : 0)});
            continue;
        }
        const std::size_t start = pixels.size();
        pixels.resize(start + stride, 0);
        unsigned char* row = &pixels[start];
        for (std::uint32_t x = 0; x < r.width; ++x) {
            if (indexed) {
                const std::size_t bit = std::size_t{x} * o.bits;
                row[bit / 8] |= static_cast<unsigned char>(at(x, 0) << (8 - o.bits - bit % 8));
            } else if (o.bits == 24 || (o.bits == 32 && !fields)) {
                unsigned char* p = row + std::size_t{x} * (o.bits / 8);
                p[0] = static_cast<unsigned char>(at(x, 2));
                p[1] = static_cast<unsigned char>(at(x, 1));
                p[2] = static_cast<unsigned char>(at(x, 0));
                if (o.bits == 32) p[3] = r.channels == 4 ? static_cast<unsigned char>(at(x, 3)) : 0;
            } else {
                std::uint32_t v = 0;
                for (std::uint32_t c = 0; c < r.channels && c < 4; ++c)
                    if (masks[c]) v |= (at(x, c) << shift_of(masks[c])) & masks[c];
                for (std::uint32_t k = 0; k < o.bits / 8u; ++k)
                    row[std::size_t{x} * (o.bits / 8) + k] = static_cast<unsigned char>(v >> (8 * k));
            }
        }
    }

    if (os2 && (r.width > 0xFFFF || r.height > 0xFFFF)) fail("the OS/2 header holds 16-bit sizes");
    BmpFile file;
    file.header = o.header == BmpHeader::os2 ? 12 : o.header == BmpHeader::info ? 40 : o.header == BmpHeader::v4 ? 108 : 124;
    file.width = static_cast<std::int32_t>(r.width);
    file.height = o.top_down ? -static_cast<std::int32_t>(r.height) : static_cast<std::int32_t>(r.height);
    file.bits = o.bits;
    file.compression = o.compression == BmpCompression::rle8   ? 1
                       : o.compression == BmpCompression::rle4 ? 2
                       : fields                                ? 3
                                                               : 0;
    for (const Colour& c : o.palette) file.palette.push_back(std::uint32_t{c.r} << 16 | std::uint32_t{c.g} << 8 | c.b);
    if (fields) file.masks = masks;
    file.masks_after_header = fields && o.header == BmpHeader::info;
    file.pixels = std::move(pixels);
    return write_bmp(file);
}

Bytes write_bmp(const BmpFile& s) {
    Bytes info;
    put_le32(info, s.header);
    if (s.header == 12) {
        put_le16(info, static_cast<std::uint32_t>(s.width));
        put_le16(info, static_cast<std::uint32_t>(s.height));
        put_le16(info, s.planes);
        put_le16(info, s.bits);
    } else {
        put_le32(info, static_cast<std::uint32_t>(s.width));
        put_le32(info, static_cast<std::uint32_t>(s.height));
        put_le16(info, s.planes);
        put_le16(info, s.bits);
        put_le32(info, s.compression);
        put_le32(info, static_cast<std::uint32_t>(s.pixels.size()));
        put_le32(info, 2835);
        put_le32(info, 2835);
        put_le32(info, s.colours_used.value_or(static_cast<std::uint32_t>(s.palette.size())));
        put_le32(info, 0);
        for (std::uint32_t mask : s.masks) put_le32(info, mask);
        if (s.header >= 108) put_le32(info, 0x73524742);  // 'sRGB': the end points and gamma after it are unused
        if (s.header >= 124) {
            info.resize(108, 0);
            put_le32(info, 4);  // LCS_GM_IMAGES; no profile
        }
        info.resize(s.header, 0);
        if (s.masks_after_header)
            for (std::size_t c = 0; c < 3; ++c) put_le32(info, s.masks[c]);
    }
    const std::uint32_t entry = s.entry_bytes ? s.entry_bytes : s.header == 12 ? 3 : 4;
    for (std::uint32_t c : s.palette) {
        info.insert(info.end(), {static_cast<unsigned char>(c), static_cast<unsigned char>(c >> 8),
                                 static_cast<unsigned char>(c >> 16)});
        if (entry == 4) info.push_back(0);
    }
    const auto offset = static_cast<std::uint32_t>(14 + info.size());
    Bytes out{'B', 'M'};
    put_le32(out, s.size_field.value_or(offset + static_cast<std::uint32_t>(s.pixels.size())));
    put_le32(out, 0);
    put_le32(out, s.data_offset.value_or(offset));
    out.insert(out.end(), info.begin(), info.end());
    out.insert(out.end(), s.pixels.begin(), s.pixels.end());
    return out;
}

Bytes bmp_claiming(std::int32_t width, std::int32_t height, const Bytes& pixel_data) {
    return write_bmp({.width = width, .height = height, .pixels = pixel_data});
}

Bytes bmp_rle_claiming(std::int32_t width, std::int32_t height, std::uint16_t bits, const Bytes& codes) {
    if (bits != 4 && bits != 8) fail("RLE is for 4 or 8 bits");
    const Palette palette = varied_palette(std::size_t{1} << bits);
    const auto offset = static_cast<std::uint32_t>(54 + palette.size() * 4);
    Bytes out{'B', 'M'};
    put_le32(out, static_cast<std::uint32_t>(offset + codes.size()));
    put_le32(out, 0);
    put_le32(out, offset);
    put_le32(out, 40);
    put_le32(out, static_cast<std::uint32_t>(width));
    put_le32(out, static_cast<std::uint32_t>(height));
    put_le16(out, 1);
    put_le16(out, bits);
    put_le32(out, bits == 8 ? 1 : 2);
    put_le32(out, static_cast<std::uint32_t>(codes.size()));
    put_le32(out, 2835);
    put_le32(out, 2835);
    put_le32(out, static_cast<std::uint32_t>(palette.size()));
    put_le32(out, 0);
    for (const Colour& c : palette) out.insert(out.end(), {c.b, c.g, c.r, 0});
    out.insert(out.end(), codes.begin(), codes.end());
    return out;
}

}  // namespace test_support
