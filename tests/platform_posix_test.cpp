// The path rules of Linux; those of Windows are in platform_win_test.cpp.

#include <gtest/gtest.h>

#include "platform/dynlib.h"
#include "platform/path.h"

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

TEST(LibraryFileName, IsLibStemSo) {
    EXPECT_EQ(platform::library_file_name("ggml"), "libggml.so");
    EXPECT_EQ(platform::library_file_name("ggml-base"), "libggml-base.so");
}

}  // namespace
