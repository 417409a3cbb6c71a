#pragma once
// The process's standard streams as raw bytes.

#include <cstddef>
#include <string_view>

namespace platform {

enum class ReadStatus { data, end, failed };

struct ReadResult {
    ReadStatus status;
    std::size_t count;  // bytes delivered when status is data
};

// Readies the standard streams for raw bytes before anything is read or written: on Windows the
// C runtime's descriptors go to binary mode, so that no line feed written through them becomes
// CR LF; on Linux there is nothing to do.
void prepare_standard_streams() noexcept;

// One read of standard input into `buffer`. Interrupted reads are repeated; the end of a file, a
// pipe whose writer has closed it and a missing standard-input handle are the end; any other
// error is a failure. A Windows console is read as UTF-16 and delivered as UTF-8: a typed Ctrl-Z
// ends the read and is removed (alone it is the end), and an unpaired surrogate is a failure.
ReadResult read_stdin(char* buffer, std::size_t capacity) noexcept;

// Writes all bytes or gives up silently: a client that stopped reading loses the reply. A Windows
// console is written as UTF-16.
void write_stdout(std::string_view bytes) noexcept;
void write_stderr(std::string_view bytes) noexcept;

}  // namespace platform
