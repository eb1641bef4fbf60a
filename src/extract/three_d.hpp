// 3D data blocks: a head, a store table of runs and gaps, and the spectrum
// records, each `blockSize` bytes of float32 data followed by an
// `infoSize`-byte info record (z value or start time at byte 136, a trace
// label from byte 152).
//
// Counts and sizes from the head never drive reading past the end of the
// file: store table entries are read while they begin inside the file, and
// a store table that describes more records than the file can hold, or
// records of negative size, is refused as damaged.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "container/cursor.hpp"

namespace lumira {

struct StoreEntry {
    static constexpr std::int32_t gapMarker = -1;
    std::int32_t first;
    std::int32_t second;

    bool isGap() const noexcept { return first == gapMarker; }
    // Records in a run entry (none when second < first).
    std::int64_t runLength() const noexcept { return isGap() || second < first ? 0 : std::int64_t{second} - first + 1; }
};

struct BlockHead {
    std::int64_t dataOffset = 0;   // where the 3D data block starts
    std::int64_t blockOffset = 0;  // absolute offset of the first record
    std::int32_t blockSize = 0;    // data part of a record, in bytes
    std::int32_t infoSize = 0;     // info record that follows it
    std::vector<StoreEntry> storeTable;

    // From one record to the next.
    std::int64_t stride() const noexcept { return std::int64_t{blockSize} + infoSize; }
};

inline constexpr std::int64_t infoValueOffset = 136;
inline constexpr std::int64_t infoLabelOffset = 152;

// The head and store table at `dataOffset`.
BlockHead readBlockHead(Cursor& cursor, std::int64_t dataOffset);

// Reads the head again for its infoSize alone.
std::int32_t readInfoSize(Cursor& cursor, std::int64_t dataOffset);

// The fixed fields of the head, before the store table.
inline constexpr std::int64_t headFieldsSize = 24;

// Fails with ValueError "3D data block at offset N is damaged: NPT is P but
// the file holds only H values after its head" when an axis count (NPT, or a
// map's NPX or NPY, named by `code`) is beyond what the block could back; the
// bound of checkPointCount, so a damaged count fails before its axis is made.
void checkThreeDAxis(const ByteSource& source, std::int64_t dataOffset, const char* code, std::int64_t count);

// Refuses heads whose records have a negative size or that describe more
// records than the bytes from the first record to the end of the file hold.
void requirePlausibleRecords(const BlockHead& head, std::uint64_t fileSize);

// "3D data block at offset N is damaged: <why>"
[[noreturn]] void failDamaged3D(const BlockHead& head, const std::string& why);

// Records closer together than their values (a stride shorter than NPT
// floats), or points that name one record again and again, give a result
// larger than the file, and without bound: a few kilobytes could ask for
// gigabytes. Past maxPointsBeyondFile values, a result may hold no more
// values than the file does; else ValueError "3D data block at offset N is
// damaged: its records would give V values, more than the file holds".
void requireBackedValues(const BlockHead& head, std::uint64_t fileSize, std::uint64_t records, std::int64_t width);

struct RecordOffset {
    std::int64_t number;  // spectrum number from the store table
    std::int64_t offset;  // absolute offset of the record's data part
};

// Spectrum number -> record offset, in store-table order. A number that
// occurs again keeps its first place and takes its last offset. Checks the
// head with requirePlausibleRecords first.
std::vector<RecordOffset> recordOffsets(const BlockHead& head, std::uint64_t fileSize);

// Fails (ValueError naming the record) unless `count` floats lie in the file at `offset`.
void requireWholeRecord(const BlockHead& head, const ByteSource& source, std::int64_t number, std::int64_t offset,
                        std::int64_t count);

// The record's z value (or start time): a double at byte 136 of its info record.
double readRecordValue(Cursor& cursor, const BlockHead& head, std::int64_t recordOffset);

// Whether the file ends inside (or before) that double.
bool recordValueCut(const ByteSource& source, const BlockHead& head, std::int64_t recordOffset);

}  // namespace lumira
