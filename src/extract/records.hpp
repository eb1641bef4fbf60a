// Copying the data of 3D records straight into their final rows.
//
// Records that follow each other in the file are read together with one
// scattered read: each record's float32 values land in their row, the rest
// of the record (its info record) in a small scratch area, from where the
// caller takes z values, start times or labels.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "container/byte_source.hpp"
#include "extract/three_d.hpp"

namespace lumira {

struct RecordTarget {
    std::int64_t offset;      // the record's data part
    std::span<float> values;  // where its first values go (NPT of them)
    // Where the bytes after its values go (the rest of its data part, then
    // its info record), when they are wanted whole; else a scratch area.
    std::span<std::uint8_t> tail = {};
};

// The info record of one record, as far as the file holds it.
class InfoRecord {
public:
    InfoRecord(ByteSource& source, const BlockHead& head, std::int64_t recordOffset,
               std::span<const std::uint8_t> scratch, std::int64_t scratchStart)
        : source_(source), head_(head), recordOffset_(recordOffset), scratch_(scratch), scratchStart_(scratchStart) {}

    // The double at byte 136, when all 8 bytes are in the file.
    std::optional<double> value() const;
    // The bytes from byte 152 up to the first NUL or the record's end.
    std::vector<std::uint8_t> label() const;
    // The record's first bytes into `out`, as far as its infoSize and the
    // file hold them; how many that is.
    std::size_t leading(std::span<std::uint8_t> out) const;
    // Bytes from `at` (counted from the info record's start; negative: the
    // end of the data part) as far as the file holds them.
    std::size_t bytesFrom(std::int64_t at, std::span<std::uint8_t> out) const { return read(at, out); }
    // The bytes after the record's values that the copy read (where the
    // target's tail, or the scratch, holds them), as far as the file held them.
    std::span<const std::uint8_t> afterValues() const noexcept { return scratch_; }

private:
    std::size_t read(std::int64_t at, std::span<std::uint8_t> out) const;

    ByteSource& source_;
    const BlockHead& head_;
    std::int64_t recordOffset_;
    std::span<const std::uint8_t> scratch_;  // bytes of the record after its values, if read
    std::int64_t scratchStart_;              // their offset from the record's start
};

using InfoVisitor = std::function<void(std::size_t record, const InfoRecord& info)>;
// For a target with a tail of its own that the file did not hold whole: how
// many of its bytes it held (the others are zeros).
using TailCut = std::function<void(std::size_t record, std::size_t held)>;

// Copies the values of every target (checked whole by the caller) and hands
// each record's info to `visit`, with the target's index, when one is given;
// tails of their own cut short go to `cut`. Large copies may be shared by
// several threads (CopyThreads): `visit` and `cut` must then only touch
// what belongs to the index they are given.
void copyRecords(ByteSource& source, const BlockHead& head, std::span<const RecordTarget> targets,
                 const InfoVisitor& visit = {}, const TailCut& cut = {});

// Rows [start, stop) of a block whose rows are `records`, then zeros (the
// grid cells of an image map after its last record), into `rows` of
// `width` floats each: what a lazy array's chunk reads. Each record of the
// range is checked whole first, so a damaged one fails as it fails a whole
// read. Needs 0 <= start <= stop and (stop - start) x width floats in `rows`.
void copyRecordRange(ByteSource& source, const BlockHead& head, std::span<const RecordOffset> records,
                     std::int64_t start, std::int64_t stop, std::int64_t width, std::span<float> rows);

}  // namespace lumira
