// The data blocks a directory lists, as (type, dimension, derivative) names.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "container/directory.hpp"

namespace lumira {

struct ListedBlock {
    std::size_t nameIndex;  // into dataTypeNames
    bool threeD;
    int derivType;

    std::string_view name() const noexcept { return dataTypeNames[nameIndex].name; }
    std::string_view dimension() const noexcept { return threeD ? "3D" : "2D"; }
    std::string_view derivative() const noexcept { return listedDerivativeText(derivType); }

    // A dense number for each distinct triple, below listedBlockKinds.
    std::size_t kind() const noexcept {
        return (nameIndex * 2 + (threeD ? 1 : 0)) * 4 + static_cast<std::size_t>(derivType);
    }
};

inline constexpr std::size_t listedBlockKinds = dataTypeNames.size() * 2 * 4;

// The index into dataTypeNames of the name of a (dataType, sampleType) pair.
std::optional<std::size_t> dataTypeNameIndex(int dataType, int sampleType) noexcept;

// Names every entry that is a data parameter block of a named data type.
// Entries of the front group (AB, TR, REFL, ATR, PAS, RAM, KM, EMIS) come
// first, latest entry first; the others follow in directory order.
std::vector<ListedBlock> listBlocks(const Directory& directory);

}  // namespace lumira
