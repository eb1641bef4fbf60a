#include "extract/file_plan.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#include "core/checked.hpp"

namespace lumira {

bool BlockChoice::Pattern::matches(const ListedBlock& listed) const noexcept {
    return reachesListing() && !impossible && (!nameIndex || *nameIndex == listed.nameIndex) &&
           (!threeD || *threeD == listed.threeD) && (!derivType || *derivType == listed.derivType);
}

bool BlockChoice::Pattern::matches(const FileBlock& block) const noexcept {
    if (impossible || block.channel != channel) return false;
    const bool named = match ? block.typeName == matchName
                             : !nameIndex || block.typeName == dataTypeNames[*nameIndex].name;
    return named && (!threeD || *threeD == block.threeD) && (!derivType || *derivType == block.derivType);
}

bool FileExtent::cutShort() const noexcept {
    const std::uint64_t padded = size + (-size & 3u);
    return reach > 0 && static_cast<std::uint64_t>(reach) > padded;
}

namespace {

std::int32_t int32At(std::span<const std::uint8_t> raw) {
    return static_cast<std::int32_t>(std::uint32_t{raw[0]} | std::uint32_t{raw[1]} << 8 |
                                     std::uint32_t{raw[2]} << 16 | std::uint32_t{raw[3]} << 24);
}

// The entries that reading the file's blocks needs whole: its data blocks,
// parameter blocks and directory. The history, table containers, images and
// every other entry are read on access, where their own damage is said: a
// cut through them loses no data block.
std::vector<bool> neededWhole(const Directory& directory, const std::vector<FileBlock>& blocks) {
    std::vector<bool> needed(directory.size());
    for (std::size_t i = 0; i < directory.size(); ++i) {
        const BlockTypeFields& codes = directory[i].btt;
        needed[i] = codes.paramType != 0 || codes.extendType == 1 || codes.extendType == 64 ||  // info, extension
                    (codes.dataType == 13 && codes.extendType == 0);                             // the directory
    }
    for (const FileBlock& block : blocks)
        if (block.entry < needed.size()) needed[block.entry] = true;
    return needed;
}

// The header's directory offset and entry count, read apart from the
// directory reader (whose cut-off fields are its own to report).
FileExtent extentOf(ByteSource& source, const Directory& directory, const std::vector<FileBlock>& blocks) {
    constexpr std::int64_t headerSize = 24;
    FileExtent extent;
    extent.size = source.size();
    extent.reach = headerSize;
    const auto note = [&](std::int64_t offset, std::int64_t bytes) {
        if (offset < 0) {
            if (!extent.beforeStart) extent.beforeStart = offset;
            return;
        }
        const auto end = tryAdd(offset, std::max<std::int64_t>(bytes, 0));
        extent.reach = std::max(extent.reach, end.value_or(INT64_MAX));
    };
    std::array<std::uint8_t, 12> fields{};
    if (source.readAt(12, fields) == fields.size()) {
        const std::int32_t offsetToDirectory = int32At(std::span(fields).first(4));
        const std::int32_t entries = int32At(std::span(fields).last(4));
        note(offsetToDirectory, std::int64_t{12} * std::max(entries, 0));
    }
    const std::vector<bool> needed = neededWhole(directory, blocks);
    for (std::size_t i = 0; i < directory.size(); ++i)
        if (needed[i]) note(directory[i].byteOffset, tryMul(directory[i].sizeInWords, 4).value_or(INT64_MAX));
    return extent;
}

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

// The codes of the first block a pattern names: by the listing for the
// blocks it holds, by the blocks themselves for the others.
std::optional<RequestCodes> firstMatch(FilePlan& plan, const BlockChoice::Pattern& pattern) {
    if (pattern.reachesListing()) {
        const auto listed = std::find_if(plan.listing.begin(), plan.listing.end(),
                                         [&](const ListedBlock& block) { return pattern.matches(block); });
        if (listed == plan.listing.end()) return std::nullopt;
        plan.missingListed = *listed;
        return requestCodes(*listed);
    }
    const auto found = std::find_if(plan.blocks.begin(), plan.blocks.end(),
                                    [&](const FileBlock& block) { return pattern.matches(block); });
    if (found == plan.blocks.end()) return std::nullopt;
    plan.missingBlock = static_cast<std::size_t>(found - plan.blocks.begin());
    return found->codes;
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
        for (const auto& pattern : selection.patterns)
            if ((wanted = firstMatch(plan, pattern))) break;
        if (!wanted) return;  // nothing matches: the caller says what the file holds
    }
    const auto index = answering(plan, *wanted);
    if (index && plan.blocks[*index].located.foundDataBlock()) {
        plan.chosen.push_back(*index);
        plan.missingListed.reset();
        plan.missingBlock.reset();
    } else {
        plan.missing = wanted;
    }
}

// The bytes a deferred block kept, where they lay in the file.
class KeptBytes final : public ByteSource {
public:
    KeptBytes(std::span<const std::uint8_t> bytes, std::uint64_t start) noexcept : bytes_(bytes), start_(start) {
        size_ = start + bytes.size();
    }

