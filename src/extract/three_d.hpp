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
#include "extract/spectrum.hpp"

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
[[noreturn]] void failDamaged3D(std::int64_t dataOffset, const std::string& why);
[[noreturn]] inline void failDamaged3D(const BlockHead& head, const std::string& why) {
    failDamaged3D(head.dataOffset, why);
}

// A grid larger than its records, records that a gap sends back over the
// same bytes, points that name one record again and again: damaged counts
// can make a result of any size from a small file. A result may hold
// resultValueLimit values across all its arrays; `values` counts them before
// any is made. Past the limit: ValueError "3D data block at offset N is
// damaged: its result would hold V values (<claim>) but the file holds only
// H values", the claim saying what the block asks for ("NPY x NPX x NPT = 1 x
// 2 x 3").
[[noreturn]] void failResultTooLarge(std::int64_t dataOffset, std::uint64_t fileSize, std::uint64_t values,
                                     const std::string& claim);
template <typename Claim>
void requireResultWithinLimit(std::int64_t dataOffset, std::uint64_t fileSize, std::uint64_t values, Claim&& claim) {
    if (values > resultValueLimit(fileSize)) failResultTooLarge(dataOffset, fileSize, values, claim());
}

// The values of `records` records of `width` values each, `perRecord` more
// for each (a z value), and `axes` more: what a result of records holds.
std::uint64_t recordResultValues(std::uint64_t records, std::int64_t width, std::uint64_t perRecord,
                                 std::uint64_t axes);

// requireResultWithinLimit for `records` records of `width` values, claimed
// as "R records of W values".
void requireRecordsWithinLimit(const BlockHead& head, std::uint64_t fileSize, std::uint64_t values,
                               std::uint64_t records, std::int64_t width);

struct RecordOffset {
    std::int64_t number;  // spectrum number from the store table
    std::int64_t offset;  // absolute offset of the record's data part
};

// Spectrum number -> record offset, in store-table order. A number that
// occurs again keeps its first place and takes its last offset. Checks the
// head with requirePlausibleRecords first.
std::vector<RecordOffset> recordOffsets(const BlockHead& head, std::uint64_t fileSize);

// Fails with ValueError "3D data block at offset N is damaged: ..." unless the
// records' data part holds `count` floats and they lie in the file at `offset`.
void requireWholeRecord(const BlockHead& head, const ByteSource& source, std::int64_t number, std::int64_t offset,
                        std::int64_t count);

// What the readers of a series or its traces check of its records before
// copying them: each whole, the rows (with `perRecord` more values each, a z
// value) and the x axis within the result limit, and at least one record
// (ValueError "need at least one array to concatenate", as stacking none).
void checkSeriesRecords(const BlockHead& head, const ByteSource& source, std::span<const RecordOffset> records,
                        std::int64_t points, std::uint64_t perRecord);

// The record's z value (or start time): a double at byte 136 of its info record.
double readRecordValue(Cursor& cursor, const BlockHead& head, std::int64_t recordOffset);

// Whether the file ends inside (or before) that double.
bool recordValueCut(const ByteSource& source, const BlockHead& head, std::int64_t recordOffset);

}  // namespace lumira
