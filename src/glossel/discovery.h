#pragma once
// Where the engine folder and the model files are: environment variables first, then folders
// beside the executable, the per-user model folder and, when the executable runs from inside a
// development checkout, that checkout's spike/ folders. Nothing is cached: every call reads the
// environment and the file system as they are at that moment, so a retry after a failure sees
// files installed in the meantime.

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "platform/path.h"
#include "platform/result.h"

namespace glossel {

using platform::NativePath;
using platform::Result;

inline constexpr std::string_view NO_ENGINE_TEXT =
    "no OCR engine found. Reinstalling Varnholt OCR fixes this.";
inline constexpr std::string_view NO_MODEL_TEXT =
    "no OCR model is installed. Open the Varnholt OCR app once and download a model, then retry.";

// Tried in each model folder in this order; both use the same projector.
inline constexpr std::string_view MODEL_FILE_CANDIDATES[] = {"GLM-OCR-Q8_0.gguf", "GLM-OCR-f16.gguf"};
inline constexpr std::string_view PROJECTOR_FILE = "mmproj-GLM-OCR-Q8_0.gguf";

// The application's folder under the per-user data folder.
inline constexpr std::string_view APP_FOLDER = "varnholt-ocr";

struct ModelFiles {
    NativePath model;
    NativePath projector;
};

// OCR_DLL_DIR (untested), else exe folder/resources/engine or exe folder/../Frameworks when it
// holds the llama library, else dev root/spike/vulkan (untested), else NO_ENGINE_TEXT.
Result<NativePath> find_engine_dir();

// OCR_MODEL + OCR_MMPROJ when both are set (untested), else the first model folder that holds
// the projector and one of MODEL_FILE_CANDIDATES, else NO_MODEL_TEXT.
Result<ModelFiles> find_model_files();

// -1 (every layer on the GPU) when the engine folder holds the Vulkan or Metal backend, else 0.
std::int32_t choose_gpu_layers(const NativePath& engine_dir);

// The nearest of the executable's folder and its ancestors that holds a file "CMakeLists.txt"
// and a folder "src".
std::optional<NativePath> find_dev_root();

// The per-user model folder: the platform's per-user data folder / APP_FOLDER / "models". On
// Windows that is %LOCALAPPDATA%\varnholt-ocr\models; on Linux LOCALAPPDATA/varnholt-ocr/models,
// else XDG_DATA_HOME (absolute only)/varnholt-ocr/models, else HOME/.local/share/varnholt-ocr/models.
// Absent when no base is set.
std::optional<NativePath> user_models_dir();

// The same searches with the executable's path taken from `executable` instead of the running
// process, so that tests can place a pretend executable inside a temporary tree. The source is
// asked only when a step needs the executable's folder.
using ExecutablePathSource = std::function<std::optional<NativePath>()>;

Result<NativePath> find_engine_dir(const ExecutablePathSource& executable);
Result<ModelFiles> find_model_files(const ExecutablePathSource& executable);
std::optional<NativePath> find_dev_root(const ExecutablePathSource& executable);

}  // namespace glossel
