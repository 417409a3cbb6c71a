// The GIF decoder: the first frame placed on its logical screen as 8-bit RGBA, on files written
// with image_fixtures' encoder (giflib's), patched by hand where the encoder refuses to write damage.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/image_fixtures.h"
#include "tarnwick/decode.h"

namespace {

using test_support::Bytes;
using test_support::GifExtension;
using test_support::GifFrame;
using test_support::Palette;

// A file with a screen of width x height and that global table, written by image_fixtures'
// encoder (giflib).
Bytes gif(std::uint32_t width, std::uint32_t height, const Palette& global, const std::vector<GifFrame>& frames) {
    return test_support::encode_gif(frames, {.screen_width = width, .screen_height = height, .palette = global});
}

std::size_t global_table_bytes(const Bytes& g) { return (g[10] & 0x80) ? 3u << ((g[10] & 7) + 1) : 0; }

// The encoder writes no file without a colour table, and masks indices to the table's size.
Bytes without_global_table(Bytes g) {
    g.erase(g.begin() + 13, g.begin() + 13 + static_cast<std::ptrdiff_t>(global_table_bytes(g)));
    g[10] &= 0x78;
    return g;
}

// Cuts the global table to its first 2^bits entries; the image data's code size stays.
Bytes with_global_table_cut(Bytes g, int bits) {
    const std::size_t keep = 3u << bits;
    g.erase(g.begin() + 13 + static_cast<std::ptrdiff_t>(keep),
            g.begin() + 13 + static_cast<std::ptrdiff_t>(global_table_bytes(g)));
    g[10] = static_cast<unsigned char>((g[10] & 0xF8) | (bits - 1));
    return g;
}

// The first image descriptor's offset, past the global table and any extensions.
std::size_t descriptor_at(const Bytes& g) {
    std::size_t at = 13 + global_table_bytes(g);
    while (g.at(at) == 0x21) {
        at += 2;
        while (g.at(at) != 0) at += 1 + g[at];
        ++at;
    }
    return at;
}

Bytes with_frame_size(Bytes g, unsigned width, unsigned height) {
    const std::size_t at = descriptor_at(g);
    g.at(at + 5) = static_cast<unsigned char>(width);
    g.at(at + 6) = static_cast<unsigned char>(width >> 8);
    g.at(at + 7) = static_cast<unsigned char>(height);
    g.at(at + 8) = static_cast<unsigned char>(height >> 8);
    return g;
}

Bytes cut(Bytes g, std::size_t drop) {
    g.resize(g.size() - drop);
    return g;
}

struct Decoded {
    std::uint32_t width = 0, height = 0;
    Bytes rgba;
};

std::optional<Decoded> decode(const Bytes& file) {
    const auto decoder = tarnwick::open_gif(file.data(), file.size());
    if (!decoder) return std::nullopt;
    EXPECT_EQ(decoder->layout(), (tarnwick::PixelLayout{4, tarnwick::SampleType::u8}));
    if (!decoder->start()) return std::nullopt;
    Decoded out{decoder->width(), decoder->height(), {}};
    const std::size_t row = decoder->row_bytes();
    out.rgba.resize(row * out.height);
    for (std::uint32_t y = 0; y < out.height; ++y)
        if (!decoder->read_row(out.rgba.data() + row * y)) return std::nullopt;
    Bytes past(row);
    EXPECT_FALSE(decoder->read_row(past.data())) << "a row past the last";
    return out;
}

using Px = std::array<unsigned char, 4>;

Bytes pixels(const std::vector<Px>& list) {
    Bytes out;
    for (const Px& p : list) out.insert(out.end(), p.begin(), p.end());
    return out;
}

const Palette palette = {{10, 20, 30}, {200, 100, 50}, {0, 255, 0}, {1, 2, 3}};
constexpr Px A{10, 20, 30, 255}, B{200, 100, 50, 255}, C{0, 255, 0, 255}, D{1, 2, 3, 255}, O{0, 0, 0, 0};

GifFrame frame(std::uint32_t left, std::uint32_t top, std::uint32_t width, std::uint32_t height, const Bytes& indices) {
    GifFrame f;
    f.left = left;
    f.top = top;
    f.indices = {width, height, 1, 8, std::vector<std::uint16_t>(indices.begin(), indices.end()), {}};
    return f;
}

template <class Change>
GifFrame with(GifFrame f, Change change) {
    change(f);
    return f;
}

// A 256-entry table whose first four entries are the palette's.
Palette palette_256() {
    Palette p(256, {9, 9, 9});
    std::copy(palette.begin(), palette.end(), p.begin());
    return p;
}

// Rows 0..height-1 of a one-column frame, row y of index y % 4.
Bytes column(int height) {
    Bytes out;
    for (int y = 0; y < height; ++y) out.push_back(static_cast<unsigned char>(y % 4));
    return out;
}

// Indices that compress poorly, starting 1, 0.
Bytes noise(std::size_t count) {
    Bytes out;
    std::uint32_t state = 12345;
    for (std::size_t i = 0; i < count; ++i, state = state * 1103515245 + 12345)
        out.push_back(i < 2 ? static_cast<unsigned char>(1 - i) : static_cast<unsigned char>(state >> 16 & 3));
    return out;
}

struct Case {
    std::string name;
    Bytes file;
    std::uint32_t width, height;
    std::vector<Px> expected;
};

TEST(DecodeGif, FirstFramePlacedOnItsScreen) {
    const Bytes plain_text_header(12, 1);
    const Case cases[] = {
        {"a frame that covers the screen", gif(2, 2, palette, {frame(0, 0, 2, 2, {0, 1, 2, 3})}), 2, 2,
         {A, B, C, D}},
        {"a transparent pixel in a frame smaller than the screen keeps its palette colour",
         gif(4, 3, palette, {with(frame(1, 1, 2, 2, {0, 1, 2, 3}), [](GifFrame& f) { f.transparent = 1; })}), 4, 3,
         {O, O, O, O, O, A, {200, 100, 50, 0}, O, O, C, D, O}},
        {"the local colour table before the global one",
         gif(2, 2, palette,
                  {with(frame(0, 0, 2, 2, {0, 1, 2, 3}), [](GifFrame& f) { f.local_palette = {{1, 2, 3}, {0, 255, 0}, {200, 100, 50}, {10, 20, 30}}; })}),
         2, 2, {D, C, B, A}},
        {"a frame reaching beyond the screen is cut at its edges",
         gif(2, 2, palette, {frame(1, 0, 3, 3, {0, 1, 2, 3, 0, 1, 2, 3, 0})}), 2, 2, {O, A, O, D}},
        {"rows of the frame below the screen are not decoded: their data may be missing",
         cut(gif(2, 1, palette, {frame(0, 0, 2, 2000, noise(4000))}), 40), 2, 1, {B, A}},
        {"a frame wholly outside the screen leaves it transparent black",
         gif(2, 1, palette, {frame(5, 0, 1, 1, {2})}), 2, 1, {O, O}},
        {"a screen of 0 x 0 takes the frame's size, its offset ignored",
         gif(0, 0, palette, {frame(3, 4, 2, 1, {0, 1})}), 2, 1, {A, B}},
        {"a screen 0 wide takes the frame's width and keeps its height",
         gif(0, 3, palette, {frame(3, 1, 2, 1, {0, 1})}), 2, 3, {O, O, A, B, O, O}},
        {"an interlaced frame", gif(1, 10, palette, {with(frame(0, 0, 1, 10, column(10)), [](GifFrame& f) { f.interlaced = true; })}),
         1, 10, {A, B, C, D, A, B, C, D, A, B}},
        {"an interlaced frame of 3 rows: its second pass is empty",
         gif(1, 3, palette, {with(frame(0, 0, 1, 3, column(3)), [](GifFrame& f) { f.interlaced = true; })}), 1, 3,
         {A, B, C}},
        {"an interlaced frame cut by the screen",
         gif(2, 3, palette, {with(frame(0, 1, 1, 10, column(10)), [](GifFrame& f) { f.interlaced = true; })}), 2, 3,
         {O, O, A, O, B, O}},
        {"only the first frame, with its own transparent index",
         gif(2, 1, palette,
                  {with(frame(0, 0, 2, 1, {0, 1}), [](GifFrame& f) { f.transparent = 0; }),
                   with(frame(0, 0, 2, 1, {2, 3}), [](GifFrame& f) { f.transparent = 3; })}),
         2, 1, {{10, 20, 30, 0}, B}},
        {"a control extension followed by plain text is not the frame's",
         gif(2, 1, palette, {with(frame(0, 0, 2, 1, {0, 1}), [&](GifFrame& f) {
                      f.transparent = 0;
                      f.extensions = {{test_support::gif_plain_text, {plain_text_header, {'h', 'i'}}}};
                  })}),
         2, 1, {A, B}},
        {"comment and application extensions before the frame",
         gif(2, 1, palette, {with(frame(0, 0, 2, 1, {0, 1}), [](GifFrame& f) {
                      f.extensions = {{test_support::gif_comment, {{'a', 'b'}, {'c'}}},
                                      {test_support::gif_application,
                                       {{'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0'}, {1, 0, 0}}}};
                      f.transparent = 1;
                  })}),
         2, 1, {A, {200, 100, 50, 0}}},
        {"a 2-entry table under 8-bit image codes",
         with_global_table_cut(gif(4, 1, palette_256(), {frame(0, 0, 4, 1, {0, 1, 1, 0})}), 1), 4, 1,
         {A, B, B, A}},
        {"a transparent index beyond the table that no pixel uses",
         with_global_table_cut(
             gif(2, 1, palette_256(), {with(frame(0, 0, 2, 1, {1, 0}), [](GifFrame& f) { f.transparent = 9; })}), 1),
         2, 1, {B, A}},
        {"a file that ends after the image data, without its closing block and trailer",
         cut(gif(2, 2, palette, {frame(0, 0, 2, 2, {3, 2, 1, 0})}), 2), 2, 2, {D, C, B, A}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto decoded = decode(c.file);
        ASSERT_TRUE(decoded);
        EXPECT_EQ(decoded->width, c.width);
        EXPECT_EQ(decoded->height, c.height);
        EXPECT_EQ(decoded->rgba, pixels(c.expected));
    }
}

TEST(DecodeGif, DamagedFilesFail) {
    const Bytes two_by_two = gif(2, 2, palette, {frame(0, 0, 2, 2, {0, 1, 2, 3})});
    const std::pair<std::string, Bytes> cases[] = {
        {"no colour table", without_global_table(two_by_two)},
        {"a pixel index beyond the table",
         with_global_table_cut(gif(4, 1, palette_256(), {frame(0, 0, 4, 1, {0, 1, 5, 0})}), 1)},
        {"a pixel index beyond the table in an interlaced frame",
         with_global_table_cut(gif(1, 4, palette_256(), {with(frame(0, 0, 1, 4, {0, 1, 0, 7}), [](GifFrame& f) {
                                           f.interlaced = true;
                                       })}),
                               1)},
        {"a transparent pixel index beyond the table",
         with_global_table_cut(
             gif(2, 1, palette_256(), {with(frame(0, 0, 2, 1, {1, 9}), [](GifFrame& f) { f.transparent = 9; })}), 1)},
        {"no frame", gif(2, 2, palette, {})},
        {"a frame of 0 x 0", gif(2, 2, palette, {frame(0, 0, 0, 0, {})})},
        {"image data with fewer pixels than the frame",
         with_frame_size(gif(2, 3, palette, {frame(0, 0, 2, 2, {0, 1, 2, 3})}), 2, 3)},
        {"a file cut inside the image data", cut(two_by_two, 4)},
        {"a file cut inside the colour table", Bytes(two_by_two.begin(), two_by_two.begin() + 16)},
        {"not a GIF", Bytes{'G', 'I', 'F', '8', '7', 'b', 1, 0, 1, 0, 0, 0, 0}},
        {"an empty file", Bytes{}},
    };
    for (const auto& [name, file] : cases) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(decode(file));
    }
}

// Every cut of a file fails, or gives the whole image when only bytes after the first frame's
// image data are gone (its closing block, the next frame, the trailer).
TEST(DecodeGif, EveryCutFailsOrDecodesWhole) {
    Bytes indices;
    for (int i = 0; i < 63; ++i) indices.push_back(static_cast<unsigned char>(i * 5 % 4));
    GifFrame f = frame(1, 0, 7, 9, indices);
    f.interlaced = true;
    f.transparent = 2;
    f.local_palette = palette;
    const Bytes alone = gif(8, 9, palette, {f});
    // The next frame has a local table too: giflib's encoder loses a frame's local table when the
    // next frame has none.
    const Bytes file = gif(8, 9, palette, {f, with(frame(0, 0, 1, 1, {3}), [](GifFrame& g) { g.local_palette = palette; })});
    const std::size_t data_end = alone.size() - 2;  // before the closing block and the trailer
    ASSERT_TRUE(std::equal(alone.begin(), alone.begin() + static_cast<std::ptrdiff_t>(data_end), file.begin()));
    const auto whole = decode(file);
    ASSERT_TRUE(whole);
    for (std::size_t length = 0; length < file.size(); ++length) {
        SCOPED_TRACE(length);
        const auto decoded = decode(Bytes(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(length)));
        if (length < data_end) {
            EXPECT_FALSE(decoded);
        } else {
            ASSERT_TRUE(decoded);
            EXPECT_EQ(decoded->rgba, whole->rgba);
        }
    }
}

// Any byte of a file changed to a few values: the decoder fails or gives the screen's rows,
// without reading outside the bytes (the sanitiser builds watch that).
TEST(DecodeGif, DamagedBytesNeverCrash) {
    Bytes indices;
    for (int i = 0; i < 30; ++i) indices.push_back(static_cast<unsigned char>(i * 3 % 4));
    GifFrame f = frame(2, 1, 5, 6, indices);
    f.transparent = 1;
    const Bytes file = gif(8, 8, palette, {with(f, [](GifFrame& g) { g.interlaced = true; }), f});
    for (std::size_t at = 0; at < file.size(); ++at) {
        const int values[] = {0x00, 0x01, 0x7F, 0xFF, file[at] ^ 0x40};
        for (int value : values) {
            Bytes damaged = file;
            damaged[at] = static_cast<unsigned char>(value);
            const auto decoded = decode(damaged);
            if (decoded) {
                EXPECT_EQ(decoded->rgba.size(), std::size_t{decoded->width} * decoded->height * 4);
            }
        }
    }
}

TEST(DecodeGif, HostileSizes) {
    {
        SCOPED_TRACE("a 65535 x 65535 screen with a 1 x 1 frame opens at the screen's size");
        const Bytes file = gif(65535, 65535, palette, {frame(65534, 1, 1, 1, {2})});
        const auto decoder = tarnwick::open_gif(file.data(), file.size());
        ASSERT_TRUE(decoder);
        EXPECT_EQ(decoder->width(), 65535u);
        EXPECT_EQ(decoder->height(), 65535u);
        ASSERT_TRUE(decoder->start());
        Bytes row(decoder->row_bytes());
        ASSERT_TRUE(decoder->read_row(row.data()));
        EXPECT_EQ(row, Bytes(row.size(), 0));
        ASSERT_TRUE(decoder->read_row(row.data()));
        EXPECT_EQ(Bytes(row.end() - 4, row.end()), pixels({C}));
    }
    {
        SCOPED_TRACE("the largest screen the allowance lets through, with a 1 x 1 frame, gives every row");
        const Bytes file = gif(11585, 11585, palette, {frame(11584, 11584, 1, 1, {3})});
        const auto decoder = tarnwick::open_gif(file.data(), file.size());
        ASSERT_TRUE(decoder);
        ASSERT_TRUE(decoder->start());
        Bytes row(decoder->row_bytes());
        for (std::uint32_t y = 0; y < decoder->height(); ++y) ASSERT_TRUE(decoder->read_row(row.data()));
        EXPECT_EQ(Bytes(row.end() - 8, row.end()), pixels({O, D}));
        EXPECT_FALSE(decoder->read_row(row.data()));
    }
    {
        SCOPED_TRACE("a frame of 65535 x 65535 on a 1 x 1 screen is refused before any pixel");
        const Bytes file = with_frame_size(gif(1, 1, palette, {frame(0, 0, 1, 1, {0})}), 65535, 65535);
        EXPECT_FALSE(tarnwick::open_gif(file.data(), file.size()));
    }
    {
        SCOPED_TRACE("a frame of 11586 x 11585 counts over the allowance; 11585 x 11585 does not");
        const Bytes small = gif(2, 2, palette, {frame(0, 0, 1, 1, {0})});
        const Bytes over = with_frame_size(small, 11586, 11585), at = with_frame_size(small, 11585, 11585);
        EXPECT_FALSE(tarnwick::open_gif(over.data(), over.size()));
        EXPECT_TRUE(tarnwick::open_gif(at.data(), at.size()));
    }
    {
        SCOPED_TRACE("ten thousand extensions and no frame");
        GifFrame f = frame(0, 0, 1, 1, {0});
        f.extensions.assign(10000, GifExtension{test_support::gif_comment, {{'x'}}});
        Bytes file = gif(1, 1, palette, {f});
        file.resize(descriptor_at(file));
        EXPECT_FALSE(decode(file));
    }
}

}  // namespace
