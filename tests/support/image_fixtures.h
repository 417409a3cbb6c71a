#pragma once
// Small, deterministic image files made in memory for the image tests, the benchmarks and the
// fuzz seeds. Each format is written by its own library's encoder (libpng, libjpeg, giflib,
// libtiff, libwebp); BMP by the small writer here. The caller gives the samples in the layout the
// file stores, as a Raster (or, for images too big to hold, one row at a time), and can derive
// the RGB image that image preparation must make of them with expected_rgb. For the decoders' own
// tests the writers also say what no ordinary file says: a BMP field by field (write_bmp), WebP
// chunk by chunk, a GIF's extension blocks, a TIFF page's tags as given.
//
// Nothing here reports an error to the caller: a fixture that cannot be made is a broken test,
// and the maker throws std::runtime_error (or aborts, inside a library callback).

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace test_support {

using Bytes = std::vector<unsigned char>;

// Little-endian fields appended to hand-made files.
void put_le16(Bytes& out, std::uint32_t v);
void put_le32(Bytes& out, std::uint32_t v);

// The samples of one image: rows top to bottom, pixels left to right, the channels of a pixel
// together. Integer samples of 1 to 16 bits are held in `samples` (palette indices too); 32-bit
// float samples in `reals`.
struct Raster {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t channels = 0;  // 1 grey or palette index, 2 grey + alpha, 3 RGB, 4 RGBA or CMYK
    std::uint32_t bits = 0;      // 1, 2, 4, 5, 6, 8 or 16 in `samples`; 32 means floats in `reals`
    std::vector<std::uint16_t> samples;
    std::vector<float> reals;

    bool is_float() const noexcept { return bits == 32; }
    std::uint32_t max_sample() const noexcept { return bits >= 16 ? 65535u : (1u << bits) - 1; }
    std::size_t index(std::uint32_t x, std::uint32_t y, std::uint32_t channel) const noexcept {
        return (std::size_t{y} * width + x) * channels + channel;
    }
    std::uint32_t at(std::uint32_t x, std::uint32_t y, std::uint32_t channel) const noexcept {
        return samples[index(x, y, channel)];
    }
    float real(std::uint32_t x, std::uint32_t y, std::uint32_t channel) const noexcept {
        return reals[index(x, y, channel)];
    }
};

using SampleFn = std::function<std::uint32_t(std::uint32_t x, std::uint32_t y, std::uint32_t channel)>;
using RealFn = std::function<float(std::uint32_t x, std::uint32_t y, std::uint32_t channel)>;

// A raster whose every sample is `sample(x, y, channel)`, masked to `bits`.
Raster make_raster(std::uint32_t width, std::uint32_t height, std::uint32_t channels, std::uint32_t bits,
                   const SampleFn& sample);
Raster make_float_raster(std::uint32_t width, std::uint32_t height, std::uint32_t channels, const RealFn& sample);

// A busy pattern over the whole range of `bits`: gradients, hard edges, noise, both extremes and,
// in the last channel of grey + alpha and RGBA, fully transparent pixels with a stored colour.
// `seed` varies it (another page or frame of the same file).
Raster varied_raster(std::uint32_t width, std::uint32_t height, std::uint32_t channels, std::uint32_t bits,
                     std::uint32_t seed = 0);
// Smooth waves whose peaks stay clear of both extremes: a photo for the lossy encoders, and a
// picture where a resampler's overshoot is never clipped.
Raster smooth_raster(std::uint32_t width, std::uint32_t height, std::uint32_t channels, std::uint32_t bits = 8);
// Floats from -0.25 to 1.25 in steps of 1/512, so that exact halves of a level occur; with
// `specials`, some samples are NaN, +inf and -inf.
Raster float_raster(std::uint32_t width, std::uint32_t height, std::uint32_t channels, bool specials);
// Samples that stay the same for runs of a few pixels: what RLE and LZW compress well.
Raster runs_raster(std::uint32_t width, std::uint32_t height, std::uint32_t bits, std::uint32_t seed = 0);

// A palette entry. An alpha below 255 makes the entry (partly) transparent where the format can
// say so (PNG's tRNS; a GIF's transparent index is set on the frame).
struct Colour {
    std::uint8_t r = 0, g = 0, b = 0, a = 255;
};
using Palette = std::vector<Colour>;

// `size` distinct colours spread over the cube; the first is never black, so an index that must
// come out black (a transparent area) shows.
Palette varied_palette(std::size_t size);

// The 8-bit RGB image that image preparation makes of these samples: grey below 8 bits spread to
// 0 ... 255, 16-bit samples (v + 128) / 257, floats clamped to 0 ... 1, times 255, rounded half
// up, NaN 255; grey copied to R, G and B; alpha dropped, stored colour kept. 5- and 6-bit samples
// (BMP bit fields) are not covered: their conversion is the decoder's.
Bytes expected_rgb(const Raster& raster);
// The same for a raster of palette indices.
Bytes expected_rgb(const Raster& indices, const Palette& palette);

// --- PNG (libpng) -----------------------------------------------------------------------------

struct PngOptions {
    // Not empty: a palette image (colour type 3) of a one-channel raster of indices of 1 to 8 bits;
    // entries with an alpha below 255 go into tRNS.
    Palette palette;
    // tRNS of a grey (the first value) or RGB image: the sample values shown as transparent.
    std::optional<std::array<std::uint16_t, 3>> transparent;
    bool interlaced = false;  // Adam7
};

// The colour type follows the raster: 1 channel grey (or palette), 2 grey + alpha, 3 RGB, 4 RGBA;
// the bit depth is the raster's.
Bytes encode_png(const Raster& raster, const PngOptions& options = {});

// Fills one row as PNG stores it (no filter byte): samples packed from the high bit when below
// 8 bits, big-endian when 16.
using RowFn = std::function<void(std::uint32_t y, unsigned char* row)>;

// A PNG made row by row, for images too large to hold: `row` is asked for each row of each pass
// (seven passes when interlaced), never for two at once. Rows go unfiltered.
Bytes encode_png_rows(std::uint32_t width, std::uint32_t height, int colour_type, int depth, const RowFn& row,
                      const PngOptions& options = {});
// A PNG whose every sample byte is `fill`: a tiny file for a huge image.
Bytes uniform_png(std::uint32_t width, std::uint32_t height, int colour_type, int depth, unsigned char fill = 0,
                  bool interlaced = false);

// Hand-made PNG parts for damaged files: one chunk with its CRC, and a file whose header claims
// width x height but whose data holds only `rows` rows of zeros.
void put_png_chunk(Bytes& file, const char* type, const Bytes& data);
Bytes png_claiming(std::uint32_t width, std::uint32_t height, int colour_type, int depth, std::uint32_t rows);

// --- JPEG (libjpeg) ---------------------------------------------------------------------------

enum class JpegColour {
    grey,        // a 1-channel raster
    ycbcr_420,   // a 3-channel RGB raster, chroma halved both ways (libjpeg's default)
    ycbcr_444,   // a 3-channel RGB raster, full-size chroma
    rgb,         // a 3-channel RGB raster stored as RGB, without a colour transform
    adobe_cmyk,  // a 4-channel raster of stored CMYK samples (Adobe: inverted, 255 is no ink)
    ycck,        // the same samples stored as YCCK
};

struct JpegOptions {
    JpegColour colour = JpegColour::ycbcr_420;
    int quality = 90;
    bool progressive = false;
    bool scan_per_component = false;  // sequential, one scan per component instead of one for all
};

// The raster's samples are 8-bit.
Bytes encode_jpeg(const Raster& raster, const JpegOptions& options = {});

// --- GIF (giflib) -----------------------------------------------------------------------------

// An extension block written before a frame: its label and its data sub-blocks (up to 255 bytes
// each).
struct GifExtension {
    int code = 0;
    std::vector<Bytes> blocks;
};
constexpr int gif_plain_text = 0x01, gif_comment = 0xFE, gif_application = 0xFF;

struct GifFrame {
    Raster indices;  // 1 channel, 8-bit samples, each below the palette's size; 0 x 0 without samples
    std::uint32_t left = 0;
    std::uint32_t top = 0;
    Palette local_palette;  // empty: the global one
    int transparent = -1;   // the transparent index, or -1 (a graphic control block, GIF89a)
    bool interlaced = false;
    std::vector<GifExtension> extensions;  // after the graphic control block, before the frame
};

struct GifOptions {
    std::optional<std::uint32_t> screen_width;  // unset: the first frame's
    std::optional<std::uint32_t> screen_height;
    Palette palette;  // the global colour table, padded to a power of two
    int background = 0;
    bool gif89a = true;  // GIF87a carries no extension blocks: transparent indices need 89a
};

// The frames in order. No frame at all, or one of 0 x 0, makes a file only a broken writer makes:
// for the decoder's tests.
Bytes encode_gif(const std::vector<GifFrame>& frames, const GifOptions& options);

// A hand-made GIF89a with a logical screen of screen_w x screen_h, a two-colour table (red,
// green) and one frame of frame_w x frame_h at (0, 0) whose data is a single red pixel: a tiny
// file for any claimed size.
Bytes gif_claiming(std::uint32_t screen_w, std::uint32_t screen_h, std::uint32_t frame_w, std::uint32_t frame_h);

// --- WebP (libwebp, libwebpmux) ---------------------------------------------------------------

struct WebpOptions {
    bool lossless = false;
    int quality = 90;
    int method = 4;  // 0 fastest ... 6 smallest; 4 is the encoder's own default
    // Unset: libwebp's defaults.
    std::optional<int> filter_type;        // the lossy loop filter: 0 simple, 1 strong
    std::optional<int> alpha_compression;  // 0 raw, 1 lossless
    std::optional<int> alpha_filtering;    // 0 none, 1 fast, 2 best
};

// The raster is 8-bit RGB or RGBA; an RGBA raster gives a file with alpha. The colour under
// transparent pixels is kept as given (the encoder's `exact`).
Bytes encode_webp(const Raster& raster, const WebpOptions& options = {});
// An animation of the frames (all of one size) 100 ms apart, through WebPAnimEncoder.
Bytes encode_webp_animation(const std::vector<Raster>& frames, const WebpOptions& options = {});

// A hand-made lossless WebP (a bare VP8L chunk) of width x height (1 to 16384 each) whose every
// pixel is `argb` (0xAARRGGBB): each of its five prefix codes has a single symbol, so the pixels
// take no bits at all and the file is a few dozen bytes for any size. `alpha_used` is the
// header's hint that alpha matters.
Bytes webp_lossless_claiming(std::uint32_t width, std::uint32_t height, std::uint32_t argb, bool alpha_used);

// Files put together chunk by chunk, for layouts and damage the encoder does not write.

// One chunk: its tag, the payload's size and the payload, padded to an even length.
Bytes webp_chunk(const char* tag, const Bytes& payload);
// The RIFF container ("RIFF", its size, "WEBP") around the chunks.
Bytes webp_file(const Bytes& chunks);
constexpr std::uint32_t webp_animation_flag = 0x02, webp_exif_flag = 0x08, webp_alpha_flag = 0x10;
// The extended header's chunk, for a canvas of width x height.
Bytes webp_vp8x(std::uint32_t flags, std::uint32_t width, std::uint32_t height);
// The top-level chunk with this tag, its header and padding included; empty when there is none.
Bytes webp_find_chunk(const Bytes& file, const char* tag);
// The image chunks of a still file, as an animation frame holds them: ALPH, if any, then VP8 or VP8L.
Bytes webp_image_chunks(const Bytes& still);
// An ALPH chunk holding the width x height plane uncompressed behind `filter` (0 none, 1
// horizontal, 2 vertical, 3 gradient): each sample stored as its difference from the prediction
// the format makes of the samples before it.
Bytes webp_raw_alpha(const Bytes& alpha, std::uint32_t width, std::uint32_t height, int filter);
// An animated file on a canvas, with a white background colour, whose one frame is the image
// chunks `frame`, of width x height at (x, y) (even offsets).
Bytes webp_animation_file(std::uint32_t canvas_width, std::uint32_t canvas_height, std::uint32_t x, std::uint32_t y,
                          std::uint32_t width, std::uint32_t height, const Bytes& frame);

// --- TIFF (libtiff) ---------------------------------------------------------------------------

// JPEG at quality 90, a YCbCr page's samples given as RGB (libtiff converts them); the CCITT ones
// for 1-bit pages.
enum class TiffCompression { none, lzw, deflate, packbits, ccitt_rle, ccitt_fax3, ccitt_fax4, jpeg };

struct TiffPage {
    // 1 grey, 2 grey + alpha, 3 RGB, 4 RGBA or CMYK; 8 or 16 bits, or 32-bit floats (3 or 4
    // channels); a palette image's indices are 1 channel of 1 to 8 bits.
    Raster raster;
    Palette palette;                // not empty: a palette image (alpha unused)
    bool cmyk = false;              // 4 channels of ink, 8-bit
    bool associated_alpha = false;  // the extra channel is premultiplied alpha, else unassociated
    TiffCompression compression = TiffCompression::none;
    int predictor = 1;                 // 2 horizontal differencing, 3 floating point
    std::uint32_t tile_size = 0;       // tiles of tile_size x tile_size (a multiple of 16); 0: strips
    std::uint32_t rows_per_strip = 8;  // 0: the whole page in one strip

    // Pages of every kind a TIFF reader meets, for the TIFF decoder's tests: with these, the raster
    // may hold up to 8 channels of 1 to 16 bits or floats, and the tags say what the fields above do
    // not, in libtiff's values (PHOTOMETRIC_*, SAMPLEFORMAT_*, EXTRASAMPLE_*).
    std::optional<std::uint16_t> photometric;    // unset: palette, CMYK, grey or RGB, by the fields above
    std::optional<std::uint16_t> sample_format;  // unset: IEEE floats for a float raster, else unsigned
    std::uint32_t float_bits = 32;               // a float raster stored as 16 (half), 32 or 64 bits
    std::vector<std::uint16_t> extra_samples;    // empty: the channels past the colour ones, the first alpha
    std::vector<std::uint16_t> colour_map;       // instead of the palette: all red entries, then green, blue
    std::uint32_t tile_height = 0;               // 0: tile_size
    bool separate_planes = false;                // PlanarConfiguration 2: each channel a plane of its own
    bool reversed_bits = false;                  // FillOrder 2: the low bit of each byte first
    std::array<std::uint16_t, 2> ycbcr_subsampling{};  // not 0: the YCbCrSubsampling tag
    std::vector<Bytes> raw_strips;  // not empty: the strips as stored, and the raster only gives the size
};

struct TiffFile {
    bool big_endian = false;
    bool bigtiff = false;
};

// One page per entry.
Bytes encode_tiff(const std::vector<TiffPage>& pages, const TiffFile& file = {});

// The entry of `tag` in the first directory of a classic TIFF: where the entry starts, its count
// and its value (or the offset of its values).
struct TiffEntry {
    std::size_t at = 0;
    std::uint32_t count = 0, value = 0;
};
TiffEntry find_tiff_entry(const Bytes& tiff, std::uint16_t tag);
// The first page's colour map moved so that its second half lies past the end of the file.
Bytes cut_colour_map(Bytes tiff);

// libtiff's own RGBA reader's image of the first page, as 8-bit RGB rows (its alpha dropped): what
// YCbCr and JPEG pages must decode to. Empty when libtiff cannot read it.
Bytes libtiff_rgb(const Bytes& tiff);

// --- BMP (our own writer) ---------------------------------------------------------------------

// What a BMP file says, field by field, for headers of any kind and damage of any field; write_bmp
// writes it. Fields left unset are derived from the others.
struct BmpFile {
    std::uint32_t header = 40;  // 12: the OS/2 core header; 16 to 64, 108 (V4) and 124 (V5) the longer ones
    std::int32_t width = 1, height = 1;
    std::uint32_t bits = 24, compression = 0, planes = 1;
    std::vector<std::uint32_t> palette;  // 0xRRGGBB each
    std::uint32_t entry_bytes = 0;       // 0: 3 with the core header, else 4
    std::optional<std::uint32_t> colours_used;
    std::array<std::uint32_t, 4> masks{};  // R, G, B, A: inside headers of 52 bytes and more
    bool masks_after_header = false;       // R, G, B after a 40-byte header
    Bytes pixels;                          // as stored: rows bottom-up unless the height is negative
    std::optional<std::uint32_t> size_field, data_offset;
};

// The file: the 14-byte file header, the info header (its fields past `header` bytes cut off; the
// V4 and V5 headers name sRGB), the palette and the pixels.
Bytes write_bmp(const BmpFile& file);

enum class BmpHeader {
    os2,   // the 12-byte OS/2 core header: 16-bit sizes, 3-byte palette entries, no compression
    info,  // the 40-byte BITMAPINFOHEADER (bit-field masks follow it)
    v4,    // 108 bytes, masks inside, alpha mask included
    v5,    // 124 bytes
};
enum class BmpCompression { rgb, rle8, rle4, bitfields };

struct BmpOptions {
    BmpHeader header = BmpHeader::info;
    std::uint16_t bits = 24;  // 1, 4, 8 (palette), 16, 24, 32
    BmpCompression compression = BmpCompression::rgb;
    bool top_down = false;  // a negative height; not with RLE nor the OS/2 header
    Palette palette;        // 1, 4 and 8 bits
    // Bit fields R, G, B, A (A only in the V4 and V5 headers). With 16 bits and no bit fields the
    // pixel is 5-5-5.
    std::array<std::uint32_t, 4> masks{};
};

// The raster holds, by the pixel's bits: palette indices (1, 4, 8); the value of each field, as
// wide as its mask (16 bits, and 32 with bit fields: 3 or 4 channels); 8-bit R, G, B (24 bits, and
// 32 without bit fields, where a fourth channel fills the fourth byte, else it is 0).
Bytes encode_bmp(const Raster& raster, const BmpOptions& options = {});
// A 24-bit BMP with a 40-byte header claiming width x height and the given pixel bytes as they are.
Bytes bmp_claiming(std::int32_t width, std::int32_t height, const Bytes& pixel_data);
// An RLE8 (bits 8) or RLE4 (bits 4) BMP with a 40-byte header claiming width x height, a palette
// of 2^bits varied colours and the given codes as they are: with {0, 1} alone (end of bitmap) every
// pixel keeps index 0, from a file of a few hundred bytes for any size.
Bytes bmp_rle_claiming(std::int32_t width, std::int32_t height, std::uint16_t bits, const Bytes& codes);

// --- images too large to hold -----------------------------------------------------------------
// The row makers of each format: `row(y, samples)` fills the width * channels integer samples of
// row y, asked for in the order the file stores them and never two at once. (PNG has
// encode_png_rows and uniform_png above.)

using SampleRowFn = std::function<void(std::uint32_t y, std::uint16_t* samples)>;

struct RowImage {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t channels = 0;
    std::uint32_t bits = 0;  // 1 to 16
    SampleRowFn row;
};

// One TIFF page as `format` describes it (its raster unused); tiles are filled from a band of
// tile_size rows, separate planes from the rows of each plane in turn.
Bytes encode_tiff_rows(const RowImage& image, const TiffPage& format, const TiffFile& file = {});
// The samples as encode_bmp takes them.
Bytes encode_bmp_rows(const RowImage& image, const BmpOptions& options = {});
// 8-bit samples in the channels encode_jpeg takes for the colour.
Bytes encode_jpeg_rows(const RowImage& image, const JpegOptions& options = {});
// 8-bit RGB or RGBA, as encode_webp takes them. The encoder needs the whole picture: it is held
// once, as the encoder's own ARGB pixels (4 bytes a pixel), and the lossy encoder adds its YUV
// planes.
Bytes encode_webp_rows(const RowImage& image, const WebpOptions& options = {});

// A page of 32-bit float samples (3 or 4 channels), row by row: `row(y, samples)` fills the
// width * channels floats of row y.
using RealRowFn = std::function<void(std::uint32_t y, float* samples)>;
Bytes encode_tiff_float_rows(std::uint32_t width, std::uint32_t height, std::uint32_t channels, const RealRowFn& row,
                             const TiffPage& format, const TiffFile& file = {});

}  // namespace test_support
