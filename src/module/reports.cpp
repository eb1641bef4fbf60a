#include "module/reports.hpp"

#include <utility>

namespace lumira::module {

namespace {

struct FieldNames {
    const char* format;
    const char* context;
};

FieldNames namesOf(Field field) {
    switch (field) {
        case Field::Int: return {"<i", "lumira.readInt"};
        case Field::Short: return {"<h", "lumira.readShort"};
        case Field::Int64: return {"<q", "lumira.readInt64"};
        case Field::Float: return {"<f", "lumira.readFloat"};
        case Field::Double: return {"<d", "lumira.readDouble"};
    }
    return {"<i", "lumira.readInt"};
}

// Calls the module's `unpack` on the bytes; true when it raised (as it does
// on short input), leaving its exception pending.
bool unpackRaises(py::Borrowed module, const char* format, const std::vector<std::uint8_t>& data) {
    try {
        py::Ref unpack = py::moduleName(module, "unpack");
        py::Ref formatText = py::str(format);
        py::Ref raw = py::bytes(data);
        py::call(unpack, {formatText, raw});
        return false;
    } catch (const py::ErrorAlreadySet&) {
        return true;
    }
}

void reportShortRead(py::Borrowed module, const ShortRead& shortRead) {
    const FieldNames names = namesOf(shortRead.field);
    if (!unpackRaises(module, names.format, shortRead.bytes)) return;

    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    Py_XINCREF(type);
    Py_XINCREF(value);
    Py_XINCREF(traceback);
    PyErr_Restore(type, value, traceback);
    PyErr_PrintEx(1);

    PyObject* context = PyUnicode_FromString(names.context);
    PyErr_Restore(type, value, traceback);
    PyErr_WriteUnraisable(context != nullptr ? context : Py_None);
    Py_XDECREF(context);
}

thread_local ShortReads* sink = nullptr;

}  // namespace

ShortReadSink::ShortReadSink(ShortReads& into) noexcept : saved_(std::exchange(sink, &into)) {}

ShortReadSink::~ShortReadSink() { sink = saved_; }

void reportShortReads(py::Borrowed module, const ShortReads& shortReads) {
    if (sink != nullptr) {
        sink->insert(sink->end(), shortReads.begin(), shortReads.end());
        return;
    }
    for (const ShortRead& shortRead : shortReads) reportShortRead(module, shortRead);
}

py::Ref shortReadError(py::Borrowed module, const ShortRead& shortRead) {
    if (!unpackRaises(module, namesOf(shortRead.field).format, shortRead.bytes)) return {};
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    py::Ref error = py::Ref::steal(value);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return error;
}

void raiseShortMagic(py::Borrowed module, const std::vector<std::uint8_t>& bytes) {
    if (unpackRaises(module, ">i", bytes)) throw py::ErrorAlreadySet{};
    // A rebound `unpack` accepted four bytes that are not there.
    PyErr_SetString(PyExc_ValueError, "file too short to hold the magic number");
    throw py::ErrorAlreadySet{};
}

}  // namespace lumira::module
