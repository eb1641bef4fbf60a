#include "extract/file_blocks.hpp"

#include <algorithm>
#include <span>
#include <utility>

namespace lumira {

RequestCodes requestCodes(const ListedBlock& listed) noexcept {
    const DataTypeName& name = dataTypeNames[listed.nameIndex];
    return {name.dataType, name.sampleType, listed.derivType, listed.threeD ? codes::extend3D : codes::extendPlain};
}

namespace {

bool reachable(const BlockTypeFields& fields) {
    return fields.extendType == codes::extendPlain || fields.extendType == codes::extend3D;
}

// A data block of a type the package names, or nothing for any other entry.
std::optional<FileBlock> dataBlockOf(const BlockTypeFields& f) {
    if (f.paramType != codes::dataBlock || !reachable(f)) return std::nullopt;
    FileBlock block;
    block.channel = f.dataType / channelStride + 1;
    block.threeD = f.extendType == codes::extend3D;
    block.derivType = f.derivType;
    const int base = f.dataType % channelStride;
    if (const auto name = dataTypeNameIndex(base, f.sampleType)) {
        const DataTypeName& row = dataTypeNames[*name];
        block.typeName = row.name;
        block.codes = {f.dataType, row.sampleType, f.derivType, f.extendType};
        if (block.channel == 1) block.listed = ListedBlock{*name, block.threeD, f.derivType};
    } else if (base == matchDataType) {
        block.typeName = matchName;
        block.codes = {f.dataType, codes::anySample, f.derivType, f.extendType};
    } else {
        return std::nullopt;
    }
    return block;
}

// The entries (data blocks or data parameter blocks) that a request finds
// for its data block and its parameter block, in directory order.
std::vector<std::int64_t> requestedOffsets(const Directory& directory, const RequestCodes& request, int paramType) {
    std::vector<std::int64_t> offsets;
    for (const DirectoryEntry& entry : directory) {
        const BlockTypeFields& f = entry.btt;
        const bool sample = request.sampleType == codes::anySample || f.sampleType == request.sampleType;
        if (f.paramType == paramType && f.dataType == request.dataType && f.derivType == request.derivType &&
            f.extendType == request.extendType && sample)
            offsets.push_back(entry.byteOffset);
    }
    return offsets;
}

// The codes of a request as one number: dataType (7 bits), sampleType (or
// any), derivType (2 bits), extendType (7 bits).
std::uint32_t keyOf(const RequestCodes& codes) {
    const auto sample = static_cast<std::uint32_t>(codes.sampleType + 1);  // any sample: 0
    return ((static_cast<std::uint32_t>(codes.dataType) * 5 + sample) * 4 + static_cast<std::uint32_t>(codes.derivType)) *
               128 +
           static_cast<std::uint32_t>(codes.extendType);
}

// The six codes of a type word, the bits above them left out.
std::uint32_t sixCodesOf(const DirectoryEntry& entry) { return static_cast<std::uint32_t>(entry.word & 0x3FFFFFF); }

// Calls `each` with the places of the blocks of every key, in order, keyed
// by `keyOf(block)`. Sorting a vector costs no allocation per key.
template <typename KeyOf, typename Each>
void byKey(const std::vector<FileBlock>& blocks, KeyOf keyOf, Each each) {
    using Key = decltype(keyOf(blocks.front()));
    std::vector<std::pair<Key, std::size_t>> keyed;
    keyed.reserve(blocks.size());
    for (std::size_t i = 0; i < blocks.size(); ++i) keyed.emplace_back(keyOf(blocks[i]), i);
    std::sort(keyed.begin(), keyed.end());  // by key, then by place
    std::vector<std::size_t> members;
    for (std::size_t i = 0; i < keyed.size();) {
        members.clear();
        std::size_t j = i;
        for (; j < keyed.size() && keyed[j].first == keyed[i].first; ++j) members.push_back(keyed[j].second);
        each(std::span<const std::size_t>(members));
        i = j;
    }
}

// Twins: exactly two data blocks of the same six codes whose type words
// differ in bit 30. Anything else (one block, three, or two alike) says
// nothing about which is which.
void markPair(const Directory& directory, FileBlock& first, FileBlock& second) {
    const bool firstEarly = (directory[first.entry].word & earlyTwinBit) != 0;
    const bool secondEarly = (directory[second.entry].word & earlyTwinBit) != 0;
    if (firstEarly == secondEarly) return;
    first.compensated = !firstEarly;
    second.compensated = !secondEarly;
}

// Twins among the blocks of one request: blocks of the same six codes answer
// the same request, so a pair of twins is always among them.
void markTwins(const Directory& directory, std::vector<FileBlock>& blocks, std::span<const std::size_t> members) {
    const auto sixCodes = [&](std::size_t index) { return sixCodesOf(directory[blocks[index].entry]); };
    if (members.size() == 2) {  // the usual case: the pair alone
        if (sixCodes(members[0]) == sixCodes(members[1])) markPair(directory, blocks[members[0]], blocks[members[1]]);
        return;
    }
    std::vector<std::pair<std::uint32_t, std::size_t>> coded;
    for (std::size_t index : members) coded.emplace_back(sixCodes(index), index);
    std::sort(coded.begin(), coded.end());
    for (std::size_t i = 0; i < coded.size();) {
        std::size_t j = i;
        while (j < coded.size() && coded[j].first == coded[i].first) ++j;
        if (j - i == 2) markPair(directory, blocks[coded[i].second], blocks[coded[i + 1].second]);
        i = j;
    }
}

}  // namespace

std::vector<FileBlock> fileBlocks(const Directory& directory) {
    std::vector<FileBlock> blocks;
    blocks.reserve(std::min<std::size_t>(directory.size(), 64));
    for (std::size_t i = 0; i < directory.size(); ++i) {
        auto block = dataBlockOf(directory[i].btt);
        if (!block) continue;
        block->entry = i;
        blocks.push_back(*block);
    }
    if (blocks.empty()) return blocks;
    // Blocks of one request (the same codes), in directory order.
    byKey(blocks, [](const FileBlock& block) { return keyOf(block.codes); }, [&](std::span<const std::size_t> members) {
        if (members.size() > 1) markTwins(directory, blocks, members);
        const RequestCodes& request = blocks[members.front()].codes;
        const LocatedBlocks located = locateBlocks(directory, request);
        const auto parameters = requestedOffsets(directory, request, codes::dataParameters);
        for (std::size_t k = 0; k < members.size(); ++k) {
            FileBlock& block = blocks[members[k]];
            const std::size_t fromLast = members.size() - 1 - k;
            block.located = located;
            block.located.offsetToData = directory[block.entry].byteOffset;
            block.located.offsetToParams =
                fromLast < parameters.size() ? parameters[parameters.size() - 1 - fromLast] : LocatedBlocks::absent;
            block.shadowed = fromLast > 0;
        }
    });
    return blocks;
}

}  // namespace lumira
