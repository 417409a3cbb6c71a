// Engine-folder, model-file, GPU-layer and development-root discovery, run against temporary
// trees with a pretend executable placed inside them.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "glossel/discovery.h"
#include "support/scratch.h"
#include "tarnwick/tarnwick.h"

namespace {

using test_support::EnvGuard;
using test_support::lib;
using test_support::TempTree;
using test_support::with_root;

// Every variable that discovery reads; a case sets the ones it names and unsets the rest.
const char* const DISCOVERY_VARIABLES[] = {"OCR_DLL_DIR", "OCR_MODEL", "OCR_MMPROJ", "LOCALAPPDATA", "XDG_DATA_HOME", "HOME"};

const std::string NO_ENGINE(glossel::NO_ENGINE_TEXT);
const std::string NO_MODEL(glossel::NO_MODEL_TEXT);

struct Setting {
    std::vector<std::string> tree;               // entries for TempTree::add
    std::map<std::string, std::string> env;      // values may hold {root}
    std::optional<std::string> exe = "{root}/app/glossel";
    bool cwd_is_root = false;                    // run with the tree's root as current folder
    bool needs_links = false;                    // the tree holds symbolic links
};

// Applies a setting for one scope: the tree, the environment and the current folder.
class Scene {
public:
    explicit Scene(const Setting& setting) {
        tree_.add_all(setting.tree);
        for (const char* name : DISCOVERY_VARIABLES) {
            const auto it = setting.env.find(name);
            env_.apply(name, it == setting.env.end() ? std::nullopt : std::optional(with_root(it->second, tree_.root())));
        }
        if (setting.exe) exe_ = with_root(*setting.exe, tree_.root());
        if (setting.cwd_is_root) {
            old_cwd_ = std::filesystem::current_path();
            std::filesystem::current_path(test_support::fs_path(tree_.root()));
        }
    }
    ~Scene() {
        if (old_cwd_) std::filesystem::current_path(*old_cwd_);
    }
    glossel::ExecutablePathSource executable() const {
        return [exe = exe_]() -> std::optional<glossel::NativePath> {
            if (!exe) return std::nullopt;
            return platform::path_from_utf8(*exe);
        };
    }
    std::string expand(const std::string& text) const { return with_root(text, tree_.root()); }
    const TempTree& tree() const { return tree_; }

private:
    TempTree tree_;
    EnvGuard env_;
    std::optional<std::string> exe_;
    std::optional<std::filesystem::path> old_cwd_;
};

std::string describe(const platform::Result<glossel::NativePath>& found) {
    return found ? platform::path_to_utf8(*found) : found.error();
}

std::string describe(const platform::Result<glossel::ModelFiles>& found) {
    return found ? platform::path_to_utf8(found->model) + "|" + platform::path_to_utf8(found->projector) : found.error();
}

std::optional<std::string> describe(const std::optional<glossel::NativePath>& found) {
    if (!found) return std::nullopt;
    return platform::path_to_utf8(*found);
}

// Cases whose trees hold symbolic links run only where the system makes them.
bool skip_for_links(const Setting& setting) { return setting.needs_links && !test_support::can_make_links(); }

// The library test of the engine search is the engine library's find_library; until that is
// built it finds nothing, and cases that need it to find an entry cannot run.
bool library_probe_built() {
    TempTree tree;
    tree.add(lib("llama"));
    return tarnwick::find_library(platform::path_from_utf8(tree.root()), "llama").has_value();
}

TEST(FindEngineDir, TriesVariableThenBesideExecutableThenDevelopmentTree) {
    struct Case {
        const char* name;
        Setting setting;
        std::string expected;        // the folder, {root} expanded, or the error text
        bool needs_library_probe = false;
        std::string piece = "";      // joined to the expanded folder as one piece, '/'s and all
    };
    const std::string llama = lib("llama");
    const std::vector<Case> cases = {
        {"variable is used untested, before the installed folder",
         {{"app/resources/engine/" + llama}, {{"OCR_DLL_DIR", "{root}/custom"}}}, "{root}/custom"},
        {"empty variable is the empty folder, nothing else looked at",
         {{"app/resources/engine/" + llama, "app/CMakeLists.txt", "app/src/"}, {{"OCR_DLL_DIR", ""}}}, ""},
        {"installed folder beside the executable",
         {{"app/resources/engine/" + llama}}, "{root}/app/resources/engine", true},
        {"a folder named like the library passes",
         {{"app/resources/engine/" + llama + "/"}}, "{root}/app/resources/engine", true},
        {"resources/engine before ../Frameworks",
         {{"app/resources/engine/" + llama, "Frameworks/" + llama}}, "{root}/app/resources/engine", true},
        {"bundle Frameworks folder, kept as written",
         {{"Bundle/Contents/MacOS/glossel", "Bundle/Contents/Frameworks/" + llama}, {}, "{root}/Bundle/Contents/MacOS/glossel"},
         "{root}/Bundle/Contents/MacOS", true, "../Frameworks"},
        {"installed folder before the development tree",
         {{"app/resources/engine/" + llama, "CMakeLists.txt", "src/"}}, "{root}/app/resources/engine", true},
        {"other libraries alone do not qualify; development tree taken untested",
         {{"app/resources/engine/" + lib("ggml"), "app/resources/engine/" + lib("mtmd"), "CMakeLists.txt", "src/"}},
         "{root}/spike/vulkan"},
        {"development root in the executable's own folder",
         {{"app/CMakeLists.txt", "app/src/"}}, "{root}/app/spike/vulkan"},
        {"nothing anywhere", {{"app/resources/engine/", "Frameworks/"}}, NO_ENGINE},
        {"executable path unknown", {{"CMakeLists.txt", "src/"}, {}, std::nullopt}, NO_ENGINE},
        {"executable path without a folder", {{}, {}, "glossel"}, NO_ENGINE},
    };
    const bool probe = library_probe_built();
    int skipped = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needs_library_probe && !probe) {
            ++skipped;
            continue;
        }
        const Scene scene(c.setting);
        std::string expected = scene.expand(c.expected);
        if (!c.piece.empty()) expected = test_support::join_piece(expected, c.piece);
        EXPECT_EQ(describe(glossel::find_engine_dir(scene.executable())), expected);
    }
    if (skipped > 0) GTEST_SKIP() << skipped << " cases need tarnwick::find_library, which is not built yet";
}

