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

// One read of standard input into `buffer`. Interrupted reads are repeated; end of file, a closed
// or missing descriptor are the end; any other error is a failure.
ReadResult read_stdin(char* buffer, std::size_t capacity) noexcept;

// Writes all bytes or gives up silently: a client that stopped reading loses the reply.
void write_stdout(std::string_view bytes) noexcept;
void write_stderr(std::string_view bytes) noexcept;

}  // namespace platform
