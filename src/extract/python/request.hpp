// The caller's request: three texts upper-cased, checked against the request
// tables in a fixed order, and turned into block type codes.
#pragma once

#include "core/ref.hpp"
#include "extract/request.hpp"

namespace lumira::extract {

struct Request {
    py::Ref dataBlockType;  // the upper-cased texts, as the results carry them
    py::Ref dimensions;
    py::Ref deriv;
    RequestCodes codes;
    bool threeD;
    bool traces;  // the data block type is "TRC"
};

Request resolveRequest(py::Borrowed datablock);

// "No data block exists in the file for: AB 2D NONE"
[[noreturn]] void raiseNoDataBlock(const Request& request);

}  // namespace lumira::extract
