// The ocr_image tool end to end: the real glossel binary on pipes, the stand-in inference libraries
// in engine folders assembled in temporary trees, and the stand-ins' script and call log. Requests
// go out one at a time, each after the previous reply, so a test can change the tree in between.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "glossel/discovery.h"
#include "host.h"
#include "support/run_process.h"
#include "support/scratch.h"
#include "tarnwick/tarnwick.h"

namespace {

using test_support::lib;
using test_support::linux_or_windows;
using test_support::TempTree;
using test_support::with_root;
using Strings = std::vector<std::string>;

const std::string NO_MODEL(glossel::NO_MODEL_TEXT);
const char* const ENGINE_LIBRARIES[] = {"ggml", "ggml-base", "llama", "mtmd"};
// Everything the child would otherwise inherit from the test's own environment.
const char* const CLEARED[] = {"OCR_DLL_DIR", "OCR_MODEL", "OCR_MMPROJ", "LOCALAPPDATA", "XDG_DATA_HOME", "HOME",
                               "TARNWICK_LOG", "TARNWICK_DEBUG"};
const std::string DEBUG_LINE =
    "tarnwick: n_past after prompt + image = 100 positions (M-RoPE: not the token count; budget 4096 image "
    "tokens, ctx 8192)\n";

std::string call(int id, const std::string& arguments) {
    return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
           R"(,"method":"tools/call","params":{"name":"ocr_image","arguments":)" + arguments + "}}\n";
}

std::string result(int id, const std::string& text, bool is_error) {
    return R"({"id":)" + std::to_string(id) + R"(,"jsonrpc":"2.0","result":{"content":[{"text":)" +
           nlohmann::json(text).dump() + R"(,"type":"text"}],"isError":)" + (is_error ? "true" : "false") + "}}";
}

std::string engine_line(const std::string& engine, const std::string& model) {
    return "[glossel] engine " + engine + " model " + model + "\n";
}

// The call-log line of the plug-in loader given the engine folder.
std::string backend_load(const std::string& engine) {
    return "ggml_backend_load_all_from_path dir_path=\"" + standin::escape(engine) + "\"";
}

// The path as a JSON string.
std::string quoted(const std::string& path) { return nlohmann::json(path).dump(); }

// An engine folder of the stand-ins (links where the system makes them, else copies) in the tree.
void add_engine_files(const TempTree& tree, const std::string& folder) {
    for (const char* stem : ENGINE_LIBRARIES) tree.add(folder + "/" + lib(stem) + " -> " + standin::engine_file(stem));
}

// Bytes as a script value: everything but plain printable ASCII, the space included, as \xHH.
std::string script_bytes(std::string_view bytes) { return standin::escape(bytes, true); }

struct Session {
    Strings replies;
    std::string stderr_data;
    int exit_code = -1;
};

class OcrTool : public ::testing::Test {
protected:
    void SetUp() override {
        // Not an image, so image preparation always leaves it to the projector's decoder, which
        // the script answers.
        tree_.add("page.png", "not an image");
        for (const char* name : CLEARED) env_[name] = std::nullopt;
        env_["STANDIN_SCRIPT"] = tree_.path("script");
        env_["STANDIN_LOG"] = tree_.path("log");
    }

    std::string root() const { return tree_.root(); }
    std::string page_args(const std::string& extra = "") const {
        return R"({"path":)" + quoted(tree_.path("page.png")) + extra + "}";
    }

    // An engine folder of the stand-ins; `extra` entries (backend files) beside them.
    std::string add_engine(const std::string& folder, const Strings& extra = {}) const {
        add_engine_files(tree_, folder);
        for (const std::string& name : extra) tree_.add(folder + "/" + name);
        return tree_.path(folder);
    }
    // A model folder with the projector and the given model files; gives the first model's path.
    std::string add_models(const std::string& folder, const Strings& models = {"GLM-OCR-Q8_0.gguf"}) const {
        tree_.add(folder + "/mmproj-GLM-OCR-Q8_0.gguf");
        for (const std::string& name : models) tree_.add(folder + "/" + name);
        return tree_.path(folder + "/" + models.front());
    }
    void script(const Strings& lines) const {
        std::ofstream out(test_support::fs_path(tree_.path("script")), std::ios::binary);
        for (const std::string& line : lines) out << line << '\n';
    }

