#include "extract/record_info.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

#include "core/checked.hpp"
#include "extract/spectrum.hpp"

namespace lumira {

namespace {

constexpr double missingReal = std::numeric_limits<double>::quiet_NaN();

std::uint64_t cellsOf(std::span<const std::int64_t> shape) {
    std::uint64_t cells = 1;
    for (std::int64_t extent : shape) cells = valuesTimes(cells, static_cast<std::uint64_t>(std::max<std::int64_t>(extent, 0)));
    return cells;
}

}  // namespace

bool InfoTable::fits(std::uint64_t rows, std::uint64_t fileSize) noexcept {
    return valuesTimes(rows, infoFields.size()) <= resultValueLimit(fileSize);
}

bool InfoTable::reset(std::span<const std::int64_t> shape, std::uint64_t fileSize) {
    const std::uint64_t rows = cellsOf(shape);
    available_ = fits(rows, fileSize);
    shape_.assign(shape.begin(), shape.end());
    resize(available_ ? static_cast<std::size_t>(rows) : 0);
    return available_;
}

bool InfoTable::grow(std::size_t rows, std::uint64_t fileSize) {
    if (!available_ || shape_.size() != 1) return false;
    const std::uint64_t total = valuesPlus(rows_, rows);
    available_ = fits(total, fileSize);
    if (!available_) {
        resize(0);
        shape_[0] = 0;
        return false;
    }
    resize(static_cast<std::size_t>(total));
    shape_[0] = static_cast<std::int64_t>(total);
    return true;
}

void InfoTable::resize(std::size_t rows) {
    rows_ = rows;
    for (std::size_t k = 0; k < infoFields.size(); ++k) {
        if (infoFields[k].real) {
            reals_[k].resize(rows, missingReal);
        } else {
            integers_[k].resize(rows, missingInteger);
        }
    }
}

void InfoTable::store(std::size_t row, const InfoRecord& info) {
    if (!available_ || row >= rows_) return;
    std::uint8_t bytes[infoFieldsSize];
    const std::size_t held = info.leading(bytes);
    for (std::size_t k = 0; k < infoFields.size(); ++k) {
        const InfoField& field = infoFields[k];
        const auto at = static_cast<std::size_t>(field.offset);
        if (field.real) {
            if (at + sizeof(double) <= held) std::memcpy(&reals_[k][row], bytes + at, sizeof(double));
        } else if (at + sizeof(std::int32_t) <= held) {
            std::memcpy(&integers_[k][row], bytes + at, sizeof(std::int32_t));
        }
    }
}

std::span<const double> InfoTable::reals(std::size_t field) const { return reals_.at(field); }

std::span<const std::int32_t> InfoTable::integers(std::size_t field) const { return integers_.at(field); }

}  // namespace lumira
