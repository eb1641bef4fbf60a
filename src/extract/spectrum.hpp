// Runs of little-endian float32 values, read straight into the caller's memory.
#pragma once

#include <cstdint>
#include <span>

#include "container/byte_source.hpp"

namespace lumira {

// How many whole values of `wanted` lie in the file from `offset` on.
// A negative offset fails as the host's seek does.
std::uint64_t floatsAvailable(const ByteSource& source, std::int64_t offset, std::uint64_t wanted);

// Reads out.size() values at `offset`. The caller sized `out` from the file's
// size; if the file shrank since it was opened, this fails with ValueError.
void readFloats(ByteSource& source, std::int64_t offset, std::span<float> out);

}  // namespace lumira
