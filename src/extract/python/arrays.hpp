// Arrays made through the module's `np`, and filled natively through their buffers.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "core/python.hpp"

namespace lumira::extract {

// np.linspace(first, last, count)
py::Ref linspace(py::Borrowed module, py::Borrowed first, py::Borrowed last, py::Borrowed count);

// np.empty(shape, dtype=np.float32) / np.zeros(...): the final arrays that
// records are copied into.
py::Ref emptyFloat32(py::Borrowed module, std::initializer_list<std::int64_t> shape);
py::Ref zerosFloat32(py::Borrowed module, std::initializer_list<std::int64_t> shape);
py::Ref zerosFloat64(py::Borrowed module, std::int64_t length);

// The value of an integer parameter that NumPy has accepted as a count.
std::int64_t countOf(py::Borrowed value);

}  // namespace lumira::extract
