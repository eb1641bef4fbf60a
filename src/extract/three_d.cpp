#include "extract/three_d.hpp"

#include <algorithm>
#include <cerrno>
#include <unordered_map>

#include "core/checked.hpp"
#include "core/error.hpp"
#include "extract/spectrum.hpp"

namespace lumira {

namespace {

constexpr std::uint64_t storeEntrySize = 8;

struct HeadFields {
    std::int32_t blockOffset;
    std::int32_t blockSize;
    std::int32_t infoSize;
};

HeadFields readHeadFields(Cursor& cursor, std::int64_t dataOffset) {
    cursor.seek(dataOffset);
    cursor.readInt();  // version: read, not used
    cursor.readInt();  // stored blocks: read, not used
    const std::int32_t blockOffset = cursor.readInt();
    const std::int32_t blockSize = cursor.readInt();
    const std::int32_t infoSize = cursor.readInt();
    return {blockOffset, blockSize, infoSize};
}

}  // namespace

void failDamaged3D(std::int64_t dataOffset, const std::string& why) {
    failValue("3D data block at offset " + std::to_string(dataOffset) + " is damaged: " + why);
}

void failResultTooLarge(std::int64_t dataOffset, std::uint64_t fileSize, std::uint64_t values,
                        const std::string& claim) {
    failDamaged3D(dataOffset, "its result would hold " + std::to_string(values) + " values (" + claim +
                                  ") but the file holds only " + std::to_string(fileSize / sizeof(float)) + " values");
}

std::uint64_t recordResultValues(std::uint64_t records, std::int64_t width, std::uint64_t perRecord,
                                 std::uint64_t axes) {
    const std::uint64_t each = valuesPlus(static_cast<std::uint64_t>(std::max<std::int64_t>(width, 0)), perRecord);
    return valuesPlus(valuesTimes(records, each), axes);
}

void requireRecordsWithinLimit(const BlockHead& head, std::uint64_t fileSize, std::uint64_t values,
                               std::uint64_t records, std::int64_t width) {
    requireResultWithinLimit(head.dataOffset, fileSize, values, [&] {
        return std::to_string(records) + " records of " + std::to_string(width) + " values";
    });
}

void checkThreeDAxis(const ByteSource& source, std::int64_t dataOffset, const char* code, std::int64_t count) {
    const std::int64_t afterHead = dataOffset < 0 ? -1 : tryAdd(dataOffset, headFieldsSize).value_or(-1);
    const auto held = unbackedPointCount(source, afterHead, count);
    if (!held) return;
    failValue("3D data block at offset " + std::to_string(dataOffset) + " is damaged: " + code + " is " +
              std::to_string(count) + " but the file holds only " + std::to_string(*held) + " values after its head");
}

BlockHead readBlockHead(Cursor& cursor, std::int64_t dataOffset) {
    const HeadFields fields = readHeadFields(cursor, dataOffset);
    BlockHead head;
    head.dataOffset = dataOffset;
    head.blockOffset = addOffset(dataOffset, fields.blockOffset);
    head.blockSize = fields.blockSize;
    head.infoSize = fields.infoSize;
    const std::int32_t numberEntries = cursor.readInt();
    head.storeTable.reserve(
        std::min<std::uint64_t>(numberEntries > 0 ? numberEntries : 0, cursor.remaining() / storeEntrySize + 1));
    for (std::int32_t i = 0; i < numberEntries && !cursor.atEnd(); ++i) {
        const std::int32_t first = cursor.readInt();
        const std::int32_t second = cursor.readInt();
        head.storeTable.push_back({first, second});
    }
    return head;
}

std::int32_t readInfoSize(Cursor& cursor, std::int64_t dataOffset) {
    return readHeadFields(cursor, dataOffset).infoSize;
}

void requirePlausibleRecords(const BlockHead& head, std::uint64_t fileSize) {
    if (head.blockSize < 0 || head.infoSize < 0) failDamaged3D(head, "its records have a negative size");
    std::int64_t records = 0;
    for (const StoreEntry& entry : head.storeTable) {
        records += entry.runLength();  // at most 2**32 per entry, 2**29 entries: no overflow
    }
    const std::uint64_t room = head.blockOffset >= 0 && static_cast<std::uint64_t>(head.blockOffset) < fileSize
                                   ? fileSize - static_cast<std::uint64_t>(head.blockOffset)
                                   : 0;
    const std::uint64_t capacity = room / static_cast<std::uint64_t>(std::max<std::int64_t>(head.stride(), 1)) + 1;
    if (static_cast<std::uint64_t>(records) > capacity) {
        failDamaged3D(head, "its store table lists " + std::to_string(records) + " records, more than the file holds");
    }
}

namespace {

// Whether some spectrum number occurs in two runs (then a later record
// replaces an earlier one at its first place).
bool runsOverlap(const std::vector<StoreEntry>& table) {
    std::vector<std::pair<std::int64_t, std::int64_t>> runs;
    for (const StoreEntry& entry : table)
        if (entry.runLength() > 0) runs.emplace_back(entry.first, entry.second);
    std::sort(runs.begin(), runs.end());
    for (std::size_t i = 1; i < runs.size(); ++i)
        if (runs[i].first <= runs[i - 1].second) return true;
    return false;
}

}  // namespace

std::vector<RecordOffset> recordOffsets(const BlockHead& head, std::uint64_t fileSize) {
    requirePlausibleRecords(head, fileSize);
    std::vector<RecordOffset> records;
    // Usually every number occurs once; only then is no map of places needed.
    const bool repeats = runsOverlap(head.storeTable);
    std::unordered_map<std::int64_t, std::size_t> placeOf;
    std::int64_t offset = head.blockOffset;
    for (const StoreEntry& entry : head.storeTable) {
        if (entry.isGap()) {
            offset = addOffset(offset, entry.second);
            continue;
        }
        for (std::int64_t number = entry.first; number <= entry.second; ++number) {
            if (!repeats) {
                records.push_back({number, offset});
            } else if (const auto [place, inserted] = placeOf.try_emplace(number, records.size()); inserted) {
                records.push_back({number, offset});
            } else {
                records[place->second].offset = offset;
            }
            offset = addOffset(offset, head.stride());
        }
    }
    return records;
}

void requireWholeRecord(const BlockHead& head, const ByteSource& source, std::int64_t number, std::int64_t offset,
                        std::int64_t count) {
    if (offset < 0) failOS(EINVAL);
    const std::uint64_t needed = static_cast<std::uint64_t>(count) * sizeof(float);
    // Values longer than a record's data part would be read from its info
    // record and the records after it: a plainly wrong map, not a reading.
    if (static_cast<std::uint64_t>(std::max(head.blockSize, 0)) < needed) {
        failDamaged3D(head, "records hold " + std::to_string(head.blockSize) + " bytes of values but NPT is " +
                                std::to_string(count) + " (" + std::to_string(needed) + " bytes)");
    }
    if (source.available(static_cast<std::uint64_t>(offset)) < needed) {
        failDamaged3D(head, "spectrum record " + std::to_string(number) + " at byte " + std::to_string(offset) +
                                " ends past the end of the file");
    }
}

void checkSeriesRecords(const BlockHead& head, const ByteSource& source, std::span<const RecordOffset> records,
                        std::int64_t points, std::uint64_t perRecord) {
    for (const RecordOffset& record : records) requireWholeRecord(head, source, record.number, record.offset, points);
    const std::uint64_t values =
        recordResultValues(records.size(), points, perRecord, static_cast<std::uint64_t>(points));
    requireRecordsWithinLimit(head, source.size(), values, records.size(), points);
    if (records.empty()) failValue("need at least one array to concatenate");
}

double readRecordValue(Cursor& cursor, const BlockHead& head, std::int64_t recordOffset) {
    cursor.seek(addOffset(addOffset(recordOffset, head.blockSize), infoValueOffset));
    return cursor.readDouble();
}

bool recordValueCut(const ByteSource& source, const BlockHead& head, std::int64_t recordOffset) {
    const std::int64_t position = addOffset(addOffset(recordOffset, head.blockSize), infoValueOffset);
    return position < 0 || source.available(static_cast<std::uint64_t>(position)) < sizeof(double);
}

}  // namespace lumira
