// The library binding against the stand-in inference libraries: load order, log silencing,
// failure texts and the libraries closed on each failure, and the shared table's counts.

#include <gtest/gtest.h>
#include <dlfcn.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "host.h"
#include "tarnwick/library.h"
#include "tarnwick/tarnwick.h"

namespace {

using standin::TempFolder;
using Strings = std::vector<std::string>;

const std::string kEngine = standin::engine_dir();
const std::string kGgml = kEngine + "/libggml.so";
const std::string kGgmlBase = kEngine + "/libggml-base.so";
const std::string kLlama = kEngine + "/libllama.so";
const std::string kMtmd = kEngine + "/libmtmd.so";

// Links the named libraries (file name -> target) into the folder.
void populate(const TempFolder& folder, const std::vector<std::pair<std::string, std::string>>& files) {
    for (const auto& [name, target] : files) folder.link(name, target);
}

class LoadEngineLibrary : public ::testing::Test {
protected:
    void SetUp() override { standin::reset(); }
    standin::ScopedEnv log_{"TARNWICK_LOG", std::nullopt};
};

TEST(FindLibrary, JoinsLibStemSoAndAcceptsAnyEntry) {
    TempFolder folder;
    folder.write("libllama.so", "x");
    folder.make_folder("libggml-vulkan.so");
    folder.link("libggml-metal.so", folder.file("nowhere"));
    struct Case { std::string folder; const char* stem; std::optional<std::string> found; };
    const Case cases[] = {
        {folder.path(), "llama", folder.file("libllama.so")},
        {folder.path() + "/", "llama", folder.file("libllama.so")},
        {folder.path(), "ggml-vulkan", folder.file("libggml-vulkan.so")},  // a folder counts
        {folder.path(), "ggml-metal", std::nullopt},                       // a link to nothing
        {folder.path(), "mtmd", std::nullopt},
        {folder.file("absent"), "llama", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folder + " " + c.stem);
        EXPECT_EQ(tarnwick::find_library(c.folder, c.stem), c.found);
    }
}

// Every failure of the load: its text and the libraries opened and closed, in order.
TEST_F(LoadEngineLibrary, FailuresCloseWhatWasOpenedLastFirst) {
    struct Case {
        const char* name;
        std::function<std::string(const TempFolder&)> prepare;  // gives the folder to load
        std::string error;                                       // "{dir}" is the folder
        Strings events;                                          // "{dir}" likewise
        bool error_is_prefix = false;
    };
    const std::string load_ggml = "dlopen {dir}/libggml.so", load_llama = "dlopen {dir}/libllama.so",
                      load_mtmd = "dlopen {dir}/libmtmd.so", load_base = "dlopen {dir}/libggml-base.so";
    const Strings close_all = {"dlclose libmtmd.so", "dlclose libllama.so", "dlclose libggml.so"};
    auto with = [](Strings a, const Strings& b) { a.insert(a.end(), b.begin(), b.end()); return a; };
    const Case cases[] = {
        {"absent folder", [](const TempFolder& f) { return f.file("absent"); },
         "libggml.so not found in {dir}", {}},
        {"folder with NUL", [](const TempFolder& f) { return f.path() + std::string("\0x", 2); },
         "libggml.so not found in {dir}", {}},
        {"libggml.so is a folder", [](const TempFolder& f) { f.make_folder("libggml.so"); return f.path(); },
         "failed to load {dir}/libggml.so: dlopen failed: ", {load_ggml}, true},
        {"llama absent", [](const TempFolder& f) { populate(f, {{"libggml.so", kGgml}}); return f.path(); },
         "libllama.so not found in {dir}", {load_ggml, "dlclose libggml.so"}},
        {"mtmd absent",
         [](const TempFolder& f) { populate(f, {{"libggml.so", kGgml}, {"libllama.so", kLlama}}); return f.path(); },
         "libmtmd.so not found in {dir}", {load_ggml, load_llama, "dlclose libllama.so", "dlclose libggml.so"}},
        {"mtmd not a library",
         [](const TempFolder& f) {
             populate(f, {{"libggml.so", kGgml}, {"libllama.so", kLlama}});
             f.write("libmtmd.so", "not a library");
             return f.path();
         },
         "failed to load {dir}/libmtmd.so: dlopen failed: ",
         {load_ggml, load_llama, load_mtmd, "dlclose libllama.so", "dlclose libggml.so"}, true},
        {"no ggml_backend_load_all_from_path",
         [](const TempFolder& f) {
             populate(f, {{"libggml.so", standin::variant("no-backend-load", "libggml.so")},
                          {"libllama.so", kLlama}, {"libmtmd.so", kMtmd}});
             return f.path();
         },
         "missing symbol ggml_backend_load_all_from_path: dlsym failed", with({load_ggml, load_llama, load_mtmd}, close_all)},
        // ggml-base is opened to silence it and is never closed, not even on failure.
        {"no mtmd_helper_eval_chunks",
         [](const TempFolder& f) {
             populate(f, {{"libggml.so", kGgml}, {"libggml-base.so", kGgmlBase}, {"libllama.so", kLlama},
                          {"libmtmd.so", standin::variant("no-eval-chunks", "libmtmd.so")}});
             return f.path();
         },
         "missing symbol mtmd_helper_eval_chunks: dlsym failed",
         with({load_ggml, load_llama, load_mtmd, load_base}, close_all)},
        // The two slots after the first 32, resolved from mtmd in the same way.
        {"no mtmd_helper_get_n_tokens",
         [](const TempFolder& f) {
             populate(f, {{"libggml.so", kGgml}, {"libllama.so", kLlama},
                          {"libmtmd.so", standin::variant("no-n-tokens", "libmtmd.so")}});
             return f.path();
         },
         "missing symbol mtmd_helper_get_n_tokens: dlsym failed", with({load_ggml, load_llama, load_mtmd}, close_all)},
        {"no mtmd_helper_video_free",
         [](const TempFolder& f) {
             populate(f, {{"libggml.so", kGgml}, {"libllama.so", kLlama},
                          {"libmtmd.so", standin::variant("no-video-free", "libmtmd.so")}});
             return f.path();
         },
         "missing symbol mtmd_helper_video_free: dlsym failed", with({load_ggml, load_llama, load_mtmd}, close_all)},
        {"no llama_n_ctx nor llama_decode: only the first is named",
         [](const TempFolder& f) {
             populate(f, {{"libggml.so", kGgml}, {"libllama.so", standin::variant("no-n-ctx-decode", "libllama.so")},
                          {"libmtmd.so", kMtmd}});
             return f.path();
         },
         "missing symbol llama_n_ctx: dlsym failed", with({load_ggml, load_llama, load_mtmd}, close_all)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        standin::reset();
        TempFolder folder;
        const std::string dir = c.prepare(folder);
        auto fill = [&](std::string text) {
            for (std::size_t at; (at = text.find("{dir}")) != std::string::npos;) text.replace(at, 5, dir);
            return text;
        };
        tarnwick::Result<tarnwick::LibraryRef> loaded = tarnwick::load_engine_library(dir);
        ASSERT_FALSE(loaded.ok());
        if (c.error_is_prefix) {
            EXPECT_EQ(loaded.error().substr(0, fill(c.error).size()), fill(c.error)) << loaded.error();
            EXPECT_GT(loaded.error().size(), fill(c.error).size());
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
    char old_cwd[4096];
    ASSERT_NE(::getcwd(old_cwd, sizeof old_cwd), nullptr);
    TempFolder empty, engine;
    populate(engine, {{"libggml.so", kGgml}, {"libllama.so", kLlama}, {"libmtmd.so", kMtmd}});

    ASSERT_EQ(::chdir(empty.path().c_str()), 0);
    tarnwick::Result<tarnwick::LibraryRef> missing = tarnwick::load_engine_library("");
    ASSERT_EQ(::chdir(engine.path().c_str()), 0);
    tarnwick::Result<tarnwick::LibraryRef> found = tarnwick::load_engine_library("");
    ASSERT_EQ(::chdir(old_cwd), 0);

    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error(), "libggml.so not found in ");
    ASSERT_TRUE(found.ok()) << found.error();
    // The files of the current folder, never a search of the system's library folders.
    EXPECT_EQ(standin::dl_events(), (Strings{"dlopen ./libggml.so", "dlopen ./libllama.so", "dlopen ./libmtmd.so"}));
    EXPECT_EQ(standin::calls_of({"ggml_backend_load_all_from_path"}),
              Strings{"ggml_backend_load_all_from_path dir_path=\"\""});
}

// Successful loads: which setters run, what the plug-in loader gets, what is opened.
TEST_F(LoadEngineLibrary, SilencesTheLibrariesUnlessTarnwickLogIsSet) {
    const Strings all_setters = {"llama_log_set callback=set user_data=null",
                                 "mtmd_log_set callback=set user_data=null",
                                 "mtmd_helper_log_set callback=set user_data=null",
                                 "ggml_log_set lib=ggml-base callback=set user_data=null",
                                 "ggml_log_set lib=ggml callback=set user_data=null"};
    struct Case {
        const char* name;
        std::optional<std::string> tarnwick_log;
        std::vector<std::pair<std::string, std::string>> files;
        bool broken_base = false;
        Strings setters;  // the setter calls, in order
        bool base_opened = false;
    };
    auto without = [&](std::size_t skip) {
        Strings s = all_setters;
        s.erase(s.begin() + static_cast<std::ptrdiff_t>(skip));
        return s;
    };
    const std::vector<std::pair<std::string, std::string>> required = {
        {"libggml.so", kGgml}, {"libllama.so", kLlama}, {"libmtmd.so", kMtmd}};
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
        {"unset, with ggml-base", std::nullopt, plus({{"libggml-base.so", kGgmlBase}}), false, all_setters, true},
        {"set empty", std::string(), plus({{"libggml-base.so", kGgmlBase}}), false, {}, false},
        {"set to 1", std::string("1"), plus({{"libggml-base.so", kGgmlBase}}), false, {}, false},
        {"unset, no ggml-base", std::nullopt, required, false, without(3), false},
        {"unset, broken ggml-base", std::nullopt, required, true, without(3), true},
        {"no mtmd_helper_log_set", std::nullopt,
         plus({{"libggml-base.so", kGgmlBase}, {"libmtmd.so", standin::variant("no-helper-log", "libmtmd.so")}}),
         false, without(2), true},
        {"no ggml_log_set in ggml", std::nullopt,
         plus({{"libggml-base.so", kGgmlBase}, {"libggml.so", standin::variant("no-log-set", "libggml.so")}}),
         false, without(4), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        standin::reset();
        standin::ScopedEnv log("TARNWICK_LOG", c.tarnwick_log);
        TempFolder folder;
        populate(folder, c.files);
        if (c.broken_base) folder.write("libggml-base.so", "not a library");

        tarnwick::Result<tarnwick::LibraryRef> loaded = tarnwick::load_engine_library(folder.path());
        ASSERT_TRUE(loaded.ok()) << loaded.error();

        Strings expected = c.setters;
        expected.push_back("ggml_backend_load_all_from_path dir_path=\"" + standin::escape(folder.path()) + "\"");
        expected.push_back("llama_backend_init");
        EXPECT_EQ(standin::calls(), expected);
        Strings opened = {"dlopen " + folder.file("libggml.so"), "dlopen " + folder.file("libllama.so"),
                          "dlopen " + folder.file("libmtmd.so")};
        if (c.base_opened) opened.push_back("dlopen " + folder.file("libggml-base.so"));
        EXPECT_EQ(standin::dl_events(), opened);
    }
}

TEST_F(LoadEngineLibrary, OpensTheExactPathButHandsThePluginLoaderUtf8) {
    TempFolder parent;
    struct Case { std::string folder; std::string opened_ggml; std::string dir_text; };
    const Case cases[] = {
        {parent.path() + "/", parent.path() + "/libggml.so", parent.path() + "/"},
        {parent.file("eng\xFF" "ine"), parent.path() + "/eng\xFF" "ine/libggml.so", parent.path() + "/eng\xEF\xBF\xBDine"},
    };
    parent.link("eng\xFF" "ine", kEngine);
    populate(parent, {{"libggml.so", kGgml}, {"libllama.so", kLlama}, {"libmtmd.so", kMtmd}});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folder);
        standin::reset();
        tarnwick::Result<tarnwick::LibraryRef> loaded = tarnwick::load_engine_library(c.folder);
        ASSERT_TRUE(loaded.ok()) << loaded.error();
        ASSERT_FALSE(standin::dl_events().empty());
        EXPECT_EQ(standin::dl_events()[0], "dlopen " + c.opened_ggml);
        EXPECT_EQ(standin::calls_of({"ggml_backend_load_all_from_path"}),
                  Strings{"ggml_backend_load_all_from_path dir_path=\"" + standin::escape(c.dir_text) + "\""});
    }
}

TEST_F(LoadEngineLibrary, TwoLoadsGiveTwoTablesThatOutliveEachOther) {
    tarnwick::Result<tarnwick::LibraryRef> first = tarnwick::load_engine_library(kEngine);
    tarnwick::Result<tarnwick::LibraryRef> second = tarnwick::load_engine_library(kEngine);
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

    tarnwick::Result<tarnwick::LibraryRef> third = tarnwick::load_engine_library(kEngine);
    EXPECT_TRUE(third.ok());
}

TEST_F(LoadEngineLibrary, ReferencesAreCountedAndTheTableHoldsTheHandles) {
    tarnwick::Result<tarnwick::LibraryRef> loaded = tarnwick::load_engine_library(kEngine);
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
    EXPECT_EQ(dlsym(ref->ggml, "ggml_backend_load_all_from_path") != nullptr, true);
    EXPECT_EQ(reinterpret_cast<void*>(ref->llama_decode), dlsym(ref->llama, "llama_decode"));
    EXPECT_EQ(reinterpret_cast<void*>(ref->mtmd_helper_eval_chunks), dlsym(ref->mtmd, "mtmd_helper_eval_chunks"));
    EXPECT_EQ(reinterpret_cast<void*>(ref->mtmd_helper_get_n_tokens), dlsym(ref->mtmd, "mtmd_helper_get_n_tokens"));
    EXPECT_EQ(reinterpret_cast<void*>(ref->mtmd_helper_video_free), dlsym(ref->mtmd, "mtmd_helper_video_free"));
}

}  // namespace