    std::size_t readAt(std::uint64_t offset, std::span<std::uint8_t> out) override {
        const auto held = cachedFrom(offset);
        const std::size_t count = std::min(out.size(), held.size());
        if (count != 0) std::memcpy(out.data(), held.data(), count);
        return count;
    }

    std::span<const std::uint8_t> cachedFrom(std::uint64_t offset) override {
        if (offset < start_ || offset >= size_) return {};
        return bytes_.subspan(static_cast<std::size_t>(offset - start_));
    }

    std::unique_ptr<ByteSource> sibling() const override { return std::make_unique<KeptBytes>(bytes_, start_); }

private:
    std::span<const std::uint8_t> bytes_;
    std::uint64_t start_;
};

void parseInto(FilePlan& plan, ParsedParameters& parsed, ByteSource& source, std::int64_t offset,
               std::size_t recordLimit) {
    Cursor reader(source, parsed.shortReads);
    parsed.first = plan.records.size();
    try {
        readParameterBlock(reader, offset, plan.records, recordLimit);
    } catch (...) {
        parsed.failure = std::current_exception();
    }
    parsed.count = plan.records.size() - parsed.first;
}

// Parses the parameter blocks at `offset`s not parsed yet into the plan's
// records, or keeps their bytes for later, the records parsed and walked
// bounded in all by what the file could hold twice over, the bytes kept by
// the file's size.
class Parser {
public:
    Parser(ByteSource& source, FilePlan& plan)
        : source_(source), plan_(plan), budget_(source.size() / smallestRecord * 2 + 4096),
          keepable_(source.size() + 65536) {}

    const ParsedParameters* parse(std::int64_t offset) {
        if (offset == LocatedBlocks::absent) return nullptr;
        auto [place, fresh] = plan_.parameters.try_emplace(offset);
        ParsedParameters& parsed = place->second;
        if (!fresh) return &parsed;
        parseInto(plan_, parsed, source_, offset, left());
        used_ += parsed.count;
        return &parsed;
    }

    // Keeps the block's bytes to parse it when asked for; parses it now where
    // walking it cannot tell what parsing would give.
    void defer(std::int64_t offset) {
        if (offset == LocatedBlocks::absent || plan_.parameters.contains(offset) || deferred(offset)) return;
        const auto end = skimParameterBlock(source_, offset, left());
        const std::uint64_t size = end ? *end - static_cast<std::uint64_t>(offset) : 0;
        if (!end || size > keepable_ - std::min(keepable_, plan_.deferredBytes.size())) {
            parse(offset);
            return;
        }
        const std::size_t first = plan_.deferredBytes.size();
        plan_.deferredBytes.resize(first + size);
        source_.readAt(static_cast<std::uint64_t>(offset), std::span(plan_.deferredBytes).subspan(first));
        plan_.deferred.push_back({offset, first, static_cast<std::size_t>(size)});
        deferredOffsets_.push_back(offset);
        used_ += size / smallestRecord + 1;  // the records walked
    }

