#include "extract/annotation.hpp"

#include <algorithm>
#include <cstdio>
#include <string>

#include "core/checked.hpp"
#include "core/error.hpp"

namespace lumira {

namespace {

constexpr std::int64_t directoryBlockOffset = 12;

std::string twoDigits(const char* prefix, std::int64_t number) {
    char text[32];
    std::snprintf(text, sizeof text, "%s%02lld", prefix, static_cast<long long>(number));
    return text;
}

// Table k's parameter block at `offset`, or with table -1 the block's own
// directory at the annotation block's offset.
struct TablePlace {
    std::int64_t table;
    std::int64_t offset;
};

constexpr std::int64_t directoryTable = -1;

std::string damaged(const TablePlace& place, const std::string& why) {
    const std::string owner =
        place.table == directoryTable ? "Annotation block" : "Annotation table " + std::to_string(place.table);
    return owner + " at offset " + std::to_string(place.offset) + " is damaged: " + why;
}

[[noreturn]] void failDamagedTable(const TablePlace& place, const std::string& why) { failValue(damaged(place, why)); }

// A count or offset; a missing one fails as the dictionary lookup does, and
// one of another type as arithmetic with it would (TypeError).
std::int32_t integerParameter(const ParameterLookup& parameters, const std::string& name, const TablePlace& place) {
    const ParameterValue* value = parameters.find(name);
    if (value == nullptr) fail(ErrorKind::Key, name);
    if (const auto* integer = std::get_if<std::int32_t>(value)) return *integer;
    fail(ErrorKind::Type, damaged(place, "its parameter " + name + " is not an integer"));
}

bool sameName(const ParameterValue& a, const ParameterValue& b) {
    // Names compare as dictionary keys do: 5 and 5.0 are one key.
    const auto number = [](const ParameterValue& v, double& out) {
        if (const auto* i = std::get_if<std::int32_t>(&v)) return out = *i, true;
        if (const auto* d = std::get_if<double>(&v)) return out = *d, true;
        return false;
    };
    double x = 0;
    double y = 0;
    if (number(a, x) && number(b, y)) return x == y;
    const auto* textA = std::get_if<ParameterText>(&a);
    const auto* textB = std::get_if<ParameterText>(&b);
    return textA && textB && textA->bytes == textB->bytes;
}

struct ColumnLayout {
    std::size_t column;  // index into the table's columns
    std::int32_t type;
};

AnnotationValue readValue(Cursor& cursor, std::int32_t type, std::int64_t textWidth) {
    switch (type) {
        case integerColumn: return cursor.readInt();
        case floatColumn: return cursor.readFloat();
        case textColumn: {
            std::vector<std::uint8_t> bytes(static_cast<std::size_t>(
                std::min<std::uint64_t>(static_cast<std::uint64_t>(textWidth), cursor.remaining())));
            cursor.readBytes(bytes);
            bytes.erase(std::find(bytes.begin(), bytes.end(), std::uint8_t{0}), bytes.end());
            return ParameterText{std::move(bytes)};
        }
        default: failValue("");
    }
}

std::size_t columnFor(AnnotationTable& table, ParameterValue name) {
    for (std::size_t i = 0; i < table.columns.size(); ++i) {
        if (sameName(table.columns[i].name, name)) {
            table.columns[i].values.clear();
            return i;
        }
    }
    table.columns.push_back({std::move(name), {}});
    return table.columns.size() - 1;
}

// The bytes the tables read so far may take. Tables of one block lie apart,
// so together they take no more than the file holds; tables that share their
// bytes (the same table listed many times) would otherwise read the file
// again and again, for as long as the damaged counts ask.
class TableBytes {
public:
    explicit TableBytes(std::uint64_t fileSize) : left_(fileSize) {}

