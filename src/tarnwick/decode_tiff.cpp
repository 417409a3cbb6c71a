// The first page of a TIFF, read with libtiff from the bytes in memory. The bytes are mapped to
// libtiff, so strips and tiles are decoded in place without a copy of the file. Rows come as they
// are stored: a striped page is read one scanline at a time (libtiff decodes each strip forward as
// far as the row asked for), a tiled page one row of tiles at a time, and subsampled YCbCr, whose
// blocks span rows, one strip at a time; what is held never passes the allowance. The samples are
// taken raw (libtiff's RGBA helper is not used: it premultiplies by alpha and scales everything to
// 8 bits) and turned into the layouts the road knows:
//
//   stored                                      layout
//   grey, 1 to 8 bits                            grey 8-bit (MinIsWhite inverted)
//   grey, 9 to 16 bits                           grey 16-bit
//   RGB, 1 to 8 / 9 to 16 bits                   RGB 8-bit / 16-bit
//   any of these with extra samples              the same with alpha (the first extra sample)
//   palette, 1 to 16 bits                        RGB 8-bit
//   CMYK (InkSet CMYK), 8 / 16 bits              RGB 8-bit / 16-bit, alpha when there is one
//   YCbCr, JPEG-compressed                       RGB 8-bit (libjpeg converts)
//   YCbCr, otherwise, 8 bits, contiguous         RGB 8-bit (libtiff's YCbCr tables; subsampled
//                                                only in strips)
//   float grey or RGB, 16/32/64 bits             RGB float, alpha when there is one
//
// Sample values of other depths are scaled to the layout's as the server's earlier image library
// read them: v x (65535 / max), the quotient taken in integers, then to 8 bits as (q + 128) / 257.
// Signed integer samples are read as unsigned, as that library read them. Anything else (CIELab,
// 24- and 32-bit integers, YCbCr in planes or subsampled in tiles) fails the decoder.
//
// Every error libtiff reports, in a tag of the directory as in a strip or tile, fails the decoder:
// the handlers are this decoder's own, given to each TIFF handle through its open options, so
// decoders on several threads never share them. Warnings are dropped, except those about the
// colour map: libtiff ignores a colour map it cannot read (cut short by the end of the file, a
// wrong count) and then reads an 8-bit palette image as grey.

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>

#include <tiffio.h>

#include "tarnwick/decode.h"
#include "tarnwick/image_probe.h"

