#include <gtest/gtest.h>

#include "platform/path.h"
#include "platform/utf8.h"

namespace {

TEST(JoinPath, PutsOneSeparatorUnlessFolderIsEmptyOrEndsInOne) {
    struct Case { const char* folder; const char* piece; const char* joined; };
    const Case cases[] = {
        {"/x", "libggml.so", "/x/libggml.so"},
        {"/x/", "libggml.so", "/x/libggml.so"},
        {"", "libggml.so", "libggml.so"},
        {"/", "a", "/a"},
        {"bin", "../Frameworks", "bin/../Frameworks"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.folder);
        EXPECT_EQ(platform::join_path(c.folder, c.piece), c.joined);
    }
}

TEST(ParentPath, DropsTheLastComponent) {
    struct Case { const char* path; std::optional<std::string> parent; };
    const Case cases[] = {
        {"/a/b/glossel", "/a/b"}, {"/a/b", "/a"}, {"/a", "/"}, {"/", std::nullopt},
        {"glossel", std::nullopt}, {"a//b", "a"}, {"/a/b/", "/a"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(platform::parent_path(c.path), c.parent);
    }
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
