// Overflow-checked 64-bit arithmetic for sizes and offsets taken from files.
#pragma once

#include <cstdint>
#include <optional>

#include "core/error.hpp"

namespace lumira {

inline std::optional<std::int64_t> tryAdd(std::int64_t a, std::int64_t b) noexcept {
    std::int64_t sum;
    if (__builtin_add_overflow(a, b, &sum)) return std::nullopt;
    return sum;
}

inline std::optional<std::int64_t> tryMul(std::int64_t a, std::int64_t b) noexcept {
    std::int64_t product;
    if (__builtin_mul_overflow(a, b, &product)) return std::nullopt;
    return product;
}

// Offsets past the 64-bit range cannot name a byte of any file; the host
// refuses to seek there with OverflowError, and so do we.
inline std::int64_t addOffset(std::int64_t a, std::int64_t b) {
    if (auto sum = tryAdd(a, b)) return *sum;
    fail(ErrorKind::Overflow, "file offset does not fit in 64 bits");
}

inline std::int64_t mulSize(std::int64_t a, std::int64_t b) {
    if (auto product = tryMul(a, b)) return *product;
    fail(ErrorKind::Overflow, "size does not fit in 64 bits");
}

}  // namespace lumira
