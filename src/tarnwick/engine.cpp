// Placeholder until engine creation lands.
#include "tarnwick/tarnwick.h"

namespace tarnwick {

std::int32_t worker_threads_for(unsigned) { return 4; }
std::int32_t worker_threads() { return 4; }

Result<Engine> Engine::create(const LibraryRef&, const NativePath&, const NativePath&, std::int32_t) {
    return platform::fail("engine creation is not built yet");
}

Engine::Engine(Engine&& other) noexcept { *this = std::move(other); }
Engine& Engine::operator=(Engine&& other) noexcept {
    library_ = std::move(other.library_);
    return *this;
}
Engine::~Engine() = default;
void Engine::release() noexcept {}

}  // namespace tarnwick
