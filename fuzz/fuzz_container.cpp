// Table containers: the head, the directory wherever the head puts it, every
// table, sub-table and cell.
//
// Input: the container block itself.
#include <algorithm>

#include "fuzz_input.hpp"
#include "parts/container.hpp"

using namespace lumira;

namespace {

std::size_t checkTable(std::span<const std::uint8_t> block, const parts::Table& table) {
    const auto size = static_cast<std::int64_t>(block.size());
    fuzz::require(table.offset >= 0 && table.offset < size, "table outside the block");
    fuzz::require(table.rowsOffset + table.rowCount * table.rowLength <= size, "rows past the block");
    fuzz::require(table.subtables.size() == table.subtableTitles.size(), "a sub-table without its title");
    std::size_t cells = 0;
    for (std::int64_t row = 0; row < table.rowCount; ++row) {
        for (const parts::Column& column : table.columns) {
            const parts::Cell cell = parts::cellAt(block, table, row, column);
            if (const auto* bytes = std::get_if<std::span<const std::uint8_t>>(&cell)) {
                fuzz::require(bytes->data() >= block.data() && bytes->data() + bytes->size() <= block.data() + block.size(),
                              "cell outside the block");
                if (column.kind == parts::CellKind::Text)
                    fuzz::require(std::find(bytes->begin(), bytes->end(), 0) == bytes->end(), "text keeps a NUL");
            }
            ++cells;
        }
    }
    for (const parts::Table& subtable : table.subtables) cells += checkTable(block, subtable);
    return cells;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> block(data, size);
    fuzz::handled([&] {
        const parts::Container container = parts::readContainer(block, 0);
        fuzz::require(container.tables.size() == container.tableNames.size(), "a table without its name");
        std::size_t cells = 0;
        for (const parts::Table& table : container.tables) cells += checkTable(block, table);
        // Cells lie apart, each of at least one byte, and tables share no bytes.
        fuzz::require(cells <= size, "more cells than the block holds bytes");
    });
    return 0;
}
