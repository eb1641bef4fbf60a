// The fixed fields at the start of every 3D record's info record: scan
// counts, folding and filter limits, the record's own x and y range, peaks
// and its start and end time, 25 little-endian fields without padding in
// its first 152 bytes, each at an offset that suits its width. A block's
// records keep them as rows of a NumPy structured array, filled while the
// records are copied.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "extract/records.hpp"

namespace lumira {

struct InfoField {
    std::string_view name;
    std::int32_t offset;  // from the start of the info record
    bool real;            // float64, else int32
};

// In the order the record holds them. The two filter fields have no
// parameter code of their own.
inline constexpr std::array<InfoField, 25> infoFields{{
    {"NSS", 0, false},   {"NSR", 4, false},   {"NSN", 8, false},   {"NPT", 12, false},  {"GFW", 16, false},
    {"GBW", 20, false},  {"BFW", 24, false},  {"BBW", 28, false},  {"HFL", 32, true},   {"LFL", 40, true},
    {"HFF", 48, true},   {"LFF", 56, true},   {"filter_size", 64, false}, {"filter_type", 68, false},
    {"FXV", 72, true},   {"LXV", 80, true},   {"MNY", 88, true},   {"MXY", 96, true},   {"CSF", 104, true},
    {"PKA", 112, true},  {"PRA", 120, true},  {"PKL", 128, false}, {"PRL", 132, false}, {"SRT", 136, true},
    {"ERT", 144, true},
}};

inline constexpr std::size_t infoFieldsSize = 152;

// What a row holds for a field its info record is too short for (or a map
// cell that no record fills): NaN for the float64 fields, -1 for the int32
// ones (no count, size or location is negative).
inline constexpr std::int32_t missingInteger = -1;

// How rows lie: `size` bytes each, the fields from byte `base` on. Where
// the bytes after a record's values are few and hold every field, a row is
// those bytes as the file has them (its data part's unused end, then the
// info record), so the copy of the records reads them straight into their
// rows; otherwise a row is just the fields, copied there.
struct InfoLayout {
    std::size_t size = infoFieldsSize;
    std::size_t base = 0;

    bool wholeTail() const noexcept { return size != infoFieldsSize || base != 0; }
    friend bool operator==(const InfoLayout&, const InfoLayout&) = default;
};

// The layout for the records of a block whose rows hold `points` values.
InfoLayout infoLayout(const BlockHead& head, std::int64_t points) noexcept;

// Whether `rows` rows fit within the result limit of a file of `fileSize`
// bytes, counted as the floats their bytes would hold: a map grid far
// larger than its records (all zeros) may not make them.
bool infoRowsFit(std::uint64_t rows, const InfoLayout& layout, std::uint64_t fileSize) noexcept;

// Rows of info fields in memory of a multiple of the layout's size.
class InfoRows {
public:
    InfoRows(std::span<std::uint8_t> memory, const InfoLayout& layout) noexcept : memory_(memory), layout_(layout) {}

    std::size_t size() const noexcept { return memory_.size() / layout_.size; }
    const InfoLayout& layout() const noexcept { return layout_; }
    std::span<std::uint8_t> row(std::size_t index) const noexcept {
        return memory_.subspan(index * layout_.size, layout_.size);
    }
    // Where a record's bytes after its values go, for a layout of whole tails.
    std::span<std::uint8_t> tail(std::size_t index) const noexcept {
        return layout_.wholeTail() ? row(index) : std::span<std::uint8_t>{};
    }

    // Rows from `first` on missing every field (cells no record fills).
    void clearFrom(std::size_t first) const noexcept;
    // The fields `info` holds, within its infoSize and the file, into row
    // `row`, where the copy may have read them already (the target's tail);
    // the others missing. Rows are independent: copies on several threads
    // may store different rows at once.
    void store(std::size_t row, const InfoRecord& info) const;

    // How a copy of records with targets of this layout fills rows: tails of
    // their own and `cut` for those the file cut short, or `visit` storing
    // each. `also` is the caller's own visitor, if any.
    InfoVisitor visitor(const InfoVisitor& also) const;
    TailCut cutter() const;

    // The row's first `held` bytes are the file's: the rest is made missing.
    void finish(std::span<std::uint8_t> row, std::size_t held) const noexcept;

private:

    std::span<std::uint8_t> memory_;
    InfoLayout layout_;
};

}  // namespace lumira
