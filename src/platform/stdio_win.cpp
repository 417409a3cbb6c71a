#include "platform/stdio.h"

#include <fcntl.h>
#include <io.h>
#include <algorithm>
#include <cstdio>
#include <string>
#include <windows.h>

#include "platform/console_reader.h"
#include "platform/utf16.h"

namespace platform {
namespace {

constexpr wchar_t ctrl_z = 0x1A;

// The handle, or null when the process has none.
HANDLE standard_handle(DWORD which) noexcept {
    HANDLE handle = ::GetStdHandle(which);
    return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

bool is_console(HANDLE handle) noexcept {
    DWORD mode;
    return ::GetConsoleMode(handle, &mode) != 0;
}

// Outcomes of a failed read that mean there is nothing more to read: the pipe's writer has closed
// it, the end of a file, or a standard-input handle that is no handle.
bool is_end_of_input(DWORD error) noexcept {
    return error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF || error == ERROR_INVALID_HANDLE ||
           error == ERROR_PIPE_NOT_CONNECTED;
}

// One ReadConsoleW that also returns when Ctrl-Z is typed. A Ctrl-C or Ctrl-Break aborts the read
// with nothing in it; that read is repeated.
ReadResult read_console_units(HANDLE handle, char16_t* units, std::size_t capacity) noexcept {
    wchar_t typed[ConsoleReader::units_per_read];
    const DWORD asked = static_cast<DWORD>(std::min(capacity, ConsoleReader::units_per_read));
    CONSOLE_READCONSOLE_CONTROL control{};
    control.nLength = sizeof control;
    control.dwCtrlWakeupMask = 1u << ctrl_z;
    for (;;) {
        DWORD got = 0;
        ::SetLastError(0);
        if (::ReadConsoleW(handle, typed, asked, &got, &control) == 0) {
            return {is_end_of_input(::GetLastError()) ? ReadStatus::end : ReadStatus::failed, 0};
        }
        if (got == 0 && ::GetLastError() == ERROR_OPERATION_ABORTED) continue;
        std::copy(typed, typed + got, units);
        return {ReadStatus::data, got};
    }
}

ReadResult read_console(char* buffer, std::size_t capacity) noexcept {
    try {
        // Only the serve loop reads standard input; text converted but not yet handed out waits
        // here for its next read.
        static ConsoleReader reader([](char16_t* units, std::size_t count) -> ReadResult {
            HANDLE handle = standard_handle(STD_INPUT_HANDLE);
            if (handle == nullptr) return {ReadStatus::end, 0};
            return read_console_units(handle, units, count);
        });
        return reader.read(buffer, capacity);
    } catch (...) {
        return {ReadStatus::failed, 0};
    }
}

// A console shows UTF-16; the bytes are UTF-8 text.
void write_console(HANDLE handle, std::string_view bytes) noexcept {
    try {
        const std::wstring text = utf8_to_utf16<wchar_t>(bytes);
        std::wstring_view rest(text);
        while (!rest.empty()) {
            std::size_t chunk = std::min<std::size_t>(rest.size(), 8192);
            // A surrogate pair stays within one write.
            if (chunk < rest.size() && is_high_surrogate(rest[chunk - 1])) --chunk;
            DWORD put = 0;
            if (::WriteConsoleW(handle, rest.data(), static_cast<DWORD>(chunk), &put, nullptr) == 0 || put == 0) return;
            rest.remove_prefix(put);
        }
    } catch (...) {
        // Out of memory for the conversion: the text is dropped, as any failed write is.
    }
}

void write_all(DWORD which, std::string_view bytes) noexcept {
    HANDLE handle = standard_handle(which);
    if (handle == nullptr) return;
    if (is_console(handle)) {
        write_console(handle, bytes);
        return;
    }
    while (!bytes.empty()) {
        const DWORD asked = bytes.size() > (1u << 30) ? (1u << 30) : static_cast<DWORD>(bytes.size());
        DWORD put = 0;
        // ERROR_NO_DATA and the like: the reader is gone, the rest is dropped.
        if (::WriteFile(handle, bytes.data(), asked, &put, nullptr) == 0 || put == 0) return;
        bytes.remove_prefix(put);
    }
}

void set_binary(std::FILE* stream) noexcept {
    const int fd = ::_fileno(stream);
    if (fd >= 0) ::_setmode(fd, _O_BINARY);
}

}  // namespace

void prepare_standard_streams() noexcept {
    set_binary(stdin);
    set_binary(stdout);
    set_binary(stderr);
}

ReadResult read_stdin(char* buffer, std::size_t capacity) noexcept {
    HANDLE handle = standard_handle(STD_INPUT_HANDLE);
    if (handle == nullptr) return {ReadStatus::end, 0};
    if (is_console(handle)) return read_console(buffer, capacity);
    const DWORD asked = capacity > (1u << 30) ? (1u << 30) : static_cast<DWORD>(capacity);
    DWORD got = 0;
    if (::ReadFile(handle, buffer, asked, &got, nullptr) == 0) {
        return {is_end_of_input(::GetLastError()) ? ReadStatus::end : ReadStatus::failed, 0};
    }
    if (got == 0) return {ReadStatus::end, 0};
    return {ReadStatus::data, got};
}

void write_stdout(std::string_view bytes) noexcept { write_all(STD_OUTPUT_HANDLE, bytes); }
void write_stderr(std::string_view bytes) noexcept { write_all(STD_ERROR_HANDLE, bytes); }

}  // namespace platform
