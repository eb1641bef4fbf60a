// Per-module objects built once at import.
#pragma once

#include <Python.h>

#include "core/ref.hpp"
#include "results/classes.hpp"

namespace lumira::module {

struct ModuleState {
    // Every (type, dimension, derivative) triple the listing can name, by
    // ListedBlock::kind(); tuples are immutable, so listings share them.
    PyObject* listedTriples;
    // numpy.linspace as imported: when the module's np still gives this
    // function, axes are computed natively with the same arithmetic.
    PyObject* numpyLinspace;
    // numpy.empty as imported: with it and numpy.linspace still the module's,
    // its arrays may be made through NumPy's C API (see ArrayMaker).
    PyObject* numpyEmpty;
    // The built-in open as it was at import (io.open): while open is still
    // this function, files can be opened natively with the same result.
    PyObject* hostOpen;
    // struct.unpack as imported: while the module's `unpack` is still this
    // function, fields and the magic are decoded natively.
    PyObject* structUnpack;
    // The result classes as the module took them up: built without their
    // constructors' calls while they stay as they are.
    results::KnownClasses knownClasses;
};

ModuleState& stateOf(PyObject* module);

void initState(PyObject* module);
int traverseState(PyObject* module, visitproc visit, void* arg);
int clearState(PyObject* module);

}  // namespace lumira::module
