#pragma once
// The OCR engine's public interface: the only header of the engine that the server includes.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/path.h"
#include "platform/result.h"

struct llama_model;
struct llama_vocab;
struct llama_context;
struct mtmd_context;

namespace tarnwick {

using platform::NativePath;
using platform::Result;

enum class OcrMode : int { text = 0, table = 1, formula = 2 };

// The table of inference-library functions (library.h); reached only through a LibraryRef.
struct EngineLibrary;

// A counted reference to one shared EngineLibrary block. Copying takes a reference, destroying
// or reset() releases one; releasing the last frees the table only, the libraries stay loaded.
class LibraryRef {
public:
    LibraryRef() noexcept = default;
    LibraryRef(const LibraryRef& other) noexcept;
    LibraryRef(LibraryRef&& other) noexcept;
    LibraryRef& operator=(LibraryRef other) noexcept;
    ~LibraryRef();

    void reset() noexcept;
    explicit operator bool() const noexcept { return block_ != nullptr; }
    const EngineLibrary& operator*() const noexcept;
    const EngineLibrary* operator->() const noexcept { return &**this; }
    // Holders of this block, for tests and diagnostics.
    std::size_t strong_count() const noexcept;

    struct Block;  // the counts, then the table
    explicit LibraryRef(Block* adopted) noexcept : block_(adopted) {}

private:
    Block* block_ = nullptr;
};

// folder joined with the library file made from `stem` ("lib{stem}.so" on Linux, "{stem}.dll" on
// Windows), when such an entry exists.
std::optional<NativePath> find_library(const NativePath& folder, std::string_view stem);

// Opens ggml, llama and mtmd from `folder`, silences their logs unless TARNWICK_LOG is set,
// loads ggml's backend plug-ins from the folder and resolves the function table.
Result<LibraryRef> load_engine_library(const NativePath& folder);

// Thread count for the inference libraries: min(max(n / 2, 4), n, 16) of the processor count n,
// a count of 0 taken as 8.
std::int32_t worker_threads();
std::int32_t worker_threads_for(unsigned processors);

// The loaded model, projector and context, ready to recognise images. Move-only.
class Engine {
public:
    static Result<Engine> create(const LibraryRef& library, const NativePath& model_path,
                                 const NativePath& mmproj_path, std::int32_t n_gpu_layers);

    Engine(Engine&& other) noexcept;
    Engine& operator=(Engine&& other) noexcept;
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;
    ~Engine();

    // Recognises the image file at `image_path` (the client's text). Gives the generated text,
    // untrimmed, or an error text; the engine stays usable either way.
    Result<std::string> recognize(std::string_view image_path, OcrMode mode) const;

    const LibraryRef& library() const noexcept { return library_; }
    std::int32_t image_token_budget() const noexcept { return image_token_budget_; }
    std::uint32_t n_ctx() const noexcept { return n_ctx_; }
    llama_model* model() const noexcept { return model_; }
    const llama_vocab* vocab() const noexcept { return vocab_; }
    mtmd_context* mtmd_ctx() const noexcept { return mtmd_ctx_; }
    llama_context* ctx() const noexcept { return ctx_; }
    std::int32_t n_batch() const noexcept { return n_batch_; }

private:
    Engine() = default;
    void release() noexcept;

    LibraryRef library_;
    std::int32_t image_token_budget_ = 4096;
    std::uint32_t n_ctx_ = 8192;
    llama_model* model_ = nullptr;
    const llama_vocab* vocab_ = nullptr;
    mtmd_context* mtmd_ctx_ = nullptr;
    llama_context* ctx_ = nullptr;
    std::int32_t n_batch_ = 2048;
};

}  // namespace tarnwick
