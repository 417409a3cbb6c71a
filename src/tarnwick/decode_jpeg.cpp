// JPEG with libjpeg, straight into 8-bit rows: grey stays grey, YCbCr and RGB come out as RGB,
// and CMYK or YCCK are combined into RGB the way the server's earlier image library did. Damaged
// entropy data and a file that ends early are only warnings, within limits (below): the rows
// decode as far as the data goes, the rest is filled, and they still count as read.
//
// libjpeg reports errors through error_exit, which must not return. It jumps back to a setjmp in
// one of the small guarded_* functions below. Those functions, and libjpeg's own frames between
// them and the jump, hold no C++ object with a destructor, so the jump skips no cleanup; every
// resource lives in JpegState, whose owner destroys it on every path.

#include <csetjmp>
#include <cstdio>
#include <limits>
#include <vector>

#include <jpeglib.h>
#include <jerror.h>

#include "tarnwick/decode.h"
#include "tarnwick/image_probe.h"

namespace tarnwick {

namespace {

struct ErrorManager {
    jpeg_error_mgr base;  // first, so libjpeg's pointer to it is a pointer to the whole
    std::jmp_buf jump;
};

struct JpegState {
    jpeg_decompress_struct info{};
    ErrorManager error{};
    jpeg_progress_mgr progress{};
    std::uint16_t strikes[JMSG_LASTMSGCODE]{};  // how often each warning was seen
    bool created = false;
    std::vector<unsigned char> cmyk;  // one CMYK row; filled only outside the guarded functions

    JpegState() = default;
    JpegState(const JpegState&) = delete;
    JpegState& operator=(const JpegState&) = delete;
    ~JpegState() {
        if (created) jpeg_destroy_decompress(&info);
    }
};

[[noreturn]] void error_exit(j_common_ptr info) {
    std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->jump, 1);
}

// Damage is tolerated as the earlier image library tolerated it: a file that ends early or has
// damaged entropy data decodes with warnings, but the same warning more than three times (a progressive
// file cut short warns at every later scan) or more than 100 scans fail the decode. The scan
// limit also bounds the work a small hostile file can cause.
constexpr std::uint16_t max_strikes = 3;
constexpr int max_scans = 100;

void emit_message(j_common_ptr info, int level) {
    if (level >= 0) return;  // trace messages
    auto* error = reinterpret_cast<ErrorManager*>(info->err);
    const int code = error->base.msg_code;
    if (code >= 0 && code < JMSG_LASTMSGCODE) {
        auto* strikes = static_cast<std::uint16_t*>(info->client_data);
        if (++strikes[code] > max_strikes) std::longjmp(error->jump, 1);
    }
    ++error->base.num_warnings;
}

void progress_monitor(j_common_ptr info) {
    if (info->is_decompressor && reinterpret_cast<j_decompress_ptr>(info)->input_scan_number > max_scans)
        std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->jump, 1);
}

// Nothing is printed: messages would go to stderr.
void output_message(j_common_ptr) {}

// libjpeg's working memory is held to the allowance: a progressive or multi-scan file keeps all its
// coefficients (two bytes a sample, at each component's own resolution), and one whose
// coefficients would not fit fails at the start of decompression and takes the fallback road.
constexpr long working_memory = static_cast<long>(decode_allowance);

bool guarded_open(JpegState* s, const unsigned char* bytes, std::size_t size) {
    s->info.err = jpeg_std_error(&s->error.base);
    s->error.base.error_exit = error_exit;
    s->error.base.emit_message = emit_message;
    s->error.base.output_message = output_message;
    if (setjmp(s->error.jump)) return false;
    jpeg_create_decompress(&s->info);
    s->created = true;
    s->info.client_data = s->strikes;
    s->progress.progress_monitor = progress_monitor;
    s->info.progress = &s->progress;
    s->info.mem->max_memory_to_use = working_memory;
    jpeg_mem_src(&s->info, bytes, static_cast<unsigned long>(size));
    return jpeg_read_header(&s->info, TRUE) == JPEG_HEADER_OK;
}

bool guarded_start(JpegState* s) {
    if (setjmp(s->error.jump)) return false;
    return jpeg_start_decompress(&s->info) == TRUE;
}

bool guarded_read(JpegState* s, unsigned char* row) {
    if (setjmp(s->error.jump)) return false;
    JSAMPROW rows[1] = {row};
    return jpeg_read_scanlines(&s->info, rows, 1) == 1;
}

// The earlier image library read every JPEG's CMYK samples as inverted (Adobe) ink and combined
// each colour with black: R = C * K / 255 on the stored samples, rounded to nearest.
void cmyk_to_rgb(const unsigned char* cmyk, unsigned char* rgb, std::uint32_t width) {
    for (std::uint32_t x = 0; x < width; ++x, cmyk += 4, rgb += 3) {
        const unsigned k = cmyk[3];
        rgb[0] = static_cast<unsigned char>((cmyk[0] * k + 127) / 255);
        rgb[1] = static_cast<unsigned char>((cmyk[1] * k + 127) / 255);
        rgb[2] = static_cast<unsigned char>((cmyk[2] * k + 127) / 255);
    }
}

class JpegDecoder final : public ImageDecoder {
public:
    explicit JpegDecoder(std::unique_ptr<JpegState> state) : state_(std::move(state)) {
        width_ = state_->info.image_width;
        height_ = state_->info.image_height;
        layout_ = PixelLayout{state_->info.out_color_space == JCS_GRAYSCALE ? 1u : 3u, SampleType::u8};
    }

    bool start() override {
        if (!guarded_start(state_.get())) return false;
        if (state_->info.out_color_space == JCS_CMYK) state_->cmyk.resize(std::size_t{width_} * 4);
        return state_->info.output_width == width_ && state_->info.output_height == height_;
    }

    bool read_row(unsigned char* row) override {
        if (state_->info.output_scanline >= state_->info.output_height) return false;
        if (state_->cmyk.empty()) return guarded_read(state_.get(), row);
        if (!guarded_read(state_.get(), state_->cmyk.data())) return false;
        cmyk_to_rgb(state_->cmyk.data(), row, width_);
        return true;
    }

private:
    std::unique_ptr<JpegState> state_;
};

}  // namespace

std::unique_ptr<ImageDecoder> open_jpeg(const unsigned char* bytes, std::size_t size) {
    // libjpeg takes the length as an unsigned long, 32 bits on Windows.
    if (size > std::numeric_limits<unsigned long>::max()) return nullptr;
    auto state = std::make_unique<JpegState>();
    if (!guarded_open(state.get(), bytes, size)) return nullptr;
    jpeg_decompress_struct& info = state->info;
    // libjpeg's defaults stay: the accurate integer DCT and fancy upsampling. CMYK and YCCK are
    // read as CMYK and combined into RGB here, so they count as the RGB they become.
    switch (info.jpeg_color_space) {
        case JCS_GRAYSCALE: info.out_color_space = JCS_GRAYSCALE; break;
        case JCS_YCbCr:
        case JCS_RGB: info.out_color_space = JCS_RGB; break;
        case JCS_CMYK:
        case JCS_YCCK: info.out_color_space = JCS_CMYK; break;
        default: return nullptr;
    }
    if (info.image_width == 0 || info.image_height == 0) return nullptr;
    return std::make_unique<JpegDecoder>(std::move(state));
}

}  // namespace tarnwick
