// The whole-file plan: a file's data blocks (shadowed ones paired with
// parameter blocks of their own) and the blocks chosen for every kind of
// choice: all of them, each place and the one past the last, each request
// the listing names and a fixed set, and patterns made from the listing.
//
// Invariants: chosen places are in range and answer the choice; every
// block's offsets are entries of the directory; a block is shadowed exactly
// when a later one answers its request, and one that is not locates what a
// request for it locates; only the blocks a request can name are listed;
// twins are marked in pairs, the bit-30 member as before compensation; a
// block's groups are parameter blocks of its own side, one per kind, in
// order; parameter blocks are parsed for the chosen blocks (and all of them
// when all are chosen) and the code page alone, their records bounded in all,
// and nothing grows beyond what the file holds.
#include <algorithm>
#include <bitset>
#include <cstring>

#include "container/directory.hpp"
#include "extract/file_plan.hpp"
#include "extract/parameter_groups.hpp"
#include "fuzz_input.hpp"

using namespace lumira;

namespace {

// Requests worth making of any file, listed or not.
constexpr RequestCodes fixedRequests[] = {
    {4, codes::anySample, 0, codes::extendPlain},  // AB 2D NONE
    {1, 1, 0, codes::extendPlain},                 // SSC 2D NONE
    {4, codes::anySample, 0, codes::extend3D},     // AB 3D NONE
    {7, codes::anySample, 0, codes::extend3D},     // TRC 3D NONE
};

// Places tried besides the one past the last block.
constexpr std::size_t placesTried = 8;
// Smallest parameter record: a name of four bytes, a type and a size.
constexpr std::uint64_t smallestRecord = 8;

bool sameRequest(const RequestCodes& a, const RequestCodes& b) {
    return a.dataType == b.dataType && a.sampleType == b.sampleType && a.derivType == b.derivType &&
           a.extendType == b.extendType;
}

bool sameLocation(const LocatedBlocks& a, const LocatedBlocks& b, bool ownBlocks) {
    const bool companions =
        a.offsetToOriginalParams == b.offsetToOriginalParams && a.offsetToAcqParams == b.offsetToAcqParams &&
        a.offsetToInstParams == b.offsetToInstParams && a.offsetToSampleParams == b.offsetToSampleParams &&
        a.offsetToFTParams == b.offsetToFTParams && a.offsetToANNO == b.offsetToANNO;
    return companions && (!ownBlocks || (a.offsetToData == b.offsetToData && a.offsetToParams == b.offsetToParams));
}

// Whether the entry is a block of `paramType` that a request with `codes` finds.
bool answers(const DirectoryEntry& entry, const RequestCodes& codes, int paramType) {
    const BlockTypeFields& f = entry.btt;
    return f.paramType == paramType && f.dataType == codes.dataType && f.derivType == codes.derivType &&
           f.extendType == codes.extendType &&
           (codes.sampleType == codes::anySample || f.sampleType == codes.sampleType);
}

bool inDirectory(const Directory& directory, std::int64_t offset) {
    return offset == LocatedBlocks::absent ||
           std::any_of(directory.begin(), directory.end(),
                       [&](const DirectoryEntry& entry) { return entry.byteOffset == offset; });
}

void checkTwin(const Directory& directory, const std::vector<FileBlock>& blocks, const FileBlock& block);

void checkBlocks(const Directory& directory, const std::vector<FileBlock>& blocks) {
    fuzz::require(blocks.size() <= directory.size(), "more blocks than directory entries");
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        const FileBlock& block = blocks[i];
        fuzz::require(block.entry < directory.size(), "a block outside the directory");
        fuzz::require(i == 0 || blocks[i - 1].entry < block.entry, "blocks out of directory order");
        const DirectoryEntry& entry = directory[block.entry];
        fuzz::require(block.channel >= 1 && block.channel <= 4 && !block.typeName.empty(), "a block without a name");
        fuzz::require(block.listed.has_value() == (block.channel == 1 && block.typeName != matchName),
                      "listed is not 'a named type on the first channel'");
        if (block.listed)
            fuzz::require(sameRequest(block.codes, requestCodes(*block.listed)), "a block's request is not its name's");
        fuzz::require(answers(entry, block.codes, codes::dataBlock), "a block its own request does not find");
        fuzz::require(block.located.offsetToData == entry.byteOffset, "a block's data is not its entry's");
        const LocatedBlocks& at = block.located;
        for (std::int64_t offset : {at.offsetToParams, at.offsetToOriginalParams, at.offsetToAcqParams,
                                    at.offsetToInstParams, at.offsetToSampleParams, at.offsetToFTParams,
                                    at.offsetToANNO})
            fuzz::require(inDirectory(directory, offset), "an offset that is no directory entry's");
        if (at.offsetToParams != LocatedBlocks::absent) {
            fuzz::require(std::any_of(directory.begin(), directory.end(),
                                      [&](const DirectoryEntry& candidate) {
                                          return candidate.byteOffset == at.offsetToParams &&
                                                 answers(candidate, block.codes, codes::dataParameters);
                                      }),
                          "paired with a parameter block of another request");
        }
        const bool answeredLater = std::any_of(blocks.begin() + static_cast<std::ptrdiff_t>(i) + 1, blocks.end(),
                                               [&](const FileBlock& later) {
                                                   return sameRequest(later.codes, block.codes);
                                               });
        fuzz::require(block.shadowed == answeredLater, "shadowed is not 'a later block answers the request'");
        // The block a request reads is located as the request locates it; the
        // others share its companion blocks.
        fuzz::require(sameLocation(at, locateBlocks(directory, block.codes), !block.shadowed),
                      "located otherwise than a request locates it");
        checkTwin(directory, blocks, block);
    }
}

