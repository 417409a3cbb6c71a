// Test-side helpers for the stand-ins, compiled into every test program. How the test program's
// own library opening and closing is traced, and the loader texts of each system, are in
// host_posix.cpp and host_win.cpp.

#include "host.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "common.h"
#include "host_trace.h"
#include "standin.h"
#include "support/scratch.h"

namespace {

// The loader's events, recorded from whichever thread opens a library.
std::mutex g_trace_mutex;
std::vector<std::string>& trace() {
    static auto* events = new std::vector<std::string>;
    return *events;
}

}  // namespace

namespace standin {

void add_library_event(std::string event) {
    std::lock_guard lock(g_trace_mutex);
    trace().push_back(std::move(event));
}

void clear_trace() {
    std::lock_guard lock(g_trace_mutex);
    trace().clear();
}

std::vector<std::string> dl_events() {
    std::lock_guard lock(g_trace_mutex);
    return trace();
}

std::string engine_dir() { return test_support::join(STANDIN_DIR, "engine"); }

std::string engine_file(std::string_view stem) { return test_support::join(engine_dir(), test_support::lib(stem)); }

std::string variant(std::string_view name, std::string_view stem) {
    return test_support::join(STANDIN_DIR, "variants/" + std::string(name) + "/" + test_support::lib(stem));
}

void reset() {
    standin_reset();
    clear_trace();
}

void set(const std::string& key, const std::string& value) { standin_set(key.c_str(), value.c_str()); }

std::vector<std::string> calls() {
    std::vector<std::string> out;
    for (std::size_t i = 0; const char* line = standin_log_line(i); ++i) out.emplace_back(line);
    return out;
}

std::vector<std::string> calls_of(const std::vector<std::string>& functions) {
    std::vector<std::string> out;
    for (const std::string& line : calls()) {
        const std::string head = line.substr(0, line.find(' '));
        for (const std::string& f : functions) {
            if (head == f) {
                out.push_back(line);
                break;
            }
        }
    }
    return out;
}

std::string escape(std::string_view bytes, bool escape_space) { return escape_bytes(bytes, escape_space); }

std::string fnv_hex(std::string_view bytes) {
    return hex64(fnv1a64(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()));
}

std::string opened(std::string_view path) { return opened_native(platform::path_from_utf8(path)); }

TempFolder::TempFolder() {
    static std::atomic<int> serial{0};
    const std::string base = test_support::join(TEST_BUILD_DIR, "tmp");
    std::filesystem::create_directories(test_support::fs_path(base));
    path_ = test_support::join(base, "t" + process_id() + "-" + std::to_string(serial++));
    std::filesystem::remove_all(test_support::fs_path(path_));
    std::filesystem::create_directories(test_support::fs_path(path_));
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(test_support::fs_path(path_), ignored);
}

std::string TempFolder::file(std::string_view name) const { return test_support::join(path_, name); }

void TempFolder::link(std::string_view name, const std::string& target) const {
    if (test_support::can_make_links()) {
        test_support::make_link(file(name), target);
    } else {
        std::filesystem::copy(test_support::fs_path(target), test_support::fs_path(file(name)),
                              std::filesystem::copy_options::recursive);
    }
}

void TempFolder::write(std::string_view name, std::string_view bytes) const {
    std::ofstream(test_support::fs_path(file(name)), std::ios::binary) << bytes;
}

void TempFolder::make_folder(std::string_view name) const {
    std::filesystem::create_directories(test_support::fs_path(file(name)));
}

ScopedEnv::ScopedEnv(std::string name, std::optional<std::string> value)
    : name_(std::move(name)), old_(test_support::get_env(name_)) {
    test_support::set_env(name_, value);
}

ScopedEnv::~ScopedEnv() { test_support::set_env(name_, old_); }

}  // namespace standin
