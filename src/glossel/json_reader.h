#pragma once
// Strict JSON text -> JSON value, with fault descriptions that name the byte where parsing stopped.

#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/result.h"

namespace glossel {

// Arrays and objects may nest this many levels deep; one more fails with "recursion limit exceeded".
inline constexpr int json_max_depth = 127;

// Parses `text` as exactly one JSON value; only space, tab, line feed and carriage return may stand
// around it. Non-negative integers that fit become unsigned 64-bit, negative ones signed 64-bit,
// everything else (fractions, exponents, integers out of range, -0) a double. When a key repeats,
// the last occurrence counts.
//
// A failure gives "<description> at line L column C": C counts bytes from 1 and names the byte that
// cannot stand where it stands, or the consumed byte that completed the fault, or the length of the
// line when the text ends too early.
platform::Result<nlohmann::json> parse_json(std::string_view text);

}  // namespace glossel
