#include "extract/python/three_dimensional.hpp"

#include "core/python.hpp"
#include "core/text.hpp"
#include "extract/python/arrays.hpp"
#include "extract/python/parameters.hpp"
#include "extract/spectrum.hpp"

#include <algorithm>
#include <cstring>

namespace lumira::extract {

namespace {

bool hasParameter(OpusDataCall& call, const char* name) {
    py::Ref key = py::str(name);
    const int found = PyDict_Contains(call.parameters.get(), key.get());
    py::check(found);
    return found == 1;
}

bool isImageMap(OpusDataCall& call) {
    for (const char* code : {"AOX", "AOY", "NPX", "NPY", "DDX", "DDY"})
        if (!hasParameter(call, code)) return false;
    return true;
}

}  // namespace

py::Ref ThreeDCall::makeResult(const char* className, std::initializer_list<py::Keyword> own) {
    std::vector<py::Keyword> keywords{{"dimension", call.request.dimensions},
                                      {"dataType", call.request.dataBlockType},
                                      {"deriv", call.request.deriv},
                                      {"x", abscissa},
                                      {"minY", mny},
                                      {"maxY", mxy},
                                      {"parameters", call.parameters}};
    keywords.insert(keywords.end(), own.begin(), own.end());
    return construct(call.module, className, keywords);
}

py::Ref labelList(const std::vector<std::vector<std::uint8_t>>& labels, TextEncoding encoding) {
    py::Ref list = py::Ref::fresh(PyList_New(static_cast<Py_ssize_t>(labels.size())));
    for (std::size_t i = 0; i < labels.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), py::text(labels[i], encoding).release());
    return list;
}

void readRecordRows(ByteSource& source, const RecordPlan& plan, std::int64_t points, std::span<float> rows,
                    const InfoVisitor& visit, const std::optional<InfoRows>& infoRows) {
    const auto width = static_cast<std::size_t>(points);
    std::vector<RecordTarget> targets;
    targets.reserve(plan.records.size());
    for (std::size_t k = 0; k < plan.records.size(); ++k) {
        targets.push_back({plan.records[k].offset, rows.subspan(k * width, width)});
        if (infoRows) targets.back().tail = infoRows->tail(k);
    }
    if (!infoRows) return copyRecords(source, plan.head, targets, visit);
    copyRecords(source, plan.head, targets, infoRows->visitor(visit), infoRows->cutter());
}

void requireRecords(const RecordPlan& plan) {
    if (plan.records.empty()) {
        PyErr_SetString(PyExc_ValueError, "need at least one array to concatenate");
        throw py::ErrorAlreadySet{};
    }
}

py::Ref recordInfoDtype(py::Borrowed module, const InfoLayout& layout) {
    // Made once per layout (blocks of a kind share one) and kept for the life of the process.
    static std::vector<std::pair<InfoLayout, PyObject*>> made;
    for (const auto& [known, dtype] : made)
        if (known == layout) return py::Ref::borrow(dtype);
    py::Ref names = py::Ref::fresh(PyList_New(0));
    py::Ref formats = py::Ref::fresh(PyList_New(0));
    py::Ref offsets = py::Ref::fresh(PyList_New(0));
    for (const InfoField& field : infoFields) {
        py::append(names, py::str(field.name));
        py::append(formats, py::str(field.real ? "<f8" : "<i4"));
        py::append(offsets, py::integer(static_cast<long long>(layout.base) + field.offset));
    }
    py::Ref described = py::Ref::fresh(PyDict_New());
    py::setItem(described, "names", names);
    py::setItem(described, "formats", formats);
    py::setItem(described, "offsets", offsets);
    py::setItem(described, "itemsize", py::integer(static_cast<long long>(layout.size)));
    py::Ref np = py::moduleName(module, "np");
    py::Ref dtype = py::call(py::attr(np, "dtype"), {described});
    made.emplace_back(layout, py::Ref(dtype).release());
    return dtype;
}

py::Ref recordInfoArray(py::Borrowed module, std::span<const std::int64_t> shape, const InfoLayout& layout,
                        std::uint64_t fileSize) {
    std::uint64_t rows = 1;
    for (std::int64_t extent : shape)
        rows = valuesTimes(rows, static_cast<std::uint64_t>(std::max<std::int64_t>(extent, 0)));
    if (!infoRowsFit(rows, layout, fileSize)) return py::Ref::borrow(Py_None);
    py::Ref dims = py::Ref::fresh(PyTuple_New(static_cast<Py_ssize_t>(shape.size())));
    for (std::size_t i = 0; i < shape.size(); ++i)
        PyTuple_SET_ITEM(dims.get(), static_cast<Py_ssize_t>(i), py::integer(shape[i]).release());
    py::Ref np = py::moduleName(module, "np");
    py::Ref dtype = recordInfoDtype(module, layout);
    static PyObject* const dtypeKeyword = py::tuple({py::interned("dtype")}).release();
    PyObject* arguments[] = {dims.get(), dtype.get()};
    return py::Ref::fresh(PyObject_Vectorcall(py::attr(np, "empty").get(), arguments, 1, dtypeKeyword));
}

