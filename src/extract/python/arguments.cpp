#include "extract/python/arguments.hpp"

#include <array>

#include "core/python.hpp"

namespace lumira::extract {

namespace {

constexpr const char* functionName = "getOpusData";
constexpr std::array<const char*, 2> parameterNames{"path", "datablock"};

[[noreturn]] void raiseCount(Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", functionName,
                 "exactly", Py_ssize_t{2}, "s", given);
    throw py::ErrorAlreadySet{};
}

Py_ssize_t parameterIndex(PyObject* keyword) {
    for (std::size_t i = 0; i < parameterNames.size(); ++i)
        if (PyUnicode_CompareWithASCIIString(keyword, parameterNames[i]) == 0) return static_cast<Py_ssize_t>(i);
    return -1;
}

// Keywords left over once the missing positions were filled: each must name
// a parameter not already given by position.
void checkRemainingKeywords(PyObject* kwargs, Py_ssize_t positional) {
    Py_ssize_t pos = 0;
    PyObject* keyword = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &keyword, &value)) {
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", functionName);
            throw py::ErrorAlreadySet{};
        }
        const Py_ssize_t index = parameterIndex(keyword);
        if (index >= positional) continue;
        if (index >= 0) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", functionName, keyword);
        } else {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", functionName, keyword);
        }
        throw py::ErrorAlreadySet{};
    }
}

}  // namespace

OpusDataArguments parseOpusDataArguments(PyObject* args, PyObject* kwargs) {
    const Py_ssize_t positional = PyTuple_GET_SIZE(args);
    std::array<PyObject*, 2> values{nullptr, nullptr};
    if (positional > 2) raiseCount(positional);
    for (Py_ssize_t i = 0; i < positional; ++i) values[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);

    const bool hasKeywords = kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0;
    if (!hasKeywords) {
        if (positional != 2) raiseCount(positional);
    } else {
        Py_ssize_t unused = PyDict_GET_SIZE(kwargs);
        for (Py_ssize_t i = positional; i < 2; ++i) {
            PyObject* value = PyDict_GetItemString(kwargs, parameterNames[static_cast<std::size_t>(i)]);
            if (value == nullptr) raiseCount(i == 0 ? positional : i);
            values[static_cast<std::size_t>(i)] = value;
            --unused;
        }
        if (unused > 0) checkRemainingKeywords(kwargs, positional);
    }

    PyObject* path = values[0];
    if (path != Py_None && !PyUnicode_CheckExact(path)) {
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", "path",
                     "str", Py_TYPE(path)->tp_name);
        throw py::ErrorAlreadySet{};
    }
    return {path, values[1]};
}

}  // namespace lumira::extract
