// Placeholder until the library binding lands: every load fails with an honest text.
#include "tarnwick/tarnwick.h"

namespace tarnwick {

struct LibraryRef::Block {};
struct EngineLibrary {};

LibraryRef::LibraryRef(const LibraryRef&) noexcept {}
LibraryRef::LibraryRef(LibraryRef&& other) noexcept : block_(other.block_) { other.block_ = nullptr; }
LibraryRef& LibraryRef::operator=(LibraryRef other) noexcept {
    std::swap(block_, other.block_);
    return *this;
}
LibraryRef::~LibraryRef() = default;
void LibraryRef::reset() noexcept { block_ = nullptr; }
const EngineLibrary& LibraryRef::operator*() const noexcept {
    static EngineLibrary none;
    return none;
}
std::size_t LibraryRef::strong_count() const noexcept { return 0; }

std::optional<NativePath> find_library(const NativePath&, std::string_view) { return std::nullopt; }

Result<LibraryRef> load_engine_library(const NativePath&) {
    return platform::fail("the engine library binding is not built yet");
}

}  // namespace tarnwick
