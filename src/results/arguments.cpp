#include "results/arguments.hpp"

#include <string>

#include "core/python.hpp"

namespace lumira::results {

namespace {

std::string qualnameOf(std::string_view className) { return std::string(className) + ".__init__"; }

[[noreturn]] void raiseType(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw py::ErrorAlreadySet{};
}

[[noreturn]] void raiseWithName(std::string_view className, const char* format, PyObject* name) {
    py::Ref prefix = py::str(qualnameOf(className));
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

// The parameter a keyword names, or -1. Keywords are usually the interned
// names themselves, so identity settles most comparisons.
Py_ssize_t parameterIndex(PyObject* keyword, std::span<const std::string_view> names,
                          std::span<PyObject* const> nameObjects) {
    for (std::size_t i = 0; i < nameObjects.size(); ++i)
        if (keyword == nameObjects[i]) return static_cast<Py_ssize_t>(i);
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(keyword, &length);
    if (text == nullptr) {
        PyErr_Clear();
        return -1;
    }
    const std::string_view wanted(text, static_cast<std::size_t>(length));
    for (std::size_t i = 0; i < names.size(); ++i)
        if (names[i] == wanted) return static_cast<Py_ssize_t>(i);
    return -1;
}

}  // namespace

BoundArguments bindArguments(std::string_view className, std::span<const std::string_view> names,
                             std::span<PyObject* const> nameObjects, bool collectKeywords, PyObject* const* args,
                             Py_ssize_t nargs, PyObject* kwnames) {
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
        if (!PyUnicode_Check(keyword)) raiseType(qualnameOf(className) + "() keywords must be strings");
        const Py_ssize_t index = parameterIndex(keyword, names, nameObjects);
        if (index < 0) {
            if (!collectKeywords) raiseWithName(className, "%U() got an unexpected keyword argument '%U'", keyword);
            py::setItem(bound.extraKeywords, keyword, value);
            continue;
        }
        auto& slot = bound.values[static_cast<std::size_t>(index)];
        if (slot) raiseWithName(className, "%U() got multiple values for argument '%U'", keyword);
        slot = py::Ref::borrow(value);
    }

    if (nargs > parameterCount) {
        const Py_ssize_t takes = parameterCount + 1;
        const Py_ssize_t given = nargs + 1;
        raiseType(qualnameOf(className) + "() takes " + std::to_string(takes) + " positional argument" +
                  (takes == 1 ? "" : "s") + " but " + std::to_string(given) + (given == 1 ? " was" : " were") +
                  " given");
    }
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < names.size(); ++i)
        if (!bound.values[i]) missing.push_back(names[i]);
    if (!missing.empty()) {
        raiseType(qualnameOf(className) + "() missing " + std::to_string(missing.size()) +
                  " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " + listNames(missing));
    }
    return bound;
}

}  // namespace lumira::results
