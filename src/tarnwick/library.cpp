// The library binding: opens ggml, llama and mtmd from one engine folder at run time and
// resolves the functions the engine calls into one shared table.

#include "tarnwick/library.h"

#include <cassert>
#include <string>
#include <utility>

#include "platform/env.h"
#include "platform/fs.h"

namespace tarnwick {

// ---- the shared block ------------------------------------------------------------------------

LibraryRef::LibraryRef(const LibraryRef& other) noexcept : block_(other.block_) {
    if (block_ != nullptr) block_->strong.fetch_add(1, std::memory_order_relaxed);
}

LibraryRef::LibraryRef(LibraryRef&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}

LibraryRef& LibraryRef::operator=(LibraryRef other) noexcept {
    std::swap(block_, other.block_);
    return *this;
}

LibraryRef::~LibraryRef() { reset(); }

// Freeing the block calls nothing in the table and closes no library: whatever an engine made
// with these libraries may still be alive elsewhere, and ggml's plug-ins cannot be unloaded safely.
void LibraryRef::reset() noexcept {
    Block* block = std::exchange(block_, nullptr);
    if (block == nullptr) return;
    if (block->strong.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    if (block->weak.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    delete block;
}

const EngineLibrary& LibraryRef::operator*() const noexcept {
    assert(block_ != nullptr);
    return block_->table;
}

std::size_t LibraryRef::strong_count() const noexcept {
    return block_ == nullptr ? 0 : block_->strong.load(std::memory_order_acquire);
}

// ---- loading ---------------------------------------------------------------------------------

namespace {

// Closes a required library unless the load succeeded. Declared in opening order, so a failed
// load closes the last opened first.
class ModuleOwner {
public:
    ModuleOwner() = default;
    ModuleOwner(const ModuleOwner&) = delete;
    ModuleOwner& operator=(const ModuleOwner&) = delete;
    ~ModuleOwner() {
        if (handle_ != nullptr) platform::close_library(handle_);
    }
    void adopt(platform::ModuleHandle handle) noexcept { handle_ = handle; }
    platform::ModuleHandle get() const noexcept { return handle_; }
    platform::ModuleHandle release() noexcept { return std::exchange(handle_, nullptr); }

private:
    platform::ModuleHandle handle_ = nullptr;
};

std::optional<std::string> open_required(const NativePath& folder, std::string_view stem, ModuleOwner& owner) {
    const std::optional<NativePath> path = find_library(folder, stem);
    if (!path) return platform::library_file_name(stem) + " not found in " + platform::path_to_utf8(folder);
    Result<platform::ModuleHandle> opened = platform::open_library(*path);
    if (!opened) return "failed to load " + platform::path_to_utf8(*path) + ": " + opened.error();
    owner.adopt(*opened);
    return std::nullopt;
}

// Calls one log setter of a library with quiet_log; a library without it is left as it is.
void silence(platform::ModuleHandle module, const char* setter) {
    Result<void*> found = platform::find_symbol(module, setter);
    if (!found) return;
    reinterpret_cast<abi::log_set_fn>(*found)(quiet_log, nullptr);
}

template <class Fn>
std::optional<std::string> resolve(platform::ModuleHandle module, const char* name, Fn& slot) {
    Result<void*> found = platform::find_symbol(module, name);
    if (!found) return "missing symbol " + std::string(name) + ": " + found.error();
    slot = reinterpret_cast<Fn>(*found);
    return std::nullopt;
}

// Every slot in slot order; the first that the libraries lack names the failure.
std::optional<std::string> resolve_slots(EngineLibrary& t, platform::ModuleHandle llama, platform::ModuleHandle mtmd) {
#define TARNWICK_SLOT(module, name)                                                   \
    if (std::optional<std::string> missing = resolve(module, #name, t.name)) return missing;
    TARNWICK_SLOT(llama, llama_backend_init)
    TARNWICK_SLOT(llama, llama_model_default_params)
    TARNWICK_SLOT(llama, llama_model_load_from_file)
    TARNWICK_SLOT(llama, llama_model_free)
    TARNWICK_SLOT(llama, llama_context_default_params)
    TARNWICK_SLOT(llama, llama_init_from_model)
    TARNWICK_SLOT(llama, llama_free)
    TARNWICK_SLOT(llama, llama_n_ctx)
    TARNWICK_SLOT(llama, llama_model_get_vocab)
    TARNWICK_SLOT(llama, llama_token_to_piece)
    TARNWICK_SLOT(llama, llama_vocab_is_eog)
    TARNWICK_SLOT(llama, llama_batch_get_one)
    TARNWICK_SLOT(llama, llama_decode)
    TARNWICK_SLOT(llama, llama_get_memory)
    TARNWICK_SLOT(llama, llama_memory_clear)
    TARNWICK_SLOT(llama, llama_sampler_chain_default_params)
    TARNWICK_SLOT(llama, llama_sampler_chain_init)
    TARNWICK_SLOT(llama, llama_sampler_chain_add)
    TARNWICK_SLOT(llama, llama_sampler_init_greedy)
    TARNWICK_SLOT(llama, llama_sampler_sample)
    TARNWICK_SLOT(llama, llama_sampler_free)
    TARNWICK_SLOT(mtmd, mtmd_context_params_default)
    TARNWICK_SLOT(mtmd, mtmd_init_from_file)
    TARNWICK_SLOT(mtmd, mtmd_free)
    TARNWICK_SLOT(mtmd, mtmd_default_marker)
    TARNWICK_SLOT(mtmd, mtmd_input_chunks_init)
    TARNWICK_SLOT(mtmd, mtmd_input_chunks_free)
    TARNWICK_SLOT(mtmd, mtmd_tokenize)
    TARNWICK_SLOT(mtmd, mtmd_bitmap_free)
    TARNWICK_SLOT(mtmd, mtmd_bitmap_init)
    TARNWICK_SLOT(mtmd, mtmd_helper_bitmap_init_from_buf)
    TARNWICK_SLOT(mtmd, mtmd_helper_eval_chunks)
    TARNWICK_SLOT(mtmd, mtmd_helper_get_n_tokens)
    TARNWICK_SLOT(mtmd, mtmd_helper_video_free)
#undef TARNWICK_SLOT
    return std::nullopt;
}

}  // namespace

extern "C" void quiet_log(ggml_log_level, const char*, void*) {}

std::optional<NativePath> find_library(const NativePath& folder, std::string_view stem) {
    NativePath path = platform::join_path(folder, platform::library_file_name(stem));
    if (!platform::entry_exists(path)) return std::nullopt;
    return path;
}

std::optional<platform::ModuleHandle> load_optional_library(const NativePath& path) {
    Result<platform::ModuleHandle> opened = platform::open_library(path);
    if (!opened) return std::nullopt;
    return *opened;
}

Result<LibraryRef> load_engine_library(const NativePath& folder) {
    ModuleOwner ggml;
    ModuleOwner llama;
    ModuleOwner mtmd;
    if (auto failed = open_required(folder, "ggml", ggml)) return platform::fail(std::move(*failed));
    if (auto failed = open_required(folder, "llama", llama)) return platform::fail(std::move(*failed));
    if (auto failed = open_required(folder, "mtmd", mtmd)) return platform::fail(std::move(*failed));

    // Logging stays the libraries' own when TARNWICK_LOG exists, whatever its value. Otherwise
    // every setter is silenced before the plug-ins load, because loading them already logs.
    // ggml-base is opened only to reach its setter and is never closed: its logger may be in use
    // by the other libraries for as long as they stay loaded.
    if (!platform::env_var("TARNWICK_LOG")) {
        std::optional<platform::ModuleHandle> ggml_base;
        if (std::optional<NativePath> path = find_library(folder, "ggml-base")) ggml_base = load_optional_library(*path);
        silence(llama.get(), "llama_log_set");
        silence(mtmd.get(), "mtmd_log_set");
        silence(mtmd.get(), "mtmd_helper_log_set");
        if (ggml_base) silence(*ggml_base, "ggml_log_set");
        silence(ggml.get(), "ggml_log_set");
    }

    // Backends must be loaded before any model: the libraries are built with dynamic backends.
    Result<void*> load_all = platform::find_symbol(ggml.get(), "ggml_backend_load_all_from_path");
    if (!load_all) return platform::fail("missing symbol ggml_backend_load_all_from_path: " + load_all.error());
    const std::string folder_text = platform::path_to_utf8(folder);
    if (folder_text.find('\0') != std::string::npos) return platform::fail("dll dir contains NUL");
    reinterpret_cast<abi::ggml_backend_load_all_from_path_fn>(*load_all)(folder_text.c_str());

    EngineLibrary table{};
    if (auto missing = resolve_slots(table, llama.get(), mtmd.get())) return platform::fail(std::move(*missing));

    table.llama_backend_init();

    auto* block = new LibraryRef::Block;
    block->table = table;
    // From here on these libraries stay loaded for the rest of the process.
    block->table.ggml = ggml.release();
    block->table.llama = llama.release();
    block->table.mtmd = mtmd.release();
    return LibraryRef(block);
}

}  // namespace tarnwick
