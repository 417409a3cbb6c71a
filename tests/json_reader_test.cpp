// The JSON reader: exact fault texts with their columns, and the values it builds.

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "glossel/json_reader.h"
#include "glossel/json_writer.h"

namespace {

using glossel::parse_json;

std::string nested(int levels, std::string_view inner = "") {
    return std::string(levels, '[') + std::string(inner) + std::string(levels, ']');
}

TEST(JsonReader, FaultTexts) {
    struct Case {
        std::string input;
        std::string error;
    };
    const Case cases[] = {
        {"x", "expected value at line 1 column 1"},
        {"\f{}", "expected value at line 1 column 1"},
        {"\xEF\xBB\xBF{}", "expected value at line 1 column 1"},
        {"  ", "EOF while parsing a value at line 1 column 2"},
        {"{} {}", "trailing characters at line 1 column 4"},
        {"1x", "trailing characters at line 1 column 2"},
        {"{", "EOF while parsing an object at line 1 column 1"},
        {"{\"a\"", "EOF while parsing an object at line 1 column 4"},
        {"{\"a\":", "EOF while parsing a value at line 1 column 5"},
        {"{\"a\":1", "EOF while parsing an object at line 1 column 6"},
        {"{\"a\" 1}", "expected `:` at line 1 column 6"},
        {"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
        {"{\"a\":1,}", "trailing comma at line 1 column 8"},
        {"{1:2}", "key must be a string at line 1 column 2"},
        {"{,}", "key must be a string at line 1 column 2"},
        {"[", "EOF while parsing a list at line 1 column 1"},
        {"[1,", "EOF while parsing a value at line 1 column 3"},
        {"[1 2]", "expected `,` or `]` at line 1 column 4"},
        {"[1,]", "trailing comma at line 1 column 4"},
        {"[,1]", "expected value at line 1 column 2"},
        {"\"abc", "EOF while parsing a string at line 1 column 4"},
        {"\"a\\", "EOF while parsing a string at line 1 column 3"},
        {"\"a\\x\"", "invalid escape at line 1 column 4"},
        {"\"\\u12G4\"", "invalid escape at line 1 column 7"},
        {"\"\\u12", "EOF while parsing a string at line 1 column 5"},
        {"\"a\tb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
        {"\"\\uDC00\"", "lone leading surrogate in hex escape at line 1 column 7"},
        {"\"\\uD800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
        {"\"\\uD800x\"", "unexpected end of hex escape at line 1 column 8"},
        {"\"\\uD800\\n\"", "unexpected end of hex escape at line 1 column 9"},
        {"\"\xFF\"", "invalid unicode code point at line 1 column 3"},
        {"nul", "EOF while parsing a value at line 1 column 3"},
        {"nulx", "expected ident at line 1 column 4"},
        {"tru", "EOF while parsing a value at line 1 column 3"},
        {"fals3", "expected ident at line 1 column 5"},
        {"-", "EOF while parsing a value at line 1 column 1"},
        {"-x", "invalid number at line 1 column 2"},
        {"01", "invalid number at line 1 column 2"},
        {"1.", "EOF while parsing a value at line 1 column 2"},
        {"1.x", "invalid number at line 1 column 3"},
        {"1e", "EOF while parsing a value at line 1 column 2"},
        {"1e+x", "invalid number at line 1 column 4"},
        {"1e400", "number out of range at line 1 column 5"},
        {"{\"id\":-1e400}", "number out of range at line 1 column 12"},
        {"1e99999999999", "number out of range at line 1 column 12"},
        {nested(128), "recursion limit exceeded at line 1 column 128"},
        {"{\"a\":" + nested(127) + "}", "recursion limit exceeded at line 1 column 132"},
        {"[1,\n2", "EOF while parsing a list at line 2 column 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        const auto parsed = parse_json(c.input);
        ASSERT_FALSE(parsed.ok());
        EXPECT_EQ(parsed.error(), c.error);
    }
}

TEST(JsonReader, Values) {
    struct Case {
        std::string input;
        std::string written;
        nlohmann::json::value_t type;
    };
    using value_t = nlohmann::json::value_t;
    const Case cases[] = {
        {"0", "0", value_t::number_unsigned},
        {"18446744073709551615", "18446744073709551615", value_t::number_unsigned},
        {"18446744073709551616", "1.8446744073709552e19", value_t::number_float},
        {"-1", "-1", value_t::number_integer},
        {"-9223372036854775808", "-9223372036854775808", value_t::number_integer},
        {"-9223372036854775809", "-9.223372036854776e18", value_t::number_float},
        {"-0", "-0.0", value_t::number_float},
        {"1e2", "100.0", value_t::number_float},
        {"1.5", "1.5", value_t::number_float},
        {"0.1", "0.1", value_t::number_float},
        {"1E-400", "0.0", value_t::number_float},
        {"-0e99999999999", "-0.0", value_t::number_float},
        {"1" + std::string(400, '0') + "e-400", "1.0", value_t::number_float},
        {" \t\r\n true \r", "true", value_t::boolean},
        {"\"\\u00e9\\uD83D\\uDE00\\/\\b\"", "\"\xC3\xA9\xF0\x9F\x98\x80/\\b\"", value_t::string},
        {"{\"b\":1,\"a\":2,\"b\":3}", "{\"a\":2,\"b\":3}", value_t::object},
        {nested(127, "7"), nested(127, "7"), value_t::array},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        const auto parsed = parse_json(c.input);
        ASSERT_TRUE(parsed.ok()) << parsed.error();
        EXPECT_EQ(parsed->type(), c.type);
        EXPECT_EQ(glossel::to_json_text(*parsed), c.written);
    }
    EXPECT_TRUE(std::signbit(parse_json("-0")->get<double>()));
}

}  // namespace
