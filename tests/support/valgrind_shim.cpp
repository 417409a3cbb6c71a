// Preloaded into glossel by scripts/run-valgrind, for one reason: the image library pulls in
// libhwy, whose load-time initialiser measures its timer with RDTSCP. Valgrind executes only the
// instructions the host CPU announces, and on machines (virtual ones in particular) that run
// RDTSCP without announcing it, the process dies with SIGILL before main. The initialiser calls
// this function through its PLT, so the definition here takes its place; the value only seeds
// the library's benchmarking timer, which nothing of ours uses.

#include <cstdint>

namespace hwy::platform {

__attribute__((visibility("default"))) std::uint64_t TimerResolution() { return 1; }

}  // namespace hwy::platform
