#include "glossel/serve.h"

#include <string>
#include <utility>

#include "glossel/json_reader.h"
#include "glossel/json_writer.h"
#include "platform/utf8.h"

namespace glossel {
namespace {

using nlohmann::json;

constexpr std::int64_t parse_error_code = -32700;
constexpr std::int64_t method_not_found_code = -32601;
constexpr std::int64_t unknown_tool_code = -32602;
constexpr std::string_view default_protocol_version = "2025-06-18";

enum class LineStatus { line, end, failed };

// Splits the input into lines. Bytes are collected until a line feed arrives or a read delivers
// none; a line has no length limit.
class LineReader {
public:
    explicit LineReader(ByteInput& input) : input_(input) {}

    LineStatus next(std::string& line) {
        for (;;) {
            const std::size_t feed = buffer_.find('\n', scanned_);
            if (feed != std::string::npos) {
                std::size_t length = feed - start_;
                // Only one carriage return, and only before a line feed, belongs to the line end.
                if (length > 0 && buffer_[start_ + length - 1] == '\r') --length;
                line.assign(buffer_, start_, length);
                start_ = scanned_ = feed + 1;
                return checked(line);
            }
            scanned_ = buffer_.size();
            compact();
            const std::size_t old_size = buffer_.size();
            buffer_.resize(old_size + chunk);
            const platform::ReadResult got = input_.read(buffer_.data() + old_size, chunk);
            buffer_.resize(old_size + (got.status == platform::ReadStatus::data ? got.count : 0));
            if (got.status == platform::ReadStatus::failed) return LineStatus::failed;
            if (got.status == platform::ReadStatus::end) {
                if (buffer_.size() == start_) return LineStatus::end;
                // The bytes collected so far are a line; reading goes on after it.
                line.assign(buffer_, start_, std::string::npos);
                start_ = scanned_ = buffer_.size();
                return checked(line);
            }
        }
    }

private:
    static constexpr std::size_t chunk = 64 * 1024;

    static LineStatus checked(const std::string& line) {
        return platform::is_valid_utf8(line) ? LineStatus::line : LineStatus::failed;
    }

    // Drops the bytes of lines already handed out, so the buffer holds only the current line.
    void compact() {
        if (start_ == 0) return;
        buffer_.erase(0, start_);
        scanned_ -= start_;
        start_ = 0;
    }

