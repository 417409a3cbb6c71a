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
    std::optional<std::uint32_t> be16(std::size_t at) const noexcept {
        if (!has(at, 2)) return std::nullopt;
        return std::uint32_t{data_[at]} << 8 | data_[at + 1];
    }
    std::optional<std::uint32_t> le16(std::size_t at) const noexcept {
        if (!has(at, 2)) return std::nullopt;
        return std::uint32_t{data_[at + 1]} << 8 | data_[at];
    }

private:
    const unsigned char* data_;
    std::size_t size_;
};

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

std::unique_ptr<ImageDecoder> open_decoder(ImageFormat format, const unsigned char* bytes, std::size_t size) {
    switch (format) {
        case ImageFormat::png: return open_png(bytes, size);
        case ImageFormat::jpeg: return open_jpeg(bytes, size);
        case ImageFormat::gif: return open_gif(bytes, size);
        case ImageFormat::webp: return open_webp(bytes, size);
        case ImageFormat::tiff: return open_tiff(bytes, size);
        case ImageFormat::bmp: return open_bmp(bytes, size);
    }
    return nullptr;
}

bool fits_allowance(std::uint64_t width, std::uint64_t height, PixelLayout layout) noexcept {
    // Sides above 32 bits are beyond any decoder; below that width * height fits 64 bits.
    if (width > UINT32_MAX || height > UINT32_MAX) return false;
    const std::uint64_t per_pixel = layout.pixel_bytes();
    if (per_pixel == 0) return false;
    return width * height <= decode_allowance / per_pixel;
}

}  // namespace tarnwick