namespace tarnwick {
namespace {

// What libtiff's handlers report into: one per decoder, shared by its TIFF handles.
struct Report {
    bool failed = false;
};

int on_error(TIFF*, void* report, const char*, const char*, va_list) {
    static_cast<Report*>(report)->failed = true;
    return 1;  // handled: libtiff's process-wide handlers, which print, are not called
}

int on_warning(TIFF*, void* report, const char*, const char* format, va_list args) {
    char text[256];
    std::vsnprintf(text, sizeof text, format, args);
    if (std::strstr(text, "ColorMap")) static_cast<Report*>(report)->failed = true;
    return 1;
}

// One TIFF handle's reading position in the file bytes.
struct Client {
    const unsigned char* bytes = nullptr;
    std::uint64_t size = 0;
    std::uint64_t at = 0;
};

tmsize_t read_proc(thandle_t handle, void* out, tmsize_t count) {
    auto* c = static_cast<Client*>(handle);
    if (count <= 0 || c->at >= c->size) return 0;
    const std::uint64_t n = std::min<std::uint64_t>(static_cast<std::uint64_t>(count), c->size - c->at);
    std::memcpy(out, c->bytes + c->at, n);
    c->at += n;
    return static_cast<tmsize_t>(n);
}

tmsize_t write_proc(thandle_t, void*, tmsize_t) { return -1; }

toff_t seek_proc(thandle_t handle, toff_t offset, int whence) {
    auto* c = static_cast<Client*>(handle);
    std::uint64_t base = 0;
    if (whence == SEEK_CUR) base = c->at;
    if (whence == SEEK_END) base = c->size;
    // Offsets are unsigned; a position past the end is allowed (reads there give nothing).
    if (offset > UINT64_MAX - base) return static_cast<toff_t>(-1);
    c->at = base + offset;
    return c->at;
}

int close_proc(thandle_t) { return 0; }
toff_t size_proc(thandle_t handle) { return static_cast<Client*>(handle)->size; }

// libtiff only reads through the map of a file opened read-only.
int map_proc(thandle_t handle, void** base, toff_t* size) {
    auto* c = static_cast<Client*>(handle);
    *base = const_cast<unsigned char*>(c->bytes);
    *size = c->size;
    return 1;
}

void unmap_proc(thandle_t, void*, toff_t) {}

struct TiffClose {
    void operator()(TIFF* tif) const noexcept { TIFFClose(tif); }
};
using TiffPtr = std::unique_ptr<TIFF, TiffClose>;

struct OptionsFree {
    void operator()(TIFFOpenOptions* options) const noexcept { TIFFOpenOptionsFree(options); }
};

// libtiff's own allocations (a codec's buffer for a whole strip, the strip arrays) are capped at
// the allowance, as everything this decoder holds is.
constexpr tmsize_t libtiff_allocation_cap = static_cast<tmsize_t>(decode_allowance);

// a x b, or nothing past the allowance (and so never an overflow).
std::optional<std::uint64_t> within_allowance(std::uint64_t a, std::uint64_t b) {
    if (a != 0 && b > decode_allowance / a) return std::nullopt;
    return a * b;
}

// Sample `index` of a row of `bits`-bit samples packed from the most significant bit. The row
// buffers carry a few bytes of padding, so the three-byte read never leaves them.
inline std::uint32_t packed_sample(const unsigned char* row, std::uint64_t index, unsigned bits) {
    const std::uint64_t bit = index * bits;
    const unsigned char* p = row + bit / 8;
    const std::uint32_t word = std::uint32_t{p[0]} << 16 | std::uint32_t{p[1]} << 8 | p[2];
    return (word >> (24 - bits - bit % 8)) & ((1u << bits) - 1);
}
constexpr std::size_t row_padding = 4;

// IEEE half to single precision.
float half_to_float(std::uint16_t h) {
    const std::uint32_t sign = std::uint32_t{h & 0x8000u} << 16;
    std::uint32_t exponent = (h >> 10) & 0x1F, mantissa = h & 0x3FFu, bits = 0;
    if (exponent == 0x1F) {
        bits = sign | 0x7F800000u | mantissa << 13;
    } else if (exponent != 0) {
        bits = sign | (exponent + 112) << 23 | mantissa << 13;
    } else if (mantissa != 0) {
        exponent = 113;
        while (!(mantissa & 0x400u)) {
            mantissa <<= 1;
            --exponent;
        }
        bits = sign | exponent << 23 | (mantissa & 0x3FFu) << 13;
    } else {
        bits = sign;
    }
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// The bytes libjpeg holds for a JPEG stream before its first row when the stream comes in several
// scans (progressive, or components in scans of their own): every coefficient of the strip or tile,
// two bytes a sample of each component, allocated by libjpeg out of reach of libtiff's cap. Zero for
// a stream of one scan, or one this look cannot read (libjpeg then reports what is wrong).
std::uint64_t jpeg_coefficient_bytes(const unsigned char* p, std::uint64_t size) {
    if (size < 4 || p[0] != 0xFF || p[1] != 0xD8) return 0;
    std::uint64_t at = 2;
    std::uint32_t width = 0, height = 0, components = 0;
    bool progressive = false;
    const unsigned char* frame = nullptr;
    while (at + 4 <= size) {
        if (p[at] != 0xFF) return 0;
        const unsigned marker = p[at + 1];
        if (marker == 0xFF) {
            ++at;
            continue;
        }
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) {
            at += 2;
            continue;
        }
        const std::uint32_t length = std::uint32_t{p[at + 2]} << 8 | p[at + 3];
        if (length < 2 || marker == 0xD9 || at + 2 + length > size) return 0;
        const bool sof = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (sof && length >= 8) {
            progressive = marker == 0xC2 || marker == 0xC6 || marker == 0xCA || marker == 0xCE;
            height = std::uint32_t{p[at + 5]} << 8 | p[at + 6];
            width = std::uint32_t{p[at + 7]} << 8 | p[at + 8];
            components = p[at + 9];
            if (length < 8 + 3 * components) return 0;
            frame = p + at + 10;
        }
        if (marker == 0xDA) {
            if (!frame || length < 3 || (!progressive && p[at + 4] >= components)) return 0;
            std::uint32_t h_max = 1, v_max = 1;
            for (std::uint32_t c = 0; c < components; ++c) {
                h_max = std::max<std::uint32_t>(h_max, frame[3 * c + 1] >> 4);
                v_max = std::max<std::uint32_t>(v_max, frame[3 * c + 1] & 15);
            }
            std::uint64_t bytes = 0;
            for (std::uint32_t c = 0; c < components; ++c) {
                const std::uint64_t h = std::max(frame[3 * c + 1] >> 4, 1), v = std::max(frame[3 * c + 1] & 15, 1);
                // Blocks of 8 x 8 samples, padded to whole units of h x v blocks, 64 coefficients of 2 bytes.
                const std::uint64_t across = (std::uint64_t{width} * h + 8 * h_max - 1) / (8 * h_max);
                const std::uint64_t down = (std::uint64_t{height} * v + 8 * v_max - 1) / (8 * v_max);
                bytes += (across + h - 1) / h * h * ((down + v - 1) / v * v) * 128;
            }
            return bytes;
        }
        at += 2 + length;
    }
    return 0;
}

// 16-bit sample value to 8 bits, rounded to nearest.
constexpr unsigned char to_8bit(std::uint32_t v) noexcept { return static_cast<unsigned char>((v + 128) / 257); }

enum class Colour : std::uint8_t { grey, rgb, palette, cmyk, ycbcr };
enum class Reading : std::uint8_t { scanlines, tiles, ycbcr_strips };

constexpr std::uint32_t max_planes = 5;  // CMYK and alpha, each in its own plane

class TiffDecoder final : public ImageDecoder {
public:
    TiffDecoder(const unsigned char* bytes, std::size_t size) noexcept {
        checked_strip_.fill(UINT32_MAX);
        for (Client& c : clients_) {
            c.bytes = bytes;
            c.size = size;
        }
    }

