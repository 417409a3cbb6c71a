#pragma once
// Native paths and their display text. On Linux a native path is the byte string the kernel
// takes; on Windows it is the UTF-16 text of the wide system calls, which may hold unpaired
// surrogates and must reach the system exactly as it came.

#include <optional>
#include <string>
#include <string_view>

namespace platform {

#ifdef _WIN32
using NativePath = std::wstring;
#else
using NativePath = std::string;
#endif

// The folder joined with one piece (UTF-8 text). A separator goes between them unless the folder
// is empty or already ends in one; on Windows the separator is `\`, and none is added after a
// bare drive such as `C:`. Nothing is normalised, so "x/../y" stays as written, except after a
// Windows folder in the verbatim form `\\?\`, where the system would not resolve `.` and `..`:
// there each `.` of the piece is dropped and each `..` removes the last component so far.
NativePath join_path(const NativePath& folder, std::string_view piece);

// The path without its last component; nothing when it has no parent (a root such as "/", `C:\`
// or `\\server\share`, or a bare name).
std::optional<NativePath> parent_path(const NativePath& path);

// The path as UTF-8 text for messages and for the inference libraries: each invalid byte
// sequence (Linux) or unpaired surrogate (Windows) becomes U+FFFD.
std::string path_to_utf8(const NativePath& path);

// The path that a client's UTF-8 text names.
NativePath path_from_utf8(std::string_view text);

}  // namespace platform
