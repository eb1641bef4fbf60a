// The parameter blocks of a file, and which of them describe each data block.
//
// Instrument files keep the settings of each measurement in blocks of their
// own: sample type 0 for the sample measurement, 2 for the reference
// (background) one, a block per kind (instrument, acquisition, FT, optics)
// and side. A file with one measurement only keeps it on side 0 whatever it
// was, so a file without any reference-side block but with reference data
// (and no sample data) is a reference measurement on side 0.
//
// A data block's groups are its own data parameters and, per kind, the last
// block of its measurement's side: the reference side for reference data,
// the sample side for sample data and results. The sample-origin and lab
// blocks describe the sample and exist on side 0 only, so reference data
// take them from there; the info block belongs to the file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "container/directory.hpp"
#include "extract/file_blocks.hpp"

namespace lumira {

namespace codes {
inline constexpr int opticsParameters = 6;
inline constexpr int labParameters = 11;
inline constexpr int extendInfo = 1;
}  // namespace codes

enum class Side { None, Sample, Reference };

// What a group is keyed by: the paramType, or infoKey for the info block.
inline constexpr int infoKey = 0;

struct ParameterBlockEntry {
    std::size_t entry = 0;  // its place in the directory
    std::int64_t offset = 0;
    int key = 0;            // its paramType, or infoKey
    Side side = Side::None;
    // Data parameters of twin data blocks: as their data block's.
    std::optional<bool> compensated;
};

// Whether an entry is a parameter block: a paramType of 1 or more, or the info block.
bool isParameterBlock(const BlockTypeFields& fields) noexcept;

// "data", "instrument", "acquisition", "FT", "optics", "sample origin",
// "lab", "info", or "paramType N".
std::string kindName(int key);

struct GroupMember {
    int key;
    std::int64_t offset;
};

// A data block's groups: at most its own data parameters, a block of each
// paramType from 2 on and the info block.
class Group {
public:
    void add(int key, std::int64_t offset) noexcept { members_[size_++] = {key, offset}; }
    const GroupMember* begin() const noexcept { return members_.data(); }
    const GroupMember* end() const noexcept { return members_.data() + size_; }
    std::size_t size() const noexcept { return size_; }

private:
    std::array<GroupMember, 64> members_;  // the first size_ are set
    std::size_t size_ = 0;
};

// Which parameter blocks describe each data block. Holds a block per kind
// and side, no more: batch workers plan many files ahead, and a plan costs
// no allocation for it.
class ParameterGroups {
public:
    ParameterGroups() = default;
    ParameterGroups(const Directory& directory, const std::vector<FileBlock>& blocks);

    // The blocks that describe a data block, in a fixed order of kinds: its
    // own data parameters (key 1, when it has a parameter block), then the
    // other kinds by paramType, the info block last.
    Group groupOf(const FileBlock& block, const Directory& directory) const;
    // ... of a data block with these parameters, of the reference side or not.
    Group groupOf(std::int64_t ownParameters, bool reference) const;

    // Whether a data block belongs to the reference measurement.
    static bool isReference(const FileBlock& block, const Directory& directory) noexcept;

    // The file holds one measurement only, a reference one, on side 0.
    bool referenceOnly() const noexcept { return referenceOnly_; }

private:
    static constexpr std::size_t kinds = 64;  // paramType is six bits; place 0 holds the info block
    using Offsets = std::array<std::int64_t, kinds>;

    // Sets the block of a kind; the place of the info block is 0.
    static void set(Offsets& offsets, std::uint64_t& present, std::size_t kind, std::int64_t offset) noexcept;

    Offsets sample_{};     // the companions of sample data and results, by paramType (where present says)
    Offsets reference_{};  // ... of reference data
    std::uint64_t sampleKinds_ = 0;     // bit k: sample_[k] is set
    std::uint64_t referenceKinds_ = 0;  // ... reference_[k]
    bool referenceOnly_ = false;
};

// Every parameter block of a file in directory order, with its kind and side.
std::vector<ParameterBlockEntry> parameterBlocks(const Directory& directory, const std::vector<FileBlock>& blocks,
                                                 const ParameterGroups& groups);

}  // namespace lumira
