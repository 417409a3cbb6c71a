// The Windows rules of the platform layer: joining with `\`, drive and verbatim prefixes, the
// environment, file tests and reads, the library loader's texts and the standard streams.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <windows.h>

#include "platform/dynlib.h"
#include "platform/env.h"
#include "platform/fs.h"
#include "platform/path.h"
#include "platform/process.h"
#include "platform/stdio.h"

namespace {

using platform::NativePath;

std::string text(const NativePath& path) { return platform::path_to_utf8(path); }

// A fresh folder under the temporary folder, removed with everything in it afterwards.
class TempFolder {
public:
    TempFolder() {
        wchar_t base[MAX_PATH + 1];
        const DWORD length = ::GetTempPathW(MAX_PATH + 1, base);
        path_ = NativePath(base, length) + L"platform_win_test_" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
                std::to_wstring(counter_++);
        ::CreateDirectoryW(path_.c_str(), nullptr);
    }
    ~TempFolder() { remove_tree(L"\\\\?\\" + path_); }
    const NativePath& path() const { return path_; }
    NativePath file(std::string_view name) const { return platform::join_path(path_, name); }

    NativePath write(std::string_view name, std::string_view bytes) const {
        const NativePath target = file(name);
        HANDLE handle = ::CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD put = 0;
        ::WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr);
        ::CloseHandle(handle);
        return target;
    }
    NativePath make_folder(std::string_view name) const {
        const NativePath target = file(name);
        ::CreateDirectoryW(target.c_str(), nullptr);
        return target;
    }

private:
    static void remove_tree(const NativePath& folder) {
        WIN32_FIND_DATAW found;
        HANDLE search = ::FindFirstFileW((folder + L"\\*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring name = found.cFileName;
                if (name == L"." || name == L"..") continue;
                const NativePath child = folder + L"\\" + name;
                if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) remove_tree(child);
                else ::DeleteFileW(child.c_str());
            } while (::FindNextFileW(search, &found));
            ::FindClose(search);
        }
        ::RemoveDirectoryW(folder.c_str());
    }
    static inline int counter_ = 0;
    NativePath path_;
};

// Sets or removes an environment variable for one test and puts the old value back.
class ScopedVariable {
public:
    ScopedVariable(const wchar_t* name, const wchar_t* value) : name_(name) {
        wchar_t old[32768];
        ::SetLastError(0);
        const DWORD length = ::GetEnvironmentVariableW(name, old, 32768);
        if (length > 0 || ::GetLastError() == 0) old_ = std::wstring(old, length);
        ::SetEnvironmentVariableW(name, value);
    }
    ~ScopedVariable() { ::SetEnvironmentVariableW(name_.c_str(), old_ ? old_->c_str() : nullptr); }

private:
    std::wstring name_;
    std::optional<std::wstring> old_;
};

