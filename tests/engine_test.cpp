// Engine creation and release against the stand-in inference libraries: the parameters the
// libraries receive, every failure text, the release orders and the table's reference count.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host.h"
#include "platform/process.h"
#include "support/scratch.h"
#include "tarnwick/library.h"
#include "tarnwick/tarnwick.h"

namespace {

using platform::NativePath;
using platform::path_from_utf8;
using Strings = std::vector<std::string>;

std::string model_params(int n_gpu_layers) {
    return "params={devices=null tensor_buft_overrides=null n_gpu_layers=" + std::to_string(n_gpu_layers) +
           " split_mode=1 load_mode=1 main_gpu=0 tensor_split=null progress_callback=null"
           " progress_callback_user_data=null kv_overrides=null vocab_only=0 check_tensors=0 use_extra_bufts=1"
           " no_host=0 no_alloc=0 load_mtp=0}";
}

std::string mtmd_params(bool use_gpu, int threads) {
    return "params={use_gpu=" + std::string(use_gpu ? "1" : "0") + " print_timings=1 n_threads=" +
           std::to_string(threads) +
           " image_marker=null media_marker=\"<__media__>\" flash_attn_type=-1 warmup=1 image_min_tokens=-1"
           " image_max_tokens=4096 cb_eval=null cb_eval_user_data=null batch_max_tokens=1024"
           " progress_callback=null progress_callback_user_data=null}";
}

std::string context_params(int threads) {
    const std::string t = std::to_string(threads);
    return "params={n_ctx=8192 n_batch=2048 n_ubatch=512 n_seq_max=1 n_rs_seq=0 n_outputs_max=0 n_threads=" + t +
           " n_threads_batch=" + t +
           " ctx_type=0 rope_scaling_type=-1 pooling_type=-1 attention_type=-1 flash_attn_type=-1"
           " rope_freq_base=0 rope_freq_scale=0 yarn_ext_factor=-1 yarn_attn_factor=-1 yarn_beta_fast=-1"
           " yarn_beta_slow=-1 yarn_orig_ctx=0 defrag_thold=-1 cb_eval=null cb_eval_user_data=null type_k=1"
           " type_v=1 abort_callback=null abort_callback_data=null embeddings=0 offload_kqv=1 no_perf=1"
           " op_offload=1 swa_full=1 kv_unified=0 samplers=null n_samplers=0 ctx_other=null}";
}

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        tarnwick::Result<tarnwick::LibraryRef> loaded =
            tarnwick::load_engine_library(path_from_utf8(standin::engine_dir()));
        ASSERT_TRUE(loaded.ok()) << loaded.error();
        library_ = std::move(*loaded);
        standin::reset();
    }
    tarnwick::LibraryRef library_;
    const int threads_ = tarnwick::worker_threads();
};

TEST(WorkerThreads, HalfTheProcessorsBetweenFourAndSixteen) {
    const std::pair<unsigned, int> cases[] = {{0, 4}, {1, 1}, {3, 3}, {4, 4}, {5, 4}, {6, 4}, {8, 4}, {9, 4},
                                              {10, 5}, {12, 6}, {16, 8}, {24, 12}, {31, 15}, {32, 16},
                                              {40, 16}, {64, 16}, {4096, 16}};
    for (const auto& [processors, threads] : cases) {
        SCOPED_TRACE(processors);
        EXPECT_EQ(tarnwick::worker_threads_for(processors), threads);
    }
    EXPECT_EQ(tarnwick::worker_threads(), tarnwick::worker_threads_for(platform::processor_count()));
}

