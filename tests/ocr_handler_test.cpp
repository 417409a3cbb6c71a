// The ocr_image handler in process: argument checks in their order with their exact texts, that a
// refused call runs no discovery and writes nothing, and how discovery and loading failures come
// back and leave the engine slot empty for the next call.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "glossel/discovery.h"
#include "glossel/ocr_handler.h"
#include "support/scratch.h"
#include "tarnwick/tarnwick.h"

namespace {

using test_support::EnvGuard;
using test_support::StderrCapture;
using test_support::TempTree;
using test_support::with_root;

const char* const DISCOVERY_VARIABLES[] = {"OCR_DLL_DIR", "OCR_MODEL", "OCR_MMPROJ", "LOCALAPPDATA", "XDG_DATA_HOME", "HOME"};
const std::string NO_ENGINE(glossel::NO_ENGINE_TEXT);
const std::string NO_MODEL(glossel::NO_MODEL_TEXT);

// Every string in the JSON value with {root} expanded.
nlohmann::json expand(nlohmann::json value, const std::string& root) {
    if (value.is_string()) return with_root(value.get<std::string>(), root);
    if (value.is_structured()) {
        for (nlohmann::json& item : value) item = expand(item, root);
    }
    return value;
}

// A tree with an image, a folder, a file that cannot be read and links (where the system makes
// them), used as the current folder; an environment in which discovery finds nothing; and a
// handler whose pretend executable lies in the tree and counts how often discovery asks for it.
class OcrHandler : public ::testing::Test {
protected:
    void SetUp() override {
        tree_.add_all({"page.png", "folder/", "locked.png", "app/"});
        if (test_support::can_make_links()) {
            tree_.add_all({"link-file -> page.png", "link-folder -> folder", "dangling -> gone.png"});
        }
        locked_ = std::make_unique<test_support::Unreadable>(tree_.path("locked.png"));
        for (const char* name : DISCOVERY_VARIABLES) env_.unset(name);
        old_cwd_ = std::filesystem::current_path();
        std::filesystem::current_path(test_support::fs_path(tree_.root()));
    }
    void TearDown() override { std::filesystem::current_path(old_cwd_); }

    glossel::OcrToolHandler make_handler() {
        return glossel::OcrToolHandler([this] {
            ++executable_lookups_;
            return std::optional<glossel::NativePath>(platform::path_from_utf8(tree_.path("app/glossel")));
        });
    }
    std::string root() const { return tree_.root(); }
    // The JSON text, its strings with {root} expanded.
    nlohmann::json arguments(const std::string& json_template) const {
        return expand(nlohmann::json::parse(json_template), tree_.root());
    }
    static std::string describe(const platform::Result<std::string>& result) {
        return result ? "ok: " + *result : result.error();
    }

    TempTree tree_;
    std::unique_ptr<test_support::Unreadable> locked_;
    EnvGuard env_;
    std::filesystem::path old_cwd_;
    int executable_lookups_ = 0;
};

TEST_F(OcrHandler, ChecksPathThenFileThenModeBeforeAnyEngineWork) {
    const std::string PASSES = "(passes the checks)";
    struct Case {
        const char* arguments;   // JSON, {root} expanded
        std::string expected;    // the error text, {root} expanded, or PASSES
        bool needs_links = false;
    };
    const std::string missing = "missing required argument: path";
    const std::vector<Case> cases = {
        {"null", missing},
        {"[]", missing},
        {R"(["{root}/page.png"])", missing},
        {R"("{root}/page.png")", missing},
        {"5", missing},
        {"{}", missing},
        {R"({"path":5})", missing},
        {R"({"path":null})", missing},
        {R"({"path":["{root}/page.png"]})", missing},
        {R"({"Path":"{root}/page.png"})", missing},
        {R"({"path":""})", "file not found: "},
        {R"({"path":"{root}/folder"})", "file not found: {root}/folder"},
        {R"({"path":"{root}/./folder/"})", "file not found: {root}/./folder/"},
        {R"({"path":"{root}/page.png/"})", "file not found: {root}/page.png/"},
        {R"({"path":"{root}/link-folder"})", "file not found: {root}/link-folder", true},
        {R"({"path":"{root}/dangling"})", "file not found: {root}/dangling", true},
        {R"({"path":"{root}/missing.png"})", "file not found: {root}/missing.png"},
        {R"({"path":"missing.png"})", "file not found: missing.png"},
        {R"({"path":" page.png"})", "file not found:  page.png"},
        {R"({"path":"{root}/missing.png","mode":"Text"})", "file not found: {root}/missing.png"},
        {R"({"path":"{root}/page.png","mode":"Text"})", "unknown mode: Text (text|table|formula)"},
        {R"({"path":"{root}/page.png","mode":"TABLE"})", "unknown mode: TABLE (text|table|formula)"},
        {R"({"path":"{root}/page.png","mode":" text"})", "unknown mode:  text (text|table|formula)"},
        {R"({"path":"{root}/page.png","mode":"formula\n"})", "unknown mode: formula\n (text|table|formula)"},
        {R"({"path":"{root}/page.png","mode":""})", "unknown mode:  (text|table|formula)"},
        {R"({"path":"{root}/page.png","mode":"html"})", "unknown mode: html (text|table|formula)"},
        {R"({"path":"{root}/page.png"})", PASSES},
        {R"({"path":"page.png"})", PASSES},
        {R"({"path":"{root}/link-file"})", PASSES, true},
        {R"({"path":"{root}/locked.png"})", PASSES},
        {R"({"path":"{root}/page.png","mode":"text"})", PASSES},
        {R"({"path":"{root}/page.png","mode":"table"})", PASSES},
        {R"({"path":"{root}/page.png","mode":"formula"})", PASSES},
        {R"({"path":"{root}/page.png","mode":5})", PASSES},
        {R"({"path":"{root}/page.png","mode":true})", PASSES},
        {R"({"path":"{root}/page.png","mode":null})", PASSES},
        {R"({"path":"{root}/page.png","mode":{"text":1}})", PASSES},
        {R"({"path":"{root}/page.png","Mode":"bad","extra":[1]})", PASSES},
    };
    int skipped = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments);
        if (c.needs_links && !test_support::can_make_links()) {
            ++skipped;
            continue;
        }
        glossel::OcrToolHandler handler = make_handler();
        executable_lookups_ = 0;
        StderrCapture captured;
        const std::string got = describe(handler.handle_ocr_call("ocr_image", arguments(c.arguments)));
        const std::string written = captured.text();
        if (c.expected == PASSES) {
            // Discovery ran (it asked where the executable is) and found no engine in the tree.
            EXPECT_EQ(got, NO_ENGINE);
            EXPECT_GT(executable_lookups_, 0);
        } else {
            EXPECT_EQ(got, with_root(c.expected, root()));
            EXPECT_EQ(executable_lookups_, 0) << "a refused call must not run discovery";
            EXPECT_EQ(written, "");
        }
        EXPECT_FALSE(handler.has_engine());
    }
    test_support::note_skipped(skipped, "they need symbolic links");
}