    bool open();
    bool start() override;
    bool read_row(unsigned char* row) override;

private:
    TiffPtr open_handle(Client& client);
    bool describe();
    bool set_up_colour_tables();
    bool jpeg_fits(TIFF* tif, std::uint32_t strile);
    bool fetch_scanlines();
    bool fetch_tiles();
    bool fetch_ycbcr_strip();
    void convert(unsigned char* out);
    bool ok() const noexcept { return !report_.failed; }

    // Where sample `s` of pixel `x` sits in the plane rows.
    const unsigned char* plane_row(std::uint32_t s) const noexcept {
        return rows_.data() + (separate_ ? s : 0) * plane_row_bytes_;
    }
    std::uint64_t sample_index(std::uint32_t s, std::uint32_t x) const noexcept {
        return separate_ ? x : std::uint64_t{x} * samples_ + s;
    }

    Report report_;
    std::array<Client, max_planes> clients_{};
    // Separate planes that are striped get a handle each, so that every plane's strips decode
    // forward row by row; the other pages use handle 0 only.
    std::array<TiffPtr, max_planes> handles_;

    Colour colour_ = Colour::grey;
    Reading reading_ = Reading::scanlines;
    std::uint16_t bits_ = 8;
    std::uint16_t samples_ = 1;        // samples per pixel in the file
    std::uint16_t colour_samples_ = 1;  // 1, 3 or 4; an alpha sample follows when there is one
    bool alpha_ = false;
    bool floating_ = false;
    bool min_is_white_ = false;
    bool separate_ = false;
    bool jpeg_ = false;
    std::uint32_t planes_ = 1;  // plane rows read per image row

    // Plane rows of the current image row, in the file's packing, each padded.
    HeldBlock rows_;
    std::size_t plane_row_bytes_ = 0;
    std::uint32_t next_row_ = 0;
    std::array<std::uint32_t, max_planes> checked_strip_;  // the JPEG strip each plane last checked

    // Tiles: one row of tiles of every plane read.
    HeldBlock band_;
    std::uint32_t tile_width_ = 0, tile_height_ = 0;
    std::uint32_t tiles_across_ = 0;
    std::size_t tile_bytes_ = 0, tile_row_bytes_ = 0;
    std::uint32_t loaded_band_ = UINT32_MAX;

    // YCbCr outside JPEG: one strip of subsampling blocks, and libtiff's conversion tables.
    HeldBlock strip_;
    std::uint32_t loaded_strip_ = UINT32_MAX;
    std::uint32_t rows_per_strip_ = 0;
    std::uint16_t block_width_ = 1, block_height_ = 1;
    HeldBlock ycbcr_tables_;

