#include "glossel/ocr_handler.h"

#include <utility>

#include "platform/fs.h"
#include "platform/process.h"
#include "platform/stdio.h"
#include "platform/utf8.h"

namespace glossel {
namespace {

constexpr std::string_view MISSING_PATH_TEXT = "missing required argument: path";

// The path argument, when `arguments` is an object holding "path" as a string.
const std::string* path_argument(const nlohmann::json& arguments) {
    if (!arguments.is_object()) return nullptr;
    const auto it = arguments.find("path");
    if (it == arguments.end() || !it->is_string()) return nullptr;
    return &it->get_ref<const std::string&>();
}

// Anything but a string (or no mode at all) means the default; a string must be a mode word.
platform::Result<tarnwick::OcrMode> mode_argument(const nlohmann::json& arguments) {
    const auto it = arguments.find("mode");
    if (it == arguments.end() || !it->is_string()) return tarnwick::OcrMode::text;
    const std::string& mode = it->get_ref<const std::string&>();
    if (mode == "text") return tarnwick::OcrMode::text;
    if (mode == "table") return tarnwick::OcrMode::table;
    if (mode == "formula") return tarnwick::OcrMode::formula;
    return platform::fail("unknown mode: " + mode + " (text|table|formula)");
}

}  // namespace

OcrToolHandler::OcrToolHandler() : OcrToolHandler(platform::executable_path) {}

OcrToolHandler::OcrToolHandler(ExecutablePathSource executable) : executable_(std::move(executable)) {}

platform::Result<std::string> OcrToolHandler::handle_ocr_call(std::string_view /*tool_name*/,
                                                              const nlohmann::json& arguments) {
    // The cheap checks come first so that a bad call never starts the expensive engine creation.
    const std::string* path = path_argument(arguments);
    if (path == nullptr) return platform::fail(std::string(MISSING_PATH_TEXT));

    // Metadata only: a file that cannot be read still passes and fails later in recognition.
    if (!platform::is_file(platform::path_from_utf8(*path))) return platform::fail("file not found: " + *path);

    platform::Result<tarnwick::OcrMode> mode = mode_argument(arguments);
    if (!mode) return platform::fail(std::move(mode).error());

    if (!engine_slot_) {
        if (platform::Result<void> made = ensure_engine(); !made) return platform::fail(std::move(made).error());
    }

    platform::Result<std::string> text = engine_slot_->recognize(*path, *mode);
    if (!text) return text;
    return std::string(platform::trim_unicode_whitespace(*text));
}

platform::Result<std::string> OcrToolHandler::handle_ocr_call_once(std::string_view tool_name,
                                                                   const nlohmann::json& arguments) {
    struct SlotRelease {
        OcrToolHandler& handler;
        ~SlotRelease() { handler.drop_engine_slot(); }
    } release{*this};
    return handle_ocr_call(tool_name, arguments);
}

platform::Result<void> OcrToolHandler::ensure_engine() {
    platform::Result<NativePath> engine_dir = find_engine_dir(executable_);
    if (!engine_dir) return platform::fail(std::move(engine_dir).error());

    platform::Result<ModelFiles> models = find_model_files(executable_);
    if (!models) return platform::fail(std::move(models).error());

    const std::int32_t gpu_layers = choose_gpu_layers(*engine_dir);

    platform::Result<tarnwick::LibraryRef> library = tarnwick::load_engine_library(*engine_dir);
    if (!library) return platform::fail(std::move(library).error());

    // The engine takes its own reference; ours goes when `library` leaves scope, whatever happens.
    platform::Result<tarnwick::Engine> engine =
        tarnwick::Engine::create(*library, models->model, models->projector, gpu_layers);
    if (!engine) return platform::fail(std::move(engine).error());

    // The host shows standard error in its logs: this tells the user which engine and model run.
    platform::write_stderr("[glossel] engine " + platform::path_to_utf8(*engine_dir) + " model " +
                           platform::path_to_utf8(models->model) + "\n");

    library->reset();
    engine_slot_.emplace(std::move(engine).value());
    return {};
}

std::unique_ptr<ToolHandler> make_ocr_tool_handler() { return std::make_unique<OcrToolHandler>(); }

}  // namespace glossel
