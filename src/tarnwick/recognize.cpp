// Placeholder until recognition lands.
#include "tarnwick/tarnwick.h"

namespace tarnwick {

Result<std::string> Engine::recognize(std::string_view, OcrMode) const {
    return platform::fail("recognition is not built yet");
}

}  // namespace tarnwick
