// The library binding against the stand-in inference libraries: load order, log silencing,
// failure texts and the libraries closed on each failure, and the shared table's counts.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "host.h"
#include "support/scratch.h"
#include "tarnwick/library.h"
#include "tarnwick/tarnwick.h"

namespace {

using platform::NativePath;
using platform::path_from_utf8;
using standin::TempFolder;
using test_support::lib;
using Strings = std::vector<std::string>;

const std::string kEngine = standin::engine_dir();
const std::string kGgml = standin::engine_file("ggml");
const std::string kGgmlBase = standin::engine_file("ggml-base");
const std::string kLlama = standin::engine_file("llama");
const std::string kMtmd = standin::engine_file("mtmd");

// Places the named libraries (file name -> target) in the folder.
void populate(const TempFolder& folder, const std::vector<std::pair<std::string, std::string>>& files) {
    for (const auto& [name, target] : files) folder.link(name, target);
}

std::optional<std::string> found(std::optional<NativePath> path) {
    if (!path) return std::nullopt;
    return platform::path_to_utf8(*path);
}

class LoadEngineLibrary : public ::testing::Test {
protected:
    void SetUp() override { standin::reset(); }
    standin::ScopedEnv log_{"TARNWICK_LOG", std::nullopt};
};

TEST(FindLibrary, JoinsTheLibraryFileNameAndAcceptsAnyEntry) {
    TempFolder folder;
    folder.write(lib("llama"), "x");
    folder.make_folder(lib("ggml-vulkan"));
    const bool links = test_support::can_make_links();
    if (links) folder.link(lib("ggml-metal"), folder.file("nowhere"));
    struct Case { std::string folder; const char* stem; std::optional<std::string> found; };
    const Case cases[] = {
        {folder.path(), "llama", folder.file(lib("llama"))},
        {folder.file(""), "llama", folder.file(lib("llama"))},                // a separator at the end
        {folder.path(), "ggml-vulkan", folder.file(lib("ggml-vulkan"))},      // a folder counts
        {folder.path(), "ggml-metal", std::nullopt},                          // a link to nothing
        {folder.path(), "mtmd", std::nullopt},
        {folder.file("absent"), "llama", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folder + " " + c.stem);
        EXPECT_EQ(found(tarnwick::find_library(path_from_utf8(c.folder), c.stem)), c.found);
    }
    test_support::note_skipped(links ? 0 : 1, "a dangling link needs symbolic links");
}

// Every failure of the load: its text and the libraries opened and closed, in order.
TEST_F(LoadEngineLibrary, FailuresCloseWhatWasOpenedLastFirst) {
    struct Case {
        const char* name;
        std::function<std::string(const TempFolder&)> prepare;  // gives the folder to load
        std::string error;         // "{dir}" is the folder; an open failure: the file it names
        Strings events;            // "{dir}" likewise
        bool open_failure = false;
    };
    const auto in_dir = [](std::string_view stem) { return test_support::join("{dir}", lib(stem)); };
    const std::string load_ggml = standin::opened(in_dir("ggml")), load_llama = standin::opened(in_dir("llama")),
                      load_mtmd = standin::opened(in_dir("mtmd")), load_base = standin::opened(in_dir("ggml-base"));
    const Strings close_all = {standin::closed("mtmd"), standin::closed("llama"), standin::closed("ggml")};
    const auto not_found = [](std::string_view stem) { return lib(stem) + " not found in {dir}"; };
    auto with = [](Strings a, const Strings& b) { a.insert(a.end(), b.begin(), b.end()); return a; };
    const Case cases[] = {
        {"absent folder", [](const TempFolder& f) { return f.file("absent"); }, not_found("ggml"), {}},
        {"folder with NUL", [](const TempFolder& f) { return f.path() + std::string("\0x", 2); }, not_found("ggml"), {}},
        {"the ggml library is a folder", [](const TempFolder& f) { f.make_folder(lib("ggml")); return f.path(); },
         in_dir("ggml"), {load_ggml}, true},
        {"llama absent", [](const TempFolder& f) { populate(f, {{lib("ggml"), kGgml}}); return f.path(); },
         not_found("llama"), {load_ggml, standin::closed("ggml")}},
        {"mtmd absent",
         [](const TempFolder& f) { populate(f, {{lib("ggml"), kGgml}, {lib("llama"), kLlama}}); return f.path(); },
         not_found("mtmd"), {load_ggml, load_llama, standin::closed("llama"), standin::closed("ggml")}},
        {"mtmd not a library",
         [](const TempFolder& f) {
             populate(f, {{lib("ggml"), kGgml}, {lib("llama"), kLlama}});
             f.write(lib("mtmd"), "not a library");
             return f.path();
         },
         in_dir("mtmd"), {load_ggml, load_llama, load_mtmd, standin::closed("llama"), standin::closed("ggml")}, true},
        {"no ggml_backend_load_all_from_path",
         [](const TempFolder& f) {
             populate(f, {{lib("ggml"), standin::variant("no-backend-load", "ggml")},
                          {lib("llama"), kLlama}, {lib("mtmd"), kMtmd}});
             return f.path();
         },
         standin::missing_symbol("ggml_backend_load_all_from_path"), with({load_ggml, load_llama, load_mtmd}, close_all)},
        // ggml-base is opened to silence it and is never closed, not even on failure.
        {"no mtmd_helper_eval_chunks",
         [](const TempFolder& f) {
             populate(f, {{lib("ggml"), kGgml}, {lib("ggml-base"), kGgmlBase}, {lib("llama"), kLlama},
                          {lib("mtmd"), standin::variant("no-eval-chunks", "mtmd")}});
             return f.path();
         },
         standin::missing_symbol("mtmd_helper_eval_chunks"),
         with({load_ggml, load_llama, load_mtmd, load_base}, close_all)},
        // The two slots after the first 32, resolved from mtmd in the same way.
        {"no mtmd_helper_get_n_tokens",
         [](const TempFolder& f) {
             populate(f, {{lib("ggml"), kGgml}, {lib("llama"), kLlama},
                          {lib("mtmd"), standin::variant("no-n-tokens", "mtmd")}});
             return f.path();
         },
         standin::missing_symbol("mtmd_helper_get_n_tokens"), with({load_ggml, load_llama, load_mtmd}, close_all)},
        {"no mtmd_helper_video_free",
         [](const TempFolder& f) {
             populate(f, {{lib("ggml"), kGgml}, {lib("llama"), kLlama},
                          {lib("mtmd"), standin::variant("no-video-free", "mtmd")}});
             return f.path();
         },
         standin::missing_symbol("mtmd_helper_video_free"), with({load_ggml, load_llama, load_mtmd}, close_all)},
        {"no llama_n_ctx nor llama_decode: only the first is named",
         [](const TempFolder& f) {
             populate(f, {{lib("ggml"), kGgml}, {lib("llama"), standin::variant("no-n-ctx-decode", "llama")},
                          {lib("mtmd"), kMtmd}});
             return f.path();
         },
         standin::missing_symbol("llama_n_ctx"), with({load_ggml, load_llama, load_mtmd}, close_all)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        standin::reset();
        TempFolder folder;
        const std::string dir = c.prepare(folder);
        auto fill = [&](std::string text) {
            for (std::size_t at = 0; (at = text.find("{dir}", at)) != std::string::npos; at += dir.size()) {
                text.replace(at, 5, dir);
            }
            return text;
        };
        tarnwick::Result<tarnwick::LibraryRef> loaded = tarnwick::load_engine_library(path_from_utf8(dir));
        ASSERT_FALSE(loaded.ok());
        if (c.open_failure) {
            EXPECT_TRUE(standin::is_open_failure(loaded.error(), fill(c.error))) << loaded.error();
        } else {
            EXPECT_EQ(loaded.error(), fill(c.error));
        }
        Strings events;
        for (const std::string& e : c.events) events.push_back(fill(e));
        EXPECT_EQ(standin::dl_events(), events);
        EXPECT_TRUE(standin::calls_of({"llama_backend_init"}).empty());
    }
}

TEST_F(LoadEngineLibrary, EmptyFolderMeansTheCurrentFolder) {
    const std::filesystem::path old_cwd = std::filesystem::current_path();
    TempFolder empty, engine;
    populate(engine, {{lib("ggml"), kGgml}, {lib("llama"), kLlama}, {lib("mtmd"), kMtmd}});

    std::filesystem::current_path(test_support::fs_path(empty.path()));
    tarnwick::Result<tarnwick::LibraryRef> missing = tarnwick::load_engine_library(NativePath());
    std::filesystem::current_path(test_support::fs_path(engine.path()));
    tarnwick::Result<tarnwick::LibraryRef> found = tarnwick::load_engine_library(NativePath());
    std::filesystem::current_path(old_cwd);

    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error(), lib("ggml") + " not found in ");
    ASSERT_TRUE(found.ok()) << found.error();
    // The files of the current folder, never a search of the system's library folders.
    const std::string here = standin::current_folder_prefix();
    EXPECT_EQ(standin::dl_events(), (Strings{standin::opened(here + lib("ggml")), standin::opened(here + lib("llama")),
                                             standin::opened(here + lib("mtmd"))}));
    EXPECT_EQ(standin::calls_of({"ggml_backend_load_all_from_path"}),
              Strings{"ggml_backend_load_all_from_path dir_path=\"\""});
}

// Successful loads: which setters run, what the plug-in loader gets, what is opened.
TEST_F(LoadEngineLibrary, SilencesTheLibrariesUnlessTarnwickLogIsSet) {
    const std::string helper_setter = "mtmd_helper_log_set callback=set user_data=null";
    const std::string base_setter = "ggml_log_set lib=ggml-base callback=set user_data=null";
    const std::string ggml_setter = "ggml_log_set lib=ggml callback=set user_data=null";
    Strings all_setters = {"llama_log_set callback=set user_data=null", "mtmd_log_set callback=set user_data=null",
                           helper_setter, base_setter};
    if (standin::ggml_exports_log_set()) all_setters.push_back(ggml_setter);
    struct Case {
        const char* name;
        std::optional<std::string> tarnwick_log;
        std::vector<std::pair<std::string, std::string>> files;
        bool broken_base = false;
        Strings setters;  // the setter calls, in order
        bool base_opened = false;
    };
    auto without = [&](const std::string& setter) {
        Strings s = all_setters;
        std::erase(s, setter);
        return s;
    };
    const std::vector<std::pair<std::string, std::string>> required = {
        {lib("ggml"), kGgml}, {lib("llama"), kLlama}, {lib("mtmd"), kMtmd}};
    auto plus = [&](std::vector<std::pair<std::string, std::string>> extra) {
        auto files = required;
        for (auto& e : extra) {
            bool replaced = false;
            for (auto& f : files) {
                if (f.first == e.first) { f.second = e.second; replaced = true; }
            }
            if (!replaced) files.push_back(e);
        }
        return files;
    };
    const Case cases[] = {
        {"unset, with ggml-base", std::nullopt, plus({{lib("ggml-base"), kGgmlBase}}), false, all_setters, true},
        {"set empty", std::string(), plus({{lib("ggml-base"), kGgmlBase}}), false, {}, false},
        {"set to 1", std::string("1"), plus({{lib("ggml-base"), kGgmlBase}}), false, {}, false},
        {"unset, no ggml-base", std::nullopt, required, false, without(base_setter), false},
        {"unset, broken ggml-base", std::nullopt, required, true, without(base_setter), true},
        {"no mtmd_helper_log_set", std::nullopt,
         plus({{lib("ggml-base"), kGgmlBase}, {lib("mtmd"), standin::variant("no-helper-log", "mtmd")}}),
         false, without(helper_setter), true},
        {"no ggml_log_set in ggml", std::nullopt,
         plus({{lib("ggml-base"), kGgmlBase}, {lib("ggml"), standin::variant("no-log-set", "ggml")}}),
         false, without(ggml_setter), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        standin::reset();
        standin::ScopedEnv log("TARNWICK_LOG", c.tarnwick_log);
        TempFolder folder;
        populate(folder, c.files);
        if (c.broken_base) folder.write(lib("ggml-base"), "not a library");

        tarnwick::Result<tarnwick::LibraryRef> loaded = tarnwick::load_engine_library(path_from_utf8(folder.path()));
        ASSERT_TRUE(loaded.ok()) << loaded.error();

        Strings expected = c.setters;
        expected.push_back("ggml_backend_load_all_from_path dir_path=\"" + standin::escape(folder.path()) + "\"");
        expected.push_back("llama_backend_init");
        EXPECT_EQ(standin::calls(), expected);
        Strings opened = {standin::opened(folder.file(lib("ggml"))), standin::opened(folder.file(lib("llama"))),
                          standin::opened(folder.file(lib("mtmd")))};
        if (c.base_opened) opened.push_back(standin::opened(folder.file(lib("ggml-base"))));
        EXPECT_EQ(standin::dl_events(), opened);
    }
}

TEST_F(LoadEngineLibrary, OpensTheExactPathButHandsThePluginLoaderUtf8) {
    TempFolder parent;
    // A folder whose name is no valid text: the loader opens its files by the exact name, and
    // the plug-in loader, which takes text, gets U+FFFD in its place.
    const NativePath odd = test_support::path_with_invalid_piece(parent.file("eng"), "ine");
    std::error_code made;
    std::filesystem::create_directory(std::filesystem::path(odd), made);
    if (made) GTEST_SKIP() << "this file system cannot hold such a name";
    for (const char* stem : {"ggml", "llama", "mtmd"}) {
        std::filesystem::copy_file(test_support::fs_path(standin::engine_file(stem)),
                                   std::filesystem::path(odd) / test_support::fs_path(lib(stem)));
    }
    populate(parent, {{lib("ggml"), kGgml}, {lib("llama"), kLlama}, {lib("mtmd"), kMtmd}});
    struct Case { NativePath folder; NativePath opened_ggml; std::string dir_text; };
    const Case cases[] = {
        {path_from_utf8(parent.file("")), path_from_utf8(parent.file(lib("ggml"))), parent.file("")},
        {odd, platform::join_path(odd, lib("ggml")), parent.file("eng\xEF\xBF\xBDine")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dir_text);
        standin::reset();
        tarnwick::Result<tarnwick::LibraryRef> loaded = tarnwick::load_engine_library(c.folder);
        ASSERT_TRUE(loaded.ok()) << loaded.error();
        ASSERT_FALSE(standin::dl_events().empty());
        EXPECT_EQ(standin::dl_events()[0], standin::opened_native(c.opened_ggml));
        EXPECT_EQ(standin::calls_of({"ggml_backend_load_all_from_path"}),
                  Strings{"ggml_backend_load_all_from_path dir_path=\"" + standin::escape(c.dir_text) + "\""});
    }
    std::filesystem::remove_all(std::filesystem::path(odd));
}

TEST_F(LoadEngineLibrary, TwoLoadsGiveTwoTablesThatOutliveEachOther) {
    const NativePath engine = path_from_utf8(kEngine);
    tarnwick::Result<tarnwick::LibraryRef> first = tarnwick::load_engine_library(engine);
    tarnwick::Result<tarnwick::LibraryRef> second = tarnwick::load_engine_library(engine);
    ASSERT_TRUE(first.ok() && second.ok());
    EXPECT_NE(&**first, &**second);
    EXPECT_EQ(first->strong_count(), 1u);
    EXPECT_EQ(second->strong_count(), 1u);
    EXPECT_EQ(standin::calls_of({"llama_backend_init"}).size(), 2u);  // once per load

    // Releasing every reference to the first frees only its table and calls nothing.
    const std::size_t calls_before = standin::calls().size();
    first->reset();
    EXPECT_FALSE(*first);
    EXPECT_EQ(standin::calls().size(), calls_before);
    standin::reset();
    (*second)->llama_backend_init();
    EXPECT_EQ(standin::calls(), Strings{"llama_backend_init"});
    EXPECT_TRUE(standin::dl_events().empty());  // nothing was closed

    tarnwick::Result<tarnwick::LibraryRef> third = tarnwick::load_engine_library(engine);
    EXPECT_TRUE(third.ok());
}

TEST_F(LoadEngineLibrary, ReferencesAreCountedAndTheTableHoldsTheHandles) {
    tarnwick::Result<tarnwick::LibraryRef> loaded = tarnwick::load_engine_library(path_from_utf8(kEngine));
    ASSERT_TRUE(loaded.ok());
    tarnwick::LibraryRef& ref = *loaded;
    {
        tarnwick::LibraryRef copy = ref;
        EXPECT_EQ(ref.strong_count(), 2u);
        tarnwick::LibraryRef moved = std::move(copy);
        EXPECT_EQ(ref.strong_count(), 2u);
        EXPECT_FALSE(copy);
    }
    EXPECT_EQ(ref.strong_count(), 1u);

    // The handles are those of the libraries the slots came from.
    EXPECT_NE(standin::symbol(ref->ggml, "ggml_backend_load_all_from_path"), nullptr);
    EXPECT_EQ(reinterpret_cast<void*>(ref->llama_decode), standin::symbol(ref->llama, "llama_decode"));
    EXPECT_EQ(reinterpret_cast<void*>(ref->mtmd_helper_eval_chunks), standin::symbol(ref->mtmd, "mtmd_helper_eval_chunks"));
    EXPECT_EQ(reinterpret_cast<void*>(ref->mtmd_helper_get_n_tokens), standin::symbol(ref->mtmd, "mtmd_helper_get_n_tokens"));
    EXPECT_EQ(reinterpret_cast<void*>(ref->mtmd_helper_video_free), standin::symbol(ref->mtmd, "mtmd_helper_video_free"));
}

}  // namespace