TEST(JoinPathWin, BackslashUnlessEmptyBareDriveOrSeparatorAtTheEnd) {
    struct Case { const wchar_t* folder; const char* piece; const wchar_t* joined; };
    const Case cases[] = {
        {L"C:\\engine", "ggml.dll", L"C:\\engine\\ggml.dll"},
        {L"C:\\engine\\", "ggml.dll", L"C:\\engine\\ggml.dll"},
        {L"C:\\engine/", "ggml.dll", L"C:\\engine/ggml.dll"},
        {L"", "ggml.dll", L"ggml.dll"},
        {L"C:", "ggml.dll", L"C:ggml.dll"},                    // bare drive: relative to its current folder
        {L"d:", "a", L"d:a"},
        {L"C:x", "a", L"C:x\\a"},                              // a drive with a folder is no bare drive
        {L"engine", "a", L"engine\\a"},
        {L"bin", "../Frameworks", L"bin\\../Frameworks"},      // nothing normalised
        {L"\\\\server\\share", "a", L"\\\\server\\share\\a"},
        {L"C:\\app", "varnholt-ocr", L"C:\\app\\varnholt-ocr"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(text(c.folder) + " + " + c.piece);
        EXPECT_EQ(platform::join_path(c.folder, c.piece), c.joined);
    }
}

TEST(JoinPathWin, VerbatimFolderResolvesDotsOfThePiece) {
    struct Case { const wchar_t* folder; const char* piece; const wchar_t* joined; };
    const Case cases[] = {
        {L"\\\\?\\C:\\app\\bin", "../Frameworks", L"\\\\?\\C:\\app\\Frameworks"},
        {L"\\\\?\\C:\\app\\bin\\", "./a/./b", L"\\\\?\\C:\\app\\bin\\a\\b"},
        {L"\\\\?\\C:\\", "../x", L"\\\\?\\C:\\x"},            // nothing above the root
        {L"\\\\?\\C:\\app", "resources", L"\\\\?\\C:\\app\\resources"},
        {L"\\\\?\\UNC\\server\\share\\d", "../e", L"\\\\?\\UNC\\server\\share\\e"},
        {L"\\\\?\\C:\\a/b", "c", L"\\\\?\\C:\\a/b\\c"},       // `/` is part of a verbatim name
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(text(c.folder) + " + " + c.piece);
        EXPECT_EQ(platform::join_path(c.folder, c.piece), c.joined);
    }
}

TEST(ParentPathWin, StopsAtTheRootOfADriveOrShare) {
    struct Case { const wchar_t* path; std::optional<NativePath> parent; };
    const Case cases[] = {
        {L"C:\\a\\b\\glossel.exe", L"C:\\a\\b"},
        {L"C:\\a", L"C:\\"},
        {L"C:\\", std::nullopt},
        {L"C:\\a\\b\\", L"C:\\a"},
        {L"C:/a/b", L"C:/a"},
        {L"a\\\\b", L"a"},
        {L"glossel.exe", std::nullopt},
        {L"\\\\server\\share\\x", L"\\\\server\\share\\"},
        {L"\\\\server\\share\\", std::nullopt},
        {L"\\\\?\\C:\\a", L"\\\\?\\C:\\"},
        {L"\\\\?\\C:\\", std::nullopt},
        {L"\\\\?\\UNC\\server\\share\\a", L"\\\\?\\UNC\\server\\share\\"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(text(c.path));
        EXPECT_EQ(platform::parent_path(c.path), c.parent);
    }
}

TEST(LibraryFileNameWin, IsStemDll) {
    EXPECT_EQ(platform::library_file_name("ggml"), "ggml.dll");
    EXPECT_EQ(platform::library_file_name("ggml-base"), "ggml-base.dll");
}

TEST(EnvironmentWin, SetButEmptyCountsAsSetAndValuesStayExact) {
    {
        const ScopedVariable empty(L"PLATFORM_WIN_TEST_VAR", L"");
        EXPECT_EQ(platform::env_path("PLATFORM_WIN_TEST_VAR"), NativePath());
        EXPECT_EQ(platform::env_var("PLATFORM_WIN_TEST_VAR"), std::string());
    }
    {
        const ScopedVariable unset(L"PLATFORM_WIN_TEST_VAR", nullptr);
        EXPECT_EQ(platform::env_path("PLATFORM_WIN_TEST_VAR"), std::nullopt);
        EXPECT_EQ(platform::env_var("PLATFORM_WIN_TEST_VAR"), std::nullopt);
    }
    {
        const std::wstring lone = std::wstring(L"C:\\a") + wchar_t(0xD800) + L" b ";
        const ScopedVariable value(L"PLATFORM_WIN_TEST_VAR", lone.c_str());
        EXPECT_EQ(platform::env_path("PLATFORM_WIN_TEST_VAR"), lone);
        EXPECT_EQ(platform::env_var("PLATFORM_WIN_TEST_VAR"), "C:\\a\xEF\xBF\xBD b ");
    }
    {
        const std::wstring long_value(5000, L'x');  // longer than the first buffer
        const ScopedVariable value(L"PLATFORM_WIN_TEST_VAR", long_value.c_str());
        EXPECT_EQ(platform::env_path("PLATFORM_WIN_TEST_VAR"), long_value);
    }
}

TEST(EnvironmentWin, UserDataFolderIsLocalAppDataAlone) {
    const ScopedVariable home(L"HOME", L"C:\\home");
    const ScopedVariable xdg(L"XDG_DATA_HOME", L"C:\\xdg");
    {
        const ScopedVariable local(L"LOCALAPPDATA", L"D:\\Local");
        EXPECT_EQ(platform::user_data_dir(), NativePath(L"D:\\Local"));
    }
    {
        const ScopedVariable local(L"LOCALAPPDATA", L"");
        EXPECT_EQ(platform::user_data_dir(), NativePath());
    }
    {
        const ScopedVariable local(L"LOCALAPPDATA", nullptr);
        EXPECT_EQ(platform::user_data_dir(), std::nullopt);
    }
}

TEST(FileTestsWin, KindsOfEntries) {
    const TempFolder folder;
    const NativePath file = folder.write("a.png", "x");
    const NativePath sub = folder.make_folder("ggml.dll");
    struct Case { NativePath path; bool exists, is_file, is_folder; };
    const Case cases[] = {
        {file, true, true, false},
        {sub, true, false, true},
        {folder.file("missing"), false, false, false},
        {folder.file("missing\\deeper"), false, false, false},
        {L"", false, false, false},
        {file + L'\0' + L"x", false, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(text(c.path));
        EXPECT_EQ(platform::entry_exists(c.path), c.exists);
        EXPECT_EQ(platform::is_file(c.path), c.is_file);
        EXPECT_EQ(platform::is_folder(c.path), c.is_folder);
    }
}

TEST(ReadWholeFileWin, ReadsWhileOthersWriteAndDelete) {
    const TempFolder folder;
    const NativePath path = folder.write("held.bin", std::string("ab\0cd", 5));
    HANDLE held = ::CreateFileW(path.c_str(), GENERIC_WRITE | DELETE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    platform::Result<platform::ByteBuffer> read = platform::read_whole_file(path);
    ::CloseHandle(held);
    ASSERT_TRUE(read.ok()) << read.error();
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(read->data()), read->size()), std::string("ab\0cd", 5));
}

TEST(ReadWholeFileWin, FailureIsTheSystemMessageAndCode) {
    const TempFolder folder;
    struct Case { NativePath path; const char* code; };
    const Case cases[] = {
        {folder.file("missing.png"), " (os error 2)"},
        {folder.file("no\\such.png"), " (os error 3)"},
        {folder.make_folder("sub"), " (os error 5)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(text(c.path));
        platform::Result<platform::ByteBuffer> read = platform::read_whole_file(c.path);
        ASSERT_FALSE(read.ok());
        const std::string& error = read.error();
        ASSERT_TRUE(error.ends_with(c.code)) << error;
        EXPECT_GT(error.size(), std::string_view(c.code).size()) << "the system's message comes first";
        EXPECT_EQ(error.find_first_of("\r\n"), std::string::npos) << error;
    }
}

TEST(FileTestsWin, PathsLongerThanTheClassicLimit) {
    const TempFolder folder;
    NativePath deep = folder.path();
    for (int i = 0; i < 10; ++i) {
        deep = platform::join_path(deep, std::string(30, static_cast<char>('a' + i)));
        ASSERT_TRUE(::CreateDirectoryW((L"\\\\?\\" + deep).c_str(), nullptr));
    }
    const NativePath file = platform::join_path(deep, "f.txt");
    HANDLE handle = ::CreateFileW((L"\\\\?\\" + file).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD put = 0;
    ::WriteFile(handle, "deep", 4, &put, nullptr);
    ::CloseHandle(handle);
    ASSERT_GT(file.size(), static_cast<std::size_t>(MAX_PATH));
    EXPECT_TRUE(platform::is_folder(deep));
    EXPECT_TRUE(platform::is_file(file));
    platform::Result<platform::ByteBuffer> read = platform::read_whole_file(file);
    ASSERT_TRUE(read.ok()) << read.error();
    EXPECT_EQ(read->size(), 4u);
}

TEST(FileTestsWin, FolderNameWithAnUnpairedSurrogateIsUsedExactly) {
    const TempFolder folder;
    const NativePath odd = folder.path() + L"\\eng" + wchar_t(0xD800) + L"ine";
    if (!::CreateDirectoryW(odd.c_str(), nullptr)) GTEST_SKIP() << "this file system cannot hold such a name";
    EXPECT_TRUE(platform::is_folder(odd));
    EXPECT_FALSE(platform::is_folder(folder.path() + L"\\eng" + wchar_t(0xFFFD) + L"ine"));
    EXPECT_TRUE(text(odd).ends_with("\\eng\xEF\xBF\xBDine"));
}

NativePath system_library(const wchar_t* name) {
    wchar_t folder[MAX_PATH];
    const UINT length = ::GetSystemDirectoryW(folder, MAX_PATH);
    return platform::join_path(NativePath(folder, length), platform::path_to_utf8(name));
}

TEST(LibraryWin, LoaderTextsCarryNoCodeOrMessage) {
    const TempFolder folder;
    const NativePath not_a_library = folder.write("mtmd.dll", "not a library");
    struct Case { NativePath path; const char* error; };
    const Case cases[] = {
        {folder.make_folder("ggml.dll"), "LoadLibraryExW failed"},
        {not_a_library, "LoadLibraryExW failed"},
        {folder.file("absent.dll"), "LoadLibraryExW failed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(text(c.path));
        platform::Result<platform::ModuleHandle> opened = platform::open_library(c.path);
        ASSERT_FALSE(opened.ok());
        EXPECT_EQ(opened.error(), c.error);
    }

    platform::Result<platform::ModuleHandle> opened = platform::open_library(system_library(L"kernel32.dll"));
    ASSERT_TRUE(opened.ok()) << opened.error();
    platform::Result<void*> found = platform::find_symbol(*opened, "GetTickCount");
    EXPECT_TRUE(found.ok());
    platform::Result<void*> missing = platform::find_symbol(*opened, "no_such_function_anywhere");
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error(), "GetProcAddress failed");
    platform::close_library(*opened);
}

TEST(LibraryWin, ErrorModeIsPutBackUnlessItWasAlreadyFailCriticalErrors) {
    const TempFolder folder;
    for (const DWORD before : {DWORD{0}, DWORD{SEM_NOGPFAULTERRORBOX}, DWORD{SEM_FAILCRITICALERRORS}}) {
        SCOPED_TRACE(before);
        ASSERT_TRUE(::SetThreadErrorMode(before, nullptr));
        (void)platform::open_library(folder.file("absent.dll"));
        EXPECT_EQ(::GetThreadErrorMode(), before);
        platform::Result<platform::ModuleHandle> opened = platform::open_library(system_library(L"kernel32.dll"));
        EXPECT_TRUE(opened.ok());
        EXPECT_EQ(::GetThreadErrorMode(), before);
    }
    ::SetThreadErrorMode(0, nullptr);
}

TEST(ProcessWin, ExecutablePathAndProcessors) {
    const std::optional<NativePath> exe = platform::executable_path();
    ASSERT_TRUE(exe.has_value());
    EXPECT_TRUE(platform::is_file(*exe)) << text(*exe);
    EXPECT_TRUE(text(*exe).ends_with("platform_win_test.exe")) << text(*exe);
    EXPECT_GE(platform::processor_count(), 1u);
}

// Swaps one standard handle for the test's duration.
class ScopedStdHandle {
public:
    ScopedStdHandle(DWORD which, HANDLE handle) : which_(which), old_(::GetStdHandle(which)) { ::SetStdHandle(which, handle); }
    ~ScopedStdHandle() { ::SetStdHandle(which_, old_); }

private:
    DWORD which_;
    HANDLE old_;
};

std::string read_to_end(std::size_t capacity, std::string& status) {
    std::string all;
    std::string buffer(capacity, '\0');
    for (;;) {
        const platform::ReadResult got = platform::read_stdin(buffer.data(), capacity);
        if (got.status != platform::ReadStatus::data) {
            status = got.status == platform::ReadStatus::end ? "end" : "failed";
            return all;
        }
        all.append(buffer, 0, got.count);
    }
}

TEST(StandardStreamsWin, PipeWhoseWriterClosedEndsTheInput) {
    HANDLE reader, writer;
    ASSERT_TRUE(::CreatePipe(&reader, &writer, nullptr, 0));
    DWORD put = 0;
    ::WriteFile(writer, "{\"id\":1}\r\nlast", 14, &put, nullptr);
    ::CloseHandle(writer);
    const ScopedStdHandle input(STD_INPUT_HANDLE, reader);
    std::string status;
    EXPECT_EQ(read_to_end(5, status), "{\"id\":1}\r\nlast");
    EXPECT_EQ(status, "end");
    ::CloseHandle(reader);
}

TEST(StandardStreamsWin, NoStandardInputHandleIsTheEnd) {
    const ScopedStdHandle input(STD_INPUT_HANDLE, nullptr);
    std::string status;
    EXPECT_EQ(read_to_end(16, status), "");
    EXPECT_EQ(status, "end");
}

TEST(StandardStreamsWin, OutputToAPipeIsTheBytesUnchanged) {
    HANDLE reader, writer;
    ASSERT_TRUE(::CreatePipe(&reader, &writer, nullptr, 0));
    {
        const ScopedStdHandle output(STD_OUTPUT_HANDLE, writer);
        platform::prepare_standard_streams();
        platform::write_stdout("{\"a\":\"\xC3\xA9\"}\n\n");
    }
    ::CloseHandle(writer);
    char bytes[64];
    DWORD got = 0;
    ASSERT_TRUE(::ReadFile(reader, bytes, sizeof bytes, &got, nullptr));
    EXPECT_EQ(std::string(bytes, got), "{\"a\":\"\xC3\xA9\"}\n\n");
    ::CloseHandle(reader);
}

}  // namespace
