#include "tarnwick/image_probe.h"

#include <cstring>

namespace tarnwick {
namespace {

// A bounds-checked view of the file bytes: every read outside the range yields nothing.
class Bytes {
public:
    Bytes(const unsigned char* data, std::size_t size) noexcept : data_(data), size_(size) {}

    bool has(std::size_t offset, std::size_t count) const noexcept {
        return offset <= size_ && count <= size_ - offset;
    }
    bool starts(std::size_t offset, const char* text) const noexcept {
        const std::size_t n = std::strlen(text);
        return has(offset, n) && std::memcmp(data_ + offset, text, n) == 0;
    }
    std::optional<std::uint32_t> u8(std::size_t at) const noexcept {
        if (!has(at, 1)) return std::nullopt;
        return data_[at];
    }
    std::optional<std::uint32_t> be16(std::size_t at) const noexcept {
        if (!has(at, 2)) return std::nullopt;
        return std::uint32_t{data_[at]} << 8 | data_[at + 1];
    }
    std::optional<std::uint32_t> le16(std::size_t at) const noexcept {
        if (!has(at, 2)) return std::nullopt;
        return std::uint32_t{data_[at + 1]} << 8 | data_[at];
    }
    std::optional<std::uint32_t> be32(std::size_t at) const noexcept {
        if (!has(at, 4)) return std::nullopt;
        return std::uint32_t{data_[at]} << 24 | std::uint32_t{data_[at + 1]} << 16 |
               std::uint32_t{data_[at + 2]} << 8 | data_[at + 3];
    }
    std::optional<std::uint32_t> le32(std::size_t at) const noexcept {
        if (!has(at, 4)) return std::nullopt;
        return std::uint32_t{data_[at + 3]} << 24 | std::uint32_t{data_[at + 2]} << 16 |
               std::uint32_t{data_[at + 1]} << 8 | data_[at];
    }
    std::optional<std::uint64_t> le64(std::size_t at) const noexcept {
        auto lo = le32(at), hi = le32(at + 4);
        if (!lo || !hi) return std::nullopt;
        return std::uint64_t{*hi} << 32 | *lo;
    }
    std::size_t size() const noexcept { return size_; }

private:
    const unsigned char* data_;
    std::size_t size_;
};

SampleLayout layout(std::uint32_t channels, std::uint32_t bytes_per_sample) {
    return SampleLayout{channels, bytes_per_sample, 0, 0};
}

// IHDR colour type and bit depth; a tRNS chunk before the first IDAT adds an alpha channel.
std::optional<SampleLayout> probe_png(const Bytes& b) {
    if (!b.starts(12, "IHDR")) return std::nullopt;
    auto depth = b.u8(24), colour = b.u8(25);
    if (!depth || !colour) return std::nullopt;
    bool trns = false;
    std::size_t at = 8;
    for (int chunks = 0; chunks < 4096; ++chunks) {
        auto length = b.be32(at);
        if (!length || !b.has(at + 4, 4)) break;
        if (b.starts(at + 4, "IDAT")) break;
        if (b.starts(at + 4, "tRNS")) { trns = true; break; }
        if (*length > b.size()) break;
        at += 12 + std::size_t{*length};
    }
    const std::uint32_t bytes = *depth == 16 ? 2 : 1;
    switch (*colour) {
        case 0: return layout(trns ? 2 : 1, bytes);
        case 2: return layout(trns ? 4 : 3, bytes);
        case 3: return layout(trns ? 4 : 3, 1);
        case 4: return layout(2, bytes);
        case 6: return layout(4, bytes);
        default: return std::nullopt;
    }
}

// The component count of the first SOFn frame header.
std::optional<SampleLayout> probe_jpeg(const Bytes& b) {
    std::size_t at = 2;
    while (b.has(at, 4)) {
        if (*b.u8(at) != 0xFF) return std::nullopt;
        const std::uint32_t marker = *b.u8(at + 1);
        if (marker == 0xFF) { ++at; continue; }  // fill byte
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) { at += 2; continue; }
        const std::uint32_t length = *b.be16(at + 2);
        const bool sof = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 &&
                         marker != 0xCC;
        if (sof) {
            auto components = b.u8(at + 9);
            if (!components || *components == 0) return std::nullopt;
            return layout(*components == 1 ? 1 : *components >= 4 ? 4 : 3, 1);
        }
        if (marker == 0xD9 || marker == 0xDA || length < 2) return std::nullopt;
        at += 2 + std::size_t{length};
    }
    return std::nullopt;
}

// The logical screen decodes as RGBA.
std::optional<SampleLayout> probe_gif(const Bytes& b) {
    auto width = b.le16(6), height = b.le16(8);
    if (!width || !height) return std::nullopt;
    return SampleLayout{4, 1, *width, *height};
}

std::optional<SampleLayout> probe_webp(const Bytes& b) {
    if (b.starts(12, "VP8X")) {
        auto flags = b.u8(20);
        if (!flags) return std::nullopt;
        return layout((*flags & 0x10) ? 4 : 3, 1);
    }
    if (b.starts(12, "VP8L")) {
        // 14-bit width - 1, 14-bit height - 1, then the alpha_is_used bit, little-endian bit order.
        auto bits = b.le32(21);
        if (!bits || *b.u8(20) != 0x2F) return std::nullopt;
        return layout((*bits >> 28) & 1 ? 4 : 3, 1);
    }
    if (b.starts(12, "VP8 ")) return layout(3, 1);
    return std::nullopt;
}

// SamplesPerPixel, BitsPerSample, SampleFormat and Photometric of the first IFD.
std::optional<SampleLayout> probe_tiff(const Bytes& b) {
    const bool little = b.starts(0, "II");
    auto u16 = [&](std::size_t at) { return little ? b.le16(at) : b.be16(at); };
    auto u32 = [&](std::size_t at) { return little ? b.le32(at) : b.be32(at); };
    auto version = u16(2);
    if (!version) return std::nullopt;
    const bool big = *version == 43;
    std::uint64_t ifd = 0;
    if (big) {
        if (!little) {
            auto hi = b.be32(8), lo = b.be32(12);
            if (!hi || !lo) return std::nullopt;
            ifd = std::uint64_t{*hi} << 32 | *lo;
        } else {
            auto v = b.le64(8);
            if (!v) return std::nullopt;
            ifd = *v;
        }
    } else {
        auto v = u32(4);
        if (!v) return std::nullopt;
        ifd = *v;
    }
    if (ifd > b.size()) return std::nullopt;
    std::uint64_t count = 0;
    std::size_t entry = 0, entry_size = big ? 20 : 12, value_at = big ? 12 : 8;
    if (big) {
        auto hi = little ? b.le32(ifd + 4) : b.be32(ifd), lo = little ? b.le32(ifd) : b.be32(ifd + 4);
        if (!hi || !lo) return std::nullopt;
        count = std::uint64_t{*hi} << 32 | *lo;
        entry = ifd + 8;
    } else {
        auto c = u16(ifd);
        if (!c) return std::nullopt;
        count = *c;
        entry = ifd + 2;
    }
    std::uint32_t samples = 1, bits = 1, format = 1, photometric = 1;
    for (std::uint64_t i = 0; i < count && i < 4096; ++i, entry += entry_size) {
        auto tag = u16(entry), type = u16(entry + 2);
        if (!tag || !type) return std::nullopt;
        // The first value of a SHORT or LONG field sits at the start of the value slot.
        auto value = *type == 3 ? u16(entry + value_at) : u32(entry + value_at);
        if (*tag == 258 || *tag == 339) {
            // Several samples put their values behind an offset; the first sample decides.
            auto n = !big ? u32(entry + 4) : little ? b.le32(entry + 4) : b.be32(entry + 8);
            const std::size_t slot = big ? 8 : 4;
            if (n && *type == 3 && std::uint64_t{*n} * 2 > slot) {
                auto offset = u32(entry + value_at);
                value = offset ? u16(*offset) : std::nullopt;
            }
        }
        if (!value) return std::nullopt;
        switch (*tag) {
            case 258: bits = *value; break;
            case 262: photometric = *value; break;
            case 277: samples = *value; break;
            case 339: format = *value; break;
            default: break;
        }
    }
    if (samples == 0) return std::nullopt;
    if (format == 3) return layout(samples >= 4 || samples == 2 ? 4 : 3, 4);
    const std::uint32_t bytes = bits > 8 ? 2 : 1;
    if (photometric == 3) return layout(3, 1);  // palette expands to RGB
    if (photometric == 5) return layout(samples > 4 ? 4 : 3, bytes);  // CMYK converts to RGB(A)
    return layout(samples >= 4 ? 4 : samples, bytes);
}

// Bit count of the info header; 32- and 16-bit images carry alpha when an alpha mask is set.
std::optional<SampleLayout> probe_bmp(const Bytes& b) {
    auto header = b.le32(14);
    if (!header) return std::nullopt;
    if (*header == 12) return layout(3, 1);
    auto bit_count = b.le16(28);
    if (!bit_count) return std::nullopt;
    bool alpha = false;
    if (*bit_count == 32 || *bit_count == 16) {
        if (*header >= 56) {
            auto mask = b.le32(14 + 52);
            alpha = mask && *mask != 0;
        } else if (*bit_count == 32 && *header == 40) {
            // A plain 32-bit header: the decoder keeps the fourth byte as alpha.
            alpha = true;
        }
    }
    return layout(alpha ? 4 : 3, 1);
}

}  // namespace

