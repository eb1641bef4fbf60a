// Runs of little-endian float32 values, read straight into the caller's memory.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "container/byte_source.hpp"

namespace lumira {

// A spectrum may claim more points than its file holds: a file cut short
// keeps its full x axis and a shorter y. Past this many points, though, an
// axis for values that are not in the file can only come from a damaged NPT,
// and building it would cost the caller gigabytes (2**31 points are 16 GiB).
inline constexpr std::uint64_t maxPointsBeyondFile = std::uint64_t{1} << 24;

// The values the file holds from `offset` on, when `points` exceeds both
// them and maxPointsBeyondFile; nothing for a count the file can back.
std::optional<std::uint64_t> unbackedPointCount(const ByteSource& source, std::int64_t offset, std::int64_t points);

// The most values a result may hold across all its arrays (axes, values, map
// coordinates, z values, start times): twice the values the file holds, or
// maxPointsBeyondFile for a small file. Anything more can only come from
// damaged counts, and a few kilobytes could otherwise ask for terabytes.
std::uint64_t resultValueLimit(std::uint64_t fileSize) noexcept;

// Counts of values, saturating instead of wrapping.
std::uint64_t valuesPlus(std::uint64_t a, std::uint64_t b) noexcept;
std::uint64_t valuesTimes(std::uint64_t a, std::uint64_t b) noexcept;

// Fails with ValueError "Data block at offset N is damaged: ..." when the
// axis of `points` values and the values the file holds of them at `offset`
// would pass resultValueLimit.
void checkPointCount(const ByteSource& source, std::int64_t offset, std::int64_t points);

// How many whole values of `wanted` lie in the file from `offset` on.
// A negative offset fails as the host's seek does.
std::uint64_t floatsAvailable(const ByteSource& source, std::int64_t offset, std::uint64_t wanted);

// Reads out.size() values at `offset`. The caller sized `out` from the file's
// size; if the file shrank since it was opened, this fails with ValueError.
void readFloats(ByteSource& source, std::int64_t offset, std::span<float> out);

// Multiplies each value by `factor` in double precision, stored back as float32.
void scaleFloats(std::span<float> values, double factor) noexcept;

}  // namespace lumira
