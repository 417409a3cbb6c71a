// GIF with giflib: the first frame placed on its logical screen, as 8-bit RGBA. Outside the frame
// the screen is transparent black; inside it every pixel is its palette colour (the frame's local
// colour table, else the global one), with alpha 0 for the transparent index of the frame's
// Graphics Control Extension and 255 otherwise. No other frame is read, and no disposal or
// background colour applies to a single frame.
//
// A frame that is not interlaced is decoded as its rows are pulled, holding one row of palette
// indices. An interlaced frame gives its rows in four passes, so its part on the screen is held
// whole from `start` on, as palette indices (one byte a pixel, a quarter of the RGBA image at
// most). Either way a large screen with a small frame costs next to nothing, and the RGBA rows
// are made from the indices as they are pulled.
//
// Choices for damaged or odd files:
// - A frame that reaches beyond the screen is cut at the screen's edge; one wholly outside leaves
//   the screen transparent black. Rows of the frame below the screen are not decoded, nor, in
//   an interlaced frame, the passes after the last row on the screen.
// - A screen side of 0 takes the frame's side, and the frame's offset on that axis is ignored.
// - A frame whose pixels, counted as RGBA, would not fit the memory allowance is refused, as an
//   image of that size would be: the frame is never held whole, but decoding it costs its time.
// - A frame without a colour table (neither local nor global), with a side of 0, or a file with
//   no frame at all fails.
// - A pixel on the screen whose index lies beyond the colour table fails the decode: its colour
//   is not in the file. Indices outside the screen are not looked at.
// - Any giflib error fails the decode (a file cut inside the image data among them): `start`
//   for an interlaced frame, else the row it strikes. A file that ends right after the last
//   image data, without the closing empty block and the trailer, still decodes: the image is
//   all there.
#include <algorithm>
#include <array>
#include <cstring>

#include <gif_lib.h>

#include "tarnwick/decode.h"
#include "tarnwick/image_probe.h"

namespace tarnwick {
namespace {

struct GifCloser {
    void operator()(GifFileType* gif) const noexcept { DGifCloseFile(gif, nullptr); }
};
using GifPtr = std::unique_ptr<GifFileType, GifCloser>;

// The file bytes as giflib reads them. One zero byte follows the last: giflib reads the empty
// block that closes the image data as soon as the last pixel is decoded, and fails without it.
// Anywhere else that byte ends the reading as a short read would, as a bad record type, an
// empty data block inside the image data, or the end of an extension.
struct Source {
    const unsigned char* bytes = nullptr;
    std::size_t size = 0;
    std::size_t at = 0;  // at most size + 1
};

int read_fn(GifFileType* gif, GifByteType* out, int length) {
    auto* s = static_cast<Source*>(gif->UserData);
    if (length <= 0) return 0;
    const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(length), s->size + 1 - s->at);
    for (std::size_t i = 0; i < n; ++i) out[i] = s->at + i < s->size ? s->bytes[s->at + i] : 0;
    s->at += n;
    return static_cast<int>(n);
}

constexpr int no_transparency = -1;

// The records before the first image descriptor: extensions, of which only the Graphics Control
// Extension matters. It applies to the next graphic block, which may be a plain-text extension
// instead of the frame. True with the descriptor read, false on an error or when the file ends
// (or terminates) before any frame. Every record consumes bytes, so the loop ends with the file.
bool read_to_first_frame(GifFileType* gif, int& transparent) {
    transparent = no_transparency;
    for (;;) {
        GifRecordType type = UNDEFINED_RECORD_TYPE;
        if (DGifGetRecordType(gif, &type) == GIF_ERROR) return false;
        if (type == IMAGE_DESC_RECORD_TYPE) return DGifGetImageDesc(gif) != GIF_ERROR;
        if (type != EXTENSION_RECORD_TYPE) return false;
        int code = 0;
        GifByteType* block = nullptr;
        if (DGifGetExtension(gif, &code, &block) == GIF_ERROR) return false;
        // block[0] is the block's length: packed flags, delay (2 bytes), transparent index.
        if (code == GRAPHICS_EXT_FUNC_CODE && block && block[0] >= 4)
            transparent = (block[1] & 0x01) ? block[4] : no_transparency;
        if (code == PLAINTEXT_EXT_FUNC_CODE) transparent = no_transparency;
        while (block)
            if (DGifGetExtensionNext(gif, &block) == GIF_ERROR) return false;
    }
}

class GifDecoder final : public ImageDecoder {
public:
    static std::unique_ptr<ImageDecoder> open(const unsigned char* bytes, std::size_t size);
    bool start() override;
    bool read_row(unsigned char* row) override;

private:
    GifDecoder() = default;
    bool in_table(const unsigned char* indices) const noexcept;
    bool decode_interlaced();
    const unsigned char* next_frame_row();

