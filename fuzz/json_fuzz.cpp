// The JSON reader and writer fed arbitrary text. Whatever parses writes as compact JSON with sorted
// keys that parses back to the same value (kinds of numbers included) and writes to the same bytes;
// an independent parser agrees on what is JSON; the nesting limit holds for every shape.

#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "fuzz_check.h"
#include "glossel/json_reader.h"
#include "glossel/json_writer.h"

namespace {

using nlohmann::json;
using nlohmann::ordered_json;

bool starts_with(const std::string& text, std::string_view prefix) { return text.rfind(prefix, 0) == 0; }

// Every object as written has its keys in strictly ascending byte order.
void check_sorted(const ordered_json& value) {
    if (value.is_object()) {
        const std::string* previous = nullptr;
        for (auto it = value.begin(); it != value.end(); ++it) {
            if (previous) FUZZ_CHECK(*previous < it.key());
            previous = &it.key();
            check_sorted(it.value());
        }
    } else if (value.is_array()) {
        for (const auto& element : value) check_sorted(element);
    }
}

// No whitespace outside strings.
void check_compact(std::string_view text) {
    bool in_string = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\') ++i;
            else if (c == '"') in_string = false;
            FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 || c == '\\');
        } else {
            FUZZ_CHECK(c != ' ' && c != '\t' && c != '\n' && c != '\r');
            if (c == '"') in_string = true;
        }
    }
}

// "<description> at line L column C", with C no further than the text reaches on that line.
void check_fault_text(std::string_view text, const std::string& fault) {
    const std::size_t at = fault.rfind(" at line ");
    FUZZ_CHECK(at != std::string::npos && at > 0);
    const std::size_t column_at = fault.find(" column ", at);
    FUZZ_CHECK(column_at != std::string::npos);
    const std::size_t line = std::stoull(fault.substr(at + 9, column_at - at - 9));
    const std::size_t column = std::stoull(fault.substr(column_at + 8));
    std::size_t feeds = 0;
    std::size_t line_start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n') {
            ++feeds;
            line_start = i + 1;
        }
    }
    FUZZ_CHECK(line >= 1 && line <= feeds + 1);
    if (line == feeds + 1) FUZZ_CHECK(column <= text.size() - line_start);
}

std::string nested(const std::string& text, int levels) {
    return std::string(static_cast<std::size_t>(levels), '[') + text + std::string(static_cast<std::size_t>(levels), ']');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const platform::Result<json> parsed = glossel::parse_json(text);
    // A NUL byte can stand nowhere in JSON text; the other parser takes it as the end of its input.
    if (text.find('\0') != std::string_view::npos) {
        FUZZ_CHECK(!parsed.ok());
        check_fault_text(text, parsed.error());
        return 0;
    }
    // The other parser skips a byte order mark, which this reader refuses on purpose.
    const bool has_bom = text.substr(0, 3) == "\xEF\xBB\xBF";

    if (!parsed.ok()) {
        check_fault_text(text, parsed.error());
        // Deeper than the limit is refused here only; everything else that fails is no JSON at all.
        if (!starts_with(parsed.error(), "recursion limit exceeded") && !has_bom) {
            FUZZ_CHECK(!json::accept(text));
        }
        return 0;
    }
    const json& value = parsed.value();
    FUZZ_CHECK(json::accept(text));
    FUZZ_CHECK(json::parse(text) == value);

    const int levels = fuzz::depth(value);
    FUZZ_CHECK(levels <= glossel::json_max_depth);

    const std::string written = glossel::to_json_text(value);
    check_compact(written);
    const platform::Result<json> again = glossel::parse_json(written);
    FUZZ_CHECK(again.ok());
    FUZZ_CHECK(fuzz::same_value(again.value(), value));
    FUZZ_CHECK(glossel::to_json_text(again.value()) == written);
    check_sorted(ordered_json::parse(written));

    // One level short of the limit still parses; one more level, of any shape, never does.
    FUZZ_CHECK(glossel::parse_json(nested(written, glossel::json_max_depth - levels)).ok());
    const platform::Result<json> too_deep = glossel::parse_json(nested(written, glossel::json_max_depth + 1 - levels));
    FUZZ_CHECK(!too_deep.ok() && starts_with(too_deep.error(), "recursion limit exceeded"));
    return 0;
}
