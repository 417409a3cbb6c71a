#pragma once
// What host.cpp takes from the per-system host_posix.cpp and host_win.cpp.

#include <string>

namespace standin {

// Forgets the traced library events.
void clear_trace();

// This process's id, for names of temporary folders.
std::string process_id();

}  // namespace standin