    Source source_;  // giflib's input; the handle below points at it
    GifPtr gif_;
    std::array<unsigned char, 256 * 4> palette_{};  // RGBA by index
    std::uint32_t colours_ = 0;                     // entries in the frame's colour table
    std::uint32_t frame_width_ = 0, frame_height_ = 0;
    bool interlaced_ = false;
    std::uint32_t left_ = 0, top_ = 0;                       // the frame's place on the screen
    std::uint32_t visible_width_ = 0, visible_height_ = 0;  // its top-left part on the screen
    HeldBlock line_;     // one row of the frame's indices
    HeldBlock indices_;  // an interlaced frame's part on the screen, rows top to bottom
    std::uint32_t frame_rows_read_ = 0;
    bool started_ = false;
    bool failed_ = false;
    std::uint32_t next_row_ = 0;
};

std::unique_ptr<ImageDecoder> GifDecoder::open(const unsigned char* bytes, std::size_t size) {
    std::unique_ptr<GifDecoder> d(new GifDecoder());
    d->source_ = Source{bytes, size, 0};
    int error = 0;
    d->gif_.reset(DGifOpen(&d->source_, read_fn, &error));
    GifFileType* gif = d->gif_.get();
    if (!gif) return nullptr;
    int transparent = no_transparency;
    if (!read_to_first_frame(gif, transparent)) return nullptr;

    const GifImageDesc& frame = gif->Image;
    const ColorMapObject* table = frame.ColorMap ? frame.ColorMap : gif->SColorMap;
    if (!table || !table->Colors || table->ColorCount <= 0) return nullptr;
    if (frame.Width <= 0 || frame.Height <= 0 || frame.Left < 0 || frame.Top < 0) return nullptr;
    d->frame_width_ = static_cast<std::uint32_t>(frame.Width);
    d->frame_height_ = static_cast<std::uint32_t>(frame.Height);
    if (std::uint64_t{d->frame_width_} * d->frame_height_ > decode_allowance / 4) return nullptr;
    d->interlaced_ = frame.Interlace;

    const bool screen_width = gif->SWidth > 0, screen_height = gif->SHeight > 0;
    d->width_ = screen_width ? static_cast<std::uint32_t>(gif->SWidth) : d->frame_width_;
    d->height_ = screen_height ? static_cast<std::uint32_t>(gif->SHeight) : d->frame_height_;
    d->left_ = screen_width ? static_cast<std::uint32_t>(frame.Left) : 0;
    d->top_ = screen_height ? static_cast<std::uint32_t>(frame.Top) : 0;
    d->visible_width_ = d->left_ < d->width_ ? std::min(d->frame_width_, d->width_ - d->left_) : 0;
    d->visible_height_ = d->top_ < d->height_ ? std::min(d->frame_height_, d->height_ - d->top_) : 0;
    if (d->visible_width_ == 0 || d->visible_height_ == 0) d->visible_width_ = d->visible_height_ = 0;
    d->layout_ = PixelLayout{4, SampleType::u8};

    // Entries beyond the table stay transparent black; decoding refuses pixels that use them.
    d->colours_ = static_cast<std::uint32_t>(std::min(table->ColorCount, 256));
    for (std::uint32_t i = 0; i < d->colours_; ++i) {
        unsigned char* p = &d->palette_[i * 4];
        p[0] = table->Colors[i].Red;
        p[1] = table->Colors[i].Green;
        p[2] = table->Colors[i].Blue;
        p[3] = static_cast<int>(i) == transparent ? 0 : 255;
    }
    return d;
}

// False when an index on the screen lies beyond the colour table.
bool GifDecoder::in_table(const unsigned char* indices) const noexcept {
    return colours_ >= 256 || *std::max_element(indices, indices + visible_width_) < colours_;
}

// Decodes the rows in the file's order, four passes, until every row on the screen is in,
// keeping the columns on the screen.
bool GifDecoder::decode_interlaced() {
    if (!indices_.allocate(std::size_t{visible_width_} * visible_height_)) return false;
    const std::uint32_t first[] = {0, 4, 2, 1}, step[] = {8, 8, 4, 2};
    std::uint32_t missing = visible_height_;
    for (int pass = 0; pass < 4 && missing > 0; ++pass) {
        for (std::uint32_t y = first[pass]; y < frame_height_ && missing > 0; y += step[pass]) {
            if (DGifGetLine(gif_.get(), line_.data(), static_cast<int>(frame_width_)) == GIF_ERROR) return false;
            if (y >= visible_height_) continue;
            if (!in_table(line_.data())) return false;
            std::memcpy(indices_.data() + std::size_t{y} * visible_width_, line_.data(), visible_width_);
            --missing;
        }
    }
    return true;
}

// The next row of a frame that is not interlaced, or nothing on an error. giflib's decoding
// tables go once the last row on the screen is in.
const unsigned char* GifDecoder::next_frame_row() {
    if (!gif_ || DGifGetLine(gif_.get(), line_.data(), static_cast<int>(frame_width_)) == GIF_ERROR) return nullptr;
    if (!in_table(line_.data())) return nullptr;
    if (++frame_rows_read_ == visible_height_) gif_.reset();
    return line_.data();
}

bool GifDecoder::start() {
    if (started_ || !gif_) return false;
    started_ = true;
    failed_ = true;  // until the end: no row follows a failed start
    if (!line_.allocate(frame_width_)) return false;
    if (visible_height_ == 0) {
        gif_.reset();
    } else if (interlaced_) {
        if (!decode_interlaced()) return false;
        gif_.reset();
        line_.reset();
    }
    failed_ = false;
    return true;
}

bool GifDecoder::read_row(unsigned char* row) {
    if (!started_ || failed_ || next_row_ >= height_) return false;
    const std::uint32_t y = next_row_++;
    std::memset(row, 0, row_bytes());
    if (y < top_ || y - top_ >= visible_height_) return true;
    const unsigned char* index =
        interlaced_ ? indices_.data() + std::size_t{y - top_} * visible_width_ : next_frame_row();
    if (!index) {
        failed_ = true;
        gif_.reset();
        return false;
    }
    unsigned char* out = row + std::size_t{left_} * 4;
    for (std::uint32_t x = 0; x < visible_width_; ++x, out += 4) std::memcpy(out, &palette_[index[x] * 4], 4);
    return true;
}

}  // namespace

std::unique_ptr<ImageDecoder> open_gif(const unsigned char* bytes, std::size_t size) {
    return GifDecoder::open(bytes, size);
}

}  // namespace tarnwick
