// libpng reports errors through an error function that must not return. It jumps back to a setjmp
// in one of the small guarded_* functions below. Those functions, and libpng's own frames between
// them and the jump, hold no C++ object with a destructor, so the jump skips no cleanup; every
// resource lives in PngState, whose owner destroys it on every path.
#include "tarnwick/png_decode.h"

#include <csetjmp>

#include <png.h>

#include "tarnwick/image_probe.h"

namespace tarnwick {

struct PngState {
    png_structp png = nullptr;
    png_infop info = nullptr;
    std::jmp_buf jump;
    const unsigned char* bytes = nullptr;
    std::size_t size = 0;
    std::size_t at = 0;
    png_uint_32 width = 0, height = 0;
    int bit_depth = 0, colour_type = 0, interlace = 0;
    png_uint_32 next_row = 0;

    ~PngState() {
        if (png) png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
    }
};

namespace {

[[noreturn]] void error_fn(png_structp png, png_const_charp) {
    std::longjmp(static_cast<PngState*>(png_get_error_ptr(png))->jump, 1);
}

// Nothing is printed: warnings would go to stderr.
void warning_fn(png_structp, png_const_charp) {}

// Reads from the bytes in memory; running out is an error, as a truncated file is.
void read_fn(png_structp png, png_bytep out, png_size_t length) {
    auto* s = static_cast<PngState*>(png_get_io_ptr(png));
    if (length > s->size - s->at) png_error(png, "file ends early");
    for (png_size_t i = 0; i < length; ++i) out[i] = s->bytes[s->at + i];
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

bool guarded_start(PngState* s) {
    if (setjmp(s->jump)) return false;
    png_structp png = s->png;
    if (s->colour_type == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
    if (s->colour_type == PNG_COLOR_TYPE_GRAY && s->bit_depth < 8) png_set_expand_gray_1_2_4_to_8(png);
    // Expanding a palette with tRNS makes an alpha channel too; it goes with the file's own.
    png_set_strip_alpha(png);
    if (!(s->colour_type & PNG_COLOR_MASK_COLOR)) png_set_gray_to_rgb(png);
    png_read_update_info(png, s->info);
    return png_get_rowbytes(png, s->info) == png_size_t{s->width} * 3 && png_get_bit_depth(png, s->info) == 8 &&
           png_get_channels(png, s->info) == 3;
}

bool guarded_read(PngState* s, unsigned char* row) {
    if (setjmp(s->jump)) return false;
    png_read_row(s->png, row, nullptr);
    return true;
}

}  // namespace

std::unique_ptr<PngDecoder> PngDecoder::open(const unsigned char* bytes, std::size_t size) {
    auto state = std::make_unique<PngState>();
    state->bytes = bytes;
    state->size = size;
    if (!guarded_open(state.get())) return nullptr;
    if (state->width == 0 || state->height == 0) return nullptr;
    return std::unique_ptr<PngDecoder>(new PngDecoder(std::move(state)));
}

PngDecoder::PngDecoder(std::unique_ptr<PngState> state) noexcept : state_(std::move(state)) {}
PngDecoder::~PngDecoder() = default;

std::uint32_t PngDecoder::width() const noexcept { return state_->width; }
std::uint32_t PngDecoder::height() const noexcept { return state_->height; }

bool PngDecoder::streamable() const noexcept {
    return state_->bit_depth <= 8 && state_->interlace == PNG_INTERLACE_NONE;
}

bool PngDecoder::start() { return streamable() && guarded_start(state_.get()); }

bool PngDecoder::read_row(unsigned char* rgb) {
    if (state_->next_row >= state_->height) return false;
    if (!guarded_read(state_.get(), rgb)) return false;
    ++state_->next_row;
    return true;
}

}  // namespace tarnwick
