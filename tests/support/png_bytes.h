#pragma once
// Hand-made PNG files for tests and benchmarks: complete images of uniform rows, deflated row by
// row so that even huge images stay small in memory and on disk. Needs zlib.

#include <zlib.h>

#include <cstdint>
#include <string>

namespace test_support {

inline void put_be32(std::string& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>(v >> shift);
}

inline void put_png_chunk(std::string& out, const char* type, const std::string& data) {
    put_be32(out, static_cast<std::uint32_t>(data.size()));
    const std::size_t start = out.size();
    out.append(type, 4);
    out += data;
    put_be32(out, static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(out.data() + start),
                                                   static_cast<uInt>(out.size() - start))));
}

// A complete PNG of width x height (colour type 0, 2, 4 or 6) whose every sample byte is `fill`.
inline std::string uniform_png(std::uint32_t width, std::uint32_t height, int colour_type, int depth,
                               char fill = '\0') {
    std::string out = "\x89PNG\r\n\x1a\n";
    std::string ihdr;
    put_be32(ihdr, width);
    put_be32(ihdr, height);
    ihdr += {static_cast<char>(depth), static_cast<char>(colour_type), 0, 0, 0};
    put_png_chunk(out, "IHDR", ihdr);
    const int channels = colour_type == 2 ? 3 : colour_type == 6 ? 4 : colour_type == 4 ? 2 : 1;
    std::string line(1 + (std::size_t{width} * channels * depth + 7) / 8, fill);
    line[0] = 0;  // filter type none
    z_stream z{};
    deflateInit(&z, 9);
    std::string idat, buffer(1 << 16, '\0');
    for (std::uint32_t y = 0; y < height; ++y) {
        z.next_in = reinterpret_cast<Bytef*>(line.data());
        z.avail_in = static_cast<uInt>(line.size());
        const int flush = y + 1 == height ? Z_FINISH : Z_NO_FLUSH;
        do {
            z.next_out = reinterpret_cast<Bytef*>(buffer.data());
            z.avail_out = static_cast<uInt>(buffer.size());
            deflate(&z, flush);
            idat.append(buffer.data(), buffer.size() - z.avail_out);
        } while (z.avail_out == 0);
    }
    deflateEnd(&z);
    put_png_chunk(out, "IDAT", idat);
    put_png_chunk(out, "IEND", {});
    return out;
}

}  // namespace test_support
