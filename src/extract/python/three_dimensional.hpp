// The 3D branch of getOpusData: what every 3D kind shares, and the readers
// of each kind.
#pragma once

#include <vector>

#include "container/cursor.hpp"
#include "core/python.hpp"
#include "extract/python/call.hpp"
#include "extract/record_info.hpp"
#include "extract/records.hpp"
#include "extract/three_d.hpp"

namespace lumira::extract {

struct ThreeDCall {
    OpusDataCall& call;
    py::Ref npt;
    py::Ref mxy;
    py::Ref mny;
    py::Ref abscissa;         // the spectral x axis
    std::int64_t points = 0;  // NPT as a count

    // Builds a result from the seven base values followed by `own`.
    py::Ref makeResult(const char* className, std::initializer_list<py::Keyword> own);
};

py::Ref readImageMap(ThreeDCall& threeD);

// The grid of an image map: AOX, AOY, DDX, DDY, NPX, NPY.
struct MapGeometry {
    py::Ref aox, aoy, ddx, ddy, npx, npy;
};

// The block's own grid; a derivative map without one (NPX or NPY 0) takes
// the underived block's, which then replaces its own in call.parameters.
// `announce` prints the notice getOpusData prints when it does.
MapGeometry mapGeometry(OpusDataCall& call, bool announce);

// The map's axes, made after the checks that come before them: NPX and NPY
// against the file, and for a map of spectra its whole result against the
// limit (a grid is zeros wherever no record fills it).
struct MapAxes {
    py::Ref mapX, mapY;
};
MapAxes checkedMapAxes(ThreeDCall& threeD, const MapGeometry& geometry);
py::Ref readTimeResolvedSpectra(ThreeDCall& threeD);
py::Ref readTimeResolvedTraces(ThreeDCall& threeD);
py::Ref readMultiRegionMap(ThreeDCall& threeD);

// A list of label texts (code page 1252).
py::Ref labelList(const std::vector<std::vector<std::uint8_t>>& labels);

// A block's head and the records to read, in result order.
struct RecordPlan {
    BlockHead head;
    std::vector<RecordOffset> records;
    // Each record's z value as the call's decoder read it, when it has one.
    std::vector<double> decodedValues;
};

// Copies `points` floats of each record into consecutive rows of `rows`;
// `visit` sees each record's info record. Call without the interpreter lock.
void readRecordRows(ByteSource& source, const RecordPlan& plan, std::int64_t points, std::span<float> rows,
                    const InfoVisitor& visit = {});

// "need at least one array to concatenate", as stacking no rows fails.
void requireRecords(const RecordPlan& plan);

// The call's table of record info fields reset to rows of `shape`, when the
// call gathers them and they fit within the result limit; else nullptr.
InfoTable* recordInfoTable(ThreeDCall& threeD, std::initializer_list<std::int64_t> shape);

// The fields of a table as a dict from field name to an array of the
// table's shape (int32 or float64); None when the table was not available.
py::Ref recordInfoArrays(py::Borrowed module, const InfoTable& table);

}  // namespace lumira::extract