// A twin has exactly one other block of its six codes, marked the other way,
// and the member with bit 30 is the one before compensation.
void checkTwin(const Directory& directory, const std::vector<FileBlock>& blocks, const FileBlock& block) {
    if (!block.compensated) return;
    const auto sixCodes = [&](const FileBlock& of) { return directory[of.entry].word & 0x3FFFFFF; };
    std::size_t alike = 0;
    for (const FileBlock& other : blocks) {
        if (&other == &block || sixCodes(other) != sixCodes(block)) continue;
        ++alike;
        fuzz::require(other.compensated && *other.compensated != *block.compensated, "a twin without its pair");
    }
    fuzz::require(alike == 1, "a twin among more than two alike blocks");
    fuzz::require(*block.compensated == ((directory[block.entry].word & earlyTwinBit) == 0),
                  "the bit-30 twin taken for the compensated one");
}

// A block's groups: kinds in order (data first, info last), each a parameter
// block of that kind on the block's side, or of the sample's side where the
// kind describes the sample or the file holds one measurement.
void checkGroups(const FilePlan& plan, const FileBlock& block) {
    const Group group = plan.groups.groupOf(block, plan.directory);
    fuzz::require(group.size() <= 64, "more groups than kinds");
    int previous = 0;
    bool info = false;
    for (const GroupMember& member : group) {
        fuzz::require(!info, "a kind after the info block");
        const auto entry = std::find_if(plan.directory.begin(), plan.directory.end(),
                                        [&](const DirectoryEntry& e) { return e.byteOffset == member.offset; });
        fuzz::require(entry != plan.directory.end(), "a group that is no directory entry's");
        if (member.key == infoKey) {
            info = true;
            continue;
        }
        fuzz::require(member.key > previous, "kinds out of order or twice");
        previous = member.key;
        if (member.key == codes::dataParameters) {
            fuzz::require(member.offset == block.located.offsetToParams, "data of another block");
            continue;
        }
        const bool sameKind = std::any_of(plan.directory.begin(), plan.directory.end(), [&](const DirectoryEntry& e) {
            return e.byteOffset == member.offset && e.btt.paramType == member.key &&
                   (e.btt.sampleType == 0 || e.btt.sampleType == 2);
        });
        fuzz::require(sameKind, "a group of another kind");
    }
}

