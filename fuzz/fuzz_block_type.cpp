// Block type words and the texts of a request: the two directions of the
// block vocabulary.
#include <cstring>
#include <string_view>

#include "container/block_type.hpp"
#include "extract/request.hpp"
#include "fuzz_input.hpp"

using namespace lumira;

namespace {

std::int64_t pack(const BlockTypeFields& f) {
    return f.complexType | f.sampleType << 2 | f.paramType << 4 | f.dataType << 10 |
           static_cast<std::int64_t>(f.derivType) << 17 | static_cast<std::int64_t>(f.extendType) << 19;
}

void checkWord(std::int64_t word) {
    const BlockTypeFields fields = decodeBlockType(word);
    // Only bits 0 to 25 carry codes, whatever the width and sign of the word.
    fuzz::require(pack(fields) == (word & ((std::int64_t{1} << 26) - 1)), "fields do not pack back to the word");
    fuzz::require(decodeBlockType(static_cast<std::int32_t>(word)) == fields, "32-bit word decodes differently");
    if (const auto name = dataTypeName(fields.dataType, fields.sampleType)) {
        const DataTypeName* row = findDataTypeName(*name);
        fuzz::require(row != nullptr && row->dataType == fields.dataType, "listed name does not resolve back");
    }
}

void checkText(std::string_view text) {
    if (const DataTypeName* row = findDataTypeName(text)) {
        fuzz::require(row->name == text, "request table matched another name");
        const int sample = row->sampleType == codes::anySample ? 0 : row->sampleType;
        fuzz::require(dataTypeName(row->dataType, sample) == text, "requested name lists under another name");
    }
    if (const auto deriv = requestedDerivType(text)) {
        fuzz::require(*deriv >= 0 && *deriv <= 3, "derivative code out of range");
        fuzz::require(text != "3DER", "the listing's text for code 3 was accepted in a request");
    }
    if (const auto extend = requestedExtendType(text))
        fuzz::require(text == dimensionText(*extend), "dimension text does not round-trip");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size >= 8) {
        std::int64_t word;
        std::memcpy(&word, data, sizeof word);
        checkWord(word);
    }
    checkText(std::string_view(reinterpret_cast<const char*>(data), size));
    if (size > 8) checkText(std::string_view(reinterpret_cast<const char*>(data) + 8, size - 8));
    return 0;
}