TEST(FindDevRoot, WalksUpToTheNearestFolderWithBothMarkers) {
    struct Case {
        const char* name;
        Setting setting;
        std::optional<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"own folder", {{"app/CMakeLists.txt", "app/src/"}}, "{root}/app"},
        {"nearest qualifying ancestor wins, decoys passed over",
         {{"dev/build/bin/CMakeLists.txt/", "dev/build/bin/src/",   // marker file is a folder
           "dev/build/CMakeLists.txt", "dev/build/src",             // marker folder is a file
           "dev/CMakeLists.txt", "dev/src/", "CMakeLists.txt", "src/"},
          {}, "{root}/dev/build/bin/glossel"},
         "{root}/dev"},
        {"only one marker", {{"app/CMakeLists.txt", "src/"}}, std::nullopt},
        {"markers reached through links count",
         {{"real/CMakeLists.txt", "real/src/", "app/CMakeLists.txt -> ../real/CMakeLists.txt", "app/src -> ../real/src"},
          {}, "{root}/app/glossel", false, true},
         "{root}/app"},
        {"a link to a missing folder is no folder",
         {{"app/CMakeLists.txt", "app/src -> missing", "CMakeLists.txt", "src/"}, {}, "{root}/app/glossel", false, true},
         "{root}"},
        {"executable path unknown", {{"CMakeLists.txt", "src/"}, {}, std::nullopt}, std::nullopt},
    };
    int skipped = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (skip_for_links(c.setting)) {
            ++skipped;
            continue;
        }
        const Scene scene(c.setting);
        std::optional<std::string> expected;
        if (c.expected) expected = scene.expand(*c.expected);
        EXPECT_EQ(describe(glossel::find_dev_root(scene.executable())), expected);
    }
    test_support::note_skipped(skipped, "they need symbolic links");
}

