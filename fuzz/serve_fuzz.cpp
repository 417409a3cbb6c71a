// The serve loop fed an arbitrary byte stream, in reads of varying size, with a handler standing
// in for the engine. The expected replies are derived from the stream line by line; every reply
// must be a compact JSON line that reads back and writes to the same bytes, and the replies must be
// exactly the expected ones, in order, with one handler call per tool call answered.

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "fuzz_check.h"
#include "glossel/json_reader.h"
#include "glossel/json_writer.h"
#include "glossel/serve.h"
#include "glossel/server.h"
#include "platform/utf8.h"

namespace {

using nlohmann::json;

// The handler's answer depends on the arguments only, so the expected reply can be computed.
platform::Result<std::string> stand_in_answer(const json& arguments) {
    const std::string shown = glossel::to_json_text(arguments);
    if (arguments.is_object() && arguments.contains("fail")) return platform::fail("refused: " + shown);
    return "seen " + shown + "\n\t\xE2\x80\xA8";
}

class StandInHandler final : public glossel::ToolHandler {
public:
    explicit StandInHandler(std::size_t& calls) : calls_(calls) {}
    platform::Result<std::string> call(std::string_view, const json& arguments) override {
        ++calls_;
        return stand_in_answer(arguments);
    }
    platform::Result<std::string> call_once(std::string_view name, const json& arguments) override {
        return call(name, arguments);
    }

private:
    std::size_t& calls_;
};

// Hands the bytes out in reads of varying size, so lines are split across reads. Most reads are
// large: the loop's reader prepares a whole buffer per read, and tiny reads would only slow the
// fuzzer down.
class ChunkedInput final : public glossel::ByteInput {
public:
    explicit ChunkedInput(std::string_view bytes) : bytes_(bytes) {}
    platform::ReadResult read(char* buffer, std::size_t capacity) override {
        static constexpr std::size_t sizes[] = {1, 65536, 7, 65536, 300, 65536};
        if (bytes_.empty()) return {platform::ReadStatus::end, 0};
        const std::size_t n = std::min({capacity, bytes_.size(), sizes[reads_++ % std::size(sizes)]});
        std::copy_n(bytes_.data(), n, buffer);
        bytes_.remove_prefix(n);
        return {platform::ReadStatus::data, n};
    }

private:
    std::string_view bytes_;
    std::size_t reads_ = 0;
};

class CollectingOutput final : public glossel::ByteOutput {
public:
    void write(std::string_view bytes) override {
        // One write is one whole line.
        FUZZ_CHECK(!bytes.empty() && bytes.back() == '\n');
        FUZZ_CHECK(bytes.find('\n') == bytes.size() - 1);
        lines.emplace_back(bytes.substr(0, bytes.size() - 1));
    }
    std::vector<std::string> lines;
};

json result_reply(const json& id, json result) { return json{{"id", id}, {"jsonrpc", "2.0"}, {"result", std::move(result)}}; }
json error_reply(const json& id, std::int64_t code, const std::string& message) {
    return json{{"error", {{"code", code}, {"message", message}}}, {"id", id}, {"jsonrpc", "2.0"}};
}

const std::string* string_member(const json& params, const char* key) {
    if (!params.is_object() || !params.contains(key) || !params[key].is_string()) return nullptr;
    return &params[key].get_ref<const std::string&>();
}

struct Expected {
    std::vector<std::string> lines;
    std::size_t tool_calls = 0;
};

// The reply a request must get, derived from the message without the loop's own code.
json expected_reply(const glossel::McpServer& server, const std::string& method, const json& id, const json& params,
                    std::size_t& tool_calls) {
    if (method == "ping") return result_reply(id, json::object());
    if (method == "prompts/list") return result_reply(id, {{"prompts", json::array()}});
    if (method == "resources/list") return result_reply(id, {{"resources", json::array()}});
    if (method == "initialize") {
        const std::string* version = string_member(params, "protocolVersion");
        return result_reply(id, {{"capabilities", {{"tools", {{"listChanged", false}}}}},
                                 {"instructions", server.instructions},
                                 {"protocolVersion", version ? *version : std::string("2025-06-18")},
                                 {"serverInfo", {{"name", server.name}, {"version", server.version}}}});
    }
    if (method == "tools/list") {
        return result_reply(id, {{"tools", json::array({json{{"description", server.tools[0].description},
                                                              {"inputSchema", glossel::ocr_input_schema()},
                                                              {"name", "ocr_image"}}})}});
    }
    if (method == "tools/call") {
        const std::string* name = string_member(params, "name");
        if (!name || *name != "ocr_image") return error_reply(id, -32602, "unknown tool: " + (name ? *name : ""));
        const json arguments = params.is_object() && params.contains("arguments") ? params["arguments"] : json::object();
        ++tool_calls;
        platform::Result<std::string> answer = stand_in_answer(arguments);
        const bool is_error = !answer.ok();
        return result_reply(id, {{"content", json::array({{{"text", is_error ? answer.error() : answer.value()},
                                                            {"type", "text"}}})},
                                 {"isError", is_error}});
    }
    return error_reply(id, -32601, "method not found: " + method);
}

Expected expected_replies(const glossel::McpServer& server, std::string_view stream) {
    Expected expected;
    while (!stream.empty()) {
        const std::size_t feed = stream.find('\n');
        std::string_view line = stream.substr(0, feed);
        stream.remove_prefix(feed == std::string_view::npos ? stream.size() : feed + 1);
        if (feed != std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!platform::is_valid_utf8(line)) break;  // the loop ends on the first such line
        if (platform::trim_unicode_whitespace(line).empty()) continue;
        const platform::Result<json> parsed = glossel::parse_json(line);
        if (!parsed.ok()) {
            expected.lines.push_back(glossel::to_json_text(error_reply(nullptr, -32700, "parse error: " + parsed.error())));
            continue;
        }
        const json& message = parsed.value();
        if (!message.is_object() || message.empty()) continue;
        if (!message.contains("id") || message["id"].is_null()) continue;
        const std::string method =
            message.contains("method") && message["method"].is_string() ? message["method"].get<std::string>() : "";
        const json params = message.contains("params") ? message["params"] : json(nullptr);
        expected.lines.push_back(
            glossel::to_json_text(expected_reply(server, method, message["id"], params, expected.tool_calls)));
    }
    return expected;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view stream(reinterpret_cast<const char*>(data), size);
    std::size_t calls = 0;
    const Expected expected =
        expected_replies(glossel::make_mcp_server(std::make_unique<StandInHandler>(calls)), stream);

    ChunkedInput input(stream);
    CollectingOutput output;
    glossel::serve(glossel::make_mcp_server(std::make_unique<StandInHandler>(calls)), input, output);

    for (const std::string& line : output.lines) {
        const platform::Result<json> reply = glossel::parse_json(line);
        FUZZ_CHECK(reply.ok());
        FUZZ_CHECK(glossel::to_json_text(reply.value()) == line);
        FUZZ_CHECK(reply.value().is_object() && reply.value()["jsonrpc"] == "2.0");
    }
    FUZZ_CHECK(output.lines.size() == expected.lines.size());
    for (std::size_t i = 0; i < output.lines.size(); ++i) FUZZ_CHECK(output.lines[i] == expected.lines[i]);
    FUZZ_CHECK(calls == expected.tool_calls);
    return 0;
}
