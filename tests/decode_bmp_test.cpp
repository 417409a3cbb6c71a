// The BMP decoder: exact rows for every kind of file it reads, the bit-field scaling, the damage
// it refuses and at which step, files cut short anywhere, and hostile headers. The files are
// written field by field with image_fixtures' write_bmp.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "support/image_fixtures.h"
#include "tarnwick/decode.h"

namespace {

using test_support::BmpFile;
using test_support::Bytes;
using test_support::write_bmp;

// Pixel values as little-endian bytes of `size` each.
Bytes le(std::size_t size, std::initializer_list<std::uint32_t> values) {
    Bytes out;
    for (std::uint32_t v : values)
        for (std::size_t i = 0; i < size; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
    return out;
}
Bytes le16s(std::initializer_list<std::uint32_t> values) { return le(2, values); }
Bytes le32s(std::initializer_list<std::uint32_t> values) { return le(4, values); }

// "ff0000 00ff00" as bytes; spaces are for the reader.
Bytes hex(const std::string& text) {
    Bytes out;
    std::string digits;
    for (char c : text)
        if (c != ' ') digits += c;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<unsigned char>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return out;
}

enum class Step { open, start, row, none };

struct Decoded {
    std::uint32_t width = 0, height = 0, channels = 0;
    Bytes rows;  // top to bottom
};

// Opens, starts and reads every row, as the road does; the step that failed, if one did. The
// bytes are copied to a buffer of their exact size, so that a read past them is caught. Images
// of more than `most_pixels` are only opened.
Step decode(const Bytes& file, Decoded* out = nullptr, std::uint64_t most_pixels = UINT64_MAX) {
    const Bytes exact(file.begin(), file.end());
    auto decoder = tarnwick::open_bmp(exact.data(), exact.size());
    if (!decoder) return Step::open;
    if (std::uint64_t{decoder->width()} * decoder->height() > most_pixels) return Step::none;
    if (!decoder->start()) return Step::start;
    Decoded d{decoder->width(), decoder->height(), decoder->layout().channels, {}};
    EXPECT_EQ(decoder->layout().type, tarnwick::SampleType::u8);
    Bytes row(decoder->row_bytes());
    for (std::uint32_t y = 0; y < decoder->height(); ++y) {
        if (!decoder->read_row(row.data())) return Step::row;
        d.rows.insert(d.rows.end(), row.begin(), row.end());
    }
    EXPECT_FALSE(decoder->read_row(row.data())) << "a row past the last";
    if (out) *out = std::move(d);
    return Step::none;
}

const std::vector<std::uint32_t> three_colours{0x808080, 0xFF0000, 0x00FF00};

struct Good {
    const char* what;
    Bytes file;
    std::uint32_t channels, width, height;
    std::string rows;  // hex, top row first
};

std::vector<Good> good_files() {
    return {
        {"1-bit, 9 wide, rows padded", write_bmp({.width = 9, .height = 2, .bits = 1, .palette = {0x102030, 0x405060},
                                            .pixels = {0xAA, 0x80, 0, 0, 0x55, 0x00, 0, 0}}),
         3, 9, 2,
         "102030 405060 102030 405060 102030 405060 102030 405060 102030"
         "405060 102030 405060 102030 405060 102030 405060 102030 405060"},
        {"4-bit, palette of 3", write_bmp({.width = 3, .bits = 4, .palette = {0xAABBCC, 0x112233, 0x445566},
                                     .pixels = {0x12, 0x00, 0, 0}}),
         3, 3, 1, "112233 445566 aabbcc"},
        {"8-bit, V5 header, palette of 3", write_bmp({.header = 124, .width = 3, .height = 2, .bits = 8, .palette = three_colours,
                                                .pixels = {2, 1, 0, 0, 0, 0, 1, 0}}),
         3, 3, 2, "808080 808080 ff0000  00ff00 ff0000 808080"},
        {"16-bit, 5-5-5", write_bmp({.width = 4, .bits = 16, .pixels = le16s({0x7FFF, 0x0421, 0x4210, 0x8000})}),
         3, 4, 1, "f7f7f7 080808 808080 000000"},
        {"16-bit, 5-6-5 masks after a 40-byte header",
         write_bmp({.width = 4, .bits = 16, .compression = 3, .masks = {0xF800, 0x07E0, 0x001F, 0}, .masks_after_header = true,
              .pixels = le16s({0xFFFF, 0x0841, 0x8410, 0xF800})}),
         3, 4, 1, "f7fbf7 080808 808080 f70000"},
        {"16-bit, 4-4-4-4 with alpha, V5 header",
         write_bmp({.header = 124, .width = 2, .bits = 16, .compression = 3, .masks = {0x0F00, 0x00F0, 0x000F, 0xF000},
              .pixels = le16s({0x1F84, 0xF0FF})}),
         4, 2, 1, "ef804010 00efefef"},
        {"16-bit, 5-6-5, V4 header, top-down",
         write_bmp({.header = 108, .width = 1, .height = -2, .bits = 16, .compression = 3, .masks = {0xF800, 0x07E0, 0x001F, 0},
              .pixels = le16s({0xF800, 0, 0x001F, 0})}),
         3, 1, 2, "f70000 0000f7"},
        {"24-bit, bottom-up", write_bmp({.width = 2, .height = 2, .pixels = {0, 0, 255, 0, 255, 0, 0, 0, 255, 0, 0, 1, 2, 3, 0, 0}}),
         3, 2, 2, "0000ff 030201  ff0000 00ff00"},
        {"24-bit, top-down", write_bmp({.width = 2, .height = -2, .pixels = {0, 0, 255, 0, 255, 0, 0, 0, 255, 0, 0, 1, 2, 3, 0, 0}}),
         3, 2, 2, "ff0000 00ff00  0000ff 030201"},
        {"24-bit with bit fields, read as plain 24-bit",
         write_bmp({.width = 1, .compression = 3, .masks = {0xFF, 0xFF00, 0xFF0000, 0}, .masks_after_header = true,
              .pixels = {1, 2, 3, 0}}),
         3, 1, 1, "030201"},
        {"32-bit, fourth byte 0", write_bmp({.width = 2, .bits = 32, .pixels = {10, 20, 30, 0, 40, 50, 60, 0}}),
         4, 2, 1, "1e140a00 3c322800"},
        {"32-bit, fourth byte set", write_bmp({.width = 1, .bits = 32, .pixels = {10, 20, 30, 200}}), 4, 1, 1, "1e140ac8"},
        {"32-bit, 8-bit masks in their own order",
         write_bmp({.width = 1, .bits = 32, .compression = 3, .masks = {0xFF, 0xFF00, 0xFF0000, 0}, .masks_after_header = true,
              .pixels = {1, 2, 3, 4}}),
         3, 1, 1, "010203"},
        {"32-bit, 10-10-10-2 with alpha, V5 header",
         write_bmp({.header = 124, .width = 4, .bits = 32, .compression = 3,
              .masks = {0x3FF00000, 0x000FFC00, 0x000003FF, 0xC0000000},
              .pixels = le32s({0xFFFFFFFF, 0x60080200, 0x06419064, 0x80000000})}),
         4, 4, 1, "ffffffbf 80808040 19191900 00000080"},
        {"core header, 1-bit", write_bmp({.header = 12, .width = 3, .bits = 1, .palette = {0x112233, 0x445566}, .pixels = {0xA0, 0, 0, 0}}),
         3, 3, 1, "445566 112233 445566"},
        {"core header, 24-bit", write_bmp({.header = 12, .width = 2, .pixels = {1, 2, 3, 4, 5, 6, 0, 0}}), 3, 2, 1, "030201 060504"},
        {"OS/2 2.x header, 3-byte palette entries",
         write_bmp({.header = 64, .width = 2, .bits = 8, .palette = {0x102030, 0x405060}, .entry_bytes = 3, .pixels = {1, 0, 0, 0}}),
         3, 2, 1, "405060 102030"},
        {"OS/2 2.x header, 4-byte palette entries",
         write_bmp({.header = 64, .width = 2, .bits = 8, .palette = {0x102030, 0x405060}, .pixels = {1, 0, 0, 0}}),
         3, 2, 1, "405060 102030"},
        {"OS/2 2.x header of 16 bytes", write_bmp({.header = 16, .width = 2, .pixels = {1, 2, 3, 4, 5, 6, 0, 0}}), 3, 2, 1,
         "030201 060504"},
        // Bottom row: a run of 2, end of line. Middle row: moved over by a delta of (1, 1). Top row:
        // 3 literal indices and their pad byte, end of bitmap. Unreached pixels are index 0.
        {"RLE8: runs, end of line, delta, literal run with pad",
         write_bmp({.width = 4, .height = 3, .bits = 8, .compression = 1, .palette = three_colours,
              .pixels = {2, 1, 0, 0, 0, 2, 1, 1, 0, 3, 1, 2, 1, 0, 0, 1}}),
         3, 4, 3, "808080 ff0000 00ff00 ff0000  808080 808080 808080 808080  ff0000 ff0000 808080 808080"},
        {"RLE8: end of bitmap before the image is full",
         write_bmp({.width = 4, .height = 2, .bits = 8, .compression = 1, .palette = three_colours, .pixels = {3, 2, 0, 1}}),
         3, 4, 2, "808080 808080 808080 808080  00ff00 00ff00 00ff00 808080"},
        {"RLE8: a run goes on across the row end",
         write_bmp({.width = 4, .height = 2, .bits = 8, .compression = 1, .palette = three_colours, .pixels = {6, 1, 2, 2, 0, 1}}),
         3, 4, 2, "ff0000 ff0000 00ff00 00ff00  ff0000 ff0000 ff0000 ff0000"},
        {"RLE8: end of line after a run across the row end",
         write_bmp({.width = 4, .height = 2, .bits = 8, .compression = 1, .palette = three_colours,
              .pixels = {6, 1, 0, 0, 1, 2, 3, 0, 0, 1}}),
         3, 4, 2, "00ff00 808080 808080 808080  ff0000 ff0000 ff0000 ff0000"},
        {"RLE8: a run past the image's end is cut",
         write_bmp({.width = 2, .height = 1, .bits = 8, .compression = 1, .palette = three_colours, .pixels = {200, 1, 0, 1}}),
         3, 2, 1, "ff0000 ff0000"},
        {"RLE8: literal runs of 5 and 4, padded to an even byte count",
         write_bmp({.width = 12, .height = 1, .bits = 8, .compression = 1, .palette = three_colours,
              .pixels = {0, 5, 2, 1, 2, 1, 2, 0, 0, 4, 1, 2, 1, 2, 3, 1, 0, 1}}),
         3, 12, 1, "00ff00 ff0000 00ff00 ff0000 00ff00 ff0000 00ff00 ff0000 00ff00 ff0000 ff0000 ff0000"},
        {"RLE4: literal run of 3 in 2 bytes, no pad",
         write_bmp({.width = 6, .height = 1, .bits = 4, .compression = 2, .palette = three_colours,
              .pixels = {0, 3, 0x12, 0x10, 3, 0x21, 0, 1}}),
         3, 6, 1, "ff0000 00ff00 ff0000 00ff00 ff0000 00ff00"},
        {"RLE4: alternating run, literal run of 5 with pad",
         write_bmp({.width = 5, .height = 2, .bits = 4, .compression = 2, .palette = three_colours,
              .pixels = {5, 0x12, 0, 0, 0, 5, 0x01, 0x20, 0x10, 0, 0, 1}}),
         3, 5, 2, "808080 ff0000 00ff00 808080 ff0000  ff0000 00ff00 ff0000 00ff00 ff0000"},
    };
}

TEST(DecodeBmp, GivesTheStoredPixels) {
    for (const Good& c : good_files()) {
        SCOPED_TRACE(c.what);
        Decoded d;
        ASSERT_EQ(decode(c.file, &d), Step::none);
        EXPECT_EQ(d.channels, c.channels);
        EXPECT_EQ(d.width, c.width);
        EXPECT_EQ(d.height, c.height);
        EXPECT_EQ(d.rows, hex(c.rows));
    }
}

TEST(DecodeBmp, ScalesBitFieldsTo8Bits) {
    // One 32-bit pixel whose red channel has the mask; green and blue masks are empty.
    const struct { std::uint32_t mask, pixel; unsigned red; } cases[] = {
        {0xF800, 31u << 11, 247}, {0xF800, 17u << 11, 135}, {0xF800, 16u << 11, 128}, {0xF800, 1u << 11, 8},
        {0x07E0, 63u << 5, 251},  {0x07E0, 32u << 5, 128},  {0xFF0000, 255u << 16, 255}, {0xFF0000, 1u << 16, 1},
        {0x3FF00000, 1023u << 20, 255}, {0x3FF00000, 100u << 20, 25}, {0x1, 1, 128}, {0xFFFF0000, 0xFFFF0000, 255},
        {0xFFFF0000, 0x00800000, 0},    {0, 0xFFFFFFFF, 0},
        // A mask with a gap: the bits below the gap count too.
        {0xF0F000, 0xA0B000, 160},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "mask " << c.mask << " pixel " << c.pixel);
        Decoded d;
        ASSERT_EQ(decode(write_bmp({.header = 124, .width = 1, .bits = 32, .compression = 3, .masks = {c.mask, 0, 0, 0},
                              .pixels = le32s({c.pixel})}),
                         &d),
                  Step::none);
        EXPECT_EQ(d.rows, (Bytes{static_cast<unsigned char>(c.red), 0, 0}));
    }
}

TEST(DecodeBmp, RefusesDamageAtTheRightStep) {
    const BmpFile rgb{.width = 2, .height = 2, .pixels = Bytes(16, 7)};
    const BmpFile pal8{.width = 4, .bits = 8, .palette = three_colours, .pixels = {0, 1, 2, 1}};
    const BmpFile rle8{.width = 4, .height = 2, .bits = 8, .compression = 1, .palette = three_colours,
                   .pixels = {4, 1, 0, 0, 4, 2, 0, 1}};
    const auto with = [](BmpFile s, auto change) {
        change(s);
        return write_bmp(s);
    };
    const struct { const char* what; Bytes file; Step step; } cases[] = {
        {"no signature", [&] { Bytes f = write_bmp(rgb); f[1] = 'A'; return f; }(), Step::open},
        {"empty file", Bytes{}, Step::open},
        {"header size 11", with(rgb, [](BmpFile& s) { s.header = 11; }), Step::open},
        {"header size 65", with(rgb, [](BmpFile& s) { s.header = 65; }), Step::open},
        {"header size 100", with(rgb, [](BmpFile& s) { s.header = 100; }), Step::open},
        {"width 0", with(rgb, [](BmpFile& s) { s.width = 0; }), Step::open},
        {"negative width", with(rgb, [](BmpFile& s) { s.width = -2; }), Step::open},
        {"height 0", with(rgb, [](BmpFile& s) { s.height = 0; }), Step::open},
        {"height INT32_MIN", with(rgb, [](BmpFile& s) { s.height = INT32_MIN; }), Step::open},
        {"core header of width 0", with(rgb, [](BmpFile& s) { s.header = 12; s.width = 0; }), Step::open},
        {"2 planes", with(rgb, [](BmpFile& s) { s.planes = 2; }), Step::open},
        {"2 bits a pixel", with(rgb, [](BmpFile& s) { s.bits = 2; }), Step::open},
        {"64 bits a pixel", with(rgb, [](BmpFile& s) { s.bits = 64; }), Step::open},
        {"embedded JPEG", with(rgb, [](BmpFile& s) { s.compression = 4; }), Step::open},
        {"embedded PNG", with(rgb, [](BmpFile& s) { s.compression = 5; }), Step::open},
        {"alpha bit fields code", with(rgb, [](BmpFile& s) { s.compression = 6; }), Step::open},
        {"RLE8 on 4 bits", with(rle8, [](BmpFile& s) { s.bits = 4; s.palette.resize(16); }), Step::open},
        {"RLE4 on 8 bits", with(rle8, [](BmpFile& s) { s.compression = 2; }), Step::open},
        {"bit fields on 8 bits", with(pal8, [](BmpFile& s) { s.compression = 3; }), Step::open},
        {"top-down RLE", with(rle8, [](BmpFile& s) { s.height = -2; }), Step::open},
        {"more colours than the bits allow", with(pal8, [](BmpFile& s) { s.colours_used = 257; }), Step::open},
        {"palette past the file's end", with(pal8, [](BmpFile& s) { s.colours_used = 0; }), Step::open},
        {"size field beyond the file", with(rgb, [](BmpFile& s) { s.size_field = 71; }), Step::open},
        {"data offset inside the header", with(rgb, [](BmpFile& s) { s.data_offset = 39; }), Step::open},
        {"data offset past the file", with(rgb, [](BmpFile& s) { s.data_offset = 1000; }), Step::open},
        {"last row's padding missing", with(rgb, [](BmpFile& s) { s.pixels.pop_back(); }), Step::open},
        {"bit-field masks past the file's end",
         with(rgb, [](BmpFile& s) { s.bits = 16; s.compression = 3; s.width = 1; s.height = 1; s.pixels = {0, 0, 0, 0}; }),
         Step::open},
        {"index beyond the palette", with(pal8, [](BmpFile& s) { s.pixels[3] = 3; }), Step::row},
        {"4-bit index beyond the palette", with(pal8, [](BmpFile& s) { s.bits = 4; s.pixels = {0x12, 0x03, 0, 0}; }), Step::row},
        {"1-bit index beyond a palette of 1",
         with(pal8, [](BmpFile& s) { s.bits = 1; s.palette.resize(1); s.pixels = {0x10, 0, 0, 0}; }), Step::row},
        {"RLE index beyond the palette", with(rle8, [](BmpFile& s) { s.pixels[1] = 3; }), Step::row},
        {"RLE data ends before end of bitmap", with(rle8, [](BmpFile& s) { s.pixels = {4, 1, 0, 0, 2, 2}; }), Step::start},
        {"RLE literal run cut", with(rle8, [](BmpFile& s) { s.pixels = {0, 4, 1, 2}; }), Step::start},
        {"RLE image full, end code missing", with(rle8, [](BmpFile& s) { s.pixels = {4, 1, 4, 2}; }), Step::start},
        {"RLE data offset past the file", with(rle8, [](BmpFile& s) { s.data_offset = 500; }), Step::start},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(decode(c.file), c.step);
    }
}

TEST(DecodeBmp, EveryCutFileFails) {
    // No row is filled in: a file that ends early, in a header, the palette, the masks, the rows or
    // the RLE codes and their end code, fails at one step. The size field is 0, as some writers
    // leave it, so that it does not give the cut away.
    for (const Good& c : good_files()) {
        SCOPED_TRACE(c.what);
        Bytes file = c.file;
        std::fill(file.begin() + 2, file.begin() + 6, 0);
        ASSERT_EQ(decode(file), Step::none);
        for (std::size_t n = 0; n < file.size(); ++n) {
            SCOPED_TRACE(n);
            EXPECT_NE(decode(Bytes(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(n))), Step::none);
        }
    }
}

TEST(DecodeBmp, DamagedBytesNeverReadOutside) {
    // Random bytes written over the good files, mostly in their headers; any outcome but a crash
    // (under the sanitizers, any read outside the exact buffer) is fine. Whatever decodes gives
    // every row.
    std::mt19937 random(12345);
    for (const Good& c : good_files()) {
        for (int round = 0; round < 2000; ++round) {
            Bytes file = c.file;
            for (int edits = 1 + static_cast<int>(random() % 4); edits > 0; --edits) {
                const std::size_t span = random() % 2 ? std::min<std::size_t>(file.size(), 80) : file.size();
                file[random() % span] = static_cast<unsigned char>(random());
            }
            // Headers made huge are opened only: their decoding costs time, not safety.
            Decoded d;
            if (decode(file, &d, 1 << 16) == Step::none) {
                EXPECT_EQ(d.rows.size(), std::size_t{d.width} * d.height * d.channels);
            }
        }
    }
}

TEST(DecodeBmp, HostileHeadersCostNothing) {
    // A 24-bit image of 13,377 x 13,377 (within the allowance) whose rows are not in the file.
    EXPECT_EQ(decode(write_bmp({.width = 13377, .height = 13377, .pixels = Bytes(16, 0)})), Step::open);
    EXPECT_EQ(decode(write_bmp({.width = 100000, .height = -100000, .bits = 1, .palette = {0, 0xFFFFFF}, .pixels = Bytes(16, 0)})),
              Step::open);
    EXPECT_EQ(decode(write_bmp({.header = 12, .width = 65535, .height = 65535, .pixels = Bytes(16, 0)})), Step::open);

    // RLE beyond the allowance: the header opens, the indices are never taken.
    const Bytes huge_rle = write_bmp({.width = 100000, .height = 100000, .bits = 8, .compression = 1, .palette = {0x123456},
                                .pixels = {0, 1}});
    auto decoder = tarnwick::open_bmp(huge_rle.data(), huge_rle.size());
    ASSERT_TRUE(decoder);
    EXPECT_EQ(decoder->width(), 100000u);
    EXPECT_FALSE(decoder->start());

    // Codes that move far past the image, and a stream of end-of-line codes longer than the
    // image: both stop at the image's end.
    Bytes deltas;
    for (int i = 0; i < 1000; ++i) deltas.insert(deltas.end(), {0, 2, 255, 255});
    Decoded d;
    EXPECT_EQ(decode(write_bmp({.width = 3, .height = 3, .bits = 8, .compression = 1, .palette = {0x123456}, .pixels = deltas}), &d),
              Step::none);
    EXPECT_EQ(d.rows, hex("123456 123456 123456  123456 123456 123456  123456 123456 123456"));
    Bytes lines;
    for (int i = 0; i < 1000; ++i) lines.insert(lines.end(), {1, 1, 0, 0});
    EXPECT_EQ(decode(write_bmp({.width = 3, .height = 3, .bits = 8, .compression = 1, .palette = {0x123456, 0xABCDEF}, .pixels = lines}), &d),
              Step::none);
    EXPECT_EQ(d.rows, hex("abcdef 123456 123456  abcdef 123456 123456  abcdef 123456 123456"));

    // Long runs over a large image decode in full.
    Bytes runs;
    for (int y = 0; y < 2000; ++y) {
        for (int x = 0; x < 2000; x += 250) runs.insert(runs.end(), {250, static_cast<unsigned char>(y & 1)});
        runs.insert(runs.end(), {0, 0});
    }
    runs.insert(runs.end(), {0, 1});
    ASSERT_EQ(decode(write_bmp({.width = 2000, .height = 2000, .bits = 8, .compression = 1, .palette = {0x000000, 0xFFFFFF}, .pixels = runs}),
                     &d),
              Step::none);
    EXPECT_EQ(d.rows[0], 0xFF);                            // the top row is the last stored, odd
    EXPECT_EQ(d.rows[std::size_t{2000} * 3 * 1999], 0);    // the bottom row the first, even
}

TEST(DecodeBmp, RowsComeOnlyBetweenStartAndTheLastRow) {
    const Bytes file = write_bmp({.width = 1, .height = 2, .pixels = Bytes(8, 1)});
    auto decoder = tarnwick::open_bmp(file.data(), file.size());
    ASSERT_TRUE(decoder);
    unsigned char row[3];
    EXPECT_FALSE(decoder->read_row(row));
    ASSERT_TRUE(decoder->start());
    EXPECT_FALSE(decoder->start());
    EXPECT_TRUE(decoder->read_row(row));
    EXPECT_TRUE(decoder->read_row(row));
    EXPECT_FALSE(decoder->read_row(row));
}

}  // namespace
