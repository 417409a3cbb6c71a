// The glossel binary against hostile clients: huge and deeply nested lines, long pipelines, NUL
// bytes, a client that stops reading, input that ends while a tool call runs. The server never
// crashes, answers in order, keeps standard error quiet and exits with status 0.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host.h"
#include "support/run_process.h"
#include "support/scratch.h"

namespace {

using test_support::ProcessOptions;
using test_support::ProcessResult;
using test_support::run_process;
using test_support::split_lines;

std::string pong(const std::string& id) { return "{\"id\":" + id + ",\"jsonrpc\":\"2.0\",\"result\":{}}\n"; }

std::string parse_error(const std::string& text) {
    return "{\"error\":{\"code\":-32700,\"message\":\"parse error: " + text + "\"},\"id\":null,\"jsonrpc\":\"2.0\"}\n";
}

std::string ping(const std::string& id) { return "{\"id\":" + id + ",\"method\":\"ping\"}\n"; }

ProcessResult serve(std::string input, bool measure_peak_rss = false) {
    return run_process(ProcessOptions{.argv = {GLOSSEL_BINARY}, .stdin_data = std::move(input),
                                      .measure_peak_rss = measure_peak_rss && test_support::can_measure_peak_rss});
}

void expect_clean_exit(const ProcessResult& result) {
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.stderr_data, "");
}