TEST(FindModelFiles, TakesBothVariablesOrThePairOfOneFolder) {
    const std::string user = "local/varnholt-ocr/models/";
    const std::string dev = "app/spike/models/";
    const std::vector<std::string> dev_root = {"app/CMakeLists.txt", "app/src/"};
    const std::string q8 = "GLM-OCR-Q8_0.gguf";
    const std::string f16 = "GLM-OCR-f16.gguf";
    const std::string mm = "mmproj-GLM-OCR-Q8_0.gguf";
    const std::map<std::string, std::string> local = {{"LOCALAPPDATA", "{root}/local"}};
    const auto tree = [](std::vector<std::string> a, const std::vector<std::string>& b = {}) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const std::string user_q8 = "{root}/" + user + q8 + "|{root}/" + user + mm;
    // The per-user folder comes from HOME or XDG_DATA_HOME on Linux only; Windows has LOCALAPPDATA.
    const auto linux_only = [](const std::string& found) { return test_support::linux_or_windows(found, NO_MODEL); };
    using test_support::join;

    struct Case {
        const char* name;
        Setting setting;
        std::string expected;   // "model|projector", {root} expanded, or the error text
    };
    const std::vector<Case> cases = {
        {"both variables, untested, before any folder",
         {{user + q8, user + mm}, {{"OCR_MODEL", "{root}/no.gguf"}, {"OCR_MMPROJ", "{root}/no-mm.gguf"}, {"LOCALAPPDATA", "{root}/local"}}},
         "{root}/no.gguf|{root}/no-mm.gguf"},
        {"both variables empty", {{}, {{"OCR_MODEL", ""}, {"OCR_MMPROJ", ""}}}, "|"},
        {"OCR_MODEL alone is ignored",
         {{user + q8, user + mm}, {{"OCR_MODEL", "{root}/no.gguf"}, {"LOCALAPPDATA", "{root}/local"}}}, user_q8},
        {"OCR_MMPROJ alone is ignored", {{}, {{"OCR_MMPROJ", "{root}/no-mm.gguf"}}}, NO_MODEL},
        {"Q8_0 before f16", {{user + f16, user + q8, user + mm}, local}, user_q8},
        {"f16 alone", {{user + f16, user + mm}, local}, "{root}/" + user + f16 + "|{root}/" + user + mm},
        {"a folder named like the Q8_0 file is no file",
         {{user + q8 + "/", user + f16, user + mm}, local}, "{root}/" + user + f16 + "|{root}/" + user + mm},
        {"a dangling link is no file",
         {{user + q8 + " -> gone.gguf", user + f16, user + mm}, local, "{root}/app/glossel", false, true},
         "{root}/" + user + f16 + "|{root}/" + user + mm},
        {"folder without projector passed over for the development tree",
         {tree({user + q8, user + f16, dev + f16, dev + mm}, dev_root), local},
         "{root}/" + dev + f16 + "|{root}/" + dev + mm},
        {"projector of one folder never paired with a model of another",
         {tree({user + mm, dev + q8}, dev_root), local}, NO_MODEL},
        {"per-user folder before the development tree",
         {tree({user + q8, user + mm, dev + q8, dev + mm}, dev_root), local}, user_q8},
        {"no per-user folder: development tree only",
         {tree({dev + q8, dev + mm}, dev_root)}, "{root}/" + dev + q8 + "|{root}/" + dev + mm},
        {"no per-user folder outside a development tree", {{user + q8, user + mm}}, NO_MODEL},
        {"LOCALAPPDATA empty: relative to the current folder",
         {{"varnholt-ocr/models/" + q8, "varnholt-ocr/models/" + mm}, {{"LOCALAPPDATA", ""}}, "{root}/app/glossel", true},
         join("", "varnholt-ocr/models/" + q8) + "|" + join("", "varnholt-ocr/models/" + mm)},
        {"LOCALAPPDATA set hides the XDG folder",
         {{"local/", "xdg/varnholt-ocr/models/" + q8, "xdg/varnholt-ocr/models/" + mm},
          {{"LOCALAPPDATA", "{root}/local"}, {"XDG_DATA_HOME", "{root}/xdg"}}},
         NO_MODEL},
        {"XDG_DATA_HOME",
         {{"xdg/varnholt-ocr/models/" + q8, "xdg/varnholt-ocr/models/" + mm, "home/.local/share/varnholt-ocr/models/" + f16,
           "home/.local/share/varnholt-ocr/models/" + mm},
          {{"XDG_DATA_HOME", "{root}/xdg"}, {"HOME", "{root}/home"}}},
         linux_only("{root}/xdg/varnholt-ocr/models/" + q8 + "|{root}/xdg/varnholt-ocr/models/" + mm)},
        {"relative XDG_DATA_HOME ignored for HOME",
         {{"xdg/varnholt-ocr/models/" + q8, "xdg/varnholt-ocr/models/" + mm, "home/.local/share/varnholt-ocr/models/" + f16,
           "home/.local/share/varnholt-ocr/models/" + mm},
          {{"XDG_DATA_HOME", "xdg"}, {"HOME", "{root}/home"}}, "{root}/app/glossel", true},
         linux_only("{root}/home/.local/share/varnholt-ocr/models/" + f16 + "|{root}/home/.local/share/varnholt-ocr/models/" + mm)},
        {"empty XDG_DATA_HOME ignored for HOME",
         {{"home/.local/share/varnholt-ocr/models/" + q8, "home/.local/share/varnholt-ocr/models/" + mm},
          {{"XDG_DATA_HOME", ""}, {"HOME", "{root}/home"}}},
         linux_only("{root}/home/.local/share/varnholt-ocr/models/" + q8 + "|{root}/home/.local/share/varnholt-ocr/models/" + mm)},
    };
    int skipped = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (skip_for_links(c.setting)) {
            ++skipped;
            continue;
        }
        const Scene scene(c.setting);
        EXPECT_EQ(describe(glossel::find_model_files(scene.executable())), scene.expand(c.expected));
    }
    test_support::note_skipped(skipped, "they need symbolic links");
}