// Every field the engine sets reaches the library; every other keeps the library's default.
// With odd defaults the stand-ins return other values in exactly the fields the engine must set.
TEST_F(EngineTest, SetsOnlyTheNamedParameters) {
    struct Case { int n_gpu_layers; bool odd_defaults; };
    const Case cases[] = {{0, false}, {-1, false}, {0, true}, {-1, true}, {12, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.n_gpu_layers) + (c.odd_defaults ? " odd defaults" : ""));
        standin::reset();
        if (c.odd_defaults) standin::set("odd_defaults", "1");
        {
            tarnwick::Result<tarnwick::Engine> engine =
                tarnwick::Engine::create(library_, path_from_utf8("/m/model.gguf"), path_from_utf8("/m/mmproj.gguf"),
                                         c.n_gpu_layers);
            ASSERT_TRUE(engine.ok()) << engine.error();
            EXPECT_EQ(engine->image_token_budget(), 4096);
            EXPECT_EQ(engine->n_ctx(), 8192u);
            EXPECT_EQ(engine->n_batch(), 2048);
            EXPECT_NE(engine->vocab(), nullptr);
        }
        const bool use_gpu = c.n_gpu_layers != 0;
        EXPECT_EQ(standin::calls(),
                  (Strings{"llama_model_default_params",
                           "llama_model_load_from_file path=\"/m/model.gguf\" " + model_params(c.n_gpu_layers) + " -> model1",
                           "llama_model_get_vocab model=model1 -> vocab1",
                           "mtmd_context_params_default",
                           "mtmd_init_from_file path=\"/m/mmproj.gguf\" model=model1 " + mtmd_params(use_gpu, threads_) + " -> mtmd1",
                           "llama_context_default_params",
                           "llama_init_from_model model=model1 " + context_params(threads_) + " -> ctx1",
                           "llama_free ctx=ctx1", "mtmd_free ctx=mtmd1", "llama_model_free model=model1"}));
    }
}

