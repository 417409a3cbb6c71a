// Platform rules that hold on every system, through the same headers. The path rules that
// differ are in platform_posix_test.cpp and platform_win_test.cpp.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/console_reader.h"
#include "platform/dynlib.h"
#include "platform/path.h"
#include "platform/utf16.h"
#include "platform/utf8.h"

namespace {

using platform::path_from_utf8;

TEST(JoinPath, EmptyFolderGivesThePieceAndATrailingSlashNeedsNoSeparator) {
    EXPECT_EQ(platform::join_path(path_from_utf8(""), "ggml"), path_from_utf8("ggml"));
    const platform::NativePath slashed = path_from_utf8("engine/");
    EXPECT_EQ(platform::join_path(slashed, "x"), path_from_utf8("engine/x"));
    // One separator goes in, and the parent of the joined path is the folder again.
    const platform::NativePath folder = path_from_utf8("engine");
    const platform::NativePath joined = platform::join_path(folder, platform::library_file_name("llama"));
    EXPECT_EQ(joined.size(), folder.size() + 1 + platform::library_file_name("llama").size());
    EXPECT_EQ(platform::parent_path(joined), folder);
}

TEST(PathText, RoundTripsUtf8) {
    const std::string text = "/tmp/\xC3\xA9t\xC3\xA9/\xF0\x9F\x98\x80.png";
    EXPECT_EQ(platform::path_to_utf8(path_from_utf8(text)), text);
}

TEST(Utf16, UnpairedSurrogatesBecomeReplacementCharacters) {
    struct Case { std::u16string units; std::string utf8; bool unpaired; };
    const Case cases[] = {
        {u"abc", "abc", false},
        {u"\u00E9\u4E2D", "\xC3\xA9\xE4\xB8\xAD", false},
        {u"\U0001F600", "\xF0\x9F\x98\x80", false},
        {std::u16string{u'a', char16_t(0xD83D)}, "a\xEF\xBF\xBD", true},               // high at the end
        {std::u16string{char16_t(0xDE00), u'b'}, "\xEF\xBF\xBD" "b", true},             // low alone
        {std::u16string{char16_t(0xD83D), char16_t(0xD83D), char16_t(0xDE00)}, "\xEF\xBF\xBD\xF0\x9F\x98\x80", true},
        {std::u16string{u'x', char16_t(0), u'y'}, std::string("x\0y", 3), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.utf8);
        bool unpaired = !c.unpaired;
        EXPECT_EQ(platform::utf16_to_utf8(std::u16string_view(c.units), &unpaired), c.utf8);
        EXPECT_EQ(unpaired, c.unpaired);
    }
}

TEST(Utf16, FromUtf8ReplacesIllFormedBytes) {
    EXPECT_EQ(platform::utf8_to_utf16<char16_t>("a\xC3\xA9\xF0\x9F\x98\x80"), u"a\u00E9\U0001F600");
    EXPECT_EQ(platform::utf8_to_utf16<char16_t>("a\xFF" "b\xE2\x82"), u"a\uFFFDb\uFFFD");
    EXPECT_EQ(platform::utf8_to_utf16<char16_t>(""), u"");
}

// A console that hands out scripted reads. Like a real one, it keeps what does not fit into one
// read for the next.
struct ScriptedConsole {
    std::vector<platform::ReadResult> outcomes;  // status per read; data reads take their text below
    std::vector<std::u16string> texts;
    std::size_t next = 0;
    std::size_t taken = 0;  // units of texts[next] already handed out
    std::vector<std::size_t> asked;

