#include "module/open_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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
        opened->source_.emplace(descriptor);
    } catch (...) {
        closeQuietly(opened->file_);
        opened->file_ = py::Ref();
        throw;
    }
    return opened;
}

std::unique_ptr<OpenFile> OpenFile::natively(const NativePath& path) {
    int descriptor;
    do {
        descriptor = ::open(path.text(), O_RDONLY | O_CLOEXEC);
    } while (descriptor < 0 && errno == EINTR);
    if (descriptor < 0) return nullptr;
    std::unique_ptr<OpenFile> opened(new OpenFile());
    opened->descriptor_ = descriptor;
    struct stat status{};
    if (fstat(descriptor, &status) != 0 || S_ISDIR(status.st_mode)) return nullptr;  // closes it
    opened->source_.emplace(descriptor);
    return opened;
}

OpenFile::~OpenFile() {
    if (file_) closeQuietly(file_);
    if (descriptor_ >= 0) ::close(descriptor_);
}

void OpenFile::close() {
    source_.reset();
    if (descriptor_ >= 0) {
        const int descriptor = std::exchange(descriptor_, -1);
        if (::close(descriptor) != 0 && errno != EINTR) failOS(errno);
        return;
    }
    if (!file_) return;
    py::Ref file = std::move(file_);
    py::Ref::fresh(PyObject_CallMethodNoArgs(file.get(), py::interned("close").get()));
}

}  // namespace lumira::module
