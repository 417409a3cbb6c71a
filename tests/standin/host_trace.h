#pragma once
// What host.cpp takes from the per-system host_posix.cpp and host_win.cpp.

#include <string>

namespace standin {

// Forgets the traced library events.
void clear_trace();

// Records one library event of the system's loader, as dl_events() gives it back; safe from any
// thread.
void add_library_event(std::string event);

// This process's id, for names of temporary folders.
std::string process_id();

}  // namespace standin
