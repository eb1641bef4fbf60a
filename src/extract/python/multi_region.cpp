// Multi-region point maps: the annotation table groups table rows into
// regions; each row places one point and names its spectrum record.
#include <climits>
#include <optional>
#include <string_view>
#include <unordered_map>

#include "core/python.hpp"
#include "core/text.hpp"
#include "extract/annotation.hpp"
#include "extract/python/arrays.hpp"
#include "extract/python/three_dimensional.hpp"
#include "extract/spectrum.hpp"
#include "module/reports.hpp"

namespace lumira::extract {

namespace {

[[noreturn]] void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw py::ErrorAlreadySet{};
}

py::Ref objectOf(const AnnotationValue& value, TextEncoding encoding) {
    if (const auto* integer = std::get_if<std::int32_t>(&value)) return py::integer(*integer);
    if (const auto* real = std::get_if<float>(&value)) return py::real(*real);
    return py::text(std::get<ParameterText>(value).bytes, encoding);
}

// Column access with the failures of a dictionary of lists.
class Columns {
public:
    Columns(const AnnotationTable& table, TextEncoding encoding) : table_(table), encoding_(encoding) {}

    const AnnotationColumn& column(const char* name) const {
        auto cached = found_.find(name);
        if (cached == found_.end()) cached = found_.emplace(name, table_.find(name)).first;
        if (cached->second == nullptr) {
            py::Ref key = py::str(name);
            PyErr_SetObject(PyExc_KeyError, key.get());
            throw py::ErrorAlreadySet{};
        }
        return *cached->second;
    }

    const AnnotationValue& at(const char* name, std::int64_t row) const {
        const AnnotationColumn& values = column(name);
        if (row < 0 || static_cast<std::uint64_t>(row) >= values.values.size())
            raise(PyExc_IndexError, "list index out of range");
        return values.values[static_cast<std::size_t>(row)];
    }

    py::Ref object(const char* name, std::int64_t row) const { return objectOf(at(name, row), encoding_); }

    py::Ref list(const char* name) const {
        const AnnotationColumn& values = column(name);
        py::Ref result = py::Ref::fresh(PyList_New(static_cast<Py_ssize_t>(values.values.size())));
        for (std::size_t i = 0; i < values.values.size(); ++i)
            PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), objectOf(values.values[i], encoding_).release());
        return result;
    }

private:
    const AnnotationTable& table_;
    TextEncoding encoding_;
    mutable std::unordered_map<std::string_view, const AnnotationColumn*> found_;
};

bool equalsZero(py::Borrowed value) {
    py::Ref zero = py::integer(0);
    const int equal = PyObject_RichCompareBool(value, zero.get(), Py_EQ);
    py::check(equal);
    return equal == 1;
}

// A region number as a 32-bit signed integer; floats are truncated.
std::int32_t groupNumber(py::Borrowed value) {
    py::Ref number;
    if (PyLong_Check(value.get())) {
        number = py::Ref::borrow(value);
    } else if (PyFloat_Check(value.get())) {
        number = py::Ref::fresh(PyNumber_Long(value));
    } else {
        raise(PyExc_TypeError, "an integer is required");
    }
    int overflow = 0;
    const long long result = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (result == -1 && PyErr_Occurred()) throw py::ErrorAlreadySet{};
    if (overflow != 0 || result < INT_MIN || result > INT_MAX)
        raise(PyExc_OverflowError, "value too large to convert to int");
    return static_cast<std::int32_t>(result);
}

// The first row of each region, in the iteration order of the set of
// region numbers. Methods are called by their interned names: the host's
// method cache keeps each name it sees, and a name made afresh for every
// call would fill it with copies.
std::vector<std::int32_t> regionStarts(py::Borrowed groups) {
    py::Ref distinct = py::Ref::fresh(PySet_New(groups));
    py::Ref iterator = py::Ref::fresh(PyObject_GetIter(distinct.get()));
    std::vector<std::int32_t> starts;
    while (py::Ref element = py::Ref::steal(PyIter_Next(iterator.get()))) {
        py::Ref group = py::integer(groupNumber(element));
        py::Ref first = py::Ref::fresh(PyObject_CallMethodOneArg(groups, py::interned("index").get(), group.get()));
        starts.push_back(groupNumber(first));
    }
    if (PyErr_Occurred()) throw py::ErrorAlreadySet{};
    return starts;
}