    // Sample value to the layout's for samples of up to 8 bits (and palette entries), per channel.
    std::array<std::array<unsigned char, 256>, 3> colour_table_{};
    std::array<unsigned char, 256> alpha_table_{};
    // Palette entries of wider indices, R, G and B after each other.
    HeldBlock palette_;
};

TiffPtr TiffDecoder::open_handle(Client& client) {
    std::unique_ptr<TIFFOpenOptions, OptionsFree> options(TIFFOpenOptionsAlloc());
    if (!options) return nullptr;
    TIFFOpenOptionsSetMaxSingleMemAlloc(options.get(), libtiff_allocation_cap);
    TIFFOpenOptionsSetErrorHandlerExtR(options.get(), on_error, &report_);
    TIFFOpenOptionsSetWarningHandlerExtR(options.get(), on_warning, &report_);
    client.at = 0;
    // "r" reads the first directory only, however long the chain of pages behind it.
    TiffPtr tif(TIFFClientOpenExt("tiff", "r", &client, read_proc, write_proc, seek_proc, close_proc, size_proc,
                                  map_proc, unmap_proc, options.get()));
    if (!tif || !ok()) return nullptr;
    return tif;
}

bool TiffDecoder::open() {
    handles_[0] = open_handle(clients_[0]);
    if (!handles_[0]) return false;
    return describe() && ok();
}

// Reads the page's fields and picks the layout, or false for a page this decoder does not read.
bool TiffDecoder::describe() {
    TIFF* tif = handles_[0].get();
    std::uint32_t width = 0, height = 0;
    std::uint16_t photometric = 0, sample_format = SAMPLEFORMAT_UINT, planar = PLANARCONFIG_CONTIG;
    std::uint16_t compression = COMPRESSION_NONE, extra_count = 0;
    std::uint16_t* extra_types = nullptr;
    if (!TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width) || !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height) ||
        !TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric))
        return false;
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits_);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples_);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &sample_format);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    TIFFGetFieldDefaulted(tif, TIFFTAG_EXTRASAMPLES, &extra_count, &extra_types);
    jpeg_ = compression == COMPRESSION_JPEG;
    if (width == 0 || height == 0 || samples_ == 0 || extra_count >= samples_) return false;
    width_ = width;
    height_ = height;
    separate_ = planar == PLANARCONFIG_SEPARATE && samples_ > 1;
    floating_ = sample_format == SAMPLEFORMAT_IEEEFP;
    if (!floating_ && sample_format != SAMPLEFORMAT_UINT && sample_format != SAMPLEFORMAT_INT &&
        sample_format != SAMPLEFORMAT_VOID)
        return false;
    // libtiff counts every sample beyond the photometric's colours as an extra sample.
    colour_samples_ = static_cast<std::uint16_t>(samples_ - extra_count);
    alpha_ = extra_count > 0;

    switch (photometric) {
        case PHOTOMETRIC_MINISWHITE:
        case PHOTOMETRIC_MINISBLACK:
            colour_ = Colour::grey;
            min_is_white_ = photometric == PHOTOMETRIC_MINISWHITE;
            if (colour_samples_ != 1) return false;
            break;
        case PHOTOMETRIC_RGB:
            colour_ = Colour::rgb;
            if (colour_samples_ != 3) return false;
            break;
        case PHOTOMETRIC_PALETTE:
            colour_ = Colour::palette;
            if (colour_samples_ != 1 || floating_ || bits_ > 16) return false;
            alpha_ = false;
            break;
        case PHOTOMETRIC_SEPARATED: {
            std::uint16_t inkset = INKSET_CMYK;
            TIFFGetFieldDefaulted(tif, TIFFTAG_INKSET, &inkset);
            colour_ = Colour::cmyk;
            if (inkset != INKSET_CMYK || colour_samples_ != 4 || floating_ || (bits_ != 8 && bits_ != 16))
                return false;
            break;
        }
        case PHOTOMETRIC_YCBCR:
            colour_ = Colour::ycbcr;
            if (samples_ != 3 || floating_ || bits_ != 8 || separate_) return false;
            if (compression == COMPRESSION_JPEG) {
                // libjpeg converts to RGB and upsamples; the rows are then RGB like any other.
                if (!TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB)) return false;
                colour_ = Colour::rgb;
            }
            break;
        default: return false;
    }
    if (floating_) {
        if ((bits_ != 16 && bits_ != 32 && bits_ != 64) || min_is_white_) return false;
    } else if (bits_ == 0 || bits_ > 16) {
        return false;
    }

    // Only the colour samples and the alpha are read; further extra samples are skipped.
    const std::uint32_t channels = colour_samples_ == 1 && colour_ != Colour::palette ? 1 : 3;
    if (floating_) {
        layout_ = PixelLayout{alpha_ ? 4u : 3u, SampleType::f32};
    } else if (colour_ == Colour::palette || colour_ == Colour::ycbcr) {
        layout_ = PixelLayout{3, SampleType::u8};
    } else {
        layout_ = PixelLayout{channels + (alpha_ ? 1 : 0), bits_ > 8 ? SampleType::u16 : SampleType::u8};
    }
    if (colour_ == Colour::cmyk) layout_.channels = alpha_ ? 4 : 3;
    planes_ = separate_ ? colour_samples_ + (alpha_ ? 1u : 0u) : 1;
    if (planes_ > max_planes) return false;

    reading_ = TIFFIsTiled(tif) ? Reading::tiles : Reading::scanlines;
    return set_up_colour_tables();
}

