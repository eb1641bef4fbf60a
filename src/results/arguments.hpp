// Binds call arguments to parameter names the way a Python function does,
// with the host's own error texts, for methods written in C++.
#pragma once

#include <Python.h>

#include <span>
#include <string_view>
#include <vector>

#include "core/ref.hpp"

namespace lumira::results {

struct BoundArguments {
    std::vector<py::Ref> values;  // one per named parameter, in order
    py::Ref extraKeywords;        // the var-keyword dict, when collected
};

// Error messages name the function `className`.__init__. The arguments
// exclude `self`; counts in messages include it, as the host's do.
// `nameObjects` are the interned str objects of `names`, compared first by identity.
BoundArguments bindArguments(std::string_view className, std::span<const std::string_view> names,
                             std::span<PyObject* const> nameObjects, bool collectKeywords, PyObject* const* args,
                             Py_ssize_t nargs, PyObject* kwnames);

}  // namespace lumira::results
