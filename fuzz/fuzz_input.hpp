// What the fuzz targets share: the input as a file, the failures that count
// as handled, and a check that aborts (so libFuzzer keeps the input) when an
// invariant of the parsers breaks.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

#include "container/byte_source.hpp"
#include "core/error.hpp"

namespace lumira::fuzz {

inline void require(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

// Only lumira::Error is a handled failure: it becomes a documented Python
// exception. Anything else (std::bad_alloc from a count taken from the file,
// std::length_error, a crash) escapes and is a finding.
template <typename Body>
void handled(Body&& body) {
    try {
        body();
    } catch (const lumira::Error&) {
    }
}

// A file that was cut to `data` after it was opened: it claims `claimed`
// bytes but hands out only what `data` holds, the way a descriptor does when
// someone truncates the file while it is read.
class ShrunkSource final : public ByteSource {
public:
    ShrunkSource(std::span<const std::uint8_t> data, std::uint64_t claimed) : data_(data), held_(data) {
        size_ = claimed;
    }

    std::size_t readAt(std::uint64_t offset, std::span<std::uint8_t> out) override { return held_.readAt(offset, out); }
    std::span<const std::uint8_t> cachedFrom(std::uint64_t offset) override { return held_.cachedFrom(offset); }
    std::unique_ptr<ByteSource> sibling() const override {
        return std::make_unique<ShrunkSource>(data_, size_);
    }

private:
    std::span<const std::uint8_t> data_;
    MemorySource held_;
};

// Runs `read(source, heldBytes)` over the input as a file, and again over
// the same bytes as a file that claims to be longer (truncated while read).
template <typename Read>
void readWholeAndShrunk(const std::uint8_t* data, std::size_t size, Read&& read) {
    const std::span<const std::uint8_t> bytes(data, size);
    MemorySource whole(bytes);
    read(whole, size);
    ShrunkSource shrunk(bytes, size + 4096);
    read(shrunk, size);
}

}  // namespace lumira::fuzz
