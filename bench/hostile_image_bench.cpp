// Peak memory and time of image preparation for the largest image of every format and layout that
// the decoders' 512 MiB sample allowance lets through, each from as small a file as the format
// allows: the side of each square is the largest whose samples, counted in the layout the decoder
// reports for a small file of the same kind, fit the allowance. A few strips show what a very wide
// or very tall image costs beside the square. Every row should stay within 640 MiB.
//
// Each file is made in a forked child (an encoder may hold the whole picture) and written to a
// temporary file; a second forked child reads it into memory, as the server reads an image file,
// and prepares it once, under a 3 GiB address-space limit so that a runaway allocation fails
// instead of weighing on the machine. This process stays small, so that its pages add little to
// the children's peak.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "support/image_fixtures.h"
#include "tarnwick/decode.h"
#include "tarnwick/image.h"
#include "tarnwick/image_probe.h"

namespace {

using test_support::Bytes;
using test_support::RowImage;

constexpr long ceiling_mib = 640;
constexpr std::uint64_t address_limit = 3ull << 30;

using Clock = std::chrono::steady_clock;
double since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// --- the files --------------------------------------------------------------------------------

using Maker = std::function<Bytes(std::uint32_t width, std::uint32_t height)>;

// Rows of one repeated value per channel: what every encoder shrinks to next to nothing.
RowImage uniform_rows(std::uint32_t width, std::uint32_t height, std::uint32_t channels, std::uint32_t bits,
                      std::vector<std::uint16_t> pixel) {
    return {width, height, channels, bits, [width, channels, pixel](std::uint32_t, std::uint16_t* out) {
                for (std::uint32_t x = 0; x < width; ++x) std::copy_n(pixel.begin(), channels, out + x * channels);
            }};
}

Maker png(int colour_type, int depth, bool interlaced = false) {
    return [=](std::uint32_t w, std::uint32_t h) {
        return test_support::uniform_png(w, h, colour_type, depth, 0x40, interlaced);
    };
}

Maker jpeg(test_support::JpegColour colour, bool progressive) {
    using test_support::JpegColour;
    const bool cmyk = colour == JpegColour::adobe_cmyk || colour == JpegColour::ycck;
    const std::uint32_t channels = colour == JpegColour::grey ? 1 : cmyk ? 4 : 3;
    return [=](std::uint32_t w, std::uint32_t h) {
        return test_support::encode_jpeg_rows(uniform_rows(w, h, channels, 8, {200, 120, 60, 220}),
                                              {.colour = colour, .quality = 75, .progressive = progressive});
    };
}

// One frame of one index, filling the screen.
Maker gif_frame(bool interlaced) {
    return [=](std::uint32_t w, std::uint32_t h) {
        test_support::GifFrame frame;
        frame.indices = test_support::Raster{w, h, 1, 8, std::vector<std::uint16_t>(std::size_t{w} * h, 1), {}};
        frame.interlaced = interlaced;
        return test_support::encode_gif({frame}, {.palette = test_support::varied_palette(2)});
    };
}

Maker tiff(std::uint32_t channels, std::uint32_t bits, test_support::TiffPage format = {}) {
    return [=](std::uint32_t w, std::uint32_t h) {
        test_support::TiffPage page = format;
        if (page.compression == test_support::TiffCompression::none)
            page.compression = test_support::TiffCompression::deflate;
        if (page.rows_per_strip == 0) page.rows_per_strip = h;
        const std::uint16_t v = bits == 16 ? 0x4321 : bits == 8 ? 0x43 : 1;
        return test_support::encode_tiff_rows(uniform_rows(w, h, channels, bits, {v, v, v, v}), page);
    };
}

Maker tiff_float(std::uint32_t channels) {
    return [=](std::uint32_t w, std::uint32_t h) {
        test_support::TiffPage page;
        page.compression = test_support::TiffCompression::deflate;
        return test_support::encode_tiff_float_rows(
            w, h, channels, [&](std::uint32_t, float* out) { std::fill_n(out, std::size_t{w} * channels, 0.25f); },
            page);
    };
}

Maker bmp(std::uint16_t bits, std::uint32_t channels, test_support::BmpOptions options = {}) {
    return [=](std::uint32_t w, std::uint32_t h) {
        test_support::BmpOptions o = options;
        o.bits = bits;
        if (bits <= 8) o.palette = test_support::varied_palette(std::size_t{1} << bits);
        return test_support::encode_bmp_rows(uniform_rows(w, h, channels, 8, {1, 90, 160, 128}), o);
    };
}

// RLE codes that end the bitmap at once: every pixel keeps index 0.
Maker bmp_rle(std::uint16_t bits) {
    return [=](std::uint32_t w, std::uint32_t h) {
        return test_support::bmp_rle_claiming(static_cast<std::int32_t>(w), static_cast<std::int32_t>(h), bits, {0, 1});
    };
}

Maker webp_lossy(std::uint32_t channels) {
    return [=](std::uint32_t w, std::uint32_t h) {
        return test_support::encode_webp_rows(uniform_rows(w, h, channels, 8, {200, 120, 60, 128}),
                                              {.lossless = false, .quality = 50, .method = 0});
    };
}

Maker webp_lossless(bool alpha_used) {
    return [=](std::uint32_t w, std::uint32_t h) {
        return test_support::webp_lossless_claiming(w, h, alpha_used ? 0x80C87850 : 0xFFC87850, alpha_used);
    };
}

struct Case {
    std::string what;
    Maker make;
    // The decoder's pixel bytes when it does not read the small file (its format not decoded yet).
    std::uint32_t nominal_pixel_bytes;
    std::uint32_t max_side = 0xFFFFFFFF;  // the format's own limit
    std::uint32_t width = 0, height = 0;  // a fixed size (a strip); 0: the largest square
    const char* note = nullptr;           // printed under the row
};

std::vector<Case> cases() {
    using test_support::JpegColour;
    using test_support::TiffCompression;
    using test_support::TiffPage;
    constexpr std::uint32_t webp_side = 16383;
    TiffPage palette;
    palette.palette = test_support::varied_palette(256);
    TiffPage cmyk;
    cmyk.cmyk = true;
    TiffPage tiled;
    tiled.tile_size = 256;
    TiffPage one_strip;
    one_strip.rows_per_strip = 0;  // the whole image
    TiffPage fax;
    fax.compression = TiffCompression::ccitt_fax4;
    test_support::BmpOptions fields;
    fields.header = test_support::BmpHeader::v5;
    fields.compression = test_support::BmpCompression::bitfields;
    fields.masks = {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000};
    return {
        {"PNG grey 8", png(0, 8), 1},
        {"PNG grey 16", png(0, 16), 2},
        {"PNG grey+alpha 8", png(4, 8), 2},
        {"PNG grey+alpha 16", png(4, 16), 4},
        {"PNG RGB 8", png(2, 8), 3},
        {"PNG RGB 16", png(2, 16), 6},
        {"PNG RGBA 8", png(6, 8), 4},
        {"PNG RGBA 16", png(6, 16), 8},
        {"PNG palette 8-bit", png(3, 8), 3},
        {"PNG interlaced RGBA 8", png(6, 8, true), 4},
        {"PNG interlaced grey 16", png(0, 16, true), 2},
        {"PNG interlaced RGBA 16", png(6, 16, true), 8},
        {"PNG grey 8, wide", png(0, 8), 1, 0xFFFFFFFF, 1000000, 536},
        // Scaled, a side below 28 pixels is raised to 28: the RGB image outgrows the budget.
        {"PNG grey 8, wide: the 28-pixel floor", png(0, 8), 1, 0xFFFFFFFF, 53687091, 10,
         "    (RGB image 333 MiB; the rest is the scaler's weights, sums and rows for 53.7 M source columns)"},
        {"PNG grey 8, tall: the 28-pixel floor", png(0, 8), 1, 0xFFFFFFFF, 10, 53687091,
         "    (RGB image 333 MiB; the rest is the scaler's weights for 4.2 M target rows)"},
        {"PNG grey 8, one row: the 28-pixel floor", png(0, 8), 1, 0xFFFFFFFF, 536870912, 1,
         "    (its RGB image alone, 41521491 x 28, is 3,326 MiB: refused only by this bench's address-space limit)"},
        {"JPEG grey", jpeg(JpegColour::grey, false), 1, 65500},
        {"JPEG YCbCr 4:2:0", jpeg(JpegColour::ycbcr_420, false), 3, 65500},
        {"JPEG Adobe CMYK", jpeg(JpegColour::adobe_cmyk, false), 3, 65500},
        // libjpeg keeps every coefficient of a progressive file until its last scan, 2 bytes a
        // sample of each component at its own resolution.
        {"JPEG grey progressive", jpeg(JpegColour::grey, true), 1, 65500, 0, 0,
         "    (coefficients 1,024.5 MiB, past libjpeg's 1 GiB working-memory cap)"},
        {"JPEG YCbCr 4:2:0 progressive", jpeg(JpegColour::ycbcr_420, true), 3, 65500, 0, 0,
         "    (coefficients 513 MiB)"},
        {"JPEG YCbCr 4:4:4 progressive", jpeg(JpegColour::ycbcr_444, true), 3, 65500, 0, 0,
         "    (coefficients 1,025 MiB, past libjpeg's 1 GiB working-memory cap)"},
        {"JPEG YCCK progressive", jpeg(JpegColour::ycck, true), 3, 65500, 0, 0,
         "    (coefficients 855 MiB: Y and K at full size, Cb and Cr at a quarter)"},
        {"GIF screen with a 1 x 1 frame",
         [](std::uint32_t w, std::uint32_t h) { return test_support::gif_claiming(w, h, 1, 1); }, 4, 65535},
        {"GIF full-screen frame", gif_frame(false), 4, 65535},
        {"GIF interlaced full-screen frame", gif_frame(true), 4, 65535},
        {"TIFF grey 8", tiff(1, 8), 1},
        {"TIFF grey 16", tiff(1, 16), 2},
        {"TIFF grey+alpha 8", tiff(2, 8), 2},
        {"TIFF grey+alpha 16", tiff(2, 16), 4},
        {"TIFF RGB 8", tiff(3, 8), 3},
        {"TIFF RGB 16", tiff(3, 16), 6},
        {"TIFF RGBA 8", tiff(4, 8), 4},
        {"TIFF RGBA 16", tiff(4, 16), 8},
        {"TIFF palette 8-bit", tiff(1, 8, palette), 3},
        {"TIFF float RGB", tiff_float(3), 12},
        {"TIFF float RGBA", tiff_float(4), 16},
        {"TIFF CMYK 8", tiff(4, 8, cmyk), 3},
        {"TIFF tiled RGBA 16 (256 x 256 tiles)", tiff(4, 16, tiled), 8},
        {"TIFF RGB 8 in a single strip", tiff(3, 8, one_strip), 3},
        {"TIFF bilevel 1-bit CCITT G4", tiff(1, 1, fax), 1},
        {"BMP RLE8 (ends at once)", bmp_rle(8), 3},
        {"BMP RLE4 (ends at once)", bmp_rle(4), 3},
        {"BMP 1-bit", bmp(1, 1), 3},
        {"BMP 24-bit (file = pixels)", bmp(24, 3), 3},
        {"BMP 32-bit bit fields + alpha (file = pixels)", bmp(32, 4, fields), 4},
        {"WebP lossless RGBA (hand-made VP8L)", webp_lossless(true), 4, webp_side},
        {"WebP lossless RGB (hand-made VP8L)", webp_lossless(false), 4, webp_side},
        {"WebP lossy RGB", webp_lossy(3), 3, webp_side},
        {"WebP lossy with alpha", webp_lossy(4), 4, webp_side},
    };
}

// --- the children ----------------------------------------------------------------------------

std::unique_ptr<tarnwick::ImageDecoder> open_decoder(const Bytes& file) {
    const auto format = tarnwick::detect_format(file.data(), file.size());
    if (!format) return nullptr;
    switch (*format) {
        case tarnwick::ImageFormat::png: return tarnwick::open_png(file.data(), file.size());
        case tarnwick::ImageFormat::jpeg: return tarnwick::open_jpeg(file.data(), file.size());
        case tarnwick::ImageFormat::gif: return tarnwick::open_gif(file.data(), file.size());
        case tarnwick::ImageFormat::webp: return tarnwick::open_webp(file.data(), file.size());
        case tarnwick::ImageFormat::tiff: return tarnwick::open_tiff(file.data(), file.size());
        case tarnwick::ImageFormat::bmp: return tarnwick::open_bmp(file.data(), file.size());
    }
    return nullptr;
}

std::string layout_name(tarnwick::PixelLayout layout) {
    static const char* const names[] = {"", "grey", "grey+alpha", "RGB", "RGBA"};
    const char* type = layout.type == tarnwick::SampleType::u8    ? " 8"
                       : layout.type == tarnwick::SampleType::u16 ? " 16"
                                                                  : " float";
    return std::string(layout.channels <= 4 ? names[layout.channels] : "?") + type;
}

// The largest side whose square of `pixel_bytes` a pixel fits the allowance.
std::uint32_t largest_side(std::uint32_t pixel_bytes, std::uint32_t max_side) {
    const std::uint64_t pixels = tarnwick::decode_allowance / pixel_bytes;
    auto side = static_cast<std::uint64_t>(std::sqrt(static_cast<double>(pixels)));
    while (side * side > pixels) --side;
    while ((side + 1) * (side + 1) <= pixels) ++side;
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(side, max_side));
}

