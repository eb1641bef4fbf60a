#include "parts/container.hpp"

#include <algorithm>
#include <cstring>
#include <map>
#include <string_view>

#include "container/byte_source.hpp"
#include "container/cursor.hpp"
#include "core/checked.hpp"
#include "core/error.hpp"

namespace lumira::parts {

CellKind cellKind(std::int32_t typeCode) noexcept {
    switch (typeCode) {
        case 3:
        case 4:
        case 7:
            return CellKind::Int32;
        case 5:
            return CellKind::Float32;
        case 6:
            return CellKind::Float64;
        default:
            return typeCode > 1000 ? CellKind::Text : CellKind::Bytes;
    }
}

namespace {

// Sub-tables hold no sub-tables in the files seen; a few levels are read, and
// deeper nesting is taken for damage rather than followed without end.
constexpr int deepestSubtable = 4;

// Names such as H03, V12 or Q00: a letter and the number of what it belongs to.
std::optional<int> numbered(std::string_view name, char letter) {
    if (name.size() < 3 || name.size() > 4 || name[0] != letter) return std::nullopt;
    int number = 0;
    for (const char c : name.substr(1)) {
        if (c < '0' || c > '9') return std::nullopt;
        number = number * 10 + (c - '0');
    }
    return number;
}

std::string numberedName(char letter, std::int64_t number) {
    std::string digits = std::to_string(number);
    if (digits.size() < 2) digits.insert(0, 2 - digits.size(), '0');
    return letter + digits;
}

// The parameter block reader speaks of the file; here its bytes are the block's.
std::string aboutTheBlock(std::string message) {
    const auto damaged = message.find("is damaged: ");
    if (damaged != std::string::npos) message.erase(0, damaged + std::strlen("is damaged: "));
    for (std::size_t at; (at = message.find("the file")) != std::string::npos;) message.replace(at, 8, "the block");
    return message;
}

class ContainerReader {
public:
    ContainerReader(std::span<const std::uint8_t> block, std::int64_t blockOffset)
        : block_(block), size_(static_cast<std::int64_t>(block.size())), blockOffset_(blockOffset) {}

    Container read() {
        if (size_ < containerHeadSize)
            fail("", "it holds " + std::to_string(size_) + " bytes, fewer than its " +
                         std::to_string(containerHeadSize) + "-byte head");
        Container container;
        std::memcpy(&container.directoryOffset, block_.data(), 4);
        std::memcpy(&container.reserved, block_.data() + 4, 4);
        std::memcpy(&container.headWord, block_.data() + 8, 4);
        claim(0, containerHeadSize, "its head");

        const std::int64_t at = container.directoryOffset;
        const std::string where = "its directory (at byte " + std::to_string(at) + ")";
        if (at < containerHeadSize || at >= size_) fail(where, "it lies outside the block");
        std::int64_t end = 0;
        container.directory = records(at, where, end);
        const ParameterLookup directory(container.directory);
        if (const auto size = integer(directory, "SIZ", where, false)) {
            if (*size < end - at) fail(where, "its SIZ is " + std::to_string(*size) + " but its records take " + std::to_string(end - at) + " bytes");
            end = at + *size;
            if (end > size_) fail(where, "its SIZ runs past the end of the block");
        }
        claim(at, end, where);
        container.properties = properties(container.directory);

        const std::int64_t count = *integer(directory, "NRP", where, true);
        if (count < 0) fail(where, "its NRP is " + std::to_string(count));
        for (std::int64_t k = 0; k < count; ++k) {
            const std::int64_t tableAt = *integer(directory, numberedName('F', k), where, true);
            container.tableNames.push_back(text(directory, numberedName('E', k)));
            container.tables.push_back(table(tableAt, "table " + std::to_string(k), 0));
        }
        return container;
    }

private:
    [[noreturn]] void fail(const std::string& where, const std::string& why) const {
        failValue("Table container at offset " + std::to_string(blockOffset_) + " is damaged: " +
                  (where.empty() ? why : where + ": " + why));
    }

    // Marks [start, end) as read; bytes read twice mean offsets that point into each other.
    void claim(std::int64_t start, std::int64_t end, const std::string& what) {
        if (end <= start) return;
        auto after = claimed_.lower_bound(start);
        const bool overlapsNext = after != claimed_.end() && after->first < end;
        const bool overlapsPrevious = after != claimed_.begin() && std::prev(after)->second.first > start;
        if (overlapsNext || overlapsPrevious) {
            const auto& other = overlapsNext ? after->second.second : std::prev(after)->second.second;
            fail(what, "it shares bytes with " + other);
        }
        claimed_.emplace(start, std::pair{end, what});
    }

