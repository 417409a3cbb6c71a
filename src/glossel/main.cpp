// The glossel executable: builds the server record and serves the protocol on standard input and
// output until input ends.

#include <exception>
#include <memory>
#include <string>

#include "glossel/ocr_handler.h"
#include "glossel/serve.h"
#include "glossel/server.h"
#include "platform/process.h"
#include "platform/stdio.h"

namespace {

constexpr int internal_error_status = 101;

}  // namespace

int main() {
    // A client that stops reading must never kill the server: writes then fail and are dropped.
    platform::ignore_broken_pipe();
    // Replies are raw bytes: no runtime may turn their line feeds into CR LF.
    platform::prepare_standard_streams();
    // An exception that escapes is an internal error. By the time it is caught here the serve loop
    // has been unwound, so standard input was let go and the record (with any Engine) released.
    try {
        glossel::serve(glossel::make_mcp_server(glossel::make_ocr_tool_handler()));
    } catch (const std::exception& error) {
        platform::write_stderr("glossel: internal error: " + std::string(error.what()) + "\n");
        return internal_error_status;
    } catch (...) {
        platform::write_stderr("glossel: internal error: unknown exception\n");
        return internal_error_status;
    }
    return 0;
}
