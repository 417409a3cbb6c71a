// The library road of image preparation: decode the file bytes in place, scale down to the pixel
// budget with Lanczos3 and convert to packed 8-bit RGB. JPEG, the common photo format, goes
// through libjpeg straight into 8-bit rows and our own resampler, row by row, so that neither a
// 16-bit copy nor the whole decoded photo is ever held; PNG of at most 8-bit samples, not
// interlaced, takes the same road through libpng. The other formats are decoded through
// GraphicsMagick's C API, and scaled by our resampler too when their samples are 8-bit.
#include "tarnwick/image.h"

#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include <magick/api.h>

#include "tarnwick/image_probe.h"
#include "tarnwick/jpeg_decode.h"
#include "tarnwick/png_decode.h"
#include "tarnwick/resample.h"
#include "tarnwick/tarnwick.h"

static_assert(QuantumDepth == 16, "the conversion below assumes the library's 16-bit pixel cache");

namespace tarnwick {
namespace {

struct ImageDeleter {
    void operator()(Image* image) const noexcept { DestroyImage(image); }
};
struct ImageInfoDeleter {
    void operator()(ImageInfo* info) const noexcept { DestroyImageInfo(info); }
};
using ImagePtr = std::unique_ptr<Image, ImageDeleter>;
using ImageInfoPtr = std::unique_ptr<ImageInfo, ImageInfoDeleter>;

// The library's exception record, destroyed with its owner.
class Exception {
public:
    Exception() noexcept { GetExceptionInfo(&info_); }
    ~Exception() { DestroyExceptionInfo(&info_); }
    Exception(const Exception&) = delete;
    Exception& operator=(const Exception&) = delete;
    ExceptionInfo* get() noexcept { return &info_; }
    bool failed() const noexcept { return info_.severity >= ErrorException; }

private:
    ExceptionInfo info_;
};

// Once per process. Plain initialisation would install SIGINT/SIGTERM/SIGHUP handlers, which a
// server must not have; the library's workers are capped at the inference libraries' count.
void initialise_library() {
    static std::once_flag once;
    std::call_once(once, [] {
        InitializeMagickEx(nullptr, MAGICK_OPT_NO_SIGNAL_HANDER, nullptr);
        SetMagickResourceLimit(ThreadsResource, worker_threads());
    });
}

const char* format_prefix(ImageFormat format) {
    switch (format) {
        case ImageFormat::png: return "PNG:";
        case ImageFormat::jpeg: return "JPEG:";
        case ImageFormat::gif: return "GIF:";
        case ImageFormat::webp: return "WEBP:";
        case ImageFormat::tiff: return "TIFF:";
        case ImageFormat::bmp: return "BMP:";
    }
    return "";
}

// The read settings of one decode: the format is forced by the "FORMAT:" prefix (setting only
// `magick` lets the library sniff again), and only the first frame or page is read.
ImageInfoPtr read_info(ImageFormat format) {
    ImageInfoPtr info(CloneImageInfo(nullptr));
    if (!info) return nullptr;
    std::strncpy(info->filename, format_prefix(format), MaxTextExtent - 1);
    info->subimage = 0;
    info->subrange = 1;
    return info;
}

// A GIF frame may cover part of the logical screen; the image is the screen, transparent black
// where the frame does not reach.
ImagePtr onto_screen(ImagePtr frame) {
    const unsigned long width = frame->page.width, height = frame->page.height;
    if (width == 0 || height == 0 ||
        (width == frame->columns && height == frame->rows && frame->page.x == 0 && frame->page.y == 0))
        return frame;
    Exception exception;
    ImagePtr screen(CloneImage(frame.get(), width, height, MagickTrue, exception.get()));
    if (!screen || exception.failed()) return nullptr;
    screen->matte = MagickTrue;
    screen->background_color.red = screen->background_color.green = screen->background_color.blue = 0;
    screen->background_color.opacity = TransparentOpacity;
    if (!SetImage(screen.get(), TransparentOpacity)) return nullptr;
    if (!CompositeImage(screen.get(), OverCompositeOp, frame.get(), frame->page.x, frame->page.y))
        return nullptr;
    screen->page.x = screen->page.y = 0;
    return screen;
}

// Decodes the first frame, or nothing. A warning still gives an image (a truncated JPEG or PNG
// decodes as far as its data goes), and that image is used: recognising the part that is there
// serves the user better than the fallback decoder, which fails or does the same.
ImagePtr decode(ImageFormat format, const unsigned char* bytes, std::size_t size) {
    const auto layout = probe_layout(format, bytes, size);
    if (!layout) return nullptr;
    ImageInfoPtr info = read_info(format);
    if (!info) return nullptr;
    {
        // The allowance is checked before any pixel is decoded.
        Exception exception;
        ImagePtr ping(PingBlob(info.get(), bytes, size, exception.get()));
        if (!ping || exception.failed()) return nullptr;
        const std::uint64_t width = std::max<std::uint64_t>(ping->columns, layout->width);
        const std::uint64_t height = std::max<std::uint64_t>(ping->rows, layout->height);
        if (!fits_allowance(width, height, *layout)) return nullptr;
    }
    info = read_info(format);
    if (!info) return nullptr;
    Exception exception;
    ImagePtr image(BlobToImage(info.get(), bytes, size, exception.get()));
    if (!image || exception.failed()) return nullptr;
    if (format == ImageFormat::gif) image = onto_screen(std::move(image));
    if (!image || image->columns == 0 || image->rows == 0) return nullptr;
    if (image->colorspace == CMYKColorspace && !TransformColorspace(image.get(), RGBColorspace))
        return nullptr;
    return image;
}

// Exact-size Lanczos3. Matte is cleared first: with alpha on, the library weights colour by
// alpha, and a transparent white area would turn black; alpha is dropped afterwards anyway.
ImagePtr resize(Image* image, std::uint32_t width, std::uint32_t height) {
    image->matte = MagickFalse;
    Exception exception;
    ImagePtr scaled(ResizeImage(image, width, height, LanczosFilter, 1.0, exception.get()));
    if (!scaled || exception.failed()) return nullptr;
    return scaled;
}

// 16-bit cache samples to 8 bits, rounded to nearest: exact for 16-bit sources and for 8-bit
// ones, which the cache holds as v * 257. (The library's own 8-bit export truncates.)
inline unsigned char to_8bit(Quantum v) noexcept {
    return static_cast<unsigned char>((static_cast<std::uint32_t>(v) + 128) / 257);
}

// Row y of the image as packed RGB, alpha dropped without compositing. Grey images arrive with
// R = G = B.
bool read_rgb_row(const Image* image, unsigned long y, unsigned char* out, ExceptionInfo* exception) {
    const PixelPacket* row = AcquireImagePixels(image, 0, static_cast<long>(y), image->columns, 1, exception);
    if (!row) return false;
    for (unsigned long x = 0; x < image->columns; ++x, out += 3) {
        out[0] = to_8bit(row[x].red);
        out[1] = to_8bit(row[x].green);
        out[2] = to_8bit(row[x].blue);
    }
    return true;
}

std::optional<RgbImage> to_rgb(const Image* image) {
    RgbImage rgb;
    rgb.width = static_cast<std::uint32_t>(image->columns);
    rgb.height = static_cast<std::uint32_t>(image->rows);
    rgb.pixels.resize(std::size_t{rgb.width} * rgb.height * 3);
    Exception exception;
    for (unsigned long y = 0; y < image->rows; ++y)
        if (!read_rgb_row(image, y, &rgb.pixels[y * rgb.width * 3], exception.get())) return std::nullopt;
    return rgb;
}

// An image of 8-bit samples loses nothing in 8-bit RGB, so it is converted first and scaled with
// our resampler, as JPEG is; only deeper samples (16-bit, float) are resampled by the library in
// their own precision before conversion.
std::optional<RgbImage> scale_8bit(const Image* image, std::uint32_t width, std::uint32_t height) {
    RgbImage rgb;
    rgb.width = width;
    rgb.height = height;
    rgb.pixels.resize(std::size_t{width} * height * 3);
    Exception exception;
    unsigned long y = 0;
    const auto next_row = [&](unsigned char* row) {
        return y < image->rows && read_rgb_row(image, y++, row, exception.get());
    };
    if (!resample_rgb(static_cast<std::uint32_t>(image->columns), static_cast<std::uint32_t>(image->rows), width,
                      height, next_row, rgb.pixels.data()))
        return std::nullopt;
    return rgb;
}

// Pulls a started decoder's 8-bit RGB rows into the output: copied row by row when the image fits
// the budget, else through the streaming resampler, so only the output and a few rows are held.
template <class Decoder>
std::optional<RgbImage> rows_to_rgb(Decoder& decoder, std::uint64_t budget) {
    const std::uint32_t src_width = decoder.width(), src_height = decoder.height();
    const auto [width, height] = scaled_size(src_width, src_height, budget);
    RgbImage rgb;
    rgb.width = width;
    rgb.height = height;
    rgb.pixels.resize(std::size_t{width} * height * 3);
    if (width == src_width && height == src_height) {
        for (std::uint32_t y = 0; y < height; ++y)
            if (!decoder.read_row(&rgb.pixels[std::size_t{y} * width * 3])) return std::nullopt;
        return rgb;
    }
    const auto next_row = [&decoder](unsigned char* row) { return decoder.read_row(row); };
    if (!resample_rgb(src_width, src_height, width, height, next_row, rgb.pixels.data())) return std::nullopt;
    return rgb;
}

// The JPEG road. The allowance is checked on the header's size before any pixel is decoded. A
// file that libjpeg can finish with a few warnings (a truncated file, damaged entropy data) gives
// its image, as far as the data goes; JpegDecoder holds the limits of that tolerance.
std::optional<RgbImage> prepare_jpeg(const unsigned char* bytes, std::size_t size, std::uint64_t budget) {
    const auto layout = probe_layout(ImageFormat::jpeg, bytes, size);
    if (!layout) return std::nullopt;
    const auto decoder = JpegDecoder::open(bytes, size);
    if (!decoder || !fits_allowance(decoder->width(), decoder->height(), *layout)) return std::nullopt;
    if (!decoder->start()) return std::nullopt;
    return rows_to_rgb(*decoder, budget);
}

// The PNG road for samples of at most 8 bits without interlacing, as the JPEG road: the allowance
// is checked on the header's size before any row is decoded, and the rows go straight to the
// output or the resampler. Unlike JPEG, any libpng error (a bad CRC in the image data, a file that
// ends early) gives nothing, as the image library does with such files. Interlaced files need
// the whole image at once and stay with the image library; nothing is returned in `handled`
// then.
std::optional<RgbImage> prepare_png(const unsigned char* bytes, std::size_t size, std::uint64_t budget,
                                    bool& handled) {
    handled = true;
    const auto layout = probe_layout(ImageFormat::png, bytes, size);
    if (!layout) return std::nullopt;
    const auto decoder = PngDecoder::open(bytes, size);
    if (!decoder) return std::nullopt;
    if (!decoder->streamable()) {
        handled = false;
        return std::nullopt;
    }
    if (!fits_allowance(decoder->width(), decoder->height(), *layout)) return std::nullopt;
    if (!decoder->start()) return std::nullopt;
    return rows_to_rgb(*decoder, budget);
}

}  // namespace

std::uint64_t pixel_budget(std::int32_t image_token_budget) noexcept {
    return static_cast<std::uint64_t>(image_token_budget < 256 ? 256 : image_token_budget) * 784;
}

std::pair<std::uint32_t, std::uint32_t> scaled_size(std::uint32_t width, std::uint32_t height,
                                                    std::uint64_t budget) noexcept {
    const std::uint64_t pixels = std::uint64_t{width} * height;
    if (pixels <= budget) return {width, height};
    const double s = std::sqrt(static_cast<double>(budget) / static_cast<double>(pixels));
    auto side = [s](std::uint32_t length) {
        const auto scaled = static_cast<std::uint32_t>(std::floor(static_cast<double>(length) * s));
        return scaled < 28 ? std::uint32_t{28} : scaled;
    };
    return {side(width), side(height)};
}

std::optional<RgbImage> prepare_rgb(const unsigned char* bytes, std::size_t size, std::uint64_t budget) {
    const auto format = detect_format(bytes, size);
    if (!format) return std::nullopt;
    // Memory for the images running out fails this road like any other decode failure.
    try {
        if (*format == ImageFormat::jpeg) return prepare_jpeg(bytes, size, budget);
        if (*format == ImageFormat::png) {
            bool handled = false;
            auto rgb = prepare_png(bytes, size, budget, handled);
            if (handled) return rgb;
        }
        initialise_library();
        ImagePtr decoded = decode(*format, bytes, size);
        if (!decoded) return std::nullopt;
        const auto [width, height] = scaled_size(static_cast<std::uint32_t>(decoded->columns),
                                                 static_cast<std::uint32_t>(decoded->rows), budget);
        if (width == decoded->columns && height == decoded->rows) return to_rgb(decoded.get());
        if (decoded->depth <= 8) return scale_8bit(decoded.get(), width, height);
        ImagePtr scaled = resize(decoded.get(), width, height);
        decoded.reset();
        if (!scaled) return std::nullopt;
        return to_rgb(scaled.get());
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

}  // namespace tarnwick