    // The records of the parameter block at `at`; `end` is where the name of
    // its END record ends (the type and size words after it are not needed).
    Parameters records(std::int64_t at, const std::string& where, std::int64_t& end) {
        MemorySource source(block_);
        ShortReads shortReads;
        Cursor cursor(source, shortReads);
        Parameters found;
        try {
            readParameterBlock(cursor, at, found);
        } catch (const Error& error) {
            fail(where, "its parameter block is damaged: " + aboutTheBlock(error.what()));
        }
        if (!shortReads.empty()) fail(where, "its parameter block runs past the end of the block");
        end = static_cast<std::int64_t>(cursor.position());
        return found;
    }

    std::optional<std::int64_t> integer(const ParameterLookup& lookup, const std::string& name,
                                        const std::string& where, bool required) const {
        const ParameterValue* value = lookup.find(name);
        if (value == nullptr) {
            if (required) fail(where, "it has no " + name);
            return std::nullopt;
        }
        const auto* number = std::get_if<std::int32_t>(value);
        if (number == nullptr) fail(where, "its " + name + " is not an integer");
        return *number;
    }

    static ParameterText text(const ParameterLookup& lookup, const std::string& name) {
        const ParameterValue* value = lookup.find(name);
        if (value == nullptr) return {};
        if (const auto* found = std::get_if<ParameterText>(value)) return *found;
        return {};
    }

    static std::vector<Property> properties(const Parameters& parameters) {
        std::map<int, Property> byIndex;
        for (const Parameter& parameter : parameters) {
            for (const char letter : {'H', 'V', 'Q'}) {
                const auto index = numbered(parameter.name, letter);
                if (!index) continue;
                Property& property = byIndex[*index];
                property.index = *index;
                if (letter == 'H') {
                    if (const auto* label = std::get_if<ParameterText>(&parameter.value)) property.label = *label;
                } else if (letter == 'V') {
                    property.value = parameter.value;
                } else if (const auto* format = std::get_if<ParameterText>(&parameter.value)) {
                    property.format = *format;
                }
            }
        }
        std::vector<Property> ordered;
        for (auto& [index, property] : byIndex) ordered.push_back(std::move(property));
        return ordered;
    }

    // Cells are checked to lie in their row, apart, each of at least one
    // byte, so a table never holds more cells than its rows hold bytes; a
    // table of no rows has nothing to check them against.
    std::vector<Column> columns(const ParameterLookup& lookup, std::int64_t count, std::int64_t rowLength,
                                bool checked, const std::string& where) const {
        std::vector<Column> found;
        for (std::int64_t c = 0; c < count; ++c) {
            Column column;
            column.offset = *integer(lookup, numberedName('F', c), where, true);
            column.type = static_cast<std::int32_t>(*integer(lookup, numberedName('T', c), where, true));
            column.kind = cellKind(column.type);
            column.name = text(lookup, numberedName('S', c));
            if (const ParameterValue* format = lookup.find(numberedName('P', c)))
                if (const auto* formatText = std::get_if<ParameterText>(format)) column.format = *formatText;
            if (checked && (column.offset < 0 || column.offset >= rowLength))
                fail(where, "column " + std::to_string(c) + " at byte " + std::to_string(column.offset) +
                                " lies outside its rows of " + std::to_string(rowLength) + " bytes");
            found.push_back(std::move(column));
        }
        std::vector<std::int64_t> offsets;
        for (const Column& column : found) offsets.push_back(column.offset);
        std::sort(offsets.begin(), offsets.end());
        for (std::size_t c = 0; c < found.size(); ++c) {
            Column& column = found[c];
            column.width = std::max<std::int64_t>(widthOf(column, offsets, rowLength), 0);
            if (!checked) continue;
            if (column.width == 0) fail(where, "column " + std::to_string(c) + " has cells of no bytes");
            if (column.width > rowLength - column.offset)
                fail(where, "column " + std::to_string(c) + " (" + std::to_string(column.width) + " bytes at byte " +
                                std::to_string(column.offset) + ") runs past its rows of " + std::to_string(rowLength) + " bytes");
        }
        if (checked) requireApart(found, where);
        return found;
    }

    // `offsets`: every column's, in increasing order.
    static std::int64_t widthOf(const Column& column, const std::vector<std::int64_t>& offsets, std::int64_t rowLength) {
        switch (column.kind) {
            case CellKind::Int32:
            case CellKind::Float32:
                return 4;
            case CellKind::Float64:
                return 8;
            case CellKind::Text:
                return column.type - 1000;
            case CellKind::Bytes:
                break;
        }
        // A blob reaches the next column, or the end of the row.
        const auto next = std::upper_bound(offsets.begin(), offsets.end(), column.offset);
        return (next == offsets.end() ? rowLength : std::min(*next, rowLength)) - column.offset;
    }

