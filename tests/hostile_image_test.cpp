// Image preparation against hostile files, on the whole road from the file bytes to the RGB image:
// files of every decoder and layout cut at many points, headers that claim enormous or empty
// images, and the largest images the decoders' allowance lets through from tiny files. Each call
// gives an RGB image of consistent size or nothing (the fallback road), the next call still works,
// and the call's peak memory stays within the process, the file bytes, what the decoder may hold
// (at most the allowance, and for a format whose rows stream, nothing of note), the RGB image and
// a working margin.
//
// On Linux every case runs in a forked child, which measures its own peak memory; the test process
// itself never calls image preparation, so that its pages never add to a child's peak. Windows has
// no fork: there the cases run in the test process and their memory goes unmeasured. The largest
// images take seconds under the sanitizers and are left to the release build there.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "support/image_fixtures.h"
#include "support/run_process.h"
#include "tarnwick/image.h"
#include "tarnwick/image_probe.h"

namespace {

using test_support::Bytes;
using test_support::ChildRun;
using test_support::Raster;
using test_support::put_le16;
using test_support::put_le32;
const std::uint64_t budget = tarnwick::pixel_budget(4096);
constexpr std::uint64_t allowance = tarnwick::decode_allowance;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif


// 8-bit noise, which no encoder can shrink much.
Raster noise(std::uint32_t width, std::uint32_t height, std::uint32_t channels = 3) {
    std::uint32_t seed = 12345;
    return test_support::make_raster(width, height, channels, 8, [&](std::uint32_t, std::uint32_t, std::uint32_t) {
        seed = seed * 1103515245 + 12345;
        return seed >> 24;
    });
}

// --- damaged and hand-made files -------------------------------------------------------------

// A PNG with its interlace method set to Adam7 (the header chunk rewritten with its CRC).
Bytes interlaced(const Bytes& png) {
    Bytes header(png.begin() + 16, png.begin() + 29);
    header[12] = 1;
    Bytes out(png.begin(), png.begin() + 8);
    test_support::put_png_chunk(out, "IHDR", header);
    out.insert(out.end(), png.begin() + 33, png.end());
    return out;
}

// A JPEG of 16 x 16 whose frame header is changed to claim width x height: the scan data runs
// out at once, and the decoder fills the rest with grey.
Bytes jpeg_claiming(std::uint16_t width, std::uint16_t height, const test_support::JpegOptions& options = {}) {
    using test_support::JpegColour;
    const std::uint32_t channels = options.colour == JpegColour::grey                                               ? 1
                                   : options.colour == JpegColour::adobe_cmyk || options.colour == JpegColour::ycck ? 4
                                                                                                                    : 3;
    Bytes file = test_support::encode_jpeg(noise(16, 16, channels), options);
    for (std::size_t at = 2; at + 9 < file.size(); ++at) {
        if (file[at] == 0xFF && (file[at + 1] == 0xC0 || file[at + 1] == 0xC1 || file[at + 1] == 0xC2)) {
            file[at + 5] = static_cast<unsigned char>(height >> 8);
            file[at + 6] = static_cast<unsigned char>(height);
            file[at + 7] = static_cast<unsigned char>(width >> 8);
            file[at + 8] = static_cast<unsigned char>(width);
            break;
        }
    }
    return file;
}

// gif_claiming with its frame marked interlaced.
Bytes interlaced_gif_claiming(std::uint32_t screen, std::uint32_t frame) {
    Bytes file = test_support::gif_claiming(screen, screen, frame, frame);
    file[28] |= 0x40;  // the image descriptor's flags
    return file;
}

// A lossy WebP of 16 x 16 whose key frame header claims width x height (14 bits each).
Bytes vp8_claiming(std::uint32_t width, std::uint32_t height) {
    Bytes file = test_support::encode_webp(noise(16, 16));
    // RIFF header, "VP8 " chunk header, 3-byte frame tag, 3-byte start code, then the sides.
    const std::size_t at = 12 + 8 + 6;
    file[at] = static_cast<unsigned char>(width);
    file[at + 1] = static_cast<unsigned char>(width >> 8 & 0x3F);
    file[at + 2] = static_cast<unsigned char>(height);
    file[at + 3] = static_cast<unsigned char>(height >> 8 & 0x3F);
    return file;
}

// An extended WebP whose canvas claims width x height (24 bits each) around a 1 x 1 lossless image.
Bytes webp_canvas_claiming(std::uint32_t width, std::uint32_t height) {
    const Bytes inner = test_support::webp_lossless_claiming(1, 1, 0xFF000000, false);
    Bytes chunks{'V', 'P', '8', 'X'};
    put_le32(chunks, 10);
    put_le32(chunks, 0);  // no flags
    for (const std::uint32_t side : {width - 1, height - 1})
        chunks.insert(chunks.end(), {static_cast<unsigned char>(side), static_cast<unsigned char>(side >> 8),
                                     static_cast<unsigned char>(side >> 16)});
    chunks.insert(chunks.end(), inner.begin() + 12, inner.end());
    Bytes out{'R', 'I', 'F', 'F'};
    put_le32(out, static_cast<std::uint32_t>(4 + chunks.size()));
    out.insert(out.end(), {'W', 'E', 'B', 'P'});
    out.insert(out.end(), chunks.begin(), chunks.end());
    return out;
}

// A little-endian TIFF with the given tags of its first IFD changed to one LONG value each. The
// tags must be there with a single value.
Bytes tiff_with(Bytes tiff, std::initializer_list<std::pair<std::uint16_t, std::uint32_t>> tags) {
    const auto u16 = [&](std::size_t at) { return std::uint32_t{tiff[at]} | std::uint32_t{tiff[at + 1]} << 8; };
    const std::size_t ifd = u16(4) | u16(6) << 16;
    const std::uint32_t entries = u16(ifd);
    for (const auto& [tag, value] : tags) {
        bool found = false;
        for (std::uint32_t i = 0; i < entries && !found; ++i) {
            const std::size_t entry = ifd + 2 + std::size_t{i} * 12;
            if (u16(entry) != tag) continue;
            Bytes patched;
            put_le16(patched, tag);
            put_le16(patched, 4);
            put_le32(patched, 1);
            put_le32(patched, value);
            std::copy(patched.begin(), patched.end(), tiff.begin() + static_cast<std::ptrdiff_t>(entry));
            found = true;
        }
        if (!found) throw std::runtime_error("the TIFF lacks tag " + std::to_string(tag));
    }
    return tiff;
}

constexpr std::uint16_t tiff_width = 256, tiff_height = 257, tiff_rows_per_strip = 278, tiff_strip_bytes = 279,
                        tiff_tile_width = 322, tiff_tile_length = 323;

// A TIFF of one page of 64 x 48 grey in a single strip, uncompressed.
Bytes tiff_grey(const test_support::TiffPage& format = {}) {
    test_support::TiffPage page = format;
    page.raster = noise(64, 48, 1);
    if (page.tile_size == 0) page.rows_per_strip = 48;
    return test_support::encode_tiff({page});
}

// A little-endian TIFF of `pages` 1 x 1 grey pages, each with its own IFD; with `loop` the last
// IFD points back to the first.
Bytes tiff_pages(std::uint32_t pages, bool loop = false) {
    Bytes out{'I', 'I', '*', 0};
    put_le32(out, 8);
    constexpr std::uint32_t entries = 8, ifd_size = 2 + entries * 12 + 4;
    for (std::uint32_t page = 0; page < pages; ++page) {
        const std::uint32_t ifd = 8 + page * (ifd_size + 2);
        const std::uint32_t pixel = ifd + ifd_size;
        put_le16(out, entries);
        auto entry = [&](std::uint32_t tag, std::uint32_t type, std::uint32_t value) {
            put_le16(out, tag);
            put_le16(out, type);
            put_le32(out, 1);
            put_le32(out, type == 3 ? (value & 0xFFFF) : value);
        };
        entry(256, 3, 1);      // width
        entry(257, 3, 1);      // height
        entry(258, 3, 8);      // bits per sample
        entry(259, 3, 1);      // no compression
        entry(262, 3, 1);      // black is zero
        entry(273, 4, pixel);  // strip offset
        entry(278, 3, 1);      // rows per strip
        entry(279, 4, 1);      // strip byte count
        const bool last = page + 1 == pages;
        put_le32(out, last ? (loop ? 8 : 0) : ifd + ifd_size + 2);
        out.push_back(static_cast<unsigned char>(page * 7));
        out.push_back(0);
    }
    return out;
}

// --- running a call --------------------------------------------------------------------------

// The outcome of one call: "none", or "WxH" after checking the buffer against the size.
std::string prepare(const Bytes& file) {
    const auto rgb = tarnwick::prepare_rgb(file.data(), file.size(), budget);
    if (!rgb) return "none";
    if (rgb->width == 0 || rgb->height == 0 || rgb->pixels.size() != std::size_t{rgb->width} * rgb->height * 3)
        return "inconsistent";
    return std::to_string(rgb->width) + "x" + std::to_string(rgb->height);
}

// A 2 x 1 PNG, red then blue: the call after each hostile one must decode it exactly.
bool next_call_works() {
    const Bytes png = test_support::encode_png(Raster{2, 1, 3, 8, {255, 0, 0, 0, 0, 255}, {}});
    const auto rgb = tarnwick::prepare_rgb(png.data(), png.size(), budget);
    return rgb && rgb->width == 2 && rgb->height == 1 &&
           rgb->pixels == std::vector<unsigned char>{255, 0, 0, 0, 0, 255};
}

long worst_peak_kib = 0;
std::string worst_case;

void note_peak(const std::string& what, const ChildRun& run) {
    if (!test_support::can_measure_peak_rss) return;
    std::cout << "peak RSS " << run.peak_rss_kib / 1024 << " MiB: " << what << "\n";
    if (run.peak_rss_kib > worst_peak_kib) {
        worst_peak_kib = run.peak_rss_kib;
        worst_case = what;
    }
}

// The bytes of the RGB image that an outcome "WxH" stands for; 0 for "none".
std::uint64_t output_bytes(const std::string& outcome) {
    const std::size_t x = outcome.find('x');
    if (x == std::string::npos) return 0;
    return std::stoull(outcome.substr(0, x)) * std::stoull(outcome.substr(x + 1)) * 3;
}

// Peak memory allowed for one call: the process as it starts, the file bytes, what the decoder
// may hold (`held`, at most the allowance), the RGB image, and a margin for the rows in flight
// (a decoder's row buffers, the scaler's window of source rows, its weights and sums). The
// sanitizer runtime adds its shadow memory and keeps freed memory for a while.
long memory_ceiling_kib(std::uint64_t file_bytes, std::uint64_t held, std::uint64_t output) {
#if defined(__SANITIZE_ADDRESS__)
    constexpr long process_kib = 384L << 10;
#else
    constexpr long process_kib = 32L << 10;
#endif
    constexpr long margin_kib = 64L << 10;
    const std::uint64_t bytes = file_bytes + std::min(held, allowance) + output;
    return process_kib + margin_kib + static_cast<long>(bytes / 1024) * (sanitized ? 2 : 1);
}

// --- files cut short -------------------------------------------------------------------------

struct Sample {
    std::string what;
    Bytes file;
};

// One small file of each decoder and layout, 64 x 48.
std::vector<Sample> samples() {
    using namespace test_support;
    constexpr std::uint32_t W = 64, H = 48;
    const Palette palette16 = varied_palette(16);
    Palette see_through = varied_palette(16);
    see_through[3].a = 0;
    see_through[5].a = 128;
    const Raster indices4 =
        make_raster(W, H, 1, 4, [](std::uint32_t x, std::uint32_t y, std::uint32_t) { return x * 3 + y; });
    const Raster indices8 =
        make_raster(W, H, 1, 8, [](std::uint32_t x, std::uint32_t y, std::uint32_t) { return (x ^ y) & 15; });
    const Raster smooth = smooth_raster(W, H, 3), smooth_grey = smooth_raster(W, H, 1), ink = smooth_raster(W, H, 4);
    auto tiff = [&](Raster r, TiffCompression compression, auto&&... more) {
        TiffPage page;
        page.raster = std::move(r);
        page.compression = compression;
        (more(page), ...);
        return encode_tiff({page});
    };
    auto bmp = [&](const Raster& r, BmpOptions o) { return encode_bmp(r, o); };
    std::vector<Sample> out = {
        {"PNG RGB 8", encode_png(noise(W, H))},
        {"PNG RGBA 16", encode_png(varied_raster(W, H, 4, 16))},
        {"PNG grey 2-bit", encode_png(varied_raster(W, H, 1, 2))},
        {"PNG palette 4-bit with tRNS", encode_png(indices4, {.palette = see_through})},
        {"PNG interlaced RGB 8", encode_png(noise(W, H), {.interlaced = true})},
        {"PNG interlaced grey+alpha 16", encode_png(varied_raster(W, H, 2, 16), {.interlaced = true})},
        {"JPEG YCbCr 4:2:0", encode_jpeg(smooth)},
        {"JPEG grey", encode_jpeg(smooth_grey, {.colour = JpegColour::grey})},
        {"JPEG progressive", encode_jpeg(smooth, {.progressive = true})},
        {"JPEG Adobe CMYK", encode_jpeg(ink, {.colour = JpegColour::adobe_cmyk})},
        {"JPEG YCCK progressive", encode_jpeg(ink, {.colour = JpegColour::ycck, .progressive = true})},
        {"GIF", encode_gif({{.indices = noise(W, H, 1)}}, {.palette = varied_palette(256)})},
        {"GIF interlaced", encode_gif({{.indices = noise(W, H, 1), .interlaced = true}}, {.palette = varied_palette(256)})},
        {"GIF frame inside its screen, transparent index, local table",
         encode_gif({{.indices = make_raster(40, 30, 1, 8, [](std::uint32_t x, std::uint32_t y, std::uint32_t) { return (x + y) % 7; }),
                      .left = 10,
                      .top = 8,
                      .local_palette = varied_palette(8),
                      .transparent = 2}},
                    {.screen_width = W, .screen_height = H, .palette = varied_palette(2)})},
        {"WebP lossy", encode_webp(smooth)},
        {"WebP lossy with alpha", encode_webp(ink)},
        {"WebP lossless RGBA", encode_webp(noise(W, H, 4), {.lossless = true})},
        {"WebP animation", encode_webp_animation({noise(W, H, 4), smooth_raster(W, H, 4)}, {.lossless = true})},
        {"TIFF RGB 8", tiff(noise(W, H), TiffCompression::none)},
        {"TIFF grey 16 big-endian, LZW",
         [&] {
             TiffPage page;
             page.raster = varied_raster(W, H, 1, 16);
             page.compression = TiffCompression::lzw;
             return encode_tiff({page}, {.big_endian = true});
         }()},
        {"TIFF grey+alpha 8, deflate", tiff(varied_raster(W, H, 2, 8), TiffCompression::deflate)},
        {"TIFF RGBA 16, LZW with differencing", tiff(varied_raster(W, H, 4, 16), TiffCompression::lzw, [](TiffPage& p) { p.predictor = 2; })},
        {"TIFF RGBA 8, associated alpha", tiff(varied_raster(W, H, 4, 8), TiffCompression::none, [](TiffPage& p) { p.associated_alpha = true; })},
        {"TIFF tiled RGB 8, deflate", tiff(noise(W, H), TiffCompression::deflate, [](TiffPage& p) { p.tile_size = 16; })},
        {"TIFF float RGB, floating-point predictor",
         tiff(float_raster(W, H, 3, true), TiffCompression::deflate, [](TiffPage& p) { p.predictor = 3; })},
        {"TIFF float RGBA", tiff(float_raster(W, H, 4, false), TiffCompression::none)},
        {"TIFF palette 8-bit", tiff(indices8, TiffCompression::packbits, [&](TiffPage& p) { p.palette = palette16; })},
        {"TIFF CMYK", tiff(ink, TiffCompression::lzw, [](TiffPage& p) { p.cmyk = true; })},
        {"TIFF bilevel, PackBits", tiff(varied_raster(W, H, 1, 1), TiffCompression::packbits)},
        {"TIFF bilevel, CCITT G4", tiff(varied_raster(W, H, 1, 1), TiffCompression::ccitt_fax4)},
        {"BMP 24-bit", bmp(noise(W, H), {})},
        {"BMP RLE8", bmp(indices8, {.bits = 8, .compression = BmpCompression::rle8, .palette = palette16})},
        {"BMP RLE4", bmp(indices4, {.bits = 4, .compression = BmpCompression::rle4, .palette = palette16})},
        {"BMP 16-bit bit fields 5-6-5",
         bmp(make_raster(W, H, 3, 6, [](std::uint32_t x, std::uint32_t y, std::uint32_t c) { return c == 1 ? x : (x + y) & 31; }),
             {.bits = 16, .compression = BmpCompression::bitfields, .masks = {0xF800, 0x07E0, 0x001F, 0}})},
        {"BMP 32-bit V5 with alpha",
         bmp(noise(W, H, 4), {.header = BmpHeader::v5, .bits = 32, .compression = BmpCompression::bitfields,
                              .masks = {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000}})},
        {"BMP OS/2 1-bit", bmp(varied_raster(W, H, 1, 1), {.header = BmpHeader::os2, .bits = 1, .palette = varied_palette(2)})},
        {"BMP 4-bit top-down", bmp(indices4, {.bits = 4, .top_down = true, .palette = palette16})},
    };
    return out;
}

// Every byte of the first and last 64, and 32 points between.
std::vector<std::size_t> cut_points(std::size_t n) {
    std::set<std::size_t> cuts;
    for (std::size_t i = 0; i <= std::min<std::size_t>(64, n); ++i) cuts.insert(i);
    for (std::size_t i = 0; i <= std::min<std::size_t>(64, n); ++i) cuts.insert(n - i);
    for (std::size_t k = 1; k < 32; ++k) cuts.insert(n * k / 32);
    return {cuts.begin(), cuts.end()};
}

TEST(HostileImage, FilesCutAnywhere) {
    for (const Sample& sample : samples()) {
        SCOPED_TRACE(sample.what);
        const Bytes& file = sample.file;
        ASSERT_GT(file.size(), 64u);
        const std::vector<std::size_t> cuts = cut_points(file.size());
        const ChildRun run = test_support::run_in_child([&] {
            std::string outcomes;
            for (const std::size_t cut : cuts) {
                outcomes += prepare(Bytes(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(cut))) +
                            (next_call_works() ? " " : "! ");
            }
            return outcomes;
        });
        EXPECT_EQ(run.exit_code, 0);
        // Whatever is cut, the result is the whole picture or nothing, and the next call works.
        EXPECT_EQ(run.report.find('!'), std::string::npos) << run.report;
        EXPECT_EQ(run.report.find("inconsistent"), std::string::npos) << run.report;
        std::size_t decoded = 0;
        for (std::size_t at = 0; (at = run.report.find('x', at)) != std::string::npos; ++at, ++decoded) {
            EXPECT_EQ(run.report.compare(at - 2, 5, "64x48"), 0) << run.report;
        }
        EXPECT_TRUE(run.report.starts_with("none none none ")) << run.report;
        EXPECT_TRUE(run.report.ends_with("64x48 ")) << run.report;
        std::cout << sample.what << ": " << cuts.size() << " cuts, " << decoded << " decoded\n";
        note_peak("cut " + sample.what, run);
        if (test_support::can_measure_peak_rss) {
            EXPECT_LT(run.peak_rss_kib, memory_ceiling_kib(file.size(), 64 * 48 * 16, 64 * 48 * 3));
        }
    }
}

// --- hostile headers and the largest images --------------------------------------------------

constexpr std::uint64_t streams = 0;  // a decoder that holds nothing of note

struct HeaderCase {
    const char* what;
    std::function<Bytes()> file;
    std::string outcome;  // "" when either an image or nothing is sound
    std::uint64_t held;   // what the decoder may hold at most
    bool large = false;   // seconds under the sanitizers: left to the release build there
};

void run_cases(const std::vector<HeaderCase>& cases) {
    for (const HeaderCase& c : cases) {
        SCOPED_TRACE(c.what);
        if (sanitized && c.large) {
            std::cout << c.what << ": left to the release build\n";
            continue;
        }
        std::size_t file_size = 0;
        // The file is made in the child too, so that a large one never weighs on this process.
        ChildRun run = test_support::run_in_child([&] {
            const Bytes file = c.file();
            return prepare(file) + (next_call_works() ? "" : " then broken") + "\t" + std::to_string(file.size());
        });
        EXPECT_EQ(run.exit_code, 0);
        if (const std::size_t tab = run.report.find('\t'); tab != std::string::npos) {
            file_size = std::stoul(run.report.substr(tab + 1));
            run.report.resize(tab);
        }
        std::cout << c.what << " (" << file_size << " bytes): " << run.report << "\n";
        EXPECT_EQ(run.report.find("then broken"), std::string::npos) << run.report;
        EXPECT_NE(run.report, "inconsistent");
        if (!c.outcome.empty()) {
            EXPECT_EQ(run.report, c.outcome);
        }
        note_peak(c.what, run);
        if (test_support::can_measure_peak_rss) {
            EXPECT_LT(run.peak_rss_kib, memory_ceiling_kib(file_size, c.held, output_bytes(run.report)));
        }
    }
}

// The bytes of a side x side image of `pixel_bytes` a pixel.
constexpr std::uint64_t square(std::uint64_t side, std::uint64_t pixel_bytes) { return side * side * pixel_bytes; }

TEST(HostileImage, PngHeaders) {
    using test_support::png_claiming;
    run_cases({
        {"PNG claiming 100,000 x 100,000 RGB", [] { return png_claiming(100000, 100000, 2, 8, 4); }, "none", streams},
        {"PNG claiming 100,000 x 100,000 grey, 1 bit", [] { return png_claiming(100000, 100000, 0, 1, 4); }, "none",
         streams},
        {"PNG claiming 20,000 x 20,000 grey, 400 MB of samples", [] { return png_claiming(20000, 20000, 0, 8, 2); }, "",
         streams},
        {"PNG claiming 8,193 x 8,192 RGBA 16, one column over the allowance",
         [] { return png_claiming(8193, 8192, 6, 16, 1); }, "none", streams},
        {"PNG of 0 x 0", [] { return png_claiming(0, 0, 2, 8, 1); }, "none", streams},
        {"PNG of 0 x 10", [] { return png_claiming(0, 10, 2, 8, 1); }, "none", streams},
        {"PNG of 5,000 x 5,000 grey, complete", [] { return test_support::uniform_png(5000, 5000, 0, 8); }, "1792x1792",
         streams},
        {"PNG of 3,000 x 3,000 RGBA 16, complete", [] { return test_support::uniform_png(3000, 3000, 6, 16); },
         "1792x1792", streams},
        // Interlaced rows are held whole, in the file's layout, from the start of decoding.
        {"PNG interlaced of 3,000 x 3,000 grey+alpha 16, complete",
         [] { return test_support::uniform_png(3000, 3000, 4, 16, 0x40, true); }, "1792x1792", square(3000, 4)},
        {"PNG interlaced claiming 8,193 x 8,192 RGBA 16", [] { return interlaced(png_claiming(8193, 8192, 6, 16, 1)); },
         "none", streams},
        {"PNG interlaced claiming the largest RGBA 8 (11,585 x 11,585), one row of data",
         [] { return interlaced(png_claiming(11585, 11585, 6, 8, 1)); }, "none", square(11585, 4), true},
        {"PNG of 400,000 x 300 grey, complete: a wide image through the scaler",
         [] { return test_support::uniform_png(400000, 300, 0, 8); }, "65434x49", streams, true},
        // The 28-pixel floor lets a thin strip's output grow past any budget: the output and the
        // scaler's weights are held to the allowance, beyond it the fallback road takes the file.
        {"PNG of 536,870,912 x 1 grey (its output would be 3.3 GiB)",
         [] { return png_claiming(536870912, 1, 0, 8, 1); }, "none", streams},
        // (The child that makes this file holds two of its rows while it deflates them.)
        {"PNG of 53,687,091 x 10 grey, complete (its output and weights would be 1.6 GiB)",
         [] { return test_support::uniform_png(53687091, 10, 0, 8); }, "none", std::uint64_t{53687091} * 2, true},
        {"PNG of 10 x 1,000,000 grey, complete: raised to 28 x 566,680 as the rule says",
         [] { return test_support::uniform_png(10, 1000000, 0, 8); }, "28x566680", streams, true},
    });
}

TEST(HostileImage, JpegHeaders) {
    using test_support::JpegColour;
    run_cases({
        {"JPEG claiming 13,000 x 13,000 RGB", [] { return jpeg_claiming(13000, 13000); }, "", streams, true},
        {"JPEG claiming 3,000 x 3,000 RGB", [] { return jpeg_claiming(3000, 3000); }, "", streams},
        {"JPEG claiming 23,000 x 23,000 RGB", [] { return jpeg_claiming(23000, 23000); }, "none", streams},
        {"JPEG claiming 0 x 0", [] { return jpeg_claiming(0, 0); }, "none", streams},
        {"JPEG claiming 16 x 0", [] { return jpeg_claiming(16, 0); }, "none", streams},
        // CMYK counts as the RGB it becomes: 3 bytes a pixel, not 4.
        {"Adobe CMYK JPEG claiming 13,377 x 13,377",
         [] { return jpeg_claiming(13377, 13377, {.colour = JpegColour::adobe_cmyk}); }, "", streams, true},
        {"Adobe CMYK JPEG claiming 13,378 x 13,378",
         [] { return jpeg_claiming(13378, 13378, {.colour = JpegColour::adobe_cmyk}); }, "none", streams},
        // A progressive file keeps every coefficient until its last scan: 1.5 samples of 2 bytes a
        // pixel at 4:2:0, the RGB image's own size.
        {"progressive JPEG claiming 13,377 x 13,377 YCbCr 4:2:0",
         [] { return jpeg_claiming(13377, 13377, {.progressive = true}); }, "", allowance, true},
        // libjpeg's working memory is held to the allowance: four full components' coefficients
        // are over it, and the file takes the fallback road before any scan is decoded.
        {"progressive YCCK JPEG claiming 13,377 x 13,377",
         [] { return jpeg_claiming(13377, 13377, {.colour = JpegColour::ycck, .progressive = true}); }, "none",
         streams, true},
    });
}

TEST(HostileImage, GifHeaders) {
    using test_support::gif_claiming;
    run_cases({
        {"GIF with a 65,535 x 65,535 screen and a 1 x 1 frame", [] { return gif_claiming(65535, 65535, 1, 1); }, "none",
         streams},
        {"GIF with a 11,586 x 11,585 screen, one column over the allowance",
         [] { return gif_claiming(11586, 11585, 1, 1); }, "none", streams},
        {"GIF with a 4,000 x 4,000 screen and a 1 x 1 frame", [] { return gif_claiming(4000, 4000, 1, 1); },
         "1792x1792", streams},
        {"GIF with a 1 x 1 screen and a 65,535 x 65,535 frame", [] { return gif_claiming(1, 1, 65535, 65535); }, "",
         streams},
        {"GIF of 0 x 0", [] { return gif_claiming(0, 0, 0, 0); }, "", streams},
        {"GIF with the largest screen (11,585 x 11,585) and a 1 x 1 frame",
         [] { return gif_claiming(11585, 11585, 1, 1); }, "1792x1792", streams, true},
        // An interlaced frame's indices are held, one byte a pixel; its data ends after one pixel.
        {"GIF with an interlaced 11,585 x 11,585 frame, one pixel of data",
         [] { return interlaced_gif_claiming(11585, 11585); }, "none", square(11585, 1), true},
    });
}

TEST(HostileImage, WebpHeaders) {
    using test_support::webp_lossless_claiming;
    run_cases({
        {"lossless WebP of 16,384 x 16,384", [] { return webp_lossless_claiming(16384, 16384, 0xFF336699, true); },
         "none", streams},
        {"lossless WebP of 11,586 x 11,585, one column over the allowance",
         [] { return webp_lossless_claiming(11586, 11585, 0xFF336699, false); }, "none", streams},
        {"lossy WebP claiming 16,383 x 16,383", [] { return vp8_claiming(16383, 16383); }, "none", streams},
        {"lossy WebP claiming 13,000 x 13,000", [] { return vp8_claiming(13000, 13000); }, "", square(13000, 3)},
        {"lossy WebP claiming 0 x 0", [] { return vp8_claiming(0, 0); }, "none", streams},
        {"WebP canvas of 16,777,216 x 16,777,216 around a 1 x 1 image",
         [] { return webp_canvas_claiming(16777216, 16777216); }, "none", streams},
        {"WebP canvas of 4,000 x 4,000 around a 1 x 1 image", [] { return webp_canvas_claiming(4000, 4000); }, "none",
         streams},
        // libwebp holds a lossless image whole as ARGB, which the allowance counts as RGBA.
        {"lossless WebP of the largest size (11,585 x 11,585), no pixel data",
         [] { return webp_lossless_claiming(11585, 11585, 0x80336699, true); }, "1792x1792", allowance, true},
    });
}

TEST(HostileImage, TiffHeaders) {
    test_support::TiffPage tiled;
    tiled.tile_size = 16;
    run_cases({
        {"TIFF claiming 100,000 x 100,000 grey",
         [] {
             return tiff_with(tiff_grey(), {{tiff_width, 100000}, {tiff_height, 100000}});
         },
         "none", streams},
        {"TIFF of 0 x 0",
         [] {
             return tiff_with(tiff_grey(), {{tiff_width, 0}, {tiff_height, 0}});
         },
         "none", streams},
        {"TIFF of 64 x 0",
         [] {
             return tiff_with(tiff_grey(), {{tiff_height, 0}});
         },
         "none", streams},
        {"TIFF claiming 23,170 x 23,170 grey in one strip of 3,072 bytes",
         [] {
             return tiff_with(tiff_grey(), {{tiff_width, 23170}, {tiff_height, 23170}, {tiff_rows_per_strip, 23170}});
         },
         "none", allowance},
        {"TIFF claiming 20,000 x 20,000 grey in strips of 48 rows, one of them in the file",
         [] {
             return tiff_with(tiff_grey(), {{tiff_width, 20000}, {tiff_height, 20000}});
         },
         "none", allowance},
        // The strip's rows are all there: either reading is sound, taking 4 GiB is not.
        {"TIFF whose strip claims 4 GiB",
         [] {
             return tiff_with(tiff_grey(), {{tiff_strip_bytes, 0xFFFFFFF0}});
         },
         "", streams},
        {"TIFF whose rows per strip claim 2^32 - 1",
         [] {
             return tiff_with(tiff_grey(), {{tiff_rows_per_strip, 0xFFFFFFFF}});
         },
         "64x48", streams},
        {"TIFF with tiles of 65,536 x 65,536",
         [&] {
             return tiff_with(tiff_grey(tiled), {{tiff_tile_width, 65536}, {tiff_tile_length, 65536}});
         },
         "none", streams},
        {"TIFF with tiles of 23,168 x 23,168 over a 64 x 48 image",
         [&] {
             return tiff_with(tiff_grey(tiled), {{tiff_tile_width, 23168}, {tiff_tile_length, 23168}});
         },
         "none", allowance},
        {"TIFF with 5,000 pages", [] { return tiff_pages(5000); }, "1x1", streams},
        {"TIFF whose pages loop", [] { return tiff_pages(3, true); }, "", streams},
        {"TIFF bilevel CCITT G4 page of the largest size (23,170 x 23,170)",
         [] {
             test_support::TiffPage fax;
             fax.compression = test_support::TiffCompression::ccitt_fax4;
             fax.rows_per_strip = 256;
             return test_support::encode_tiff_rows(
                 {23170, 23170, 1, 1, [](std::uint32_t y, std::uint16_t* out) { std::fill_n(out, 23170, y / 64 % 2); }},
                 fax);
         },
         "1792x1792", allowance, true},
    });
}

TEST(HostileImage, BmpHeaders) {
    using test_support::bmp_claiming;
    using test_support::bmp_rle_claiming;
    run_cases({
        {"BMP stored top-down (negative height)", [] { return bmp_claiming(2, -2, Bytes(16, 0x7F)); }, "2x2", streams},
        {"BMP with the most negative height", [] { return bmp_claiming(2, INT32_MIN, Bytes(16, 0)); }, "none", streams},
        {"BMP claiming 100,000 x 100,000", [] { return bmp_claiming(100000, 100000, Bytes(16, 0)); }, "none", streams},
        {"BMP claiming 13,377 x 13,377, its rows missing", [] { return bmp_claiming(13377, 13377, Bytes(16, 0)); },
         "none", streams},
        {"BMP of 0 x 0", [] { return bmp_claiming(0, 0, {}); }, "none", streams},
        {"BMP of 0 x -5", [] { return bmp_claiming(0, -5, {}); }, "none", streams},
        {"RLE8 BMP claiming 30,000 x 30,000",
         [] {
             return bmp_rle_claiming(30000, 30000, 8, {0, 1});
         },
         "none", streams},
        {"RLE4 BMP of 13,378 x 13,378, one column over the allowance",
         [] {
             return bmp_rle_claiming(13378, 13378, 4, {0, 1});
         },
         "none", streams},
        {"RLE8 BMP of 13,377 x 13,377 whose codes run out",
         [] {
             return bmp_rle_claiming(13377, 13377, 8, {200, 1, 0, 0});
         },
         "none", square(13377, 1), true},
        // RLE indices are held, one byte a pixel.
        {"RLE4 BMP of the largest size (13,377 x 13,377), ended at once",
         [] {
             return bmp_rle_claiming(13377, 13377, 4, {0, 1});
         },
         "1792x1792", square(13377, 1), true},
    });
}

TEST(HostileImage, TopDownBmpKeepsItsRowOrder) {
    // Stored top row first because the height is negative: red, green / blue, white.
    const Bytes file = test_support::bmp_claiming(2, -2,
                                                  {0, 0, 0xFF, 0, 0xFF, 0, 0, 0,          // red, green, padding
                                                   0xFF, 0, 0, 0xFF, 0xFF, 0xFF, 0, 0});  // blue, white, padding
    const ChildRun run = test_support::run_in_child([&] {
        const auto rgb = tarnwick::prepare_rgb(file.data(), file.size(), budget);
        if (!rgb) return std::string("none");
        return std::string(rgb->pixels.begin(), rgb->pixels.end());
    });
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.report, std::string("\xFF\0\0\0\xFF\0\0\0\xFF\xFF\xFF\xFF", 12));
}

class WorstPeak : public testing::Environment {
public:
    void TearDown() override {
        if (worst_peak_kib > 0)
            std::cout << "worst peak RSS " << worst_peak_kib / 1024 << " MiB: " << worst_case << "\n";
    }
};
const auto* const worst_peak = testing::AddGlobalTestEnvironment(new WorstPeak);

}  // namespace
