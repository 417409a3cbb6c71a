// peak_rss REPORT PROGRAM [ARG...]: runs PROGRAM with the standard streams it was given, then
// writes the program's peak resident set size in KiB to the file REPORT and ends as the program
// ended (same exit status, or the same signal).
//
// The peak that wait4 reports counts the memory the child shared with its parent between fork
// and exec. A test process that holds a 64 MiB request would inflate every figure, so the program
// is forked from this small process instead.

#include <csignal>
#include <cstdio>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: peak_rss REPORT PROGRAM [ARG...]\n");
        return 125;
    }
    const pid_t pid = ::fork();
    if (pid < 0) return 125;
    if (pid == 0) {
        ::execv(argv[2], argv + 2);
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    while (::wait4(pid, &status, 0, &usage) < 0) {
    }
    if (std::FILE* report = std::fopen(argv[1], "w")) {
        std::fprintf(report, "%ld\n", usage.ru_maxrss);
        std::fclose(report);
    }
    if (WIFSIGNALED(status)) {
        std::signal(WTERMSIG(status), SIG_DFL);
        ::raise(WTERMSIG(status));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 125;
}