TEST_F(OcrHandler, PathHoldingNulIsNotFoundAndQuotedAsSent) {
    glossel::OcrToolHandler handler = make_handler();
    const nlohmann::json args = {{"path", tree_.path("page.png") + std::string("\0x", 2)}};
    EXPECT_EQ(describe(handler.handle_ocr_call("ocr_image", args)), "file not found: " + args["path"].get<std::string>());
    EXPECT_EQ(executable_lookups_, 0);
}

TEST_F(OcrHandler, DiscoveryFailuresComeBackUnchangedEngineTextFirst) {
    struct Case {
        const char* name;
        std::vector<std::pair<const char*, const char*>> env;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"neither engine nor model", {{"LOCALAPPDATA", "{root}/local"}}, NO_ENGINE},
        {"no engine, models given", {{"OCR_MODEL", "{root}/m.gguf"}, {"OCR_MMPROJ", "{root}/mm.gguf"}}, NO_ENGINE},
        {"engine given, no model", {{"OCR_DLL_DIR", "{root}/engine"}, {"LOCALAPPDATA", "{root}/local"}}, NO_MODEL},
        {"engine given, one model variable only", {{"OCR_DLL_DIR", "{root}/engine"}, {"OCR_MODEL", "{root}/m.gguf"}}, NO_MODEL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EnvGuard env;
        for (const auto& [name, value] : c.env) env.set(name, with_root(value, root()));
        glossel::OcrToolHandler handler = make_handler();
        StderrCapture captured;
        EXPECT_EQ(describe(handler.handle_ocr_call("ocr_image", arguments(R"({"path":"{root}/page.png"})"))), c.expected);
        EXPECT_EQ(captured.text(), "");
        EXPECT_FALSE(handler.has_engine());
    }
}

TEST_F(OcrHandler, FailedLoadLeavesSlotEmptyAndNextCallDiscoversAfresh) {
    const std::string engine_dir = tree_.path("engine");
    env_.set("OCR_DLL_DIR", engine_dir);
    env_.set("OCR_MODEL", tree_.path("m.gguf"));
    env_.set("OCR_MMPROJ", tree_.path("mm.gguf"));
    const platform::Result<tarnwick::LibraryRef> direct =
        tarnwick::load_engine_library(platform::path_from_utf8(engine_dir));
    ASSERT_FALSE(direct.ok()) << "the folder holds no libraries";

    glossel::OcrToolHandler handler = make_handler();
    const nlohmann::json args = arguments(R"({"path":"{root}/page.png","mode":"table"})");
    for (int attempt = 0; attempt < 2; ++attempt) {
        SCOPED_TRACE(attempt);
        StderrCapture captured;
        EXPECT_EQ(describe(handler.handle_ocr_call("ocr_image", args)), direct.error());
        EXPECT_EQ(captured.text().find("[glossel]"), std::string::npos);
        EXPECT_FALSE(handler.has_engine());
    }

    // Nothing of the attempts is remembered: the next call reads the environment again.
    env_.unset("OCR_DLL_DIR");
    EXPECT_EQ(describe(handler.handle_ocr_call("ocr_image", args)), NO_ENGINE);
    EXPECT_EQ(describe(handler.handle_ocr_call_once("ocr_image", args)), NO_ENGINE);
    EXPECT_FALSE(handler.has_engine());
}

TEST_F(OcrHandler, ServerHandlerIgnoresTheToolName) {
    const std::unique_ptr<glossel::ToolHandler> handler = glossel::make_ocr_tool_handler();
    const nlohmann::json args = arguments(R"({"path":"{root}/missing.png"})");
    const std::string expected = "file not found: " + tree_.path("missing.png");
    EXPECT_EQ(describe(handler->call("ocr_image", args)), expected);
    EXPECT_EQ(describe(handler->call("anything", args)), expected);
    EXPECT_EQ(describe(handler->call_once("ocr_image", nlohmann::json::object())), "missing required argument: path");
}

}  // namespace
