#include <algorithm>

#include "core/python.hpp"
#include "extract/python/arrays.hpp"
#include "extract/python/three_dimensional.hpp"
#include "module/reports.hpp"

namespace lumira::extract {

namespace {

enum class InfoPart { Value, Label };

// Record offsets from the store table, each record checked to be whole, and
// its z value or label read, record by record as the file is laid out.
RecordPlan planRecords(ThreeDCall& threeD, InfoPart part) {
    OpusDataCall& call = threeD.call;
    ByteSource& source = call.file.source();
    ShortReads shortReads;
    return module::parseUnlocked(call.module, shortReads, [&] {
        Cursor cursor(source, shortReads);
        RecordPlan plan;
        plan.head = readBlockHead(cursor, call.located.offsetToData);
        plan.records = recordOffsets(plan.head, source.size());
        if (part == InfoPart::Label) plan.head.infoSize = readInfoSize(cursor, call.located.offsetToData);
        for (const RecordOffset& record : plan.records) {
            requireWholeRecord(plan.head, source, record.number, record.offset, threeD.points);
            if (part == InfoPart::Value) {
                plan.values.push_back(readRecordValue(cursor, plan.head, record.offset));
            } else {
                plan.labels.push_back(readRecordLabel(cursor, plan.head, record.offset));
            }
        }
        return plan;
    });
}

void requireRecords(const RecordPlan& plan) {
    if (plan.records.empty()) {
        PyErr_SetString(PyExc_ValueError, "need at least one array to concatenate");
        throw py::ErrorAlreadySet{};
    }
}

// The (records, NPT) float32 array of every record's values, in plan order.
py::Ref recordRows(ThreeDCall& threeD, const RecordPlan& plan, std::span<const double> values = {},
                   py::Ref* valueArray = nullptr) {
    const auto count = static_cast<std::int64_t>(plan.records.size());
    py::Ref rows = emptyFloat32(threeD.call.module, {count, threeD.points});
    if (valueArray != nullptr) *valueArray = emptyFloat64(threeD.call.module, count);
    py::WritableBuffer rowBuffer(rows);
    auto rowValues = valuesOf<float>(rowBuffer, count * threeD.points);
    if (valueArray != nullptr) {
        py::WritableBuffer valueBuffer(*valueArray);
        std::ranges::copy(values, valuesOf<double>(valueBuffer, count).begin());
    }
    py::ReleasedGil unlocked;
    copyRecordRows(threeD.call.file.source(), plan.records, threeD.points, rowValues);
    return rows;
}

}  // namespace

py::Ref readTimeResolvedSpectra(ThreeDCall& threeD) {
    const RecordPlan plan = planRecords(threeD, InfoPart::Value);
    requireRecords(plan);
    py::Ref z;
    py::Ref spectra = recordRows(threeD, plan, plan.values, &z);
    threeD.call.file.close();
    return threeD.makeResult("TimeResolvedDataReturn", {{"z", z}, {"spectra", spectra}});
}

py::Ref readTimeResolvedTraces(ThreeDCall& threeD) {
    const RecordPlan plan = planRecords(threeD, InfoPart::Label);
    requireRecords(plan);
    py::Ref traces = recordRows(threeD, plan);
    threeD.call.file.close();
    py::Ref labels = labelList(plan.labels);
    return threeD.makeResult("TimeResolvedTRCDataReturn", {{"labels", labels}, {"traces", traces}});
}

}  // namespace lumira::extract