// Lines of 64 MiB, each followed by a ping that must still be answered. The line is held a few
// times over while it is read, parsed and its params copied, but the server's memory stays a small
// multiple of the line, and is given back before the next line (measured where the system tells).
TEST(HostileStream, HugeLines) {
#if defined(__SANITIZE_ADDRESS__)
    constexpr long line_allowance = 10;
#else
    constexpr long line_allowance = 6;
#endif
    constexpr std::size_t mib64 = std::size_t{64} << 20;
    const std::string prefix = "{\"id\":1,\"method\":\"ping\",\"params\":\"";
    struct Case {
        const char* what;
        std::string line;
        std::string reply;
    };
    const Case cases[] = {
        {"a ping with a 64 MiB string", prefix + std::string(mib64 - prefix.size() - 2, 'a') + "\"}", pong("1")},
        {"64 MiB that are no JSON", std::string(mib64, 'a'), parse_error("expected value at line 1 column 1")},
        {"a string that never ends", prefix + std::string(mib64 - prefix.size(), 'a'),
         parse_error("EOF while parsing a string at line 1 column " + std::to_string(mib64))},
        {"64 MiB of spaces before a ping", std::string(mib64, ' ') + "{\"id\":1,\"method\":\"ping\"}", pong("1")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const ProcessResult result = serve(c.line + "\n" + ping("2"), true);
        expect_clean_exit(result);
        EXPECT_EQ(result.stdout_data, c.reply + pong("2"));
        if (!test_support::can_measure_peak_rss) continue;
        // Measured about 4 times the line (the read buffer, the line, the parsed string and the
        // params' copy), 7 times under the sanitizers.
        EXPECT_GT(result.peak_rss_kib, 0);
        EXPECT_LT(result.peak_rss_kib, line_allowance * (long{64} << 10)) << "peak RSS " << result.peak_rss_kib << " KiB";
        RecordProperty(std::string("peak_rss_kib_") + std::to_string(&c - cases), std::to_string(result.peak_rss_kib));
    }
}

// 100,000 requests written at once, of every reply kind: every one answered, in order.
TEST(HostileStream, PipelinedRequests) {
    std::string input, expected;
    for (int i = 0; i < 100000; ++i) {
        const std::string id = std::to_string(i);
        switch (i % 5) {
            case 0:
                input += ping(id);
                expected += pong(id);
                break;
            case 1:
                input += "{\"id\":" + id + ",\"method\":\"nope\"}\n";
                expected += "{\"error\":{\"code\":-32601,\"message\":\"method not found: nope\"},\"id\":" + id +
                            ",\"jsonrpc\":\"2.0\"}\n";
                break;
            case 2:
                input += "{\"id\":" + id + ",\"method\":\"tools/call\",\"params\":{\"name\":\"ocr_image\"}}\n";
                expected += "{\"id\":" + id +
                            ",\"jsonrpc\":\"2.0\",\"result\":{\"content\":[{\"text\":\"missing required argument: "
                            "path\",\"type\":\"text\"}],\"isError\":true}}\n";
                break;
            case 3:
                input += "{\"method\":\"ping\"}\n{\"id\":" + id + ",\"method\":\"prompts/list\"}\r\n";
                expected += "{\"id\":" + id + ",\"jsonrpc\":\"2.0\",\"result\":{\"prompts\":[]}}\n";
                break;
            case 4:
                input += "{\"id\":" + id + "\n";
                expected += parse_error("EOF while parsing an object at line 1 column " + std::to_string(6 + id.size()));
                break;
        }
    }
    const ProcessResult result = serve(input);
    expect_clean_exit(result);
    EXPECT_EQ(split_lines(result.stdout_data).size(), 100000u);
    EXPECT_TRUE(result.stdout_data == expected) << "replies differ from the requests' order or content";
}

std::string nested(const std::string& open, const std::string& close, std::size_t levels) {
    std::string text;
    text.reserve(levels * (open.size() + close.size()) + 64);
    for (std::size_t i = 0; i < levels; ++i) text += open;
    for (std::size_t i = 0; i < levels; ++i) text += close;
    return text;
}

// The parser refuses the 128th level before it descends, so 100,000 levels cost no stack.
TEST(HostileStream, DeepNesting) {
    const std::string head = "{\"id\":1,\"method\":\"ping\",\"params\":";
    struct Case {
        const char* what;
        std::string line;
        std::string reply;
    };
    const Case cases[] = {
        {"127 levels", head + nested("[", "]", 126) + "}", pong("1")},
        {"128 levels", head + nested("[", "]", 127) + "}", parse_error("recursion limit exceeded at line 1 column 160")},
        {"100,000 arrays", head + nested("[", "]", 100000) + "}",
         parse_error("recursion limit exceeded at line 1 column 160")},
        {"100,000 objects", head + nested("{\"a\":", "}", 100000) + "}",
         parse_error("recursion limit exceeded at line 1 column 664")},
        {"100,000 unclosed arrays", std::string(100000, '['), parse_error("recursion limit exceeded at line 1 column 128")},
        {"127 levels of objects", nested(head, "", 126) + "{}" + std::string(126, '}'), pong("1")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const ProcessResult result = serve(c.line + "\n" + ping("2"));
        expect_clean_exit(result);
        EXPECT_EQ(result.stdout_data, c.reply + pong("2"));
    }
}

// A NUL byte is neither whitespace nor allowed raw in a string: the line fails to parse where the
// NUL stands, and the next line is read as usual.
TEST(HostileStream, BytesAfterNul) {
    using namespace std::string_literals;
    struct Case {
        std::string line;
        std::string reply;
    };
    const Case cases[] = {
        {"{\"id\":1,\"method\":\"ping\"}\0{\"id\":3,\"method\":\"ping\"}"s,
         parse_error("trailing characters at line 1 column 25")},
        {"\0{\"id\":1,\"method\":\"ping\"}"s, parse_error("expected value at line 1 column 1")},
        {"\0"s, parse_error("expected value at line 1 column 1")},
        {"{\"id\":\"a\0b\",\"method\":\"ping\"}"s,
         parse_error("control character (\\\\u0000-\\\\u001F) found while parsing a string at line 1 column 9")},
        {"{\"id\":1,\"method\":\"ping\"}  \0"s, parse_error("trailing characters at line 1 column 27")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const ProcessResult result = serve(c.line + "\n" + ping("2"));
        expect_clean_exit(result);
        EXPECT_EQ(result.stdout_data, c.reply + pong("2"));
    }
}

// A client that goes away on the reading side: every request is still handled, its reply lost,
// and the server exits normally once input ends.
TEST(HostileStream, ClientClosesStdout) {
    std::string input;
    for (int i = 0; i < 10000; ++i) {
        input += ping(std::to_string(i));
        input += "{\"id\":1,\"method\":\"tools/call\",\"params\":{\"name\":\"ocr_image\",\"arguments\":{\"path\":\"/no/such.png\"}}}\n";
    }
    struct Case {
        const char* what;
        ProcessOptions options;
    };
    const Case cases[] = {
        {"after the first bytes", ProcessOptions{.argv = {GLOSSEL_BINARY}, .stdin_data = input,
                                                 .stop_reading_stdout_after = 1}},
        {"after a megabyte", ProcessOptions{.argv = {GLOSSEL_BINARY}, .stdin_data = input,
                                            .stop_reading_stdout_after = 1 << 20}},
        {"no standard output at all", ProcessOptions{.argv = {GLOSSEL_BINARY}, .stdin_data = input,
                                                     .close_stdout_first = true}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        expect_clean_exit(run_process(c.options));
    }
}

// Input that ends right after a tool call: the call creates the engine (the stand-in libraries)
// and recognises the page, its reply is written, and only then does the loop see the end of input.
// Closing the engine's folder and the model files on the way out leaves standard error with the
// engine line alone.
TEST(HostileStream, InputEndsDuringToolCall) {
    test_support::TempTree tree;
    tree.add("page.png", "not really a png");
    tree.add("model.gguf");
    tree.add("mmproj.gguf");
    tree.add("script", "fallback=2x2\ntokens=5\npiece.5=hello\n");
    const std::string call = "{\"id\":7,\"method\":\"tools/call\",\"params\":{\"name\":\"ocr_image\",\"arguments\":{\"path\":" +
                             nlohmann::json(tree.path("page.png")).dump() + "}}}\n";
    const ProcessResult result = run_process(ProcessOptions{
        .argv = {GLOSSEL_BINARY},
        .stdin_data = ping("1") + call,
        .env = {{"OCR_DLL_DIR", standin::engine_dir()},
                {"OCR_MODEL", tree.path("model.gguf")},
                {"OCR_MMPROJ", tree.path("mmproj.gguf")},
                {"STANDIN_SCRIPT", tree.path("script")}}});
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.stdout_data,
              pong("1") + "{\"id\":7,\"jsonrpc\":\"2.0\",\"result\":{\"content\":[{\"text\":\"hello\",\"type\":\"text\"}],"
                          "\"isError\":false}}\n");
    EXPECT_EQ(result.stderr_data, "[glossel] engine " + standin::engine_dir() + " model " + tree.path("model.gguf") + "\n");
}

}  // namespace
