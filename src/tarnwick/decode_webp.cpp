// WebP through libwebp: a still image, or the first frame of an animation placed on its canvas.
//
// libwebp decodes into one output buffer as large as the image. Its incremental decoder hands
// rows out between calls, but a call stops only where the bytes fed run out, and a region that
// costs no bits (a blank page, a run of skipped macroblocks) is decoded whole by one call however
// few bytes were fed; so it bounds nothing. What does bound the rows written is cropping: a decode
// cropped to rows [top, bottom) stops at `bottom`. A large image is therefore decoded in bands,
// each a fresh decode from the top cropped to the band, into one buffer of a band's size. A
// lossless decode holds the whole image as 32-bit ARGB inside libwebp whatever the crop (which is
// why lossless counts as RGBA against the allowance); bands are sized so that this and the band
// stay near the allowance, and an image whose band is the whole image is decoded once. Every band
// is a complete decode of libwebp's own, so damage anywhere fails the decode, as it fails a decode
// of the whole image.
//
// The alpha of a lossy image is decoded here rather than by libwebp, which would hold a whole
// alpha plane beside the alpha's own lossless decode (5 bytes a pixel). Its chunk is either the
// filtered plane itself or a lossless bitstream without the lossless header, whose green channel
// is the filtered plane; with that header put in front, libwebp decodes it as a lossless image,
// in the same bands. The colour comes from the VP8 bitstream decoded alone.
#include <algorithm>
#include <cstring>

#include <webp/decode.h>
#include <webp/demux.h>

#include "tarnwick/decode.h"
#include "tarnwick/decode_webp.h"
#include "tarnwick/image_probe.h"

