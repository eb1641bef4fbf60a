// The module `lumira`: its namespace is built in a fixed order, and the
// functions find `np`, `unpack`, `isOpusFile` and the result classes in it
// at each use.
#include <Python.h>

#include "core/python.hpp"
#include "extract/python/call.hpp"
#include "module/opus_file.hpp"
#include "module/state.hpp"
#include "module/surface.hpp"
#include "results/classes.hpp"

namespace lumira::module {

namespace {

PyMethodDef helpDefinition{"help", help, METH_NOARGS, helpDoc};
PyMethodDef listContentsDefinition{"listContents", listContents, METH_O, listContentsDoc};
PyMethodDef isOpusFileDefinition{"isOpusFile", isOpusFile, METH_O, isOpusFileDoc};
PyMethodDef getOpusDataDefinition{"getOpusData",
                                  reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(extract::getOpusData)),
                                  METH_VARARGS | METH_KEYWORDS, getOpusDataDoc};

void addFunction(PyObject* module, PyMethodDef& definition) {
    py::Ref moduleName = py::str("lumira");
    py::Ref function = py::Ref::fresh(PyCFunction_NewEx(&definition, module, moduleName.get()));
    py::check(PyModule_AddObjectRef(module, definition.ml_name, function.get()));
}

void addImport(PyObject* module, const char* bindAs, const char* moduleName, const char* attribute) {
    py::Ref imported = py::Ref::fresh(PyImport_ImportModule(moduleName));
    py::Ref value = attribute ? py::attr(imported, attribute) : imported;
    py::check(PyModule_AddObjectRef(module, bindAs, value.get()));
}

void addParameterDescriptions(PyObject* module) {
    py::Ref descriptions = py::Ref::fresh(PyDict_New());
    for (const auto& [code, meaning] : parameterDescriptions) {
        py::Ref key = py::str(code);
        py::Ref value = py::str(meaning);
        py::setItem(descriptions, key, value);
    }
    py::check(PyModule_AddObjectRef(module, "paramDict", descriptions.get()));
}

int execModule(PyObject* module) {
    return py::execSlot([&] {
        initState(module);
        addImport(module, "unpack", "struct", "unpack");
        addImport(module, "np", "numpy", nullptr);
        results::addResultClasses(module);
        stateOf(module).knownClasses.record(module);
        addFunction(module, helpDefinition);
        addFunction(module, listContentsDefinition);
        addFunction(module, isOpusFileDefinition);
        addFunction(module, getOpusDataDefinition);
        addParameterDescriptions(module);
    });
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(execModule)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "lumira",
    nullptr,  // the module has no documentation text of its own
    sizeof(ModuleState),
    nullptr,
    slots,
    traverseState,
    clearState,
    [](void* module) { clearState(static_cast<PyObject*>(module)); },
};

}  // namespace

}  // namespace lumira::module

PyMODINIT_FUNC PyInit_lumira(void) { return PyModuleDef_Init(&lumira::module::definition); }