// What the maker child tells: the image's size, the layout the decoder gives a small file of the
// kind (or the nominal one), and the file made.
struct Made {
    std::uint32_t width = 0, height = 0;
    std::string layout = "?";
    bool decoded = false;  // the decoder read the small file
    std::size_t file_bytes = 0;
    double seconds = 0;
    bool ok = false;
};

// Runs `body` in a forked child and gives back the text it writes, with its exit status and
// resource use.
struct ChildRun {
    std::string text;
    int status = 0;
    rusage usage{};
    bool exited_ok() const { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }
};

ChildRun in_child(const std::function<std::string()>& body) {
    ChildRun run;
    int fds[2];
    if (::pipe(fds) != 0) return run;
    std::fflush(stdout);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        std::string text;
        try {
            text = body();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s\n", e.what());
            ::_exit(3);
        }
        for (std::size_t put = 0; put < text.size();) {
            const ssize_t n = ::write(fds[1], text.data() + put, text.size() - put);
            if (n <= 0) ::_exit(2);
            put += static_cast<std::size_t>(n);
        }
        ::_exit(0);
    }
    ::close(fds[1]);
    char buffer[4096];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
        run.text.append(buffer, static_cast<std::size_t>(n));
    ::close(fds[0]);
    ::wait4(pid, &run.status, 0, &run.usage);
    return run;
}

