#include "core/python.hpp"
#include "extract/python/call.hpp"

namespace lumira::extract {

py::Ref readThreeDimensional(OpusDataCall& call) {
    PyErr_Format(PyExc_NotImplementedError, "reading 3D data blocks is not implemented yet: %U %U %U",
                 call.request.dataBlockType.get(), call.request.dimensions.get(), call.request.deriv.get());
    throw py::ErrorAlreadySet{};
}

}  // namespace lumira::extract