// The value tables: samples of up to 8 bits, palette entries, and libtiff's YCbCr tables.
bool TiffDecoder::set_up_colour_tables() {
    TIFF* tif = handles_[0].get();
    if (colour_ == Colour::palette) {
        std::uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
        if (!TIFFGetField(tif, TIFFTAG_COLORMAP, &red, &green, &blue)) return false;
        const std::uint32_t entries = 1u << bits_;
        // A map whose entries all stay below 256 was written as 8-bit values; the earlier image
        // library read such a map as v x 256.
        bool narrow = true;
        for (std::uint32_t i = 0; i < entries && narrow; ++i) narrow = red[i] < 256 && green[i] < 256 && blue[i] < 256;
        const auto entry = [narrow](std::uint16_t v) { return to_8bit(narrow ? std::uint32_t{v} << 8 : v); };
        if (bits_ <= 8) {
            for (std::uint32_t i = 0; i < entries; ++i) {
                colour_table_[0][i] = entry(red[i]);
                colour_table_[1][i] = entry(green[i]);
                colour_table_[2][i] = entry(blue[i]);
            }
        } else {
            if (!palette_.allocate(std::size_t{entries} * 3)) return false;
            unsigned char* p = palette_.data();
            for (std::uint32_t i = 0; i < entries; ++i) {
                p[i] = entry(red[i]);
                p[entries + i] = entry(green[i]);
                p[2 * entries + i] = entry(blue[i]);
            }
        }
        return true;
    }
    if (colour_ == Colour::ycbcr) {
        std::uint16_t h = 2, v = 2;
        TIFFGetFieldDefaulted(tif, TIFFTAG_YCBCRSUBSAMPLING, &h, &v);
        if ((h != 1 && h != 2 && h != 4) || (v != 1 && v != 2 && v != 4)) return false;
        block_width_ = h;
        block_height_ = v;
        // Unsubsampled pixels are plain Y, Cb, Cr rows; subsampling blocks span several rows, which
        // only whole strips hold (libtiff's scanlines would cut them), so tiles of them are refused.
        if (h != 1 || v != 1) {
            if (reading_ == Reading::tiles) return false;
            reading_ = Reading::ycbcr_strips;
        }
        float *luma = nullptr, *reference = nullptr;
        TIFFGetFieldDefaulted(tif, TIFFTAG_YCBCRCOEFFICIENTS, &luma);
        TIFFGetFieldDefaulted(tif, TIFFTAG_REFERENCEBLACKWHITE, &reference);
        // libtiff's own checks before it builds these tables: the coefficients divide by green.
        if (!luma || !reference || !(luma[0] == luma[0]) || !(luma[1] == luma[1]) || luma[1] == 0.0f ||
            !(luma[2] == luma[2]))
            return false;
        for (int i = 0; i < 6; ++i)
            if (!(reference[i] > static_cast<float>(-0x7FFFFFFF + 128) && reference[i] < static_cast<float>(0x7FFFFFFF)))
                return false;
        // The tables follow the structure, laid out as libtiff's RGBA reader allocates them.
        const std::size_t header = (sizeof(TIFFYCbCrToRGB) + sizeof(long) - 1) / sizeof(long) * sizeof(long);
        if (!ycbcr_tables_.allocate(header + 4 * 256 * sizeof(TIFFRGBValue) + 2 * 256 * sizeof(int) +
                                    3 * 256 * sizeof(std::int32_t)))
            return false;
        return TIFFYCbCrToRGBInit(reinterpret_cast<TIFFYCbCrToRGB*>(ycbcr_tables_.data()), luma, reference) == 0;
    }
    if (floating_ || bits_ > 8) return true;
    // v x (65535 / max) in 16 bits, inverted for MinIsWhite, then to 8 bits.
    const std::uint32_t max = (1u << bits_) - 1, step = 65535 / max;
    for (std::uint32_t v = 0; v <= max; ++v) {
        const std::uint32_t q = v * step;
        colour_table_[0][v] = to_8bit(min_is_white_ ? 65535 - q : q);
        alpha_table_[v] = to_8bit(q);
    }
    return true;
}

