#include "platform/console_reader.h"

#include <algorithm>

#include "platform/utf16.h"

namespace platform {
namespace {

constexpr char16_t ctrl_z = 0x1A;

}  // namespace

ReadResult ConsoleReader::read(char* buffer, std::size_t capacity) {
    if (offset_ == pending_.size()) {
        // One spare unit for the partner of a surrogate that ends the read.
        char16_t units[units_per_read + 1];
        const ReadResult got = source_(units, units_per_read);
        if (got.status != ReadStatus::data) return {got.status, 0};
        std::size_t count = std::min(got.count, units_per_read);
        const char16_t* stop = std::find(units, units + count, ctrl_z);
        const bool stopped = stop != units + count;
        count = static_cast<std::size_t>(stop - units);
        if (count == 0) return {ReadStatus::end, 0};
        if (!stopped && is_high_surrogate(units[count - 1])) {
            const ReadResult more = source_(units + count, 1);
            if (more.status == ReadStatus::data && more.count == 1) ++count;
        }
        bool unpaired = false;
        std::string text = utf16_to_utf8(std::u16string_view(units, count), &unpaired);
        if (unpaired) return {ReadStatus::failed, 0};
        pending_ = std::move(text);
        offset_ = 0;
    }
    const std::size_t count = std::min(capacity, pending_.size() - offset_);
    pending_.copy(buffer, count, offset_);
    offset_ += count;
    return {ReadStatus::data, count};
}

}  // namespace platform
