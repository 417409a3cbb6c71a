// Pipes 100,000 ping requests through the glossel binary and prints the requests per second,
// measured from the start of the process to the last reply.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

int main() {
    constexpr int requests = 100000;
    std::string input;
    for (int i = 0; i < requests; ++i) {
        input += "{\"jsonrpc\":\"2.0\",\"id\":" + std::to_string(i) + ",\"method\":\"ping\"}\n";
    }
    signal(SIGPIPE, SIG_IGN);
    int to_child[2], from_child[2];
    if (pipe(to_child) != 0 || pipe(from_child) != 0) return 1;

    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid < 0) return 1;
    if (pid == 0) {
        dup2(to_child[0], STDIN_FILENO);
        dup2(from_child[1], STDOUT_FILENO);
        close(to_child[0]); close(to_child[1]); close(from_child[0]); close(from_child[1]);
        execl(GLOSSEL_BINARY, GLOSSEL_BINARY, static_cast<char*>(nullptr));
        _exit(127);
    }
    close(to_child[0]);
    close(from_child[1]);

    std::thread writer([&] {
        std::size_t done = 0;
        while (done < input.size()) {
            const ssize_t put = write(to_child[1], input.data() + done, input.size() - done);
            if (put <= 0) break;
            done += static_cast<std::size_t>(put);
        }
        close(to_child[1]);
    });

    long lines = 0;
    char buffer[1 << 16];
    for (;;) {
        const ssize_t got = read(from_child[0], buffer, sizeof buffer);
        if (got <= 0) break;
        for (ssize_t i = 0; i < got; ++i) lines += buffer[i] == '\n';
    }
    const auto end = std::chrono::steady_clock::now();
    writer.join();
    close(from_child[0]);
    int status = 0;
    waitpid(pid, &status, 0);

    const double seconds = std::chrono::duration<double>(end - start).count();
    std::printf("%ld replies to %d ping requests in %.3f s: %.0f requests per second\n", lines, requests,
                seconds, requests / seconds);
    return lines == requests && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
