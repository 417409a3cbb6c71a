#pragma once
// The callable that runs every tool call. The server record owns it; destroying it releases its
// state (for the OCR handler: the engine slot and any Engine in it).

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/result.h"

namespace glossel {

class ToolHandler {
public:
    virtual ~ToolHandler() = default;

    // Runs one tool call and keeps the state for the next. `arguments` is lent for the call.
    virtual platform::Result<std::string> call(std::string_view tool_name, const nlohmann::json& arguments) = 0;

    // The same call, after which the state is released.
    virtual platform::Result<std::string> call_once(std::string_view tool_name, const nlohmann::json& arguments) = 0;
};

}  // namespace glossel
