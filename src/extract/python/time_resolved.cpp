#include "core/python.hpp"
#include "extract/python/arrays.hpp"
#include "extract/python/three_dimensional.hpp"
#include "module/reports.hpp"

namespace lumira::extract {

namespace {

enum class InfoPart { Value, Label };

// Record offsets from the store table, each record checked to be whole in
// turn. A z value cut off by the end of the file is read (and reported) here,
// in record order; the whole ones are taken while the records are copied.
// With a decoder, every z value is read here, through it.
RecordPlan planRecords(ThreeDCall& threeD, InfoPart part) {
    OpusDataCall& call = threeD.call;
    ByteSource& source = call.file.source();
    ShortReads shortReads;
    return module::parseUnlocked(call.module, shortReads, [&] {
        Cursor cursor(source, shortReads, call.decoder);
        RecordPlan plan;
        plan.head = readBlockHead(cursor, call.located.offsetToData);
        plan.records = recordOffsets(plan.head, source.size());
        if (part == InfoPart::Label) plan.head.infoSize = readInfoSize(cursor, call.located.offsetToData);
        for (const RecordOffset& record : plan.records) {
            requireWholeRecord(plan.head, source, record.number, record.offset, threeD.points);
            if (part != InfoPart::Value) continue;
            if (call.decoder != nullptr) {
                plan.decodedValues.push_back(readRecordValue(cursor, plan.head, record.offset));
            } else if (recordValueCut(source, plan.head, record.offset)) {
                readRecordValue(cursor, plan.head, record.offset);
            }
        }
        // The spectra or traces, a z value per spectrum, and the x axis.
        const std::uint64_t perRecord = part == InfoPart::Value ? 1 : 0;
        const std::uint64_t values = recordResultValues(plan.records.size(), threeD.points, perRecord,
                                                        static_cast<std::uint64_t>(threeD.points));
        requireRecordsWithinLimit(plan.head, source.size(), values, plan.records.size(), threeD.points);
        return plan;
    });
}

}  // namespace

py::Ref readTimeResolvedSpectra(ThreeDCall& threeD) {
    const RecordPlan plan = planRecords(threeD, InfoPart::Value);
    requireRecords(plan);
    const auto count = static_cast<std::int64_t>(plan.records.size());
    py::Ref spectra = emptyFloat32(threeD.call.module, {count, threeD.points});
    py::Ref z = emptyFloat64(threeD.call.module, count);
    const std::optional<InfoRows> infoRows = recordInfoRows(threeD, plan.head, {count});
    {
        py::WritableBuffer rowBuffer(spectra);
        py::WritableBuffer zBuffer(z);
        auto rows = valuesOf<float>(rowBuffer, count * threeD.points);
        auto zValues = valuesOf<double>(zBuffer, count);
        py::ReleasedGil unlocked;
        readRecordRows(threeD.call.file.source(), plan, threeD.points, rows,
                       [&](std::size_t k, const InfoRecord& info) {
                           zValues[k] = plan.decodedValues.empty() ? info.value().value_or(0.0) : plan.decodedValues[k];
                       }, infoRows);
    }
    threeD.call.doneReading();
    return threeD.makeResult("TimeResolvedDataReturn", {{"z", z}, {"spectra", spectra}});
}

py::Ref readTimeResolvedTraces(ThreeDCall& threeD) {
    const RecordPlan plan = planRecords(threeD, InfoPart::Label);
    requireRecords(plan);
    const auto count = static_cast<std::int64_t>(plan.records.size());
    py::Ref traces = emptyFloat32(threeD.call.module, {count, threeD.points});
    std::vector<std::vector<std::uint8_t>> labels(plan.records.size());
    const std::optional<InfoRows> infoRows = recordInfoRows(threeD, plan.head, {count});
    {
        py::WritableBuffer buffer(traces);
        auto rows = valuesOf<float>(buffer, count * threeD.points);
        py::ReleasedGil unlocked;
        readRecordRows(threeD.call.file.source(), plan, threeD.points, rows,
                       [&](std::size_t k, const InfoRecord& info) { labels[k] = info.label(); }, infoRows);
    }
    threeD.call.doneReading();
    py::Ref labelTexts = labelList(labels, threeD.call.encoding);
    return threeD.makeResult("TimeResolvedTRCDataReturn", {{"labels", labelTexts}, {"traces", traces}});
}

}  // namespace lumira::extract
