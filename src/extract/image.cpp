#include "extract/image.hpp"

#include <string>

#include "core/checked.hpp"
#include "core/error.hpp"
#include "extract/records.hpp"

namespace lumira {

std::vector<RecordOffset> imageRecords(const BlockHead& head, std::uint64_t fileSize) {
    requirePlausibleRecords(head, fileSize);
    std::vector<RecordOffset> records;
    std::int64_t position = head.blockOffset;
    const auto end = static_cast<std::int64_t>(fileSize);
    for (const StoreEntry& entry : head.storeTable) {
        if (entry.isGap()) {
            position = entry.second < 0 ? std::max(position, end) : addOffset(position, entry.second);
            continue;
        }
        for (std::int64_t number = entry.first; number <= entry.second; ++number) {
            records.push_back({number, position});
            position = addOffset(position, head.stride());
        }
    }
    return records;
}

void readImageSpectra(ByteSource& source, const BlockHead& head, const ImageGrid& grid, std::span<float> cells) {
    const auto records = imageRecords(head, source.size());
    const auto points = static_cast<std::size_t>(grid.points);
    std::vector<RecordTarget> targets;
    targets.reserve(records.size());
    for (std::size_t index = 0; index < records.size(); ++index) {
        if (grid.columns == 0) fail(ErrorKind::ZeroDivision, "integer division or modulo by zero");
        const auto row = static_cast<std::int64_t>(index) / grid.columns;
        const auto column = static_cast<std::int64_t>(index) % grid.columns;
        if (row >= grid.rows) {
            fail(ErrorKind::Index, "index " + std::to_string(row) + " is out of bounds for axis 0 with size " +
                                       std::to_string(grid.rows));
        }
        const RecordOffset& record = records[index];
        requireWholeRecord(head, source, record.number, record.offset, grid.points);
        const auto cell = static_cast<std::size_t>(row * grid.columns + column);
        targets.push_back({record.offset, cells.subspan(cell * points, points)});
    }
    copyRecords(source, head, targets);
}

}  // namespace lumira
