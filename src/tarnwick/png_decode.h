#pragma once
// PNG decoding with libpng straight into 8-bit RGB rows, for files whose samples are at most 8 bits
// and which are not interlaced: palettes are expanded, 1, 2 and 4-bit grey is spread to 8 bits,
// grey becomes R = G = B, and alpha and tRNS are dropped without compositing (the stored colour
// stays). 16-bit and interlaced files are left to the image library.

#include <cstddef>
#include <cstdint>
#include <memory>

namespace tarnwick {

struct PngState;

class PngDecoder {
public:
    // Reads the chunks up to the image data of the PNG held in `bytes` (which must outlive the
    // decoder); nothing when libpng rejects them.
    static std::unique_ptr<PngDecoder> open(const unsigned char* bytes, std::size_t size);
    ~PngDecoder();
    PngDecoder(const PngDecoder&) = delete;
    PngDecoder& operator=(const PngDecoder&) = delete;

    std::uint32_t width() const noexcept;
    std::uint32_t height() const noexcept;
    // True when this decoder can give the rows: samples of at most 8 bits, no interlacing.
    bool streamable() const noexcept;

    // Sets up the conversion to 8-bit RGB; false on a libpng error or an unstreamable file. Call
    // once, before read_row.
    bool start();
    // Decodes the next row into `rgb` (width * 3 bytes). False on a libpng error (damaged or
    // missing image data, a bad CRC in a critical chunk) or past the last row.
    bool read_row(unsigned char* rgb);

private:
    explicit PngDecoder(std::unique_ptr<PngState> state) noexcept;
    std::unique_ptr<PngState> state_;
};

}  // namespace tarnwick
