#include "support/scratch.h"

#include <cstdio>
#include <fstream>
#include <system_error>

#include "platform/dynlib.h"

namespace test_support {

std::string join(std::string_view folder, std::string_view relative) {
    platform::NativePath joined = platform::path_from_utf8(folder);
    for (;;) {
        const std::size_t slash = relative.find('/');
        joined = platform::join_path(joined, relative.substr(0, slash));
        if (slash == std::string_view::npos) break;
        relative.remove_prefix(slash + 1);
    }
    return platform::path_to_utf8(joined);
}

std::string join_piece(std::string_view folder, std::string_view piece) {
    return platform::path_to_utf8(platform::join_path(platform::path_from_utf8(folder), piece));
}

std::string lib(std::string_view stem) { return platform::library_file_name(stem); }

std::filesystem::path fs_path(std::string_view text) { return std::filesystem::path(platform::path_from_utf8(text)); }

std::string with_root(std::string text, const std::string& root) {
    for (std::size_t at = text.find("{root}"); at != std::string::npos; at = text.find("{root}", at)) {
        std::size_t end = at + 6;
        while (end < text.size() && std::string_view("\"| \t\r\n").find(text[end]) == std::string_view::npos) ++end;
        const std::string_view tail = std::string_view(text).substr(at + 6, end - at - 6);
        const std::string expanded = tail.starts_with('/') ? join(root, tail.substr(1)) : root + std::string(tail);
        text.replace(at, end - at, expanded);
        at += expanded.size();
    }
    return text;
}

void note_skipped(int count, std::string_view why) {
    if (count > 0) std::printf("note: %d cases not run on this system: %.*s\n", count, static_cast<int>(why.size()), why.data());
}

TempTree::~TempTree() {
    std::error_code ignored;
    std::filesystem::remove_all(fs_path(root_), ignored);
}

void TempTree::add(std::string_view entry, std::string_view contents) const {
    const std::size_t arrow = entry.find(" -> ");
    if (arrow != std::string_view::npos) {
        const std::string link = path(entry.substr(0, arrow));
        const std::string target(entry.substr(arrow + 4));
        std::filesystem::create_directories(fs_path(link).parent_path());
        if (can_make_links()) {
            make_link(link, target);
        } else {
            // A relative target is relative to the link's folder, as a link's would be.
            const std::filesystem::path source = fs_path(link).parent_path() / fs_path(target);
            std::filesystem::copy(source, fs_path(link), std::filesystem::copy_options::recursive);
        }
    } else if (entry.ends_with('/')) {
        std::filesystem::create_directories(fs_path(path(entry)));
    } else {
        const std::filesystem::path file = fs_path(path(entry));
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << contents;
    }
}

void TempTree::add_all(const std::vector<std::string>& entries) const {
    for (const std::string& entry : entries) add(entry);
}

EnvGuard::~EnvGuard() {
    for (const auto& [name, value] : saved_) set_env(name, value);
}

void EnvGuard::apply(const std::string& name, const std::optional<std::string>& value) {
    if (!saved_.contains(name)) saved_[name] = get_env(name);
    set_env(name, value);
}

}  // namespace test_support
