// Record ranges of 3D blocks, as lazy arrays read them a chunk at a time:
// for each 3D block of the file, the rows the lazy reader lays out (an image
// map's records in grid order, a series' records in store-table order), and
// copies of ranges of them: the one the control bytes name, the first rows
// whole, and chunks of the control bytes' size across them. Each copy is
// made on one thread and again shared by two (the minimum share lowered so
// small copies split), and the records' info is visited by both threads.
//
// Invariants: a range copies what plain reads of its records give, zeros
// past the last record, and fails exactly when one of its records is not
// whole in the file; two threads copy what one copies; each record's info is
// visited once, with the label and value the file holds.
//
// Input: the range's first row (uint16), its length (uint8), the chunk size
// (uint8), then the file; or a whole file (the regression inputs of
// tests/corpus/), read with the first rows as the range and chunks of one.
#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "extract/copy_threads.hpp"
#include "extract/file_plan.hpp"
#include "extract/image.hpp"
#include "extract/records.hpp"
#include "fuzz_input.hpp"
#include "record_checks.hpp"

using namespace lumira;

namespace {

constexpr std::size_t controlSize = 4;
constexpr std::size_t blocksTried = 4;
constexpr std::int64_t rowsPerRange = 64;    // rows one copy reads at most
constexpr std::int64_t rowsChunked = 256;    // rows the chunks cover
constexpr int traceDataType = 7;

struct Controls {
    std::int64_t start;
    std::int64_t length;
    std::int64_t chunk;
};

Controls controlsOf(const std::uint8_t* data) {
    std::uint16_t start;
    std::memcpy(&start, data, sizeof start);
    return {start, data[2], std::int64_t{data[3] % 8} + 1};
}

const ParameterValue* lastValueOf(const Parameters& parameters, std::string_view name) {
    const ParameterValue* found = nullptr;
    for (const Parameter& parameter : parameters)
        if (parameter.name == name) found = &parameter.value;
    return found;
}

std::optional<std::int64_t> countOf(const Parameters& parameters, std::string_view name) {
    const ParameterValue* value = lastValueOf(parameters, name);
    const auto* integer = value != nullptr ? std::get_if<std::int32_t>(value) : nullptr;
    if (integer == nullptr || *integer < 0) return std::nullopt;
    return *integer;
}

bool sameBits(std::span<const float> a, std::span<const float> b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size_bytes()) == 0);
}

// A block laid out in rows, as the lazy reader lays it out.
struct Rows {
    BlockHead head;
    std::vector<RecordOffset> records;
    std::int64_t count = 0;  // rows: grid cells of an image map, else records
    std::int64_t width = 0;  // floats per row
};

std::optional<Rows> layOut(Cursor& cursor, const FileBlock& block) {
    ByteSource& source = cursor.source();
    const Parameters parameters = readMergedParameters(cursor, block.located);
    const auto npt = countOf(parameters, "NPT");
    if (!npt) return std::nullopt;  // refused before any record is read
    const std::int64_t offset = block.located.offsetToData;
    checkThreeDAxis(source, offset, "NPT", *npt);
    Rows rows;
    rows.width = std::min(*npt, fuzz::maxPoints);
    rows.head = readBlockHead(cursor, offset);
    const bool traces = block.codes.dataType == traceDataType;
    bool image = true;
    for (const char* code : {"AOX", "AOY", "NPX", "NPY", "DDX", "DDY"}) image = image && lastValueOf(parameters, code);
    if (image) {
        rows.records = imageRecords(rows.head, source.size());
        for (std::size_t k = 1; k < rows.records.size(); ++k)
            fuzz::require(rows.records[k - 1].offset <= rows.records[k].offset, "image records run backwards");
        const auto columns = countOf(parameters, "NPX");
        const auto gridRows = countOf(parameters, "NPY");
        if (!columns || !gridRows) return std::nullopt;  // refused by the grid's arithmetic
        if (traces) {
            rows.count = static_cast<std::int64_t>(rows.records.size());
        } else {
            rows.count = *columns * *gridRows;  // both below 2**31
            if (static_cast<std::int64_t>(rows.records.size()) > rows.count) return std::nullopt;  // refused
        }
    } else if (lastValueOf(parameters, "ZTX") != nullptr ||
               (traces && block.located.offsetToANNO == LocatedBlocks::absent)) {
        rows.records = recordOffsets(rows.head, source.size());
        if (traces) rows.head.infoSize = readInfoSize(cursor, offset);
        rows.count = static_cast<std::int64_t>(rows.records.size());
    } else {
        return std::nullopt;  // a multi-region map is read whole
    }
    const std::uint64_t capacity =
        source.size() / static_cast<std::uint64_t>(std::max<std::int64_t>(rows.head.stride(), 1)) + 1;
    fuzz::require(rows.records.size() <= capacity, "more records than the file holds");
    return rows;
}

struct Copy {
    bool failed = false;
    std::vector<float> values;
};

Copy copyRange(ByteSource& source, const Rows& rows, std::int64_t start, std::int64_t stop, unsigned threads) {
    Copy copy;
    copy.values.assign(static_cast<std::size_t>((stop - start) * rows.width), -1.0f);
    const CopyThreads copiers(threads, 1);
    try {
        copyRecordRange(source, rows.head, rows.records, start, stop, rows.width, copy.values);
    } catch (const Error&) {
        copy.failed = true;
    }
    return copy;
}