bool sameRecords(std::span<const Parameter> a, std::span<const Parameter> b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const Parameter& x, const Parameter& y) {
        if (x.name != y.name || x.value.index() != y.value.index()) return false;
        if (const auto* text = std::get_if<ParameterText>(&x.value))
            return text->bytes == std::get<ParameterText>(y.value).bytes;
        if (const auto* integer = std::get_if<std::int32_t>(&x.value)) return *integer == std::get<std::int32_t>(y.value);
        const double first = std::get<double>(x.value);
        const double second = std::get<double>(y.value);
        return std::memcmp(&first, &second, sizeof first) == 0;
    });
}

// A block kept for later parses to what parsing it from the file gives.
void checkDeferred(const FilePlan& plan, ByteSource& source) {
    FilePlan later = plan;
    std::size_t checked = 0;
    for (const FilePlan::DeferredBlock& kept : plan.deferred) {
        if (++checked > 64) break;
        const ParsedParameters* lazy = later.parsedAt(kept.offset);
        fuzz::require(lazy != nullptr, "a block kept for later that cannot be parsed");
        Parameters eager;
        ShortReads shortReads;
        Cursor cursor(source, shortReads);
        bool failed = false;
        try {
            readParameterBlock(cursor, kept.offset, eager);
        } catch (...) {
            failed = true;
        }
        fuzz::require(failed == static_cast<bool>(lazy->failure) && shortReads.size() == lazy->shortReads.size(),
                      "a block parsed later fails otherwise than parsed from the file");
        fuzz::require(sameRecords(later.recordsOf(*lazy), eager), "a block parsed later reads other records");
    }
}

// The parameter blocks the chosen blocks merge are parsed, the others of
// their groups (every one when all blocks are chosen) parsed or kept for
// later, the one that names the code page parsed, and no others; their
// records are bounded in all.
void checkParsed(const FilePlan& plan, std::uint64_t fileSize, bool all) {
    std::vector<std::int64_t> used;
    for (std::size_t index : plan.chosen) {
        const LocatedBlocks& at = plan.blocks[index].located;
        for (std::int64_t offset : {at.offsetToParams, at.offsetToAcqParams, at.offsetToInstParams,
                                    at.offsetToSampleParams, at.offsetToFTParams}) {
            fuzz::require(offset == LocatedBlocks::absent || plan.parameters.contains(offset),
                          "a chosen block's parameter block not parsed");
            used.push_back(offset);
        }
        if (used.size() < 16 * 70) checkGroups(plan, plan.blocks[index]);  // the first blocks' suffice
        for (const GroupMember& member : plan.groups.groupOf(plan.blocks[index], plan.directory)) {
            const bool kept = std::any_of(plan.deferred.begin(), plan.deferred.end(),
                                          [&](const auto& block) { return block.offset == member.offset; });
            fuzz::require(plan.parameters.contains(member.offset) || kept, "a chosen block's group not read");
            used.push_back(member.offset);
        }
    }
    for (const DirectoryEntry& entry : plan.directory)
        if (entry.btt.paramType == codes::sampleParameters || (all && isParameterBlock(entry.btt)))
            used.push_back(entry.byteOffset);
    std::sort(used.begin(), used.end());
    std::uint64_t records = 0;
    for (const auto& [offset, parsed] : plan.parameters) {
        fuzz::require(std::binary_search(used.begin(), used.end(), offset),
                      "a parameter block parsed that no chosen block uses");
        records += parsed.count;
        fuzz::require(parsed.first + parsed.count <= plan.records.size(), "records outside the plan's");
        if (parsed.failure) fuzz::handled([&] { std::rethrow_exception(parsed.failure); });
    }
    fuzz::require(records <= fileSize / smallestRecord * 2 + 4096, "more records in all than the file can hold");
    fuzz::require(plan.deferredBytes.size() <= fileSize + 65536, "more bytes kept than the file holds");
    for (const FilePlan::DeferredBlock& kept : plan.deferred) {
        fuzz::require(std::binary_search(used.begin(), used.end(), kept.offset), "a block kept that no one uses");
        fuzz::require(kept.first + kept.size <= plan.deferredBytes.size(), "kept bytes outside the plan's");
    }
    const auto blocks = parameterBlocks(plan.directory, plan.blocks, plan.groups);
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        fuzz::require(i == 0 || blocks[i - 1].entry < blocks[i].entry, "parameter blocks out of directory order");
        fuzz::require(isParameterBlock(plan.directory[blocks[i].entry].btt), "a parameter block that is none");
    }
}

