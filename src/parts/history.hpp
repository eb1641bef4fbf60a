// The processing log every instrument file carries: a head of 100 NUL bytes,
// then NUL-terminated texts whose fields are separated by TABs. Lines are
// carried by the NULs, never by CR or LF.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace lumira::parts {

inline constexpr std::size_t historyHeadSize = 100;

enum class HistoryLine : std::uint8_t {
    Session,  // operator, software version, file name, validation state
    Title,    // operation name, blocks involved, time, optional extra text
    Detail,   // a line that belongs to the operation above it
    Command,  // three TABs, a keyword, then the command with its arguments
};

struct HistoryRecord {
    HistoryLine kind;
    std::size_t offset;  // from the start of the block
    std::size_t length;  // the text's bytes, its NUL not included
};

// The texts of a history block in order, each with what kind of line it is.
// Fails with ValueError "History block at offset N is damaged: ..." for a
// block shorter than its head, a head that holds text, or a last text that
// the end of the block cuts off before its NUL.
std::vector<HistoryRecord> readHistory(std::span<const std::uint8_t> block, std::int64_t blockOffset);

}  // namespace lumira::parts