    void finish() {
        std::sort(plan_.deferred.begin(), plan_.deferred.end(),
                  [](const auto& a, const auto& b) { return a.offset < b.offset; });
    }

private:
    static constexpr std::uint64_t smallestRecord = 8;  // a name of four bytes, a type and a size

    std::size_t left() const noexcept { return budget_ - std::min(budget_, used_); }

    bool deferred(std::int64_t offset) {
        // Blocks are deferred in directory order, a file's blocks at distinct offsets: the last few suffice
        // for the repeats a directory holds, and a miss only costs a walk.
        const std::size_t recent = std::min<std::size_t>(deferredOffsets_.size(), 8);
        return std::find(deferredOffsets_.end() - static_cast<std::ptrdiff_t>(recent), deferredOffsets_.end(),
                         offset) != deferredOffsets_.end();
    }

    ByteSource& source_;
    FilePlan& plan_;
    std::size_t budget_;
    std::size_t keepable_;
    std::size_t used_ = 0;
    std::vector<std::int64_t> deferredOffsets_;
};

// The blocks the chosen blocks merge are parsed now (their dictionaries are
// made with the blocks); the others their groups name, and with every block
// chosen all others, when first asked for.
void parseParameters(ByteSource& source, FilePlan& plan, bool everyBlock) {
    // Room for the records the directory's parameter blocks can hold (a record
    // takes twelve bytes or more), within reason: growing the vector block
    // after block moves every record again.
    std::uint64_t room = 0;
    for (const DirectoryEntry& entry : plan.directory)
        if (isParameterBlock(entry.btt) && entry.sizeInWords > 0)
            room += std::min<std::uint64_t>(static_cast<std::uint64_t>(entry.sizeInWords), source.size()) / 3 + 1;
    plan.records.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(room, 4096)));
    Parser parser(source, plan);
    std::int64_t origin = LocatedBlocks::absent;  // the block a request merges as the sample origin
    for (const DirectoryEntry& entry : plan.directory)
        if (entry.btt.paramType == codes::sampleParameters) origin = entry.byteOffset;
    if (const ParsedParameters* parsed = parser.parse(origin); parsed && !parsed->failure)
        plan.encoding = textEncodingOf(plan.recordsOf(*parsed));

    for (std::size_t index : plan.chosen) {
        const LocatedBlocks& located = plan.blocks[index].located;
        for (std::int64_t offset : {located.offsetToParams, located.offsetToAcqParams, located.offsetToInstParams,
                                    located.offsetToSampleParams, located.offsetToFTParams})
            parser.parse(offset);
    }
    if (everyBlock) {
        for (const DirectoryEntry& entry : plan.directory)
            if (isParameterBlock(entry.btt)) parser.defer(entry.byteOffset);
    } else {
        for (std::size_t index : plan.chosen)
            for (const GroupMember& member : plan.groups.groupOf(plan.blocks[index], plan.directory))
                parser.defer(member.offset);
    }
    parser.finish();
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
    plan.extent = extentOf(source, plan.directory, plan.blocks);
    plan.groups = ParameterGroups(plan.directory, plan.blocks);
    choose(plan, selection);
    parseParameters(source, plan, selection.kind == BlockChoice::Kind::All);
    return plan;
}

const ParsedParameters* FilePlan::parsedAt(std::int64_t offset) {
    if (const auto parsed = parameters.find(offset); parsed != parameters.end()) return &parsed->second;
    const auto kept = std::lower_bound(deferred.begin(), deferred.end(), offset,
                                       [](const DeferredBlock& block, std::int64_t at) { return block.offset < at; });
    if (kept == deferred.end() || kept->offset != offset) return nullptr;
    const auto held = std::span<const std::uint8_t>(deferredBytes).subspan(kept->first, kept->size);
    KeptBytes bytes(held, static_cast<std::uint64_t>(offset));
    ParsedParameters& parsed = parameters[offset];
    parseInto(*this, parsed, bytes, offset, std::numeric_limits<std::size_t>::max());
    return &parsed;
}

}  // namespace lumira
