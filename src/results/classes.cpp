#include "results/classes.hpp"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

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

// The base constructor stores its `deriv` parameter as `derivative`.
std::string_view attributeFor(std::string_view parameter) {
    return parameter == "deriv" ? std::string_view("derivative") : parameter;
}

// The str objects a class's constructor uses on every call, made once. They
// live as long as the process, like the classes' method definitions.
struct ClassObjects {
    std::vector<PyObject*> parameters;  // interned parameter names
    std::vector<PyObject*> attributes;  // interned attribute names
    PyObject* addition = nullptr;       // the class's part of the description
    PyObject* described = nullptr;      // the base description followed by it
};

const ClassObjects& objectsOf(const ClassTexts& texts) {
    static std::vector<std::unique_ptr<ClassObjects>> made(classTexts().size());
    auto& slot = made[static_cast<std::size_t>(&texts - classTexts().data())];
    if (slot) return *slot;
    auto objects = std::make_unique<ClassObjects>();
    for (std::string_view parameter : texts.ownParameters) {
        objects->parameters.push_back(py::interned(parameter).release());
        objects->attributes.push_back(py::interned(attributeFor(parameter)).release());
    }
    objects->addition = py::str(texts.descriptionAddition).release();
    objects->described = py::str(std::string(baseDescription) + std::string(texts.descriptionAddition)).release();
    slot = std::move(objects);
    return *slot;
}

BoundArguments bindFor(const ClassTexts& texts, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return bindArguments(texts.name, texts.ownParameters, objectsOf(texts).parameters, texts.collectsKeywords, args,
                         PyVectorcall_NARGS(nargsf), kwnames);
}

void setAttributes(PyObject* self, const ClassTexts& texts, const BoundArguments& bound) {
    const ClassObjects& objects = objectsOf(texts);
    for (std::size_t i = 0; i < objects.attributes.size(); ++i)
        py::check(PyObject_SetAttr(self, objects.attributes[i], bound.values[i].get()));
}

void setBaseAttributes(PyObject* self, const ClassTexts& baseTexts, const BoundArguments& bound) {
    setAttributes(self, baseTexts, bound);
    py::setAttr(self, "description", objectsOf(baseTexts).described);
}

// __init__ of BaseDataReturn and of Region: store the parameters, in order.
PyObject* initPlain(PyObject* self, PyTypeObject* definingClass, PyObject* const* args, size_t nargsf,
                    PyObject* kwnames) {
    return py::boundary([&] {
        const ClassTexts& texts = textsOf(definingClass);
        BoundArguments bound = bindFor(texts, args, nargsf, kwnames);
        if (texts.name == "BaseDataReturn") {
            setBaseAttributes(self, texts, bound);
        } else {
            setAttributes(self, texts, bound);
        }
        return Ref::borrow(Py_None);
    });
}

PyObject* initSubclass(PyObject* self, PyTypeObject* definingClass, PyObject* const* args, size_t nargsf,
                       PyObject* kwnames);

// Each class's __init__ has a definition of its own, for its signature:
// "__init__($self, /, y, **kwds)\n--\n\n" gives inspect the constructor's
// parameters and leaves __doc__ None. Definitions live as long as the process.
struct InitDefinition {
    std::string signature;
    PyMethodDef method{};
};

PyMethodDef& initDefinitionOf(const ClassTexts& texts) {
    static std::vector<std::unique_ptr<InitDefinition>> made(classTexts().size());
    auto& slot = made[static_cast<std::size_t>(&texts - classTexts().data())];
    if (slot) return slot->method;
    slot = std::make_unique<InitDefinition>();
    slot->signature = "__init__($self, /";
    for (std::string_view parameter : texts.ownParameters) slot->signature.append(", ").append(parameter);
    if (texts.collectsKeywords) slot->signature += ", **kwds";
    slot->signature += ")\n--\n\n";
    // BaseDataReturn and Region store their parameters; the subclasses also pass keywords on.
    auto* init = texts.derivesFromBase ? initSubclass : initPlain;
    slot->method = {"__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(init)),
                    METH_METHOD | METH_FASTCALL | METH_KEYWORDS, slot->signature.c_str()};
    return slot->method;
}