// Checks what the plan chose for `choice` and parsed for its blocks.
void checkPlan(const FilePlan& plan, const BlockChoice& choice, std::uint64_t fileSize) {
    if (plan.magic.isOpus) {
        // What a file cut short is measured by: its size, and the furthest its header, directory, data blocks
        // and parameter blocks reach (other entries are read on access and say their own damage).
        fuzz::require(plan.extent.size == fileSize, "the extent's size is not the file's");
        fuzz::require(plan.extent.reach >= 24, "the extent reaches less than the header");
        fuzz::require(!plan.extent.beforeStart || *plan.extent.beforeStart < 0, "an offset before the file is not");
        for (const FileBlock& block : plan.blocks) {
            const DirectoryEntry& entry = plan.directory[block.entry];
            fuzz::require(entry.byteOffset < 0 || entry.byteOffset <= plan.extent.reach,
                          "a data block begins past the extent's reach");
        }
        for (const DirectoryEntry& entry : plan.directory)
            fuzz::require(entry.btt.paramType == 0 || entry.byteOffset < 0 || entry.byteOffset <= plan.extent.reach,
                          "a parameter block begins past the extent's reach");
    }
    for (std::size_t index : plan.chosen) fuzz::require(index < plan.blocks.size(), "a chosen place out of range");
    fuzz::require(std::is_sorted(plan.chosen.begin(), plan.chosen.end()), "chosen out of directory order");
    fuzz::require(!(plan.missing && !plan.chosen.empty()), "a block chosen for a request reported missing");

    std::optional<RequestCodes> wanted;
    switch (choice.kind) {
        case BlockChoice::Kind::All:
            fuzz::require(plan.chosen.size() == plan.blocks.size(), "not every block chosen");
            return checkParsed(plan, fileSize, true);
        case BlockChoice::Kind::Index:
            fuzz::require(plan.chosen == (choice.index < plan.blocks.size() ? std::vector{choice.index}
                                                                            : std::vector<std::size_t>{}),
                          "a place chose another block");
            return checkParsed(plan, fileSize, false);
        case BlockChoice::Kind::Request:
            wanted = choice.request;
            break;
        case BlockChoice::Kind::FirstMatch:
            for (const BlockChoice::Pattern& pattern : choice.patterns) {
                if (!pattern.reachesListing()) {
                    const auto found = std::find_if(plan.blocks.begin(), plan.blocks.end(),
                                                    [&](const FileBlock& block) { return pattern.matches(block); });
                    if (found == plan.blocks.end()) continue;
                    wanted = found->codes;
                    break;
                }
                const auto listed = std::find_if(plan.listing.begin(), plan.listing.end(),
                                                 [&](const ListedBlock& block) { return pattern.matches(block); });
                if (listed != plan.listing.end()) {
                    wanted = requestCodes(*listed);
                    break;
                }
            }
            break;
    }
    if (!wanted) {
        fuzz::require(plan.chosen.empty() && !plan.missing, "a block chosen though no pattern matches");
    } else if (plan.chosen.empty()) {
        fuzz::require(plan.missing && sameRequest(*plan.missing, *wanted), "a request neither answered nor missing");
        const bool answerable = std::any_of(plan.blocks.begin(), plan.blocks.end(), [&](const FileBlock& block) {
            return !block.shadowed && sameRequest(block.codes, *wanted) && block.located.foundDataBlock();
        });
        fuzz::require(!answerable, "a request reported missing that a block answers");
    } else {
        fuzz::require(plan.chosen.size() == 1, "a request chose several blocks");
        const FileBlock& block = plan.blocks[plan.chosen.front()];
        fuzz::require(!block.shadowed && sameRequest(block.codes, *wanted) && block.located.foundDataBlock(),
                      "a request chose a block that does not answer it");
    }
    checkParsed(plan, fileSize, false);
}