bool TiffDecoder::start() {
    TIFF* tif = handles_[0].get();
    if (!tif || !ok()) return false;
    if (reading_ == Reading::ycbcr_strips) {
        std::uint32_t rows_per_strip = 0;
        TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &rows_per_strip);
        rows_per_strip_ = std::min(rows_per_strip, height_);
        // A strip holds whole rows of blocks.
        if (rows_per_strip_ == 0 || (rows_per_strip_ < height_ && rows_per_strip_ % block_height_ != 0)) return false;
        const std::uint64_t strip = TIFFStripSize64(tif);
        if (strip == 0 || strip > decode_allowance || !ok()) return false;
        return strip_.allocate(static_cast<std::size_t>(strip)) && ok();
    }

    plane_row_bytes_ = static_cast<std::size_t>(TIFFScanlineSize64(tif));
    if (plane_row_bytes_ == 0 || !ok()) return false;
    plane_row_bytes_ += row_padding;
    const auto rows = within_allowance(plane_row_bytes_, planes_);
    if (!rows || !rows_.allocate(static_cast<std::size_t>(*rows))) return false;
    std::memset(rows_.data(), 0, rows_.size());

    if (reading_ == Reading::scanlines) {
        for (std::uint32_t p = 1; separate_ && p < planes_; ++p) {
            handles_[p] = open_handle(clients_[p]);
            if (!handles_[p]) return false;
        }
        return ok();
    }

    if (!TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tile_width_) || !TIFFGetField(tif, TIFFTAG_TILELENGTH, &tile_height_) ||
        tile_width_ == 0 || tile_height_ == 0)
        return false;
    tile_bytes_ = static_cast<std::size_t>(TIFFTileSize64(tif));
    tile_row_bytes_ = static_cast<std::size_t>(TIFFTileRowSize64(tif));
    if (tile_bytes_ == 0 || tile_row_bytes_ == 0 || !ok()) return false;
    // Tiles are put side by side byte-wise, so a tile's row must end on a byte.
    const std::uint64_t samples_per_tile_row =
        std::uint64_t{tile_width_} * (separate_ ? 1 : samples_);
    if (samples_per_tile_row * bits_ % 8 != 0 || tile_row_bytes_ != samples_per_tile_row * bits_ / 8) return false;
    if (tile_bytes_ / tile_row_bytes_ < tile_height_) return false;
    tiles_across_ = static_cast<std::uint32_t>((std::uint64_t{width_} + tile_width_ - 1) / tile_width_);
    const auto per_plane = within_allowance(tiles_across_, tile_bytes_);
    const auto band = per_plane ? within_allowance(*per_plane, planes_) : std::nullopt;
    // The plane rows and the tiles together stay within the allowance.
    if (!band || *band > decode_allowance - rows_.size() || !band_.allocate(static_cast<std::size_t>(*band)))
        return false;
    return ok();
}

// A JPEG strip or tile is decoded only when what libjpeg holds for it, beside this decoder's own
// blocks, stays within the allowance.
bool TiffDecoder::jpeg_fits(TIFF* tif, std::uint32_t strile) {
    const Client& client = clients_[0];
    const std::uint64_t offset = TIFFGetStrileOffset(tif, strile), count = TIFFGetStrileByteCount(tif, strile);
    if (!ok()) return false;
    // Data outside the file is libtiff's to report.
    if (offset >= client.size || count > client.size - offset) return true;
    const std::uint64_t held = rows_.size() + band_.size();
    return jpeg_coefficient_bytes(client.bytes + offset, count) <= decode_allowance - held;
}

bool TiffDecoder::fetch_scanlines() {
    for (std::uint32_t p = 0; p < planes_; ++p) {
        TIFF* tif = handles_[separate_ ? p : 0].get();
        auto* row = rows_.data() + p * plane_row_bytes_;
        if (jpeg_) {
            const std::uint32_t strip = TIFFComputeStrip(tif, next_row_, static_cast<std::uint16_t>(separate_ ? p : 0));
            if (strip != checked_strip_[p] && !jpeg_fits(tif, strip)) return false;
            checked_strip_[p] = strip;
        }
        if (TIFFReadScanline(tif, row, next_row_, static_cast<std::uint16_t>(separate_ ? p : 0)) != 1 || !ok())
            return false;
    }
    return true;
}

