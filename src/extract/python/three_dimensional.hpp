// The 3D branch of getOpusData: what every 3D kind shares, and the readers
// of each kind.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "container/cursor.hpp"
#include "core/python.hpp"
#include "extract/python/call.hpp"
#include "extract/record_info.hpp"
#include "extract/text_encoding.hpp"
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
py::Ref labelList(const std::vector<std::vector<std::uint8_t>>& labels, TextEncoding encoding);

// A block's head and the records to read, in result order.
struct RecordPlan {
    BlockHead head;
    std::vector<RecordOffset> records;
    // Each record's z value as the call's decoder read it, when it has one.
    std::vector<double> decodedValues;
};

// Copies `points` floats of each record into consecutive rows of `rows`;
// `visit` sees each record's info record, and `infoRows` (when given) get
// the records' info fields, a row each. Call without the interpreter lock.
void readRecordRows(ByteSource& source, const RecordPlan& plan, std::int64_t points, std::span<float> rows,
                    const InfoVisitor& visit = {}, const std::optional<InfoRows>& infoRows = std::nullopt);

// "need at least one array to concatenate", as stacking no rows fails.
void requireRecords(const RecordPlan& plan);

// The info fields of a 3D block's records, as a NumPy structured array of
// rows laid out as InfoLayout says (one field per infoFields entry).
struct RecordInfo {
    py::Ref array = py::Ref::borrow(Py_None);  // None: not gathered, or beyond the limit
    InfoLayout layout;
    // Rows gathered region by region, before the array is made: `grownBytes` of `grownCapacity`.
    std::unique_ptr<std::uint8_t[]> grown;
    std::size_t grownBytes = 0;
    std::size_t grownCapacity = 0;
    bool growing = false;
};

// The structured dtype of rows of that layout.
py::Ref recordInfoDtype(py::Borrowed module, const InfoLayout& layout);

// An array of rows of `shape`, when their number fits within the file's
// result limit; else None. Its rows hold nothing yet: each is to be stored
// or cleared.
py::Ref recordInfoArray(py::Borrowed module, std::span<const std::int64_t> shape, const InfoLayout& layout,
                        std::uint64_t fileSize);

// The memory of such an array as rows.
InfoRows infoRowsOf(py::Borrowed array, const InfoLayout& layout);

// The call's rows of `shape` for the info fields of the records of a block
// with this head, when it gathers them and they fit; the array they fill
// becomes the call's RecordInfo.
std::optional<InfoRows> recordInfoRows(ThreeDCall& threeD, const BlockHead& head,
                                       std::initializer_list<std::int64_t> shape);

// Rows added one region after another; the array is made once all are read.
std::optional<InfoRows> growRecordInfo(ThreeDCall& threeD, const BlockHead& head, std::size_t rows);
void finishRecordInfo(ThreeDCall& threeD);

}  // namespace lumira::extract
