#include "extract/file_plan.hpp"

#include <algorithm>

namespace lumira {

bool BlockChoice::Pattern::matches(const ListedBlock& listed) const noexcept {
    return !impossible && (!nameIndex || *nameIndex == listed.nameIndex) && (!threeD || *threeD == listed.threeD) &&
           (!derivType || *derivType == listed.derivType);
}

namespace {

// The block a request reads: the last data block that answers it.
std::optional<std::size_t> answering(const FilePlan& plan, const RequestCodes& codes) {
    for (std::size_t i = 0; i < plan.blocks.size(); ++i) {
        const FileBlock& block = plan.blocks[i];
        const RequestCodes& own = block.codes;
        if (!block.shadowed && own.dataType == codes.dataType && own.sampleType == codes.sampleType &&
            own.derivType == codes.derivType && own.extendType == codes.extendType)
            return i;
    }
    return std::nullopt;
}

void choose(FilePlan& plan, const BlockChoice& selection) {
    if (selection.kind == BlockChoice::Kind::All) {
        for (std::size_t i = 0; i < plan.blocks.size(); ++i) plan.chosen.push_back(i);
        return;
    }
    if (selection.kind == BlockChoice::Kind::Index) {
        if (selection.index < plan.blocks.size()) plan.chosen.push_back(selection.index);
        return;  // none: the caller says what the file holds
    }
    std::optional<RequestCodes> wanted;
    if (selection.kind == BlockChoice::Kind::Request) {
        wanted = selection.request;
    } else {
        for (const auto& pattern : selection.patterns) {
            const auto listed = std::find_if(plan.listing.begin(), plan.listing.end(),
                                             [&](const ListedBlock& block) { return pattern.matches(block); });
            if (listed == plan.listing.end()) continue;
            wanted = requestCodes(*listed);
            plan.missingListed = *listed;
            break;
        }
        if (!wanted) return;  // nothing listed matches: the caller says what the file holds
    }
    const auto index = answering(plan, *wanted);
    if (index && plan.blocks[*index].located.foundDataBlock()) {
        plan.chosen.push_back(*index);
        plan.missingListed.reset();
    } else {
        plan.missing = wanted;
    }
}

void parseParameters(Cursor& cursor, FilePlan& plan) {
    for (std::size_t index : plan.chosen) {
        const LocatedBlocks& located = plan.blocks[index].located;
        for (std::int64_t offset : {located.offsetToParams, located.offsetToAcqParams, located.offsetToInstParams,
                                    located.offsetToSampleParams, located.offsetToFTParams}) {
            if (offset == LocatedBlocks::absent || plan.parameters.contains(offset)) continue;
            ParsedParameters& parsed = plan.parameters[offset];
            Cursor reader(cursor.source(), parsed.shortReads);
            try {
                readParameterBlock(reader, offset, parsed.records);
            } catch (...) {
                parsed.failure = std::current_exception();
            }
        }
    }
}

}  // namespace

FilePlan planFile(ByteSource& source, const BlockChoice& selection) {
    FilePlan plan;
    plan.magic = testMagic(source);
    if (!plan.magic.isOpus) return plan;
    Cursor cursor(source, plan.directoryShortReads);
    plan.directory = readDirectory(cursor);
    plan.listing = listBlocks(plan.directory);
    plan.blocks = fileBlocks(plan.directory);
    choose(plan, selection);
    parseParameters(cursor, plan);
    return plan;
}

}  // namespace lumira
