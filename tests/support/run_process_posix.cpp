#include "support/run_process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

extern char** environ;

namespace test_support {

const bool can_measure_peak_rss = true;
const bool can_limit_memory = true;

namespace {

unsigned probe_runs = 0;

void make_pipe(int fds[2]) {
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
}

}  // namespace

ProcessResult run_process(const ProcessOptions& options) {
    std::signal(SIGPIPE, SIG_IGN);
    std::string rss_report;
    std::vector<std::string> argv = options.argv;
    if (options.measure_peak_rss) {
        rss_report = "/tmp/peak-rss-" + std::to_string(::getpid()) + "-" + std::to_string(++probe_runs);
        argv.insert(argv.begin(), {PEAK_RSS_PROBE, rss_report});
    }
    int in[2], out[2], err[2];
    make_pipe(in);
    make_pipe(out);
    make_pipe(err);

    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        if (options.close_stdin_first) {
            ::close(STDIN_FILENO);
        } else {
            ::dup2(in[0], STDIN_FILENO);
        }
        if (options.close_stdout_first) {
            ::close(STDOUT_FILENO);
        } else {
            ::dup2(out[1], STDOUT_FILENO);
        }
        ::dup2(err[1], STDERR_FILENO);
        if (options.memory_limit_kib) {
            const rlim_t bytes = static_cast<rlim_t>(*options.memory_limit_kib) * 1024;
            const rlimit limit{bytes, bytes};
            if (::setrlimit(RLIMIT_AS, &limit) != 0) ::_exit(126);
        }
        for (const auto& [name, value] : options.env) {
            if (value) {
                ::setenv(name.c_str(), value->c_str(), 1);
            } else {
                ::unsetenv(name.c_str());
            }
        }
        if (options.cwd && ::chdir(options.cwd->c_str()) != 0) ::_exit(126);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execve(args[0], args.data(), environ);
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);

    ProcessResult result;
    std::string pending = options.stdin_data;  // everything meant for stdin so far
    std::size_t written = 0;
    bool close_when_written = !options.on_stdout_line;
    std::size_t line_start = 0;  // where the next unseen stdout line begins
    int in_fd = in[1];
    if (options.close_stdin_first || (pending.empty() && close_when_written)) {
        ::close(in_fd);
        in_fd = -1;
    } else {
        ::fcntl(in_fd, F_SETFL, O_NONBLOCK);
    }
    auto close_stdin_if_done = [&] {
        if (in_fd >= 0 && close_when_written && written == pending.size()) {
            ::close(in_fd);
            in_fd = -1;
        }
    };
    int out_fd = out[0], err_fd = err[0];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeout_seconds);
    char buffer[65536];

    while (out_fd >= 0 || err_fd >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            result.timed_out = true;
            ::kill(pid, SIGKILL);
            break;
        }
        pollfd fds[3];
        int n = 0;
        int in_slot = -1, out_slot = -1, err_slot = -1;
        if (in_fd >= 0 && written < pending.size()) { in_slot = n; fds[n++] = {in_fd, POLLOUT, 0}; }
        if (out_fd >= 0) { out_slot = n; fds[n++] = {out_fd, POLLIN, 0}; }
        if (err_fd >= 0) { err_slot = n; fds[n++] = {err_fd, POLLIN, 0}; }
        if (::poll(fds, n, static_cast<int>(left)) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (in_slot >= 0 && fds[in_slot].revents) {
            const ssize_t put = ::write(in_fd, pending.data() + written, pending.size() - written);
            if (put > 0) written += static_cast<std::size_t>(put);
            if (put < 0 && errno != EAGAIN && errno != EINTR) {
                // The child no longer reads: nothing more can reach it.
                ::close(in_fd);
                in_fd = -1;
            }
            close_stdin_if_done();
        }
        auto drain = [&](int& fd, int slot, std::string& sink, bool is_stdout) {
            if (slot < 0 || fds[slot].revents == 0) return;
            const ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got > 0) {
                sink.append(buffer, static_cast<std::size_t>(got));
                if (is_stdout && options.stop_reading_stdout_after && sink.size() >= *options.stop_reading_stdout_after) {
                    ::close(fd);
                    fd = -1;
                }
            } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
                ::close(fd);
                fd = -1;
            }
        };
        drain(out_fd, out_slot, result.stdout_data, true);
        drain(err_fd, err_slot, result.stderr_data, false);
        if (options.on_stdout_line) {
            for (std::size_t nl; (nl = result.stdout_data.find('\n', line_start)) != std::string::npos; line_start = nl + 1) {
                std::optional<std::string> next = options.on_stdout_line(result.stdout_data.substr(line_start, nl - line_start));
                if (next) pending += *next;
                else close_when_written = true;
            }
            close_stdin_if_done();
        }
    }
    if (in_fd >= 0) ::close(in_fd);
    if (out_fd >= 0) ::close(out_fd);
    if (err_fd >= 0) ::close(err_fd);

    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (options.measure_peak_rss) {
        std::ifstream(rss_report) >> result.peak_rss_kib;
        ::unlink(rss_report.c_str());
    }
    if (WIFEXITED(status)) {
        result.exit_code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
}

ChildRun run_in_child(const std::function<std::string()>& body) {
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::close(fds[0]);
        const std::string report = body();
        for (std::size_t put = 0; put < report.size();) {
            const ssize_t n = ::write(fds[1], report.data() + put, report.size() - put);
            if (n <= 0) ::_exit(2);
            put += static_cast<std::size_t>(n);
        }
#if defined(__SANITIZE_ADDRESS__)
        if (__lsan_do_recoverable_leak_check() != 0) ::_exit(3);
#endif
        ::_exit(0);
    }
    ::close(fds[1]);
    ChildRun run;
    char buffer[65536];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) run.report.append(buffer, static_cast<std::size_t>(n));
    ::close(fds[0]);
    int status = 0;
    rusage usage{};
    while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.peak_rss_kib = usage.ru_maxrss;
    return run;
}

}  // namespace test_support