// The class after `definingClass` in the instance's method resolution order,
// when it is BaseDataReturn with its own __init__ untouched.
const ClassTexts* untouchedBaseAfter(PyObject* self, PyTypeObject* definingClass) {
    PyObject* mro = Py_TYPE(self)->tp_mro;
    const Py_ssize_t count = mro ? PyTuple_GET_SIZE(mro) : 0;
    for (Py_ssize_t i = 0; i + 1 < count; ++i) {
        if (PyTuple_GET_ITEM(mro, i) != reinterpret_cast<PyObject*>(definingClass)) continue;
        auto* next = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i + 1));
        if (std::string_view(next->tp_name) != "BaseDataReturn") return nullptr;
        PyObject* init = PyDict_GetItemWithError(next->tp_dict, py::interned("__init__").get());
        const bool untouched =
            init != nullptr && Py_IS_TYPE(init, &PyMethodDescr_Type) &&
            reinterpret_cast<PyMethodDescrObject*>(init)->d_method == &initDefinitionOf(textsOf(next));
        return untouched ? &textsOf(next) : nullptr;
    }
    return nullptr;
}

// The next __init__ in the instance's method resolution order, given the
// collected keywords; the base class's own is run here directly (then true).
bool initNext(PyObject* self, PyTypeObject* definingClass, const BoundArguments& bound) {
    if (const ClassTexts* base = untouchedBaseAfter(self, definingClass)) {
        PyObject* keywords = bound.extraKeywords.get();
        const Py_ssize_t count = PyDict_GET_SIZE(keywords);
        Ref names = Ref::fresh(PyTuple_New(count));
        std::vector<PyObject*> values;
        values.reserve(static_cast<std::size_t>(count));
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        for (Py_ssize_t i = 0; PyDict_Next(keywords, &position, &key, &value); ++i) {
            PyTuple_SET_ITEM(names.get(), i, Ref::borrow(key).release());
            values.push_back(value);
        }
        const BoundArguments baseBound = bindArguments(base->name, base->ownParameters, objectsOf(*base).parameters,
                                                       false, values.data(), 0, names.get());
        setBaseAttributes(self, *base, baseBound);
        return true;
    }
    Ref next = py::call(reinterpret_cast<PyObject*>(&PySuper_Type), {reinterpret_cast<PyObject*>(definingClass), self});
    Ref nextInit = py::attr(next, "__init__");
    Ref noArguments = Ref::fresh(PyTuple_New(0));
    Ref::fresh(PyObject_Call(nextInit.get(), noArguments.get(), bound.extraKeywords.get()));
    return false;
}

// __init__ of every result subclass: own attributes, then the next __init__
// in the instance's method resolution order with the collected keywords,
// then the class's part of the description.
PyObject* initSubclass(PyObject* self, PyTypeObject* definingClass, PyObject* const* args, size_t nargsf,
                       PyObject* kwnames) {
    return py::boundary([&] {
        const ClassTexts& texts = textsOf(definingClass);
        const BoundArguments bound = bindFor(texts, args, nargsf, kwnames);
        setAttributes(self, texts, bound);
        const ClassObjects& objects = objectsOf(texts);
        if (initNext(self, definingClass, bound)) {
            // The base text was just stored: the sum is known.
            py::setAttr(self, "description", objects.described);
            return Ref::borrow(Py_None);
        }
        Ref description = py::attr(self, "description");
        Ref extended = Ref::fresh(PyNumber_Add(description.get(), objects.addition));
        py::setAttr(self, "description", extended);
        return Ref::borrow(Py_None);
    });
}

PyObject* describe(PyObject* self, PyObject*) {
    return py::boundary([&] { return py::attr(self, "description"); });
}
PyObject* regionTitle(PyObject* self, PyObject*) {
    return py::boundary([&] { return py::attr(self, "title"); });
}

// Method definitions must outlive the classes; they live as long as the process.
PyMethodDef describeAsStr{"__str__", describe, METH_NOARGS, nullptr};
PyMethodDef describeAsRepr{"__repr__", describe, METH_NOARGS, nullptr};
PyMethodDef regionRepr{"__repr__", regionTitle, METH_NOARGS, nullptr};

void addMethod(PyObject* cls, PyMethodDef& definition) {
    Ref descriptor = Ref::fresh(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls), &definition));
    py::setAttr(cls, definition.ml_name, descriptor);
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
        addMethod(cls.get(), initDefinitionOf(texts));
        if (texts.name == "BaseDataReturn") {
            addMethod(cls.get(), describeAsStr);
            addMethod(cls.get(), describeAsRepr);
            base = cls;
        } else if (texts.name == "Region") {
            addMethod(cls.get(), regionRepr);
        }
        py::check(PyModule_AddObjectRef(module, std::string(texts.name).c_str(), cls.get()));
    }
}

