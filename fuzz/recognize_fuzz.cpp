// The whole recognition road, from file bytes to text, on an engine made from the stand-in
// inference libraries: the file is read, decoded on the library road or handed to the projector's
// decoder, and generation runs. Every run ends in the scripted text or in the fallback decoder's
// failure, and releases everything it made (the sanitizers see every stand-in object).

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include <unistd.h>

#include "fuzz_check.h"
#include "image_size.h"
#include "platform/path.h"
#include "standin.h"
#include "tarnwick/tarnwick.h"

namespace {

std::optional<tarnwick::Engine> engine;
std::string image_path;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    auto library = tarnwick::load_engine_library(platform::path_from_utf8(STANDIN_DIR "/engine"));
    FUZZ_CHECK(library.ok());
    auto made = tarnwick::Engine::create(*library, platform::path_from_utf8("/stand-in/model.gguf"),
                                         platform::path_from_utf8("/stand-in/mmproj.gguf"), 0);
    FUZZ_CHECK(made.ok());
    engine.emplace(std::move(made).value());
    char name[] = "/tmp/recognize-fuzz-XXXXXX";
    const int fd = ::mkstemp(name);
    FUZZ_CHECK(fd >= 0);
    ::close(fd);
    image_path = name;
    std::atexit([] { std::remove(image_path.c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (too_large_to_fuzz(data, size)) return -1;
    std::FILE* file = std::fopen(image_path.c_str(), "wb");
    FUZZ_CHECK(file != nullptr);
    FUZZ_CHECK(std::fwrite(data, 1, size, file) == size);
    std::fclose(file);

    // A fresh script and call log for every input; on inputs of odd length the projector's own
    // decoder accepts anything.
    standin_reset();
    standin_set("tokens", "5,6");
    standin_set("piece.5", "page");
    standin_set("piece.6", " text");
    const bool fallback_decodes = size % 2 == 1;
    if (fallback_decodes) standin_set("fallback", "3x2");

    const auto mode = static_cast<tarnwick::OcrMode>(size % 3);
    const tarnwick::Result<std::string> text = engine->recognize(image_path, mode);
    if (text.ok()) {
        FUZZ_CHECK(text.value() == "page text");
    } else {
        FUZZ_CHECK(!fallback_decodes && text.error() == "unsupported or corrupt image");
    }
    return 0;
}
