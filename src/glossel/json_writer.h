#pragma once
// JSON value -> compact JSON text, the form of every line the server writes.

#include <string>

#include <nlohmann/json.hpp>

namespace glossel {

// Compact (no whitespace), object members in ascending byte order of their keys at every level.
// Strings escape only the quotation mark, the backslash and the bytes 0x00-0x1F; everything else
// (0x7F, '/', U+2028/U+2029, all non-ASCII) is written raw, and a string that is not valid UTF-8
// is written with U+FFFD in place of each ill-formed stretch. Integers in decimal; doubles in the
// shortest form that reads back as the same double, always with a fraction or an exponent.
void write_json(std::string& out, const nlohmann::json& value);

inline std::string to_json_text(const nlohmann::json& value) {
    std::string out;
    write_json(out, value);
    return out;
}

// The shortest round-trip form of a finite double as this writer lays it out: decimal notation
// while the exponent is moderate (100.0, 1.5, 0.001234), scientific beyond (1e30, 1.5e-7).
void write_double(std::string& out, double value);

}  // namespace glossel
