#include <algorithm>

#include "core/python.hpp"
#include "extract/image.hpp"
#include "extract/python/arrays.hpp"
#include "extract/python/parameters.hpp"
#include "extract/python/three_dimensional.hpp"
#include "extract/spectrum.hpp"
#include "module/reports.hpp"

namespace lumira::extract {

namespace {

constexpr const char* gridCodes[] = {"AOX", "AOY", "DDX", "DDY", "NPX", "NPY"};

using Geometry = MapGeometry;

Geometry geometryFrom(py::Borrowed parameters) {
    return {lookup(parameters, "AOX"), lookup(parameters, "AOY"), lookup(parameters, "DDX"),
            lookup(parameters, "DDY"), lookup(parameters, "NPX"), lookup(parameters, "NPY")};
}

bool isZero(py::Borrowed value) {
    py::Ref zero = py::integer(0);
    const int equal = PyObject_RichCompareBool(value, zero.get(), Py_EQ);
    py::check(equal);
    return equal == 1;
}

}  // namespace

Geometry mapGeometry(OpusDataCall& call, bool announce) {
    Geometry geometry = geometryFrom(call.parameters);
    const bool derivative = PyUnicode_CompareWithASCIIString(call.request.deriv.get(), "NONE") != 0;
    if (!derivative || !(isZero(geometry.npx) || isZero(geometry.npy))) return geometry;

    if (announce) py::printLine("Orignal mapping coordinates used");
    ShortReads shortReads;
    const Parameters original = module::parseUnlocked(call.module, shortReads, [&] {
        Cursor cursor(call.file.source(), shortReads, call.decoder);
        Parameters records;
        readParameterBlock(cursor, call.located.offsetToOriginalParams, records);
        return records;
    });
    py::Ref originalParameters = parameterDict(original, call.encoding);
    geometry = geometryFrom(originalParameters);
    const py::Ref* values[] = {&geometry.aox, &geometry.aoy, &geometry.ddx,
                               &geometry.ddy, &geometry.npx, &geometry.npy};
    for (std::size_t i = 0; i < std::size(gridCodes); ++i) py::setItem(call.parameters, gridCodes[i], *values[i]);
    return geometry;
}

namespace {

// np.linspace(origin, origin + step * (count - 1), count)
py::Ref mapAxis(py::Borrowed module, py::Borrowed origin, py::Borrowed step, py::Borrowed count) {
    py::Ref one = py::integer(1);
    py::Ref intervals = py::Ref::fresh(PyNumber_Subtract(count, one.get()));
    py::Ref span = product(step, intervals);
    py::Ref last = py::Ref::fresh(PyNumber_Add(origin, span.get()));
    return linspace(module, origin, last, count);
}

BlockHead readHead(OpusDataCall& call) {
    ShortReads shortReads;
    return module::parseUnlocked(call.module, shortReads, [&] {
        Cursor cursor(call.file.source(), shortReads, call.decoder);
        return readBlockHead(cursor, call.located.offsetToData);
    });
}

py::Ref readSpectraMap(ThreeDCall& threeD, const Geometry& geometry, py::Borrowed mapX, py::Borrowed mapY) {
    OpusDataCall& call = threeD.call;
    py::Ref spectra = call.emptyArrays ? emptyFloat32Shape(call.module, {geometry.npy, geometry.npx, threeD.npt})
                                       : zerosFloat32Shape(call.module, {geometry.npy, geometry.npx, threeD.npt});
    const ImageGrid grid{countOf(geometry.npx), countOf(geometry.npy), threeD.points};
    const BlockHead head = readHead(call);
    const std::optional<InfoRows> infoRows = recordInfoRows(threeD, head, {grid.rows, grid.columns});
    {
        py::WritableBuffer buffer(spectra);
        auto cells = valuesOf<float>(buffer, grid.rows * grid.columns * grid.points);
        ShortReads none;
        module::parseUnlocked(call.module, none,
                              [&] {
            readImageSpectra(call.file.source(), head, grid, cells, infoRows ? &*infoRows : nullptr, call.emptyArrays);
        });
    }
    call.doneReading();
    return threeD.makeResult("ImageDataReturn", {{"mapX", mapX}, {"mapY", mapY}, {"spectra", spectra}});
}

// Each trace record is one whole map of NPY rows of NPX values; the maps are
// stacked along a third axis, traces[:, :, k] being the map labelled labels[k].
py::Ref readTraceMaps(ThreeDCall& threeD, const Geometry& geometry, py::Borrowed mapX, py::Borrowed mapY) {
    OpusDataCall& call = threeD.call;
    ByteSource& source = call.file.source();
    const std::int64_t columns = countOf(geometry.npx);
    const std::int64_t rows = countOf(geometry.npy);
    ShortReads shortReads;
    const RecordPlan plan = module::parseUnlocked(call.module, shortReads, [&] {
        Cursor cursor(source, shortReads, call.decoder);
        RecordPlan traces;
        traces.head = readBlockHead(cursor, call.located.offsetToData);
        traces.records = imageRecords(traces.head, source.size());
        checkTraceMapRecords(source, traces.head, {columns, rows, threeD.points}, traces.records);
        return traces;
    });
    requireRecords(plan);

    const std::size_t count = plan.records.size();
    py::Ref traces = emptyFloat32(call.module, {rows, columns, static_cast<std::int64_t>(count)});
    std::vector<std::vector<std::uint8_t>> labels(count);
    const std::optional<InfoRows> infoRows = recordInfoRows(threeD, plan.head, {static_cast<std::int64_t>(count)});
    {
        py::WritableBuffer buffer(traces);
        auto stacked = valuesOf<float>(buffer, rows * columns * static_cast<std::int64_t>(count));
        py::ReleasedGil unlocked;
        std::vector<float> maps(count * static_cast<std::size_t>(threeD.points));
        readRecordRows(source, plan, threeD.points, maps,
                       [&](std::size_t k, const InfoRecord& info) { labels[k] = info.label(); }, infoRows);
        for (std::size_t k = 0; k < count; ++k) {
            for (std::size_t cell = 0; cell < static_cast<std::size_t>(threeD.points); ++cell)
                stacked[cell * count + k] = maps[k * static_cast<std::size_t>(threeD.points) + cell];
        }
    }
    call.doneReading();
    py::Ref labelTexts = labelList(labels, call.encoding);
    return threeD.makeResult("ImageTRCDataReturn",
                             {{"mapX", mapX}, {"mapY", mapY}, {"labels", labelTexts}, {"traces", traces}});
}

// A grid of spectra is zeros wherever no record fills it, so its size owes
// nothing to the file: refuse one past the limit before any of it is made.
// Counts NumPy would refuse are left to it.
void requireGridWithinLimit(ThreeDCall& threeD, const Geometry& geometry) {
    const std::int64_t columns = PyLong_Check(geometry.npx.get()) ? saturatedCount(geometry.npx) : -1;
    const std::int64_t rows = PyLong_Check(geometry.npy.get()) ? saturatedCount(geometry.npy) : -1;
    if (columns < 0 || rows < 0) return;
    const auto points = static_cast<std::uint64_t>(threeD.points);
    const std::uint64_t cells = valuesTimes(static_cast<std::uint64_t>(rows), static_cast<std::uint64_t>(columns));
    const std::uint64_t axes =
        valuesPlus(points, static_cast<std::uint64_t>(rows) + static_cast<std::uint64_t>(columns));
    requireResultWithinLimit(threeD.call.located.offsetToData, threeD.call.file.source().size(),
                             valuesPlus(valuesTimes(cells, points), axes), [&] {
                                 return "NPY x NPX x NPT = " + std::to_string(rows) + " x " + std::to_string(columns) +
                                        " x " + std::to_string(points);
                             });
}

}  // namespace

MapAxes checkedMapAxes(ThreeDCall& threeD, const MapGeometry& geometry) {
    for (const auto& [code, count] : {std::pair{"NPX", &geometry.npx}, std::pair{"NPY", &geometry.npy}}) {
        if (PyLong_Check(count->get()))
            checkThreeDAxis(threeD.call.file.source(), threeD.call.located.offsetToData, code, saturatedCount(*count));
    }
    // Trace maps are as many as the records, counted once these are known.
    if (!threeD.call.request.traces) requireGridWithinLimit(threeD, geometry);
    return {mapAxis(threeD.call.module, geometry.aox, geometry.ddx, geometry.npx),
            mapAxis(threeD.call.module, geometry.aoy, geometry.ddy, geometry.npy)};
}

py::Ref readImageMap(ThreeDCall& threeD) {
    const Geometry geometry = mapGeometry(threeD.call, true);
    const MapAxes axes = checkedMapAxes(threeD, geometry);
    if (threeD.call.request.traces) return readTraceMaps(threeD, geometry, axes.mapX, axes.mapY);
    return readSpectraMap(threeD, geometry, axes.mapX, axes.mapY);
}

}  // namespace lumira::extract
