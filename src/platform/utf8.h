#pragma once
// UTF-8 helpers shared by every layer.

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// Length of the longest prefix of `bytes` that is well-formed UTF-8. A character whose bytes are
// cut off at the end does not count.
std::size_t valid_utf8_prefix(std::string_view bytes) noexcept;

inline bool is_valid_utf8(std::string_view bytes) noexcept {
    return valid_utf8_prefix(bytes) == bytes.size();
}

// The bytes with each maximal ill-formed subsequence replaced by U+FFFD.
std::string utf8_lossy(std::string_view bytes);

// The character at `pos` of well-formed UTF-8 text; `pos` moves past it.
char32_t next_code_point(std::string_view valid, std::size_t& pos) noexcept;

// The text without the characters of the Unicode White_Space property at both ends.
std::string_view trim_unicode_whitespace(std::string_view text) noexcept;

}  // namespace platform
