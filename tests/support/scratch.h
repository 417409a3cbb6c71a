#pragma once
// Small test scaffolding: paths written the system's way, a temporary folder tree, an
// environment guard, a capture of the process's standard error, and the few texts and abilities
// that differ between the systems (scratch_posix.cpp, scratch_win.cpp).
//
// Paths are UTF-8 text here. Tests write relative paths with '/', and these helpers join their
// pieces with the platform layer's join_path, so that an expected path reads as the system
// itself would join it: "a/b" beside a Windows folder becomes "a\b".

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/path.h"

namespace test_support {

// `folder` joined with each '/'-separated piece of `relative` in turn ("a/" ends in a separator).
std::string join(std::string_view folder, std::string_view relative);

// `folder` joined with `piece` as one piece, '/'s and all.
std::string join_piece(std::string_view folder, std::string_view piece);

// The file name of the library `stem` on this system ("libllama.so", "llama.dll").
std::string lib(std::string_view stem);

// The file name of the library `stem` on the other system, which must not count here.
std::string foreign_lib(std::string_view stem);

// The file name of a program called `name` on this system ("glossel", "glossel.exe").
std::string program(std::string_view name);

// A std::filesystem path for UTF-8 text.
std::filesystem::path fs_path(std::string_view text);

// Every "{root}" replaced by `root`; the '/'s of the path that follows it, up to a quote, a '|',
// white space or the end, become the separators join() puts in.
std::string with_root(std::string text, const std::string& root);

// `prefix`, a piece that is no valid text on this system (an ill-formed UTF-8 byte on Linux, an
// unpaired surrogate on Windows), then `suffix`. As text the piece reads U+FFFD.
platform::NativePath path_with_invalid_piece(std::string_view prefix, std::string_view suffix);

// Says on standard output how many cases of a table did not run here, and why.
void note_skipped(int count, std::string_view why);

// ---- per system

// The first value on Linux, the second on Windows: for the few expectations that differ.
std::string linux_or_windows(std::string linux_value, std::string windows_value);

// Sets (a value, the empty one included) or removes (nothing) a variable of this process, for the
// system's own calls, child processes and the C library's getenv alike.
void set_env(const std::string& name, const std::optional<std::string>& value);
std::optional<std::string> get_env(const std::string& name);

// Makes a fresh folder under the system's temporary folder and gives its path.
std::string make_temp_folder();

// Whether this system lets a test make symbolic links. Wine reports success and makes none.
bool can_make_links();
// A symbolic link at `link` to `target` (as written); throws when it cannot be made.
void make_link(const std::string& link, const std::string& target);

// The text the platform layer gives for an operating-system error: the system's message for it,
// then " (os error {code})".
enum class OsError {
    not_found,  // the file does not exist
    is_folder,  // a folder was opened as a file
};
std::string os_error_text(OsError error);

// Keeps a file from being read for as long as it lives: mode 000 on Linux, held open without
// sharing on Windows.
class Unreadable {
public:
    explicit Unreadable(const std::string& path);
    ~Unreadable();
    Unreadable(const Unreadable&) = delete;
    Unreadable& operator=(const Unreadable&) = delete;

private:
    struct Hold;
    std::unique_ptr<Hold> hold_;
};

// Sends the process's standard error (the C library's and the system's handle alike) into a
// temporary file until text() or destruction.
class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    // Everything written so far; ends the capture.
    std::string text();

private:
    void restore();
    struct Saved;
    std::unique_ptr<Saved> saved_;
    std::string file_;
};

// ---- built on the above

// A fresh folder under the temporary folder, removed with everything in it on destruction.
class TempTree {
public:
    TempTree() : root_(make_temp_folder()) {}
    ~TempTree();
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    const std::string& root() const { return root_; }
    std::string path(std::string_view relative) const { return join(root_, relative); }

    // "a/b/" makes a folder, "a -> target" a symbolic link (target as written; where the system
    // makes no links, a copy of the target, which must exist), anything else a file holding
    // `contents`; missing parents are made.
    void add(std::string_view entry, std::string_view contents = "x") const;
    void add_all(const std::vector<std::string>& entries) const;

private:
    std::string root_;
};

// Sets or unsets variables for one scope and puts back what was there before.
class EnvGuard {
public:
    EnvGuard() = default;
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;
    ~EnvGuard();
    void set(const std::string& name, const std::string& value) { apply(name, value); }
    void unset(const std::string& name) { apply(name, std::nullopt); }
    void apply(const std::string& name, const std::optional<std::string>& value);

private:
    std::map<std::string, std::optional<std::string>> saved_;
};

}  // namespace test_support
