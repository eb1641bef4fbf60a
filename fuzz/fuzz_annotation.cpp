// Annotation tables: read where the block begins, where a request finds it,
// where a request without one would look, and near the end of the file.
//
// Input: where the block begins (uint16), then the file.
#include <algorithm>
#include <cstring>

#include "extract/annotation.hpp"
#include "fuzz_input.hpp"

using namespace lumira;

namespace {

constexpr std::size_t controlSize = 2;

void checkTable(const AnnotationTable& table, std::size_t heldBytes, std::uint64_t fileSize) {
    std::size_t values = 0;
    for (const AnnotationColumn& column : table.columns) {
        values += column.values.size();
        for (const AnnotationValue& value : column.values) {
            if (const auto* text = std::get_if<ParameterText>(&value)) {
                fuzz::require(text->bytes.size() <= heldBytes, "text longer than the file");
                fuzz::require(std::find(text->bytes.begin(), text->bytes.end(), 0) == text->bytes.end(),
                              "text keeps a NUL");
            }
        }
    }
    // Each value takes at least a byte of the file that no other value takes.
    fuzz::require(values <= fileSize, "more values than the file holds");
    for (std::size_t i = 0; i < table.columns.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            const auto* a = std::get_if<ParameterText>(&table.columns[i].name);
            const auto* b = std::get_if<ParameterText>(&table.columns[j].name);
            fuzz::require(!(a && b && a->bytes == b->bytes), "a column name occurs twice");
        }
    }
}

void readTables(std::int64_t given, ByteSource& source, std::size_t heldBytes) {
    ShortReads shortReads;
    Cursor cursor(source, shortReads);
    const std::int64_t offsets[] = {0, given, -1, static_cast<std::int64_t>(heldBytes) - 16};
    for (const std::int64_t offset : offsets) {
        fuzz::handled([&] { checkTable(readAnnotationTable(cursor, offset), heldBytes, source.size()); });
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < controlSize) return 0;
    std::uint16_t given;
    std::memcpy(&given, data, sizeof given);
    fuzz::readWholeAndShrunk(data + controlSize, size - controlSize,
                             [&](ByteSource& source, std::size_t heldBytes) { readTables(given, source, heldBytes); });
    return 0;
}
