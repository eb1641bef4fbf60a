#include "container/listing.hpp"

#include <algorithm>

namespace lumira {

namespace {

bool inFrontGroup(std::string_view name) {
    constexpr std::array<std::string_view, 8> front{"AB", "TR", "REFL", "ATR", "PAS", "RAM", "KM", "EMIS"};
    return std::find(front.begin(), front.end(), name) != front.end();
}

constexpr std::size_t noName = dataTypeNames.size();

// Name of every (dataType, sampleType) pair, looked up once per entry.
constexpr auto nameIndexTable = [] {
    std::array<std::array<std::size_t, 4>, 128> table{};
    for (int data = 0; data < 128; ++data) {
        for (int sample = 0; sample < 4; ++sample) {
            std::size_t found = noName;
            for (std::size_t i = 0; i < dataTypeNames.size(); ++i) {
                const DataTypeName& row = dataTypeNames[i];
                if (row.dataType == data && (row.sampleType == codes::anySample || row.sampleType == sample)) found = i;
            }
            table[static_cast<std::size_t>(data)][static_cast<std::size_t>(sample)] = found;
        }
    }
    return table;
}();

}  // namespace

std::optional<std::size_t> dataTypeNameIndex(int dataType, int sampleType) noexcept {
    if (dataType < 0 || dataType > 127 || sampleType < 0 || sampleType > 3) return std::nullopt;
    const std::size_t index = nameIndexTable[static_cast<std::size_t>(dataType)][static_cast<std::size_t>(sampleType)];
    if (index == noName) return std::nullopt;
    return index;
}

std::vector<ListedBlock> listBlocks(const Directory& directory) {
    std::vector<ListedBlock> front;
    std::vector<ListedBlock> back;
    for (const DirectoryEntry& entry : directory) {
        const BlockTypeFields& fields = entry.btt;
        if (fields.paramType != codes::dataParameters) continue;
        const auto nameIndex = dataTypeNameIndex(fields.dataType, fields.sampleType);
        if (!nameIndex) continue;
        const ListedBlock block{*nameIndex, fields.extendType == codes::extend3D, fields.derivType};
        (inFrontGroup(block.name()) ? front : back).push_back(block);
    }
    std::reverse(front.begin(), front.end());
    front.insert(front.end(), back.begin(), back.end());
    return front;
}

}  // namespace lumira
