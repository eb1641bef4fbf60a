// The part of a whole-file read that needs no Python: the magic test, the
// directory, which data blocks to read and the parameter blocks they use,
// each parsed once however many blocks share it. Batch workers plan files
// on native threads with it; the fuzz targets check it.
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "container/directory.hpp"
#include "container/listing.hpp"
#include "extract/file_blocks.hpp"
#include "extract/parameter_groups.hpp"
#include "extract/parameters.hpp"
#include "extract/text_encoding.hpp"

namespace lumira {

// Which blocks to read.
struct BlockChoice {
    struct Pattern {  // parts of a block; empty parts match anything
        std::optional<std::size_t> nameIndex;
        std::optional<bool> threeD;
        std::optional<int> derivType;
        bool impossible = false;  // names a part no block can have
        bool match = false;       // names the match blocks (nameIndex empty then)
        int channel = 1;

        // Whether the pattern names blocks the listing holds (a named type on the first channel).
        bool reachesListing() const noexcept { return !match && channel == 1; }
        bool matches(const ListedBlock& listed) const noexcept;
        bool matches(const FileBlock& block) const noexcept;
    };

    enum class Kind { All, Index, Request, FirstMatch } kind = Kind::All;
    std::size_t index = 0;          // Kind::Index: a place in the file's blocks
    RequestCodes request{};         // Kind::Request
    std::vector<Pattern> patterns;  // Kind::FirstMatch: the first pattern any listed block matches wins
};

// One parameter block, parsed once; its records lie in its plan's `records`.
struct ParsedParameters {
    std::size_t first = 0;  // its records: FilePlan::records[first, first + count)
    std::size_t count = 0;
    ShortReads shortReads;
    std::exception_ptr failure;
};

// How far the file's header, directory and listed blocks reach, beside its
// size: a file cut short (an interrupted copy) ends before its directory does.
struct FileExtent {
    std::uint64_t size = 0;
    std::int64_t reach = 0;                     // the end of the furthest of them
    std::optional<std::int64_t> beforeStart;    // an offset that points before the file's first byte

    // The file ends before what its directory describes, beyond the padding
    // of a last block to a whole word.
    bool cutShort() const noexcept;
};

// What is read without the interpreter lock before any object is built.
struct FilePlan {
    MagicTest magic;
    Directory directory;
    ShortReads directoryShortReads;
    FileExtent extent;
    std::vector<ListedBlock> listing;
    std::vector<FileBlock> blocks;
    std::vector<std::size_t> chosen;             // indices into blocks, in directory order
    std::optional<RequestCodes> missing;         // a chosen request that no data block answers
    std::optional<ListedBlock> missingListed;    // ... when it came from the listing
    std::optional<std::size_t> missingBlock;     // ... when it came from a block no request reaches
    ParameterGroups groups;                      // every parameter block, and which describe each data block
    TextEncoding encoding = TextEncoding::Cp1252;  // of every text of the file, as its sample-origin CPG says
    std::unordered_map<std::int64_t, ParsedParameters> parameters;  // by block offset
    Parameters records;  // of every parameter block parsed, block after block (one allocation for all)

    // Parameter blocks that no chosen block merges (the blocks its groups and
    // the file's list of parameter blocks add) are parsed when first asked
    // for: their bytes are kept up to their END record, so that parsing them
    // then reads what parsing them now would.
    struct DeferredBlock {
        std::int64_t offset;
        std::size_t first;  // its bytes: deferredBytes[first, first + size)
        std::size_t size;
    };
    std::vector<DeferredBlock> deferred;  // by offset
    std::vector<std::uint8_t> deferredBytes;

    std::span<const Parameter> recordsOf(const ParsedParameters& parsed) const {
        return std::span<const Parameter>(records).subspan(parsed.first, parsed.count);
    }

    // The block at `offset` as parsed (a deferred one parsed now: spans of
    // recordsOf taken before may no longer be valid); nothing for a block
    // that was not read.
    const ParsedParameters* parsedAt(std::int64_t offset);
};

// Tests the magic and, for an OPUS file, reads the directory, chooses the
// blocks and parses every parameter block they use (their merged parameters
// and their groups; every parameter block of the file when all blocks are
// chosen) and the sample-origin block that names the file's code page.
FilePlan planFile(ByteSource& source, const BlockChoice& choice);

}  // namespace lumira
