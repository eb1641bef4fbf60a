// Everything a request for a single spectrum does natively: the magic test,
// the directory, the block search for every listed block and a fixed set of
// requests, the merged parameters and the float run of the data block.
#include <algorithm>
#include <bitset>
#include <vector>

#include "container/directory.hpp"
#include "container/listing.hpp"
#include "extract/parameters.hpp"
#include "extract/request.hpp"
#include "extract/spectrum.hpp"
#include "fuzz_input.hpp"

using namespace lumira;

namespace {

// Requests worth making of any file, listed or not.
constexpr RequestCodes fixedRequests[] = {
    {4, codes::anySample, 0, codes::extendPlain},  // AB 2D NONE
    {4, codes::anySample, 1, codes::extendPlain},  // AB 2D 1DER
    {5, codes::anySample, 3, codes::extendPlain},  // TR 2D NDER
    {1, 1, 0, codes::extendPlain},                 // SSC 2D NONE
    {1, 2, 0, codes::extendPlain},                 // RSC 2D NONE
    {7, codes::anySample, 0, codes::extend3D},     // TRC 3D NONE
    {4, codes::anySample, 0, codes::extend3D},     // AB 3D NONE
};

// NPT as the merged dictionary holds it: the last record of that name wins.
const ParameterValue* lastValueOf(const Parameters& parameters, std::string_view name) {
    const ParameterValue* found = nullptr;
    for (const Parameter& parameter : parameters)
        if (parameter.name == name) found = &parameter.value;
    return found;
}

void readSpectrum(ByteSource& source, const LocatedBlocks& located, const Parameters& parameters,
                  std::size_t heldBytes) {
    const ParameterValue* npt = lastValueOf(parameters, "NPT");
    const auto* points = npt != nullptr ? std::get_if<std::int32_t>(npt) : nullptr;
    if (points == nullptr || *points < 0) return;  // NumPy refuses these before any data is read
    checkPointCount(source, located.offsetToData, *points);
    // What passes the check is an axis the module may build: bounded by the file, or by the fixed limit.
    const std::uint64_t held =
        floatsAvailable(source, std::max<std::int64_t>(located.offsetToData, 0), static_cast<std::uint64_t>(*points));
    fuzz::require(static_cast<std::uint64_t>(*points) <= std::max(held, maxPointsBeyondFile), "unbounded x axis");
    const std::uint64_t count = floatsAvailable(source, located.offsetToData, static_cast<std::uint64_t>(*points));
    fuzz::require(count * sizeof(float) <= heldBytes || heldBytes < source.size(), "values beyond the file");
    std::vector<float> values(static_cast<std::size_t>(count));
    readFloats(source, located.offsetToData, values);
}

void request(Cursor& cursor, const Directory& directory, const RequestCodes& codes, std::size_t heldBytes) {
    const LocatedBlocks located = locateBlocks(directory, codes);
    if (!located.foundDataBlock()) return;
    fuzz::handled([&] {
        const Parameters parameters = readMergedParameters(cursor, located);
        if (codes.extendType == codes::extendPlain) readSpectrum(cursor.source(), located, parameters, heldBytes);
    });
}

void walk(ByteSource& source, std::size_t heldBytes) {
    if (!testMagic(source).isOpus) return;
    ShortReads shortReads;
    Cursor cursor(source, shortReads);
    Directory directory;
    fuzz::handled([&] { directory = readDirectory(cursor); });

    std::bitset<listedBlockKinds> seen;
    for (const ListedBlock& block : listBlocks(directory)) {
        if (seen.test(block.kind())) continue;
        seen.set(block.kind());
        const DataTypeName& row = dataTypeNames[block.nameIndex];
        request(cursor, directory,
                {row.dataType, row.sampleType, block.derivType, block.threeD ? codes::extend3D : codes::extendPlain},
                heldBytes);
    }
    for (const RequestCodes& codes : fixedRequests) request(cursor, directory, codes, heldBytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::readWholeAndShrunk(data, size, walk);
    return 0;
}
