// The merged parameter dictionaries of a whole file's blocks, made from its
// parsed parameter blocks with as little work per block as they allow.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "core/ref.hpp"
#include "extract/file_plan.hpp"

namespace lumira::companion {

// The merged parameters of blocks: a data parameter block's records, then
// each companion block's, a later record of a name replacing the value at
// the name's first place, as a dictionary that the module's merging would
// make.
class ParameterDicts {
public:
    explicit ParameterDicts(const FilePlan& plan);

    // Parameter blocks at `dataOffset` and `companions` (LocatedBlocks::absent
    // for those missing), each parsed without failure.
    py::Ref merged(std::int64_t dataOffset, std::span<const std::int64_t> companions);

private:
    // A name of a block, once at its first place, with the record whose value
    // it takes (its last) and that value's object once made.
    struct Named {
        py::Ref name;  // interned
        std::size_t record;  // in the plan's records
        py::Ref value;
    };
    // A block's names: names_[first, first + count).
    struct BlockNames {
        std::int64_t offset;
        std::size_t first;
        std::size_t count;
        bool valued = false;  // its values are made
    };

    // Blocks of one file usually hold the same names in their data parameter
    // blocks and share their companion blocks, so their dictionaries differ
    // only in some of the data parameters' values: a copy of a dictionary of
    // the same shape with those values replaced is the same dictionary, made
    // at a fraction of the cost of inserting every name again, and a value
    // alike to the one copied (the same type and bits) stays as copied. A
    // block whose records are named as those of the template's block, one
    // for one, has its shape.
    struct Template {
        std::size_t firstRecord = 0;  // the records of the data block it was made from
        std::size_t recordCount = 0;
        BlockNames data;              // its names
        std::vector<std::int64_t> companions;
        std::vector<bool> companionHolds;  // per data name: a companion replaces its value
        py::Ref dict;                      // never handed out, so never changed
    };

    BlockNames& namesOf(std::int64_t offset);
    BlockNames& valuesOf(std::int64_t offset);
    py::Ref valueOf(std::size_t record) const;
    py::Ref fromNew(std::int64_t dataOffset, std::span<const std::int64_t> companions);

    const FilePlan& plan_;
    std::vector<Named> names_;       // block after block, never moved: room for every record
    std::vector<BlockNames> blocks_;  // a file's few parameter blocks, looked up one by one
    std::vector<Template> templates_;
};

}  // namespace lumira::companion