namespace tarnwick {
namespace {

constexpr std::size_t chunk_header = 8;
constexpr std::uint64_t max_chunk_payload = 0xFFFFFFFFu - chunk_header - 1;

// Below this the bands would be so many that decoding from the top for each costs more than the
// memory saved: a lossless image at the allowance takes 4 bands (rows 0-6516, -9774, -11403, -11585).
constexpr std::uint64_t min_band_bytes = 64u << 20;

// Fancy upsampling treats a crop's first and last rows as the image's edges; a lossy band is
// decoded with this many rows more on each side, which match the whole decode.
constexpr std::uint32_t lossy_margin = 2;

bool tag_is(const unsigned char* p, const char* tag) { return std::memcmp(p, tag, 4) == 0; }

// One coded image of the file: the VP8 or VP8L bitstream from its chunk header (or its first byte,
// when the file has none) to the end of the file or frame, and the payload of the alpha chunk that
// goes with a VP8 bitstream.
struct Bitstream {
    const unsigned char* image = nullptr;
    std::size_t image_size = 0;
    const unsigned char* alpha = nullptr;
    std::size_t alpha_size = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool lossless = false;
};

// The chunks between the extended header (or a frame's start) and the image chunk, walked as
// libwebp walks them: each is whole and within the RIFF size, and the last alpha chunk wins.
// `consumed` is what the RIFF size already counts before `at`; 0 for a frame, which has no limit
// of its own beyond its bytes.
bool find_image_chunk(const unsigned char* at, std::size_t size, std::uint64_t riff_size, std::uint64_t consumed,
                      Bitstream& out) {
    for (;;) {
        if (size < chunk_header) return false;
        const std::uint64_t payload = le32(at + 4);
        if (payload > max_chunk_payload) return false;
        const std::uint64_t on_disk = (chunk_header + payload + 1) & ~std::uint64_t{1};
        consumed += on_disk;
        if (riff_size > 0 && consumed > riff_size) return false;
        if (tag_is(at, "VP8 ") || tag_is(at, "VP8L")) {
            out.image = at;
            out.image_size = size;
            return true;
        }
        if (size < on_disk) return false;
        if (tag_is(at, "ALPH")) {
            out.alpha = at + chunk_header;
            out.alpha_size = static_cast<std::size_t>(payload);
        }
        at += on_disk;
        size -= static_cast<std::size_t>(on_disk);
    }
}

// The image's size and kind, from the bitstream's own header.
bool read_image_header(Bitstream& s) {
    WebPBitstreamFeatures features;
    if (WebPGetFeatures(s.image, s.image_size, &features) != VP8_STATUS_OK) return false;
    if (features.width <= 0 || features.height <= 0) return false;
    s.width = static_cast<std::uint32_t>(features.width);
    s.height = static_cast<std::uint32_t>(features.height);
    s.lossless = features.format == 2;
    if (s.lossless) s.alpha = nullptr;  // a lossless bitstream carries its own alpha
    return true;
}

// How the alpha plane predicts each sample, in bits 2 and 3 of the alpha chunk's first byte.
enum AlphaFilter : unsigned { no_filter = 0, horizontal = 1, vertical = 2, gradient = 3 };

// The alpha chunk's first byte: compression (0 raw, 1 lossless), filter, pre-processing (a hint
// only) and two reserved bits, checked as libwebp checks them; raw samples must fill the plane.
bool alpha_header_valid(const Bitstream& s) {
    if (!s.alpha) return true;
    if (s.alpha_size <= 1) return false;
    const unsigned header = s.alpha[0];
    const unsigned compression = header & 3, pre_processing = header >> 4 & 3, reserved = header >> 6;
    if (compression > 1 || pre_processing > 1 || reserved != 0) return false;
    if (compression == 0) return s.alpha_size - 1 >= std::uint64_t{s.width} * s.height;
    return true;
}

// Undoes the alpha filter on one row in place, as libwebp's decoder does. `above` is the row above,
// already unfiltered, or null on the first row, which every filter predicts from the left only.
void unfilter_alpha(unsigned filter, const unsigned char* above, unsigned char* row, std::uint32_t width) {
    if (filter == no_filter) return;
    if (filter == horizontal || !above) {
        unsigned char left = (filter == horizontal && above) ? above[0] : 0;
        for (std::uint32_t x = 0; x < width; ++x) left = row[x] = static_cast<unsigned char>(row[x] + left);
    } else if (filter == vertical) {
        for (std::uint32_t x = 0; x < width; ++x) row[x] = static_cast<unsigned char>(row[x] + above[x]);
    } else {
        int left = above[0], top_left = above[0];
        for (std::uint32_t x = 0; x < width; ++x) {
            const int top = above[x];
            const int predicted = std::clamp(left + top - top_left, 0, 255);
            left = row[x] = static_cast<unsigned char>(row[x] + predicted);
            top_left = top;
        }
    }
}

// The decoder settings of one band; the output buffer is ours, so releasing the settings frees
// only what libwebp may have attached to them.
struct DecoderConfig {
    WebPDecoderConfig config;
    bool ready = WebPInitDecoderConfig(&config) != 0;
    ~DecoderConfig() {
        if (ready) WebPFreeDecBuffer(&config.output);
    }
    DecoderConfig() = default;
    DecoderConfig(const DecoderConfig&) = delete;
    DecoderConfig& operator=(const DecoderConfig&) = delete;
};

// Decodes rows [top, bottom) of a bitstream `width` pixels wide into `out`, one row after another.
bool decode_rows(const unsigned char* data, std::size_t size, std::uint32_t width, std::uint32_t top,
                 std::uint32_t bottom, WEBP_CSP_MODE mode, unsigned char* out, std::size_t out_size) {
    DecoderConfig owner;
    if (!owner.ready) return false;
    WebPDecoderConfig& config = owner.config;
    config.options.use_cropping = 1;
    config.options.crop_left = 0;
    config.options.crop_top = static_cast<int>(top);
    config.options.crop_width = static_cast<int>(width);
    config.options.crop_height = static_cast<int>(bottom - top);
    config.output.colorspace = mode;
    config.output.is_external_memory = 1;
    config.output.u.RGBA.rgba = out;
    config.output.u.RGBA.stride = static_cast<int>(width * (mode == MODE_RGBA ? 4 : 3));
    config.output.u.RGBA.size = out_size;
    return WebPDecode(data, size, &config) == VP8_STATUS_OK;
}

class WebpDecoder final : public ImageDecoder {
public:
    // `frame` at (`x`, `y`) on a canvas of `canvas_width` x `canvas_height`, all of it for a still
    // image. A canvas larger than its frame is transparent black around it.
    WebpDecoder(const Bitstream& frame, std::uint32_t canvas_width, std::uint32_t canvas_height, std::uint32_t x,
                std::uint32_t y, PixelLayout layout, std::size_t budget) noexcept
        : frame_(frame), frame_x_(x), frame_y_(y), budget_(budget) {
        width_ = canvas_width;
        height_ = canvas_height;
        layout_ = layout;
    }

