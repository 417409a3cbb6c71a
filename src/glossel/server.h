#pragma once
// The server record: what the server offers and the handler that runs its tool calls.

#include <memory>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "glossel/tool_handler.h"

namespace glossel {

// One offered tool. The texts are views of constants fixed in the program.
struct ToolDef {
    nlohmann::json input_schema;
    std::string_view name;
    std::string_view description;
};

struct McpServer {
    // Members are destroyed in reverse order of declaration, and the record is released tool list
    // first (each input schema, then the list's storage), then the handler with its state (any
    // Engine): so the handler is declared before the list.
    std::unique_ptr<ToolHandler> handler;
    std::vector<ToolDef> tools;
    std::string_view name;
    std::string_view version;
    std::string_view instructions;
};

inline constexpr std::string_view server_name = "varnholt-ocr";
inline constexpr std::string_view server_version = "0.1.0";
inline constexpr std::string_view server_instructions =
    "Varnholt OCR reads images into text locally on this machine. Nothing is uploaded. Pass absolute "
    "file paths. The first call loads the model and can take a few seconds; a page takes a few "
    "seconds more.";

inline constexpr std::string_view ocr_tool_name = "ocr_image";
inline constexpr std::string_view ocr_tool_description =
    "Read an image (png, jpg, webp, bmp \xE2\x80\x94 a scan, photo, or screenshot of a page) into text "
    "using the local GLM-OCR model. Runs fully offline. Mode 'text' returns the page text, 'table' "
    "returns tables as HTML, 'formula' returns math as LaTeX.";
// ASCII apart from the em dash (three bytes).
static_assert(ocr_tool_description.size() == 239);

// The input schema of `ocr_image`: a string `path` (required) and a string `mode`, one of "text",
// "table", "formula".
nlohmann::json ocr_input_schema();

// The record that main hands to the serve loop: the one `ocr_image` definition and `handler`.
McpServer make_mcp_server(std::unique_ptr<ToolHandler> handler);

// Releases the record: the input schemas in list order, the list, then the handler's state and the
// handler itself.
void drop_mcp_server(McpServer server);

}  // namespace glossel
