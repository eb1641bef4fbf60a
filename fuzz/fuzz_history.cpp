// The history block: its head, its texts and their kinds.
//
// Input: the history block itself.
#include <algorithm>

#include "fuzz_input.hpp"
#include "parts/history.hpp"

using namespace lumira;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> block(data, size);
    fuzz::handled([&] {
        const auto records = parts::readHistory(block, 0);
        std::size_t next = parts::historyHeadSize;
        for (const parts::HistoryRecord& record : records) {
            fuzz::require(record.offset >= next && record.length > 0, "texts overlap or are empty");
            fuzz::require(record.offset + record.length < size, "a text without its NUL");
            const auto text = block.subspan(record.offset, record.length);
            fuzz::require(std::find(text.begin(), text.end(), 0) == text.end(), "a text keeps a NUL");
            fuzz::require(block[record.offset + record.length] == 0, "a text not ended by a NUL");
            next = record.offset + record.length + 1;
        }
    });
    return 0;
}
