// Image maps: records placed on a regular grid, row by row, the column
// varying fastest, in the order the store table lists them.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "container/cursor.hpp"
#include "extract/record_info.hpp"
#include "extract/records.hpp"
#include "extract/three_d.hpp"

namespace lumira {

struct ImageGrid {
    std::int64_t columns;  // NPX
    std::int64_t rows;     // NPY
    std::int64_t points;   // NPT
};

// Record positions in reading order. Gaps skip bytes; a negative gap skips
// to the end of the file.
std::vector<RecordOffset> imageRecords(const BlockHead& head, std::uint64_t fileSize);

// Checks the records of a map of spectra in reading order, as reading them
// checks them: ZeroDivisionError for a grid of no columns that gets a
// record, IndexError for more records than the grid holds, ValueError for a
// record cut short. Record k fills grid cell k.
void checkImagePlacement(const ByteSource& source, const BlockHead& head, const ImageGrid& grid,
                         std::span<const RecordOffset> records);

// Fills `cells` (rows x columns x points) record by record, after
// checkImagePlacement, and with `zeroRest` the cells after the last record
// with zeros; and `infoRows`, when given, a row per cell: the record's info
// fields, or missing fields where no record is.
void readImageSpectra(ByteSource& source, const BlockHead& head, const ImageGrid& grid, std::span<float> cells,
                      const InfoRows* infoRows = nullptr, bool zeroRest = false);

// Checks the records of a trace map, each one whole map of rows x columns
// values (`grid.points` of them, else ValueError as NumPy's reshape words
// it), and that the maps with the x axis and the grid's axes stay within the
// result limit.
void checkTraceMapRecords(const ByteSource& source, const BlockHead& head, const ImageGrid& grid,
                          std::span<const RecordOffset> records);

}  // namespace lumira