    // Sends the requests one by one, each after the reply to the one before; `after_reply(k)`
    // runs once the k-th reply (from 0) has arrived, before the next request goes out.
    Session run(const Strings& requests, const std::function<void(std::size_t)>& after_reply = {},
                const std::string& binary = GLOSSEL_BINARY) const {
        std::size_t replies = 0;
        test_support::ProcessOptions options{.argv = {binary}, .stdin_data = requests.at(0), .env = env_};
        options.on_stdout_line = [&](const std::string&) -> std::optional<std::string> {
            if (after_reply) after_reply(replies);
            ++replies;
            if (replies < requests.size()) return requests[replies];
            return std::nullopt;
        };
        const test_support::ProcessResult done = test_support::run_process(options);
        EXPECT_FALSE(done.timed_out);
        return Session{test_support::split_lines(done.stdout_data), done.stderr_data, done.exit_code};
    }

    Strings log() const {
        std::ifstream in(test_support::fs_path(tree_.path("log")), std::ios::binary);
        return test_support::split_lines(std::string(std::istreambuf_iterator<char>(in), {}));
    }
    Strings log_of(const std::string& function) const {
        Strings found;
        for (const std::string& line : log()) {
            if (line == function || line.starts_with(function + " ")) found.push_back(line);
        }
        return found;
    }

    TempTree tree_;
    std::map<std::string, std::optional<std::string>> env_;
};

TEST_F(OcrTool, ClientGetsTheRecognisedText) {
    const std::string engine = add_engine("engine");
    const std::string model = add_models("local/varnholt-ocr/models");
    env_["OCR_DLL_DIR"] = engine;
    env_["LOCALAPPDATA"] = tree_.path("local");
    script({"fallback=2x2", "tokens=5,6", "piece.5=Hello", "piece.6=\\x20world\\n"});

    const Session session = run({R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18"}})" "\n",
                                 R"({"jsonrpc":"2.0","id":2,"method":"tools/list"})" "\n",
                                 call(3, page_args(R"(,"mode":"text")"))});
    ASSERT_EQ(session.replies.size(), 3u);
    EXPECT_TRUE(session.replies[0].starts_with(R"({"id":1,"jsonrpc":"2.0","result":{"capabilities")")) << session.replies[0];
    EXPECT_TRUE(session.replies[1].starts_with(R"({"id":2,"jsonrpc":"2.0","result":{"tools":[)")) << session.replies[1];
    EXPECT_EQ(session.replies[2], result(3, "Hello world", false));
    EXPECT_EQ(session.stderr_data, engine_line(engine, model));
    EXPECT_EQ(session.exit_code, 0);

    // The libraries got the discovered folder, model and projector, and the file's own bytes.
    EXPECT_EQ(log_of("ggml_backend_load_all_from_path"), Strings{backend_load(engine)});
    const Strings loads = log_of("llama_model_load_from_file");
    ASSERT_EQ(loads.size(), 1u);
    EXPECT_TRUE(loads[0].starts_with("llama_model_load_from_file path=\"" + standin::escape(model) + "\"")) << loads[0];
    const Strings projectors = log_of("mtmd_init_from_file");
    ASSERT_EQ(projectors.size(), 1u);
    EXPECT_NE(projectors[0].find('"' + standin::escape(tree_.path("local/varnholt-ocr/models/mmproj-GLM-OCR-Q8_0.gguf")) + '"'),
              std::string::npos)
        << projectors[0];
    EXPECT_EQ(log_of("mtmd_helper_bitmap_init_from_buf"),
              Strings{"mtmd_helper_bitmap_init_from_buf ctx=mtmd1 len=12 fnv=" + standin::fnv_hex("not an image") +
                      " placeholder=0 -> bitmap1"});
}

// One engine line per process, before the first recognition's evaluation (the debug line comes
// after it) and although that recognition fails; later calls reuse the engine.
TEST_F(OcrTool, OneEngineLineBeforeTheFirstRecognitionEvenWhenItFails) {
    env_["OCR_DLL_DIR"] = standin::engine_dir();
    env_["OCR_MODEL"] = tree_.path("m.gguf");
    env_["OCR_MMPROJ"] = tree_.path("mm.gguf");
    env_["TARNWICK_DEBUG"] = "";
    script({"fallback=2x2", "tokens=5,6,2,7", "piece.5=first", "piece.6=second", "piece.7=third", "decode_rc.1=-7"});

    const Session session = run({call(1, page_args()), call(2, page_args()), call(3, page_args())});
    EXPECT_EQ(session.replies, (Strings{result(1, "llama_decode failed (rc -7)", true), result(2, "second", false),
                                        result(3, "third", false)}));
    EXPECT_EQ(session.stderr_data,
              engine_line(standin::engine_dir(), tree_.path("m.gguf")) + DEBUG_LINE + DEBUG_LINE + DEBUG_LINE);
    EXPECT_EQ(log_of("llama_backend_init").size(), 1u);
    EXPECT_EQ(log_of("llama_model_load_from_file").size(), 1u);
}

TEST_F(OcrTool, TrimsUnicodeWhiteSpaceOnly) {
    struct Case {
        std::string piece;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"  word\n", "word"},
        {"\xE3\x80\x80\xC2\xA0word\xE2\x80\xA8\xE2\x80\xA9", "word"},                           // U+3000 U+00A0 .. U+2028 U+2029
        {"\xC2\x85\xE1\x9A\x80\xE2\x80\x80x\xE2\x80\x8A\xE2\x80\xAF\xE2\x81\x9F\t\v\f\r", "x"},  // U+0085 U+1680 U+2000 .. U+200A U+202F U+205F
        {"\xEF\xBB\xBFword\xE2\x80\x8B", "\xEF\xBB\xBFword\xE2\x80\x8B"},                       // U+FEFF and U+200B stay
        {"\xE2\x80\x8B word \xEF\xBB\xBF", "\xE2\x80\x8B word \xEF\xBB\xBF"},
        {" a  b\n\nc\t", "a  b\n\nc"},
        {"\n \t\r\n", ""},
    };
    // Each recognition gives its own token and then the end-of-generation token 2.
    Strings lines = {"fallback=2x2"};
    std::string tokens = "tokens=";
    Strings requests;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const int token = 10 + static_cast<int>(i);
        tokens += std::to_string(token) + ",2,";
        lines.push_back("piece." + std::to_string(token) + "=" + script_bytes(cases[i].piece));
        requests.push_back(call(static_cast<int>(i), page_args()));
    }
    lines.push_back(tokens);
    script(lines);
    env_["OCR_DLL_DIR"] = standin::engine_dir();
    env_["OCR_MODEL"] = tree_.path("m.gguf");
    env_["OCR_MMPROJ"] = tree_.path("mm.gguf");

    const Session session = run(requests);
    ASSERT_EQ(session.replies.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(script_bytes(cases[i].piece));
        EXPECT_EQ(session.replies[i], result(static_cast<int>(i), cases[i].text, false));
    }
}

