#include "support/scratch.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace test_support {

std::string linux_or_windows(std::string linux_value, std::string /*windows_value*/) { return linux_value; }

std::string foreign_lib(std::string_view stem) { return std::string(stem) + ".dll"; }

std::string program(std::string_view name) { return std::string(name); }

platform::NativePath path_with_invalid_piece(std::string_view prefix, std::string_view suffix) {
    return std::string(prefix) + "\xFF" + std::string(suffix);
}

void set_env(const std::string& name, const std::optional<std::string>& value) {
    if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
    } else {
        ::unsetenv(name.c_str());
    }
}

std::optional<std::string> get_env(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

std::string make_temp_folder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "varnholt-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

bool can_make_links() { return true; }

void make_link(const std::string& link, const std::string& target) { std::filesystem::create_symlink(target, link); }

std::string os_error_text(OsError error) {
    const int code = error == OsError::not_found ? ENOENT : EISDIR;
    return std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")";
}

struct Unreadable::Hold {
    std::string path;
};

Unreadable::Unreadable(const std::string& path) : hold_(new Hold{path}) { ::chmod(path.c_str(), 0); }

Unreadable::~Unreadable() { ::chmod(hold_->path.c_str(), 0644); }

struct StderrCapture::Saved {
    int fd;
};

StderrCapture::StderrCapture() {
    std::string pattern = (std::filesystem::temp_directory_path() / "stderr-XXXXXX").string();
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    file_ = pattern;
    std::fflush(stderr);
    saved_.reset(new Saved{::dup(2)});
    ::dup2(fd, 2);
    ::close(fd);
}

StderrCapture::~StderrCapture() {
    restore();
    std::remove(file_.c_str());
}

std::string StderrCapture::text() {
    restore();
    std::ifstream in(file_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void StderrCapture::restore() {
    if (!saved_) return;
    std::fflush(stderr);
    ::dup2(saved_->fd, 2);
    ::close(saved_->fd);
    saved_.reset();
}

}  // namespace test_support
