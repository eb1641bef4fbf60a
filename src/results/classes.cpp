#include "results/classes.hpp"

#include <algorithm>
#include <string>

#include "core/python.hpp"
#include "results/arguments.hpp"
#include "results/texts.hpp"

namespace lumira::results {

namespace {

using py::Ref;

const ClassTexts& textsOf(PyTypeObject* definingClass) {
    const std::string_view name = definingClass->tp_name;
    const auto& all = classTexts();
    const auto found = std::find_if(all.begin(), all.end(), [&](const ClassTexts& t) { return t.name == name; });
    if (found == all.end()) throw std::logic_error("method bound to an unknown result class");
    return *found;
}

BoundArguments bindFor(const ClassTexts& texts, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const std::string qualname = std::string(texts.name) + ".__init__";
    return bindArguments(qualname, texts.ownParameters, texts.collectsKeywords, args, PyVectorcall_NARGS(nargsf),
                         kwnames);
}

// The base constructor stores its `deriv` parameter as `derivative`.
std::string_view attributeFor(std::string_view parameter) {
    return parameter == "deriv" ? std::string_view("derivative") : parameter;
}

void setAttributes(PyObject* self, const ClassTexts& texts, const BoundArguments& bound) {
    for (std::size_t i = 0; i < texts.ownParameters.size(); ++i) {
        const std::string name(attributeFor(texts.ownParameters[i]));
        py::check(PyObject_SetAttrString(self, name.c_str(), bound.values[i].get()));
    }
}

// __init__ of BaseDataReturn and of Region: store the parameters, in order.
PyObject* initPlain(PyObject* self, PyTypeObject* definingClass, PyObject* const* args, size_t nargsf,
                    PyObject* kwnames) {
    return py::boundary([&] {
        const ClassTexts& texts = textsOf(definingClass);
        setAttributes(self, texts, bindFor(texts, args, nargsf, kwnames));
        if (texts.name == "BaseDataReturn") {
            Ref description = py::str(baseDescription);
            py::check(PyObject_SetAttrString(self, "description", description.get()));
        }
        return Ref::borrow(Py_None);
    });
}

// __init__ of every result subclass: own attributes, then the next __init__
// in the instance's method resolution order with the collected keywords,
// then the class's part of the description.
PyObject* initSubclass(PyObject* self, PyTypeObject* definingClass, PyObject* const* args, size_t nargsf,
                       PyObject* kwnames) {
    return py::boundary([&] {
        const ClassTexts& texts = textsOf(definingClass);
        BoundArguments bound = bindFor(texts, args, nargsf, kwnames);
        setAttributes(self, texts, bound);

        Ref next =
            py::call(reinterpret_cast<PyObject*>(&PySuper_Type), {reinterpret_cast<PyObject*>(definingClass), self});
        Ref nextInit = py::attr(next, "__init__");
        Ref noArguments = Ref::fresh(PyTuple_New(0));
        Ref::fresh(PyObject_Call(nextInit.get(), noArguments.get(), bound.extraKeywords.get()));

        Ref description = py::attr(self, "description");
        Ref addition = py::str(texts.descriptionAddition);
        Ref extended = Ref::fresh(PyNumber_Add(description.get(), addition.get()));
        py::check(PyObject_SetAttrString(self, "description", extended.get()));
        return Ref::borrow(Py_None);
    });
}

PyObject* describe(PyObject* self, PyObject*) { return PyObject_GetAttrString(self, "description"); }
PyObject* regionTitle(PyObject* self, PyObject*) { return PyObject_GetAttrString(self, "title"); }

// Method definitions must outlive the classes; they live as long as the process.
PyMethodDef plainInit{"__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(initPlain)),
                      METH_METHOD | METH_FASTCALL | METH_KEYWORDS, nullptr};
PyMethodDef subclassInit{"__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(initSubclass)),
                         METH_METHOD | METH_FASTCALL | METH_KEYWORDS, nullptr};
PyMethodDef describeAsStr{"__str__", describe, METH_NOARGS, nullptr};
PyMethodDef describeAsRepr{"__repr__", describe, METH_NOARGS, nullptr};
PyMethodDef regionRepr{"__repr__", regionTitle, METH_NOARGS, nullptr};

void addMethod(PyObject* cls, PyMethodDef& definition) {
    Ref descriptor = Ref::fresh(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls), &definition));
    py::check(PyObject_SetAttrString(cls, definition.ml_name, descriptor.get()));
}

Ref createClass(const ClassTexts& texts, PyObject* base) {
    Ref namespaceDict = Ref::fresh(PyDict_New());
    Ref moduleName = py::str("lumira");
    Ref qualname = py::str(texts.name);
    Ref doc = py::str(buildDocstring(texts));
    py::setItem(namespaceDict, "__module__", moduleName);
    py::setItem(namespaceDict, "__qualname__", qualname);
    py::setItem(namespaceDict, "__doc__", doc);
    Ref bases = py::tuple({base});
    Ref name = py::str(texts.name);
    return py::call(reinterpret_cast<PyObject*>(&PyType_Type), {name, bases, namespaceDict});
}

}  // namespace

void addResultClasses(PyObject* module) {
    Ref base;
    for (const ClassTexts& texts : classTexts()) {
        PyObject* parent = texts.derivesFromBase ? base.get() : reinterpret_cast<PyObject*>(&PyBaseObject_Type);
        Ref cls = createClass(texts, parent);
        if (texts.name == "BaseDataReturn") {
            addMethod(cls.get(), plainInit);
            addMethod(cls.get(), describeAsStr);
            addMethod(cls.get(), describeAsRepr);
            base = cls;
        } else if (texts.name == "Region") {
            addMethod(cls.get(), plainInit);
            addMethod(cls.get(), regionRepr);
        } else {
            addMethod(cls.get(), subclassInit);
        }
        py::check(PyModule_AddObjectRef(module, std::string(texts.name).c_str(), cls.get()));
    }
}

}  // namespace lumira::results
