#include "platform/fs.h"

#include <iterator>
#include <string>
#include <windows.h>

#include "platform/utf16.h"

namespace platform {
namespace {

// The system's message for `code`, without its line end, then the code: "{} (os error {})".
std::string os_error_text(DWORD code) {
    wchar_t message[2048];
    DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                    message, static_cast<DWORD>(std::size(message)), nullptr);
    std::string text;
    if (length == 0) {
        text = "unknown error";
    } else {
        if (length > 0 && message[length - 1] == L'\n') --length;
        if (length > 0 && message[length - 1] == L'\r') --length;
        text = utf16_to_utf8(std::wstring_view(message, length));
    }
    return text + " (os error " + std::to_string(code) + ")";
}

// The path as the system calls take it. A path too long for the classic limit goes in the
// verbatim form, made absolute by the system first, since a verbatim path is taken literally.
std::wstring system_path(const NativePath& path) {
    constexpr std::size_t classic_limit = MAX_PATH - 12;  // the shorter limit, that of folders
    if (path.size() < classic_limit || path.starts_with(L"\\\\?\\") || path.starts_with(L"\\??\\")) return path;
    const DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return path;
    std::wstring full(needed, L'\0');
    const DWORD got = ::GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
    if (got == 0 || got >= needed) return path;
    full.resize(got);
    if (full.starts_with(L"\\\\.\\")) return full;  // a device: no verbatim form
    if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

// The entry's attributes with links followed; false on any error.
bool query_attributes(const NativePath& path, DWORD& attributes) noexcept {
    try {
        if (path.empty() || path.find(L'\0') != NativePath::npos) return false;
        const std::wstring name = system_path(path);
        // No access asked for, so that any entry opens, a folder included (backup semantics).
        HANDLE handle = ::CreateFileW(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            BY_HANDLE_FILE_INFORMATION info;
            const bool got = ::GetFileInformationByHandle(handle, &info) != 0;
            ::CloseHandle(handle);
            if (!got) return false;
            attributes = info.dwFileAttributes;
            return true;
        }
        if (::GetLastError() != ERROR_SHARING_VIOLATION) return false;
        // Held without sharing even for a metadata open (the paging file): its folder still lists it.
        WIN32_FIND_DATAW found;
        HANDLE search = ::FindFirstFileExW(name.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
        if (search == INVALID_HANDLE_VALUE) return false;
        ::FindClose(search);
        // A link listed this way is the link itself, and following it is what failed.
        constexpr DWORD name_surrogate = 0x20000000;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && (found.dwReserved0 & name_surrogate) != 0) {
            return false;
        }
        attributes = found.dwFileAttributes;
        return true;
    } catch (...) {
        return false;  // out of memory for the long form: the entry cannot be asked about
    }
}

}  // namespace

bool entry_exists(const NativePath& path) noexcept {
    DWORD attributes;
    return query_attributes(path, attributes);
}

bool is_file(const NativePath& path) noexcept {
    DWORD attributes;
    return query_attributes(path, attributes) && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool is_folder(const NativePath& path) noexcept {
    DWORD attributes;
    return query_attributes(path, attributes) && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

Result<ByteBuffer> read_whole_file(const NativePath& path) {
    if (path.find(L'\0') != NativePath::npos) return fail(os_error_text(ERROR_INVALID_NAME));
    // Others may read, write and delete the file while it is read.
    HANDLE handle = ::CreateFileW(system_path(path).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return fail(os_error_text(::GetLastError()));

    struct Closer {
        HANDLE handle;
        ~Closer() { ::CloseHandle(handle); }
    } closer{handle};

    ByteBuffer buffer;
    // The size is a hint only: the file may grow or shrink while it is read.
    std::size_t hint = 0;
    LARGE_INTEGER size;
    if (::GetFileSizeEx(handle, &size) != 0 && size.QuadPart > 0) hint = static_cast<std::size_t>(size.QuadPart);
    if (!buffer.reserve(hint > 0 ? hint + 1 : 8192)) return fail("out of memory");

    for (;;) {
        if (buffer.size() == buffer.capacity()) {
            const std::size_t grown = buffer.capacity() < 8192 ? 8192 : buffer.capacity() * 2;
            if (grown < buffer.capacity() || !buffer.reserve(grown)) return fail("out of memory");
        }
        const std::size_t room = buffer.capacity() - buffer.size();
        const DWORD asked = room > (1u << 30) ? (1u << 30) : static_cast<DWORD>(room);
        DWORD got = 0;
        if (::ReadFile(handle, buffer.data() + buffer.size(), asked, &got, nullptr) == 0) {
            const DWORD error = ::GetLastError();
            // A pipe whose writer closed it ends like a file.
            if (error == ERROR_HANDLE_EOF || error == ERROR_BROKEN_PIPE) break;
            return fail(os_error_text(error));
        }
        if (got == 0) break;
        buffer.set_size(buffer.size() + got);
    }
    return buffer;
}

}  // namespace platform
