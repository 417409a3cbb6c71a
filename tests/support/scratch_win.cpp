#include "support/scratch.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "platform/utf16.h"

namespace test_support {
namespace {

std::wstring wide(std::string_view text) { return platform::utf8_to_utf16<wchar_t>(text); }

std::string unique_suffix() {
    static std::atomic<unsigned> serial{0};
    return std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(serial++) + "-" +
           std::to_string(::GetTickCount64());
}

std::string temp_base() {
    wchar_t base[MAX_PATH + 1];
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, base);
    if (length == 0 || length > MAX_PATH) throw std::runtime_error("GetTempPathW failed");
    return platform::path_to_utf8(std::wstring(base, length));
}

}  // namespace

std::string linux_or_windows(std::string /*linux_value*/, std::string windows_value) { return windows_value; }

std::string foreign_lib(std::string_view stem) { return "lib" + std::string(stem) + ".so"; }

std::string program(std::string_view name) { return std::string(name) + ".exe"; }

platform::NativePath path_with_invalid_piece(std::string_view prefix, std::string_view suffix) {
    return wide(prefix) + wchar_t(0xD800) + wide(suffix);
}

void set_env(const std::string& name, const std::optional<std::string>& value) {
    const std::wstring wide_name = wide(name);
    // The C library keeps a copy of the environment for getenv (the stand-ins read theirs so);
    // it cannot hold an empty value and drops the variable instead. The system's block, which the
    // platform layer reads and child processes inherit, gets the exact value afterwards.
    const std::wstring assignment = wide_name + L"=" + (value ? wide(*value) : std::wstring());
    ::_wputenv(assignment.c_str());
    ::SetEnvironmentVariableW(wide_name.c_str(), value ? wide(*value).c_str() : nullptr);
}

std::optional<std::string> get_env(const std::string& name) {
    const std::wstring wide_name = wide(name);
    std::wstring value(32767, L'\0');
    ::SetLastError(0);
    const DWORD got = ::GetEnvironmentVariableW(wide_name.c_str(), value.data(), static_cast<DWORD>(value.size()));
    if (got == 0 && ::GetLastError() != 0) return std::nullopt;
    value.resize(got);
    return platform::path_to_utf8(value);
}

std::string make_temp_folder() {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string folder = temp_base() + "varnholt-" + unique_suffix();
        if (::CreateDirectoryW(wide(folder).c_str(), nullptr)) return folder;
        if (::GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    throw std::runtime_error("cannot make a temporary folder");
}

bool can_make_links() {
    // Asked once: make a link in a fresh folder and see whether the system reports one there.
    static const bool can = [] {
        const std::string folder = make_temp_folder();
        const std::wstring link = wide(folder + "\\link");
        const bool made = ::CreateSymbolicLinkW(link.c_str(), wide(folder).c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY) != 0;
        const DWORD attributes = ::GetFileAttributesW(link.c_str());
        const bool there = made && attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        ::RemoveDirectoryW(link.c_str());
        ::RemoveDirectoryW(wide(folder).c_str());
        return there;
    }();
    return can;
}

void make_link(const std::string& link, const std::string& target) {
    const std::filesystem::path resolved = fs_path(link).parent_path() / fs_path(target);
    const DWORD flags = std::filesystem::is_directory(resolved) ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0;
    if (!::CreateSymbolicLinkW(wide(link).c_str(), wide(target).c_str(), flags)) {
        throw std::runtime_error("cannot make the link " + link);
    }
}

std::string os_error_text(OsError error) {
    // A folder opened as a file is refused as access denied.
    const DWORD code = error == OsError::not_found ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
    wchar_t message[2048];
    DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                    message, 2048, nullptr);
    while (length > 0 && (message[length - 1] == L'\n' || message[length - 1] == L'\r')) --length;
    return platform::path_to_utf8(std::wstring(message, length)) + " (os error " + std::to_string(code) + ")";
}

struct Unreadable::Hold {
    HANDLE handle;
};

Unreadable::Unreadable(const std::string& path)
    : hold_(new Hold{::CreateFileW(wide(path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr)}) {
    if (hold_->handle == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot hold " + path);
}

Unreadable::~Unreadable() { ::CloseHandle(hold_->handle); }

struct StderrCapture::Saved {
    int fd;         // the C library's descriptor 2 before the capture
    HANDLE handle;  // the system's standard-error handle before the capture
};

StderrCapture::StderrCapture() {
    file_ = temp_base() + "stderr-" + unique_suffix();
    HANDLE file = ::CreateFileW(wide(file_).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot make " + file_);
    std::fflush(stderr);
    saved_.reset(new Saved{::_dup(2), ::GetStdHandle(STD_ERROR_HANDLE)});
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_BINARY);
    ::_dup2(fd, 2);
    ::_close(fd);
    ::SetStdHandle(STD_ERROR_HANDLE, reinterpret_cast<HANDLE>(::_get_osfhandle(2)));
}

StderrCapture::~StderrCapture() {
    restore();
    ::DeleteFileW(wide(file_).c_str());
}

std::string StderrCapture::text() {
    restore();
    std::ifstream in(fs_path(file_), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void StderrCapture::restore() {
    if (!saved_) return;
    std::fflush(stderr);
    ::_dup2(saved_->fd, 2);
    ::_close(saved_->fd);
    ::SetStdHandle(STD_ERROR_HANDLE, saved_->handle);
    saved_.reset();
}

}  // namespace test_support
