// Recognition from the file read to the returned text, against the stand-in inference
// libraries: the prompt, every error text, the step limit, the UTF-8 rules of the output, the
// diagnostic line and the order in which each run releases what it made.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host.h"
#include "support/scratch.h"
#include "tarnwick/generate.h"
#include "tarnwick/image.h"
#include "tarnwick/library.h"
#include "tarnwick/tarnwick.h"

namespace {

using Strings = std::vector<std::string>;
using tarnwick::OcrMode;

// The function names of the call log, in order.
Strings heads() {
    Strings out;
    for (const std::string& line : standin::calls()) out.push_back(line.substr(0, line.find(' ')));
    return out;
}

Strings concat(std::initializer_list<Strings> parts) {
    Strings out;
    for (const Strings& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

const std::string kNotAnImage = "not an image";
const std::string kEvalText =
    "the image could not be processed (eval rc {}); it may be too large for the memory available on this PC "
    "\xE2\x80\x94 try a smaller or cropped image";

// The calls of a run up to and including the evaluation, and the generation set-up after it.
const Strings kUpToTokenize = {"mtmd_helper_bitmap_init_from_buf", "mtmd_default_marker", "mtmd_input_chunks_init",
                               "mtmd_tokenize"};
const Strings kClearAndEval = {"llama_get_memory", "llama_memory_clear", "mtmd_helper_eval_chunks"};
const Strings kSamplerSetUp = {"mtmd_helper_get_n_tokens", "llama_sampler_chain_default_params", "llama_sampler_chain_init",
                               "llama_sampler_init_greedy", "llama_sampler_chain_add", "llama_n_ctx"};
const Strings kStep = {"llama_sampler_sample", "llama_vocab_is_eog", "llama_token_to_piece", "llama_batch_get_one",
                       "llama_decode"};
const Strings kEogStep = {"llama_sampler_sample", "llama_vocab_is_eog"};
const Strings kReleaseAll = {"llama_sampler_free", "mtmd_input_chunks_free", "mtmd_bitmap_free"};

class Recognize : public ::testing::Test {
protected:
    void SetUp() override {
        tarnwick::Result<tarnwick::LibraryRef> loaded =
            tarnwick::load_engine_library(platform::path_from_utf8(standin::engine_dir()));
        ASSERT_TRUE(loaded.ok()) << loaded.error();
        standin::reset();
        tarnwick::Result<tarnwick::Engine> engine = tarnwick::Engine::create(
            *loaded, platform::path_from_utf8("/m/model.gguf"), platform::path_from_utf8("/m/mmproj.gguf"), 0);
        ASSERT_TRUE(engine.ok()) << engine.error();
        engine_.emplace(std::move(*engine));
        folder_.write("page.bin", kNotAnImage);
        image_ = folder_.file("page.bin");
    }

    // A fresh log and script for one run; the fallback decoder gives a bitmap unless told not to.
    void script(std::initializer_list<std::pair<std::string, std::string>> values) {
        standin::reset();
        standin::set("fallback", "4x3");
        for (const auto& [key, value] : values) standin::set(key, value);
    }

    tarnwick::Result<std::string> run(OcrMode mode = OcrMode::text) { return engine_->recognize(image_, mode); }

    standin::ScopedEnv debug_{"TARNWICK_DEBUG", std::nullopt};
    standin::TempFolder folder_;
    std::string image_;
    std::optional<tarnwick::Engine> engine_;
};

TEST_F(Recognize, RunsPromptEvaluationAndGenerationInOrder) {
    script({{"tokens", "5,6"}, {"piece.5", "Hel"}, {"piece.6", "lo "}});
    tarnwick::Result<std::string> text = run();
    ASSERT_TRUE(text.ok()) << text.error();
    EXPECT_EQ(*text, "Hello ");  // untrimmed
    const std::string step5 = "llama_token_to_piece vocab=vocab1 token=5 length=512 lstrip=0 special=0 -> 3";
    EXPECT_EQ(standin::calls(), (Strings{
        "mtmd_helper_bitmap_init_from_buf ctx=mtmd1 len=12 fnv=" + standin::fnv_hex(kNotAnImage) + " placeholder=0 -> bitmap1",
        "mtmd_default_marker -> \"<__media__>\"",
        "mtmd_input_chunks_init -> chunks1",
        "mtmd_tokenize ctx=mtmd1 chunks=chunks1 text=\"[gMASK]<sop><|user|>\\x0A<__media__>Text Recognition:<|assistant|>\""
        " text_len=62 nul=1 add_special=1 parse_special=1 n_bitmaps=1 bitmaps=bitmap1 -> 0",
        "llama_get_memory ctx=ctx1 -> memory1",
        "llama_memory_clear mem=memory1 data=1 positions=0",
        "mtmd_helper_eval_chunks ctx=mtmd1 lctx=ctx1 chunks=chunks1 n_past=0 seq_id=0 n_batch=2048 logits_last=1"
        " new_n_past=0 memory=0 -> 0",
        "mtmd_helper_get_n_tokens chunks=chunks1 -> 0",
        "llama_sampler_chain_default_params",
        "llama_sampler_chain_init no_perf=1 -> sampler1",
        "llama_sampler_init_greedy -> sampler2",
        "llama_sampler_chain_add chain=sampler1 smpl=sampler2",
        "llama_n_ctx ctx=ctx1 -> 8192",
        "llama_sampler_sample smpl=sampler1 ctx=ctx1 idx=-1 -> 5",
        "llama_vocab_is_eog vocab=vocab1 token=5 -> 0",
        step5,
        "llama_batch_get_one n_tokens=1 token=5",
        "llama_decode ctx=ctx1 n_tokens=1 token=5 -> 0",
        "llama_sampler_sample smpl=sampler1 ctx=ctx1 idx=-1 -> 6",
        "llama_vocab_is_eog vocab=vocab1 token=6 -> 0",
        "llama_token_to_piece vocab=vocab1 token=6 length=512 lstrip=0 special=0 -> 3",
        "llama_batch_get_one n_tokens=1 token=6",
        "llama_decode ctx=ctx1 n_tokens=1 token=6 -> 0",
        "llama_sampler_sample smpl=sampler1 ctx=ctx1 idx=-1 -> 2",
        "llama_vocab_is_eog vocab=vocab1 token=2 -> 1",
        "llama_sampler_free smpl=sampler1",
        "mtmd_input_chunks_free chunks=chunks1",
        "mtmd_bitmap_free bitmap=bitmap1"}));
}

TEST_F(Recognize, PromptHoldsTheMarkerAndTheModesTaskLine) {
    struct Case { OcrMode mode; const char* marker; std::string text; };
    const Case cases[] = {
        {OcrMode::text, nullptr, "[gMASK]<sop><|user|>\\x0A<__media__>Text Recognition:<|assistant|>"},
        {OcrMode::table, nullptr, "[gMASK]<sop><|user|>\\x0A<__media__>Table Recognition:<|assistant|>"},
        {OcrMode::formula, nullptr, "[gMASK]<sop><|user|>\\x0A<__media__>Formula Recognition:<|assistant|>"},
        {OcrMode::text, "<img \xC3\xA9>", "[gMASK]<sop><|user|>\\x0A<img \\xC3\\xA9>Text Recognition:<|assistant|>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        script({});
        if (c.marker != nullptr) standin::set("marker", c.marker);
        ASSERT_TRUE(run(c.mode).ok());
        const Strings tokenize = standin::calls_of({"mtmd_tokenize"});
        ASSERT_EQ(tokenize.size(), 1u);
        EXPECT_NE(tokenize[0].find(" text=\"" + c.text + "\" "), std::string::npos) << tokenize[0];
    }
}

// Every failure: its text and what the run called, releases included, in order.
TEST_F(Recognize, FailuresGiveTheirTextAndReleaseNewestFirst) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> script;
        std::string error;
        Strings calls;
    };
    const Case cases[] = {
        {"no bitmap from the fallback decoder", {{"fallback", "none"}}, "unsupported or corrupt image",
         {"mtmd_helper_bitmap_init_from_buf"}},
        {"marker not UTF-8", {{"marker", "<\xFF>"}}, "non-UTF-8 media marker",
         {"mtmd_helper_bitmap_init_from_buf", "mtmd_default_marker", "mtmd_bitmap_free"}},
        {"no chunk list", {{"chunks_init", "fail"}}, "mtmd_input_chunks_init failed",
         {"mtmd_helper_bitmap_init_from_buf", "mtmd_default_marker", "mtmd_input_chunks_init", "mtmd_bitmap_free"}},
        {"tokenise rc 2", {{"tokenize_rc", "2"}}, "image preprocessing failed",
         concat({kUpToTokenize, {"mtmd_input_chunks_free", "mtmd_bitmap_free"}})},
        {"tokenise rc 1", {{"tokenize_rc", "1"}}, "mtmd_tokenize failed (rc 1)",
         concat({kUpToTokenize, {"mtmd_input_chunks_free", "mtmd_bitmap_free"}})},
        {"tokenise rc -3", {{"tokenize_rc", "-3"}}, "mtmd_tokenize failed (rc -3)",
         concat({kUpToTokenize, {"mtmd_input_chunks_free", "mtmd_bitmap_free"}})},
        {"eval rc 1", {{"eval_rc", "1"}}, "eval rc 1",
         concat({kUpToTokenize, kClearAndEval, {"mtmd_input_chunks_free", "mtmd_bitmap_free"}})},
        {"eval rc -1", {{"eval_rc", "-1"}}, "eval rc -1",
         concat({kUpToTokenize, kClearAndEval, {"mtmd_input_chunks_free", "mtmd_bitmap_free"}})},
        {"decode fails at the second step", {{"tokens", "5,6,7"}, {"piece.5", "ab"}, {"decode_rc.2", "-1"}},
         "llama_decode failed (rc -1)",
         concat({kUpToTokenize, kClearAndEval, kSamplerSetUp, kStep, kStep, kReleaseAll})},
        {"decode fails at the first step", {{"tokens", "5"}, {"decode_rc.1", "1"}}, "llama_decode failed (rc 1)",
         concat({kUpToTokenize, kClearAndEval, kSamplerSetUp, kStep, kReleaseAll})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        script({});
        for (const auto& [key, value] : c.script) standin::set(key, value);
        tarnwick::Result<std::string> text = run();
        ASSERT_FALSE(text.ok());
        std::string expected = c.error;
        if (expected.rfind("eval rc ", 0) == 0) {
            expected = kEvalText;
            expected.replace(expected.find("{}"), 2, c.error.substr(8));
        }
        EXPECT_EQ(text.error(), expected);
        EXPECT_EQ(heads(), c.calls);
    }
}

TEST_F(Recognize, UnreadableFilesNameThePathAndTheSystemError) {
    struct Case { std::string path; std::string error; };
    using test_support::OsError;
    const Case cases[] = {
        {folder_.file("missing.png"),
         "cannot read " + folder_.file("missing.png") + ": " + test_support::os_error_text(OsError::not_found)},
        {folder_.path(), "cannot read " + folder_.path() + ": " + test_support::os_error_text(OsError::is_folder)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        script({});
        tarnwick::Result<std::string> text = engine_->recognize(c.path, OcrMode::text);
        ASSERT_FALSE(text.ok());
        EXPECT_EQ(text.error(), c.error);
        EXPECT_TRUE(standin::calls().empty());
    }
}

// The text is the longest valid UTF-8 prefix of the joined pieces; every non-end token is decoded.
TEST_F(Recognize, OutputIsTheLongestValidUtf8Prefix) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> script;
        std::string text;
        std::size_t decodes;
    };
    const std::string euro = "\xE2\x82\xAC";
    const Case cases[] = {
        {"a character split over two pieces", {{"tokens", "5,6"}, {"piece.5", "a\xE2\x82"}, {"piece.6", "\xAC!"}}, "a" + euro + "!", 2},
        {"generation stops between the two pieces", {{"tokens", "5"}, {"piece.5", "a\xE2\x82"}}, "a", 1},
        {"an ill-formed byte between valid text", {{"tokens", "5,6,7"}, {"piece.5", "ab"}, {"piece.6", "\xFF"}, {"piece.7", "cd"}}, "ab", 3},
        {"a cut character followed by something else", {{"tokens", "5,6"}, {"piece.5", "x\xE2\x82"}, {"piece.6", "y"}}, "x", 2},
        {"empty and negative pieces append nothing",
         {{"tokens", "5,6,7,8"}, {"piece.5", "x"}, {"piece.6", "zz"}, {"piece_n.6", "-2"}, {"piece.8", "y"}}, "xy", 4},
        {"a piece too long for the buffer is dropped", {{"tokens", "5,6"}, {"piece.5", std::string(600, 'q')}, {"piece.6", "k"}}, "k", 2},
        {"no more than 512 bytes are taken", {{"tokens", "5"}, {"piece.5", std::string(512, 'w')}, {"piece_n.5", "1000"}},
         std::string(512, 'w'), 1},
        {"the first token ends generation", {{"tokens", "2"}}, "", 0},
        {"four-byte characters and plain ASCII", {{"tokens", "5,6,7"}, {"piece.5", "\xF0\x9F"}, {"piece.6", "\x98\x80"}, {"piece.7", " ok"}},
         "\xF0\x9F\x98\x80 ok", 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        script({});
        for (const auto& [key, value] : c.script) standin::set(key, value);
        tarnwick::Result<std::string> text = run();
        ASSERT_TRUE(text.ok()) << text.error();
        EXPECT_EQ(*text, c.text);
        EXPECT_EQ(standin::calls_of({"llama_decode"}).size(), c.decodes);
    }
}

TEST(StepLimit, KeepsEightCellsFreeAndStopsAt4096) {
    struct Case { std::uint32_t n_ctx; std::int32_t n_past; std::size_t n_tokens; std::uint64_t limit; };
    const std::size_t most = static_cast<std::size_t>(-1);
    const Case cases[] = {
        // Token count not above n_past: the positions decide.
        {8192, 0, 0, 4096}, {8192, 4088, 0, 4096}, {8192, 4089, 0, 4095}, {8192, 4096, 0, 4088},
        {8192, 5000, 0, 3184}, {8192, 8183, 0, 1}, {8192, 8184, 0, 0}, {8192, 9000, 0, 0},
        {8192, -100, 0, 4096}, {0, 0, 0, 0}, {4294967295u, 2147483647, 0, 4096}, {20, 2, 0, 10},
        {8192, 5000, 4120, 3184}, {8192, 88, 88, 4096},
        // More tokens than positions (an image under multi-axis positions): the tokens decide.
        {8192, 88, 4120, 4064}, {8192, 99, 4051, 4096}, {8192, 88, 4088, 4096}, {8192, 88, 4089, 4095},
        {8192, 88, 8183, 1}, {8192, 88, 8184, 0}, {8192, 88, 8192, 0}, {8192, 88, most, 0}, {20, -5, 2, 10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.n_ctx) + " " + std::to_string(c.n_past) + " " + std::to_string(c.n_tokens));
        EXPECT_EQ(tarnwick::step_limit(c.n_ctx, c.n_past, c.n_tokens), c.limit);
    }
}

// The limit through the libraries: the context's own size (not the engine's field), the
// evaluation's n_past and the chunk list's token count decide how many tokens are sampled; the
// last one is decoded too.
TEST_F(Recognize, GenerationStopsAtTheStepLimit) {
    struct Case { const char* n_ctx; const char* n_past; const char* n_tokens; std::size_t steps; };
    const Case cases[] = {{"8192", "4096", "0", 4088}, {"8192", "0", "0", 4096}, {"8192", "8184", "0", 0},
                          {"300", "280", "0", 12}, {"8192", "-20", "0", 4096},
                          // A 1792 x 1792 page: 4120 tokens stored under 88 positions.
                          {"8192", "88", "4120", 4064}, {"300", "20", "280", 12}, {"8192", "4096", "4000", 4088}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.n_ctx) + " " + c.n_past + " " + c.n_tokens);
        script({{"n_ctx", c.n_ctx}, {"eval_n_past", c.n_past}, {"n_tokens", c.n_tokens}, {"token_default", "5"},
                {"piece.5", "a"}});
        tarnwick::Result<std::string> text = run();
        ASSERT_TRUE(text.ok()) << text.error();
        EXPECT_EQ(*text, std::string(c.steps, 'a'));
        EXPECT_EQ(standin::calls_of({"mtmd_helper_get_n_tokens"}),
                  Strings{"mtmd_helper_get_n_tokens chunks=chunks1 -> " + std::string(c.n_tokens)});
        EXPECT_EQ(standin::calls_of({"llama_sampler_sample"}).size(), c.steps);
        EXPECT_EQ(standin::calls_of({"llama_decode"}).size(), c.steps);
        EXPECT_EQ(heads().back(), "mtmd_bitmap_free");
    }
}

