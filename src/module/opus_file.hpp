// Opening a file that must be an OPUS file, shared by the public functions.
#pragma once

#include <memory>

#include "container/directory.hpp"
#include "core/ref.hpp"
#include "module/open_file.hpp"

namespace lumira::module {

PyObject* isOpusFile(PyObject* module, PyObject* path);

// Runs the module's `isOpusFile` on the path (natively on the same open file,
// unless a caller rebound the name) and refuses a file that is not OPUS with
// "Can't process a non-Opus file". Returns the open file.
std::unique_ptr<OpenFile> openOpusFile(py::Borrowed module, py::Borrowed path);

// Reads the directory of an open file, reporting short reads on the way.
Directory readDirectoryOf(py::Borrowed module, OpenFile& file);

}  // namespace lumira::module
