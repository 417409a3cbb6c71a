#pragma once
// One decoder per format behind one small interface. Opening a decoder reads the file's header
// only: the image's size and the layout its samples will come in. The road checks the memory
// allowance on those before any pixel is decoded, then starts the decoder and pulls the rows
// from the top. A format whose rows cannot come in order (an interlaced PNG, an RLE bitmap)
// holds what it needs inside its decoder, in its own layout, from `start` on.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace tarnwick {

// 16-bit samples are in the machine's byte order; float samples are native 32-bit floats.
enum class SampleType : std::uint8_t { u8, u16, f32 };

// One decoded pixel: 1 grey, 2 grey + alpha, 3 RGB or 4 RGBA channels of one sample type.
// Only ten layouts occur: every channel count with u8 or u16, and 3 or 4 channels with f32.
struct PixelLayout {
    std::uint32_t channels = 3;
    SampleType type = SampleType::u8;

    constexpr std::uint32_t sample_bytes() const noexcept {
        return type == SampleType::u8 ? 1 : type == SampleType::u16 ? 2 : 4;
    }
    constexpr std::uint32_t pixel_bytes() const noexcept { return channels * sample_bytes(); }
    constexpr bool has_alpha() const noexcept { return channels == 2 || channels == 4; }
    // Grey images keep one colour channel through scaling; R, G and B are filled at the end.
    constexpr std::uint32_t colour_channels() const noexcept { return channels >= 3 ? 3 : 1; }
    friend constexpr bool operator==(PixelLayout, PixelLayout) = default;
};

class ImageDecoder {
public:
    virtual ~ImageDecoder() = default;
    ImageDecoder(const ImageDecoder&) = delete;
    ImageDecoder& operator=(const ImageDecoder&) = delete;

    std::uint32_t width() const noexcept { return width_; }
    std::uint32_t height() const noexcept { return height_; }
    PixelLayout layout() const noexcept { return layout_; }
    std::size_t row_bytes() const noexcept { return std::size_t{width_} * layout_.pixel_bytes(); }

    // Decodes what must be held before the first row can be given. Called once, after the
    // allowance has been checked on width, height and layout. False on any decoding error.
    virtual bool start() = 0;
    // Writes the next row, top to bottom, `row_bytes()` bytes. False on a decoding error or past
    // the last row. A decoder may give a row that damage cut short filled as far as its data
    // goes, where that is the format library's own tolerance (a JPEG that ends early).
    virtual bool read_row(unsigned char* row) = 0;

protected:
    ImageDecoder() = default;
    std::uint32_t width_ = 0;
    std::uint32_t height_ = 0;
    PixelLayout layout_;
};

// Each opens a decoder on the file bytes, which must outlive it, and reads the header. Nothing
// when the header is rejected, the image is empty (a side of 0), or the content cannot be
// decoded here. They never read outside the bytes, never print, and never end the process.
std::unique_ptr<ImageDecoder> open_png(const unsigned char* bytes, std::size_t size);
std::unique_ptr<ImageDecoder> open_jpeg(const unsigned char* bytes, std::size_t size);
std::unique_ptr<ImageDecoder> open_gif(const unsigned char* bytes, std::size_t size);
std::unique_ptr<ImageDecoder> open_webp(const unsigned char* bytes, std::size_t size);
std::unique_ptr<ImageDecoder> open_tiff(const unsigned char* bytes, std::size_t size);
std::unique_ptr<ImageDecoder> open_bmp(const unsigned char* bytes, std::size_t size);

// Little-endian fields of a file header; the caller has checked that the bytes are there.
inline std::uint32_t le16(const unsigned char* p) noexcept { return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8; }
inline std::uint32_t le32(const unsigned char* p) noexcept { return le16(p) | le16(p + 2) << 16; }

// A heap block taken with malloc, for what a decoder holds between `start` and its last row: a
// block too large for memory is a decoding failure, not the end of the process that a failed
// operator new would be.
class HeldBlock {
public:
    HeldBlock() = default;
    // False when the memory cannot be had. Not zero-filled.
    bool allocate(std::size_t bytes) noexcept {
        data_.reset(static_cast<unsigned char*>(std::malloc(bytes == 0 ? 1 : bytes)));
        size_ = data_ ? bytes : 0;
        return data_ != nullptr;
    }
    unsigned char* data() noexcept { return data_.get(); }
    const unsigned char* data() const noexcept { return data_.get(); }
    std::size_t size() const noexcept { return size_; }
    void reset() noexcept {
        data_.reset();
        size_ = 0;
    }

private:
    struct FreeDeleter {
        void operator()(unsigned char* p) const noexcept { std::free(p); }
    };
    std::unique_ptr<unsigned char, FreeDeleter> data_;
    std::size_t size_ = 0;
};

}  // namespace tarnwick
