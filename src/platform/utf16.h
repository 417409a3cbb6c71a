#pragma once
// UTF-16 <-> UTF-8 over any 16-bit code-unit type: wchar_t for the Windows system calls,
// char16_t where a test needs the same conversions on Linux.

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/utf8.h"

namespace platform {

// A UTF-16 unit that starts a surrogate pair.
constexpr bool is_high_surrogate(std::uint32_t unit) noexcept { return unit >= 0xD800 && unit <= 0xDBFF; }

// The units as UTF-8; each unpaired surrogate becomes U+FFFD. When `unpaired` is given it is set
// to whether there was one, for callers to whom such text is a failure.
template <class Unit>
std::string utf16_to_utf8(std::basic_string_view<Unit> units, bool* unpaired = nullptr) {
    static_assert(sizeof(Unit) == 2, "UTF-16 code units are 16 bits wide");
    std::string out;
    out.reserve(units.size());
    bool lone = false;
    for (std::size_t i = 0; i < units.size(); ++i) {
        char32_t c = static_cast<std::uint16_t>(units[i]);
        if (c >= 0xD800 && c <= 0xDFFF) {
            const char32_t next = i + 1 < units.size() ? static_cast<std::uint16_t>(units[i + 1]) : 0;
            if (is_high_surrogate(c) && next >= 0xDC00 && next <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (next - 0xDC00);
                ++i;
            } else {
                c = 0xFFFD;
                lone = true;
            }
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    if (unpaired != nullptr) *unpaired = lone;
    return out;
}

// The UTF-8 bytes as UTF-16; each maximal ill-formed subsequence becomes U+FFFD, as in utf8_lossy.
template <class Unit>
std::basic_string<Unit> utf8_to_utf16(std::string_view bytes) {
    static_assert(sizeof(Unit) == 2, "UTF-16 code units are 16 bits wide");
    std::string repaired;
    if (!is_valid_utf8(bytes)) {
        repaired = utf8_lossy(bytes);
        bytes = repaired;
    }
    std::basic_string<Unit> out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        char32_t c = next_code_point(bytes, i);
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(static_cast<Unit>(0xD800 + (c >> 10)));
            out.push_back(static_cast<Unit>(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(static_cast<Unit>(c));
        }
    }
    return out;
}

}  // namespace platform
