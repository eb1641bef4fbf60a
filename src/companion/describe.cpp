// A block's kind and shape from its parameters, its head and (for
// multi-region maps) its annotation table, without reading its values. The
// checks that come before the values are those of the readers, so a block
// fails here as its read would fail before touching them.
#include <cmath>
#include <map>

#include "companion/whole_file.hpp"
#include "extract/annotation.hpp"
#include "extract/image.hpp"
#include "extract/python/arrays.hpp"
#include "extract/python/parameters.hpp"
#include "extract/python/three_dimensional.hpp"
#include "extract/spectrum.hpp"
#include "extract/three_d.hpp"
#include "module/reports.hpp"

namespace lumira::companion {

Shape describeBlock(extract::OpusDataCall& call);

namespace {

bool isPlainCount(py::Borrowed value) {
    if (!PyLong_CheckExact(value.get())) return false;
    int overflow = 0;
    const long long count = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (count == -1 && PyErr_Occurred()) PyErr_Clear();
    return overflow == 0 && count >= 0;
}

bool isPlainNumber(py::Borrowed value) { return PyFloat_CheckExact(value.get()) || PyLong_CheckExact(value.get()); }

// An axis NumPy could not make fails as making it would.
void requireAxis(py::Borrowed module, py::Borrowed first, py::Borrowed last, py::Borrowed count) {
    if (isPlainCount(count) && isPlainNumber(first) && isPlainNumber(last)) return;
    extract::linspace(module, first, last, count);
}

template <typename Read>
auto readNatively(extract::OpusDataCall& call, Read&& read) {
    ShortReads shortReads;
    return module::parseUnlocked(call.module, shortReads, [&] {
        Cursor cursor(call.file.source(), shortReads);
        return read(cursor);
    });
}

std::optional<double> numeric(const AnnotationValue& value) {
    if (const auto* integer = std::get_if<std::int32_t>(&value)) return *integer;
    if (const auto* real = std::get_if<float>(&value)) return *real;
    return std::nullopt;
}

const AnnotationColumn& column(const AnnotationTable& table, const char* name) {
    const AnnotationColumn* found = table.find(name);
    if (found == nullptr) fail(ErrorKind::Key, name);
    return *found;
}

double at(const AnnotationTable& table, const char* name, std::size_t row) {
    const AnnotationColumn& values = column(table, name);
    if (row >= values.values.size()) fail(ErrorKind::Index, "list index out of range");
    return numeric(values.values[row]).value_or(NAN);
}

// The points of every region the map reader returns: a region per distinct
// group whose first row has type 0, of AryNX x AryNY points, or (without a
// grid) as many points as rows of its group.
std::int64_t regionPoints(const AnnotationTable& table) {
    const AnnotationColumn& groups = column(table, "Group");
    std::map<double, std::pair<std::size_t, std::int64_t>> regions;  // group -> (first row, rows)
    for (std::size_t row = 0; row < groups.values.size(); ++row) {
        const auto group = numeric(groups.values[row]);
        if (!group) fail(ErrorKind::Type, "an integer is required");
        auto [place, added] = regions.try_emplace(std::trunc(*group), row, 0);
        ++place->second.second;
    }
    std::int64_t total = 0;
    for (const auto& [group, found] : regions) {
        const auto [first, rows] = found;
        if (at(table, "Type", first) != 0) continue;
        double points = at(table, "AryNX", first) * at(table, "AryNY", first);
        if (points == 0 && at(table, "AryType", first) == 0) points = static_cast<double>(rows);
        if (std::isfinite(points) && points > 0) total += static_cast<std::int64_t>(points);
    }
    return total;
}

// The records, each checked to lie whole in the file as the readers check
// them before copying.
std::vector<RecordOffset> wholeRecords(const BlockHead& head, const ByteSource& source,
                                       std::vector<RecordOffset> records, std::int64_t points) {
    for (const RecordOffset& record : records) requireWholeRecord(head, source, record.number, record.offset, points);
    return records;
}

Shape describeThreeD(extract::OpusDataCall& call, std::int64_t points) {
    ByteSource& source = call.file.source();
    const std::int64_t offset = call.located.offsetToData;
    const bool traces = call.request.traces;
    const auto has = [&](const char* code) {
        py::Ref key = py::interned(code);
        const int found = PyDict_Contains(call.parameters.get(), key.get());
        py::check(found);
        return found == 1;
    };
    const bool image = has("AOX") && has("AOY") && has("NPX") && has("NPY") && has("DDX") && has("DDY");
    if (image) {
        extract::ThreeDCall threeD{call, {}, {}, {}, {}};
        threeD.points = points;
        const extract::MapGeometry grid = extract::mapGeometry(call, false);
        extract::checkedMapAxes(threeD, grid);
        const ImageGrid cells{extract::countOf(grid.npx), extract::countOf(grid.npy), points};
        const auto records = readNatively(call, [&](Cursor& cursor) {
            const BlockHead head = readBlockHead(cursor, offset);
            const auto placed = imageRecords(head, source.size());
            if (traces) {
                checkTraceMapRecords(source, head, cells, placed);
                if (placed.empty()) failValue("need at least one array to concatenate");  // no map to stack
            } else {
                checkImagePlacement(source, head, cells, placed);
            }
            return placed.size();
        });
        if (!traces) return {"image map", {cells.rows, cells.columns, points}};
        return {"image map (traces)", {cells.rows, cells.columns, static_cast<std::int64_t>(records)}};
    }
    const bool series = has("ZTX");
    if (series || (traces && call.located.offsetToANNO == LocatedBlocks::absent)) {
        const auto records = readNatively(call, [&](Cursor& cursor) {
            const BlockHead head = readBlockHead(cursor, offset);
            const auto rows = recordOffsets(head, source.size());
            checkSeriesRecords(head, source, rows, points, series ? 1 : 0);
            return rows.size();
        });
        return {series ? "series" : "series (traces)", {static_cast<std::int64_t>(records), points}};
    }
    if (call.located.offsetToANNO == LocatedBlocks::absent) {
        PyErr_Format(PyExc_ValueError, "No annotation block exists in the file for: %U %U %U",
                     call.request.dataBlockType.get(), call.request.dimensions.get(), call.request.deriv.get());
        throw py::ErrorAlreadySet{};
    }
    const auto [regionRows, traceCount] = readNatively(call, [&](Cursor& cursor) {
        const AnnotationTable table = readAnnotationTable(cursor, call.located.offsetToANNO);
        const BlockHead head = readBlockHead(cursor, offset);
        // A trace map reads every record; a spectra map only those its points name.
        auto records = recordOffsets(head, source.size());
        if (traces) records = wholeRecords(head, source, std::move(records), points);
        const std::size_t count = records.size();
        return std::pair{regionPoints(table), static_cast<std::int64_t>(count)};
    });
    if (traces) return {"multi-region (traces)", {regionRows, traceCount}};
    return {"multi-region", {regionRows, points}};
}

}  // namespace

Shape describeBlock(extract::OpusDataCall& call) {
    using extract::lookup;
    py::Ref npt = lookup(call.parameters, "NPT");
    py::Ref fxv = lookup(call.parameters, "FXV");
    py::Ref lxv = lookup(call.parameters, "LXV");
    lookup(call.parameters, "MXY");
    lookup(call.parameters, "MNY");
    ByteSource& source = call.file.source();
    const std::int64_t offset = call.located.offsetToData;
    if (PyLong_Check(npt.get())) {
        if (call.request.threeD) {
            checkThreeDAxis(source, offset, "NPT", extract::saturatedCount(npt));
        } else {
            checkPointCount(source, offset, extract::saturatedCount(npt));
        }
    }
    requireAxis(call.module, fxv, lxv, npt);
    const std::int64_t points = extract::countOf(npt);
    if (call.request.threeD) return describeThreeD(call, points);
    const auto held = floatsAvailable(source, offset, static_cast<std::uint64_t>(points));
    return {"spectrum", {static_cast<std::int64_t>(held)}};
}

}  // namespace lumira::companion
