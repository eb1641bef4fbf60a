#include "results/arguments.hpp"

#include <string>

#include "core/python.hpp"

namespace lumira::results {

namespace {

[[noreturn]] void raiseType(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw py::ErrorAlreadySet{};
}

[[noreturn]] void raiseWithName(std::string_view qualname, const char* format, PyObject* name) {
    py::Ref prefix = py::str(qualname);
    PyErr_Format(PyExc_TypeError, format, prefix.get(), name);
    throw py::ErrorAlreadySet{};
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c' -- as the host lists missing arguments.
std::string listNames(const std::vector<std::string_view>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        text.append(1, '\'').append(names[i]).append(1, '\'');
    }
    return text;
}

}  // namespace

BoundArguments bindArguments(std::string_view qualname, std::span<const std::string_view> names, bool collectKeywords,
                             PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArguments bound;
    bound.values.resize(names.size());
    const auto parameterCount = static_cast<Py_ssize_t>(names.size());
    for (Py_ssize_t i = 0; i < nargs && i < parameterCount; ++i)
        bound.values[static_cast<std::size_t>(i)] = py::Ref::borrow(args[i]);
    if (collectKeywords) bound.extraKeywords = py::Ref::fresh(PyDict_New());

    const Py_ssize_t keywordCount = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywordCount; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = args[nargs + k];
        if (!PyUnicode_Check(keyword)) raiseType(std::string(qualname) + "() keywords must be strings");
        Py_ssize_t index = 0;
        for (; index < parameterCount; ++index) {
            if (PyUnicode_CompareWithASCIIString(keyword,
                                                 std::string(names[static_cast<std::size_t>(index)]).c_str()) == 0)
                break;
        }
        if (index == parameterCount) {
            if (!collectKeywords) raiseWithName(qualname, "%U() got an unexpected keyword argument '%U'", keyword);
            py::setItem(bound.extraKeywords, keyword, value);
            continue;
        }
        auto& slot = bound.values[static_cast<std::size_t>(index)];
        if (slot) raiseWithName(qualname, "%U() got multiple values for argument '%U'", keyword);
        slot = py::Ref::borrow(value);
    }

    if (nargs > parameterCount) {
        const Py_ssize_t takes = parameterCount + 1;
        const Py_ssize_t given = nargs + 1;
        raiseType(std::string(qualname) + "() takes " + std::to_string(takes) + " positional argument" +
                  (takes == 1 ? "" : "s") + " but " + std::to_string(given) + (given == 1 ? " was" : " were") +
                  " given");
    }
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < names.size(); ++i)
        if (!bound.values[i]) missing.push_back(names[i]);
    if (!missing.empty()) {
        raiseType(std::string(qualname) + "() missing " + std::to_string(missing.size()) +
                  " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " + listNames(missing));
    }
    return bound;
}

}  // namespace lumira::results
