#pragma once
// Test-side helpers for the stand-in inference libraries: the script and call log of
// standin.h as C++ values, a trace of the test program's own dlopen/dlclose calls, temporary
// engine folders and scoped environment variables.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace standin {

// The folder of the complete stand-in engine (libggml, libggml-base, libllama, libmtmd).
std::string engine_dir();
// A library built without some functions, e.g. variant("no-eval-chunks", "libmtmd.so").
std::string variant(std::string_view name, std::string_view file);

// Clears the script, the call log and the dl trace.
void reset();
void set(const std::string& key, const std::string& value);
std::vector<std::string> calls();
// Only the calls whose line starts with one of the function names.
std::vector<std::string> calls_of(const std::vector<std::string>& functions);

// The bytes as the call log shows them (see README.md).
std::string escape(std::string_view bytes, bool escape_space = false);
std::string fnv_hex(std::string_view bytes);

// Every dlopen ("dlopen <path as passed>") and dlclose ("dlclose <file name of the library>")
// of this test program since the last reset.
std::vector<std::string> dl_events();

// A fresh folder under the test build folder, removed with everything in it at the end.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& path() const { return path_; }
    std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }
    // A symbolic link `name` to `target`.
    void link(std::string_view name, const std::string& target) const;
    void write(std::string_view name, std::string_view bytes) const;
    void make_folder(std::string_view name) const;

private:
    std::string path_;
};

// Sets (a value) or unsets (nothing) an environment variable until the end of the scope.
class ScopedEnv {
public:
    ScopedEnv(std::string name, std::optional<std::string> value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

}  // namespace standin
