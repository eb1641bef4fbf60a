// Every data block of a file, each with the blocks a request for it finds.
//
// A file may hold several data blocks that answer one request (instrument
// software writes an absorbance before and after a correction under one type
// word); a request finds the last of them. The others are "shadowed": each
// pairs with a data parameter block of its own, counted from the last, so
// the last data block pairs with the last parameter block as a request does
// (files lay them out as data block k with parameter block k).
#pragma once

#include <cstddef>
#include <vector>

#include "container/listing.hpp"
#include "extract/request.hpp"

namespace lumira {

struct FileBlock {
    ListedBlock listed;     // its name, dimension and derivative code
    RequestCodes codes;     // the request that reaches it
    LocatedBlocks located;  // its data, its own parameters and the request's companion blocks
    std::size_t entry = 0;  // its place in the directory
    bool shadowed = false;  // a later data block answers the same request
};

// The data blocks of named types that a request can reach (2D and 3D), in
// directory order. A block without a parameter block to pair with has its
// offsetToParams absent.
std::vector<FileBlock> fileBlocks(const Directory& directory);

// The codes a request for a listed (type, dimension, derivative) carries.
RequestCodes requestCodes(const ListedBlock& listed) noexcept;

}  // namespace lumira