bool TiffDecoder::fetch_tiles() {
    TIFF* tif = handles_[0].get();
    const std::uint32_t band = next_row_ / tile_height_;
    if (band != loaded_band_) {
        loaded_band_ = UINT32_MAX;
        for (std::uint32_t p = 0; p < planes_; ++p) {
            for (std::uint32_t c = 0; c < tiles_across_; ++c) {
                const std::uint32_t tile = TIFFComputeTile(tif, c * tile_width_, next_row_, 0,
                                                           static_cast<std::uint16_t>(separate_ ? p : 0));
                auto* out = band_.data() + (std::size_t{p} * tiles_across_ + c) * tile_bytes_;
                if (jpeg_ && !jpeg_fits(tif, tile)) return false;
                if (TIFFReadEncodedTile(tif, tile, out, static_cast<tmsize_t>(tile_bytes_)) < 0 || !ok())
                    return false;
            }
        }
        loaded_band_ = band;
    }
    const std::size_t row_in_tile = next_row_ % tile_height_;
    const std::size_t row_bytes = plane_row_bytes_ - row_padding;
    for (std::uint32_t p = 0; p < planes_; ++p) {
        unsigned char* row = rows_.data() + p * plane_row_bytes_;
        for (std::uint32_t c = 0; c < tiles_across_; ++c) {
            const std::size_t at = std::size_t{c} * tile_row_bytes_;
            const unsigned char* tile = band_.data() + (std::size_t{p} * tiles_across_ + c) * tile_bytes_;
            std::memcpy(row + at, tile + row_in_tile * tile_row_bytes_, std::min(tile_row_bytes_, row_bytes - at));
        }
    }
    return true;
}

// The strip of YCbCr blocks that holds the next row.
bool TiffDecoder::fetch_ycbcr_strip() {
    const std::uint32_t strip = next_row_ / rows_per_strip_;
    if (strip == loaded_strip_) return true;
    loaded_strip_ = UINT32_MAX;
    const std::uint32_t rows = std::min(rows_per_strip_, height_ - strip * rows_per_strip_);
    const std::uint64_t blocks_across = (std::uint64_t{width_} + block_width_ - 1) / block_width_;
    const std::uint64_t needed = (std::uint64_t{rows} + block_height_ - 1) / block_height_ * blocks_across *
                                 (std::uint32_t{block_width_} * block_height_ + 2);
    const tmsize_t got =
        TIFFReadEncodedStrip(handles_[0].get(), strip, strip_.data(), static_cast<tmsize_t>(strip_.size()));
    if (got < 0 || static_cast<std::uint64_t>(got) < needed || !ok()) return false;
    loaded_strip_ = strip;
    return true;
}

