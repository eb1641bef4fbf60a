// A request in codes, and where its blocks lie in the directory.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "container/directory.hpp"

namespace lumira {

// What the block type word of the requested data block must hold.
struct RequestCodes {
    int dataType;
    int sampleType;  // codes::anySample when any sample type will do
    int derivType;
    int extendType;
};

// The request texts, already upper-cased. Each lookup is empty for a text
// the request tables do not hold.
std::optional<int> requestedExtendType(std::string_view dimensions);
std::optional<int> requestedDerivType(std::string_view deriv);

// Byte offsets found by the block search; absent = -1.
struct LocatedBlocks {
    static constexpr std::int64_t absent = -1;
    std::int64_t offsetToData = absent;
    std::int64_t offsetToParams = absent;
    std::int64_t offsetToOriginalParams = absent;
    std::int64_t offsetToAcqParams = absent;
    std::int64_t offsetToInstParams = absent;
    std::int64_t offsetToSampleParams = absent;
    std::int64_t offsetToFTParams = absent;
    std::int64_t offsetToANNO = absent;

    bool foundDataBlock() const noexcept { return offsetToData != absent && offsetToParams != absent; }
};

// Walks the whole directory once; for every offset the last matching entry wins.
LocatedBlocks locateBlocks(const Directory& directory, const RequestCodes& request);

}  // namespace lumira
