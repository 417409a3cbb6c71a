// The stand-ins' script file and log file, which spawned processes rely on.

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "host.h"
#include "standin.h"
#include "tarnwick/library.h"

namespace {

TEST(StandinScript, FileValuesTakeEscapesAndCommentsAreSkipped) {
    standin::reset();
    standin::TempFolder folder;
    folder.write("script", "# a comment\nmarker=<\\xFF\\x41>\npiece.5=a\\nb\\\\c\n\nno equals sign\ntokens=5,6\n");
    ASSERT_EQ(standin_load_script(folder.file("script").c_str()), 1);
    EXPECT_STREQ(standin_get("marker"), "<\xFF" "A>");
    EXPECT_STREQ(standin_get("piece.5"), "a\nb\\c");
    EXPECT_STREQ(standin_get("tokens"), "5,6");
    EXPECT_EQ(standin_get("no equals sign"), nullptr);
    EXPECT_EQ(standin_load_script(folder.file("absent").c_str()), 0);
}

TEST(StandinLog, EveryCallIsAppendedToTheLogFile) {
    standin::reset();
    standin::TempFolder folder;
    tarnwick::Result<tarnwick::LibraryRef> loaded = tarnwick::load_engine_library(platform::path_from_utf8(standin::engine_dir()));
    ASSERT_TRUE(loaded.ok());
    {
        standin::ScopedEnv log("STANDIN_LOG", folder.file("log"));
        (*loaded)->llama_backend_init();
        (*loaded)->mtmd_default_marker();
    }
    std::ifstream in(folder.file("log"));
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "llama_backend_init\nmtmd_default_marker -> \"<__media__>\"\n");
}

}  // namespace
