// The glossel executable: builds the server record and serves the protocol on standard input and
// output until input ends.

#include <exception>
#include <memory>
#include <string>

#include "glossel/serve.h"
#include "glossel/server.h"
#include "platform/process.h"
#include "platform/stdio.h"

namespace {

// Stands in for the OCR handler until it is built: every call fails with an honest text.
class PendingOcrHandler final : public glossel::ToolHandler {
public:
    platform::Result<std::string> call(std::string_view, const nlohmann::json&) override {
        return platform::fail("the ocr_image tool is not built yet");
    }
    platform::Result<std::string> call_once(std::string_view name, const nlohmann::json& arguments) override {
        return call(name, arguments);
    }
};

constexpr int internal_error_status = 101;

}  // namespace

int main() {
    // A client that stops reading must never kill the server: writes then fail and are dropped.
    platform::ignore_broken_pipe();
    // An exception that escapes is an internal error. By the time it is caught here the serve loop
    // has been unwound, so standard input was let go and the record (with any Engine) released.
    try {
        glossel::serve(glossel::make_mcp_server(std::make_unique<PendingOcrHandler>()));
    } catch (const std::exception& error) {
        platform::write_stderr("glossel: internal error: " + std::string(error.what()) + "\n");
        return internal_error_status;
    } catch (...) {
        platform::write_stderr("glossel: internal error: unknown exception\n");
        return internal_error_status;
    }
    return 0;
}
