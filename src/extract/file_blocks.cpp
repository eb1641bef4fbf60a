#include "extract/file_blocks.hpp"

#include <map>
#include <tuple>

namespace lumira {

RequestCodes requestCodes(const ListedBlock& listed) noexcept {
    const DataTypeName& name = dataTypeNames[listed.nameIndex];
    return {name.dataType, name.sampleType, listed.derivType, listed.threeD ? codes::extend3D : codes::extendPlain};
}

namespace {

bool reachable(const BlockTypeFields& fields) {
    return fields.extendType == codes::extendPlain || fields.extendType == codes::extend3D;
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

}  // namespace

std::vector<FileBlock> fileBlocks(const Directory& directory) {
    std::vector<FileBlock> blocks;
    // Blocks of one request, by the request's listed kind.
    std::map<std::size_t, std::vector<std::size_t>> byRequest;
    for (std::size_t i = 0; i < directory.size(); ++i) {
        const BlockTypeFields& f = directory[i].btt;
        if (f.paramType != codes::dataBlock || !reachable(f)) continue;
        const auto name = dataTypeNameIndex(f.dataType, f.sampleType);
        if (!name) continue;
        FileBlock block;
        block.listed = {*name, f.extendType == codes::extend3D, f.derivType};
        block.codes = requestCodes(block.listed);
        block.entry = i;
        byRequest[block.listed.kind()].push_back(blocks.size());
        blocks.push_back(block);
    }
    for (const auto& [kind, members] : byRequest) {
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
    }
    return blocks;
}

}  // namespace lumira
