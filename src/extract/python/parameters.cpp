#include "extract/python/parameters.hpp"

#include "core/python.hpp"
#include "core/text.hpp"

namespace lumira::extract {

py::Ref valueOf(const ParameterValue& value, TextEncoding encoding) {
    if (const auto* integer = std::get_if<std::int32_t>(&value)) return py::integer(*integer);
    if (const auto* real = std::get_if<double>(&value)) return py::real(*real);
    return py::text(std::get<ParameterText>(value).bytes, encoding);
}

void store(py::Borrowed into, const Parameter& parameter, TextEncoding encoding) {
    py::Ref key = py::interned(parameter.name);  // names were checked to be UTF-8
    py::Ref value = valueOf(parameter.value, encoding);
    py::setItem(into, key, value);
}

py::Ref parameterDict(const Parameters& parameters, TextEncoding encoding) {
    py::Ref dict = py::Ref::fresh(PyDict_New());
    for (const Parameter& parameter : parameters) store(dict, parameter, encoding);
    return dict;
}

py::Ref lookup(py::Borrowed parameters, const char* name) {
    py::Ref key = py::interned(name);
    PyObject* value = PyDict_GetItemWithError(parameters, key.get());  // borrowed
    if (value == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key.get());
        throw py::ErrorAlreadySet{};
    }
    return py::Ref::borrow(value);
}

}  // namespace lumira::extract
