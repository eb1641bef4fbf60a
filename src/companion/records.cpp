// Record ranges of a 3D block, for arrays read a piece at a time (lazy
// arrays bigger than memory):
//
//   record_layout(source, select) -> (kind, rows, values, info, damage)
//   read_records(source, select, start, stop, out) -> None
//   read_record_info(source, select, start, stop) -> {field: array}
//
// Rows are the block's records in the order the whole-block readers place
// them: an image map's grid cells row by row (cells after the last record
// stay zero), a series' records in store-table order with each number once.
// Each row holds `values` floats. `info` is what the rows carry besides their
// values: the z values of a series (a float64 array), the labels of traces;
// `damage` counts the fields the end of the file cut off (read as zero).
// The checks are the whole-block readers': a damaged record fails as it
// fails there, when its range is read. The info fields of a range of rows
// (scans, x and y range, start and end time, ...) are read as read_file
// gives them, one array per field, and never fail: a field that a record,
// or the file, is too short for is missing (NaN, or -1 for integers), as it
// is for the grid cells no record fills.
#include <algorithm>

#include "companion/whole_file.hpp"
#include "core/checked.hpp"
#include "extract/image.hpp"
#include "extract/python/arrays.hpp"
#include "extract/python/call.hpp"
#include "extract/python/parameters.hpp"
#include "extract/python/three_dimensional.hpp"
#include "extract/record_info.hpp"
#include "extract/records.hpp"
#include "extract/spectrum.hpp"
#include "extract/three_d.hpp"
#include "module/opus_file.hpp"
#include "module/reports.hpp"