    bool start() override;
    bool read_row(unsigned char* row) override;

private:
    std::uint32_t band_rows(std::uint32_t top) const noexcept;
    bool decode_band();
    bool decode_alpha(std::uint32_t top, std::uint32_t bottom);
    std::size_t frame_row_bytes() const noexcept { return std::size_t{frame_.width} * layout_.pixel_bytes(); }
    WEBP_CSP_MODE mode() const noexcept { return layout_.channels == 4 ? MODE_RGBA : MODE_RGB; }

    Bitstream frame_;
    std::uint32_t frame_x_, frame_y_;
    bool alpha_is_coded_ = false;
    std::uint32_t margin_ = 0;  // rows decoded beyond each side of a band and dropped

    // The bands' plan: libwebp's own image grows by `library_row_` bytes with each row decoded,
    // a band takes `band_row_` bytes a row, and both together stay within `budget_` (0 until
    // start: the allowance rule).
    std::uint64_t budget_, library_row_ = 0, band_row_ = 0;

    HeldBlock band_;          // decoded rows from band_first_ on, frame_row_bytes() each
    HeldBlock alpha_rows_;    // the unfiltered alpha of rows [band_top_, band_end_)
    HeldBlock alpha_above_;   // the unfiltered alpha of row band_top_ - 1
    HeldBlock alpha_stream_;  // the alpha chunk's lossless bitstream behind a lossless header
    std::uint32_t band_first_ = 0, band_top_ = 0, band_end_ = 0;
    std::uint32_t next_row_ = 0;
    bool failed_ = false;
};

bool WebpDecoder::start() {
    const std::uint32_t fw = frame_.width, fh = frame_.height;
    alpha_is_coded_ = frame_.alpha && (frame_.alpha[0] & 3) == 1;
    margin_ = frame_.lossless ? 0 : lossy_margin;
    band_row_ = frame_row_bytes() + (frame_.alpha ? fw : 0);
    // A lossless image is held whole as ARGB, up to the rows decoded; a lossy one takes a few rows.
    // Images near the allowance get a minimum band beyond it.
    library_row_ = frame_.lossless || alpha_is_coded_ ? std::uint64_t{fw} * 4 : 0;
    if (budget_ == 0) budget_ = std::max(decode_allowance, library_row_ * fh + min_band_bytes);
    if (frame_.alpha && !alpha_above_.allocate(fw)) return false;
    if (alpha_is_coded_) {
        // The lossless header: signature, 14-bit width - 1 and height - 1, no alpha hint, version 0.
        const std::size_t coded = frame_.alpha_size - 1;
        if (!alpha_stream_.allocate(5 + coded)) return false;
        unsigned char* s = alpha_stream_.data();
        const std::uint32_t sides = (fw - 1) | (fh - 1) << 14;
        s[0] = 0x2F;
        for (int i = 0; i < 4; ++i) s[1 + i] = static_cast<unsigned char>(sides >> (8 * i));
        std::memcpy(s + 5, frame_.alpha + 1, coded);
    }
    return true;
}

// The rows of the band from `top`: as many as keep libwebp's image by the band's end, and the band
// with its margins, within the budget. Bands shrink as the image grows, and an image whose first
// band reaches its end is decoded once.
std::uint32_t WebpDecoder::band_rows(std::uint32_t top) const noexcept {
    const std::uint32_t left = frame_.height - top;
    const std::uint64_t fixed = library_row_ * top + 2 * std::uint64_t{margin_} * band_row_;
    const std::uint64_t fit = budget_ > fixed ? (budget_ - fixed) / (library_row_ + band_row_) : 0;
    if (fit >= left) return left;
    // Lossy bands start on even rows: libwebp's chroma rows pair with even luma rows.
    const std::uint32_t rows = margin_ > 0 ? std::max<std::uint32_t>(2, static_cast<std::uint32_t>(fit) & ~1u)
                                           : std::max<std::uint32_t>(1, static_cast<std::uint32_t>(fit));
    return std::min(rows, left);
}

// The unfiltered alpha of rows [top, bottom) into alpha_rows_. A coded alpha plane is decoded into
// the band buffer first (green is alpha) and read from there before the colour overwrites it.
bool WebpDecoder::decode_alpha(std::uint32_t top, std::uint32_t bottom) {
    const std::uint32_t fw = frame_.width;
    const unsigned filter = frame_.alpha[0] >> 2 & 3;
    if (top > 0) std::memcpy(alpha_above_.data(), alpha_rows_.data() + std::size_t{top - 1 - band_top_} * fw, fw);
    alpha_rows_.reset();
    if (!alpha_rows_.allocate(std::size_t{bottom - top} * fw)) return false;
    if (alpha_is_coded_ && !decode_rows(alpha_stream_.data(), alpha_stream_.size(), fw, top, bottom, MODE_RGBA,
                                        band_.data(), band_.size()))
        return false;
    for (std::uint32_t y = top; y < bottom; ++y) {
        unsigned char* row = alpha_rows_.data() + std::size_t{y - top} * fw;
        if (alpha_is_coded_) {
            const unsigned char* rgba = band_.data() + std::size_t{y - top} * fw * 4;
            for (std::uint32_t x = 0; x < fw; ++x) row[x] = rgba[x * 4 + 1];
        } else {
            std::memcpy(row, frame_.alpha + 1 + std::size_t{y} * fw, fw);
        }
        const unsigned char* above = y == 0 ? nullptr : y == top ? alpha_above_.data() : row - fw;
        unfilter_alpha(filter, above, row, fw);
    }
    return true;
}

bool WebpDecoder::decode_band() {
    const std::uint32_t top = band_end_;
    const std::uint32_t bottom = top + band_rows(top);
    const std::uint32_t first = top > margin_ ? top - margin_ : 0;
    const std::uint32_t last = std::min(frame_.height, bottom + margin_);
    // Each band has a buffer of its own size, so that the pages of a larger band before it go.
    band_.reset();
    if (!band_.allocate(std::size_t{last - first} * frame_row_bytes())) return false;
    if (frame_.alpha && !decode_alpha(top, bottom)) return false;
    if (!decode_rows(frame_.image, frame_.image_size, frame_.width, first, last, mode(), band_.data(), band_.size()))
        return false;
    band_first_ = first;
    band_top_ = top;
    band_end_ = bottom;
    return true;
}

bool WebpDecoder::read_row(unsigned char* row) {
    if (failed_ || next_row_ >= height_) return false;
    const std::uint32_t y = next_row_;
    if (y < frame_y_ || y - frame_y_ >= frame_.height) {
        std::memset(row, 0, row_bytes());
        ++next_row_;
        return true;
    }
    const std::uint32_t r = y - frame_y_;
    if (r >= band_end_ && !decode_band()) {
        failed_ = true;
        return false;
    }
    const unsigned char* decoded = band_.data() + std::size_t{r - band_first_} * frame_row_bytes();
    unsigned char* out = row + std::size_t{frame_x_} * layout_.pixel_bytes();
    if (frame_.width != width_) std::memset(row, 0, row_bytes());
    std::memcpy(out, decoded, frame_row_bytes());
    if (frame_.alpha) {
        const unsigned char* alpha = alpha_rows_.data() + std::size_t{r - band_top_} * frame_.width;
        for (std::uint32_t x = 0; x < frame_.width; ++x) out[x * 4 + 3] = alpha[x];
    }
    ++next_row_;
    return true;
}

struct DemuxDeleter {
    void operator()(WebPDemuxer* demux) const noexcept { WebPDemuxDelete(demux); }
};

// The first frame of an animation and its place on the canvas. The frame's bytes stay in the
// file's; the demuxer's index of the frames goes when this returns.
std::unique_ptr<ImageDecoder> open_animation(const unsigned char* bytes, std::size_t size, std::size_t budget) {
    const WebPData data{bytes, size};
    const std::unique_ptr<WebPDemuxer, DemuxDeleter> demux(WebPDemux(&data));
    if (!demux) return nullptr;
    const std::uint32_t canvas_width = WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_WIDTH);
    const std::uint32_t canvas_height = WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_HEIGHT);
    WebPIterator frame;
    if (!WebPDemuxGetFrame(demux.get(), 1, &frame)) return nullptr;
    Bitstream s;
    const bool found = find_image_chunk(frame.fragment.bytes, frame.fragment.size, 0, 0, s);
    const int x = frame.x_offset, y = frame.y_offset, width = frame.width, height = frame.height;
    WebPDemuxReleaseIterator(&frame);
    if (!found || !read_image_header(s) || !alpha_header_valid(s)) return nullptr;
    if (x < 0 || y < 0 || std::uint64_t{s.width} != static_cast<std::uint64_t>(width) ||
        std::uint64_t{s.height} != static_cast<std::uint64_t>(height) ||
        std::uint64_t{static_cast<std::uint32_t>(x)} + s.width > canvas_width ||
        std::uint64_t{static_cast<std::uint32_t>(y)} + s.height > canvas_height)
        return nullptr;
    // The canvas is RGBA: it is transparent where the frame does not reach.
    return std::make_unique<WebpDecoder>(s, canvas_width, canvas_height, static_cast<std::uint32_t>(x),
                                         static_cast<std::uint32_t>(y), PixelLayout{4, SampleType::u8}, budget);
}

}  // namespace

