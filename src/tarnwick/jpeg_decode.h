#pragma once
// JPEG decoding straight into 8-bit RGB rows with libjpeg: grey is spread to R = G = B, YCbCr and
// RGB come out as RGB, and CMYK or YCCK are combined into RGB the way the image library does it.

#include <cstddef>
#include <cstdint>
#include <memory>

namespace tarnwick {

struct JpegState;

class JpegDecoder {
public:
    // Reads the header of the JPEG held in `bytes` (which must outlive the decoder); nothing when
    // libjpeg rejects it or the colour space has no RGB form here.
    static std::unique_ptr<JpegDecoder> open(const unsigned char* bytes, std::size_t size);
    ~JpegDecoder();
    JpegDecoder(const JpegDecoder&) = delete;
    JpegDecoder& operator=(const JpegDecoder&) = delete;

    std::uint32_t width() const noexcept;
    std::uint32_t height() const noexcept;

    // Starts decompression; false on a libjpeg error. Call once, before read_row.
    bool start();
    // Decodes the next row into `rgb` (width * 3 bytes). False on a libjpeg error, on too much
    // damage (one warning more than three times, or more than 100 scans) or past the last row.
    // Otherwise damaged entropy data and a file that ends early are only warnings: the rows
    // decode as far as the data goes, the rest is filled, and they still count as read.
    bool read_row(unsigned char* rgb);

private:
    explicit JpegDecoder(std::unique_ptr<JpegState> state) noexcept;
    std::unique_ptr<JpegState> state_;
};

}  // namespace tarnwick
