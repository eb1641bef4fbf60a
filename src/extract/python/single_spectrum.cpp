#include "core/python.hpp"
#include "extract/python/arrays.hpp"
#include "extract/python/call.hpp"
#include "extract/python/parameters.hpp"
#include "extract/spectrum.hpp"

namespace lumira::extract {

py::Ref readSingleSpectrum(OpusDataCall& call) {
    py::Ref npt = lookup(call.parameters, "NPT");
    py::Ref fxv = lookup(call.parameters, "FXV");
    py::Ref lxv = lookup(call.parameters, "LXV");
    py::Ref mxy = lookup(call.parameters, "MXY");
    py::Ref mny = lookup(call.parameters, "MNY");
    const std::int64_t offset = call.located.offsetToData;
    ByteSource& source = call.file.source();
    if (PyLong_Check(npt.get())) checkPointCount(source, offset, saturatedCount(npt));
    // The axis comes first, so a bad NPT fails before the data block is touched.
    py::Ref x = linspace(call.module, fxv, lxv, npt, call.arrays);

    const auto count =
        static_cast<std::int64_t>(floatsAvailable(source, offset, static_cast<std::uint64_t>(countOf(npt))));
    const auto read = [&](std::span<float> values) {
        py::ReleasedGil unlocked(py::worthReleasing(values.size_bytes()));
        readFloats(source, offset, values);
        if (call.file.isNative()) call.doneReading();
    };
    py::Ref y;
    if (call.arrays != nullptr) {
        std::span<float> values;
        y = call.arrays->float32s(count, values);
        read(values);
    } else {
        y = emptyFloat32(call.module, {count});
        py::WritableBuffer buffer(y);
        read(valuesOf<float>(buffer, count));
    }
    call.doneReading();

    return makeResult(call, "SingleDataReturn",
                      {{"dimension", call.request.dimensions},
                       {"dataType", call.request.dataBlockType},
                       {"deriv", call.request.deriv},
                       {"x", x},
                       {"y", y},
                       {"minY", mny},
                       {"maxY", mxy},
                       {"parameters", call.parameters}});
}

}  // namespace lumira::extract