    ByteInput& input_;
    std::string buffer_;
    std::size_t start_ = 0;    // first byte of the line being collected
    std::size_t scanned_ = 0;  // bytes from start_ on already searched for a line feed
};

void write_line(ByteOutput& out, const json& reply) {
    std::string text;
    write_json(text, reply);
    text += '\n';
    out.write(text);
}

// The string member `key` of `params` when `params` is an object that holds one; else nothing.
const std::string* string_member(const json& params, const char* key) {
    if (!params.is_object()) return nullptr;
    const auto it = params.find(key);
    if (it == params.end() || !it->is_string()) return nullptr;
    return &it->get_ref<const std::string&>();
}

json initialize_result(const McpServer& server, const json& params) {
    const std::string* client_version = string_member(params, "protocolVersion");
    return json{
        {"capabilities", {{"tools", {{"listChanged", false}}}}},
        {"instructions", std::string(server.instructions)},
        {"protocolVersion", client_version ? *client_version : std::string(default_protocol_version)},
        {"serverInfo", {{"name", std::string(server.name)}, {"version", std::string(server.version)}}},
    };
}

json tools_list_result(const McpServer& server) {
    json tools = json::array();
    for (const ToolDef& tool : server.tools) {
        tools.push_back(json{{"description", std::string(tool.description)},
                             {"inputSchema", tool.input_schema},
                             {"name", std::string(tool.name)}});
    }
    return json{{"tools", std::move(tools)}};
}

void tools_call(McpServer& server, ByteOutput& out, json id, const json& params) {
    const std::string* requested = string_member(params, "name");
    const std::string_view name = requested ? std::string_view(*requested) : std::string_view();
    bool offered = false;
    for (const ToolDef& tool : server.tools) {
        if (tool.name == name) {
            offered = true;
            break;
        }
    }
    if (!offered) {
        write_error(out, std::move(id), unknown_tool_code, "unknown tool: " + std::string(name));
        return;
    }
    json arguments = json::object();
    if (params.is_object()) {
        const auto it = params.find("arguments");
        if (it != params.end()) arguments = *it;
    }
    platform::Result<std::string> outcome = server.handler->call(name, arguments);
    const bool is_error = !outcome.ok();
    std::string text = is_error ? std::move(outcome).error() : std::move(outcome).value();
    write_result(out, std::move(id),
                 json{{"content", json::array({json{{"text", std::move(text)}, {"type", "text"}}})},
                      {"isError", is_error}});
}

void dispatch(McpServer& server, ByteOutput& out, std::string_view method, json id, const json& params) {
    if (method == "ping") {
        write_result(out, std::move(id), json::object());
    } else if (method == "initialize") {
        write_result(out, std::move(id), initialize_result(server, params));
    } else if (method == "tools/list") {
        write_result(out, std::move(id), tools_list_result(server));
    } else if (method == "tools/call") {
        tools_call(server, out, std::move(id), params);
    } else if (method == "prompts/list") {
        write_result(out, std::move(id), json{{"prompts", json::array()}});
    } else if (method == "resources/list") {
        write_result(out, std::move(id), json{{"resources", json::array()}});
    } else {
        write_error(out, std::move(id), method_not_found_code, "method not found: " + std::string(method));
    }
}

void handle_line(McpServer& server, ByteOutput& out, const std::string& line) {
    platform::Result<json> parsed = parse_json(line);
    if (!parsed.ok()) {
        write_error(out, nullptr, parse_error_code, "parse error: " + parsed.error());
        return;
    }
    const json& message = parsed.value();
    // Batches, scalars and the empty object are passed over in silence.
    if (!message.is_object() || message.empty()) return;
    const auto method_it = message.find("method");
    const std::string_view method = method_it != message.end() && method_it->is_string()
                                        ? std::string_view(method_it->get_ref<const std::string&>())
                                        : std::string_view();
    const auto id_it = message.find("id");
    // A notification is dropped before dispatch, so it never runs a tool.
    if (id_it == message.end() || id_it->is_null()) return;
    const auto params_it = message.find("params");
    const json params = params_it != message.end() ? *params_it : json(nullptr);
    dispatch(server, out, method, *id_it, params);
}

}  // namespace

platform::ReadResult StdinInput::read(char* buffer, std::size_t capacity) {
    return platform::read_stdin(buffer, capacity);
}

void StdoutOutput::write(std::string_view bytes) { platform::write_stdout(bytes); }

void serve(McpServer server, ByteInput& input, ByteOutput& output) {
    // Declared after the record, so the reader (and with it the input) is let go first, on the
    // normal end and when an internal error unwinds the loop alike.
    McpServer record = std::move(server);
    {
        LineReader reader(input);
        std::string line;
        while (reader.next(line) == LineStatus::line) {
            if (platform::trim_unicode_whitespace(line).empty()) continue;
            handle_line(record, output, line);
        }
    }
    drop_mcp_server(std::move(record));
}

void serve(McpServer server) {
    StdinInput input;
    StdoutOutput output;
    serve(std::move(server), input, output);
}

void write_result(ByteOutput& out, nlohmann::json id, nlohmann::json result) {
    write_line(out, json{{"id", std::move(id)}, {"jsonrpc", "2.0"}, {"result", std::move(result)}});
}

void write_error(ByteOutput& out, nlohmann::json id, std::int64_t code, std::string_view message) {
    write_line(out, json{{"error", {{"code", code}, {"message", std::string(message)}}},
                         {"id", std::move(id)},
                         {"jsonrpc", "2.0"}});
}

}  // namespace glossel
