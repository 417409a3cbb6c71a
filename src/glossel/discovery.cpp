#include "glossel/discovery.h"

#include <initializer_list>
#include <string>
#include <vector>

#include "platform/env.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "tarnwick/tarnwick.h"

namespace glossel {
namespace {

NativePath join(NativePath base, std::initializer_list<std::string_view> pieces) {
    for (const std::string_view piece : pieces) base = platform::join_path(base, piece);
    return base;
}

std::optional<NativePath> executable_folder(const ExecutablePathSource& executable) {
    const std::optional<NativePath> exe = executable();
    if (!exe) return std::nullopt;
    return platform::parent_path(*exe);
}

bool holds_library(const NativePath& folder, std::string_view stem) {
    return tarnwick::find_library(folder, stem).has_value();
}

}  // namespace

std::optional<NativePath> find_dev_root(const ExecutablePathSource& executable) {
    // The first folder examined is the executable's own, then each ancestor up to the root.
    for (std::optional<NativePath> folder = executable_folder(executable); folder;
         folder = platform::parent_path(*folder)) {
        if (platform::is_file(join(*folder, {"CMakeLists.txt"})) && platform::is_folder(join(*folder, {"src"}))) {
            return folder;
        }
    }
    return std::nullopt;
}

std::optional<NativePath> find_dev_root() { return find_dev_root(platform::executable_path); }

Result<NativePath> find_engine_dir(const ExecutablePathSource& executable) {
    // An explicit folder is taken as it stands; a wrong one surfaces as the loader's error.
    if (std::optional<NativePath> dir = platform::env_path("OCR_DLL_DIR")) return std::move(*dir);

    if (const std::optional<NativePath> exe_dir = executable_folder(executable)) {
        // The installed layout on Linux and Windows, then the macOS bundle's Frameworks folder.
        for (const NativePath& candidate : {join(*exe_dir, {"resources", "engine"}), join(*exe_dir, {"../Frameworks"})}) {
            if (holds_library(candidate, "llama")) return candidate;
        }
    }
    if (const std::optional<NativePath> root = find_dev_root(executable)) return join(*root, {"spike", "vulkan"});
    return platform::fail(std::string(NO_ENGINE_TEXT));
}

Result<NativePath> find_engine_dir() { return find_engine_dir(platform::executable_path); }

std::optional<NativePath> user_models_dir() {
    std::optional<NativePath> base = platform::user_data_dir();
    if (!base) return std::nullopt;
    return join(std::move(*base), {APP_FOLDER, "models"});
}

Result<ModelFiles> find_model_files(const ExecutablePathSource& executable) {
    // Only the pair counts: one variable alone is ignored rather than mixed with a found file.
    std::optional<NativePath> model = platform::env_path("OCR_MODEL");
    std::optional<NativePath> projector = platform::env_path("OCR_MMPROJ");
    if (model && projector) return ModelFiles{std::move(*model), std::move(*projector)};

    // The whole list is built before any folder is tested.
    std::vector<NativePath> folders;
    if (std::optional<NativePath> user = user_models_dir()) folders.push_back(std::move(*user));
    if (const std::optional<NativePath> root = find_dev_root(executable)) folders.push_back(join(*root, {"spike", "models"}));

    for (const NativePath& folder : folders) {
        // A model without its projector is useless, and the pair must come from one folder.
        NativePath projector_path = join(folder, {PROJECTOR_FILE});
        if (!platform::is_file(projector_path)) continue;
        for (const std::string_view name : MODEL_FILE_CANDIDATES) {
            NativePath model_path = join(folder, {name});
            if (platform::is_file(model_path)) return ModelFiles{std::move(model_path), std::move(projector_path)};
        }
    }
    return platform::fail(std::string(NO_MODEL_TEXT));
}

Result<ModelFiles> find_model_files() { return find_model_files(platform::executable_path); }

std::int32_t choose_gpu_layers(const NativePath& engine_dir) {
    if (holds_library(engine_dir, "ggml-vulkan") || holds_library(engine_dir, "ggml-metal")) return -1;
    return 0;
}

}  // namespace glossel