double coordinateOf(const AnnotationValue& value, TextEncoding encoding) {
    if (const auto* integer = std::get_if<std::int32_t>(&value)) return *integer;
    if (const auto* real = std::get_if<float>(&value)) return *real;
    py::Ref text = objectOf(value, encoding);
    py::Ref number = py::Ref::fresh(PyFloat_FromString(text.get()));
    return PyFloat_AS_DOUBLE(number.get());
}

struct Layout {
    AnnotationTable table;
    RecordPlan records;
};

struct TraceData {
    std::vector<std::vector<std::uint8_t>> labels;
    std::vector<float> values;  // records x NPT
    std::size_t count = 0;
};

struct PointPlan {
    std::vector<double> mapX, mapY;
    std::vector<std::int64_t> sources;  // record offsets (spectra) or trace columns
    std::vector<double> startTimes;     // as the call's decoder read them, when it has one
};

class RegionReader {
public:
    RegionReader(ThreeDCall& threeD, const Layout& layout, const TraceData* traces)
        : threeD_(threeD), layout_(layout), columns_(layout.table, threeD.call.encoding), traces_(traces) {
        for (const RecordOffset& record : layout.records.records) offsets_[record.number] = record.offset;
    }

    // The region starting at table row `first`, or nothing when its type says so.
    py::Ref region(std::int32_t first) {
        if (!equalsZero(columns_.object("Type", first))) return {};
        py::Ref group = columns_.object("Group", first);
        py::Ref columnsAcross = columns_.object("AryNX", first);
        py::Ref rowsDown = columns_.object("AryNY", first);
        py::Ref points = product(columnsAcross, rowsDown);
        py::Ref title;
        if (equalsZero(points) && equalsZero(columns_.object("AryType", first))) {
            if (!groups_) groups_ = columns_.list("Group");
            points = py::Ref::fresh(PyObject_CallMethodOneArg(groups_.get(), py::interned("count").get(), group.get()));
            title = format("Region {0} ({1} points)", {group, points});
        } else {
            title = format("Region {0} ({1} x {2})", {group, columnsAcross, rowsDown});
        }
        const PointPlan plan = planPoints(first, std::max<std::int64_t>(countOf(points), 0));
        return build(title, points, plan);
    }

private:
    static py::Ref format(const char* pattern, std::initializer_list<py::Borrowed> values) {
        py::Ref text = py::str(pattern);
        py::Ref method = py::attr(text, "format");
        py::Ref arguments = py::tuple(values);
        return py::Ref::fresh(PyObject_Call(method.get(), arguments.get(), nullptr));
    }

    // The record a point names: the spectrum number and its offset.
    RecordOffset recordOf(const AnnotationValue& fileIndex) {
        std::optional<std::int64_t> number;
        if (const auto* integer = std::get_if<std::int32_t>(&fileIndex)) number = *integer;
        if (const auto* real = std::get_if<float>(&fileIndex); real && *real == static_cast<std::int64_t>(*real))
            number = static_cast<std::int64_t>(*real);
        const auto found = number ? offsets_.find(*number) : offsets_.end();
        if (found == offsets_.end()) {
            py::Ref key = objectOf(fileIndex, threeD_.call.encoding);
            PyErr_SetObject(PyExc_KeyError, key.get());
            throw py::ErrorAlreadySet{};
        }
        return {found->first, found->second};
    }

    // The trace column a point reads: its 1-based position in every trace.
    std::int64_t traceColumn(const AnnotationValue& fileIndex) {
        if (std::holds_alternative<ParameterText>(fileIndex))
            raise(PyExc_TypeError, "unsupported operand type(s) for -: 'str' and 'int'");
        const auto* integer = std::get_if<std::int32_t>(&fileIndex);
        if (integer == nullptr) {
            raise(PyExc_IndexError,
                  "only integers, slices (`:`), ellipsis (`...`), numpy.newaxis (`None`) and integer or boolean "
                  "arrays are valid indices");
        }
        if (*integer < 1 || *integer > threeD_.points) {
            PyErr_Format(PyExc_IndexError, "Fileindex %d is outside 1 to %lld", *integer,
                         static_cast<long long>(threeD_.points));
            throw py::ErrorAlreadySet{};
        }
        return *integer - 1;
    }

