// The 3D branch of getOpusData: what every 3D kind shares, and the readers
// of each kind.
#pragma once

#include <vector>

#include "container/cursor.hpp"
#include "extract/python/call.hpp"
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
    py::Ref makeResult(const char* className, std::initializer_list<std::pair<const char*, py::Borrowed>> own);
};

py::Ref readImageMap(ThreeDCall& threeD);
py::Ref readTimeResolvedSpectra(ThreeDCall& threeD);
py::Ref readTimeResolvedTraces(ThreeDCall& threeD);
py::Ref readMultiRegionMap(ThreeDCall& threeD);

// A list of label texts (Latin-1).
py::Ref labelList(const std::vector<std::vector<std::uint8_t>>& labels);

// The record offsets and what was read from each record's info part.
struct RecordPlan {
    BlockHead head;
    std::vector<RecordOffset> records;
    std::vector<double> values;                     // z values, when asked for
    std::vector<std::vector<std::uint8_t>> labels;  // labels, when asked for
};

// Copies `points` floats of each record into consecutive rows of `rows`.
void copyRecordRows(ByteSource& source, const std::vector<RecordOffset>& records, std::int64_t points,
                    std::span<float> rows);

}  // namespace lumira::extract
