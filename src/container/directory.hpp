// The magic test and the block directory (with its 64-bit extension).
#pragma once

#include <cstdint>
#include <vector>

#include "container/block_type.hpp"
#include "container/cursor.hpp"

namespace lumira {

inline constexpr std::int32_t opusMagic = 0x0A0AFEFE;  // 0A 0A FE FE read big-endian

struct MagicTest {
    bool complete = false;  // four bytes were there to test
    bool isOpus = false;
    std::vector<std::uint8_t> bytes;  // what was read, for the host's error when short
};

MagicTest testMagic(ByteSource& source);

struct DirectoryEntry {
    BlockTypeFields btt;
    std::int64_t sizeInWords = 0;
    std::int64_t byteOffset = 0;
    // The type word as stored (32-bit words unsigned): its bits above the six
    // codes tell twin blocks apart.
    std::int64_t word = 0;
};

// Bit 30 of a type word: set on the member of a pair of twin blocks that was
// written before the file's final processing step (the earlier, uncorrected
// one), clear on the later one.
inline constexpr std::int64_t earlyTwinBit = std::int64_t{1} << 30;

using Directory = std::vector<DirectoryEntry>;

// Reads the header, the directory and the extended directory. Counts taken
// from the file never drive reading past its end: an entry that begins inside
// the file is read (fields cut off come back as zero and are recorded as short
// reads), and reading stops at the first entry that would begin at or after
// the end of the file.
Directory readDirectory(Cursor& cursor);

}  // namespace lumira
