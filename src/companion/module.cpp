// `lumira_tools._native`: what the companion package reads natively, on the
// readers of `lumira` itself (the same core, built into this module too).
// Its namespace holds the names those readers look up at each use (`np`,
// `unpack`, `isOpusFile` and the result classes, the classes taken from
// `lumira`), so what it returns are lumira's own result objects.
#include <Python.h>

#include "companion/numpy_arrays.hpp"
#include "companion/parameter_store.hpp"
#include "companion/parts.hpp"
#include "companion/whole_file.hpp"
#include "core/python.hpp"
#include "module/opus_file.hpp"
#include "module/state.hpp"

namespace lumira::companion {

namespace {

constexpr const char* resultClasses[] = {
    "BaseDataReturn",         "SingleDataReturn", "ImageDataReturn",
    "ImageTRCDataReturn",     "TimeResolvedDataReturn", "TimeResolvedTRCDataReturn",
    "MultiRegionDataReturn",  "Region",           "MultiRegionTRCDataReturn",
};

PyMethodDef methods[] = {
    {"read_file", readFile, METH_VARARGS,
     "read_file(source, data, strict, scale, select, block_type, damaged_type)\n--\n\n"
     "Reads the chosen data blocks of one file: (listing, directory, blocks, damage, store)."},
    {"read_files", readFiles, METH_VARARGS,
     "read_files(paths, workers, data, strict, scale, select, block_type, damaged_type, progress)\n--\n\n"
     "read_file over many files, opened and parsed ahead on native threads: a list with, per path, what\n"
     "read_file gives or the exception that stopped it."},
    {"record_layout", recordLayout, METH_VARARGS,
     "record_layout(source, select)\n--\n\n"
     "The rows of a 3D block: (kind, rows, values per row, z values or labels, fields cut off)."},
    {"read_records", readRecords, METH_VARARGS,
     "read_records(source, select, start, stop, out)\n--\n\n"
     "Reads rows start to stop of a 3D block into `out` (float32 memory of (stop - start) x values)."},
    {"read_record_info", readRecordInfo, METH_VARARGS,
     "read_record_info(source, select, start, stop)\n--\n\n"
     "The info fields of rows start to stop of a 3D block: a dict from field name to an array."},
    {"read_history", readHistory, METH_VARARGS,
     "read_history(block, offset, utf8)\n--\n\n"
     "The texts of a history block, each as (kind, text): kind 'session', 'title', 'detail' or 'command'."},
    {"read_container", readContainer, METH_VARARGS,
     "read_container(block, offset, utf8)\n--\n\n"
     "A table container: (head, directory parameters, properties, tables), each table\n"
     "(name, offset, parameters, properties, columns, rows, sub-tables)."},
    {"read_image", readImage, METH_VARARGS,
     "read_image(blob)\n--\n\n"
     "Where the JPEG stream of an embedded image lies and its size: (offset, length, width, height, components)."},
    {"isOpusFile", module::isOpusFile, METH_O, "isOpusFile(path, /)\n--\n\nTests the magic bytes."},
    {nullptr, nullptr, 0, nullptr},
};

void bind(PyObject* module, const char* name, py::Borrowed value) {
    Py_INCREF(value.get());
    if (PyModule_AddObject(module, name, value.get()) < 0) {
        Py_DECREF(value.get());
        throw py::ErrorAlreadySet{};
    }
}

int execModule(PyObject* module) {
    return py::execSlot([&] {
        module::initState(module);
        py::Ref structModule = py::Ref::fresh(PyImport_ImportModule("struct"));
        bind(module, "unpack", py::attr(structModule, "unpack"));
        py::Ref numpy = py::Ref::fresh(PyImport_ImportModule("numpy"));
        bind(module, "np", numpy);
        importNumpyApi();
        py::Ref lumira = py::Ref::fresh(PyImport_ImportModule("lumira"));
        for (const char* name : resultClasses) bind(module, name, py::attr(lumira, name));
        module::stateOf(module).knownClasses.record(module);
        addParameterStoreType(module);
    });
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(execModule)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "lumira_tools._native",
    "Native whole-file reads for lumira_tools (private).",
    sizeof(module::ModuleState),
    methods,
    slots,
    module::traverseState,
    module::clearState,
    [](void* module) { module::clearState(static_cast<PyObject*>(module)); },
};

}  // namespace

}  // namespace lumira::companion

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&lumira::companion::definition); }
