// The result classes: plain Python classes (metaclass `type`, instance
// dictionaries) whose methods are written in C++.
#pragma once

#include <Python.h>

#include <span>
#include <string_view>

#include "core/python.hpp"

namespace lumira::results {

// Creates the nine classes in their fixed order and binds each under its
// name in the module namespace.
void addResultClasses(PyObject* module);

// The classes as they were when a module took them up, so that a result can
// be built without its constructor's call while nothing of them has changed.
struct KnownClass {
    PyObject* cls = nullptr;
    PyObject* init = nullptr;  // its own __init__ descriptor
    PyObject* mro = nullptr;
    Py_ssize_t attributes = 0;  // entries of its __dict__
};

struct KnownClasses {
    KnownClass classes[9];  // in the order of creation, BaseDataReturn first

    // Records the classes bound in `module` (made by this module or taken from `lumira`).
    void record(PyObject* module);
    int traverse(visitproc visit, void* arg);
    void clear();
};

// cls(**keywords), for a result class or Region found in the module under
// `name`. While the class is one of `known`, untouched, the instance gets
// the attributes its constructor would set, in the same order, without the
// call; otherwise the class is called.
py::Ref construct(const KnownClasses& known, py::Borrowed cls, std::string_view name,
                  std::span<const py::Keyword> keywords);

}  // namespace lumira::results
