#pragma once
// What the fuzz targets share: a check that stops the run with a message (libFuzzer then saves
// the input), and type-exact comparison of JSON values.

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include <nlohmann/json.hpp>

namespace fuzz {

[[noreturn]] inline void failed(const char* what, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
    std::abort();
}

#define FUZZ_CHECK(condition) \
    ((condition) ? static_cast<void>(0) : ::fuzz::failed(#condition, __FILE__, __LINE__))

// The library's operator== compares numbers across their kinds (1 == 1.0); here the kind counts
// too, so a round trip that turns an integer into a double is caught.
inline bool same_value(const nlohmann::json& a, const nlohmann::json& b) {
    if (a.type() != b.type()) return false;
    if (a.is_object()) {
        if (a.size() != b.size()) return false;
        for (auto x = a.begin(), y = b.begin(); x != a.end(); ++x, ++y) {
            if (x.key() != y.key() || !same_value(x.value(), y.value())) return false;
        }
        return true;
    }
    if (a.is_array()) {
        if (a.size() != b.size()) return false;
        for (std::size_t i = 0; i < a.size(); ++i) {
            if (!same_value(a[i], b[i])) return false;
        }
        return true;
    }
    if (a.is_number_float()) {
        // Bitwise, so that -0.0 and 0.0 differ.
        const double x = a.get<double>(), y = b.get<double>();
        return x == y && std::signbit(x) == std::signbit(y);
    }
    return a == b;
}

// Levels of arrays and objects: 0 for a scalar, 1 for [] or {"a":1}.
inline int depth(const nlohmann::json& value) {
    int deepest = 0;
    if (value.is_structured()) {
        for (const auto& element : value) deepest = std::max(deepest, depth(element));
        return deepest + 1;
    }
    return 0;
}

}  // namespace fuzz
