// BMP, read by a small decoder of our own from the format's published layout: the 14-byte file
// header, then the info header, whose size tells its kind: 12 is the OS/2 1.x core header, with
// 16-bit sides and 3-byte palette entries; 16 to 64 the Windows header (40), its extensions with
// bit-field masks (52, 56) and the OS/2 2.x header, whose fields past its length count as 0; 108
// and 124 the V4 and V5 headers. Then the palette (at most 8 bits a pixel) and the pixel rows,
// bottom-up unless the height is negative.
//
// Uncompressed rows are read straight from the file bytes, in any order, so nothing is held. RLE
// rows can only be found by decoding from the start, and the codes may skip pixels and rows: from
// `start` on the decoder holds the whole image as palette indices, one byte a pixel, and expands
// one row to colours per `read_row`.
//
// Damage fails the decode, never a read outside the bytes: a header, palette, mask or row that
// the file does not hold, a palette index beyond the palette, RLE data that ends before its
// end-of-bitmap code.
#include <algorithm>
#include <array>
#include <cstring>

#include "tarnwick/decode.h"
#include "tarnwick/image_probe.h"

namespace tarnwick {
namespace {

constexpr std::uint32_t bi_rgb = 0, bi_rle8 = 1, bi_rle4 = 2, bi_bitfields = 3;

// One channel of a bit-field pixel. The field is widened to 16 bits by moving its highest mask bit
// to the top (an 8-bit field repeats its byte, so that it stays exact) and then rounded to 8 bits
// as a 16-bit sample is: 5 bits of 31 give 247, 6 bits of 63 give 251, 10 bits of 1023 give 255.
// A zero mask gives 0.
class Field {
public:
    Field() = default;
    explicit Field(std::uint32_t mask) noexcept : mask_(mask) {
        if (mask == 0) return;
        while (!((mask << shift_) & 0x80000000u)) ++shift_;
        std::uint32_t run = 0;
        while (shift_ + run < 32 && ((mask << (shift_ + run)) & 0x80000000u)) ++run;
        repeat_ = run == 8;
    }
    unsigned char operator()(std::uint32_t pixel) const noexcept {
        std::uint32_t v = ((pixel & mask_) << shift_) >> 16;
        if (repeat_) v |= v >> 8;
        return static_cast<unsigned char>((v + 128) / 257);
    }

private:
    std::uint32_t mask_ = 0;
    std::uint32_t shift_ = 0;
    bool repeat_ = false;
};

class BmpDecoder final : public ImageDecoder {
public:
    static std::unique_ptr<BmpDecoder> open(const unsigned char* bytes, std::size_t size);
    bool start() override;
    bool read_row(unsigned char* row) override;

private:
    BmpDecoder(const unsigned char* bytes, std::size_t size) noexcept : bytes_(bytes), size_(size) {}
    bool decode_rle();
    bool palette_row(const unsigned char* indices, unsigned char* out) const noexcept;
    bool packed_row(const unsigned char* in, unsigned char* out) const noexcept;

    const unsigned char* bytes_;
    std::size_t size_;
    std::uint32_t bits_ = 0;
    std::uint32_t compression_ = bi_rgb;
    bool top_down_ = false;
    std::size_t offset_ = 0;  // of the pixel data
    std::size_t stride_ = 0;  // bytes of one stored row, padded to 4
    std::uint32_t colours_ = 0;
    std::array<unsigned char, 256 * 3> palette_{};  // R, G, B
    Field red_, green_, blue_, alpha_;
    HeldBlock indices_;  // RLE only: the image as palette indices, bottom row first
    bool started_ = false;
    bool ready_ = false;  // started without error, and no row has failed since
    std::uint32_t next_row_ = 0;
};

std::unique_ptr<BmpDecoder> BmpDecoder::open(const unsigned char* bytes, std::size_t size) {
    if (size < 18 || bytes[0] != 'B' || bytes[1] != 'M') return nullptr;
    // The size field may be 0 or short of the file (some writers leave it so), never beyond it.
    const std::uint32_t size_field = le32(bytes + 2);
    if (size_field != 0 && size_field > size) return nullptr;
    const std::uint32_t offset = le32(bytes + 10);
    const std::uint32_t header = le32(bytes + 14);
    const bool core = header == 12;
    if (!core && !(header >= 16 && header <= 64) && header != 108 && header != 124) return nullptr;
    // The whole info header must be in the file; pixel data that starts before the header's own
    // length is damage.
    if (header > size - 14 || offset < header) return nullptr;
    const unsigned char* h = bytes + 14;

    std::uint32_t width = 0, height = 0, planes = 0, bits = 0, compression = bi_rgb, colours_used = 0;
    bool top_down = false;
    if (core) {
        width = le16(h + 4);
        height = le16(h + 6);
        planes = le16(h + 8);
        bits = le16(h + 10);
    } else {
        const auto signed_width = static_cast<std::int32_t>(le32(h + 4));
        const auto signed_height = static_cast<std::int32_t>(le32(h + 8));
        if (signed_width <= 0 || signed_height == 0 || signed_height == INT32_MIN) return nullptr;
        width = static_cast<std::uint32_t>(signed_width);
        top_down = signed_height < 0;
        height = static_cast<std::uint32_t>(top_down ? -signed_height : signed_height);
        planes = le16(h + 12);
        bits = le16(h + 14);
        if (header >= 20) compression = le32(h + 16);
        if (header >= 36) colours_used = le32(h + 32);
    }
    if (width == 0 || height == 0 || planes != 1) return nullptr;
    if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32) return nullptr;
    // Embedded JPEG and PNG (4, 5) are not read here, nor OS/2 2.x's Huffman (3, on 1-bit
    // images) and 24-bit RLE (4). A 24-bit image with bit fields is read as plain 24-bit.
    const bool compression_fits = compression == bi_rgb || (compression == bi_rle8 && bits == 8) ||
                                  (compression == bi_rle4 && bits == 4) ||
                                  (compression == bi_bitfields && !core && bits >= 16);
    if (!compression_fits) return nullptr;
    // Codes cannot be read from the top: RLE is bottom-up only.
    if (top_down && (compression == bi_rle8 || compression == bi_rle4)) return nullptr;

