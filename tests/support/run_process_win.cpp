#include "support/run_process.h"

#include <windows.h>

#include <algorithm>
#include <condition_variable>
#include <cwchar>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "platform/utf16.h"

namespace test_support {

// Wine reports no memory figures of another process (GetProcessMemoryInfo gives its start-up
// values) and does not enforce a job's memory limit.
const bool can_measure_peak_rss = false;
const bool can_limit_memory = false;

namespace {

std::wstring wide(std::string_view text) { return platform::utf8_to_utf16<wchar_t>(text); }

// One argument written so that the C runtime's command-line parser reads it back unchanged.
void append_argument(std::wstring& line, const std::wstring& argument) {
    if (!line.empty()) line.push_back(L' ');
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += argument;
        return;
    }
    line.push_back(L'"');
    for (auto it = argument.begin();; ++it) {
        std::size_t backslashes = 0;
        while (it != argument.end() && *it == L'\\') {
            ++it;
            ++backslashes;
        }
        if (it == argument.end()) {
            line.append(backslashes * 2, L'\\');  // before the closing quote
            break;
        }
        if (*it == L'"') {
            line.append(backslashes * 2 + 1, L'\\');
        } else {
            line.append(backslashes, L'\\');
        }
        line.push_back(*it);
    }
    line.push_back(L'"');
}

// This process's environment block with the options' changes; names compare without regard to
// case, as the system's do.
std::wstring environment_block(const std::map<std::string, std::optional<std::string>>& changes) {
    std::vector<std::wstring> entries;
    wchar_t* block = ::GetEnvironmentStringsW();
    for (const wchar_t* entry = block; *entry != L'\0'; entry += std::wcslen(entry) + 1) entries.emplace_back(entry);
    ::FreeEnvironmentStringsW(block);
    for (const auto& [name, value] : changes) {
        const std::wstring key = wide(name) + L"=";
        std::erase_if(entries, [&](const std::wstring& entry) {
            return entry.size() >= key.size() &&
                   ::CompareStringOrdinal(entry.data(), static_cast<int>(key.size()), key.data(),
                                          static_cast<int>(key.size()), TRUE) == CSTR_EQUAL;
        });
        if (value) entries.push_back(key + wide(*value));
    }
    std::wstring joined;
    for (const std::wstring& entry : entries) {
        joined += entry;
        joined.push_back(L'\0');
    }
    if (entries.empty()) joined.push_back(L'\0');
    joined.push_back(L'\0');
    return joined;
}

// A pipe whose one end the child inherits; ours is kept from it.
struct Pipe {
    HANDLE read = nullptr;
    HANDLE write = nullptr;
};

Pipe make_pipe(bool child_reads) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    Pipe pipe;
    if (!::CreatePipe(&pipe.read, &pipe.write, &inherit, 0)) throw std::runtime_error("CreatePipe failed");
    ::SetHandleInformation(child_reads ? pipe.write : pipe.read, HANDLE_FLAG_INHERIT, 0);
    return pipe;
}

void close(HANDLE& handle) {
    if (handle != nullptr) ::CloseHandle(handle);
    handle = nullptr;
}

}  // namespace

ProcessResult run_process(const ProcessOptions& options) {
    if (options.measure_peak_rss || options.memory_limit_kib) {
        throw std::logic_error("this system's process support neither measures nor limits memory");
    }
    Pipe in = make_pipe(true), out = make_pipe(false), err = make_pipe(false);

    std::wstring command_line;
    for (const std::string& argument : options.argv) append_argument(command_line, wide(argument));
    std::wstring environment = environment_block(options.env);
    const std::wstring program = wide(options.argv.at(0));
    const std::wstring cwd = options.cwd ? wide(*options.cwd) : std::wstring();

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = options.close_stdin_first ? nullptr : in.read;
    startup.hStdOutput = options.close_stdout_first ? nullptr : out.write;
    startup.hStdError = err.write;
    PROCESS_INFORMATION process{};
    // Without a console of its own: the standard handles are the pipes, or none.
    const BOOL started = ::CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                                          CREATE_UNICODE_ENVIRONMENT | DETACHED_PROCESS, environment.data(),
                                          options.cwd ? cwd.c_str() : nullptr, &startup, &process);
    close(in.read);
    close(out.write);
    close(err.write);
    if (!started) {
        close(in.write);
        close(out.read);
        close(err.read);
        throw std::runtime_error("CreateProcessW failed for " + options.argv.at(0) + " (error " +
                                 std::to_string(::GetLastError()) + ")");
    }
    ::CloseHandle(process.hThread);

    ProcessResult result;
    std::mutex mutex;
    std::condition_variable wake;
    std::string pending = options.stdin_data;  // everything meant for stdin so far
    std::size_t written = 0;
    bool close_when_written = !options.on_stdout_line;
    bool child_gone = false;

    // Standard input: written as it becomes pending, closed once everything is written and no
    // more will come.
    std::thread writer([&] {
        std::unique_lock lock(mutex);
        for (;;) {
            wake.wait(lock, [&] { return written < pending.size() || close_when_written || child_gone; });
            if (written == pending.size()) break;
            const std::string chunk = pending.substr(written, 1 << 16);
            lock.unlock();
            DWORD put = 0;
            const bool ok = ::WriteFile(in.write, chunk.data(), static_cast<DWORD>(chunk.size()), &put, nullptr) != 0;
            lock.lock();
            if (!ok) break;  // the child no longer reads: nothing more can reach it
            written += put;
        }
        close(in.write);
    });
    if (options.close_stdin_first) {
        std::lock_guard lock(mutex);
        child_gone = true;  // nothing is written to a child without standard input
        wake.notify_all();
    }

    std::thread out_reader([&] {
        char buffer[65536];
        std::size_t line_start = 0;
        DWORD got = 0;
        while (::ReadFile(out.read, buffer, sizeof buffer, &got, nullptr) && got > 0) {
            result.stdout_data.append(buffer, got);
            if (options.stop_reading_stdout_after && result.stdout_data.size() >= *options.stop_reading_stdout_after) break;
            if (!options.on_stdout_line) continue;
            for (std::size_t nl; (nl = result.stdout_data.find('\n', line_start)) != std::string::npos; line_start = nl + 1) {
                std::optional<std::string> next =
                    options.on_stdout_line(result.stdout_data.substr(line_start, nl - line_start));
                std::lock_guard lock(mutex);
                if (next) pending += *next;
                else close_when_written = true;
                wake.notify_all();
            }
        }
        close(out.read);
    });
    std::thread err_reader([&] {
        char buffer[65536];
        DWORD got = 0;
        while (::ReadFile(err.read, buffer, sizeof buffer, &got, nullptr) && got > 0) result.stderr_data.append(buffer, got);
        close(err.read);
    });

    if (::WaitForSingleObject(process.hProcess, static_cast<DWORD>(options.timeout_seconds) * 1000) == WAIT_TIMEOUT) {
        result.timed_out = true;
        ::TerminateProcess(process.hProcess, 1);
        ::WaitForSingleObject(process.hProcess, INFINITE);
    }
    {
        std::lock_guard lock(mutex);
        child_gone = true;
        wake.notify_all();
    }
    writer.join();
    out_reader.join();
    err_reader.join();

    DWORD code = 0;
    ::GetExitCodeProcess(process.hProcess, &code);
    ::CloseHandle(process.hProcess);
    result.exit_code = static_cast<int>(code);
    return result;
}

ChildRun run_in_child(const std::function<std::string()>& body) {
    ChildRun run;
    run.report = body();
    run.exit_code = 0;
    return run;
}

}  // namespace test_support
