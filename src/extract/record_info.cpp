#include "extract/record_info.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

#include "extract/spectrum.hpp"

namespace lumira {

namespace {

// Rows of whole tails are kept small: their bytes beyond the fields (labels) cost memory for nothing.
constexpr std::size_t largestWholeTail = 512;

std::size_t fieldEnd(const InfoField& field) noexcept {
    return static_cast<std::size_t>(field.offset) + (field.real ? sizeof(double) : sizeof(std::int32_t));
}

}  // namespace

InfoLayout infoLayout(const BlockHead& head, std::int64_t points) noexcept {
    const std::int64_t gap = std::int64_t{head.blockSize} - points * std::int64_t{sizeof(float)};
    const std::int64_t tail = gap + head.infoSize;
    if (points < 0 || gap < 0 || head.infoSize < static_cast<std::int64_t>(infoFieldsSize) ||
        tail > static_cast<std::int64_t>(largestWholeTail))
        return {};
    return {static_cast<std::size_t>(tail), static_cast<std::size_t>(gap)};
}

bool infoRowsFit(std::uint64_t rows, const InfoLayout& layout, std::uint64_t fileSize) noexcept {
    return valuesTimes(rows, layout.size / sizeof(float)) <= resultValueLimit(fileSize);
}

void InfoRows::finish(std::span<std::uint8_t> row, std::size_t held) const noexcept {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    if (held >= row.size()) return;
    std::memset(row.data() + held, 0, row.size() - held);
    for (const InfoField& field : infoFields) {
        if (layout_.base + fieldEnd(field) <= held) continue;
        std::uint8_t* const at = row.data() + layout_.base + field.offset;
        if (field.real) {
            std::memcpy(at, &nan, sizeof nan);
        } else {
            std::memcpy(at, &missingInteger, sizeof missingInteger);
        }
    }
}

void InfoRows::clearFrom(std::size_t first) const noexcept {
    for (std::size_t index = first; index < size(); ++index) finish(row(index), 0);
}

void InfoRows::store(std::size_t index, const InfoRecord& info) const {
    if (index >= size()) return;
    const std::span<std::uint8_t> bytes = row(index);
    if (!layout_.wholeTail()) return finish(bytes, info.leading(bytes));
    // Read there by the copy, or else from the file: the bytes after the record's values.
    const std::span<const std::uint8_t> copied = info.afterValues();
    const std::size_t held = copied.data() == bytes.data()
                                 ? copied.size()
                                 : info.bytesFrom(-static_cast<std::int64_t>(layout_.base), bytes);
    finish(bytes, held);
}

InfoVisitor InfoRows::visitor(const InfoVisitor& also) const {
    if (layout_.wholeTail()) return also;  // the copy fills the rows itself
    return [this, also](std::size_t index, const InfoRecord& info) {
        if (also) also(index, info);
        store(index, info);
    };
}

TailCut InfoRows::cutter() const {
    if (!layout_.wholeTail()) return {};
    return [this](std::size_t index, std::size_t held) { finish(row(index), held); };
}

}  // namespace lumira
