// The annotation block: a small column table that places the points of a
// multi-region map and links each point to its spectrum record.
//
// Layout from the block's offset A: 12 bytes, a directory parameter block
// (NRP tables, table k's parameter block at A + Fkk), and per table a
// parameter block (SIZ, SRC, NCO, NLN and per column Snn name, Fnn offset,
// Tnn type) followed, SIZ bytes after its start, by NLN rows of SRC bytes.
#pragma once

#include <cstdint>
#include <string_view>
#include <variant>
#include <vector>

#include "container/cursor.hpp"
#include "extract/parameters.hpp"

namespace lumira {

using AnnotationValue = std::variant<std::int32_t, float, ParameterText>;

struct AnnotationColumn {
    ParameterValue name;  // usually a text
    std::vector<AnnotationValue> values;
};

struct AnnotationTable {
    std::vector<AnnotationColumn> columns;  // in order of first appearance

    // The column whose name is this text, if any.
    const AnnotationColumn* find(std::string_view name) const;
};

inline constexpr std::int32_t integerColumn = 4;
inline constexpr std::int32_t floatColumn = 5;
inline constexpr std::int32_t textColumn = 1011;

// Reads every table of the block. A column name that occurs again in a later
// table restarts that column with the later table's rows.
//
// Fails with KeyError naming a missing parameter, TypeError for a count or
// offset that is not an integer, ValueError (no message) for an unknown
// column type, and ValueError "Annotation table k at offset N is damaged:
// ..." for rows that overlap or text columns that start past the row's end.
// Rows are read while they begin inside the file.
AnnotationTable readAnnotationTable(Cursor& cursor, std::int64_t offset);

}  // namespace lumira
