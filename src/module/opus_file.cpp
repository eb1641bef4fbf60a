#include "module/opus_file.hpp"

namespace lumira::module {

namespace {

// The magic of a file opened through the host; a file too short for it
// raises the host's unpacking error.
bool magicOf(py::Borrowed module, OpenFile& file) {
    MagicTest magic;
    {
        py::ReleasedGil unlocked;
        magic = testMagic(file.source());
    }
    return isOpusMagic(module, magic);
}

}  // namespace

void refuseNonOpus() {
    PyErr_SetString(PyExc_ValueError, "Can't process a non-Opus file");
    throw py::ErrorAlreadySet{};
}

bool testsMagicItself(py::Borrowed module) {
    py::Ref test = py::moduleName(module, "isOpusFile");
    return PyCFunction_Check(test.get()) && PyCFunction_GET_FUNCTION(test.get()) == &isOpusFile;
}

PyObject* isOpusFile(PyObject* module, PyObject* path) {
    return py::boundary([&] {
        // Natively, opening, testing and closing take one stretch without the lock.
        if (const auto native = nativePath(module, path)) {
            MagicTest magic;
            bool opened = false;
            {
                py::ReleasedGil unlocked;
                if (auto file = OpenFile::natively(*native)) {
                    magic = testMagic(file->source());
                    file->close();
                    opened = true;
                }
            }
            if (opened) return py::Ref::borrow(isOpusMagic(module, magic) ? Py_True : Py_False);
        }
        auto file = OpenFile::throughHost(path);
        const bool opus = magicOf(module, *file);
        file->close();
        return py::Ref::borrow(opus ? Py_True : Py_False);
    });
}

std::unique_ptr<OpenFile> openOpusFile(py::Borrowed module, py::Borrowed path) {
    if (testsMagicItself(module)) {
        auto file = OpenFile::throughHost(path);
        if (!magicOf(module, *file)) refuseNonOpus();
        return file;
    }
    py::Ref test = py::moduleName(module, "isOpusFile");
    py::Ref verdict = py::call(test, {path});
    const int truth = PyObject_IsTrue(verdict.get());
    py::check(truth);
    if (truth == 0) refuseNonOpus();
    return OpenFile::throughHost(path);
}

}  // namespace lumira::module