namespace {

// A result class's own __init__ is one of the method descriptors made above
// (from this or another copy of this code): C functions taking the class.
bool isConstructorDescriptor(PyObject* init) {
    if (init == nullptr || !Py_IS_TYPE(init, &PyMethodDescr_Type)) return false;
    const PyMethodDef* method = reinterpret_cast<PyMethodDescrObject*>(init)->d_method;
    return method->ml_flags == (METH_METHOD | METH_FASTCALL | METH_KEYWORDS) &&
           std::string_view(method->ml_name) == "__init__";
}

bool untouched(const KnownClass& known, PyObject* cls) {
    if (cls != known.cls || Py_TYPE(cls) != &PyType_Type) return false;
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    return type->tp_mro == known.mro && PyDict_GET_SIZE(type->tp_dict) == known.attributes &&
           PyDict_GetItemWithError(type->tp_dict, py::interned("__init__").get()) == known.init;
}

PyObject* keywordValue(std::span<const py::Keyword> keywords, std::string_view name) {
    for (const auto& [keyword, value] : keywords)
        if (keyword[0] == name[0] && name == keyword) return value.get();  // the first letters tell most apart
    return nullptr;
}

}  // namespace

void KnownClasses::record(PyObject* module) {
    const auto& all = classTexts();
    for (std::size_t i = 0; i < all.size() && i < std::size(classes); ++i) {
        Ref cls = py::attr(module, all[i].name);
        if (!PyType_Check(cls.get())) continue;
        auto* type = reinterpret_cast<PyTypeObject*>(cls.get());
        PyObject* init = PyDict_GetItemWithError(type->tp_dict, py::interned("__init__").get());
        if (!isConstructorDescriptor(init)) continue;
        KnownClass& known = classes[i];
        known.cls = cls.release();
        known.init = Ref::borrow(init).release();
        known.mro = Ref::borrow(type->tp_mro).release();
        known.attributes = PyDict_GET_SIZE(type->tp_dict);
    }
}

int KnownClasses::traverse(visitproc visit, void* arg) {
    for (KnownClass& known : classes) {
        Py_VISIT(known.cls);
        Py_VISIT(known.init);
        Py_VISIT(known.mro);
    }
    return 0;
}

void KnownClasses::clear() {
    for (KnownClass& known : classes) {
        Py_CLEAR(known.cls);
        Py_CLEAR(known.init);
        Py_CLEAR(known.mro);
    }
}

py::Ref construct(const KnownClasses& known, py::Borrowed cls, std::string_view name,
                  std::span<const py::Keyword> keywords) {
    const auto& all = classTexts();
    const auto found = std::find_if(all.begin(), all.end(), [&](const ClassTexts& t) { return t.name == name; });
    const auto index = static_cast<std::size_t>(found - all.begin());
    const bool direct = found != all.end() && untouched(known.classes[index], cls) &&
                        (!found->derivesFromBase || untouched(known.classes[0], known.classes[0].cls));
    // Exactly the keywords the constructors take, each once.
    const std::size_t expected = found != all.end() ? found->ownParameters.size() +
                                                          (found->derivesFromBase ? all[0].ownParameters.size() : 0)
                                                    : 0;
    if (!direct || keywords.size() != expected) return py::callWithKeywords(cls, keywords);
    std::vector<std::pair<PyObject*, PyObject*>> attributes;  // interned name, value
    attributes.reserve(expected);
    for (const ClassTexts* texts : {&*found, found->derivesFromBase ? &all[0] : nullptr}) {
        if (texts == nullptr) continue;
        const ClassObjects& objects = objectsOf(*texts);
        for (std::size_t i = 0; i < texts->ownParameters.size(); ++i) {
            PyObject* value = keywordValue(keywords, texts->ownParameters[i]);
            if (value == nullptr) return py::callWithKeywords(cls, keywords);
            attributes.emplace_back(objects.attributes[i], value);
        }
    }
    // The attributes go straight into the instance's own dictionary, in the
    // order they would be set one by one: no attribute lookup on the class for
    // each. (Handing an instance a dictionary made apart loses it where
    // CPython keeps attributes inline, as 3.13 does.)
    auto* type = reinterpret_cast<PyTypeObject*>(cls.get());
    Ref made = Ref::fresh(type->tp_alloc(type, 0));
    Ref attributesDict = Ref::fresh(PyObject_GenericGetDict(made.get(), nullptr));
    for (const auto& [attribute, value] : attributes) py::check(PyDict_SetItem(attributesDict.get(), attribute, value));
    if (name != "Region") py::setItem(attributesDict, py::interned("description"), objectsOf(*found).described);
    return made;
}

}  // namespace lumira::results
