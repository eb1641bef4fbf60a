#include "module/open_file.hpp"

#include <cstring>

#include "core/python.hpp"
#include "module/state.hpp"

namespace lumira::module {

namespace {

py::Ref hostOpen() {
    PyObject* open = PyDict_GetItemString(PyEval_GetBuiltins(), "open");  // borrowed
    if (open == nullptr) {
        PyErr_SetString(PyExc_NameError, "name 'open' is not defined");
        throw py::ErrorAlreadySet{};
    }
    return py::Ref::borrow(open);
}

// Closes without disturbing an exception that is on its way out.
void closeQuietly(py::Borrowed file) {
    py::PendingErrorGuard keep;
    try {
        PyObject* result = PyObject_CallMethodNoArgs(file, py::interned("close").get());
        Py_XDECREF(result);
    } catch (const py::ErrorAlreadySet&) {
    }
    PyErr_Clear();
}

}  // namespace

const char* NativePath::text() const noexcept { return PyBytes_AS_STRING(encoded.get()); }

std::optional<NativePath> nativePath(py::Borrowed module, py::Borrowed path) {
    if (hostOpen().get() != stateOf(module).hostOpen) return std::nullopt;
    py::Ref plain;
    if (PyUnicode_Check(path.get()) || PyBytes_Check(path.get())) {
        plain = py::Ref::borrow(path);
    } else if (PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(path.get())), "__fspath__")) {
        plain = py::Ref::steal(PyOS_FSPath(path));
        if (!plain) {
            PyErr_Clear();  // the host's open raises it again
            return std::nullopt;
        }
    } else {
        return std::nullopt;  // descriptors and the like: the host's open knows them
    }
    py::Ref encoded = PyBytes_Check(plain.get()) ? plain : py::Ref::steal(PyUnicode_EncodeFSDefault(plain.get()));
    if (!encoded) {
        PyErr_Clear();
        return std::nullopt;
    }
    const auto length = static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get()));
    if (std::strlen(PyBytes_AS_STRING(encoded.get())) != length) return std::nullopt;  // embedded NUL
    return NativePath{std::move(encoded)};
}

std::unique_ptr<OpenFile> OpenFile::throughHost(py::Borrowed path) {
    std::unique_ptr<OpenFile> opened(new OpenFile());
    py::Ref mode = py::str("rb");
    py::Ref unbuffered = py::integer(0);  // every read goes through the descriptor
    opened->file_ = py::call(hostOpen(), {path, mode, unbuffered});
    try {
        const int descriptor = PyObject_AsFileDescriptor(opened->file_.get());
        if (descriptor < 0) throw py::ErrorAlreadySet{};
        py::ReleasedGil unlocked;
        opened->source_ = std::make_unique<DescriptorSource>(descriptor);
    } catch (...) {
        closeQuietly(opened->file_);
        opened->file_ = py::Ref();
        throw;
    }
    return opened;
}

std::unique_ptr<OpenFile> OpenFile::natively(const NativePath& path, std::uint64_t wholeLimit) {
    return adopt(openPath(path.text(), wholeLimit));
}

std::unique_ptr<OpenFile> OpenFile::adopt(OpenedPath opened) {
    if (!opened.opened()) return nullptr;  // closes what was opened
    std::unique_ptr<OpenFile> file(new OpenFile());
    file->descriptor_ = std::move(opened.descriptor);
    file->source_ = std::move(opened.source);
    return file;
}

OpenFile::~OpenFile() {
    source_.reset();  // before the descriptor it may read through
    if (file_) closeQuietly(file_);
}

void OpenFile::close() {
    if (!file_) {
        source_.reset();
        if (const int failed = descriptor_.close(); failed != 0) failOS(failed);
        return;
    }
    source_.reset();
    py::Ref file = std::move(file_);
    py::Ref::fresh(PyObject_CallMethodNoArgs(file.get(), py::interned("close").get()));
}

}  // namespace lumira::module