namespace lumira::companion {

namespace {

enum class RecordKind { Image, ImageTraces, Series, SeriesTraces };

const char* kindName(RecordKind kind) {
    switch (kind) {
        case RecordKind::Image: return "image map";
        case RecordKind::ImageTraces: return "image map (traces)";
        case RecordKind::Series: return "series";
        case RecordKind::SeriesTraces: return "series (traces)";
    }
    return "";
}

// One 3D block laid out for reading in pieces.
struct RecordBlock {
    std::unique_ptr<module::OpenFile> file;
    FilePlan plan;
    RecordKind kind = RecordKind::Series;
    BlockHead head;
    std::vector<RecordOffset> records;  // in row order
    std::int64_t rows = 0;              // grid cells of an image map; else records
    std::int64_t values = 0;            // floats per row (NPT)
};

bool hasParameter(py::Borrowed parameters, const char* code) {
    const int found = PyDict_Contains(parameters.get(), py::interned(code).get());
    py::check(found);
    return found == 1;
}

[[noreturn]] void refuse(const char* message) {
    PyErr_SetString(PyExc_ValueError, message);
    throw py::ErrorAlreadySet{};
}

RecordBlock layOut(py::Borrowed module, py::Borrowed source, py::Borrowed select) {
    RecordBlock block;
    const Selection selection = selectionOf(select);
    auto [file, plan] = openAndPlan(module, source, selection);
    block.file = std::move(file);
    block.plan = std::move(plan);
    FilePlan& planned = block.plan;
    if (!planned.magic.complete) module::raiseShortMagic(module, planned.magic.bytes);
    if (!planned.magic.isOpus) module::refuseNonOpus();
    if (planned.missing || planned.chosen.empty()) refuse("the file holds no such data block");
    const FileBlock& chosen = planned.blocks[planned.chosen.front()];
    py::Ref texts = selection.kind == Selection::Kind::Request ? selection.requestTexts : requestTexts(chosen);
    const extract::Request request = requestOf(texts, chosen.codes);
    if (!request.threeD) refuse("records are read from 3D blocks; this is a single spectrum");
    if (!chosen.located.foundDataBlock()) extract::raiseNoDataBlock(request);

    py::Ref parameters = blockParameters(module, *block.file, planned, chosen.located);
    extract::OpusDataCall call{module, *block.file, request, chosen.located, parameters,
                               nullptr, true,       nullptr, planned.encoding};
    ByteSource& bytes = block.file->source();
    const std::int64_t offset = chosen.located.offsetToData;
    py::Ref npt = extract::lookup(parameters, "NPT");
    for (const char* code : {"FXV", "LXV", "MXY", "MNY"}) extract::lookup(parameters, code);
    if (PyLong_Check(npt.get())) checkThreeDAxis(bytes, offset, "NPT", extract::saturatedCount(npt));
    block.values = extract::countOf(npt);

    const bool image = hasParameter(parameters, "AOX") && hasParameter(parameters, "AOY") &&
                       hasParameter(parameters, "NPX") && hasParameter(parameters, "NPY") &&
                       hasParameter(parameters, "DDX") && hasParameter(parameters, "DDY");
    ShortReads shortReads;
    const auto readHead = [&] {
        return module::parseUnlocked(module, shortReads, [&] {
            Cursor cursor(bytes, shortReads);
            return readBlockHead(cursor, offset);
        });
    };
    if (image) {
        // The grid's checks before its values, the size of the whole result included: a lazy array
        // promises what the eager read would give.
        extract::ThreeDCall threeD{call, {}, {}, {}, {}};
        threeD.points = block.values;
        const extract::MapGeometry grid = extract::mapGeometry(call, false);
        extract::checkedMapAxes(threeD, grid);
        const std::int64_t columns = extract::countOf(grid.npx);
        const std::int64_t gridRows = extract::countOf(grid.npy);
        block.head = readHead();
        block.records = imageRecords(block.head, bytes.size());
        if (request.traces) {
            block.kind = RecordKind::ImageTraces;
            block.rows = static_cast<std::int64_t>(block.records.size());
            if (block.values != gridRows * columns) {
                failValue("cannot reshape array of size " + std::to_string(block.values) + " into shape (" +
                          std::to_string(gridRows) + "," + std::to_string(columns) + ")");
            }
        } else {
            block.kind = RecordKind::Image;
            block.rows = mulSize(gridRows, columns);
            if (!block.records.empty() && columns == 0)
                fail(ErrorKind::ZeroDivision, "integer division or modulo by zero");
            if (static_cast<std::int64_t>(block.records.size()) > block.rows) {
                const std::int64_t row = block.rows / std::max<std::int64_t>(columns, 1);
                fail(ErrorKind::Index, "index " + std::to_string(row) + " is out of bounds for axis 0 with size " +
                                           std::to_string(gridRows));
            }
        }
        return block;
    }
    const bool series = hasParameter(parameters, "ZTX");
    if (!series && !(request.traces && chosen.located.offsetToANNO == LocatedBlocks::absent))
        refuse("the records of a multi-region map are read whole: use read()");
    block.kind = series ? RecordKind::Series : RecordKind::SeriesTraces;
    block.head = readHead();
    block.records = recordOffsets(block.head, bytes.size());
    if (block.kind == RecordKind::SeriesTraces) {
        block.head.infoSize = module::parseUnlocked(module, shortReads, [&] {
            Cursor cursor(bytes, shortReads);
            return readInfoSize(cursor, offset);
        });
    }
    block.rows = static_cast<std::int64_t>(block.records.size());
    return block;
}

// What read_records and read_record_info are asked: a block laid out and a
// range of its rows, from arguments (source, select, start, stop, more...).
// IndexError unless rows start to stop are the block's. Fields of the head
// cut off were judged when the layout was first read: not reported again.
struct RowsAsked {
    RecordBlock block;
    long long start = 0;
    long long stop = 0;
};

template <typename... More>
RowsAsked rowsAsked(py::Borrowed module, PyObject* args, const char* format, More*... more) {
    PyObject* source = nullptr;
    PyObject* select = nullptr;
    RowsAsked asked;
    if (!PyArg_ParseTuple(args, format, &source, &select, &asked.start, &asked.stop, more...))
        throw py::ErrorAlreadySet{};
    ShortReads damage;
    const module::ShortReadSink sink(damage);
    asked.block = layOut(module, source, select);
    if (asked.start >= 0 && asked.stop >= asked.start && asked.stop <= asked.block.rows) return asked;
    PyErr_Format(PyExc_IndexError, "rows %lld to %lld are outside the block's %lld rows", asked.start, asked.stop,
                 static_cast<long long>(asked.block.rows));
    throw py::ErrorAlreadySet{};
}

}  // namespace

PyObject* recordLayout(PyObject* module, PyObject* args) {
    return py::boundary([&] {
        PyObject* source = nullptr;
        PyObject* select = nullptr;
        if (!PyArg_ParseTuple(args, "OO:record_layout", &source, &select)) throw py::ErrorAlreadySet{};
        ShortReads damage;
        const module::ShortReadSink sink(damage);
        RecordBlock block = layOut(module, source, select);
        ByteSource& bytes = block.file->source();
        py::Ref info = py::Ref::borrow(Py_None);
        if (block.kind == RecordKind::Series) {
            info = extract::emptyFloat64(module, static_cast<std::int64_t>(block.records.size()));
            py::WritableBuffer buffer(info);
            auto z = extract::valuesOf<double>(buffer, static_cast<std::int64_t>(block.records.size()));
            ShortReads shortReads;
            module::parseUnlocked(module, shortReads, [&] {
                Cursor cursor(bytes, shortReads);
                for (std::size_t k = 0; k < block.records.size(); ++k)
                    z[k] = readRecordValue(cursor, block.head, block.records[k].offset);
            });
        } else if (block.kind != RecordKind::Image) {
            std::vector<std::vector<std::uint8_t>> labels(block.records.size());
            {
                py::ReleasedGil unlocked;
                for (std::size_t k = 0; k < block.records.size(); ++k) {
                    const InfoRecord record(bytes, block.head, block.records[k].offset, {}, 0);
                    labels[k] = record.label();
                }
            }
            info = extract::labelList(labels, block.plan.encoding);
        }
        block.file->close();
        return py::tuple({py::str(kindName(block.kind)), py::integer(block.rows), py::integer(block.values), info,
                          py::integer(static_cast<long long>(damage.size()))});
    });
}

PyObject* readRecords(PyObject* module, PyObject* args) {
    return py::boundary([&] {
        PyObject* out = nullptr;
        auto [block, start, stop] = rowsAsked(module, args, "OOLLO:read_records", &out);
        py::WritableBuffer buffer(out);
        if (buffer.format() != "f" && buffer.format() != "<f" && buffer.format() != "=f") {
            PyErr_SetString(PyExc_TypeError, "records are read into float32 memory");
            throw py::ErrorAlreadySet{};
        }
        auto rows = extract::valuesOf<float>(buffer, mulSize(stop - start, block.values));
        {
            py::ReleasedGil unlocked;
            copyRecordRange(block.file->source(), block.head, block.records, start, stop, block.values, rows);
        }
        block.file->close();
        return py::Ref::borrow(Py_None);
    });
}

PyObject* readRecordInfo(PyObject* module, PyObject* args) {
    return py::boundary([&] {
        auto [block, start, stop] = rowsAsked(module, args, "OOLL:read_record_info");
        // The block's rows as a whole within the limit, so every range of them answers alike.
        const InfoLayout layout = infoLayout(block.head, block.values);
        if (!infoRowsFit(static_cast<std::uint64_t>(block.rows), layout, block.file->source().size())) {
            block.file->close();
            return py::Ref::borrow(Py_None);
        }
        const std::int64_t rows = stop - start;
        py::Ref array = extract::recordInfoArray(module, std::span(&rows, 1), layout, block.file->source().size());
        const InfoRows infoRows = extract::infoRowsOf(array, layout);
        {
            py::ReleasedGil unlocked;
            const auto held = std::clamp<std::int64_t>(static_cast<std::int64_t>(block.records.size()), start, stop);
            infoRows.clearFrom(static_cast<std::size_t>(held - start));  // grid cells after the last record
            for (std::int64_t row = start; row < held; ++row) {
                const InfoRecord info(block.file->source(), block.head, block.records[static_cast<std::size_t>(row)].offset,
                                      {}, 0);
                infoRows.store(static_cast<std::size_t>(row - start), info);
            }
        }
        block.file->close();
        return array;
    });
}

}  // namespace lumira::companion
