#include "extract/image.hpp"

#include <algorithm>
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

void checkImagePlacement(const ByteSource& source, const BlockHead& head, const ImageGrid& grid,
                         std::span<const RecordOffset> records) {
    for (std::size_t index = 0; index < records.size(); ++index) {
        if (grid.columns == 0) fail(ErrorKind::ZeroDivision, "integer division or modulo by zero");
        const auto row = static_cast<std::int64_t>(index) / grid.columns;
        if (row >= grid.rows) {
            fail(ErrorKind::Index, "index " + std::to_string(row) + " is out of bounds for axis 0 with size " +
                                       std::to_string(grid.rows));
        }
        requireWholeRecord(head, source, records[index].number, records[index].offset, grid.points);
    }
}

void readImageSpectra(ByteSource& source, const BlockHead& head, const ImageGrid& grid, std::span<float> cells,
                      const InfoRows* infoRows, bool zeroRest) {
    const auto records = imageRecords(head, source.size());
    checkImagePlacement(source, head, grid, records);
    const auto points = static_cast<std::size_t>(grid.points);
    std::vector<RecordTarget> targets;
    targets.reserve(records.size());
    for (std::size_t cell = 0; cell < records.size(); ++cell) {
        targets.push_back({records[cell].offset, cells.subspan(cell * points, points)});
        if (infoRows != nullptr) targets.back().tail = infoRows->tail(cell);
    }
    if (zeroRest) std::fill(cells.begin() + static_cast<std::ptrdiff_t>(records.size() * points), cells.end(), 0.0f);
    if (infoRows == nullptr) return copyRecords(source, head, targets);
    infoRows->clearFrom(records.size());
    copyRecords(source, head, targets, infoRows->visitor({}), infoRows->cutter());
}

void checkTraceMapRecords(const ByteSource& source, const BlockHead& head, const ImageGrid& grid,
                          std::span<const RecordOffset> records) {
    for (const RecordOffset& record : records) {
        requireWholeRecord(head, source, record.number, record.offset, grid.points);
        if (grid.points != grid.rows * grid.columns) {
            failValue("cannot reshape array of size " + std::to_string(grid.points) + " into shape (" +
                      std::to_string(grid.rows) + "," + std::to_string(grid.columns) + ")");
        }
    }
    const std::uint64_t axes =
        valuesPlus(static_cast<std::uint64_t>(grid.points),
                   static_cast<std::uint64_t>(grid.rows) + static_cast<std::uint64_t>(grid.columns));
    const std::uint64_t values = recordResultValues(records.size(), grid.points, 0, axes);
    requireRecordsWithinLimit(head, source.size(), values, records.size(), grid.points);
}

}  // namespace lumira
