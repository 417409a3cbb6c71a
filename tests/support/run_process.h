#pragma once
// Runs a program as a child process with the given standard input and collects its output
// (run_process_posix.cpp, run_process_win.cpp).

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace test_support {

struct ProcessOptions {
    std::vector<std::string> argv;                            // argv[0] is the program path
    std::string stdin_data;                                   // written, then stdin is closed
    std::map<std::string, std::optional<std::string>> env;    // set (value) or unset (nullopt)
    std::optional<std::string> cwd;
    bool close_stdin_first = false;                           // start with stdin closed (no handle)
    bool close_stdout_first = false;                          // start with stdout closed (no handle)
    // Stop reading stdout after this many bytes and close our end, as a client that goes away.
    std::optional<std::size_t> stop_reading_stdout_after;
    // Interactive mode: standard input stays open after stdin_data. Each complete line the child
    // writes to standard output (without its line feed) is handed to this callback, which gives the
    // bytes to write next, or nothing to close standard input once everything is written.
    std::function<std::optional<std::string>(const std::string& line)> on_stdout_line;
    int timeout_seconds = 120;
    // Run the program under the peak_rss probe and report its peak resident set size
    // (where can_measure_peak_rss).
    bool measure_peak_rss = false;
    // Limit the program's address space to this many KiB (where can_limit_memory).
    std::optional<long> memory_limit_kib;
};

struct ProcessResult {
    int exit_code = -1;     // exit status, or -1 when the child was killed by a signal
    int signal = 0;         // the signal that ended it, if any (Linux)
    bool timed_out = false;
    std::string stdout_data;
    std::string stderr_data;
    long peak_rss_kib = 0;  // with measure_peak_rss: the program's peak resident set size
};

ProcessResult run_process(const ProcessOptions& options);

// What this system lets the tests do to a child. Linux does both; Wine neither (it reports no
// memory figures of another process and enforces no job memory limit).
extern const bool can_measure_peak_rss;
extern const bool can_limit_memory;

// What run_in_child gives back.
struct ChildRun {
    std::string report;      // what the body returned
    int exit_code = -1;      // 0 once the body has returned; 3 when the sanitizers found a leak
    long peak_rss_kib = 0;   // the child's peak resident set size (where can_measure_peak_rss)
};

// Runs `body` apart from the test process: in a forked child on Linux, whose peak memory is
// measured and, under the sanitizers, checked for leaks before it exits. Windows has no fork; the
// body runs in the test process itself.
ChildRun run_in_child(const std::function<std::string()>& body);

// Splits output into lines at each line feed; a final piece without one is kept too.
std::vector<std::string> split_lines(const std::string& text);

}  // namespace test_support
