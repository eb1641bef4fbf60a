#include "extract/python/three_dimensional.hpp"

#include "core/python.hpp"
#include "core/text.hpp"
#include "extract/python/arrays.hpp"
#include "extract/python/parameters.hpp"
#include "extract/spectrum.hpp"

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

py::Ref labelList(const std::vector<std::vector<std::uint8_t>>& labels) {
    py::Ref list = py::Ref::fresh(PyList_New(static_cast<Py_ssize_t>(labels.size())));
    for (std::size_t i = 0; i < labels.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), py::text(labels[i]).release());
    return list;
}

void readRecordRows(ByteSource& source, const RecordPlan& plan, std::int64_t points, std::span<float> rows,
                    const InfoVisitor& visit) {
    const auto width = static_cast<std::size_t>(points);
    std::vector<RecordTarget> targets;
    targets.reserve(plan.records.size());
    for (std::size_t k = 0; k < plan.records.size(); ++k)
        targets.push_back({plan.records[k].offset, rows.subspan(k * width, width)});
    copyRecords(source, plan.head, targets, visit);
}

void requireRecords(const RecordPlan& plan) {
    if (plan.records.empty()) {
        PyErr_SetString(PyExc_ValueError, "need at least one array to concatenate");
        throw py::ErrorAlreadySet{};
    }
}

InfoTable* recordInfoTable(ThreeDCall& threeD, std::initializer_list<std::int64_t> shape) {
    InfoTable* table = threeD.call.recordInfo;
    if (table == nullptr) return nullptr;
    return table->reset(std::span(shape.begin(), shape.size()), threeD.call.file.source().size()) ? table : nullptr;
}

py::Ref recordInfoArrays(py::Borrowed module, const InfoTable& table) {
    if (!table.available()) return py::Ref::borrow(Py_None);
    py::Ref shape = py::Ref::fresh(PyTuple_New(static_cast<Py_ssize_t>(table.shape().size())));
    for (std::size_t i = 0; i < table.shape().size(); ++i)
        PyTuple_SET_ITEM(shape.get(), static_cast<Py_ssize_t>(i), py::integer(table.shape()[i]).release());
    const auto rows = static_cast<std::int64_t>(table.rows());
    py::Ref fields = py::Ref::fresh(_PyDict_NewPresized(static_cast<Py_ssize_t>(infoFields.size())));
    for (std::size_t k = 0; k < infoFields.size(); ++k) {
        const InfoField& field = infoFields[k];
        py::Ref column = numpyArray(module, "empty", shape, field.real ? "float64" : "int32");
        {
            py::WritableBuffer buffer(column);
            if (field.real) {
                std::ranges::copy(table.reals(k), valuesOf<double>(buffer, rows).begin());
            } else {
                std::ranges::copy(table.integers(k), valuesOf<std::int32_t>(buffer, rows).begin());
            }
        }
        py::setItem(fields, py::interned(field.name), column);
    }
    return fields;
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
