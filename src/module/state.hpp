// Per-module objects built once at import.
#pragma once

#include <Python.h>

#include "core/ref.hpp"

namespace lumira::module {

struct ModuleState {
    // Every (type, dimension, derivative) triple the listing can name, by
    // ListedBlock::kind(); tuples are immutable, so listings share them.
    PyObject* listedTriples;
};

ModuleState& stateOf(PyObject* module);

void initState(PyObject* module);
int traverseState(PyObject* module, visitproc visit, void* arg);
int clearState(PyObject* module);

}  // namespace lumira::module
