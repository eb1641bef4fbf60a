// The parameter blocks of one file as read_file gives them: parsed natively
// once, and turned into dictionaries only when asked for. Every block of a
// file shares its store; a block's groups (its parameters by kind, from the
// blocks of its own measurement) and the file's list of parameter blocks are
// made from it on first use, so a read that never looks at them costs no
// more than one small object.
#pragma once

#include <Python.h>

#include <exception>

#include "core/ref.hpp"
#include "extract/file_plan.hpp"

namespace lumira::companion {

// Adds the store's type to the module (as `ParameterStore`).
void addParameterStoreType(py::Borrowed module);

// An empty store for a file's blocks. With `strict`, a parameter block that
// the end of the file cuts off fails (with `damagedType`) instead of reading
// as zeros.
py::Ref makeParameterStore(py::Borrowed module, bool strict, py::Borrowed damagedType);

// Hands the file's plan to its store once read_file is done with it: the
// store makes its dictionaries from the plan's parsed parameter blocks.
void keepPlan(py::Borrowed store, FilePlan&& plan);

// The exception a failure raised alone would be, taken from the error indicator.
py::Ref errorFrom(const std::exception_ptr& failure);

// "the file ends early: N fields cut off (...)" as `damagedType`, the first
// cut-off field's error its cause.
py::Ref cutOffError(py::Borrowed module, const ShortReads& damage, py::Borrowed damagedType);

}  // namespace lumira::companion
