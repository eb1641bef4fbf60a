// The magic test, the header, the directory with its 64-bit extension, and
// the listing built from it.
#include "container/directory.hpp"
#include "container/listing.hpp"
#include "fuzz_input.hpp"

using namespace lumira;

namespace {

// Every entry is read from bytes inside the file, 12 or 32 of them apiece.
std::size_t entryBound(std::size_t fileSize) { return fileSize / 12 + fileSize / 32 + 2; }

// Header, one cut entry of each directory and the extension's head: a
// damaged count must not turn into a report per missing entry.
constexpr std::size_t shortReadBound = 16;

void readAndList(ByteSource& source, std::size_t heldBytes) {
    ShortReads shortReads;
    Cursor cursor(source, shortReads);
    fuzz::handled([&] {
        const Directory directory = readDirectory(cursor);
        fuzz::require(directory.size() <= entryBound(heldBytes), "more entries than the file holds");
        const auto listed = listBlocks(directory);
        fuzz::require(listed.size() <= directory.size(), "listing longer than the directory");
        for (const ListedBlock& block : listed) {
            fuzz::require(block.kind() < listedBlockKinds, "listed kind out of range");
            fuzz::require(!block.name().empty() && !block.derivative().empty(), "listed block without a name");
        }
    });
    fuzz::require(shortReads.size() <= shortReadBound, "short reads not bounded");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    MemorySource file(std::span<const std::uint8_t>(data, size));
    const MagicTest magic = testMagic(file);
    fuzz::require(magic.complete == (size >= 4) && magic.bytes.size() == std::min<std::size_t>(size, 4),
                  "magic test read the wrong bytes");
    fuzz::readWholeAndShrunk(data, size, readAndList);
    return 0;
}
