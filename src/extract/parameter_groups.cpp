#include "extract/parameter_groups.hpp"

#include <algorithm>
#include <bit>
#include <utility>

namespace lumira {

namespace {

constexpr int sampleSideCode = 0;
constexpr int referenceSideCode = 2;

bool isInfoBlock(const BlockTypeFields& f) {
    return f.paramType == codes::dataBlock && f.dataType == 0 && f.extendType == codes::extendInfo;
}

bool isCompanion(const BlockTypeFields& f) { return f.paramType > codes::dataParameters; }

}  // namespace

bool isParameterBlock(const BlockTypeFields& fields) noexcept {
    return fields.paramType >= codes::dataParameters || isInfoBlock(fields);
}

std::string kindName(int key) {
    switch (key) {
        case infoKey: return "info";
        case codes::dataParameters: return "data";
        case codes::instrumentParameters: return "instrument";
        case codes::acquisitionParameters: return "acquisition";
        case codes::ftParameters: return "FT";
        case codes::opticsParameters: return "optics";
        case codes::sampleParameters: return "sample origin";
        case codes::labParameters: return "lab";
        default: return "paramType " + std::to_string(key);
    }
}

void ParameterGroups::set(Offsets& offsets, std::uint64_t& present, std::size_t kind, std::int64_t offset) noexcept {
    offsets[kind] = offset;
    present |= std::uint64_t{1} << kind;
}

ParameterGroups::ParameterGroups(const Directory& directory, const std::vector<FileBlock>& blocks) {
    for (const DirectoryEntry& entry : directory) {
        const BlockTypeFields& f = entry.btt;
        const auto kind = static_cast<std::size_t>(f.paramType);
        // An offset of -1 is no block: a request takes it for one not found.
        if (entry.byteOffset == LocatedBlocks::absent) continue;
        // The last block of a kind on a side counts.
        if (isInfoBlock(f)) {
            set(sample_, sampleKinds_, infoKey, entry.byteOffset);
        } else if (isCompanion(f) && f.sampleType == sampleSideCode) {
            set(sample_, sampleKinds_, kind, entry.byteOffset);
        } else if (isCompanion(f) && f.sampleType == referenceSideCode) {
            set(reference_, referenceKinds_, kind, entry.byteOffset);
        }
    }
    const bool referenceBlocks = referenceKinds_ != 0;
    bool sampleData = false;
    bool referenceData = false;
    for (const FileBlock& block : blocks) {
        const int sampleType = directory[block.entry].btt.sampleType;
        sampleData = sampleData || sampleType == 1;
        referenceData = referenceData || sampleType == referenceSideCode;
    }
    referenceOnly_ = !referenceBlocks && referenceData && !sampleData;

    if (!referenceBlocks) {
        reference_ = sample_;  // one measurement: everything on side 0
        referenceKinds_ = sampleKinds_;
        return;
    }
    // The sample and the file's own blocks serve the reference too.
    for (std::size_t kind : {std::size_t{infoKey}, std::size_t{codes::sampleParameters}, std::size_t{codes::labParameters}}) {
        const std::uint64_t bit = std::uint64_t{1} << kind;
        if ((sampleKinds_ & bit) != 0 && (referenceKinds_ & bit) == 0) set(reference_, referenceKinds_, kind, sample_[kind]);
    }
}

bool ParameterGroups::isReference(const FileBlock& block, const Directory& directory) noexcept {
    return directory[block.entry].btt.sampleType == referenceSideCode;
}

Group ParameterGroups::groupOf(const FileBlock& block, const Directory& directory) const {
    return groupOf(block.located.offsetToParams, isReference(block, directory));
}

Group ParameterGroups::groupOf(std::int64_t ownParameters, bool reference) const {
    const Offsets& companions = reference ? reference_ : sample_;
    const std::uint64_t present = reference ? referenceKinds_ : sampleKinds_;
    Group group;
    if (ownParameters != LocatedBlocks::absent) group.add(codes::dataParameters, ownParameters);
    for (std::uint64_t rest = present & ~std::uint64_t{1}; rest != 0; rest &= rest - 1) {
        const auto kind = static_cast<std::size_t>(std::countr_zero(rest));
        group.add(static_cast<int>(kind), companions[kind]);
    }
    if ((present & 1) != 0) group.add(infoKey, companions[infoKey]);
    return group;
}

std::vector<ParameterBlockEntry> parameterBlocks(const Directory& directory, const std::vector<FileBlock>& blocks,
                                                 const ParameterGroups& groups) {
    // The data parameters of twins, by offset, with what their data block says.
    std::vector<std::pair<std::int64_t, bool>> twins;
    for (const FileBlock& block : blocks)
        if (block.compensated && block.located.offsetToParams != LocatedBlocks::absent)
            twins.emplace_back(block.located.offsetToParams, *block.compensated);
    std::stable_sort(twins.begin(), twins.end(), [](const auto& a, const auto& b) { return a.first < b.first; });

    std::vector<ParameterBlockEntry> found;
    for (std::size_t i = 0; i < directory.size(); ++i) {
        const BlockTypeFields& f = directory[i].btt;
        if (!isParameterBlock(f)) continue;
        ParameterBlockEntry block;
        block.entry = i;
        block.offset = directory[i].byteOffset;
        block.key = f.paramType >= codes::dataParameters ? f.paramType : infoKey;
        if (f.paramType == codes::dataParameters) {
            block.side = f.sampleType == 1 ? Side::Sample : f.sampleType == referenceSideCode ? Side::Reference
                                                                                             : Side::None;
            const auto twin = std::lower_bound(twins.begin(), twins.end(), directory[i].byteOffset,
                                               [](const auto& pair, std::int64_t offset) { return pair.first < offset; });
            if (twin != twins.end() && twin->first == directory[i].byteOffset) block.compensated = twin->second;
        } else if (isCompanion(f)) {
            if (f.sampleType == referenceSideCode || (f.sampleType == sampleSideCode && groups.referenceOnly()))
                block.side = Side::Reference;
            else if (f.sampleType == sampleSideCode)
                block.side = Side::Sample;
        }
        found.push_back(block);
    }
    return found;
}

}  // namespace lumira
