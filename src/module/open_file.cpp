#include "module/open_file.hpp"

#include "core/python.hpp"

namespace lumira::module {

namespace {

py::Ref openForReading(py::Borrowed path) {
    PyObject* open = PyDict_GetItemString(PyEval_GetBuiltins(), "open");  // borrowed
    if (open == nullptr) {
        PyErr_SetString(PyExc_NameError, "name 'open' is not defined");
        throw py::ErrorAlreadySet{};
    }
    // Unbuffered: every read goes through the descriptor, so no read buffer is needed.
    py::Ref mode = py::str("rb");
    py::Ref unbuffered = py::integer(0);
    return py::call(open, {path, mode, unbuffered});
}

// Closes without disturbing an exception that is on its way out.
void closeQuietly(py::Borrowed file) {
    py::PendingErrorGuard keep;
    PyObject* result = PyObject_CallMethod(file, "close", nullptr);
    Py_XDECREF(result);
    PyErr_Clear();
}

}  // namespace

OpenFile::OpenFile(py::Borrowed path) : file_(openForReading(path)) {
    try {
        const int descriptor = PyObject_AsFileDescriptor(file_.get());
        if (descriptor < 0) throw py::ErrorAlreadySet{};
        py::ReleasedGil unlocked;
        source_.emplace(descriptor);
    } catch (...) {
        closeQuietly(file_);
        file_ = py::Ref();
        throw;
    }
}

OpenFile::~OpenFile() {
    if (file_) closeQuietly(file_);
}

void OpenFile::close() {
    if (!file_) return;
    py::Ref file = std::move(file_);
    source_.reset();
    py::Ref::fresh(PyObject_CallMethod(file.get(), "close", nullptr));
}

}  // namespace lumira::module