    // Everything about the region's points but the bulk values, checked
    // point by point in table order.
    PointPlan planPoints(std::int64_t first, std::int64_t count) {
        PointPlan plan;
        ByteSource& source = threeD_.call.file.source();
        ShortReads shortReads;
        Cursor cursor(source, shortReads, threeD_.call.decoder);
        for (std::int64_t point = 0; point < count; ++point) {
            const std::int64_t row = first + point;
            const AnnotationValue& fileIndex = columns_.at("Fileindex", row);
            plan.mapX.push_back(coordinateOf(columns_.at("X", row), threeD_.call.encoding));
            plan.mapY.push_back(coordinateOf(columns_.at("Y", row), threeD_.call.encoding));
            if (traces_ != nullptr) {
                plan.sources.push_back(traceColumn(fileIndex));
                continue;
            }
            const RecordOffset record = recordOf(fileIndex);
            requireWholeRecord(layout_.records.head, source, record.number, record.offset, threeD_.points);
            plan.sources.push_back(record.offset);
            // A start time cut off by the end of the file is read (and reported)
            // in point order; whole ones are taken while the records are copied.
            // With a decoder, every start time is read here, through it.
            if (threeD_.call.decoder != nullptr) {
                plan.startTimes.push_back(readRecordValue(cursor, layout_.records.head, record.offset));
            } else if (recordValueCut(source, layout_.records.head, record.offset)) {
                readRecordValue(cursor, layout_.records.head, record.offset);
                module::reportShortReads(threeD_.call.module, shortReads);
                shortReads.clear();
            }
        }
        return plan;
    }

    py::Ref build(py::Borrowed title, py::Borrowed points, const PointPlan& plan) {
        py::Borrowed module = threeD_.call.module;
        const auto count = static_cast<std::int64_t>(plan.mapX.size());
        // The regions together: points of many regions may name the same record.
        // Each point has its row of values, its coordinates and (spectra) its start time.
        const std::int64_t width = traces_ ? static_cast<std::int64_t>(traces_->count) : threeD_.points;
        pointsSoFar_ += plan.mapX.size();
        valuesSoFar_ = recordResultValues(plan.mapX.size(), width, traces_ ? 2 : 3, valuesSoFar_);
        requireResultWithinLimit(layout_.records.head.dataOffset, threeD_.call.file.source().size(), valuesSoFar_, [&] {
            return std::to_string(pointsSoFar_) + " points of " + std::to_string(width) + " values in its regions";
        });
        py::Ref mapX = fill(zerosOf(points, "float64"), plan.mapX);
        py::Ref mapY = fill(zerosOf(points, "float64"), plan.mapY);
        py::Ref startTime = traces_ ? py::Ref::borrow(Py_None) : zerosOf(points, "float64");
        // Every point's row is copied whole.
        py::Ref spectra = threeD_.call.emptyArrays ? emptyFloat32(module, {count, width}) : zerosFloat32(module, {count, width});
        {
            py::WritableBuffer buffer(spectra);
            auto rows = valuesOf<float>(buffer, count * width);
            if (traces_ != nullptr) {
                py::ReleasedGil unlocked;
                copyTraceColumns(plan, rows, static_cast<std::size_t>(width));
            } else {
                py::WritableBuffer timeBuffer(startTime);
                auto times = valuesOf<double>(timeBuffer, count);
                // The points of all regions, one after the other.
                const std::optional<InfoRows> infoRows = growRecordInfo(threeD_, layout_.records.head, plan.sources.size());
                py::ReleasedGil unlocked;
                copySpectra(plan, rows, times, infoRows);
            }
        }
        const py::Keyword keywords[] = {
            {"title", title}, {"spectra", spectra}, {"mapX", mapX}, {"mapY", mapY}, {"start_time", startTime}};
        return construct(module, "Region", keywords);
    }

    void copySpectra(const PointPlan& plan, std::span<float> rows, std::span<double> startTimes,
                     const std::optional<InfoRows>& infoRows) const {
        const auto width = static_cast<std::size_t>(threeD_.points);
        std::vector<RecordTarget> targets;
        targets.reserve(plan.sources.size());
        for (std::size_t point = 0; point < plan.sources.size(); ++point) {
            targets.push_back({plan.sources[point], rows.subspan(point * width, width)});
            if (infoRows) targets.back().tail = infoRows->tail(point);
        }
        const InfoVisitor startTime = [&](std::size_t point, const InfoRecord& info) {
            startTimes[point] = plan.startTimes.empty() ? info.value().value_or(0.0) : plan.startTimes[point];
        };
        ByteSource& source = threeD_.call.file.source();
        if (!infoRows) return copyRecords(source, layout_.records.head, targets, startTime);
        copyRecords(source, layout_.records.head, targets, infoRows->visitor(startTime), infoRows->cutter());
    }

    void copyTraceColumns(const PointPlan& plan, std::span<float> rows, std::size_t width) const {
        const auto stride = static_cast<std::size_t>(threeD_.points);
        for (std::size_t point = 0; point < plan.sources.size(); ++point) {
            const auto row = rows.subspan(point * width, width);
            const auto column = static_cast<std::size_t>(plan.sources[point]);
            for (std::size_t trace = 0; trace < width; ++trace) row[trace] = traces_->values[trace * stride + column];
        }
    }

