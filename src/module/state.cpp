#include "module/state.hpp"

#include "container/listing.hpp"
#include "core/python.hpp"

namespace lumira::module {

ModuleState& stateOf(PyObject* module) { return *static_cast<ModuleState*>(PyModule_GetState(module)); }

void initState(PyObject* module) {
    py::Ref triples = py::Ref::fresh(PyTuple_New(static_cast<Py_ssize_t>(listedBlockKinds)));
    for (std::size_t name = 0; name < dataTypeNames.size(); ++name) {
        for (bool threeD : {false, true}) {
            for (int deriv = 0; deriv < 4; ++deriv) {
                const ListedBlock block{name, threeD, deriv};
                py::Ref texts[] = {py::str(block.name()), py::str(block.dimension()), py::str(block.derivative())};
                for (py::Ref& text : texts) {
                    PyObject* interned = text.release();
                    PyUnicode_InternInPlace(&interned);
                    text = py::Ref::steal(interned);
                }
                PyTuple_SET_ITEM(triples.get(), static_cast<Py_ssize_t>(block.kind()),
                                 py::tuple({texts[0], texts[1], texts[2]}).release());
            }
        }
    }
    stateOf(module).listedTriples = triples.release();
    py::Ref numpy = py::Ref::fresh(PyImport_ImportModule("numpy"));
    stateOf(module).numpyLinspace = py::attr(numpy, "linspace").release();
    stateOf(module).numpyEmpty = py::attr(numpy, "empty").release();
    py::Ref io = py::Ref::fresh(PyImport_ImportModule("io"));
    stateOf(module).hostOpen = py::attr(io, "open").release();
    py::Ref structModule = py::Ref::fresh(PyImport_ImportModule("struct"));
    stateOf(module).structUnpack = py::attr(structModule, "unpack").release();
}

int traverseState(PyObject* module, visitproc visit, void* arg) {
    Py_VISIT(stateOf(module).listedTriples);
    Py_VISIT(stateOf(module).numpyLinspace);
    Py_VISIT(stateOf(module).numpyEmpty);
    Py_VISIT(stateOf(module).hostOpen);
    Py_VISIT(stateOf(module).structUnpack);
    return stateOf(module).knownClasses.traverse(visit, arg);
}

int clearState(PyObject* module) {
    Py_CLEAR(stateOf(module).listedTriples);
    Py_CLEAR(stateOf(module).numpyLinspace);
    Py_CLEAR(stateOf(module).numpyEmpty);
    Py_CLEAR(stateOf(module).hostOpen);
    Py_CLEAR(stateOf(module).structUnpack);
    stateOf(module).knownClasses.clear();
    return 0;
}

}  // namespace lumira::module