// A helper built with video support may answer bytes it cannot read as an image with a video:
// the run refuses it, frees the bitmap that came with it and then the video, and goes no further.
TEST_F(Recognize, AVideoFromTheFallbackDecoderIsFreedAndRefused) {
    const std::string decoder = "mtmd_helper_bitmap_init_from_buf ctx=mtmd1 len=12 fnv=" + standin::fnv_hex(kNotAnImage) +
                                " placeholder=0 -> ";
    struct Case { const char* name; const char* fallback; Strings calls; };
    const Case cases[] = {
        {"with a bitmap", "4x3",
         {decoder + "bitmap1, video1", "mtmd_bitmap_free bitmap=bitmap1", "mtmd_helper_video_free ctx=video1"}},
        {"without a bitmap", "none", {decoder + "null, video1", "mtmd_helper_video_free ctx=video1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        script({{"fallback", c.fallback}, {"fallback_video", "1"}});
        tarnwick::Result<std::string> text = run();
        ASSERT_FALSE(text.ok());
        EXPECT_EQ(text.error(), "unsupported or corrupt image");
        EXPECT_EQ(standin::calls(), c.calls);
    }
}

TEST_F(Recognize, DebugLineIsWrittenAfterEvaluationWhenTarnwickDebugIsSet) {
    const std::string line =
        "tarnwick: n_past after prompt + image = 29 positions (M-RoPE: not the token count; budget 4096 image "
        "tokens, ctx 8192)\n";
    struct Case {
        const char* name;
        std::optional<std::string> debug;
        std::vector<std::pair<std::string, std::string>> script;
        bool ok;
        std::string stderr_text;
    };
    const Case cases[] = {
        {"unset", std::nullopt, {}, true, ""},
        {"set empty", std::string(), {}, true, line},
        {"set, evaluation fails", std::string("1"), {{"eval_rc", "3"}}, false, line},
        {"set, tokenisation fails", std::string("1"), {{"tokenize_rc", "1"}}, false, ""},
        // The engine's context field, not what the context reports.
        {"set, another context size", std::string("1"), {{"n_ctx", "300"}}, true, line},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        standin::ScopedEnv debug("TARNWICK_DEBUG", c.debug);
        script({{"eval_n_past", "29"}});
        for (const auto& [key, value] : c.script) standin::set(key, value);
        ::testing::internal::CaptureStderr();
        tarnwick::Result<std::string> text = run();
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.stderr_text);
        EXPECT_EQ(text.ok(), c.ok);
    }
}

TEST_F(Recognize, EachRunStartsFromClearedMemory) {
    script({{"tokens", "5,6"}, {"piece.5", "a"}, {"piece.6", "b"}, {"eval_n_past", "40"}});
    ASSERT_TRUE(run().ok());
    // A failed tokenisation leaves the memory alone ...
    standin::set("tokenize_rc", "1");
    ASSERT_FALSE(run().ok());
    // ... and the next run clears what the first left (40 positions and 2 decoded tokens).
    standin::set("tokenize_rc", "0");
    standin::set("tokens", "5,6,7,8");
    ASSERT_TRUE(run().ok());
    EXPECT_EQ(standin::calls_of({"llama_memory_clear"}),
              (Strings{"llama_memory_clear mem=memory1 data=1 positions=0",
                       "llama_memory_clear mem=memory1 data=1 positions=42"}));
    const Strings evals = standin::calls_of({"mtmd_helper_eval_chunks"});
    ASSERT_EQ(evals.size(), 2u);
    for (const std::string& e : evals) EXPECT_NE(e.find(" memory=0 "), std::string::npos) << e;
}

// The library road: only once image preparation decodes PNG files.
TEST_F(Recognize, LibraryRoadBuildsTheBitmapFromRgb) {
    const std::string png(
        "\x89\x50\x4E\x47\x0D\x0A\x1A\x0A\x00\x00\x00\x0D\x49\x48\x44\x52\x00\x00\x00\x02\x00\x00\x00\x01\x08\x02\x00"
        "\x00\x00\x7B\x40\xE8\xDD\x00\x00\x00\x0D\x49\x44\x41\x54\x78\x9C\x63\xF8\xCF\x00\x04\xFF\x01\x07\x00\x01\xFF"
        "\xE2\x23\x9E\x59\x00\x00\x00\x00\x49\x45\x4E\x44\xAE\x42\x60\x82",
        70);  // 2 x 1 RGB: red, blue
    if (!tarnwick::prepare_rgb(reinterpret_cast<const unsigned char*>(png.data()), png.size(), 3211264)) {
        GTEST_SKIP() << "image preparation does not decode PNG in this build";
    }
    folder_.write("page.jpg", png);  // the name plays no part
    image_ = folder_.file("page.jpg");

    script({});
    ASSERT_TRUE(run().ok());
    const Strings built = standin::calls_of({"mtmd_bitmap_init", "mtmd_helper_bitmap_init_from_buf", "mtmd_bitmap_free"});
    EXPECT_EQ(built, (Strings{"mtmd_bitmap_init nx=2 ny=1 fnv=" + standin::fnv_hex(std::string_view("\xFF\x00\x00\x00\x00\xFF", 6)) +
                                  " bytes=ff00000000ff -> bitmap1",
                              "mtmd_bitmap_free bitmap=bitmap1"}));

    script({{"bitmap_init", "fail"}});
    tarnwick::Result<std::string> text = run();
    ASSERT_FALSE(text.ok());
    EXPECT_EQ(text.error(), "could not build the image bitmap");
    EXPECT_EQ(heads(), Strings{"mtmd_bitmap_init"});  // the fallback is not tried
}

}  // namespace
