#include "module/opus_file.hpp"

#include "core/python.hpp"
#include "module/reports.hpp"

namespace lumira::module {

namespace {

bool magicOf(py::Borrowed module, OpenFile& file) {
    MagicTest magic;
    {
        py::ReleasedGil unlocked;
        magic = testMagic(file.source());
    }
    if (!magic.complete) raiseShortMagic(module, magic.bytes);
    return magic.isOpus;
}

bool isOwnIsOpusFile(PyObject* function) {
    return PyCFunction_Check(function) && PyCFunction_GET_FUNCTION(function) == &isOpusFile;
}

[[noreturn]] void refuseNonOpus() {
    PyErr_SetString(PyExc_ValueError, "Can't process a non-Opus file");
    throw py::ErrorAlreadySet{};
}

}  // namespace

PyObject* isOpusFile(PyObject* module, PyObject* path) {
    return py::boundary([&] {
        OpenFile file(path);
        const bool opus = magicOf(module, file);
        file.close();
        return py::Ref::borrow(opus ? Py_True : Py_False);
    });
}

std::unique_ptr<OpenFile> openOpusFile(py::Borrowed module, py::Borrowed path) {
    py::Ref test = py::moduleName(module, "isOpusFile");
    if (isOwnIsOpusFile(test.get())) {
        auto file = std::make_unique<OpenFile>(path);
        if (!magicOf(module, *file)) refuseNonOpus();
        return file;
    }
    py::Ref verdict = py::call(test, {path});
    const int truth = PyObject_IsTrue(verdict.get());
    py::check(truth);
    if (truth == 0) refuseNonOpus();
    return std::make_unique<OpenFile>(path);
}

Directory readDirectoryOf(py::Borrowed module, OpenFile& file) {
    ShortReads shortReads;
    return parseUnlocked(module, shortReads, [&] {
        Cursor cursor(file.source(), shortReads);
        return readDirectory(cursor);
    });
}

}  // namespace lumira::module
