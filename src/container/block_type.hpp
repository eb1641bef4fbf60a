// The six codes packed into a block type word, and the words users see for them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace lumira {

struct BlockTypeFields {
    int complexType = 0;
    int sampleType = 0;
    int paramType = 0;
    int dataType = 0;
    int derivType = 0;
    int extendType = 0;

    friend bool operator==(const BlockTypeFields&, const BlockTypeFields&) = default;
};

// Field values with a role in the listing and the block search.
namespace codes {
inline constexpr int dataBlock = 0;       // paramType of a data block proper
inline constexpr int dataParameters = 1;  // paramType of its parameter block
inline constexpr int instrumentParameters = 2;
inline constexpr int acquisitionParameters = 3;
inline constexpr int ftParameters = 4;
inline constexpr int sampleParameters = 10;
inline constexpr int extendPlain = 0;
inline constexpr int extend3D = 10;
inline constexpr int extendAnnotation = 11;
inline constexpr int extendDirectory = 64;
inline constexpr int anySample = -1;
}  // namespace codes

// Splits a word (32 or 64 bits wide, signed) into its fields. Bits 26 and
// above carry nothing; negative words decode as their bit pattern.
constexpr BlockTypeFields decodeBlockType(std::int64_t word) noexcept {
    const auto field = [word](int shift, int mask) { return static_cast<int>((word >> shift) & mask); };
    return {field(0, 3), field(2, 3), field(4, 63), field(10, 127), field(17, 3), field(19, 127)};
}

// A data block type name with the codes it stands for.
struct DataTypeName {
    std::string_view name;
    int dataType;
    int sampleType;  // codes::anySample when the sample type is not tested
};

// In the order the listing tests them (the rows never overlap).
inline constexpr std::array<DataTypeName, 20> dataTypeNames{{
    {"REFL", 12, codes::anySample},
    {"RAM", 10, codes::anySample},
    {"SPOW", 14, 1},
    {"RPOW", 14, 2},
    {"SPH", 3, 1},
    {"RPH", 3, 2},
    {"PAS", 17, codes::anySample},
    {"LREFL", 15, codes::anySample},
    {"KM", 6, codes::anySample},
    {"SIFG", 2, 1},
    {"RIFG", 2, 2},
    {"TR", 5, codes::anySample},
    {"EMIS", 11, codes::anySample},
    {"ATR", 16, codes::anySample},
    {"TRARI", 18, codes::anySample},
    {"ABARI", 19, codes::anySample},
    {"AB", 4, codes::anySample},
    {"TRC", 7, codes::anySample},
    {"SSC", 1, 1},
    {"RSC", 1, 2},
}};

constexpr std::optional<std::string_view> dataTypeName(int dataType, int sampleType) noexcept {
    for (const auto& row : dataTypeNames) {
        if (row.dataType == dataType && (row.sampleType == codes::anySample || row.sampleType == sampleType))
            return row.name;
    }
    return std::nullopt;
}

constexpr const DataTypeName* findDataTypeName(std::string_view name) noexcept {
    for (const auto& row : dataTypeNames)
        if (row.name == name) return &row;
    return nullptr;
}

constexpr std::string_view dimensionText(int extendType) noexcept {
    return extendType == codes::extend3D ? "3D" : "2D";
}

// The listing names derivative code 3 "3DER"; a request must say "NDER".
constexpr std::string_view listedDerivativeText(int derivType) noexcept {
    constexpr std::array<std::string_view, 4> texts{"NONE", "1DER", "2DER", "3DER"};
    return texts[static_cast<std::size_t>(derivType & 3)];
}

constexpr std::optional<int> requestedDerivativeCode(std::string_view text) noexcept {
    constexpr std::array<std::string_view, 4> texts{"NONE", "1DER", "2DER", "NDER"};
    for (std::size_t code = 0; code < texts.size(); ++code)
        if (texts[code] == text) return static_cast<int>(code);
    return std::nullopt;
}

}  // namespace lumira
