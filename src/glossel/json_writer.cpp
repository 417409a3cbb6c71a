#include "glossel/json_writer.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

#include "platform/utf8.h"

namespace glossel {
namespace {

void write_string(std::string& out, std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    out += '"';
    std::size_t run = 0;  // start of the bytes that need no escape
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        out.append(text.data() + run, i - run);
        run = i + 1;
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\f': out += "\\f"; break;
            case '\r': out += "\\r"; break;
            default:
                out += "\\u00";
                out += hex[c >> 4];
                out += hex[c & 0x0F];
        }
    }
    out.append(text.data() + run, text.size() - run);
    out += '"';
}

void write_value(std::string& out, const nlohmann::json& value) {
    using value_t = nlohmann::json::value_t;
    switch (value.type()) {
        case value_t::object: {
            // The library keeps object members in a std::map over std::string, whose ordering
            // compares bytes as unsigned: iterating gives ascending byte order.
            out += '{';
            bool first = true;
            for (auto it = value.begin(); it != value.end(); ++it) {
                if (!first) out += ',';
                first = false;
                const std::string& key = it.key();
                if (platform::is_valid_utf8(key)) write_string(out, key);
                else write_string(out, platform::utf8_lossy(key));
                out += ':';
                write_value(out, it.value());
            }
            out += '}';
            return;
        }
        case value_t::array: {
            out += '[';
            bool first = true;
            for (const auto& element : value) {
                if (!first) out += ',';
                first = false;
                write_value(out, element);
            }
            out += ']';
            return;
        }
        case value_t::string: {
            const auto& text = value.get_ref<const std::string&>();
            if (platform::is_valid_utf8(text)) write_string(out, text);
            else write_string(out, platform::utf8_lossy(text));
            return;
        }
        case value_t::boolean:
            out += value.get<bool>() ? "true" : "false";
            return;
        case value_t::number_integer:
        case value_t::number_unsigned: {
            char buffer[24];
            const auto result = value.is_number_unsigned()
                                    ? std::to_chars(buffer, buffer + sizeof buffer, value.get<std::uint64_t>())
                                    : std::to_chars(buffer, buffer + sizeof buffer, value.get<std::int64_t>());
            out.append(buffer, result.ptr);
            return;
        }
        case value_t::number_float:
            write_double(out, value.get<double>());
            return;
        case value_t::null:
        case value_t::binary:
        case value_t::discarded:
            // Binary and discarded values never come from the parser or the replies; JSON has
            // no form for them.
            out += "null";
            return;
    }
}

}  // namespace

void write_double(std::string& out, double value) {
    // JSON has no infinity or NaN.
    if (!std::isfinite(value)) {
        out += "null";
        return;
    }
    if (std::signbit(value)) out += '-';
    value = std::fabs(value);
    if (value == 0) {
        out += "0.0";
        return;
    }
    // Shortest round-trip digits from the standard library, as d[.ddd]e<sign>xx.
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    const std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
    const std::size_t e = text.find('e');
    std::string digits;
    for (const char c : text.substr(0, e))
        if (c != '.') digits += c;
    const int exponent = std::atoi(std::string(text.substr(e + 1)).c_str());
    const int length = static_cast<int>(digits.size());
    const int kk = exponent + 1;  // 10^(kk-1) <= value < 10^kk
    const int k = kk - length;    // value = digits * 10^k
    if (k >= 0 && kk <= 16) {
        // 1234e7 -> 12340000000.0
        out += digits;
        out.append(static_cast<std::size_t>(k), '0');
        out += ".0";
    } else if (kk > 0 && kk <= 16) {
        // 1234e-2 -> 12.34
        out.append(digits, 0, static_cast<std::size_t>(kk));
        out += '.';
        out.append(digits, static_cast<std::size_t>(kk));
    } else if (kk > -5 && kk <= 0) {
        // 1234e-6 -> 0.001234
        out += "0.";
        out.append(static_cast<std::size_t>(-kk), '0');
        out += digits;
    } else {
        // 1e30, 1234e30 -> 1.234e33
        out += digits[0];
        if (length > 1) {
            out += '.';
            out.append(digits, 1);
        }
        out += 'e';
        out += std::to_string(kk - 1);
    }
}

void write_json(std::string& out, const nlohmann::json& value) { write_value(out, value); }

}  // namespace glossel
