#include "platform/path.h"

#include <vector>

#include "platform/utf16.h"

namespace platform {
namespace {

constexpr std::wstring_view verbatim_mark = L"\\\\?\\";

bool is_separator(wchar_t c) noexcept { return c == L'\\' || c == L'/'; }

bool is_drive_letter(wchar_t c) noexcept { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

bool is_verbatim(std::wstring_view path) noexcept { return path.starts_with(verbatim_mark); }

// End of the component that starts at `from`; in a verbatim path only `\` separates components.
std::size_t component_end(std::wstring_view path, std::size_t from, bool verbatim) noexcept {
    std::size_t end = from;
    while (end < path.size() && !(verbatim ? path[end] == L'\\' : is_separator(path[end]))) ++end;
    return end;
}

// Length of the path's prefix: `\\?\C:`, `\\?\UNC\server\share`, `\\?\name`, `\\.\name`,
// `\\server\share`, `C:`, or nothing.
std::size_t prefix_length(std::wstring_view path) noexcept {
    if (is_verbatim(path)) {
        const std::wstring_view rest = path.substr(verbatim_mark.size());
        if (rest.size() >= 2 && is_drive_letter(rest[0]) && rest[1] == L':' && (rest.size() == 2 || rest[2] == L'\\')) {
            return verbatim_mark.size() + 2;
        }
        if (rest.starts_with(L"UNC\\")) {
            const std::size_t server_end = component_end(path, verbatim_mark.size() + 4, true);
            if (server_end == path.size()) return server_end;
            return component_end(path, server_end + 1, true);
        }
        return component_end(path, verbatim_mark.size(), true);
    }
    if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) {
        // \\.\device, or \\server\share
        if (path.size() >= 4 && path[2] == L'.' && is_separator(path[3])) return component_end(path, 4, false);
        const std::size_t server_end = component_end(path, 2, false);
        if (server_end == path.size()) return server_end;
        return component_end(path, server_end + 1, false);
    }
    if (path.size() >= 2 && is_drive_letter(path[0]) && path[1] == L':') return 2;
    return 0;
}

// The system does not resolve `.` and `..` in a verbatim path, so the join does: the folder's
// components are kept, the piece's `.` are dropped, and each `..` removes the last component.
NativePath join_verbatim(const NativePath& folder, std::wstring_view piece) {
    const std::size_t prefix = prefix_length(folder);
    const bool rooted = prefix < folder.size() && folder[prefix] == L'\\';
    std::vector<std::wstring_view> components;
    const std::wstring_view view(folder);
    for (std::size_t at = prefix; at < view.size();) {
        const std::size_t end = component_end(view, at, true);
        if (end > at) components.push_back(view.substr(at, end - at));
        at = end + 1;
    }
    for (std::size_t at = 0; at < piece.size();) {
        const std::size_t end = component_end(piece, at, false);
        const std::wstring_view part = piece.substr(at, end - at);
        at = end + 1;
        if (part.empty() || part == L".") continue;
        if (part == L"..") {
            // Above the root there is nothing left to remove.
            if (!components.empty() && components.back() != L"..") components.pop_back();
            continue;
        }
        components.push_back(part);
    }
    NativePath joined = folder.substr(0, prefix);
    if (components.empty() && rooted) joined.push_back(L'\\');
    for (const std::wstring_view part : components) {
        joined.push_back(L'\\');
        joined.append(part);
    }
    return joined;
}

}  // namespace

NativePath join_path(const NativePath& folder, std::string_view piece) {
    const std::wstring wide_piece = utf8_to_utf16<wchar_t>(piece);
    if (is_verbatim(folder) && !wide_piece.empty()) return join_verbatim(folder, wide_piece);
    NativePath joined = folder;
    const bool bare_drive = folder.size() == 2 && is_drive_letter(folder[0]) && folder[1] == L':';
    if (!joined.empty() && !is_separator(joined.back()) && !bare_drive) joined.push_back(L'\\');
    joined.append(wide_piece);
    return joined;
}

std::optional<NativePath> parent_path(const NativePath& path) {
    const bool verbatim = is_verbatim(path);
    const auto separator = [&](wchar_t c) { return verbatim ? c == L'\\' : is_separator(c); };
    const std::size_t prefix = prefix_length(path);
    const std::size_t root = prefix < path.size() && separator(path[prefix]) ? prefix + 1 : prefix;
    // Trailing separators belong to the last component, as in `C:\a\b\`.
    std::size_t end = path.size();
    while (end > root && separator(path[end - 1])) --end;
    if (end == root) return std::nullopt;  // a root, a prefix or nothing: no parent
    std::size_t cut = end;
    while (cut > root && !separator(path[cut - 1])) --cut;
    if (cut == root) {
        if (root == 0) return std::nullopt;  // a bare name
        return path.substr(0, root);
    }
    while (cut > root && separator(path[cut - 1])) --cut;
    return path.substr(0, cut);
}

std::string path_to_utf8(const NativePath& path) { return utf16_to_utf8(std::wstring_view(path)); }

NativePath path_from_utf8(std::string_view text) { return utf8_to_utf16<wchar_t>(text); }

}  // namespace platform