TEST_F(EngineTest, FailuresReleaseWhatWasCreatedNewestFirst) {
    const std::string model_load = "llama_model_load_from_file path=\"/m/model.gguf\" " + model_params(0);
    const std::string mtmd_init = "mtmd_init_from_file path=\"/m/mmproj.gguf\" model=model1 " + mtmd_params(false, threads_);
    const std::string context_init = "llama_init_from_model model=model1 " + context_params(threads_);
    struct Case {
        const char* name;
        NativePath model_path, mmproj_path;
        const char* script_key;
        std::string error;
        Strings calls;
    };
    const NativePath model = path_from_utf8("/m/model.gguf"), mmproj = path_from_utf8("/m/mmproj.gguf");
    const Case cases[] = {
        {"NUL in the model path", path_from_utf8(std::string_view("/m/mo\0del", 9)), mmproj, nullptr,
         "model path contains NUL", {}},
        {"no model", model, mmproj, "model_load", "failed to load model /m/model.gguf",
         {"llama_model_default_params", model_load + " -> null"}},
        {"NUL in the projector path", model, path_from_utf8(std::string_view("/m/mm\0proj", 10)), nullptr,
         "mmproj path contains NUL",
         {"llama_model_default_params", model_load + " -> model1", "llama_model_get_vocab model=model1 -> vocab1",
          "llama_model_free model=model1"}},
        {"no projector", model, mmproj, "mtmd_init", "failed to load vision projector /m/mmproj.gguf",
         {"llama_model_default_params", model_load + " -> model1", "llama_model_get_vocab model=model1 -> vocab1",
          "mtmd_context_params_default", mtmd_init + " -> null", "llama_model_free model=model1"}},
        {"no context", model, mmproj, "context_init", "failed to create llama context",
         {"llama_model_default_params", model_load + " -> model1", "llama_model_get_vocab model=model1 -> vocab1",
          "mtmd_context_params_default", mtmd_init + " -> mtmd1", "llama_context_default_params",
          context_init + " -> null", "mtmd_free ctx=mtmd1", "llama_model_free model=model1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        standin::reset();
        if (c.script_key != nullptr) standin::set(c.script_key, "fail");
        tarnwick::Result<tarnwick::Engine> engine = tarnwick::Engine::create(library_, c.model_path, c.mmproj_path, 0);
        ASSERT_FALSE(engine.ok());
        EXPECT_EQ(engine.error(), c.error);
        EXPECT_EQ(standin::calls(), c.calls);
        EXPECT_EQ(library_.strong_count(), 1u);
    }
}

// A path piece that is no valid text (an ill-formed byte on Linux, an unpaired surrogate on
// Windows) reaches the libraries, and the error text, as U+FFFD.
TEST_F(EngineTest, PathsReachTheLibrariesAsUtf8) {
    standin::set("model_load", "fail");
    tarnwick::Result<tarnwick::Engine> engine = tarnwick::Engine::create(
        library_, test_support::path_with_invalid_piece("/m/mod", ".gguf"), path_from_utf8("/m/p.gguf"), 0);
    ASSERT_FALSE(engine.ok());
    EXPECT_EQ(engine.error(), "failed to load model /m/mod\xEF\xBF\xBD.gguf");
    EXPECT_EQ(standin::calls_of({"llama_model_load_from_file"}),
              Strings{"llama_model_load_from_file path=\"/m/mod\\xEF\\xBF\\xBD.gguf\" " + model_params(0) + " -> null"});

    standin::reset();
    standin::set("mtmd_init", "fail");
    engine = tarnwick::Engine::create(library_, path_from_utf8("/m/model.gguf"),
                                      test_support::path_with_invalid_piece("/m/pr", "oj.gguf"), 0);
    ASSERT_FALSE(engine.ok());
    EXPECT_EQ(engine.error(), "failed to load vision projector /m/pr\xEF\xBF\xBDoj.gguf");
}

TEST_F(EngineTest, EachEngineHoldsOneReferenceAndMovesReleaseNothing) {
    EXPECT_EQ(library_.strong_count(), 1u);
    tarnwick::Result<tarnwick::Engine> first = tarnwick::Engine::create(
        library_, path_from_utf8("/m/a.gguf"), path_from_utf8("/m/p.gguf"), 0);
    ASSERT_TRUE(first.ok());
    EXPECT_EQ(library_.strong_count(), 2u);
    {
        tarnwick::Engine moved = std::move(*first);
        EXPECT_EQ(library_.strong_count(), 2u);
        EXPECT_EQ(moved.model() != nullptr && moved.ctx() != nullptr && moved.mtmd_ctx() != nullptr, true);

        tarnwick::Result<tarnwick::Engine> second = tarnwick::Engine::create(
        library_, path_from_utf8("/m/b.gguf"), path_from_utf8("/m/p.gguf"), 0);
        ASSERT_TRUE(second.ok());
        EXPECT_EQ(library_.strong_count(), 3u);
        standin::reset();
        moved = std::move(*second);  // the first engine goes, the second stays
        EXPECT_EQ(standin::calls(), (Strings{"llama_free ctx=ctx1", "mtmd_free ctx=mtmd1", "llama_model_free model=model1"}));
        EXPECT_EQ(library_.strong_count(), 2u);
        standin::reset();
    }
    // Only the engine that held the handles released them; the moved-from ones released nothing.
    EXPECT_EQ(standin::calls(), (Strings{"llama_free ctx=ctx2", "mtmd_free ctx=mtmd2", "llama_model_free model=model2"}));
    EXPECT_EQ(library_.strong_count(), 1u);
    first = tarnwick::Result<tarnwick::Engine>(platform::fail("gone"));
    EXPECT_EQ(standin::calls().size(), 3u);

    // The engine's reference keeps the table alive after the caller's is released.
    tarnwick::Result<tarnwick::Engine> last = tarnwick::Engine::create(
        library_, path_from_utf8("/m/c.gguf"), path_from_utf8("/m/p.gguf"), 0);
    ASSERT_TRUE(last.ok());
    library_.reset();
    EXPECT_EQ(last->library().strong_count(), 1u);
    standin::reset();
    last = tarnwick::Result<tarnwick::Engine>(platform::fail("gone"));
    EXPECT_EQ(standin::calls(), (Strings{"llama_free ctx=ctx1", "mtmd_free ctx=mtmd1", "llama_model_free model=model1"}));
}

}  // namespace
