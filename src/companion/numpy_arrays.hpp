// Arrays of whole-file reads made through NumPy's C API.
#pragma once

#include <Python.h>

#include <optional>
#include <span>

#include "extract/python/arrays.hpp"

namespace lumira::companion {

// The memory of a NumPy array of float32 values that lie in it one after the
// other, writable; nothing for anything else (read through its buffer then).
std::optional<std::span<float>> float32Memory(py::Borrowed array);

// Loads NumPy's C API into this module (at its import).
void importNumpyApi();

// The maker of a read's arrays when the module's np is NumPy with its own
// empty and linspace (the arrays np.empty makes, made without calling it);
// null otherwise, when they are made through np.
extract::ArrayMaker* numpyArrays(py::Borrowed module);

}  // namespace lumira::companion
