// Arrays made through the module's `np`, and filled natively through their buffers.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>

#include "core/python.hpp"

namespace lumira::extract {

// Makes one-dimensional arrays as np.empty(count, dtype=np.float32) and
// np.empty(count, dtype=np.float64) make them, without a call through the
// interpreter: for a read whose np is NumPy itself, with its own empty and
// linspace. Each gives the array and its memory.
class ArrayMaker {
public:
    virtual ~ArrayMaker() = default;
    virtual py::Ref float32s(std::int64_t count, std::span<float>& values) = 0;
    virtual py::Ref float64s(std::int64_t count, std::span<double>& values) = 0;
};

// np.<maker>(shape, dtype=np.<dtype>), looked up through the module's `np`.
py::Ref numpyArray(py::Borrowed module, const char* maker, py::Borrowed shape, const char* dtype);

// np.linspace(first, last, count); `arrays`, when given, makes the axis
// where it is computed natively.
py::Ref linspace(py::Borrowed module, py::Borrowed first, py::Borrowed last, py::Borrowed count,
                 ArrayMaker* arrays = nullptr);

// np.empty(shape, dtype=np.float32) / np.zeros(...): the final arrays that
// records are copied into.
py::Ref emptyFloat32(py::Borrowed module, std::initializer_list<std::int64_t> shape);
py::Ref zerosFloat32(py::Borrowed module, std::initializer_list<std::int64_t> shape);
py::Ref emptyFloat64(py::Borrowed module, std::int64_t length);

// np.zeros(shape, dtype=np.float32) with a shape of Python objects as they
// came from the parameters, so NumPy judges them (negative, not integers).
py::Ref zerosFloat32Shape(py::Borrowed module, std::initializer_list<py::Borrowed> shape);
py::Ref emptyFloat32Shape(py::Borrowed module, std::initializer_list<py::Borrowed> shape);

// A float32 (or float64) array's memory, checked to hold `count` values.
template <typename T>
std::span<T> valuesOf(py::WritableBuffer& buffer, std::int64_t count) {
    auto values = buffer.as<T>();
    if (values.size() != static_cast<std::size_t>(count) || buffer.size() != values.size() * sizeof(T)) {
        PyErr_SetString(PyExc_TypeError, "np did not make an array of the requested type and size");
        throw py::ErrorAlreadySet{};
    }
    return values;
}

// a * b as the host computes it, except that a text is repeated at most
// once: a text product only ever fails later on its type (arithmetic with a
// number, NumPy, a count), whatever its length, while a damaged count could
// make it terabytes long first.
py::Ref product(py::Borrowed a, py::Borrowed b);

// An integer parameter as a count, saturated (-1 below the 64-bit range):
// enough for checks that only care how large it is.
std::int64_t saturatedCount(py::Borrowed integer);

// The value of an integer parameter that NumPy has accepted as a count.
std::int64_t countOf(py::Borrowed value);

}  // namespace lumira::extract
