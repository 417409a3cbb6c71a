// Engine::recognize: an image file and a mode to the recognised text.

#include <memory>
#include <optional>
#include <utility>

#include "platform/fs.h"
#include "platform/path.h"
#include "tarnwick/generate.h"
#include "tarnwick/image.h"
#include "tarnwick/library.h"
#include "tarnwick/tarnwick.h"

namespace tarnwick {

namespace {

struct VideoFree {
    const EngineLibrary* lib;
    void operator()(mtmd_helper_video* video) const noexcept { lib->mtmd_helper_video_free(video); }
};

}  // namespace

Result<std::string> Engine::recognize(std::string_view image_path, OcrMode mode) const {
    const EngineLibrary& lib = *library_;

    // The file bytes are the run's first object and its last to go; the bitmap comes next.
    Result<platform::ByteBuffer> read = platform::read_whole_file(platform::path_from_utf8(image_path));
    if (!read) return platform::fail("cannot read " + std::string(image_path) + ": " + read.error());
    const platform::ByteBuffer bytes = std::move(*read);

    BitmapOwner bitmap(nullptr, BitmapFree{&lib});
    std::optional<RgbImage> rgb = prepare_rgb(bytes.data(), bytes.size(), pixel_budget(image_token_budget_));
    if (rgb) {
        bitmap.reset(lib.mtmd_bitmap_init(rgb->width, rgb->height, rgb->pixels.data()));
        rgb.reset();  // the library copied the pixels
        if (!bitmap) return platform::fail("could not build the image bitmap");
    } else {
        // The projector's own decoder gets the raw bytes; never a null pointer, even when empty.
        static const unsigned char no_bytes[1] = {0};
        const unsigned char* data = bytes.data() != nullptr ? bytes.data() : no_bytes;
        const mtmd_helper_bitmap_wrapper decoded = lib.mtmd_helper_bitmap_init_from_buf(mtmd_ctx_, data, bytes.size(), false);
        // A helper built with video support hands bytes it cannot read as an image to ffmpeg and
        // may give back a video, ours to free, with a bitmap that reads its frames from it. We
        // read images only, so a video fails like any unreadable file: the bitmap goes first,
        // then the video it draws on.
        std::unique_ptr<mtmd_helper_video, VideoFree> video(decoded.video_ctx, VideoFree{&lib});
        BitmapOwner decoded_bitmap(decoded.bitmap, BitmapFree{&lib});
        if (video || !decoded_bitmap) return platform::fail("unsupported or corrupt image");
        bitmap = std::move(decoded_bitmap);
    }

    return generate(*this, bitmap.get(), mode);
}

}  // namespace tarnwick
