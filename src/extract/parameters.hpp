// Parameter blocks: runs of named, typed records ended by the name END.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "container/cursor.hpp"
#include "extract/request.hpp"
#include "extract/text_encoding.hpp"

namespace lumira {

// The bytes of a text value before its first NUL; texts are code page 1252 (see text_encoding.hpp).
struct ParameterText {
    std::vector<std::uint8_t> bytes;
};

using ParameterValue = std::variant<std::int32_t, double, ParameterText>;

// A record's name: its four bytes without the NULs at either end, valid UTF-8.
class ParameterName {
public:
    ParameterName() noexcept = default;
    explicit ParameterName(std::string_view text) noexcept
        : size_(static_cast<std::uint8_t>(text.copy(bytes_, sizeof bytes_))) {}

    // The name of a record's four-byte field (read little-endian), NULs at
    // either end dropped.
    static ParameterName ofField(std::uint32_t field) noexcept {
        ParameterName name;
        if (field == 0) return name;
        const int first = std::countr_zero(field) / 8;
        const int last = 3 - std::countl_zero(field) / 8;
        const std::uint32_t bytes = field >> (8 * first);
        std::memcpy(name.bytes_, &bytes, sizeof bytes);
        name.size_ = static_cast<std::uint8_t>(last - first + 1);
        return name;
    }

    std::string_view view() const noexcept { return {bytes_, size_}; }
    operator std::string_view() const noexcept { return view(); }
    const char* data() const noexcept { return bytes_; }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    char front() const noexcept { return bytes_[0]; }
    char back() const noexcept { return bytes_[size_ - 1]; }
    // Its bytes from the lowest byte on and its length in the highest: one number per name.
    std::uint64_t packed() const noexcept {
        std::uint32_t bytes;
        std::memcpy(&bytes, bytes_, sizeof bytes);
        return std::uint64_t{size_} << 56 | bytes;
    }

    friend bool operator==(const ParameterName& a, std::string_view b) noexcept { return a.view() == b; }
    // Spelled out: with only the one above, C++20 finds two ways to compare two names.
    friend bool operator==(const ParameterName& a, const ParameterName& b) noexcept { return a.view() == b.view(); }

private:
    char bytes_[4] = {};
    std::uint8_t size_ = 0;
};

struct Parameter {
    ParameterName name;
    ParameterValue value;
};

using Parameters = std::vector<Parameter>;

// Reads the block at `offset`, appending its records in file order.
//
// Fails with ValueError "Parameter block at offset N is damaged: ..." when the
// file ends before the block's END record (saying at which byte) or the block
// holds a text record whose size is negative or runs past the end of the file;
// with ValueError for a type code other than 0 to 4; with the host's decoding
// error (ErrorKind::Utf8Decode) for a name that is not UTF-8. A caller that
// reads many blocks of one file bounds their records in all with
// `recordLimit`: blocks whose records overlap can otherwise make a small
// file hold more records than it has bytes, block after block.
void readParameterBlock(Cursor& cursor, std::int64_t offset, Parameters& into,
                        std::size_t recordLimit = std::numeric_limits<std::size_t>::max());

// Where the block at `offset` ends (just past the name of its END record),
// found by walking its records without reading their values; nothing when
// walking cannot tell where readParameterBlock would stop: a record it would
// refuse or cut short, the end of the file, or more than `recordLimit`
// records. readParameterBlock over the bytes up to that end reads what it
// reads over the whole file.
std::optional<std::uint64_t> skimParameterBlock(ByteSource& source, std::int64_t offset, std::size_t recordLimit);

// Dictionary lookups over records read from one block: the last record of a
// name gives its value.
class ParameterLookup {
public:
    explicit ParameterLookup(const Parameters& parameters);
    const ParameterValue* find(std::string_view name) const;

private:
    std::unordered_map<std::string_view, const ParameterValue*> latest_;
};

// The data parameter block and then each companion block that was found
// (acquisition, instrument, sample origin, FT), in that order; later records
// win over earlier ones when they are put into a dictionary in order.
// `encoding`, when given, receives what the sample-origin block's CPG says.
Parameters readMergedParameters(Cursor& cursor, const LocatedBlocks& located, TextEncoding* encoding = nullptr);

// The text encoding a block's records name by their code page (CPG):
// UTF-8 for 65001, code page 1252 otherwise and without one.
TextEncoding textEncodingOf(std::span<const Parameter> records);

}  // namespace lumira
