// Arrays of whole-file reads made through NumPy's C API.
#pragma once

#include <Python.h>

#include "extract/python/arrays.hpp"

namespace lumira::companion {

// Loads NumPy's C API into this module (at its import).
void importNumpyApi();

// The maker of a read's arrays when the module's np is NumPy with its own
// empty and linspace (the arrays np.empty makes, made without calling it);
// null otherwise, when they are made through np.
extract::ArrayMaker* numpyArrays(py::Borrowed module);

}  // namespace lumira::companion
