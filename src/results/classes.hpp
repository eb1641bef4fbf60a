// The result classes: plain Python classes (metaclass `type`, instance
// dictionaries) whose methods are written in C++.
#pragma once

#include <Python.h>

namespace lumira::results {

// Creates the nine classes in their fixed order and binds each under its
// name in the module namespace.
void addResultClasses(PyObject* module);

}  // namespace lumira::results
