#pragma once
// The JSON-RPC serve loop: request lines in, one reply line per request out.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include <nlohmann/json.hpp>

#include "glossel/server.h"
#include "platform/stdio.h"

namespace glossel {

// Where the loop reads its bytes: one read gives data, the end of input or a failure.
class ByteInput {
public:
    virtual ~ByteInput() = default;
    virtual platform::ReadResult read(char* buffer, std::size_t capacity) = 0;
};

// Where reply lines go; a write that fails is dropped by the implementation.
class ByteOutput {
public:
    virtual ~ByteOutput() = default;
    virtual void write(std::string_view bytes) = 0;
};

// The process's standard input and output.
class StdinInput final : public ByteInput {
public:
    platform::ReadResult read(char* buffer, std::size_t capacity) override;
};
class StdoutOutput final : public ByteOutput {
public:
    void write(std::string_view bytes) override;
};

// Answers requests until the input ends or fails, then lets go of the input and releases the
// record. The loop owns the record from the call on.
void serve(McpServer server, ByteInput& input, ByteOutput& output);

// The same on the process's standard input and output.
void serve(McpServer server);

// {"id":..,"jsonrpc":"2.0","result":..} and a line feed, written in one piece.
void write_result(ByteOutput& out, nlohmann::json id, nlohmann::json result);

// {"error":{"code":..,"message":..},"id":..,"jsonrpc":"2.0"} and a line feed, written in one piece.
void write_error(ByteOutput& out, nlohmann::json id, std::int64_t code, std::string_view message);

}  // namespace glossel
