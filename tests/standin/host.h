#pragma once
// Test-side helpers for the stand-in inference libraries: the script and call log of
// standin.h as C++ values, a trace of the test program's own library opening and closing,
// temporary engine folders, scoped environment variables, and the loader texts that differ
// between the systems.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dynlib.h"
#include "platform/path.h"

namespace standin {

// The folder of the complete stand-in engine (ggml, ggml-base, llama, mtmd).
std::string engine_dir();
// The file of the library `stem` in the complete engine folder.
std::string engine_file(std::string_view stem);
// A library built without some functions, e.g. variant("no-eval-chunks", "mtmd").
std::string variant(std::string_view name, std::string_view stem);

// Clears the script, the call log and the library trace.
void reset();
void set(const std::string& key, const std::string& value);
std::vector<std::string> calls();
// Only the calls whose line starts with one of the function names.
std::vector<std::string> calls_of(const std::vector<std::string>& functions);

// The bytes as the call log shows them (see README.md).
std::string escape(std::string_view bytes, bool escape_space = false);
std::string fnv_hex(std::string_view bytes);

// Every library this test program opened and closed since the last reset, in order, as
// opened(path) and closed(stem) give them.
std::vector<std::string> dl_events();
// The event of opening the file at `path` (as passed to the system) and of closing the library
// `stem`: "dlopen {path}" and "dlclose lib{stem}.so" on Linux, "LoadLibraryExW {path}" and
// "FreeLibrary {stem}.dll" on Windows. opened() takes the path as text.
std::string opened(std::string_view path);
std::string opened_native(const platform::NativePath& path);
std::string closed(std::string_view stem);

// What the loader puts before a bare file name so that the system takes it from the current
// folder: "./" on Linux, ".\" on Windows.
std::string current_folder_prefix();

// The loader's texts (library.cpp with the platform layer): whether `error` is the failure to
// open `path` ("failed to load {path}: " and the system's words), and the text of a function a
// library lacks.
bool is_open_failure(const std::string& error, const std::string& path);
std::string missing_symbol(std::string_view name);

// Whether ggml itself answers for ggml_log_set. On Linux dlsym finds it in ggml and its
// dependencies alike; on Windows only ggml-base.dll exports it, as in llama.cpp's builds.
bool ggml_exports_log_set();

// The address of `name` in an opened library, or null.
void* symbol(platform::ModuleHandle library, const char* name);

// A fresh folder under the test build folder, removed with everything in it at the end.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& path() const { return path_; }
    // The folder joined with `name`; file("") is the folder with a separator at its end.
    std::string file(std::string_view name) const;
    // `name` for the file `target`: a symbolic link where the system can make one, else a copy
    // (Wine makes no links).
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
