#include "extract/python/arrays.hpp"

namespace lumira::extract {

namespace {

py::Ref shapeOf(std::initializer_list<std::int64_t> shape) {
    py::Ref tuple = py::Ref::fresh(PyTuple_New(static_cast<Py_ssize_t>(shape.size())));
    Py_ssize_t i = 0;
    for (std::int64_t extent : shape) PyTuple_SET_ITEM(tuple.get(), i++, py::integer(extent).release());
    return tuple;
}

py::Ref makeArray(py::Borrowed module, const char* maker, py::Borrowed shape, const char* dtype) {
    py::Ref np = py::moduleName(module, "np");
    py::Ref function = py::attr(np, maker);
    py::Ref type = py::attr(np, dtype);
    py::Ref kwargs = py::Ref::fresh(PyDict_New());
    py::setItem(kwargs, "dtype", type);
    return py::call(function, {shape}, kwargs);
}

}  // namespace

py::Ref linspace(py::Borrowed module, py::Borrowed first, py::Borrowed last, py::Borrowed count) {
    py::Ref np = py::moduleName(module, "np");
    py::Ref function = py::attr(np, "linspace");
    return py::call(function, {first, last, count});
}

py::Ref emptyFloat32(py::Borrowed module, std::initializer_list<std::int64_t> shape) {
    return makeArray(module, "empty", shapeOf(shape), "float32");
}

py::Ref zerosFloat32(py::Borrowed module, std::initializer_list<std::int64_t> shape) {
    return makeArray(module, "zeros", shapeOf(shape), "float32");
}

py::Ref zerosFloat64(py::Borrowed module, std::int64_t length) {
    return makeArray(module, "zeros", py::integer(length), "float64");
}

py::Ref emptyFloat64(py::Borrowed module, std::int64_t length) {
    return makeArray(module, "empty", py::integer(length), "float64");
}

py::Ref zerosFloat32Shape(py::Borrowed module, std::initializer_list<py::Borrowed> shape) {
    return makeArray(module, "zeros", py::tuple(shape), "float32");
}

std::int64_t countOf(py::Borrowed value) {
    py::Ref index = py::Ref::fresh(PyNumber_Index(value));
    const long long count = PyLong_AsLongLong(index.get());
    if (count == -1 && PyErr_Occurred()) throw py::ErrorAlreadySet{};
    return count;
}

}  // namespace lumira::extract