// The plane rows of one image row into the layout.
void TiffDecoder::convert(unsigned char* out) {
    const std::uint32_t width = width_, channels = layout_.channels;
    const std::uint32_t alpha = colour_samples_;  // the first extra sample
    if (colour_ == Colour::ycbcr) {
        // Blocks of block_width x block_height luma samples, then Cb and Cr; 1 x 1 in plain rows.
        const std::uint32_t block_size = std::uint32_t{block_width_} * block_height_ + 2;
        const unsigned char* blocks = rows_.data();
        std::uint32_t luma_row = 0;
        if (reading_ == Reading::ycbcr_strips) {
            const std::uint32_t in_strip = next_row_ % rows_per_strip_;
            const std::uint64_t blocks_across = (std::uint64_t{width} + block_width_ - 1) / block_width_;
            blocks = strip_.data() + in_strip / block_height_ * blocks_across * block_size;
            luma_row = in_strip % block_height_ * block_width_;
        }
        auto* ycbcr = reinterpret_cast<TIFFYCbCrToRGB*>(ycbcr_tables_.data());
        for (std::uint32_t x = 0; x < width; ++x, out += 3) {
            const unsigned char* block = blocks + std::uint64_t{x / block_width_} * block_size;
            std::uint32_t r, g, b;
            TIFFYCbCrtoRGB(ycbcr, block[luma_row + x % block_width_], block[block_size - 2], block[block_size - 1],
                           &r, &g, &b);
            out[0] = static_cast<unsigned char>(r);
            out[1] = static_cast<unsigned char>(g);
            out[2] = static_cast<unsigned char>(b);
        }
        return;
    }
    if (colour_ == Colour::palette) {
        const unsigned char* row = plane_row(0);
        const std::uint32_t entries = 1u << bits_;
        for (std::uint32_t x = 0; x < width; ++x, out += 3) {
            const std::uint64_t i = sample_index(0, x);
            const std::uint32_t index = bits_ == 8 ? row[i] : packed_sample(row, i, bits_);
            if (bits_ <= 8) {
                out[0] = colour_table_[0][index];
                out[1] = colour_table_[1][index];
                out[2] = colour_table_[2][index];
            } else {
                out[0] = palette_.data()[index];
                out[1] = palette_.data()[entries + index];
                out[2] = palette_.data()[2 * entries + index];
            }
        }
        return;
    }
    if (colour_ == Colour::cmyk) {
        // As the earlier image library converted: each colour is (max - ink) x (max - black) / max, rounded.
        for (std::uint32_t x = 0; x < width; ++x) {
            if (bits_ == 8) {
                const std::uint32_t k = 255 - plane_row(3)[sample_index(3, x)];
                for (std::uint32_t c = 0; c < 3; ++c)
                    out[std::size_t{x} * channels + c] =
                        static_cast<unsigned char>(((255 - plane_row(c)[sample_index(c, x)]) * k + 127) / 255);
                if (alpha_) out[std::size_t{x} * channels + 3] = plane_row(alpha)[sample_index(alpha, x)];
            } else {
                auto* o = reinterpret_cast<std::uint16_t*>(out) + std::size_t{x} * channels;
                const auto sample = [&](std::uint32_t s) {
                    std::uint16_t v;
                    std::memcpy(&v, plane_row(s) + sample_index(s, x) * 2, 2);
                    return std::uint32_t{v};
                };
                const std::uint32_t k = 65535 - sample(3);
                for (std::uint32_t c = 0; c < 3; ++c)
                    o[c] = static_cast<std::uint16_t>((std::uint64_t{65535 - sample(c)} * k + 32767) / 65535);
                if (alpha_) o[3] = static_cast<std::uint16_t>(sample(alpha));
            }
        }
        return;
    }
    // Grey, RGB, and their alpha: output channel c reads sample source[c].
    std::array<std::uint32_t, 4> source{0, 1, 2, alpha};
    if (colour_samples_ == 1) source = {0, floating_ ? 0u : alpha, 0, alpha};
    for (std::uint32_t c = 0; c < channels; ++c) {
        const std::uint32_t s = source[c];
        const bool is_alpha = s == alpha;
        const unsigned char* row = plane_row(s);
        if (floating_) {
            auto* o = reinterpret_cast<float*>(out) + c;
            for (std::uint32_t x = 0; x < width; ++x, o += channels) {
                const std::uint64_t i = sample_index(s, x);
                if (bits_ == 32) {
                    std::memcpy(o, row + i * 4, 4);
                } else if (bits_ == 64) {
                    double d;
                    std::memcpy(&d, row + i * 8, 8);
                    constexpr double largest = std::numeric_limits<float>::max();
                    constexpr float infinity = std::numeric_limits<float>::infinity();
                    *o = d > largest ? infinity : d < -largest ? -infinity : static_cast<float>(d);
                } else {
                    std::uint16_t h;
                    std::memcpy(&h, row + i * 2, 2);
                    *o = half_to_float(h);
                }
            }
        } else if (bits_ <= 8) {
            const auto& table = is_alpha ? alpha_table_ : colour_table_[0];
            unsigned char* o = out + c;
            if (bits_ == 8) {
                for (std::uint32_t x = 0; x < width; ++x, o += channels) *o = table[row[sample_index(s, x)]];
            } else {
                for (std::uint32_t x = 0; x < width; ++x, o += channels)
                    *o = table[packed_sample(row, sample_index(s, x), bits_)];
            }
        } else {
            auto* o = reinterpret_cast<std::uint16_t*>(out) + c;
            const bool invert = min_is_white_ && !is_alpha;
            const std::uint32_t step = 65535 / ((1u << bits_) - 1);
            for (std::uint32_t x = 0; x < width; ++x, o += channels) {
                const std::uint64_t i = sample_index(s, x);
                std::uint32_t q;
                if (bits_ == 16) {
                    std::uint16_t v;
                    std::memcpy(&v, row + i * 2, 2);
                    q = v;
                } else {
                    q = packed_sample(row, i, bits_) * step;
                }
                *o = static_cast<std::uint16_t>(invert ? 65535 - q : q);
            }
        }
    }
}

bool TiffDecoder::read_row(unsigned char* row) {
    if (next_row_ >= height_ || !ok()) return false;
    bool fetched = false;
    switch (reading_) {
        case Reading::scanlines: fetched = fetch_scanlines(); break;
        case Reading::tiles: fetched = fetch_tiles(); break;
        case Reading::ycbcr_strips: fetched = fetch_ycbcr_strip(); break;
    }
    if (!fetched) {
        report_.failed = true;
        return false;
    }
    convert(row);
    ++next_row_;
    return true;
}

}  // namespace

std::unique_ptr<ImageDecoder> open_tiff(const unsigned char* bytes, std::size_t size) {
    auto decoder = std::make_unique<TiffDecoder>(bytes, size);
    if (!decoder->open()) return nullptr;
    return decoder;
}

}  // namespace tarnwick
