// PNG with libpng, every kind: 1 to 16 bits, grey, RGB, palette, alpha and tRNS, interlaced or not.
// Palettes are expanded to 8-bit RGB, grey of 1, 2 or 4 bits is spread to 8, and a tRNS chunk
// becomes an alpha channel, so each file decodes to one of the eight integer layouts at 8 or 16
// bits. Rows of a plain file are decoded one at a time as they are asked for; an interlaced file
// spreads every row over seven passes, so its image is held whole, in its own layout.
//
// libpng reports errors through an error function that must not return. It jumps back to a setjmp
// in one of the small guarded_* functions below. Those functions, and libpng's own frames between
// them and the jump, hold no C++ object with a destructor, so the jump skips no cleanup; every
// resource lives in PngState, whose owner destroys it on every path.
#include <bit>
#include <csetjmp>
#include <cstring>

#include <png.h>

#include "tarnwick/decode.h"
#include "tarnwick/image_probe.h"

namespace tarnwick {
namespace {

struct PngState {
    png_structp png = nullptr;
    png_infop info = nullptr;
    std::jmp_buf jump;
    const unsigned char* bytes = nullptr;
    std::size_t size = 0;
    std::size_t at = 0;
    png_uint_32 width = 0, height = 0;
    int bit_depth = 0, colour_type = 0, interlace = 0;
    int passes = 1;