Made make_file(const Case& c, const std::string& path) {
    const ChildRun run = in_child([&] {
        const auto decoder = open_decoder(c.make(16, 16));
        const std::uint32_t pixel_bytes = decoder ? decoder->layout().pixel_bytes() : c.nominal_pixel_bytes;
        const std::string layout = decoder ? layout_name(decoder->layout()) : "?";
        const std::uint32_t side = largest_side(pixel_bytes, c.max_side);
        const std::uint32_t w = c.width ? c.width : side, h = c.height ? c.height : side;
        const auto start = Clock::now();
        const Bytes file = c.make(w, h);
        const double seconds = since(start);
        FILE* out = std::fopen(path.c_str(), "wb");
        if (!out || std::fwrite(file.data(), 1, file.size(), out) != file.size() || std::fclose(out) != 0) ::_exit(4);
        return std::to_string(w) + " " + std::to_string(h) + " " + std::to_string(decoder != nullptr) + " " +
               std::to_string(file.size()) + " " + std::to_string(seconds) + " " + layout;
    });
    Made made;
    if (!run.exited_ok()) return made;
    char layout[64] = {};
    int decoded = 0;
    unsigned long width = 0, height = 0, bytes = 0;
    if (std::sscanf(run.text.c_str(), "%lu %lu %d %lu %lf %63[^\n]", &width, &height, &decoded, &bytes, &made.seconds,
                    layout) < 5)
        return made;
    made.width = static_cast<std::uint32_t>(width);
    made.height = static_cast<std::uint32_t>(height);
    made.decoded = decoded != 0;
    made.file_bytes = bytes;
    made.layout = layout[0] ? layout : "?";
    made.ok = true;
    return made;
}

