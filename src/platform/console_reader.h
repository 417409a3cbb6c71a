#pragma once
// Standard input from an interactive Windows console, which types UTF-16, turned into the UTF-8
// bytes that the serve loop reads. The console itself is reached through a unit source, so that
// the rules below hold, and are tested, independently of a real console.

#include <cstddef>
#include <functional>
#include <string>

#include "platform/stdio.h"

namespace platform {

class ConsoleReader {
public:
    // One console read into `units`, at most `capacity` of them: data with the count of units,
    // the end of input, or a failure. A read that a Ctrl-C interrupted is repeated by the source.
    using UnitSource = std::function<ReadResult(char16_t* units, std::size_t capacity)>;

    explicit ConsoleReader(UnitSource source) : source_(std::move(source)) {}

    // Up to `capacity` bytes of UTF-8. A Ctrl-Z (0x1A) ends a console read and is removed with
    // whatever follows it in that read; a read that held nothing else is the end of input. A
    // surrogate that ends a read is completed by one more unit. Text with an unpaired surrogate
    // cannot be UTF-8, and its read fails.
    ReadResult read(char* buffer, std::size_t capacity);

    // Units asked of the source in one read.
    static constexpr std::size_t units_per_read = 4096;

private:
    UnitSource source_;
    std::string pending_;  // converted text not yet handed out
    std::size_t offset_ = 0;
};

}  // namespace platform
