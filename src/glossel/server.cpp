#include "glossel/server.h"

#include <utility>

namespace glossel {

nlohmann::json ocr_input_schema() {
    nlohmann::json schema = nlohmann::json::object();
    schema["type"] = "object";
    nlohmann::json properties = nlohmann::json::object();
    properties["path"] = {{"type", "string"}, {"description", "Absolute path of the image file."}};
    properties["mode"] = {{"type", "string"},
                          {"enum", nlohmann::json::array({"text", "table", "formula"})},
                          {"description", "What to extract. Default 'text'."}};
    schema["properties"] = std::move(properties);
    schema["required"] = nlohmann::json::array({"path"});
    return schema;
}

McpServer make_mcp_server(std::unique_ptr<ToolHandler> handler) {
    std::vector<ToolDef> tools;
    tools.reserve(1);
    tools.push_back(ToolDef{ocr_input_schema(), ocr_tool_name, ocr_tool_description});
    return McpServer{std::move(handler), std::move(tools), server_name, server_version, server_instructions};
}

void drop_mcp_server(McpServer server) {
    server.tools.clear();
    server.tools.shrink_to_fit();
    server.handler.reset();
}

}  // namespace glossel