    platform::ReadResult operator()(char16_t* units, std::size_t capacity) {
        asked.push_back(capacity);
        if (next == outcomes.size()) return {platform::ReadStatus::end, 0};
        if (outcomes[next].status != platform::ReadStatus::data) return outcomes[next++];
        const std::u16string& text = texts[next];
        const std::size_t count = text.copy(units, capacity, taken);
        taken += count;
        if (taken == text.size()) {
            ++next;
            taken = 0;
        }
        return {platform::ReadStatus::data, count};
    }
};

// Reads with `capacity` until the end or a failure, and writes down what came: the bytes of each
// read, then "<end>" or "<failed>".
std::vector<std::string> drain(std::vector<std::u16string> reads, std::size_t capacity,
                               std::vector<platform::ReadStatus> statuses = {}) {
    auto console = std::make_shared<ScriptedConsole>();
    for (std::size_t i = 0; i < reads.size(); ++i) {
        const auto status = i < statuses.size() ? statuses[i] : platform::ReadStatus::data;
        console->outcomes.push_back({status, 0});
        console->texts.push_back(reads[i]);
    }
    platform::ConsoleReader reader([console](char16_t* units, std::size_t n) { return (*console)(units, n); });
    std::vector<std::string> seen;
    for (int guard = 0; guard < 100; ++guard) {
        std::string buffer(capacity, '\0');
        const platform::ReadResult got = reader.read(buffer.data(), capacity);
        if (got.status == platform::ReadStatus::end) { seen.push_back("<end>"); break; }
        if (got.status == platform::ReadStatus::failed) { seen.push_back("<failed>"); break; }
        seen.push_back(buffer.substr(0, got.count));
    }
    return seen;
}

TEST(ConsoleReader, CtrlZSurrogatesAndSmallBuffers) {
    using V = std::vector<std::string>;
    const char16_t high = 0xD83D, low = 0xDE00;
    struct Case {
        const char* name;
        std::vector<std::u16string> reads;
        std::size_t capacity;
        V seen;
    };
    const Case cases[] = {
        {"a typed line, then the console ends", {u"{}\r\n"}, 64, {"{}\r\n", "<end>"}},
        {"Ctrl-Z alone is the end of input", {u"\x1A", u"never read"}, 64, {"<end>"}},
        {"text before Ctrl-Z is delivered, and the read ends there", {u"abc\x1A", u"\x1A"}, 64, {"abc", "<end>"}},
        {"what follows Ctrl-Z in the same read is dropped", {u"ab\x1A" u"cd\r\n", u"ef\r\n"}, 64, {"ab", "ef\r\n", "<end>"}},
        {"a read of no units is the end", {u"", u"never read"}, 64, {"<end>"}},
        {"a pair split between two reads is joined", {std::u16string{u'x', high}, std::u16string{low, u'y'}}, 64,
         {"x\xF0\x9F\x98\x80", "y", "<end>"}},
        {"a high surrogate without its partner fails the read", {std::u16string{u'x', high}, u"y"}, 64, {"<failed>"}},
        {"a lone low surrogate fails the read", {std::u16string{u'x', low, u'\r', u'\n'}}, 64, {"<failed>"}},
        {"a high surrogate cut off by Ctrl-Z fails the read", {std::u16string{u'x', high, u'\x1A'}}, 64, {"<failed>"}},
        {"a buffer smaller than one character gets it byte by byte", {u"\u00E9\u4E2D"}, 1,
         {"\xC3", "\xA9", "\xE4", "\xB8", "\xAD", "<end>"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(drain(c.reads, c.capacity), c.seen);
    }
}

TEST(ConsoleReader, PassesOnTheEndAndFailuresOfTheConsole) {
    using platform::ReadStatus;
    EXPECT_EQ(drain({u"a\r\n", u""}, 64, {ReadStatus::data, ReadStatus::end}), (std::vector<std::string>{"a\r\n", "<end>"}));
    EXPECT_EQ(drain({u"a\r\n", u""}, 64, {ReadStatus::data, ReadStatus::failed}),
              (std::vector<std::string>{"a\r\n", "<failed>"}));
}

TEST(ConsoleReader, AsksForAtMostOneReadOfUnitsAndOneMoreForAPartner) {
    auto console = std::make_shared<ScriptedConsole>();
    console->outcomes = {{platform::ReadStatus::data, 0}, {platform::ReadStatus::data, 0}};
    console->texts = {std::u16string{u'x', char16_t(0xD83D)}, std::u16string{char16_t(0xDE00)}};
    platform::ConsoleReader reader([console](char16_t* units, std::size_t n) { return (*console)(units, n); });
    char buffer[16];
    const platform::ReadResult got = reader.read(buffer, sizeof buffer);
    EXPECT_EQ(std::string(buffer, got.count), "x\xF0\x9F\x98\x80");
    EXPECT_EQ(console->asked, (std::vector<std::size_t>{platform::ConsoleReader::units_per_read, 1}));
}

TEST(Utf8, ValidPrefixStopsAtIllFormedOrCutSequences) {
    struct Case { std::string bytes; std::size_t prefix; };
    const Case cases[] = {
        {"abc", 3},
        {"a\xE2\x82\xAC", 4},        // euro sign
        {"a\xE2\x82", 1},            // cut off at the end
        {"a\xFFz", 1},               // ill-formed byte
        {"\xED\xA0\x80", 0},         // encoded surrogate
        {"\xC0\x80", 0},             // overlong
        {"\xF4\x90\x80\x80", 0},     // above U+10FFFF
        {"\xF0\x9F\x98\x80!", 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        EXPECT_EQ(platform::valid_utf8_prefix(c.bytes), c.prefix);
    }
}

TEST(Utf8, LossyReplacesEachMaximalIllFormedPart) {
    EXPECT_EQ(platform::utf8_lossy("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(platform::utf8_lossy("a\xE2\x82"), "a\xEF\xBF\xBD");
    EXPECT_EQ(platform::utf8_lossy("\xE2\x82z"), "\xEF\xBF\xBDz");
    EXPECT_EQ(platform::utf8_lossy("\xC0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(Utf8, TrimRemovesWhiteSpacePropertyOnly) {
    struct Case { std::string text; std::string trimmed; };
    const Case cases[] = {
        {"  word\n", "word"},
        {"\xE3\x80\x80word\xC2\xA0", "word"},          // U+3000, U+00A0
        {"\xEF\xBB\xBFword", "\xEF\xBB\xBFword"},      // U+FEFF stays
        {"\xE2\x80\x8Bword", "\xE2\x80\x8Bword"},      // U+200B stays
        {"\n \t\r\x0B\x0C", ""},
        {"a b", "a b"},
        {"\xC2\x85x\xE2\x80\xA8", "x"},                // U+0085, U+2028
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(platform::trim_unicode_whitespace(c.text), c.trimmed);
    }
}

}  // namespace