    std::unique_ptr<BmpDecoder> d(new BmpDecoder(bytes, size));
    d->width_ = width;
    d->height_ = height;
    d->bits_ = bits;
    d->compression_ = compression;
    d->top_down_ = top_down;
    d->offset_ = offset;
    d->layout_ = PixelLayout{3, SampleType::u8};

    if (bits <= 8) {
        const std::uint32_t most = 1u << bits;
        if (colours_used > most) return nullptr;
        d->colours_ = colours_used != 0 ? colours_used : most;
        // The core header has 3-byte entries (B, G, R), the others 4 (B, G, R, unused). Files with
        // the full 64-byte OS/2 2.x header are written both ways: 3 when only that fits before
        // the pixel data.
        const std::size_t palette_at = 14 + std::size_t{header};
        std::size_t entry = core ? 3 : 4;
        if (header == 64 && offset >= palette_at) {
            const std::size_t room = offset - palette_at;
            if (room < 4 * std::size_t{d->colours_} && room >= 3 * std::size_t{d->colours_}) entry = 3;
        }
        // The palette may run into the pixel data, but not past the file.
        if (entry * d->colours_ > size - palette_at) return nullptr;
        for (std::uint32_t i = 0; i < d->colours_; ++i) {
            const unsigned char* e = bytes + palette_at + i * entry;
            d->palette_[i * 3] = e[2];
            d->palette_[i * 3 + 1] = e[1];
            d->palette_[i * 3 + 2] = e[0];
        }
    } else if (bits == 16 || bits == 32) {
        if (compression == bi_bitfields) {
            // Red, green and blue masks follow the 40-byte header, or sit at the same place inside
            // a longer one; the alpha mask exists in headers of 56 bytes and more.
            if (size < 66) return nullptr;
            d->red_ = Field(le32(bytes + 54));
            d->green_ = Field(le32(bytes + 58));
            d->blue_ = Field(le32(bytes + 62));
            const std::uint32_t alpha_mask = header >= 56 ? le32(bytes + 66) : 0;
            if (alpha_mask != 0) {
                d->alpha_ = Field(alpha_mask);
                d->layout_ = PixelLayout{4, SampleType::u8};
            }
        } else if (bits == 16) {
            d->red_ = Field(0x7C00);
            d->green_ = Field(0x03E0);
            d->blue_ = Field(0x001F);
        }
        // 32-bit BI_RGB is B, G, R and a fourth byte, read directly in packed_row. The format
        // calls that byte unused, yet many writers store alpha there; it is kept as alpha, so the
        // allowance counts the four bytes a pixel the file holds (the road drops alpha anyway).
        if (bits == 32 && compression == bi_rgb) d->layout_ = PixelLayout{4, SampleType::u8};
    }

