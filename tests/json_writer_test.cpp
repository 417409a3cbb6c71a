// The JSON writer: the exact compact form of each kind of value.

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "glossel/json_writer.h"

namespace {

using nlohmann::json;

TEST(JsonWriter, WrittenForms) {
    struct Case {
        json value;
        std::string written;
    };
    const Case cases[] = {
        {json(100.0), "100.0"},
        {json(1.5), "1.5"},
        {json(-2.0), "-2.0"},
        {json(0.001234), "0.001234"},
        {json(0.00001), "0.00001"},
        {json(0.000001), "1e-6"},
        {json(1.5e-7), "1.5e-7"},
        {json(12340000000.0), "12340000000.0"},
        {json(1e15), "1000000000000000.0"},
        {json(1e16), "1e16"},
        {json(1e30), "1e30"},
        {json(1.234e33), "1.234e33"},
        {json(0.1 + 0.2), "0.30000000000000004"},
        {json(5e-324), "5e-324"},
        {json(1.7976931348623157e308), "1.7976931348623157e308"},
        {json(std::numeric_limits<double>::quiet_NaN()), "null"},
        {json(std::int64_t{-42}), "-42"},
        {json(std::uint64_t{18446744073709551615u}), "18446744073709551615"},
        {json("\"\\\b\t\n\f\r"), "\"\\\"\\\\\\b\\t\\n\\f\\r\""},
        {json(std::string("\x00\x01\x1f\x7f/", 5)), "\"\\u0000\\u0001\\u001f\x7f/\""},
        {json("\xE2\x80\xA8\xE2\x80\xA9\xC3\xA9"), "\"\xE2\x80\xA8\xE2\x80\xA9\xC3\xA9\""},
        {json("a\xFF" "b"), "\"a\xEF\xBF\xBD" "b\""},
        {json{{"b", 1}, {"a", {{"\xC3\xA9", 1}, {"Z", 2}}}, {"B", nullptr}},
         "{\"B\":null,\"a\":{\"Z\":2,\"\xC3\xA9\":1},\"b\":1}"},
        {json::array({true, false, json::object(), json::array()}), "[true,false,{},[]]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.written);
        EXPECT_EQ(glossel::to_json_text(c.value), c.written);
    }
}

}  // namespace