    PngState() = default;
    PngState(const PngState&) = delete;
    PngState& operator=(const PngState&) = delete;
    ~PngState() {
        if (png) png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
    }
};

[[noreturn]] void error_fn(png_structp png, png_const_charp) {
    std::longjmp(static_cast<PngState*>(png_get_error_ptr(png))->jump, 1);
}

// Nothing is printed: warnings would go to stderr.
void warning_fn(png_structp, png_const_charp) {}

// Reads from the bytes in memory; running out is an error, as a truncated file is.
void read_fn(png_structp png, png_bytep out, png_size_t length) {
    auto* s = static_cast<PngState*>(png_get_io_ptr(png));
    if (length > s->size - s->at) png_error(png, "file ends early");
    std::memcpy(out, s->bytes + s->at, length);
    s->at += length;
}

// Ancillary chunks whose content this decode never uses: skipping them spares their
// decompression (text, colour profiles) and the memory it takes.
constexpr png_byte ignored_chunks[] = {
    't', 'E', 'X', 't', '\0', 'z', 'T', 'X', 't', '\0', 'i', 'T', 'X', 't', '\0',
    'i', 'C', 'C', 'P', '\0', 's', 'P', 'L', 'T', '\0', 'e', 'X', 'I', 'f', '\0',
};

// libpng's own limits, raised to what the sample allowance can let through: a row as wide as the
// allowance holds at one byte a sample, as many rows. The image data is read through zlib in
// pieces, whatever its chunks' size; other chunks are held whole, up to the chunk limit.
constexpr png_uint_32 max_side = static_cast<png_uint_32>(decode_allowance);
constexpr png_alloc_size_t max_chunk = 16u << 20;

bool guarded_open(PngState* s) {
    if (setjmp(s->jump)) return false;
    s->png = png_create_read_struct(PNG_LIBPNG_VER_STRING, s, error_fn, warning_fn);
    if (!s->png) return false;
    s->info = png_create_info_struct(s->png);
    if (!s->info) return false;
    png_set_user_limits(s->png, max_side, max_side);
    png_set_chunk_malloc_max(s->png, max_chunk);
    png_set_keep_unknown_chunks(s->png, PNG_HANDLE_CHUNK_NEVER, ignored_chunks,
                                static_cast<int>(sizeof ignored_chunks / 5));
    png_set_read_fn(s->png, s, read_fn);
    png_read_info(s->png, s->info);
    return png_get_IHDR(s->png, s->info, &s->width, &s->height, &s->bit_depth, &s->colour_type, &s->interlace,
                        nullptr, nullptr) != 0;
}

// Sets the expansions and reads the layout they give: channels and bit depth of the output rows.
// libpng takes its row buffers here, two rows of the image, so this waits for `start`.
bool guarded_transform(PngState* s, int* channels, int* depth) {
    if (setjmp(s->jump)) return false;
    png_structp png = s->png;
    if (s->colour_type == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
    if (s->colour_type == PNG_COLOR_TYPE_GRAY && s->bit_depth < 8) png_set_expand_gray_1_2_4_to_8(png);
    if (png_get_valid(png, s->info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(png);
    if (s->bit_depth == 16 && std::endian::native == std::endian::little) png_set_swap(png);
    if (s->interlace != PNG_INTERLACE_NONE) s->passes = png_set_interlace_handling(png);
    png_read_update_info(png, s->info);
    *channels = png_get_channels(png, s->info);
    *depth = png_get_bit_depth(png, s->info);
    return true;
}

bool guarded_read(PngState* s, unsigned char* row) {
    if (setjmp(s->jump)) return false;
    png_read_row(s->png, row, nullptr);
    return true;
}

// Every pass of an interlaced image, each row of each pass combined into the held image.
bool guarded_read_passes(PngState* s, unsigned char* image, std::size_t row_bytes) {
    if (setjmp(s->jump)) return false;
    for (int pass = 0; pass < s->passes; ++pass)
        for (png_uint_32 y = 0; y < s->height; ++y) png_read_row(s->png, image + y * row_bytes, nullptr);
    return true;
}

class PngDecoder final : public ImageDecoder {
public:
    explicit PngDecoder(std::unique_ptr<PngState> state, PixelLayout layout) : state_(std::move(state)) {
        width_ = state_->width;
        height_ = state_->height;
        layout_ = layout;
    }

    bool start() override {
        int channels = 0, depth = 0;
        if (!guarded_transform(state_.get(), &channels, &depth)) return false;
        if (static_cast<std::uint32_t>(channels) != layout_.channels || depth != 8 * static_cast<int>(layout_.sample_bytes()))
            return false;
        if (state_->interlace == PNG_INTERLACE_NONE) return true;
        // Each pass writes its own pixels into the rows and leaves the others as they are.
        if (!image_.allocate(row_bytes() * height_)) return false;
        std::memset(image_.data(), 0, image_.size());
        return guarded_read_passes(state_.get(), image_.data(), row_bytes());
    }

    bool read_row(unsigned char* row) override {
        if (next_row_ >= height_) return false;
        if (image_.data() != nullptr) {
            std::memcpy(row, image_.data() + next_row_ * row_bytes(), row_bytes());
        } else if (!guarded_read(state_.get(), row)) {
            return false;
        }
        ++next_row_;
        return true;
    }

private:
    std::unique_ptr<PngState> state_;
    HeldBlock image_;
    std::size_t next_row_ = 0;
};

}  // namespace

std::unique_ptr<ImageDecoder> open_png(const unsigned char* bytes, std::size_t size) {
    auto state = std::make_unique<PngState>();
    state->bytes = bytes;
    state->size = size;
    if (!guarded_open(state.get())) return nullptr;
    if (state->width == 0 || state->height == 0) return nullptr;
    // The layout the expansions will give, from the header alone: a palette becomes 8-bit RGB,
    // grey of 1, 2 or 4 bits becomes 8-bit grey, and a tRNS chunk adds an alpha channel.
    std::uint32_t channels = 0;
    switch (state->colour_type) {
        case PNG_COLOR_TYPE_GRAY: channels = 1; break;
        case PNG_COLOR_TYPE_GRAY_ALPHA: channels = 2; break;
        case PNG_COLOR_TYPE_RGB:
        case PNG_COLOR_TYPE_PALETTE: channels = 3; break;
        case PNG_COLOR_TYPE_RGB_ALPHA: channels = 4; break;
        default: return nullptr;
    }
    if ((channels == 1 || channels == 3) && png_get_valid(state->png, state->info, PNG_INFO_tRNS)) ++channels;
    const bool wide = state->bit_depth == 16 && state->colour_type != PNG_COLOR_TYPE_PALETTE;
    return std::make_unique<PngDecoder>(std::move(state), PixelLayout{channels, wide ? SampleType::u16 : SampleType::u8});
}

}  // namespace tarnwick