InfoRows infoRowsOf(py::Borrowed array, const InfoLayout& layout) {
    // The array's memory stays where it is while the array lives.
    py::WritableBuffer buffer(array);
    if (buffer.size() % layout.size != 0) {
        PyErr_SetString(PyExc_TypeError, "np did not make an array of info rows");
        throw py::ErrorAlreadySet{};
    }
    return InfoRows(buffer.as<std::uint8_t>(), layout);
}

std::optional<InfoRows> recordInfoRows(ThreeDCall& threeD, const BlockHead& head,
                                       std::initializer_list<std::int64_t> shape) {
    RecordInfo* info = threeD.call.recordInfo;
    if (info == nullptr) return std::nullopt;
    info->layout = infoLayout(head, threeD.points);
    info->array = recordInfoArray(threeD.call.module, std::span(shape.begin(), shape.size()), info->layout,
                                  threeD.call.file.source().size());
    if (info->array.get() == Py_None) return std::nullopt;
    return infoRowsOf(info->array, info->layout);
}

std::optional<InfoRows> growRecordInfo(ThreeDCall& threeD, const BlockHead& head, std::size_t rows) {
    RecordInfo* info = threeD.call.recordInfo;
    if (info == nullptr || !info->growing) return std::nullopt;
    info->layout = infoLayout(head, threeD.points);
    const std::size_t held = info->grownBytes / info->layout.size;
    if (!infoRowsFit(valuesPlus(held, rows), info->layout, threeD.call.file.source().size())) {
        info->growing = false;  // past the limit: no info for the block
        info->grown.reset();
        return std::nullopt;
    }
    // Every row added is stored as its point is read: the memory needs no clearing.
    const std::size_t needed = (held + rows) * info->layout.size;
    if (needed > info->grownCapacity) {
        const std::size_t capacity = std::max(needed, 2 * info->grownCapacity);
        auto larger = std::make_unique_for_overwrite<std::uint8_t[]>(capacity);
        if (info->grownBytes > 0) std::memcpy(larger.get(), info->grown.get(), info->grownBytes);
        info->grown = std::move(larger);
        info->grownCapacity = capacity;
    }
    const std::span<std::uint8_t> added(info->grown.get() + info->grownBytes, needed - info->grownBytes);
    info->grownBytes = needed;
    return InfoRows(added, info->layout);
}

void finishRecordInfo(ThreeDCall& threeD) {
    RecordInfo* info = threeD.call.recordInfo;
    if (info == nullptr || !info->growing) return;
    const auto rows = static_cast<std::int64_t>(info->grownBytes / info->layout.size);
    info->array = recordInfoArray(threeD.call.module, std::span(&rows, 1), info->layout,
                                  threeD.call.file.source().size());
    if (info->array.get() != Py_None && info->grownBytes > 0) {
        py::WritableBuffer buffer(info->array);
        std::memcpy(buffer.as<std::uint8_t>().data(), info->grown.get(), info->grownBytes);
    }
    info->grown.reset();
    info->growing = false;
}

py::Ref readThreeDimensional(OpusDataCall& call) {
    ThreeDCall threeD{call, lookup(call.parameters, "NPT"), {}, {}, {}};
    py::Ref fxv = lookup(call.parameters, "FXV");
    py::Ref lxv = lookup(call.parameters, "LXV");
    threeD.mxy = lookup(call.parameters, "MXY");
    threeD.mny = lookup(call.parameters, "MNY");
    // As for a single spectrum, a damaged NPT fails before its axis is made.
    if (PyLong_Check(threeD.npt.get()))
        checkThreeDAxis(call.file.source(), call.located.offsetToData, "NPT", saturatedCount(threeD.npt));
    threeD.abscissa = linspace(call.module, fxv, lxv, threeD.npt);
    threeD.points = countOf(threeD.npt);

    if (isImageMap(call)) return readImageMap(threeD);
    if (hasParameter(call, "ZTX")) return readTimeResolvedSpectra(threeD);
    if (call.located.offsetToANNO == LocatedBlocks::absent && call.request.traces)
        return readTimeResolvedTraces(threeD);
    return readMultiRegionMap(threeD);
}

}  // namespace lumira::extract
