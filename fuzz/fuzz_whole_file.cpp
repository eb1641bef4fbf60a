// Everything a request does natively: the magic test, the directory, the
// block search for every listed block and a fixed set of requests, the merged
// parameters, and then the float run of a data block, or for a 3D block what
// its kind reads: the head, the record offsets, the annotation table, the
// whole-record checks and the copies of records and their info records.
#include <algorithm>
#include <bitset>
#include <unordered_map>
#include <vector>

#include "container/directory.hpp"
#include "container/listing.hpp"
#include "extract/annotation.hpp"
#include "extract/image.hpp"
#include "extract/parameters.hpp"
#include "extract/request.hpp"
#include "extract/spectrum.hpp"
#include "fuzz_input.hpp"
#include "record_checks.hpp"

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

constexpr int traceDataType = 7;

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
    const std::uint64_t count = floatsAvailable(source, located.offsetToData, static_cast<std::uint64_t>(*points));
    // What passes the check is a result the module may build: the axis and the values are bounded together.
    fuzz::require(static_cast<std::uint64_t>(*points) + count <= resultValueLimit(source.size()), "unbounded result");
    fuzz::require(count * sizeof(float) <= heldBytes || heldBytes < source.size(), "values beyond the file");
    std::vector<float> values(static_cast<std::size_t>(count));
    readFloats(source, located.offsetToData, values);
}

const std::int32_t* integerOf(const Parameters& parameters, std::string_view name) {
    const ParameterValue* value = lastValueOf(parameters, name);
    return value != nullptr ? std::get_if<std::int32_t>(value) : nullptr;
}

bool isZero(const ParameterValue* value) {
    if (value == nullptr) return false;
    if (const auto* integer = std::get_if<std::int32_t>(value)) return *integer == 0;
    if (const auto* real = std::get_if<double>(value)) return *real == 0;
    return false;
}

// The spectrum numbers a multi-region map's points name.
std::vector<RecordOffset> namedRecords(const AnnotationTable& table, const std::vector<RecordOffset>& records) {
    std::vector<RecordOffset> named;
    const AnnotationColumn* column = table.find("Fileindex");
    if (column == nullptr) return named;
    std::unordered_map<std::int64_t, std::int64_t> offsets;
    for (const RecordOffset& record : records) offsets.emplace(record.number, record.offset);
    for (const AnnotationValue& value : column->values) {
        const auto* number = std::get_if<std::int32_t>(&value);
        const auto found = number != nullptr ? offsets.find(*number) : offsets.end();
        if (found != offsets.end()) named.push_back({found->first, found->second});
        if (named.size() == fuzz::maxCopied) break;
    }
    return named;
}

// What the 3D branch reads natively, kind by kind as the module tells them apart.
void readThreeD(Cursor& cursor, const LocatedBlocks& located, const Parameters& parameters, bool traces,
                std::int32_t derivType, std::size_t heldBytes) {
    ByteSource& source = cursor.source();
    const std::int32_t* npt = integerOf(parameters, "NPT");
    if (npt == nullptr || *npt < 0) return;  // NumPy refuses these before any data is read
    checkThreeDAxis(source, located.offsetToData, "NPT", *npt);
    // What passes is an axis the module may build: bounded by the file, or by the fixed limit.
    fuzz::require(static_cast<std::uint64_t>(*npt) <= std::max<std::uint64_t>(source.size(), maxPointsBeyondFile),
                  "unbounded x axis");
    const std::int64_t points = std::min<std::int64_t>(*npt, fuzz::maxPoints);
    const bool whole = heldBytes == source.size();

    bool image = true;
    for (const char* code : {"AOX", "AOY", "NPX", "NPY", "DDX", "DDY"}) image = image && lastValueOf(parameters, code);
    if (image) {
        if (derivType != 0 && (isZero(lastValueOf(parameters, "NPX")) || isZero(lastValueOf(parameters, "NPY")))) {
            Parameters original;
            readParameterBlock(cursor, located.offsetToOriginalParams, original);
        }
        const BlockHead head = readBlockHead(cursor, located.offsetToData);
        fuzz::copyChecked(source, head, imageRecords(head, source.size()), points, whole);
        return;
    }
    if (lastValueOf(parameters, "ZTX") == nullptr && !(located.offsetToANNO == LocatedBlocks::absent && traces)) {
        const AnnotationTable table = readAnnotationTable(cursor, located.offsetToANNO);
        const BlockHead head = readBlockHead(cursor, located.offsetToData);
        const auto records = recordOffsets(head, source.size());
        fuzz::copyChecked(source, head, traces ? records : namedRecords(table, records), points, whole);
        return;
    }
    BlockHead head = readBlockHead(cursor, located.offsetToData);
    const auto records = recordOffsets(head, source.size());
    if (traces) head.infoSize = readInfoSize(cursor, located.offsetToData);
    fuzz::copyChecked(source, head, records, points, whole);
}

void request(Cursor& cursor, const Directory& directory, const RequestCodes& codes, std::size_t heldBytes) {
    const LocatedBlocks located = locateBlocks(directory, codes);
    if (!located.foundDataBlock()) return;
    fuzz::handled([&] {
        const Parameters parameters = readMergedParameters(cursor, located);
        if (codes.extendType == codes::extendPlain) {
            readSpectrum(cursor.source(), located, parameters, heldBytes);
        } else if (codes.extendType == codes::extend3D) {
            readThreeD(cursor, located, parameters, codes.dataType == traceDataType, codes.derivType, heldBytes);
        }
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
