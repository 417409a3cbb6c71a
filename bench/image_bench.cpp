// Time and peak memory of image preparation alone (file bytes in memory -> packed RGB), beside
// the reference pipeline (python3-pil: open, resize(LANCZOS) to the same size, convert('RGB'))
// run on the same files in the same run. Prints ours / reference ratios.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tarnwick/image.h"
#include "tarnwick/tarnwick.h"

namespace {

constexpr int runs = 5;

long rss_kib() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

struct Figures {
    double seconds = 0;
    long peak_kib = 0;  // peak resident size of the process that ran it
    long base_kib = 0;  // resident size with the file bytes loaded, before the first run
};

Figures ours(const std::string& file, const std::vector<unsigned char>& bytes, std::uint64_t budget, std::uint32_t& width,
             std::uint32_t& height) {
    Figures f;
    // Peak memory from a fresh process of this program that runs it once (a forked child would
    // inherit the pages this process has already touched).
    const std::string command =
        "'" + std::filesystem::read_symlink("/proc/self/exe").string() + "' --once '" + file + "'";
    if (FILE* out = popen(command.c_str(), "r")) {
        if (std::fscanf(out, "%ld %ld", &f.peak_kib, &f.base_kib) != 2) f.peak_kib = f.base_kib = 0;
        pclose(out);
    }
    std::vector<double> times;
    for (int i = 0; i <= runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        auto rgb = tarnwick::prepare_rgb(bytes.data(), bytes.size(), budget);
        times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        if (rgb) width = rgb->width, height = rgb->height;
    }
    times.erase(times.begin());  // warm-up: library initialisation
    std::sort(times.begin(), times.end());
    f.seconds = times[times.size() / 2];
    return f;
}

Figures reference(const std::string& script, const std::string& file, std::uint32_t width,
                  std::uint32_t height) {
    Figures f;
    const std::string command = "/usr/bin/python3 '" + script + "' reference '" + file + "' " +
                                std::to_string(width) + " " + std::to_string(height) + " " + std::to_string(runs);
    FILE* out = popen(command.c_str(), "r");
    if (!out) return f;
    if (std::fscanf(out, "%lf %ld %ld", &f.seconds, &f.peak_kib, &f.base_kib) != 3) f.seconds = 0;
    pclose(out);
    return f;
}

}  // namespace

std::vector<unsigned char> read_file(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--once") {
        const std::vector<unsigned char> bytes = read_file(argv[2]);
        const long base = rss_kib();
        const auto rgb = tarnwick::prepare_rgb(bytes.data(), bytes.size(), tarnwick::pixel_budget(4096));
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        std::printf("%ld %ld\n", rgb ? usage.ru_maxrss : -1, base);
        return 0;
    }
    const std::filesystem::path script = std::filesystem::path(__FILE__).parent_path() / "image_bench.py";
    const std::filesystem::path folder = std::filesystem::temp_directory_path() / ("image_bench." + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    if (std::system(("/usr/bin/python3 '" + script.string() + "' generate '" + folder.string() + "'").c_str()) != 0) {
        std::fprintf(stderr, "could not generate the fixtures (python3-pil installed?)\n");
        return 1;
    }
    const std::uint64_t budget = tarnwick::pixel_budget(4096);
    std::printf("%-12s %9s %9s %9s %7s  %10s %10s %7s\n", "image", "size", "ours ms", "ref ms", "ratio",
                "ours MiB", "ref MiB", "ratio");
    for (const char* name : {"photo.jpg", "screen.png"}) {
        const std::string file = (folder / name).string();
        const std::vector<unsigned char> bytes = read_file(file);
        std::uint32_t width = 0, height = 0;
        const Figures a = ours(file, bytes, budget, width, height);
        const Figures b = reference(script.string(), file, width, height);
        // Memory is the peak above the resident size with the bytes loaded (the interpreter and
        // its modules are not counted against the reference).
        const double a_mib = (a.peak_kib - a.base_kib) / 1024.0, b_mib = (b.peak_kib - b.base_kib) / 1024.0;
        std::printf("%-12s %4ux%-4u %9.1f %9.1f %7.2f  %10.1f %10.1f %7.2f\n", name, width, height,
                    a.seconds * 1e3, b.seconds * 1e3, a.seconds / b.seconds, a_mib, b_mib, a_mib / b_mib);
    }
    std::printf("threads: %d\n", tarnwick::worker_threads());
    std::filesystem::remove_all(folder);
    return 0;
}
