// Keeping the C library's heap from returning the memory of one file's
// results to the system after every call.
#pragma once

#include <cstdint>

namespace lumira::companion {

// Prepares the heap for results of about `bytes` bytes that live at once and
// are freed together, as the arrays of a whole file are.
void keepHeapFor(std::uint64_t bytes) noexcept;

}  // namespace lumira::companion
