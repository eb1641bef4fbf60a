// Every data block of a file, each with the blocks a request for it finds.
//
// A file may hold several data blocks that answer one request (instrument
// software writes an absorbance before and after a correction under one type
// word); a request finds the last of them. The others are "shadowed": each
// pairs with a data parameter block of its own, counted from the last, so
// the last data block pairs with the last parameter block as a request does
// (files lay them out as data block k with parameter block k).
//
// Besides the blocks of the named types, files hold blocks no request can
// name: match blocks (dataType 22) and the blocks of a second to fourth
// detector channel, whose dataType is the first channel's plus 32 for each
// channel after the first. They pair with their parameter blocks the same way.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "container/listing.hpp"
#include "extract/request.hpp"

namespace lumira {

inline constexpr int matchDataType = 22;
inline constexpr int channelStride = 32;  // dataType step from one detector channel to the next
inline constexpr std::string_view matchName = "MATCH";

struct FileBlock {
    std::string_view typeName;          // "AB", "MATCH"
    int channel = 1;                    // detector channel, 1 to 4
    bool threeD = false;
    int derivType = 0;
    std::optional<ListedBlock> listed;  // a block a request reaches: its name in the listing
    RequestCodes codes{};               // what its type word holds (for a listed block, its request's codes)
    LocatedBlocks located;              // its data, its own parameters and the request's companion blocks
    std::size_t entry = 0;              // its place in the directory
    bool shadowed = false;              // a later data block has the same codes
    // Of a pair of twins (two data blocks with the same six codes, told apart
    // by bit 30 of their type words): false for the one written before the
    // file's final correction (bit 30 set), true for the corrected one.
    std::optional<bool> compensated;
};

// The data blocks of named types, match blocks and blocks of further
// channels (2D and 3D), in directory order. A block without a parameter
// block to pair with has its offsetToParams absent.
std::vector<FileBlock> fileBlocks(const Directory& directory);

// The codes a request for a listed (type, dimension, derivative) carries.
RequestCodes requestCodes(const ListedBlock& listed) noexcept;

}  // namespace lumira