    if (compression == bi_rgb || compression == bi_bitfields) {
        // Every row must be there, the last one's padding included; the product is kept below
        // the file size, so it cannot overflow.
        d->stride_ = static_cast<std::size_t>((std::uint64_t{width} * bits + 31) / 32 * 4);
        if (offset > size || height > (size - offset) / d->stride_) return nullptr;
    }
    return d;
}

// RLE codes come in byte pairs: a count and a palette index (RLE4: two, alternating), or 0 and
// an escape: 0 ends the line, and the codes go on at the start of the row after the one the line
// began in; 1 ends the bitmap; 2 moves right and up by the next two bytes; 3 and more give that
// many indices literally, padded to an even byte count. A run goes on across the row's end into
// the next row; whatever passes the image's end is dropped. Pixels no code reaches keep index 0.
// Each pair consumes file bytes, so the loop ends with the data.
bool BmpDecoder::decode_rle() {
    const std::uint64_t width = width_, total = std::uint64_t{width_} * height_;
    unsigned char* out = indices_.data();
    std::memset(out, 0, total);
    const bool nibbles = compression_ == bi_rle4;
    std::size_t at = offset_;
    const auto next = [&](std::uint32_t& v) {
        if (at >= size_) return false;
        v = bytes_[at++];
        return true;
    };
    std::uint64_t p = 0, row = 0;
    while (p < total) {
        std::uint32_t count = 0, code = 0;
        if (!next(count) || !next(code)) return false;
        if (count > 0) {
            const std::uint64_t n = std::min<std::uint64_t>(count, total - p);
            if (!nibbles) {
                std::memset(out + p, static_cast<int>(code), n);
            } else {
                for (std::uint64_t i = 0; i < n; ++i) out[p + i] = static_cast<unsigned char>(i & 1 ? code & 15 : code >> 4);
            }
            p += n;
            continue;
        }
        if (code == 0) {
            ++row;
            p = row * width;
        } else if (code == 1) {
            return true;
        } else if (code == 2) {
            std::uint32_t dx = 0, dy = 0;
            if (!next(dx) || !next(dy)) return false;
            row += dy;
            p += dy * width + dx;
        } else {
            const std::uint64_t n = std::min<std::uint64_t>(code, total - p);
            std::uint32_t v = 0;
            for (std::uint64_t i = 0; i < n; ++i) {
                if (!nibbles || !(i & 1)) {
                    if (!next(v)) return false;
                }
                out[p + i] = static_cast<unsigned char>(!nibbles ? v : i & 1 ? v & 15 : v >> 4);
            }
            p += n;
            const std::uint64_t data_bytes = nibbles ? (n + 1) / 2 : n;
            if (data_bytes & 1) {
                if (!next(v)) return false;
            }
        }
    }
    // The image is full (or the codes moved past it): the end-of-line or end-of-bitmap code that
    // follows must still be in the file, or the file was cut.
    return size_ - at >= 2;
}

bool BmpDecoder::start() {
    if (started_) return false;
    started_ = true;
    if (compression_ != bi_rle8 && compression_ != bi_rle4) return ready_ = true;
    // The indices are a third of the image's RGB samples, which the allowance has let through;
    // checked again here so that no caller can make this decoder hold more.
    const std::uint64_t pixels = std::uint64_t{width_} * height_;
    if (pixels > decode_allowance / layout_.pixel_bytes()) return false;
    if (!indices_.allocate(static_cast<std::size_t>(pixels))) return false;
    if (!decode_rle()) {
        indices_.reset();
        return false;
    }
    return ready_ = true;
}

bool BmpDecoder::palette_row(const unsigned char* indices, unsigned char* out) const noexcept {
    for (std::uint32_t x = 0; x < width_; ++x, out += 3) {
        const std::uint32_t i = indices[x];
        if (i >= colours_) return false;
        std::memcpy(out, &palette_[i * 3], 3);
    }
    return true;
}

// One stored row of 1 to 32 bits a pixel to RGB or RGBA.
bool BmpDecoder::packed_row(const unsigned char* in, unsigned char* out) const noexcept {
    const std::uint32_t w = width_;
    switch (bits_) {
        case 1:
        case 4: {
            const std::uint32_t per_byte = 8 / bits_, mask = (1u << bits_) - 1;
            for (std::uint32_t x = 0; x < w; ++x, out += 3) {
                const std::uint32_t shift = 8 - bits_ * (x % per_byte + 1);
                const std::uint32_t i = (in[x / per_byte] >> shift) & mask;
                if (i >= colours_) return false;
                std::memcpy(out, &palette_[i * 3], 3);
            }
            return true;
        }
        case 8:
            return palette_row(in, out);
        case 24:
            for (std::uint32_t x = 0; x < w; ++x, in += 3, out += 3) {
                out[0] = in[2];
                out[1] = in[1];
                out[2] = in[0];
            }
            return true;
        case 32:
            if (compression_ == bi_rgb) {
                for (std::uint32_t x = 0; x < w; ++x, in += 4, out += 4) {
                    out[0] = in[2];
                    out[1] = in[1];
                    out[2] = in[0];
                    out[3] = in[3];
                }
                return true;
            }
            break;
        default:
            break;
    }
    const std::uint32_t step = bits_ / 8, channels = layout_.channels;
    for (std::uint32_t x = 0; x < w; ++x, in += step, out += channels) {
        const std::uint32_t pixel = step == 2 ? le16(in) : le32(in);
        out[0] = red_(pixel);
        out[1] = green_(pixel);
        out[2] = blue_(pixel);
        if (channels == 4) out[3] = alpha_(pixel);
    }
    return true;
}

bool BmpDecoder::read_row(unsigned char* row) {
    if (!ready_ || next_row_ >= height_) return false;
    const std::uint32_t y = next_row_;
    const std::uint32_t stored = top_down_ ? y : height_ - 1 - y;
    bool ok = false;
    if (indices_.data()) {
        ok = palette_row(indices_.data() + std::size_t{stored} * width_, row);
    } else {
        ok = packed_row(bytes_ + offset_ + std::size_t{stored} * stride_, row);
    }
    if (!ok) return ready_ = false;
    ++next_row_;
    return true;
}

}  // namespace

std::unique_ptr<ImageDecoder> open_bmp(const unsigned char* bytes, std::size_t size) {
    return BmpDecoder::open(bytes, size);
}

}  // namespace tarnwick