std::optional<ImageFormat> detect_format(const unsigned char* bytes, std::size_t size) noexcept {
    const Bytes b(bytes, size < 16 ? size : 16);
    if (b.starts(0, "\x89PNG\r\n\x1a\n")) return ImageFormat::png;
    if (b.starts(0, "\xff\xd8\xff")) return ImageFormat::jpeg;
    if (b.starts(0, "GIF87a") || b.starts(0, "GIF89a")) return ImageFormat::gif;
    if (b.starts(0, "RIFF") && b.starts(8, "WEBP")) return ImageFormat::webp;
    if (b.starts(0, "MM") || b.starts(0, "II")) {
        const bool little = b.starts(0, "II");
        auto version = little ? b.le16(2) : b.be16(2);
        if (version && (*version == 42 || *version == 43)) return ImageFormat::tiff;
    }
    if (b.starts(0, "BM")) return ImageFormat::bmp;
    return std::nullopt;
}

std::optional<SampleLayout> probe_layout(ImageFormat format, const unsigned char* bytes,
                                         std::size_t size) noexcept {
    const Bytes b(bytes, size);
    switch (format) {
        case ImageFormat::png: return probe_png(b);
        case ImageFormat::jpeg: return probe_jpeg(b);
        case ImageFormat::gif: return probe_gif(b);
        case ImageFormat::webp: return probe_webp(b);
        case ImageFormat::tiff: return probe_tiff(b);
        case ImageFormat::bmp: return probe_bmp(b);
    }
    return std::nullopt;
}

bool fits_allowance(std::uint64_t width, std::uint64_t height, const SampleLayout& layout) noexcept {
    // Sides above 32 bits are beyond any decoder; below that width * height fits 64 bits.
    if (width > UINT32_MAX || height > UINT32_MAX) return false;
    const std::uint64_t per_pixel = std::uint64_t{layout.channels} * layout.bytes_per_sample;
    if (per_pixel == 0) return false;
    return width * height <= decode_allowance / per_pixel;
}

}  // namespace tarnwick
