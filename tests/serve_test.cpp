// The serve loop in process, with a recording handler: what reaches the handler, and how the loop
// reads its input.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "glossel/serve.h"
#include "glossel/server.h"

namespace {

using nlohmann::json;

struct Call {
    std::string name;
    json arguments;
};

class RecordingHandler final : public glossel::ToolHandler {
public:
    RecordingHandler(std::vector<Call>& calls, bool& released) : calls_(calls), released_(released) {}
    ~RecordingHandler() override { released_ = true; }

    platform::Result<std::string> call(std::string_view name, const json& arguments) override {
        calls_.push_back({std::string(name), arguments});
        if (arguments.is_object() && arguments.contains("fail")) return platform::fail("refused\n\xC3\xA9");
        if (arguments.is_object() && arguments.contains("throw")) throw std::logic_error("broken");
        return std::string("done");
    }
    platform::Result<std::string> call_once(std::string_view name, const json& arguments) override {
        return call(name, arguments);
    }

private:
    std::vector<Call>& calls_;
    bool& released_;
};

// Hands out the scripted reads one by one, then the end of input (or a failure).
class ScriptedInput final : public glossel::ByteInput {
public:
    explicit ScriptedInput(std::vector<std::string> reads, bool fail_at_end = false)
        : reads_(std::move(reads)), fail_at_end_(fail_at_end) {}
    platform::ReadResult read(char* buffer, std::size_t capacity) override {
        if (next_ == reads_.size()) {
            return {fail_at_end_ ? platform::ReadStatus::failed : platform::ReadStatus::end, 0};
        }
        std::string& piece = reads_[next_];
        if (piece.empty()) {  // an empty read stands for a read that delivers no bytes
            ++next_;
            return {platform::ReadStatus::end, 0};
        }
        const std::size_t n = std::min(capacity, piece.size());
        std::copy_n(piece.data(), n, buffer);
        piece.erase(0, n);
        if (piece.empty()) ++next_;
        return {platform::ReadStatus::data, n};
    }

private:
    std::vector<std::string> reads_;
    std::size_t next_ = 0;
    bool fail_at_end_;
};

class RecordingOutput final : public glossel::ByteOutput {
public:
    void write(std::string_view bytes) override { text += bytes; }
    std::string text;
};

struct ServeRun {
    std::vector<Call> calls;
    bool released = false;
    std::string output;
};

ServeRun serve_reads(std::vector<std::string> reads, bool fail_at_end = false) {
    ServeRun run;
    ScriptedInput input(std::move(reads), fail_at_end);
    RecordingOutput output;
    glossel::serve(glossel::make_mcp_server(std::make_unique<RecordingHandler>(run.calls, run.released)),
                   input, output);
    run.output = output.text;
    return run;
}

TEST(Serve, WhatReachesTheHandler) {
    struct Case {
        std::string line;
        std::vector<json> arguments;  // one entry per handler call
        std::string reply;
    };
    const std::string done = R"({"content":[{"text":"done","type":"text"}],"isError":false})";
    const Case cases[] = {
        {R"({"id":1,"method":"tools/call","params":{"name":"ocr_image","arguments":null}})", {nullptr},
         R"({"id":1,"jsonrpc":"2.0","result":)" + done + "}\n"},
        {R"({"id":1,"method":"tools/call","params":{"name":"ocr_image"}})", {json::object()},
         R"({"id":1,"jsonrpc":"2.0","result":)" + done + "}\n"},
        {R"({"id":1,"method":"tools/call","params":{"name":"ocr_image","arguments":[1,"a"]}})",
         {json::array({1, "a"})}, R"({"id":1,"jsonrpc":"2.0","result":)" + done + "}\n"},
        {R"({"id":2,"method":"tools/call","params":{"name":"ocr_image","arguments":{"fail":1}}})",
         {json{{"fail", 1}}},
         "{\"id\":2,\"jsonrpc\":\"2.0\",\"result\":{\"content\":[{\"text\":\"refused\\n\xC3\xA9\",\"type\":\"text\"}],"
         "\"isError\":true}}\n"},
        {R"({"method":"tools/call","params":{"name":"ocr_image","arguments":{}}})", {}, ""},
        {R"({"id":null,"method":"tools/call","params":{"name":"ocr_image"}})", {}, ""},
        {R"({"id":4,"method":"tools/call","params":{"name":"OCR_IMAGE"}})", {},
         R"({"error":{"code":-32602,"message":"unknown tool: OCR_IMAGE"},"id":4,"jsonrpc":"2.0"})" "\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const ServeRun run = serve_reads({c.line + "\n"});
        EXPECT_EQ(run.output, c.reply);
        ASSERT_EQ(run.calls.size(), c.arguments.size());
        for (std::size_t i = 0; i < c.arguments.size(); ++i) {
            EXPECT_EQ(run.calls[i].name, "ocr_image");
            EXPECT_EQ(run.calls[i].arguments, c.arguments[i]);
            EXPECT_EQ(run.calls[i].arguments.type(), c.arguments[i].type());
        }
        EXPECT_TRUE(run.released);
    }
}

TEST(Serve, LineReading) {
    const std::string ping = R"({"id":1,"method":"ping"})";
    const std::string pong = "{\"id\":1,\"jsonrpc\":\"2.0\",\"result\":{}}\n";
    struct Case {
        const char* what;
        std::vector<std::string> reads;
        bool fail_at_end;
        std::string output;
    };
    const Case cases[] = {
        {"split across reads", {ping.substr(0, 5), ping.substr(5) + "\n" + ping.substr(0, 3), ping.substr(3) + "\n"},
         false, pong + pong},
        {"a read with no bytes ends the line, reading goes on", {ping, "", ping + "\n"}, false, pong + pong},
        {"a failed read drops the partial line", {ping + "\n" + ping}, true, pong},
        {"invalid UTF-8 stops the loop", {ping + "\n\"\xC3\"\n" + ping + "\n"}, false, pong},
        {"a long line", {"{\"id\":\"" + std::string(300000, 'a') + "\",\"method\":\"nope\"}\n"}, false,
         "{\"error\":{\"code\":-32601,\"message\":\"method not found: nope\"},\"id\":\"" +
             std::string(300000, 'a') + "\",\"jsonrpc\":\"2.0\"}\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const ServeRun run = serve_reads(c.reads, c.fail_at_end);
        EXPECT_EQ(run.output, c.output);
        EXPECT_TRUE(run.released);
    }
}

// An internal error escapes the loop only after the record (and with it the handler) is released.
TEST(Serve, InternalErrorReleasesTheRecord) {
    std::vector<Call> calls;
    bool released = false;
    ScriptedInput input({R"({"id":1,"method":"tools/call","params":{"name":"ocr_image","arguments":{"throw":1}}})" "\n"});
    RecordingOutput output;
    EXPECT_THROW(glossel::serve(glossel::make_mcp_server(std::make_unique<RecordingHandler>(calls, released)),
                                input, output),
                 std::logic_error);
    EXPECT_TRUE(released);
    EXPECT_EQ(output.text, "");
}

}  // namespace
