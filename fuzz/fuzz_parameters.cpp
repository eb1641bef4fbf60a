// Parameter blocks: read at every offset the directory names (whatever kind
// of block it names), and merged as a request merges them.
#include <algorithm>

#include "container/directory.hpp"
#include "extract/parameters.hpp"
#include "extract/utf8.hpp"
#include "fuzz_input.hpp"

using namespace lumira;

namespace {

// Enough offsets to reach the blocks of the seed files; more only slows each run.
constexpr std::size_t maxBlocks = 16;

void checkRecords(const Parameters& parameters, std::size_t heldBytes) {
    // The shortest record, a text of size 0, takes 8 bytes of the file.
    fuzz::require(parameters.size() <= heldBytes / 8 + 1, "more records than the file holds");
    for (const Parameter& parameter : parameters) {
        const auto& name = parameter.name;
        fuzz::require(name.size() <= 4, "name longer than its field");
        fuzz::require(name.empty() || (name.front() != '\0' && name.back() != '\0'), "name keeps its NULs");
        fuzz::require(isValidUtf8({reinterpret_cast<const std::uint8_t*>(name.data()), name.size()}),
                      "name is not UTF-8");
        if (const auto* text = std::get_if<ParameterText>(&parameter.value)) {
            fuzz::require(text->bytes.size() <= 2 * 32767, "text longer than its size field allows");
            fuzz::require(std::find(text->bytes.begin(), text->bytes.end(), 0) == text->bytes.end(),
                          "text keeps a NUL");
        }
    }
}

void readBlocks(ByteSource& source, std::size_t heldBytes) {
    ShortReads shortReads;
    Cursor cursor(source, shortReads);
    Directory directory;
    fuzz::handled([&] { directory = readDirectory(cursor); });
    if (directory.size() > maxBlocks) directory.resize(maxBlocks);

    for (const DirectoryEntry& entry : directory) {
        fuzz::handled([&] {
            Parameters parameters;
            readParameterBlock(cursor, entry.byteOffset, parameters);
            checkRecords(parameters, heldBytes);
        });
    }

    LocatedBlocks located;
    std::int64_t* slots[] = {&located.offsetToParams, &located.offsetToAcqParams, &located.offsetToInstParams,
                             &located.offsetToSampleParams, &located.offsetToFTParams};
    for (std::size_t i = 0; i < std::size(slots) && i < directory.size(); ++i) *slots[i] = directory[i].byteOffset;
    if (located.offsetToParams == LocatedBlocks::absent) return;
    fuzz::handled([&] { checkRecords(readMergedParameters(cursor, located), heldBytes * 5 + 40); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::readWholeAndShrunk(data, size, readBlocks);
    return 0;
}
