// Table containers: reports computed from a result, annotation tables and
// image containers. A container is a head of three int32 (where its directory
// parameter block lies, the bytes reserved for it, and a word whose meaning
// is not known), the directory, and the tables it lists. A table is a
// parameter block (its properties and columns), its rows, and its sub-tables.
//
// Everything is read from the block's own bytes: every offset, count and size
// a container claims is checked against them, so nothing past the block is
// ever read, and no two tables share bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "extract/parameters.hpp"

namespace lumira::parts {

inline constexpr std::int64_t containerHeadSize = 12;

// What a column's type code says its cells hold.
enum class CellKind : std::uint8_t { Int32, Float32, Float64, Text, Bytes };

// 3, 4 and 7 are int32 (counters, integers, a time stamp), 5 float32, 6
// float64, 1000 + n a text of n bytes, 9 a blob; codes not known are kept as
// the cell's bytes too, so nothing is lost.
CellKind cellKind(std::int32_t typeCode) noexcept;

struct Property {
    int index = 0;  // nn of Hnn / Vnn / Qnn
    std::optional<ParameterText> label;
    std::optional<ParameterValue> value;
    std::optional<ParameterText> format;
};

struct Column {
    ParameterText name;  // empty where the table gives none
    std::int64_t offset = 0;  // within a row
    std::int32_t type = 0;
    CellKind kind = CellKind::Bytes;
    std::int64_t width = 0;  // bytes of a cell
    std::optional<ParameterText> format;
};

struct Table {
    std::int64_t offset = 0;  // from the start of the block
    Parameters parameters;    // every record of its parameter block, in order
    std::vector<Property> properties;
    std::vector<Column> columns;
    std::int64_t rowsOffset = 0;  // from the start of the block
    std::int64_t rowCount = 0;
    std::int64_t rowLength = 0;
    std::vector<ParameterText> subtableTitles;
    std::vector<Table> subtables;
};

struct Container {
    std::int32_t directoryOffset = 0;
    std::int32_t reserved = 0;
    std::int32_t headWord = 0;
    Parameters directory;  // the directory parameter block's records, in order
    std::vector<Property> properties;  // of the directory, where it has any
    std::vector<ParameterText> tableNames;  // Enn, empty where absent
    std::vector<Table> tables;
};

// Fails with ValueError "Table container at offset N is damaged: ..." naming
// what is wrong and where (offsets counted from the block's start).
Container readContainer(std::span<const std::uint8_t> block, std::int64_t blockOffset);

using Cell = std::variant<std::int32_t, float, double, std::span<const std::uint8_t>>;

// The cell of a row in a table read from `block`; texts cut at their first
// NUL. The table's layout was checked against the block when it was read.
Cell cellAt(std::span<const std::uint8_t> block, const Table& table, std::int64_t row, const Column& column);

}  // namespace lumira::parts