struct Measured {
    std::string result;
    long peak_mib = 0;
    double seconds = 0;
};

// Reads the file into memory and prepares it once, in a fresh child.
Measured measure(const std::string& path) {
    const std::uint64_t budget = tarnwick::pixel_budget(4096);
    const ChildRun run = in_child([&] {
        std::vector<unsigned char> bytes(std::filesystem::file_size(path));
        FILE* in = std::fopen(path.c_str(), "rb");
        if (!in || std::fread(bytes.data(), 1, bytes.size(), in) != bytes.size()) ::_exit(4);
        std::fclose(in);
        const rlimit limit{address_limit, address_limit};
        ::setrlimit(RLIMIT_AS, &limit);
        const auto start = Clock::now();
        const auto rgb = tarnwick::prepare_rgb(bytes.data(), bytes.size(), budget);
        const double seconds = since(start);
        return std::to_string(seconds) + " " +
               (rgb ? std::to_string(rgb->width) + "x" + std::to_string(rgb->height) : "none");
    });
    Measured m;
    m.peak_mib = run.usage.ru_maxrss / 1024;
    char result[64] = {};
    if (!run.exited_ok() || std::sscanf(run.text.c_str(), "%lf %63s", &m.seconds, result) != 2) {
        m.result =
            WIFSIGNALED(run.status) ? "killed by signal " + std::to_string(WTERMSIG(run.status)) : "child failed";
        return m;
    }
    m.result = std::strcmp(result, "none") == 0 ? "none: fallback road" : result;
    return m;
}

