// 3D data blocks: the head and store table, record offsets in both orders
// (offsets mapping and image placement), the whole-record checks, and the
// copies of records and their info records.
//
// Input: NPT (int32), NPX and NPY (int16 each), where the block starts
// (uint16), then the file. Counts are capped so each run stays small; the
// parsers see the capped values.
#include <algorithm>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "extract/image.hpp"
#include "extract/records.hpp"
#include "extract/three_d.hpp"
#include "fuzz_input.hpp"
#include "record_checks.hpp"

using namespace lumira;

namespace {

constexpr std::int64_t maxCells = std::int64_t{1} << 18;  // floats of an image map

struct Controls {
    std::int64_t points;
    std::int64_t columns;
    std::int64_t rows;
    std::int64_t dataOffset;
};

template <typename T>
T take(const std::uint8_t* data) {
    T value;
    std::memcpy(&value, data, sizeof value);
    return value;
}

constexpr std::size_t controlSize = 10;

Controls controlsOf(const std::uint8_t* data) {
    const auto npt = take<std::int32_t>(data);
    return {std::min<std::int64_t>(npt, fuzz::maxPoints), take<std::int16_t>(data + 4), take<std::int16_t>(data + 6),
            take<std::uint16_t>(data + 8)};
}

void checkOffsets(const BlockHead& head, const std::vector<RecordOffset>& records) {
    std::unordered_set<std::int64_t> numbers;
    for (const RecordOffset& record : records)
        fuzz::require(numbers.insert(record.number).second, "a spectrum number occurs twice");
    std::int64_t listed = 0;
    for (const StoreEntry& entry : head.storeTable) listed += entry.runLength();
    fuzz::require(static_cast<std::int64_t>(records.size()) <= listed, "more offsets than the store table lists");
}

void readBlock(const Controls& controls, ByteSource& source, std::size_t heldBytes) {
    ShortReads shortReads;
    Cursor cursor(source, shortReads);
    BlockHead head;
    try {
        head = readBlockHead(cursor, controls.dataOffset);
    } catch (const Error&) {
        return;
    }
    fuzz::require(head.storeTable.size() <= heldBytes / 8 + 1, "more store table entries than the file holds");
    fuzz::handled(
        [&] { fuzz::require(readInfoSize(cursor, controls.dataOffset) == head.infoSize, "infoSize differs"); });

    fuzz::handled([&] {
        const auto records = recordOffsets(head, source.size());
        checkOffsets(head, records);
        if (controls.points >= 0) fuzz::copyChecked(source, head, records, controls.points, heldBytes == source.size());
    });
    fuzz::handled([&] {
        const auto records = imageRecords(head, source.size());
        if (controls.points >= 0) fuzz::copyChecked(source, head, records, controls.points, heldBytes == source.size());
    });

    if (controls.points < 0 || controls.columns < 0 || controls.rows < 0) return;
    const std::int64_t cells = controls.columns * controls.rows * controls.points;
    if (cells > maxCells) return;
    std::vector<float> image(static_cast<std::size_t>(cells));
    fuzz::handled([&] { readImageSpectra(source, head, {controls.columns, controls.rows, controls.points}, image); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < controlSize) return 0;
    const Controls controls = controlsOf(data);
    fuzz::readWholeAndShrunk(data + controlSize, size - controlSize, [&](ByteSource& source, std::size_t heldBytes) {
        readBlock(controls, source, heldBytes);
    });
    return 0;
}
