// Test-side helpers for the stand-ins, compiled into every test program.
//
// The dlopen/dlclose definitions below take precedence over the C library's for every call made
// from the test program (the engine's loader included), record it and pass it on. That is how
// the tests see which libraries the loader opened and closed, and in which order, although
// dlclose of a library that stays in use elsewhere unloads nothing.

#include "host.h"

#include <dlfcn.h>
#include <link.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <mutex>

#include "common.h"
#include "standin.h"

namespace {

std::mutex g_trace_mutex;
std::vector<std::string>& trace() {
    static auto* events = new std::vector<std::string>;
    return *events;
}
void add_event(std::string event) {
    std::lock_guard lock(g_trace_mutex);
    trace().push_back(std::move(event));
}

using dlopen_fn = void* (*)(const char*, int);
using dlclose_fn = int (*)(void*);

}  // namespace

extern "C" void* dlopen(const char* file, int mode) {
    static auto real = reinterpret_cast<dlopen_fn>(dlsym(RTLD_NEXT, "dlopen"));
    add_event("dlopen " + std::string(file == nullptr ? "(null)" : file));
    return real(file, mode);
}

extern "C" int dlclose(void* handle) {
    static auto real = reinterpret_cast<dlclose_fn>(dlsym(RTLD_NEXT, "dlclose"));
    link_map* map = nullptr;
    std::string name = "?";
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && map->l_name != nullptr) {
        name = std::filesystem::path(map->l_name).filename().string();
    }
    add_event("dlclose " + name);
    return real(handle);
}

namespace standin {

std::string engine_dir() { return std::string(STANDIN_DIR) + "/engine"; }

std::string variant(std::string_view name, std::string_view file) {
    return std::string(STANDIN_DIR) + "/variants/" + std::string(name) + "/" + std::string(file);
}

void reset() {
    standin_reset();
    std::lock_guard lock(g_trace_mutex);
    trace().clear();
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

std::vector<std::string> dl_events() {
    std::lock_guard lock(g_trace_mutex);
    return trace();
}

TempFolder::TempFolder() {
    static std::atomic<int> serial{0};
    const std::string base = std::string(TEST_BUILD_DIR) + "/tmp";
    std::filesystem::create_directories(base);
    path_ = base + "/t" + std::to_string(::getpid()) + "-" + std::to_string(serial++);
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void TempFolder::link(std::string_view name, const std::string& target) const {
    std::filesystem::create_symlink(target, file(name));
}

void TempFolder::write(std::string_view name, std::string_view bytes) const {
    std::FILE* f = std::fopen(file(name).c_str(), "wb");
    if (f == nullptr) return;
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

void TempFolder::make_folder(std::string_view name) const { std::filesystem::create_directories(file(name)); }

ScopedEnv::ScopedEnv(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) old_ = old;
    if (value) ::setenv(name_.c_str(), value->c_str(), 1);
    else ::unsetenv(name_.c_str());
}

ScopedEnv::~ScopedEnv() {
    if (old_) ::setenv(name_.c_str(), old_->c_str(), 1);
    else ::unsetenv(name_.c_str());
}

}  // namespace standin
