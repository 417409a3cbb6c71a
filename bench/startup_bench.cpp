// Time from process start to the first reply, the shared libraries mapped and the resident memory
// then, for the glossel binary beside a bare process: `head -n 1`, which answers the same request
// line by echoing it. Medians over many starts; the server stays idle (no tool call, no engine).
// Another server binary to compare may be named as the argument.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int starts = 200;
const std::string request = "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"}\n";

struct Start {
    double ms = 0;
    std::size_t libraries = 0;
    long rss_kib = 0;
};

// Shared objects in the process's mappings, each counted once (the vDSO included).
std::size_t mapped_libraries(pid_t pid) {
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    std::set<std::string> names;
    for (std::string line; std::getline(maps, line);) {
        const auto slash = line.find('/');
        const std::string path = slash == std::string::npos ? line.substr(line.rfind(' ') + 1) : line.substr(slash);
        if (path.find(".so") != std::string::npos || path == "[vdso]") names.insert(path);
    }
    return names.size();
}

long resident_kib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

// Starts the program, writes the request and reads up to the first line feed; the process is
// looked at while it still runs, then its input is closed.
bool one_start(const char* const* argv, Start& out) {
    int to_child[2], from_child[2];
    if (pipe(to_child) != 0 || pipe(from_child) != 0) return false;
    const auto begin = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        dup2(to_child[0], STDIN_FILENO);
        dup2(from_child[1], STDOUT_FILENO);
        close(to_child[0]); close(to_child[1]); close(from_child[0]); close(from_child[1]);
        execv(argv[0], const_cast<char* const*>(argv));
        _exit(127);
    }
    close(to_child[0]);
    close(from_child[1]);
    bool answered = write(to_child[1], request.data(), request.size()) == static_cast<ssize_t>(request.size());
    char c = 0;
    while (answered) {
        const ssize_t got = read(from_child[0], &c, 1);
        if (got != 1) answered = false;
        else if (c == '\n') break;
    }
    out.ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count();
    out.libraries = mapped_libraries(pid);
    out.rss_kib = resident_kib(pid);
    close(to_child[1]);
    close(from_child[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return answered;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    const char* const glossel[] = {argc > 1 ? argv[1] : GLOSSEL_BINARY, nullptr};
    const char* const bare[] = {"/usr/bin/head", "-n", "1", nullptr};
    std::printf("%-10s %18s %10s %10s\n", "program", "first reply ms", "libraries", "RSS KiB");
    double medians[2] = {};
    int row = 0;
    for (const auto* program : {bare, glossel}) {
        std::vector<double> ms, libraries, rss;
        for (int i = 0; i < starts; ++i) {
            Start s;
            if (!one_start(program, s)) {
                std::fprintf(stderr, "%s gave no reply\n", program[0]);
                return 1;
            }
            ms.push_back(s.ms);
            libraries.push_back(static_cast<double>(s.libraries));
            rss.push_back(static_cast<double>(s.rss_kib));
        }
        medians[row++] = median(ms);
        std::printf("%-10s %18.2f %10.0f %10.0f\n", program == bare ? "head -n 1" : "glossel", median(ms), median(libraries),
                    median(rss));
    }
    std::printf("glossel answers %.2f ms after a bare process would\n", medians[1] - medians[0]);
    return 0;
}
