// Engine creation and release: the model, its vision projector and one inference context.

#include <algorithm>
#include <memory>
#include <string>
#include <utility>

#include "platform/process.h"
#include "tarnwick/library.h"
#include "tarnwick/tarnwick.h"

namespace tarnwick {

namespace {

// The fixed sizes of every engine.
constexpr std::int32_t kImageTokenBudget = 4096;
constexpr std::uint32_t kContextSize = 8192;
constexpr std::int32_t kBatchSize = 2048;

struct ModelFree {
    const EngineLibrary* lib;
    void operator()(llama_model* model) const noexcept { lib->llama_model_free(model); }
};
struct MtmdFree {
    const EngineLibrary* lib;
    void operator()(mtmd_context* ctx) const noexcept { lib->mtmd_free(ctx); }
};
struct ContextFree {
    const EngineLibrary* lib;
    void operator()(llama_context* ctx) const noexcept { lib->llama_free(ctx); }
};

}  // namespace

std::int32_t worker_threads_for(unsigned processors) {
    const std::int64_t n = processors == 0 ? 8 : processors;
    return static_cast<std::int32_t>(std::min({std::max<std::int64_t>(n / 2, 4), n, std::int64_t{16}}));
}

std::int32_t worker_threads() { return worker_threads_for(platform::processor_count()); }

Result<Engine> Engine::create(const LibraryRef& library, const NativePath& model_path,
                              const NativePath& mmproj_path, std::int32_t n_gpu_layers) {
    const EngineLibrary& lib = *library;

    // The libraries take C strings, so a NUL inside a path would silently name another file.
    const std::string model_text = platform::path_to_utf8(model_path);
    if (model_text.find('\0') != std::string::npos) return platform::fail("model path contains NUL");

    llama_model_params model_params = lib.llama_model_default_params();
    model_params.n_gpu_layers = n_gpu_layers;
    // Owners in creation order: a failure releases the newest first.
    std::unique_ptr<llama_model, ModelFree> model(lib.llama_model_load_from_file(model_text.c_str(), model_params),
                                                  ModelFree{&lib});
    if (!model) return platform::fail("failed to load model " + model_text);
    const llama_vocab* vocab = lib.llama_model_get_vocab(model.get());

    const std::int32_t threads = worker_threads();

    const std::string mmproj_text = platform::path_to_utf8(mmproj_path);
    if (mmproj_text.find('\0') != std::string::npos) return platform::fail("mmproj path contains NUL");

    mtmd_context_params mtmd_params = lib.mtmd_context_params_default();
    mtmd_params.use_gpu = n_gpu_layers != 0;
    mtmd_params.n_threads = threads;
    mtmd_params.image_max_tokens = kImageTokenBudget;
    std::unique_ptr<mtmd_context, MtmdFree> mtmd(lib.mtmd_init_from_file(mmproj_text.c_str(), model.get(), mtmd_params),
                                                 MtmdFree{&lib});
    if (!mtmd) return platform::fail("failed to load vision projector " + mmproj_text);

    llama_context_params ctx_params = lib.llama_context_default_params();
    ctx_params.n_ctx = kContextSize;
    // The evaluation hands the context batches of n_batch tokens; the context must accept as
    // many, or the library aborts the process.
    ctx_params.n_batch = static_cast<std::uint32_t>(kBatchSize);
    ctx_params.n_threads = threads;
    ctx_params.n_threads_batch = threads;
    std::unique_ptr<llama_context, ContextFree> ctx(lib.llama_init_from_model(model.get(), ctx_params),
                                                    ContextFree{&lib});
    if (!ctx) return platform::fail("failed to create llama context");

    Engine engine;
    engine.library_ = library;
    engine.image_token_budget_ = kImageTokenBudget;
    engine.n_ctx_ = kContextSize;
    engine.vocab_ = vocab;
    engine.n_batch_ = kBatchSize;
    engine.ctx_ = ctx.release();
    engine.mtmd_ctx_ = mtmd.release();
    engine.model_ = model.release();
    return engine;
}

Engine::Engine(Engine&& other) noexcept
    : library_(std::move(other.library_)),
      image_token_budget_(other.image_token_budget_),
      n_ctx_(other.n_ctx_),
      model_(std::exchange(other.model_, nullptr)),
      vocab_(std::exchange(other.vocab_, nullptr)),
      mtmd_ctx_(std::exchange(other.mtmd_ctx_, nullptr)),
      ctx_(std::exchange(other.ctx_, nullptr)),
      n_batch_(other.n_batch_) {}

Engine& Engine::operator=(Engine&& other) noexcept {
    if (this == &other) return *this;
    release();
    library_ = std::move(other.library_);
    image_token_budget_ = other.image_token_budget_;
    n_ctx_ = other.n_ctx_;
    model_ = std::exchange(other.model_, nullptr);
    vocab_ = std::exchange(other.vocab_, nullptr);
    mtmd_ctx_ = std::exchange(other.mtmd_ctx_, nullptr);
    ctx_ = std::exchange(other.ctx_, nullptr);
    n_batch_ = other.n_batch_;
    return *this;
}

Engine::~Engine() { release(); }

// The context uses the projector and the model, the projector uses the model: newest first.
// The library reference goes last, so the table outlives every call into it.
void Engine::release() noexcept {
    if (library_) {
        const EngineLibrary& lib = *library_;
        if (ctx_ != nullptr) lib.llama_free(std::exchange(ctx_, nullptr));
        if (mtmd_ctx_ != nullptr) lib.mtmd_free(std::exchange(mtmd_ctx_, nullptr));
        if (model_ != nullptr) lib.llama_model_free(std::exchange(model_, nullptr));
    }
    vocab_ = nullptr;
    library_.reset();
}

}  // namespace tarnwick