std::unique_ptr<ImageDecoder> open_webp_in_bands(const unsigned char* bytes, std::size_t size,
                                                 std::size_t budget) {
    constexpr std::size_t riff_header = 12;
    if (size < riff_header + chunk_header || !tag_is(bytes, "RIFF") || !tag_is(bytes + 8, "WEBP")) return nullptr;
    WebPBitstreamFeatures features;
    if (WebPGetFeatures(bytes, size, &features) != VP8_STATUS_OK) return nullptr;
    // A file cut short of its RIFF size is refused whole, as libwebp's decoder refuses it.
    const std::uint64_t riff_size = le32(bytes + 4);
    if (riff_size + chunk_header > size) return nullptr;
    if (features.has_animation) return open_animation(bytes, size, budget);

    Bitstream s;
    if (tag_is(bytes + riff_header, "VP8X")) {
        constexpr std::size_t extended_header = chunk_header + 10;
        if (size < riff_header + extended_header ||
            !find_image_chunk(bytes + riff_header + extended_header, size - riff_header - extended_header, riff_size,
                              4 + extended_header, s))
            return nullptr;
    } else {
        s.image = bytes + riff_header;
        s.image_size = size - riff_header;
    }
    if (!read_image_header(s) || !alpha_header_valid(s)) return nullptr;
    if (features.width != static_cast<int>(s.width) || features.height != static_cast<int>(s.height)) return nullptr;
    // Lossless is RGBA whatever its alpha: libwebp holds it as ARGB, and the allowance counts that.
    const bool rgba = s.lossless || features.has_alpha || s.alpha;
    return std::make_unique<WebpDecoder>(s, s.width, s.height, 0, 0, PixelLayout{rgba ? 4u : 3u, SampleType::u8},
                                         budget);
}

std::unique_ptr<ImageDecoder> open_webp(const unsigned char* bytes, std::size_t size) {
    return open_webp_in_bands(bytes, size, 0);
}

}  // namespace tarnwick
