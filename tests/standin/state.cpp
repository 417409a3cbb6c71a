// libstandin_state.so: the script and the call log shared by all stand-in libraries.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <string>

#include "standin.h"

namespace {

struct State {
    std::mutex mutex;
    bool script_read = false;
    std::map<std::string, std::string> script;
    std::deque<std::string> log;  // a deque keeps earlier lines in place while it grows
    std::map<std::string, unsigned long> counters;
};

State& state() {
    static State* s = new State;  // never destroyed: stand-ins may be called during exit
    return *s;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Values in the script file may hold \xHH, \n and \\ for bytes a text line cannot carry.
std::string unescape(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            out.push_back(text[i]);
            continue;
        }
        const char next = text[i + 1];
        if (next == 'n') {
            out.push_back('\n');
            ++i;
        } else if (next == '\\') {
            out.push_back('\\');
            ++i;
        } else if (next == 'x' && i + 3 < text.size() && hex_digit(text[i + 2]) >= 0 && hex_digit(text[i + 3]) >= 0) {
            out.push_back(static_cast<char>(hex_digit(text[i + 2]) * 16 + hex_digit(text[i + 3])));
            i += 3;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

bool load_script_locked(State& s, const char* path) {
    std::ifstream in(path);
    if (!in) return false;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        s.script[line.substr(0, eq)] = unescape(line.substr(eq + 1));
    }
    return true;
}

// Read once per process, on first use, unless a test reset the state before.
void read_script_locked(State& s) {
    if (s.script_read) return;
    s.script_read = true;
    if (const char* path = std::getenv("STANDIN_SCRIPT")) load_script_locked(s, path);
}

}  // namespace

extern "C" {

void standin_reset(void) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.script_read = true;
    s.script.clear();
    s.log.clear();
    s.counters.clear();
}

int standin_load_script(const char* path) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    read_script_locked(s);
    return load_script_locked(s, path) ? 1 : 0;
}

void standin_set(const char* key, const char* value) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    read_script_locked(s);
    if (value == nullptr) {
        s.script.erase(key);
    } else {
        s.script[key] = value;
    }
}

const char* standin_get(const char* key) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    read_script_locked(s);
    auto found = s.script.find(key);
    return found == s.script.end() ? nullptr : found->second.c_str();
}

void standin_record(const char* line) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.log.emplace_back(line);
    // Appended line by line, so the log of a process that dies or is killed stays complete.
    if (const char* path = std::getenv("STANDIN_LOG")) {
        if (std::FILE* file = std::fopen(path, "ab")) {
            std::fputs(line, file);
            std::fputc('\n', file);
            std::fclose(file);
        }
    }
}

size_t standin_log_count(void) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    return s.log.size();
}

const char* standin_log_line(size_t index) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    return index < s.log.size() ? s.log[index].c_str() : nullptr;
}

unsigned long standin_count(const char* kind) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    return ++s.counters[kind];
}

void standin_next_name(const char* kind, char out[32]) {
    const unsigned long n = standin_count((std::string("name:") + kind).c_str());
    std::snprintf(out, 32, "%s%lu", kind, n);
}

}  // extern "C"