// Every kind of choice the package makes, over the file as the directory tells it.
std::vector<BlockChoice> choicesFor(const Directory& directory) {
    std::vector<BlockChoice> choices(1);  // all blocks
    const std::size_t blocks = fileBlocks(directory).size();
    for (std::size_t place = 0; place <= std::min(blocks, placesTried); ++place) {
        BlockChoice& choice = choices.emplace_back();
        choice.kind = BlockChoice::Kind::Index;
        choice.index = place == std::min(blocks, placesTried) ? blocks : place;
    }
    std::vector<RequestCodes> requests(std::begin(fixedRequests), std::end(fixedRequests));
    std::bitset<listedBlockKinds> seen;
    BlockChoice byName;
    byName.kind = BlockChoice::Kind::FirstMatch;
    for (const ListedBlock& listed : listBlocks(directory)) {
        if (seen.test(listed.kind())) continue;
        seen.set(listed.kind());
        if (requests.size() < std::size(fixedRequests) + placesTried) requests.push_back(requestCodes(listed));
        byName.patterns.push_back({listed.nameIndex, std::nullopt, std::nullopt});
    }
    for (const RequestCodes& request : requests) {
        BlockChoice& choice = choices.emplace_back();
        choice.kind = BlockChoice::Kind::Request;
        choice.request = request;
    }
    // By name in the listing's order, the first 3D block, a pattern no block
    // can match before one every block matches, and nothing at all.
    BlockChoice impossibleFirst;
    impossibleFirst.kind = BlockChoice::Kind::FirstMatch;
    impossibleFirst.patterns = {{std::nullopt, std::nullopt, std::nullopt, true}, {}};
    BlockChoice threeD;
    threeD.kind = BlockChoice::Kind::FirstMatch;
    threeD.patterns = {{std::nullopt, true, std::nullopt}};
    BlockChoice none;
    none.kind = BlockChoice::Kind::FirstMatch;
    // Blocks no request reaches: match blocks, and the second channel of any type.
    BlockChoice match;
    match.kind = BlockChoice::Kind::FirstMatch;
    match.patterns.push_back({});
    match.patterns.back().match = true;
    BlockChoice secondChannel;
    secondChannel.kind = BlockChoice::Kind::FirstMatch;
    secondChannel.patterns.push_back({});
    secondChannel.patterns.back().channel = 2;
    choices.insert(choices.end(), {byName, impossibleFirst, threeD, none, match, secondChannel});
    return choices;
}

void plan(ByteSource& source, std::size_t) {
    std::vector<BlockChoice> choices;
    fuzz::handled([&] {
        const FilePlan all = planFile(source, BlockChoice{});
        if (!all.magic.isOpus) return;
        fuzz::require(all.directory.size() <= source.size(), "more directory entries than the file has bytes");
        checkBlocks(all.directory, all.blocks);
        checkDeferred(all, source);
        choices = choicesFor(all.directory);
    });
    for (const BlockChoice& choice : choices)
        fuzz::handled([&] { checkPlan(planFile(source, choice), choice, source.size()); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::readWholeAndShrunk(data, size, plan);
    return 0;
}