TEST_F(OcrTool, ModeReachesThePrompt) {
    env_["OCR_DLL_DIR"] = standin::engine_dir();
    env_["OCR_MODEL"] = tree_.path("m.gguf");
    env_["OCR_MMPROJ"] = tree_.path("mm.gguf");
    script({"fallback=2x2"});
    const Strings modes = {"", R"(,"mode":"table")", R"(,"mode":"formula")", R"(,"mode":5)", R"(,"mode":"text")"};
    Strings requests;
    for (const std::string& mode : modes) requests.push_back(call(1, page_args(mode)));

    const Session session = run(requests);
    EXPECT_EQ(session.replies, Strings(modes.size(), result(1, "", false)));
    Strings tasks;
    for (const std::string& line : log_of("mtmd_tokenize")) {
        for (const char* task : {"Text Recognition:", "Table Recognition:", "Formula Recognition:"}) {
            if (line.find(std::string("<__media__>") + task + "<|assistant|>\"") != std::string::npos) tasks.push_back(task);
        }
    }
    EXPECT_EQ(tasks, (Strings{"Text Recognition:", "Table Recognition:", "Formula Recognition:", "Text Recognition:",
                              "Text Recognition:"}));
}

// The client's path is UTF-8 text; the file it spells is read, whatever the system's own form of
// names (bytes on Linux, UTF-16 on Windows).
TEST_F(OcrTool, ImagePathBeyondAsciiIsReadByItsName) {
    const std::string page = tree_.path("sc\xC3\xA4ns/p\xC3\xA4ge-\xE2\x82\xAC.png");
    tree_.add("sc\xC3\xA4ns/p\xC3\xA4ge-\xE2\x82\xAC.png", "bytes of the page");
    env_["OCR_DLL_DIR"] = standin::engine_dir();
    env_["OCR_MODEL"] = tree_.path("m.gguf");
    env_["OCR_MMPROJ"] = tree_.path("mm.gguf");
    script({"fallback=2x2", "tokens=5", "piece.5=read"});

    const Session session = run({call(1, R"({"path":)" + quoted(page) + "}")});
    EXPECT_EQ(session.replies, Strings{result(1, "read", false)});
    EXPECT_EQ(log_of("mtmd_helper_bitmap_init_from_buf"),
              Strings{"mtmd_helper_bitmap_init_from_buf ctx=mtmd1 len=17 fnv=" + standin::fnv_hex("bytes of the page") +
                      " placeholder=0 -> bitmap1"});
}

