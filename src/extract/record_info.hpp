// The fixed fields at the start of every 3D record's info record: scan
// counts, folding and filter limits, the record's own x and y range, peak
// positions and its start and end time, 25 little-endian fields without
// padding in the first 152 bytes. A block's fields are gathered as columns,
// one row per record (or per map cell, or per point), while the records are
// copied.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

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

inline constexpr std::int64_t infoFieldsSize = 152;

// What a row holds for a field its info record is too short for (or a map
// cell that no record fills): NaN for the float64 fields, -1 for the int32
// ones (no count, size or location is negative).
inline constexpr std::int32_t missingInteger = -1;

// The fields of a block's records, one column per field of infoFields.
class InfoTable {
public:
    // `rows` rows of missing fields, in an array of `shape` (whose product is
    // `rows`). False, and no rows, when the columns would hold more values
    // than a result of the file may (resultValueLimit): a map grid far
    // larger than its records.
    bool reset(std::span<const std::int64_t> shape, std::uint64_t fileSize);
    // Adds `rows` rows of missing fields to a table of one dimension (reset
    // to no rows first); false, and the table no longer available, past the
    // limit.
    bool grow(std::size_t rows, std::uint64_t fileSize);

    // The fields `info` holds, within its infoSize and the file, into row
    // `row`. Rows are independent: copies on several threads may store
    // different rows at once.
    void store(std::size_t row, const InfoRecord& info);

    // Whether `rows` rows fit within the result limit of a file of `fileSize` bytes.
    static bool fits(std::uint64_t rows, std::uint64_t fileSize) noexcept;

    bool available() const noexcept { return available_; }
    std::size_t rows() const noexcept { return rows_; }
    const std::vector<std::int64_t>& shape() const noexcept { return shape_; }
    std::span<const double> reals(std::size_t field) const;
    std::span<const std::int32_t> integers(std::size_t field) const;

private:
    void resize(std::size_t rows);

    bool available_ = false;
    std::size_t rows_ = 0;
    std::vector<std::int64_t> shape_;
    // Column k of infoFields at index k, in the vector of its type; the other stays empty.
    std::array<std::vector<double>, infoFields.size()> reals_;
    std::array<std::vector<std::int32_t>, infoFields.size()> integers_;
};

}  // namespace lumira
