#include "extract/python/arrays.hpp"

#include <cmath>
#include <limits>
#include <optional>

#include "extract/linspace.hpp"
#include "module/state.hpp"

namespace lumira::extract {

namespace {

py::Ref shapeOf(std::initializer_list<std::int64_t> shape) {
    py::Ref tuple = py::Ref::fresh(PyTuple_New(static_cast<Py_ssize_t>(shape.size())));
    Py_ssize_t i = 0;
    for (std::int64_t extent : shape) PyTuple_SET_ITEM(tuple.get(), i++, py::integer(extent).release());
    return tuple;
}

// A Python float, or an int that a double holds exactly enough for NumPy's
// own conversion to agree (it converts through int64).
std::optional<double> plainNumber(py::Borrowed value) {
    if (PyFloat_CheckExact(value.get())) return PyFloat_AS_DOUBLE(value.get());
    if (!PyLong_CheckExact(value.get())) return std::nullopt;
    int overflow = 0;
    const long long integer = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow != 0 || (integer == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return std::nullopt;
    }
    return static_cast<double>(integer);
}

}  // namespace

py::Ref numpyArray(py::Borrowed module, const char* maker, py::Borrowed shape, const char* dtype) {
    py::Ref np = py::moduleName(module, "np");
    py::Ref function = py::attr(np, maker);
    py::Ref type = py::attr(np, dtype);
    // np.<maker>(shape, dtype=type), the keyword passed without a dictionary.
    static PyObject* const dtypeKeyword = py::tuple({py::interned("dtype")}).release();
    PyObject* arguments[] = {shape.get(), type.get()};
    return py::Ref::fresh(PyObject_Vectorcall(function.get(), arguments, 1, dtypeKeyword));
}

py::Ref linspace(py::Borrowed module, py::Borrowed first, py::Borrowed last, py::Borrowed count,
                 ArrayMaker* arrays) {
    const auto start = plainNumber(first);
    const auto stop = plainNumber(last);
    long long samples = -1;  // NumPy judges anything but a plain non-negative int
    if (PyLong_CheckExact(count.get())) {
        int overflow = 0;
        samples = PyLong_AsLongLongAndOverflow(count, &overflow);
        if (overflow != 0 || PyErr_Occurred()) {
            PyErr_Clear();
            samples = -1;
        }
    }
    // Infinite or NaN ends make NumPy warn about invalid values: leave those to it.
    const bool finite = start && stop && std::isfinite(*start) && std::isfinite(*stop) && std::isfinite(*stop - *start);
    const auto length = static_cast<std::int64_t>(samples);
    if (arrays != nullptr && finite && samples >= 0) {
        std::span<double> values;
        py::Ref axis = arrays->float64s(length, values);
        fillEvenlySpaced(*start, *stop, values);
        return axis;
    }
    py::Ref np = py::moduleName(module, "np");
    py::Ref function = py::attr(np, "linspace");
    const bool isNumpys = function.get() == module::stateOf(module).numpyLinspace;
    if (!isNumpys || !finite || samples < 0) return py::call(function, {first, last, count});

    py::Ref axis = numpyArray(module, "empty", py::integer(length), "float64");
    py::WritableBuffer buffer(axis);
    fillEvenlySpaced(*start, *stop, valuesOf<double>(buffer, length));
    return axis;
}

py::Ref emptyFloat32(py::Borrowed module, std::initializer_list<std::int64_t> shape) {
    return numpyArray(module, "empty", shapeOf(shape), "float32");
}

py::Ref zerosFloat32(py::Borrowed module, std::initializer_list<std::int64_t> shape) {
    return numpyArray(module, "zeros", shapeOf(shape), "float32");
}

py::Ref emptyFloat64(py::Borrowed module, std::int64_t length) {
    return numpyArray(module, "empty", py::integer(length), "float64");
}

py::Ref zerosFloat32Shape(py::Borrowed module, std::initializer_list<py::Borrowed> shape) {
    return numpyArray(module, "zeros", py::tuple(shape), "float32");
}

py::Ref emptyFloat32Shape(py::Borrowed module, std::initializer_list<py::Borrowed> shape) {
    return numpyArray(module, "empty", py::tuple(shape), "float32");
}

py::Ref product(py::Borrowed a, py::Borrowed b) {
    const auto atMostOnce = [](py::Borrowed times) {
        py::Ref one = py::integer(1);
        const int more = PyObject_RichCompareBool(times, one.get(), Py_GT);
        py::check(more);
        return more == 1 ? one : py::Ref::borrow(times);
    };
    if (PyUnicode_Check(a.get()) && PyLong_Check(b.get()))
        return py::Ref::fresh(PyNumber_Multiply(a, atMostOnce(b).get()));
    if (PyLong_Check(a.get()) && PyUnicode_Check(b.get()))
        return py::Ref::fresh(PyNumber_Multiply(atMostOnce(a).get(), b));
    return py::Ref::fresh(PyNumber_Multiply(a, b));
}

std::int64_t saturatedCount(py::Borrowed integer) {
    int overflow = 0;
    const long long count = PyLong_AsLongLongAndOverflow(integer, &overflow);
    if (overflow != 0) return overflow > 0 ? std::numeric_limits<std::int64_t>::max() : -1;
    if (count == -1 && PyErr_Occurred()) throw py::ErrorAlreadySet{};
    return count;
}

std::int64_t countOf(py::Borrowed value) {
    py::Ref index = py::Ref::fresh(PyNumber_Index(value));
    const long long count = PyLong_AsLongLong(index.get());
    if (count == -1 && PyErr_Occurred()) throw py::ErrorAlreadySet{};
    return count;
}

}  // namespace lumira::extract
