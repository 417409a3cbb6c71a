// Image preparation against hostile files: every format cut short, headers that claim enormous or
// empty images, a GIF whose logical screen dwarfs its frame, a TIFF with thousands of pages, BMPs
// stored top-down or with absurd heights. Each call gives an RGB image of consistent size or
// nothing (the fallback road), the next call still works, and the process's peak memory stays
// within the decoder's allowance plus its working memory.
//
// On Linux every case runs in a forked child, whose peak memory is measured; Windows has no fork,
// and there the cases run in the test process, their memory unmeasured.
#include <gtest/gtest.h>

#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "support/image_fixtures.h"
#include "support/run_process.h"
#include "tarnwick/image.h"

namespace {

using test_support::Bytes;
using test_support::ChildRun;
const std::uint64_t budget = tarnwick::pixel_budget(4096);

void put_le16(Bytes& out, std::uint32_t v) {
    out.push_back(static_cast<unsigned char>(v));
    out.push_back(static_cast<unsigned char>(v >> 8));
}
void put_le32(Bytes& out, std::uint32_t v) {
    put_le16(out, v & 0xFFFF);
    put_le16(out, v >> 16);
}

// 8-bit RGB noise, which no encoder can shrink much.
test_support::Raster noise(std::uint32_t width, std::uint32_t height, std::uint32_t channels = 3) {
    std::uint32_t seed = 12345;
    return test_support::make_raster(width, height, channels, 8, [&](std::uint32_t, std::uint32_t, std::uint32_t) {
        seed = seed * 1103515245 + 12345;
        return seed >> 24;
    });
}

// A noisy picture of width x height in the given format.
Bytes encode(const std::string& format, std::uint32_t width, std::uint32_t height) {
    if (format == "PNG") return test_support::encode_png(noise(width, height));
    if (format == "JPEG") return test_support::encode_jpeg(noise(width, height));
    if (format == "GIF")
        return test_support::encode_gif({{.indices = noise(width, height, 1)}}, {.palette = test_support::varied_palette(256)});
    if (format == "WEBP") return test_support::encode_webp(noise(width, height));
    if (format == "TIFF") return test_support::encode_tiff({{.raster = noise(width, height)}});
    return test_support::encode_bmp(noise(width, height));
}

// A JPEG of 16 x 16 whose frame header is changed to claim width x height: the scan data runs
// out at once, and the decoder fills the rest with grey.
Bytes jpeg_claiming(std::uint16_t width, std::uint16_t height) {
    Bytes file = encode("JPEG", 16, 16);
    for (std::size_t at = 2; at + 9 < file.size(); ++at) {
        if (file[at] == 0xFF && (file[at + 1] == 0xC0 || file[at + 1] == 0xC2)) {
            file[at + 5] = static_cast<unsigned char>(height >> 8);
            file[at + 6] = static_cast<unsigned char>(height);
            file[at + 7] = static_cast<unsigned char>(width >> 8);
            file[at + 8] = static_cast<unsigned char>(width);
            break;
        }
    }
    return file;
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
    const Bytes png = test_support::encode_png(test_support::Raster{2, 1, 3, 8, {255, 0, 0, 0, 0, 255}, {}});
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

// Peak memory allowed for one call that decodes `pixels` pixels. The sample allowance is counted
// in the file's own layout (1 to 16 bytes a pixel), but the library holds every pixel in its 16-bit
// RGBA cache (8 bytes), its readers keep a row buffer or a whole image in the file's layout, and
// scaling adds two smaller copies: 9 to 14 bytes a pixel measured, 16 allowed, on top of
// the process itself. The sanitizer runtime keeps freed memory for a while.
long memory_ceiling_kib(std::uint64_t pixels) {
#if defined(__SANITIZE_ADDRESS__)
    constexpr long process_kib = 384L << 10;
#else
    constexpr long process_kib = 64L << 10;
#endif
    return process_kib + static_cast<long>(pixels * 16 / 1024);
}

TEST(HostileImage, TruncatedFilesOfEveryFormat) {
    const char* formats[] = {"PNG", "JPEG", "GIF", "WEBP", "TIFF", "BMP"};
    for (const char* format : formats) {
        SCOPED_TRACE(format);
        const Bytes file = encode(format, 64, 48);
        ASSERT_GT(file.size(), 64u);
        const std::size_t n = file.size();
        const std::size_t cuts[] = {0, 1, 2, 8, 12, 16, 20, 26, 33, 40, 64, n / 4, n / 2, 3 * n / 4, n - 2, n - 1, n};
        const ChildRun run = test_support::run_in_child([&] {
            std::string outcomes;
            for (const std::size_t cut : cuts) {
                outcomes += prepare(Bytes(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(cut))) +
                            (next_call_works() ? " " : "! ");
            }
            return outcomes;
        });
        EXPECT_EQ(run.exit_code, 0);
        std::cout << format << " cut at";
        for (const std::size_t cut : cuts) std::cout << " " << cut;
        std::cout << ": " << run.report << "\n";
        // Whatever is cut, the result is the whole picture or nothing, and the next call works.
        EXPECT_EQ(run.report.find('!'), std::string::npos) << run.report;
        EXPECT_EQ(run.report.find("inconsistent"), std::string::npos) << run.report;
        for (std::size_t at = 0; (at = run.report.find('x', at)) != std::string::npos; ++at) {
            EXPECT_EQ(run.report.compare(at - 2, 5, "64x48"), 0) << run.report;
        }
        EXPECT_TRUE(run.report.starts_with("none none none ")) << run.report;
        EXPECT_TRUE(run.report.ends_with("64x48 ")) << run.report;
        note_peak(std::string("truncated ") + format, run);
        if (test_support::can_measure_peak_rss) {
            EXPECT_LT(run.peak_rss_kib, memory_ceiling_kib(64 * 48));
        }
    }
}

TEST(HostileImage, HostileHeaders) {
    struct Case {
        const char* what;
        std::function<Bytes()> file;
        std::string outcome;   // "" when either an image or nothing is sound
        std::uint64_t pixels;  // what the decoder may hold at most (0: nothing of note)
    };
    const Case cases[] = {
        {"PNG claiming 100,000 x 100,000 RGB", [] { return test_support::png_claiming(100000, 100000, 2, 8, 4); }, "none"},
        {"PNG claiming 100,000 x 100,000 grey, 1 bit", [] { return test_support::png_claiming(100000, 100000, 0, 1, 4); }, "none"},
        {"PNG claiming 20,000 x 20,000 grey, 400 MB of samples", [] { return test_support::png_claiming(20000, 20000, 0, 8, 2); }, "", 400000000},
        {"PNG of 5,000 x 5,000 grey, complete", [] { return test_support::uniform_png(5000, 5000, 0, 8); }, "1792x1792", 25000000},
        {"PNG of 3,000 x 3,000 RGBA, complete", [] { return test_support::uniform_png(3000, 3000, 6, 8); }, "1792x1792", 9000000},
        {"JPEG claiming 13,000 x 13,000 RGB", [] { return jpeg_claiming(13000, 13000); }, "", 169000000},
        {"JPEG claiming 23,000 x 23,000 RGB", [] { return jpeg_claiming(23000, 23000); }, "none"},
        {"PNG of 0 x 0", [] { return test_support::png_claiming(0, 0, 2, 8, 1); }, "none"},
        {"PNG of 0 x 10", [] { return test_support::png_claiming(0, 10, 2, 8, 1); }, "none"},
        {"GIF with a 65,535 x 65,535 screen and a 1 x 1 frame", [] { return test_support::gif_claiming(65535, 65535, 1, 1); }, "none"},
        {"GIF with a 4,000 x 4,000 screen and a 1 x 1 frame", [] { return test_support::gif_claiming(4000, 4000, 1, 1); }, "1792x1792", 16000000},
        {"GIF with a 1 x 1 screen and a 65,535 x 65,535 frame", [] { return test_support::gif_claiming(1, 1, 65535, 65535); }, ""},
        {"GIF of 0 x 0", [] { return test_support::gif_claiming(0, 0, 0, 0); }, ""},
        {"TIFF with 5,000 pages", [] { return tiff_pages(5000); }, "1x1"},
        {"TIFF whose pages loop", [] { return tiff_pages(3, true); }, ""},
        {"BMP stored top-down (negative height)", [] { return test_support::bmp_claiming(2, -2, Bytes(16, 0x7F)); }, "2x2"},
        {"BMP with the most negative height", [] { return test_support::bmp_claiming(2, INT32_MIN, Bytes(16, 0)); }, "none"},
        {"BMP claiming 100,000 x 100,000", [] { return test_support::bmp_claiming(100000, 100000, Bytes(16, 0)); }, "none"},
        {"BMP of 0 x 0", [] { return test_support::bmp_claiming(0, 0, {}); }, "none"},
        {"BMP of 0 x -5", [] { return test_support::bmp_claiming(0, -5, {}); }, "none"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::size_t file_size = 0;
        // The file is made in the child too, so that a huge one never weighs on this process.
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
            EXPECT_LT(run.peak_rss_kib, memory_ceiling_kib(c.pixels));
        }
    }
}

TEST(HostileImage, TopDownBmpKeepsItsRowOrder) {
    // Stored top row first because the height is negative: red, green / blue, white.
    const Bytes file = test_support::bmp_claiming(2, -2, {0, 0, 0xFF, 0, 0xFF, 0, 0, 0,         // red, green, padding
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
        if (worst_peak_kib > 0) std::cout << "worst peak RSS " << worst_peak_kib / 1024 << " MiB: " << worst_case << "\n";
    }
};
const auto* const worst_peak = testing::AddGlobalTestEnvironment(new WorstPeak);

}  // namespace