TEST(FindModelFiles, SeesFilesInstalledAfterAFailedSearch) {
    const Scene scene({{}, {{"LOCALAPPDATA", "{root}"}}});
    EXPECT_EQ(describe(glossel::find_model_files(scene.executable())), NO_MODEL);
    scene.tree().add_all({"varnholt-ocr/models/GLM-OCR-f16.gguf", "varnholt-ocr/models/mmproj-GLM-OCR-Q8_0.gguf"});
    EXPECT_EQ(describe(glossel::find_model_files(scene.executable())),
              scene.expand("{root}/varnholt-ocr/models/GLM-OCR-f16.gguf|{root}/varnholt-ocr/models/mmproj-GLM-OCR-Q8_0.gguf"));
}

TEST(ChooseGpuLayers, AllLayersOnTheGpuWhenAVulkanOrMetalBackendIsThere) {
    struct Case {
        const char* name;
        std::vector<std::string> tree;
        std::int32_t expected;
    };
    const std::vector<Case> cases = {
        {"vulkan backend", {"engine/" + lib("ggml"), "engine/" + lib("ggml-vulkan")}, -1},
        {"metal backend only", {"engine/" + lib("ggml-metal")}, -1},
        {"a folder named like the backend", {"engine/" + lib("ggml-vulkan") + "/"}, -1},
        {"processor backends only",
         {"engine/" + lib("ggml"), "engine/" + lib("llama"), "engine/" + lib("ggml-cpu"),
          "engine/" + test_support::foreign_lib("ggml-vulkan")},
         0},
        {"missing folder", {}, 0},
    };
    const bool probe = library_probe_built();
    int skipped = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.expected == -1 && !probe) {
            ++skipped;
            continue;
        }
        TempTree tree;
        tree.add_all(c.tree);
        EXPECT_EQ(glossel::choose_gpu_layers(platform::path_from_utf8(tree.path("engine"))), c.expected);
    }
    if (skipped > 0) GTEST_SKIP() << skipped << " cases need tarnwick::find_library, which is not built yet";
}

TEST(Discovery, PublicSearchesReadTheRunningProcess) {
    EnvGuard env;
    env.set("OCR_DLL_DIR", "/opt/engine");
    EXPECT_EQ(describe(glossel::find_engine_dir()), "/opt/engine");

    // This test program is built inside the checkout, whose root holds both markers.
    const auto text = [](const std::filesystem::path& path) { return platform::path_to_utf8(path.native()); };
    const std::filesystem::path source_root = std::filesystem::path(TEST_SOURCE_DIR).parent_path();
    const std::string build_dir = text(std::filesystem::weakly_canonical(TEST_BUILD_DIR));
    const std::string canonical_root = text(std::filesystem::weakly_canonical(source_root));
    if (!build_dir.starts_with(test_support::join(canonical_root, ""))) GTEST_SKIP() << "build folder outside the checkout";
    EXPECT_EQ(describe(glossel::find_dev_root()), canonical_root);
}

}  // namespace
