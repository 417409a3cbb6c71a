// The glossel binary on real pipes: request lines in, reply lines compared byte for byte.

#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "support/run_process.h"

namespace {

using test_support::ProcessOptions;
using test_support::run_process;

std::string pong(const std::string& id) { return "{\"id\":" + id + ",\"jsonrpc\":\"2.0\",\"result\":{}}\n"; }

std::string error_line(const std::string& code, const std::string& message, const std::string& id) {
    return "{\"error\":{\"code\":" + code + ",\"message\":\"" + message + "\"},\"id\":" + id +
           ",\"jsonrpc\":\"2.0\"}\n";
}

std::string parse_error(const std::string& text) { return error_line("-32700", "parse error: " + text, "null"); }

std::string nested_ping(int levels) {
    return "{\"id\":1,\"method\":\"ping\",\"params\":" + std::string(levels - 1, '[') + std::string(levels - 1, ']') + "}";
}

const std::string schema =
    R"({"properties":{"mode":{"description":"What to extract. Default 'text'.","enum":["text","table","formula"],"type":"string"},"path":{"description":"Absolute path of the image file.","type":"string"}},"required":["path"],"type":"object"})";
const std::string description =
    "Read an image (png, jpg, webp, bmp \xE2\x80\x94 a scan, photo, or screenshot of a page) into text using the "
    "local GLM-OCR model. Runs fully offline. Mode 'text' returns the page text, 'table' returns tables as HTML, "
    "'formula' returns math as LaTeX.";
const std::string instructions =
    "Varnholt OCR reads images into text locally on this machine. Nothing is uploaded. Pass absolute file paths. "
    "The first call loads the model and can take a few seconds; a page takes a few seconds more.";

std::string initialize_reply(const std::string& version) {
    return R"({"id":1,"jsonrpc":"2.0","result":{"capabilities":{"tools":{"listChanged":false}},"instructions":")" +
           instructions + R"(","protocolVersion":")" + version +
           R"(","serverInfo":{"name":"varnholt-ocr","version":"0.1.0"}}})" "\n";
}

