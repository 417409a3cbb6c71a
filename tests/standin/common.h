#pragma once
// What the stand-in libraries share: their objects, the call-log line builder and the script
// readers. Header-only, compiled into each stand-in.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "standin.h"
#include "tarnwick/llama_abi.h"

// What a stand-in exports; the Windows build defines it as __declspec(dllexport).
#ifndef STANDIN_EXPORT
#define STANDIN_EXPORT __attribute__((visibility("default")))
#endif
#define STANDIN_API extern "C" STANDIN_EXPORT

namespace standin {

// Every object a stand-in hands out starts with its name ("model1", "ctx2", ...), which is how
// the call log refers to it; other fields are what later calls need.
struct Object {
    char name[32];
};
struct Vocab : Object {};
struct Model : Object {
    Vocab* vocab;
};
struct Memory : Object {
    std::int64_t positions;  // positions held in sequence 0; cleared by llama_memory_clear
};
struct Context : Object {
    std::uint32_t n_ctx;
    Memory* memory;
};
struct Mtmd : Object {};
struct Chunks : Object {};
struct Sampler : Object {
    std::vector<Sampler*> owned;  // a chain owns the samplers added to it
};
struct Bitmap : Object {
    std::uint32_t nx, ny;
};
struct Video : Object {};

template <class T>
T* make(const char* kind) {
    T* object = new T{};
    standin_next_name(kind, object->name);
    return object;
}

inline std::string name_of(const void* object) {
    return object == nullptr ? "null" : static_cast<const Object*>(object)->name;
}

// Bytes as printable ASCII: backslash and anything outside 0x20..0x7E as \xHH; the space too when
// asked (a script value written by a test).
inline std::string escape_bytes(std::string_view bytes, bool escape_space = false) {
    std::string out;
    const unsigned char lowest = escape_space ? 0x21 : 0x20;
    for (unsigned char c : bytes) {
        if (c >= lowest && c <= 0x7E && c != '\\') {
            out.push_back(static_cast<char>(c));
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

inline std::uint64_t fnv1a64(const unsigned char* data, std::size_t size) {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (std::size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 0x100000001b3ULL;
    return h;
}

inline std::string hex_bytes(const unsigned char* data, std::size_t size) {
    std::string out;
    char two[3];
    for (std::size_t i = 0; i < size; ++i) {
        std::snprintf(two, sizeof two, "%02x", data[i]);
        out += two;
    }
    return out;
}

inline std::string hex64(std::uint64_t v) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(v));
    return text;
}

// One call-log line: the function name, then " key=value" pieces, then " -> result".
class Line {
public:
    explicit Line(const char* function) : text_(function) {}
    Line& arg(const char* key, const std::string& value) {
        text_ += ' ';
        text_ += key;
        text_ += '=';
        text_ += value;
        return *this;
    }
    Line& arg(const char* key, const char* value) { return arg(key, std::string(value == nullptr ? "null" : value)); }
    Line& str(const char* key, const char* value) {
        return arg(key, value == nullptr ? std::string("null") : '"' + escape_bytes(value) + '"');
    }
    Line& ptr(const char* key, const void* value) { return arg(key, value == nullptr ? "null" : "set"); }
    Line& obj(const char* key, const void* object) { return arg(key, name_of(object)); }
    template <class N>
    Line& num(const char* key, N value) {
        if constexpr (std::is_same_v<N, bool>) return arg(key, value ? "1" : "0");
        else if constexpr (std::is_floating_point_v<N>) {
            char text[32];
            std::snprintf(text, sizeof text, "%g", static_cast<double>(value));
            return arg(key, text);
        } else return arg(key, std::to_string(value));
    }
    const std::string& text() const { return text_; }
    void done() const { standin_record(text_.c_str()); }
    void done(const std::string& result) const { standin_record((text_ + " -> " + result).c_str()); }

private:
    std::string text_;
};

inline const char* script(const char* key) { return standin_get(key); }
inline bool script_is(const char* key, const char* value) {
    const char* v = standin_get(key);
    return v != nullptr && std::strcmp(v, value) == 0;
}
inline long long script_int(const char* key, long long fallback) {
    const char* v = standin_get(key);
    return v == nullptr ? fallback : std::strtoll(v, nullptr, 10);
}
inline std::string script_key(const char* prefix, long long n) { return std::string(prefix) + std::to_string(n); }

}  // namespace standin

namespace standin {

// "5,6,7" as numbers; missing key: nothing.
inline std::vector<long long> script_list(const char* key, const char* fallback = nullptr) {
    const char* v = standin_get(key);
    if (v == nullptr) v = fallback;
    std::vector<long long> out;
    if (v == nullptr) return out;
    const char* p = v;
    while (*p != '\0') {
        char* end = nullptr;
        const long long n = std::strtoll(p, &end, 10);
        if (end == p) break;
        out.push_back(n);
        p = *end == ',' ? end + 1 : end;
    }
    return out;
}

template <class F>
const char* fn_state(F f) { return f == nullptr ? "null" : "set"; }

// One library's log destination, as its log setter left it. A message goes to the callback set,
// or to standard error when none was set, as the real libraries do.
class LogSink {
public:
    // The setter's call: recorded in `line`, then kept.
    void set(Line& line, ggml_log_callback callback, void* user_data) {
        line.arg("callback", fn_state(callback)).ptr("user_data", user_data).done();
        callback_ = callback;
        user_data_ = user_data;
    }
    void emit(const char* text) const {
        if (callback_ != nullptr) {
            callback_(GGML_LOG_LEVEL_INFO, text, user_data_);
        } else {
            std::fputs(text, stderr);
        }
    }

private:
    ggml_log_callback callback_ = nullptr;
    void* user_data_ = nullptr;
};

}  // namespace standin

#define STANDIN_CHECK_TYPE(fn) static_assert(std::is_same_v<decltype(&fn), tarnwick::abi::fn##_fn>)