    py::Ref zerosOf(py::Borrowed points, const char* dtype) {
        return numpyArray(threeD_.call.module, "zeros", points, dtype);
    }

    static py::Ref fill(py::Ref array, const std::vector<double>& values) {
        py::WritableBuffer buffer(array);
        std::copy(values.begin(), values.end(),
                  valuesOf<double>(buffer, static_cast<std::int64_t>(values.size())).begin());
        return array;
    }

    ThreeDCall& threeD_;
    const Layout& layout_;
    Columns columns_;
    const TraceData* traces_;
    std::unordered_map<std::int64_t, std::int64_t> offsets_;
    py::Ref groups_;  // the Group column as a list, once a region counts its points
    std::uint64_t pointsSoFar_ = 0;
    std::uint64_t valuesSoFar_ = static_cast<std::uint64_t>(threeD_.points);  // from the x axis on
};

// Every trace record of the block, with its label, in store-table order.
TraceData readTraces(ThreeDCall& threeD, const Layout& layout) {
    OpusDataCall& call = threeD.call;
    ByteSource& source = call.file.source();
    ShortReads shortReads;
    RecordPlan plan = layout.records;
    plan.head.infoSize = module::parseUnlocked(call.module, shortReads, [&] {
        Cursor cursor(source, shortReads, call.decoder);
        const std::int32_t infoSize = readInfoSize(cursor, call.located.offsetToData);
        for (const RecordOffset& record : plan.records)
            requireWholeRecord(plan.head, source, record.number, record.offset, threeD.points);
        // Every trace is read whole, before the regions pick their columns.
        const std::uint64_t values =
            recordResultValues(plan.records.size(), threeD.points, 0, static_cast<std::uint64_t>(threeD.points));
        requireRecordsWithinLimit(plan.head, source.size(), values, plan.records.size(), threeD.points);
        return infoSize;
    });
    requireRecords(plan);
    TraceData traces;
    traces.count = plan.records.size();
    traces.values.resize(traces.count * static_cast<std::size_t>(threeD.points));
    traces.labels.resize(traces.count);
    const std::optional<InfoRows> infoRows = recordInfoRows(threeD, plan.head, {static_cast<std::int64_t>(traces.count)});
    py::ReleasedGil unlocked;
    readRecordRows(
        source, plan, threeD.points, traces.values,
        [&](std::size_t k, const InfoRecord& info) { traces.labels[k] = info.label(); }, infoRows);
    return traces;
}

}  // namespace

py::Ref readMultiRegionMap(ThreeDCall& threeD) {
    OpusDataCall& call = threeD.call;
    if (call.located.offsetToANNO == LocatedBlocks::absent) {
        PyErr_Format(PyExc_ValueError, "No annotation block exists in the file for: %U %U %U",
                     call.request.dataBlockType.get(), call.request.dimensions.get(), call.request.deriv.get());
        throw py::ErrorAlreadySet{};
    }
    ShortReads shortReads;
    const Layout layout = module::parseUnlocked(call.module, shortReads, [&] {
        Cursor cursor(call.file.source(), shortReads, call.decoder);
        Layout read;
        read.table = readAnnotationTable(cursor, call.located.offsetToANNO);
        read.records.head = readBlockHead(cursor, call.located.offsetToData);
        read.records.records = recordOffsets(read.records.head, call.file.source().size());
        return read;
    });
    const Columns columns(layout.table, call.encoding);
    const std::vector<std::int32_t> starts = regionStarts(columns.list("Group"));

    std::optional<TraceData> traces;
    if (call.request.traces) {
        traces = readTraces(threeD, layout);
    } else {
        if (call.recordInfo != nullptr) call.recordInfo->growing = true;  // the points are added region by region
    }
    RegionReader reader(threeD, layout, traces ? &*traces : nullptr);
    py::Ref regions = py::Ref::fresh(PyList_New(0));
    for (std::int32_t first : starts) {
        if (py::Ref region = reader.region(first)) py::append(regions, region);
    }
    call.doneReading();
    finishRecordInfo(threeD);
    if (!traces) return threeD.makeResult("MultiRegionDataReturn", {{"regions", regions}});
    py::Ref labels = labelList(traces->labels, call.encoding);
    return threeD.makeResult("MultiRegionTRCDataReturn", {{"labels", labels}, {"regions", regions}});
}

}  // namespace lumira::extract