TEST(Protocol, ReplyLines) {
    struct Case {
        std::string input;
        std::string output;
    };
    const Case cases[] = {
        // The literal examples.
        {R"({"jsonrpc":"2.0","id":7,"method":"ping"})" "\n", pong("7")},
        {R"({"jsonrpc":"2.0","id":1})" "\n", error_line("-32601", "method not found: ", "1")},
        {"x\n", parse_error("expected value at line 1 column 1")},
        {R"({"id":"r","method":"resources/list"})" "\n", R"({"id":"r","jsonrpc":"2.0","result":{"resources":[]}})" "\n"},
        {R"({"id":"p","method":"prompts/list","params":7})" "\n", R"({"id":"p","jsonrpc":"2.0","result":{"prompts":[]}})" "\n"},
        // Ids echoed as sent.
        {R"({"id":0,"method":"ping"})" "\n", pong("0")},
        {R"({"id":"","method":"ping"})" "\n", pong("\"\"")},
        {R"({"id":false,"method":"ping"})" "\n", pong("false")},
        {R"({"id":[1],"method":"ping","params":[1]})" "\n", pong("[1]")},
        {R"({"id":1.5,"method":"ping","params":3})" "\n", pong("1.5")},
        {R"({"id":1e2,"method":"ping"})" "\n", pong("100.0")},
        {R"({"id":18446744073709551615,"method":"ping"})" "\n", pong("18446744073709551615")},
        {R"({"id":-5,"method":"ping","params":{"a":1}})" "\n", pong("-5")},
        // Parse errors.
        {R"({"id":1,"method":"ping"} {"id":2,"method":"ping"})" "\n", parse_error("trailing characters at line 1 column 26")},
        {R"({"id":1,"method":"ping")" "\n", parse_error("EOF while parsing an object at line 1 column 23")},
        {R"({"id":1,"method":"pi)" "\n", parse_error("EOF while parsing a string at line 1 column 20")},
        {"\f{\"id\":1,\"method\":\"ping\"}\n", parse_error("expected value at line 1 column 1")},
        {"\v{\"id\":1,\"method\":\"ping\"}\n", parse_error("expected value at line 1 column 1")},
        {"\xEF\xBB\xBF{\"id\":1,\"method\":\"ping\"}\n", parse_error("expected value at line 1 column 1")},
        {nested_ping(127) + "\n", pong("1")},
        {nested_ping(128) + "\n", parse_error("recursion limit exceeded at line 1 column 160")},
        {"{\"id\":1,\"method\":\"ping\",\"params\":\"a\tb\"}\n",
         parse_error("control character (\\\\u0000-\\\\u001F) found while parsing a string at line 1 column 36")},
        // Line ends and blank lines.
        {"{\"id\":1,\"method\":\"ping\"}\r\n", pong("1")},
        {"{\"id\":1,\"method\":\"ping\"} \t\r\r\n", pong("1")},
        {"{\"id\":1,\"method\":\"ping\"}", pong("1")},
        {"\n \t\r\n\f\n\xC2\xA0\xE3\x80\x80\n\r\n{\"id\":2,\"method\":\"ping\"}\n", pong("2")},
        // Invalid UTF-8 ends the loop: the line and everything after it go unanswered.
        {"{\"id\":1,\"method\":\"ping\"}\n{\"id\":\"\xFF\",\"method\":\"ping\"}\n{\"id\":3,\"method\":\"ping\"}\n", pong("1")},
        // Dropped without a reply.
        {"[{\"id\":1,\"method\":\"ping\"}]\n[]\n{}\nnull\n7\n\"s\"\n{\"method\":\"ping\"}\n{\"id\":null,\"method\":\"ping\"}\n"
         "{\"method\":\"tools/call\",\"params\":{\"name\":\"ocr_image\",\"arguments\":{\"path\":\"/x.png\"}}}\n",
         ""},
        // Methods.
        {R"({"id":1,"method":"PING"})" "\n", error_line("-32601", "method not found: PING", "1")},
        {R"({"id":1,"method":3})" "\n", error_line("-32601", "method not found: ", "1")},
        {R"({"id":1,"result":{}})" "\n", error_line("-32601", "method not found: ", "1")},
        {R"({"id":1,"method":"ping","method":"nope"})" "\n", error_line("-32601", "method not found: nope", "1")},
        {R"({"id":1,"method":"tools/list"})" "\n",
         R"({"id":1,"jsonrpc":"2.0","result":{"tools":[{"description":")" + description + R"(","inputSchema":)" +
             schema + R"(,"name":"ocr_image"}]}})" "\n"},
        // initialize: the client's version string is echoed, anything else gives the default.
        {R"({"id":1,"method":"initialize"})" "\n", initialize_reply("2025-06-18")},
        {R"({"id":1,"method":"initialize","params":[1]})" "\n", initialize_reply("2025-06-18")},
        {R"({"id":1,"method":"initialize","params":{}})" "\n", initialize_reply("2025-06-18")},
        {R"({"id":1,"method":"initialize","params":{"protocolVersion":5}})" "\n", initialize_reply("2025-06-18")},
        {R"({"id":1,"method":"initialize","params":{"protocolVersion":"1999-01-01"}})" "\n", initialize_reply("1999-01-01")},
        {R"({"id":1,"method":"initialize","params":{"protocolVersion":""}})" "\n", initialize_reply("")},
        // tools/call: the name must match exactly; a handler failure is a result, not an error line.
        {R"({"id":3,"method":"tools/call"})" "\n", error_line("-32602", "unknown tool: ", "3")},
        {R"({"id":3,"method":"tools/call","params":"ocr_image"})" "\n", error_line("-32602", "unknown tool: ", "3")},
        {R"({"id":3,"method":"tools/call","params":{"name":7}})" "\n", error_line("-32602", "unknown tool: ", "3")},
        {R"({"id":3,"method":"tools/call","params":{"name":"OCR_IMAGE"}})" "\n",
         error_line("-32602", "unknown tool: OCR_IMAGE", "3")},
        {R"({"id":3,"method":"tools/call","params":{"name":"ocr_image"}})" "\n",
         R"({"id":3,"jsonrpc":"2.0","result":{"content":[{"text":"missing required argument: path","type":"text"}],"isError":true}})" "\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        const auto result = run_process(ProcessOptions{.argv = {GLOSSEL_BINARY}, .stdin_data = c.input});
        EXPECT_EQ(result.stdout_data, c.output);
        EXPECT_EQ(result.exit_code, 0);
        EXPECT_EQ(result.stderr_data, "");
    }
}

TEST(Protocol, EndOfInput) {
    for (const bool closed : {false, true}) {
        SCOPED_TRACE(closed ? "no standard input" : "empty standard input");
        const auto result = run_process(ProcessOptions{.argv = {GLOSSEL_BINARY}, .close_stdin_first = closed});
        EXPECT_EQ(result.exit_code, 0);
        EXPECT_EQ(result.stdout_data, "");
    }
}

// A client that closes its end of standard output while it keeps sending: the server handles
// every request, loses the replies and exits normally.
TEST(Protocol, ClientStopsReading) {
    std::string input;
    for (int i = 0; i < 20000; ++i) {
        input += R"({"id":1,"method":"tools/call","params":{"name":"ocr_image"}})" "\n";
    }
    const auto result = run_process(
        ProcessOptions{.argv = {GLOSSEL_BINARY}, .stdin_data = input, .stop_reading_stdout_after = 10});
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.stderr_data, "");
}

}  // namespace

namespace {

// A line larger than the memory the process may use (above the ~80 MB that mapping the image
// libraries takes): the failed allocation is reported with its
// size and the process aborts at once, without the internal-error status. Sanitizer builds leave
// the allocation functions to their runtime, so the check runs in the plain build only.
TEST(Protocol, MemoryExhaustion) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer runtime owns the allocation functions";
#endif
    if (!test_support::can_limit_memory) GTEST_SKIP() << "this system cannot limit a child's memory";
    const std::string input = "{\"id\":\"" + std::string(96u << 20, 'a');
    const auto result =
        run_process(ProcessOptions{.argv = {GLOSSEL_BINARY}, .stdin_data = input, .memory_limit_kib = 150000});
    EXPECT_EQ(result.signal, SIGABRT);
    EXPECT_EQ(result.stdout_data, "");
    EXPECT_TRUE(result.stderr_data.starts_with("memory allocation of ")) << result.stderr_data;
    EXPECT_TRUE(result.stderr_data.ends_with(" bytes failed\n")) << result.stderr_data;
}

}  // namespace