    void take(std::uint64_t bytes, const TablePlace& place) {
        if (bytes > left_) failDamagedTable(place, "it shares its bytes with the tables before it");
        left_ -= bytes;
    }

private:
    std::uint64_t left_;
};

void readTable(Cursor& cursor, AnnotationTable& table, TableBytes& bytes, std::int64_t number, std::int64_t blockOffset,
               std::int64_t tableOffset) {
    const std::int64_t parametersAt = addOffset(blockOffset, tableOffset);
    const TablePlace place{number, parametersAt};
    Parameters records;
    readParameterBlock(cursor, parametersAt, records);
    bytes.take(cursor.position() - static_cast<std::uint64_t>(parametersAt), place);
    const ParameterLookup parameters(records);
    const std::int64_t rowsAt = addOffset(parametersAt, integerParameter(parameters, "SIZ", place));
    const std::int64_t rowLength = integerParameter(parameters, "SRC", place);

    std::vector<ColumnLayout> layout;
    std::int64_t textWidth = -1;
    bool hasText = false;
    const std::int32_t columnCount = integerParameter(parameters, "NCO", place);
    for (std::int32_t i = 0; i < columnCount; ++i) {
        const ParameterValue* name = parameters.find(twoDigits("S", i));
        if (name == nullptr) fail(ErrorKind::Key, twoDigits("S", i));
        const std::int32_t columnOffset = integerParameter(parameters, twoDigits("F", i), place);
        const std::int32_t type = integerParameter(parameters, twoDigits("T", i), place);
        layout.push_back({columnFor(table, *name), type});
        if (type == textColumn) {
            hasText = true;
            textWidth = std::max(textWidth, rowLength - columnOffset);
        }
    }
    const std::int32_t rowCount = integerParameter(parameters, "NLN", place);
    if (layout.empty() || rowCount <= 0) return;

    if (hasText && textWidth < 0) failDamagedTable(place, "a text column starts past the row's end");
    // A text column counts at least one byte: a row of many empty texts
    // would otherwise give many values for each byte of the file.
    std::int64_t rowBytes = 0;
    for (const ColumnLayout& column : layout)
        rowBytes += column.type == textColumn ? std::max<std::int64_t>(textWidth, 1) : 4;
    if (rowCount > 1 && rowLength < std::max<std::int64_t>(rowBytes, 1)) {
        failDamagedTable(place, "rows of " + std::to_string(rowLength) + " bytes overlap their " +
                                    std::to_string(rowBytes) + " bytes of fields");
    }
    for (std::int32_t row = 0; row < rowCount; ++row) {
        cursor.seek(addOffset(rowsAt, mulSize(row, rowLength)));
        if (cursor.atEnd()) break;  // rows that begin past the end of the file hold nothing
        bytes.take(std::min<std::uint64_t>(std::max<std::int64_t>(rowLength, 1), cursor.remaining()), place);
        for (const ColumnLayout& column : layout)
            table.columns[column.column].values.push_back(readValue(cursor, column.type, textWidth));
    }
}

}  // namespace

const AnnotationColumn* AnnotationTable::find(std::string_view name) const {
    const ParameterValue wanted = ParameterText{std::vector<std::uint8_t>(name.begin(), name.end())};
    for (const AnnotationColumn& column : columns)
        if (sameName(column.name, wanted)) return &column;
    return nullptr;
}

AnnotationTable readAnnotationTable(Cursor& cursor, std::int64_t offset) {
    Parameters directoryRecords;
    readParameterBlock(cursor, addOffset(offset, directoryBlockOffset), directoryRecords);
    const ParameterLookup directory(directoryRecords);
    AnnotationTable table;
    TableBytes bytes(cursor.source().size());
    const TablePlace place{directoryTable, offset};
    const std::int32_t tables = integerParameter(directory, "NRP", place);
    for (std::int32_t k = 0; k < tables; ++k)
        readTable(cursor, table, bytes, k, offset, integerParameter(directory, twoDigits("F", k), place));
    return table;
}

}  // namespace lumira
