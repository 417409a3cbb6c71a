#pragma once
// The ocr_image tool: argument checks, the engine created on the first call that passes them
// (and again after a failed attempt), recognition and the trimmed text.

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "glossel/discovery.h"
#include "glossel/tool_handler.h"
#include "platform/result.h"
#include "tarnwick/tarnwick.h"

namespace glossel {

class OcrToolHandler final : public ToolHandler {
public:
    // Discovery looks beside the running executable.
    OcrToolHandler();
    // Discovery takes the executable's path from `executable` (tests place a pretend one).
    explicit OcrToolHandler(ExecutablePathSource executable);

    platform::Result<std::string> call(std::string_view tool_name, const nlohmann::json& arguments) override {
        return handle_ocr_call(tool_name, arguments);
    }
    platform::Result<std::string> call_once(std::string_view tool_name, const nlohmann::json& arguments) override {
        return handle_ocr_call_once(tool_name, arguments);
    }

    // Checks the arguments, creates the engine when the slot is empty, recognises the image.
    // Fills the slot at most once and never empties it.
    platform::Result<std::string> handle_ocr_call(std::string_view tool_name, const nlohmann::json& arguments);
    // The same call, after which the slot is released, also when the call is abandoned.
    platform::Result<std::string> handle_ocr_call_once(std::string_view tool_name, const nlohmann::json& arguments);
    // Releases the engine, if one was created.
    void drop_engine_slot() noexcept { engine_slot_.reset(); }

    bool has_engine() const noexcept { return engine_slot_.has_value(); }

private:
    // Discovery, library loading and engine creation; runs only while the slot is empty and
    // leaves it empty on failure.
    platform::Result<void> ensure_engine();

    ExecutablePathSource executable_;
    std::optional<tarnwick::Engine> engine_slot_;
};

// The handler that the server's main routine puts into the server record, its slot empty.
std::unique_ptr<ToolHandler> make_ocr_tool_handler();

}  // namespace glossel