    void requireApart(const std::vector<Column>& columns, const std::string& where) const {
        std::vector<std::size_t> order(columns.size());
        for (std::size_t c = 0; c < order.size(); ++c) order[c] = c;
        std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return columns[a].offset < columns[b].offset; });
        for (std::size_t i = 1; i < order.size(); ++i) {
            const Column& before = columns[order[i - 1]];
            if (before.offset + before.width > columns[order[i]].offset)
                fail(where, "columns " + std::to_string(order[i - 1]) + " and " + std::to_string(order[i]) + " overlap");
        }
    }

    Table table(std::int64_t at, const std::string& name, int depth) {
        const std::string where = name + " (at byte " + std::to_string(at) + ")";
        if (at < 0 || at >= size_) fail(where, "it lies outside the block");
        Table found;
        found.offset = at;
        std::int64_t end = 0;
        found.parameters = records(at, where, end);
        const ParameterLookup lookup(found.parameters);
        found.rowsOffset = end;
        if (const auto size = integer(lookup, "SIZ", where, false)) {
            if (*size < end - at)
                fail(where, "its SIZ is " + std::to_string(*size) + " but its records take " + std::to_string(end - at) + " bytes");
            found.rowsOffset = at + *size;
        }
        const std::int64_t columnCount = *integer(lookup, "NCO", where, true);
        found.rowCount = *integer(lookup, "NLN", where, true);
        found.rowLength = integer(lookup, "SRC", where, columnCount > 0 && found.rowCount > 0).value_or(0);
        if (columnCount < 0 || found.rowCount < 0 || found.rowLength < 0)
            fail(where, "it has " + std::to_string(columnCount) + " columns and " + std::to_string(found.rowCount) +
                            " rows of " + std::to_string(found.rowLength) + " bytes");
        const auto rowBytes = tryMul(found.rowCount, found.rowLength);
        const auto rowsEnd = rowBytes ? tryAdd(found.rowsOffset, *rowBytes) : std::nullopt;
        if (found.rowsOffset > size_ || !rowsEnd || *rowsEnd > size_)
            fail(where, "its " + std::to_string(found.rowCount) + " rows of " + std::to_string(found.rowLength) +
                            " bytes run past the end of the block");
        claim(at, *rowsEnd, where);
        found.properties = properties(found.parameters);
        found.columns = columns(lookup, columnCount, found.rowLength, found.rowCount > 0, where);

        const std::int64_t subtables = integer(lookup, "SUB", where, false).value_or(0);
        if (subtables < 0) fail(where, "its SUB is " + std::to_string(subtables));
        if (subtables > 0 && depth >= deepestSubtable)
            fail(where, "its sub-tables nest deeper than " + std::to_string(deepestSubtable) + " levels");
        for (std::int64_t j = 0; j < subtables; ++j) {
            const std::int64_t relative = *integer(lookup, numberedName('G', j), where, true);
            const auto subtableAt = tryAdd(at, relative);
            if (!subtableAt) fail(where, "its sub-table " + std::to_string(j) + " lies outside the block");
            found.subtableTitles.push_back(text(lookup, numberedName('U', j)));
            found.subtables.push_back(table(*subtableAt, "sub-table " + std::to_string(j) + " of " + name, depth + 1));
        }
        return found;
    }

    std::span<const std::uint8_t> block_;
    std::int64_t size_;
    std::int64_t blockOffset_;
    std::map<std::int64_t, std::pair<std::int64_t, std::string>> claimed_;  // start -> (end, what)
};

}  // namespace

Container readContainer(std::span<const std::uint8_t> block, std::int64_t blockOffset) {
    return ContainerReader(block, blockOffset).read();
}

Cell cellAt(std::span<const std::uint8_t> block, const Table& table, std::int64_t row, const Column& column) {
    const auto at = static_cast<std::size_t>(table.rowsOffset + row * table.rowLength + column.offset);
    const auto bytes = block.subspan(at, static_cast<std::size_t>(column.width));
    const auto as = [&](auto value) {
        std::memcpy(&value, bytes.data(), sizeof value);
        return Cell(value);
    };
    switch (column.kind) {
        case CellKind::Int32:
            return as(std::int32_t{});
        case CellKind::Float32:
            return as(float{});
        case CellKind::Float64:
            return as(double{});
        case CellKind::Text:
            return bytes.first(static_cast<std::size_t>(std::find(bytes.begin(), bytes.end(), 0) - bytes.begin()));
        case CellKind::Bytes:
            break;
    }
    return bytes;
}

}  // namespace lumira::parts
