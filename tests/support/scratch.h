#pragma once
// Small test scaffolding, header-only: a temporary folder tree, an environment guard and a
// capture of the process's standard error.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace test_support {

// A fresh folder under the temporary folder, removed with everything in it on destruction.
class TempTree {
public:
    TempTree() {
        std::string pattern = (std::filesystem::temp_directory_path() / "varnholt-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        root_ = pattern;
    }
    ~TempTree() {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    const std::string& root() const { return root_; }
    std::string path(std::string_view relative) const { return root_ + "/" + std::string(relative); }

    // "a/b/" makes a folder, "a -> target" a symbolic link (target as written), anything else a
    // file holding `contents`; missing parents are made.
    void add(std::string_view entry, std::string_view contents = "x") const {
        const std::size_t arrow = entry.find(" -> ");
        if (arrow != std::string_view::npos) {
            const std::filesystem::path link = path(entry.substr(0, arrow));
            std::filesystem::create_directories(link.parent_path());
            std::filesystem::create_symlink(std::string(entry.substr(arrow + 4)), link);
        } else if (entry.ends_with('/')) {
            std::filesystem::create_directories(path(entry));
        } else {
            const std::filesystem::path file = path(entry);
            std::filesystem::create_directories(file.parent_path());
            std::ofstream(file, std::ios::binary) << contents;
        }
    }
    void add_all(const std::vector<std::string>& entries) const {
        for (const std::string& entry : entries) add(entry);
    }

private:
    std::string root_;
};

// Every occurrence of "{root}" replaced by `root`.
inline std::string with_root(std::string text, const std::string& root) {
    for (std::size_t at = text.find("{root}"); at != std::string::npos; at = text.find("{root}", at + root.size())) {
        text.replace(at, 6, root);
    }
    return text;
}

// Sets or unsets variables for one scope and puts back what was there before.
class EnvGuard {
public:
    EnvGuard() = default;
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;
    ~EnvGuard() {
        for (const auto& [name, value] : saved_) {
            if (value) ::setenv(name.c_str(), value->c_str(), 1);
            else ::unsetenv(name.c_str());
        }
    }
    void set(const std::string& name, const std::string& value) {
        remember(name);
        ::setenv(name.c_str(), value.c_str(), 1);
    }
    void unset(const std::string& name) {
        remember(name);
        ::unsetenv(name.c_str());
    }
    void apply(const std::string& name, const std::optional<std::string>& value) {
        if (value) set(name, *value);
        else unset(name);
    }

private:
    void remember(const std::string& name) {
        if (saved_.contains(name)) return;
        const char* value = std::getenv(name.c_str());
        saved_[name] = value ? std::optional<std::string>(value) : std::nullopt;
    }
    std::map<std::string, std::optional<std::string>> saved_;
};

// Sends file descriptor 2 into a temporary file until text() or destruction.
class StderrCapture {
public:
    StderrCapture() {
        std::string pattern = (std::filesystem::temp_directory_path() / "stderr-XXXXXX").string();
        const int fd = ::mkstemp(pattern.data());
        if (fd < 0) throw std::runtime_error("mkstemp failed");
        file_ = pattern;
        std::fflush(stderr);
        saved_ = ::dup(2);
        ::dup2(fd, 2);
        ::close(fd);
    }
    ~StderrCapture() {
        restore();
        std::remove(file_.c_str());
    }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    // Everything written so far; ends the capture.
    std::string text() {
        restore();
        std::ifstream in(file_, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    void restore() {
        if (saved_ < 0) return;
        std::fflush(stderr);
        ::dup2(saved_, 2);
        ::close(saved_);
        saved_ = -1;
    }
    std::string file_;
    int saved_ = -1;
};

}  // namespace test_support