// A refused call runs no discovery and loads nothing, although discovery would succeed.
TEST_F(OcrTool, RefusedCallsTouchNoEngine) {
    env_["OCR_DLL_DIR"] = standin::engine_dir();
    env_["OCR_MODEL"] = tree_.path("m.gguf");
    env_["OCR_MMPROJ"] = tree_.path("mm.gguf");
    const std::string missing = tree_.path("missing.png");
    const Session session = run({call(1, R"({"path":)" + quoted(missing) + R"(,"mode":"Text"})"),
                                 call(2, page_args(R"(,"mode":"Text")"))});
    EXPECT_EQ(session.replies, (Strings{result(1, "file not found: " + missing, true),
                                        result(2, "unknown mode: Text (text|table|formula)", true)}));
    EXPECT_EQ(session.stderr_data, "");
    EXPECT_FALSE(std::filesystem::exists(test_support::fs_path(tree_.path("log")))) << "no stand-in library was called";
}

// A failed attempt leaves nothing behind: the next call discovers, loads and creates afresh and
// sees what changed in the tree meanwhile. Only a successful creation writes the engine line.
TEST_F(OcrTool, FailedAttemptThenAnotherInTheSameSession) {
    struct Case {
        const char* name;
        std::map<std::string, std::string> env;  // values with {root}
        Strings script;
        std::function<void()> change;            // between the two calls
        std::string first;                       // the first call's error text, {root} expanded
        std::optional<std::string> second;       // the second call's error text; nothing: recognised
        std::string engine, model;               // in the engine line after a success
        std::size_t loads;                       // library loads that got as far as llama_backend_init
    };
    const std::string missing_engine = tree_.path("engine");
    const platform::Result<tarnwick::LibraryRef> direct =
        tarnwick::load_engine_library(platform::path_from_utf8(missing_engine));
    ASSERT_FALSE(direct.ok());
    const std::vector<Case> cases = {
        {"engine folder appears",
         {{"OCR_DLL_DIR", "{root}/engine"}, {"OCR_MODEL", "{root}/m.gguf"}, {"OCR_MMPROJ", "{root}/mm.gguf"}},
         {},
         [this] { add_engine("engine"); },
         direct.error(),
         std::nullopt,
         "{root}/engine",
         "{root}/m.gguf",
         1},
        {"model file appears",
         {{"OCR_DLL_DIR", standin::engine_dir()}, {"OCR_MODEL", "{root}/m.gguf"}, {"OCR_MMPROJ", "{root}/mm.gguf"}},
         {"model_load=needs_file"},
         [this] { tree_.add("m.gguf"); },
         "failed to load model {root}/m.gguf",
         std::nullopt,
         standin::engine_dir(),
         "{root}/m.gguf",
         2},
        {"model folder fills",
         {{"OCR_DLL_DIR", standin::engine_dir()}, {"LOCALAPPDATA", "{root}/local"}},
         {},
         [this] { add_models("local/varnholt-ocr/models", {"GLM-OCR-f16.gguf"}); },
         NO_MODEL,
         std::nullopt,
         standin::engine_dir(),
         "{root}/local/varnholt-ocr/models/GLM-OCR-f16.gguf",
         1},
#if !defined(__SANITIZE_ADDRESS__)
        // The sanitizer runtime ends the process on any failed allocation, so only the release
        // build shows that the loader's own failure stays its own.
        {"model load runs out of memory",
         {{"OCR_DLL_DIR", standin::engine_dir()}, {"OCR_MODEL", "{root}/m.gguf"}, {"OCR_MMPROJ", "{root}/mm.gguf"}},
         {"model_load=out_of_memory"},
         [] {},
         "failed to load model {root}/m.gguf",
         "failed to load model {root}/m.gguf",
         "",
         "",
         2},
#endif
        {"model never loads",
         {{"OCR_DLL_DIR", standin::engine_dir()}, {"OCR_MODEL", "{root}/m.gguf"}, {"OCR_MMPROJ", "{root}/mm.gguf"}},
         {"model_load=fail"},
         [] {},
         "failed to load model {root}/m.gguf",
         "failed to load model {root}/m.gguf",
         "",
         "",
         2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(test_support::fs_path(tree_.path("engine")));
        std::filesystem::remove_all(test_support::fs_path(tree_.path("local")));
        std::filesystem::remove(test_support::fs_path(tree_.path("m.gguf")));
        std::filesystem::remove(test_support::fs_path(tree_.path("log")));
        for (const char* name : CLEARED) env_[name] = std::nullopt;
        for (const auto& [name, value] : c.env) env_[name] = with_root(value, root());
        Strings lines = c.script;
        lines.insert(lines.end(), {"fallback=2x2", "tokens=5", "piece.5=ok"});
        script(lines);

        const Session session = run({call(1, page_args()), call(2, page_args())}, [&](std::size_t reply) {
            if (reply == 0) c.change();
        });
        const std::string second = c.second ? result(2, with_root(*c.second, root()), true) : result(2, "ok", false);
        EXPECT_EQ(session.replies, (Strings{result(1, with_root(c.first, root()), true), second}));
        EXPECT_EQ(session.stderr_data, c.second ? "" : engine_line(with_root(c.engine, root()), with_root(c.model, root())));
        EXPECT_EQ(log_of("llama_backend_init").size(), c.loads);
    }
}

// Once the engine exists, discovery never runs again: removing the engine folder and the model
// folder between calls changes nothing. (Windows keeps the files of the libraries a program has
// loaded; of the engine folder, what the system lets go goes.)
TEST_F(OcrTool, LaterChangesToTheTreeChangeNothing) {
    const std::string engine = add_engine("engine");
    const std::string model = add_models("local/varnholt-ocr/models");
    env_["OCR_DLL_DIR"] = engine;
    env_["LOCALAPPDATA"] = tree_.path("local");
    script({"fallback=2x2", "tokens=5,2,6", "piece.5=one", "piece.6=two"});

    const Session session = run({call(1, page_args()), call(2, page_args()), call(3, page_args())}, [&](std::size_t reply) {
        if (reply == 0) {
            std::error_code held;
            std::filesystem::remove_all(test_support::fs_path(tree_.path("engine")), held);
            std::filesystem::remove_all(test_support::fs_path(tree_.path("local")));
        }
    });
    EXPECT_EQ(session.replies, (Strings{result(1, "one", false), result(2, "two", false), result(3, "", false)}));
    EXPECT_EQ(session.stderr_data, engine_line(engine, model));
    EXPECT_EQ(log_of("ggml_backend_load_all_from_path").size(), 1u);
    EXPECT_EQ(log_of("llama_model_load_from_file").size(), 1u);
    EXPECT_EQ(log_of("mtmd_init_from_file").size(), 1u);
}

// Copies of the server inside temporary trees find the engine and the model by their own location.
// The per-user model folder is HOME or XDG_DATA_HOME based on Linux, LOCALAPPDATA on Windows.
TEST_F(OcrTool, CopiesOfTheServerFindEngineAndModelBesideThemselves) {
    struct Case {
        const char* name;
        std::string binary;                      // where the copy goes
        Strings engines;                         // engine folders to assemble (the first also gets `backends`)
        Strings backends;
        Strings entries;                         // other files and folders
        std::map<std::string, std::string> env;  // values with {root}
        std::string engine, model;               // expected, {root} expanded
        int gpu_layers;
        std::string engine_piece = "";           // joined to the expanded engine folder as one piece
    };
    const std::string glossel = test_support::program("glossel");
    const std::vector<Case> cases = {
        {"resources/engine beside the executable wins over ../Frameworks; model in the per-user folder (HOME)",
         "app/" + glossel,
         {"app/resources/engine", "Frameworks"},
         {},
         {"home/.local/share/varnholt-ocr/models/mmproj-GLM-OCR-Q8_0.gguf",
          "home/.local/share/varnholt-ocr/models/GLM-OCR-f16.gguf"},
         {{linux_or_windows("HOME", "LOCALAPPDATA"), linux_or_windows("{root}/home", "{root}/home/.local/share")}},
         "{root}/app/resources/engine",
         "{root}/home/.local/share/varnholt-ocr/models/GLM-OCR-f16.gguf",
         0},
        {"../Frameworks of a bundle, unnormalised; Metal backend; model in the per-user folder (XDG_DATA_HOME)",
         "bundle/MacOS/" + glossel,
         {"bundle/Frameworks"},
         {lib("ggml-metal")},
         {"data/varnholt-ocr/models/mmproj-GLM-OCR-Q8_0.gguf", "data/varnholt-ocr/models/GLM-OCR-f16.gguf",
          "data/varnholt-ocr/models/GLM-OCR-Q8_0.gguf", "home/.local/share/varnholt-ocr/models/mmproj-GLM-OCR-Q8_0.gguf",
          "home/.local/share/varnholt-ocr/models/GLM-OCR-f16.gguf"},
         {{linux_or_windows("XDG_DATA_HOME", "LOCALAPPDATA"), "{root}/data"}, {"HOME", "{root}/home"}},
         "{root}/bundle/MacOS",
         "{root}/data/varnholt-ocr/models/GLM-OCR-Q8_0.gguf",
         -1,
         "../Frameworks"},
        {"folder names beyond ASCII, beside the executable and in the per-user folder",
         "Pr\xC3\xBC" "fung-\xE2\x82\xAC/app/" + glossel,
         {"Pr\xC3\xBC" "fung-\xE2\x82\xAC/app/resources/engine"},
         {},
         {"l\xC3\xB2" "cal/varnholt-ocr/models/mmproj-GLM-OCR-Q8_0.gguf", "l\xC3\xB2" "cal/varnholt-ocr/models/GLM-OCR-Q8_0.gguf"},
         {{"LOCALAPPDATA", "{root}/l\xC3\xB2" "cal"}},
         "{root}/Pr\xC3\xBC" "fung-\xE2\x82\xAC/app/resources/engine",
         "{root}/l\xC3\xB2" "cal/varnholt-ocr/models/GLM-OCR-Q8_0.gguf",
         0},
        {"development root above decoys; spike/vulkan and spike/models; per-user folder without projector",
         "dev/build/bin/" + glossel,
         {"dev/spike/vulkan"},
         {lib("ggml-vulkan")},
         {"dev/CMakeLists.txt", "dev/src/", "dev/build/CMakeLists.txt/", "dev/build/src/", "dev/build/bin/CMakeLists.txt",
          "dev/build/bin/src", "dev/spike/models/mmproj-GLM-OCR-Q8_0.gguf", "dev/spike/models/GLM-OCR-Q8_0.gguf",
          "local/varnholt-ocr/models/GLM-OCR-Q8_0.gguf"},
         {{"LOCALAPPDATA", "{root}/local"}},
         "{root}/dev/spike/vulkan",
         "{root}/dev/spike/models/GLM-OCR-Q8_0.gguf",
         -1},
    };
    script({"fallback=2x2", "tokens=5", "piece.5=found"});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempTree tree;
        for (std::size_t i = 0; i < c.engines.size(); ++i) {
            add_engine_files(tree, c.engines[i]);
            if (i == 0) {
                for (const std::string& backend : c.backends) tree.add(c.engines[i] + "/" + backend);
            }
        }
        tree.add_all(c.entries);
        const std::string binary = tree.path(c.binary);
        std::filesystem::create_directories(test_support::fs_path(binary).parent_path());
        std::filesystem::copy_file(test_support::fs_path(GLOSSEL_BINARY), test_support::fs_path(binary));
        std::filesystem::permissions(test_support::fs_path(binary), std::filesystem::perms::owner_all);
        for (const char* name : CLEARED) env_[name] = std::nullopt;
        for (const auto& [name, value] : c.env) env_[name] = with_root(value, tree.root());
        std::filesystem::remove(test_support::fs_path(tree_.path("log")));

        const Session session = run({call(1, page_args())}, {}, binary);
        std::string engine = with_root(c.engine, tree.root());
        if (!c.engine_piece.empty()) engine = test_support::join_piece(engine, c.engine_piece);
        EXPECT_EQ(session.replies, Strings{result(1, "found", false)});
        EXPECT_EQ(session.stderr_data, engine_line(engine, with_root(c.model, tree.root())));
        EXPECT_EQ(log_of("ggml_backend_load_all_from_path"), Strings{backend_load(engine)});
        const Strings loads = log_of("llama_model_load_from_file");
        ASSERT_EQ(loads.size(), 1u);
        EXPECT_NE(loads[0].find(" n_gpu_layers=" + std::to_string(c.gpu_layers) + " "), std::string::npos) << loads[0];
    }
}

}  // namespace
