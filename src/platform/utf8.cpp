#include "platform/utf8.h"

#include <cstdint>

namespace platform {
namespace {

// Length of the well-formed UTF-8 sequence at `pos`, 0 when it is ill-formed, or -1 when it is a
// correct start that the end of the bytes cuts off. Follows the well-formed table of Unicode 3.9.
int sequence_length(std::string_view bytes, std::size_t pos) noexcept {
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
    const std::uint8_t b0 = byte(pos);
    if (b0 < 0x80) return 1;
    int need;
    std::uint8_t lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    for (int i = 1; i <= need; ++i) {
        if (pos + i >= bytes.size()) return -1;
        const std::uint8_t b = byte(pos + i);
        const std::uint8_t l = i == 1 ? lo : 0x80;
        const std::uint8_t h = i == 1 ? hi : 0xBF;
        if (b < l || b > h) return 0;
    }
    return need + 1;
}

// Length of the ill-formed stretch at `pos` that one U+FFFD replaces: the start byte and every
// continuation byte that could still have belonged to it (maximal subpart).
std::size_t ill_formed_length(std::string_view bytes, std::size_t pos) noexcept {
    std::size_t n = 1;
    while (pos + n < bytes.size() && n < 4) {
        std::string_view candidate = bytes.substr(pos, n + 1);
        if (sequence_length(candidate, 0) != -1) break;
        ++n;
    }
    return n;
}

// Decodes the character at `pos` (well-formed, `len` bytes long).
char32_t decode(std::string_view bytes, std::size_t pos, int len) noexcept {
    const auto b = [&](int i) { return static_cast<char32_t>(static_cast<std::uint8_t>(bytes[pos + i])); };
    switch (len) {
        case 1: return b(0);
        case 2: return ((b(0) & 0x1F) << 6) | (b(1) & 0x3F);
        case 3: return ((b(0) & 0x0F) << 12) | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F);
        default: return ((b(0) & 0x07) << 18) | ((b(1) & 0x3F) << 12) | ((b(2) & 0x3F) << 6) | (b(3) & 0x3F);
    }
}

bool is_white_space(char32_t c) noexcept {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

}  // namespace

std::size_t valid_utf8_prefix(std::string_view bytes) noexcept {
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        // ASCII runs are the common case.
        if (static_cast<std::uint8_t>(bytes[pos]) < 0x80) {
            ++pos;
            continue;
        }
        const int len = sequence_length(bytes, pos);
        if (len <= 0) break;
        pos += static_cast<std::size_t>(len);
    }
    return pos;
}

char32_t next_code_point(std::string_view valid, std::size_t& pos) noexcept {
    const int len = sequence_length(valid, pos);
    const char32_t c = decode(valid, pos, len);
    pos += static_cast<std::size_t>(len);
    return c;
}

std::string utf8_lossy(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        const int len = sequence_length(bytes, pos);
        if (len > 0) {
            out.append(bytes.substr(pos, static_cast<std::size_t>(len)));
            pos += static_cast<std::size_t>(len);
        } else {
            out.append("\xEF\xBF\xBD");
            pos += ill_formed_length(bytes, pos);
        }
    }
    return out;
}

std::string_view trim_unicode_whitespace(std::string_view text) noexcept {
    // Leading characters.
    std::size_t start = 0;
    while (start < text.size()) {
        const int len = sequence_length(text, start);
        if (len <= 0 || !is_white_space(decode(text, start, len))) break;
        start += static_cast<std::size_t>(len);
    }
    // Trailing characters: step back over continuation bytes to each character's start.
    std::size_t end = text.size();
    while (end > start) {
        std::size_t begin = end - 1;
        while (begin > start && (static_cast<std::uint8_t>(text[begin]) & 0xC0) == 0x80 && end - begin < 4) --begin;
        const int len = sequence_length(text, begin);
        if (len <= 0 || begin + static_cast<std::size_t>(len) != end || !is_white_space(decode(text, begin, len))) break;
        end = begin;
    }
    return text.substr(start, end - start);
}

}  // namespace platform
