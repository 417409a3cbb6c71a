// Peak memory and time of image preparation for the largest images that the decoder's 512 MiB
// sample allowance lets through, each from a file of well under a megabyte: complete PNGs of
// uniform rows in each 8- and 16-bit layout, and a GIF whose logical screen holds a 1 x 1 frame.
// The allowance counts samples in the file's own layout; the image library's 16-bit RGBA pixel
// cache holds 8 bytes a pixel, so the peak is several times the allowance.
//
// Each image runs in a forked child, made before this process ever calls the image library.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "support/image_fixtures.h"
#include "tarnwick/image.h"

namespace {

using test_support::Bytes;

Bytes uniform_png(std::uint32_t width, std::uint32_t height, int colour_type, int depth) {
    return test_support::uniform_png(width, height, colour_type, depth, 0x40);
}

}  // namespace

int main() {
    const std::uint64_t budget = tarnwick::pixel_budget(4096);
    struct Case {
        const char* what;
        Bytes file;
    };
    const Case cases[] = {
        {"PNG grey 8-bit 23170 x 23170", uniform_png(23170, 23170, 0, 8)},
        {"PNG grey 16-bit 16383 x 16383", uniform_png(16383, 16383, 0, 16)},
        {"PNG RGB 8-bit 13377 x 13377", uniform_png(13377, 13377, 2, 8)},
        {"PNG RGBA 8-bit 11585 x 11585", uniform_png(11585, 11585, 6, 8)},
        {"GIF screen 11585 x 11585, 1 x 1 frame", test_support::gif_claiming(11585, 11585, 1, 1)},
    };
    std::printf("%-40s %10s %12s %10s %s\n", "image", "file KiB", "peak MiB", "seconds", "result");
    for (const Case& c : cases) {
        int fds[2];
        if (::pipe(fds) != 0) return 1;
        const auto start = std::chrono::steady_clock::now();
        const pid_t pid = ::fork();
        if (pid == 0) {
            const auto rgb = tarnwick::prepare_rgb(c.file.data(), c.file.size(), budget);
            char result[64];
            const int n = rgb ? std::snprintf(result, sizeof result, "%ux%u", rgb->width, rgb->height)
                              : std::snprintf(result, sizeof result, "none");
            if (::write(fds[1], result, static_cast<std::size_t>(n)) != n) ::_exit(2);
            ::_exit(0);
        }
        ::close(fds[1]);
        char result[64] = {};
        if (::read(fds[0], result, sizeof result - 1) < 0) result[0] = '?';
        ::close(fds[0]);
        int status = 0;
        rusage usage{};
        ::wait4(pid, &status, 0, &usage);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("%-40s %10zu %12ld %10.1f %s\n", c.what, c.file.size() / 1024, usage.ru_maxrss / 1024, seconds,
                    WIFEXITED(status) && WEXITSTATUS(status) == 0 ? result : "child failed");
    }
    return 0;
}
