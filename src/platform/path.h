#pragma once
// Native paths and their display text. On Linux a native path is the byte string the kernel
// takes; a Windows layer would hold UTF-16 here instead.

#include <optional>
#include <string>
#include <string_view>

namespace platform {

using NativePath = std::string;

// The folder joined with one piece: a separator goes between them unless the folder is empty or
// already ends in one. Nothing is normalised, so "x/../y" stays as written.
NativePath join_path(const NativePath& folder, std::string_view piece);

// The path without its last component; nothing when it has no parent ("/" or a bare name).
std::optional<NativePath> parent_path(const NativePath& path);

// The path as UTF-8 text for messages and for the inference libraries: each invalid byte
// sequence becomes U+FFFD.
std::string path_to_utf8(const NativePath& path);

// The path that a client's UTF-8 text names.
NativePath path_from_utf8(std::string_view text);

}  // namespace platform