void checkRange(ByteSource& source, const Rows& rows, std::int64_t start, std::int64_t stop, bool whole) {
    bool damaged = false;  // a record of the range is not whole: the range must fail
    const std::int64_t recorded = std::clamp(static_cast<std::int64_t>(rows.records.size()), start, stop);
    for (std::int64_t row = start; row < recorded && !damaged; ++row) {
        const RecordOffset& record = rows.records[static_cast<std::size_t>(row)];
        try {
            requireWholeRecord(rows.head, source, record.number, record.offset, rows.width);
        } catch (const Error&) {
            damaged = true;
        }
    }
    const Copy alone = copyRange(source, rows, start, stop, 1);
    const Copy shared = copyRange(source, rows, start, stop, 2);
    // A file that shrank while read may also fail a range of whole records.
    fuzz::require(alone.failed == damaged || (!whole && alone.failed), "a range failed otherwise than its records");
    fuzz::require(shared.failed == damaged || (!whole && shared.failed), "a shared range failed otherwise");
    if (alone.failed) return;
    const auto width = static_cast<std::size_t>(rows.width);
    std::vector<float> direct(width);
    for (std::int64_t row = start; row < stop; ++row) {
        const std::span<const float> got(alone.values.data() + static_cast<std::size_t>(row - start) * width, width);
        if (row < recorded) {
            readFloats(source, rows.records[static_cast<std::size_t>(row)].offset, direct);
        } else {
            std::fill(direct.begin(), direct.end(), 0.0f);
        }
        fuzz::require(sameBits(got, direct), "a row differs from the file");
    }
    if (!shared.failed) fuzz::require(sameBits(alone.values, shared.values), "two threads copied otherwise than one");
}

// The info of the first whole records, visited while two threads copy them.
void checkSharedInfo(ByteSource& source, const Rows& rows, bool whole) {
    std::vector<RecordOffset> held;
    for (const RecordOffset& record : rows.records) {
        if (held.size() == fuzz::maxCopied) break;
        fuzz::handled([&] {
            requireWholeRecord(rows.head, source, record.number, record.offset, rows.width);
            held.push_back(record);
        });
    }
    const auto width = static_cast<std::size_t>(rows.width);
    std::vector<float> values(held.size() * width);
    std::vector<RecordTarget> targets;
    for (std::size_t k = 0; k < held.size(); ++k)
        targets.push_back({held[k].offset, std::span<float>(values).subspan(k * width, width)});
    // Each thread touches only the slots of the records it is given.
    std::vector<int> visits(held.size(), 0);
    std::vector<std::vector<std::uint8_t>> labels(held.size());
    std::vector<std::optional<double>> infoValues(held.size());
    try {
        const CopyThreads copiers(2, 1);
        copyRecords(source, rows.head, targets, [&](std::size_t k, const InfoRecord& info) {
            if (k >= held.size()) std::abort();
            ++visits[k];
            labels[k] = info.label();
            infoValues[k] = info.value();
        });
    } catch (const Error&) {
        fuzz::require(!whole, "a copy of whole records failed");
        return;
    }
    for (std::size_t k = 0; k < held.size(); ++k) {
        fuzz::require(visits[k] == 1, "a record's info visited other than once");
        fuzz::require(labels[k] == fuzz::labelByBytes(source, rows.head, held[k].offset),
                      "label differs from the file");
        if (!whole) continue;
        fuzz::require(infoValues[k].has_value() == !recordValueCut(source, rows.head, held[k].offset),
                      "value and cut check disagree");
        if (!infoValues[k]) continue;
        ShortReads shortReads;
        Cursor cursor(source, shortReads);
        const double direct = readRecordValue(cursor, rows.head, held[k].offset);
        fuzz::require(std::memcmp(&direct, &*infoValues[k], sizeof direct) == 0, "value differs from the file");
    }
}

void readRanges(const Controls& controls, ByteSource& source, std::size_t heldBytes) {
    const bool whole = heldBytes == source.size();
    FilePlan plan;
    fuzz::handled([&] { plan = planFile(source, BlockChoice{}); });
    std::size_t tried = 0;
    for (const FileBlock& block : plan.blocks) {
        if (!block.threeD || !block.located.foundDataBlock()) continue;
        if (++tried > blocksTried) break;
        ShortReads shortReads;
        Cursor cursor(source, shortReads);
        std::optional<Rows> rows;
        fuzz::handled([&] { rows = layOut(cursor, block); });
        if (!rows) continue;
        const std::int64_t count = rows->count;
        const std::int64_t start = std::min(controls.start, count);
        checkRange(source, *rows, start, std::min({start + controls.length, count, start + rowsPerRange}), whole);
        checkRange(source, *rows, 0, std::min(count, rowsPerRange), whole);
        const std::int64_t covered = std::min(count, rowsChunked);
        for (std::int64_t first = 0; first < covered; first += controls.chunk)
            checkRange(source, *rows, first, std::min(first + controls.chunk, covered), whole);
        checkSharedInfo(source, *rows, whole);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < controlSize) return 0;
    MemorySource input(std::span(data, size));
    const bool wholeFile = testMagic(input).isOpus;
    const Controls controls = wholeFile ? Controls{0, rowsPerRange, 1} : controlsOf(data);
    const std::size_t skipped = wholeFile ? 0 : controlSize;
    fuzz::readWholeAndShrunk(data + skipped, size - skipped, [&](ByteSource& source, std::size_t heldBytes) {
        readRanges(controls, source, heldBytes);
    });
    return 0;
}
