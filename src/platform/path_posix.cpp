#include "platform/path.h"

#include "platform/utf8.h"

namespace platform {

NativePath join_path(const NativePath& folder, std::string_view piece) {
    NativePath joined = folder;
    if (!joined.empty() && joined.back() != '/') joined.push_back('/');
    joined.append(piece);
    return joined;
}

std::optional<NativePath> parent_path(const NativePath& path) {
    // Trailing separators belong to the last component, as in "a/b/".
    std::size_t end = path.size();
    while (end > 1 && path[end - 1] == '/') --end;
    const std::size_t slash = path.rfind('/', end == 0 ? 0 : end - 1);
    if (slash == NativePath::npos || end <= 1) return std::nullopt;
    if (slash == 0) return NativePath("/");
    std::size_t cut = slash;
    while (cut > 1 && path[cut - 1] == '/') --cut;
    return path.substr(0, cut);
}

std::string path_to_utf8(const NativePath& path) { return utf8_lossy(path); }

NativePath path_from_utf8(std::string_view text) { return NativePath(text); }

}  // namespace platform