std::string file_size(std::size_t bytes) {
    char text[32];
    if (bytes < 10 * 1024) {
        std::snprintf(text, sizeof text, "%zu B", bytes);
    } else if (bytes < 10 * 1024 * 1024) {
        std::snprintf(text, sizeof text, "%zu KiB", bytes / 1024);
    } else {
        std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024 * 1024));
    }
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    // An argument picks the rows whose name contains it.
    const std::string only = argc > 1 ? argv[1] : "";
    std::string dir = (std::filesystem::temp_directory_path() / "hostile_image_bench-XXXXXX").string();
    if (::mkdtemp(dir.data()) == nullptr) return 1;
    const std::string path = dir + "/image";

    std::printf(
        "allowance %llu bytes; peak = the measuring child's ru_maxrss, file bytes included; its address space "
        "is limited to %llu GiB\n",
        static_cast<unsigned long long>(tarnwick::decode_allowance),
        static_cast<unsigned long long>(address_limit >> 30));
    std::printf("%-46s %-22s %-13s %11s %8s %9s %8s  %s\n", "image", "size", "layout", "file", "make s", "peak MiB",
                "prep s", "result");
    std::vector<std::string> over;
    const auto start = Clock::now();
    for (const Case& c : cases()) {
        if (!only.empty() && c.what.find(only) == std::string::npos) continue;
        const Made made = make_file(c, path);
        if (!made.ok) {
            std::printf("%-46s could not be made\n", c.what.c_str());
            continue;
        }
        const Measured m = measure(path);
        std::filesystem::remove(path);
        const std::string size = std::to_string(made.width) + " x " + std::to_string(made.height);
        const std::string layout = made.decoded ? made.layout : "(no decoder)";
        const bool too_much = m.peak_mib > ceiling_mib;
        std::printf("%-46s %-22s %-13s %11s %8.1f %9ld %8.1f  %s%s\n", c.what.c_str(), size.c_str(), layout.c_str(),
                    file_size(made.file_bytes).c_str(), made.seconds, m.peak_mib, m.seconds, m.result.c_str(),
                    too_much ? "  ** above 640 MiB" : "");
        if (c.note) std::printf("%s\n", c.note);
        if (too_much) over.push_back(c.what + " " + size);
    }
    std::filesystem::remove_all(dir);
    std::printf("%zu rows above %ld MiB", over.size(), ceiling_mib);
    for (std::size_t i = 0; i < over.size(); ++i) std::printf("%s%s", i ? "; " : ": ", over[i].c_str());
    std::printf("\ntotal %.0f s\n", since(start));
    return 0;
}
