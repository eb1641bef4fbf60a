#include "extract/spectrum.hpp"

#include <algorithm>
#include <cerrno>
#include <string>

#include "core/error.hpp"
#include "extract/widest_vectors.hpp"

namespace lumira {

std::uint64_t floatsAvailable(const ByteSource& source, std::int64_t offset, std::uint64_t wanted) {
    if (offset < 0) failOS(EINVAL);
    return std::min(wanted, source.available(static_cast<std::uint64_t>(offset)) / sizeof(float));
}

std::optional<std::uint64_t> unbackedPointCount(const ByteSource& source, std::int64_t offset, std::int64_t points) {
    if (points <= 0 || static_cast<std::uint64_t>(points) <= maxPointsBeyondFile) return std::nullopt;
    const std::uint64_t held = offset < 0 ? 0 : source.available(static_cast<std::uint64_t>(offset)) / sizeof(float);
    if (held >= static_cast<std::uint64_t>(points)) return std::nullopt;
    return held;
}

std::uint64_t resultValueLimit(std::uint64_t fileSize) noexcept {
    return std::max(maxPointsBeyondFile, fileSize / sizeof(float) * 2);
}

std::uint64_t valuesPlus(std::uint64_t a, std::uint64_t b) noexcept {
    std::uint64_t sum;
    return __builtin_add_overflow(a, b, &sum) ? UINT64_MAX : sum;
}

std::uint64_t valuesTimes(std::uint64_t a, std::uint64_t b) noexcept {
    std::uint64_t product;
    return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

void checkPointCount(const ByteSource& source, std::int64_t offset, std::int64_t points) {
    if (points <= 0) return;
    const auto count = static_cast<std::uint64_t>(points);
    const std::uint64_t held = offset < 0 ? 0 : source.available(static_cast<std::uint64_t>(offset)) / sizeof(float);
    // The axis, and y as far as the file holds it.
    if (valuesPlus(count, std::min(count, held)) <= resultValueLimit(source.size())) return;
    failValue("Data block at offset " + std::to_string(offset) + " is damaged: NPT is " + std::to_string(points) +
              " but the file holds only " + std::to_string(held) + " values from there");
}

void readFloats(ByteSource& source, std::int64_t offset, std::span<float> out) {
    if (offset < 0) failOS(EINVAL);
    const auto bytes = std::as_writable_bytes(out);
    const std::span<std::uint8_t> raw(reinterpret_cast<std::uint8_t*>(bytes.data()), bytes.size());
    if (source.readAt(static_cast<std::uint64_t>(offset), raw) != raw.size())
        failValue("The file ended early at offset " + std::to_string(offset) + ": it changed while being read");
}

LUMIRA_WIDEST_VECTORS void scaleFloats(std::span<float> values, double factor) noexcept {
    for (float& value : values) value = static_cast<float>(static_cast<double>(value) * factor);
}

}  // namespace lumira
