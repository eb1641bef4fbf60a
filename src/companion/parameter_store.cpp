#include "companion/parameter_store.hpp"

#include <algorithm>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/python.hpp"
#include "extract/parameter_groups.hpp"
#include "extract/python/parameters.hpp"
#include "module/reports.hpp"

namespace lumira::companion {

py::Ref errorFrom(const std::exception_ptr& failure) {
    py::raiseFailure(failure);
    return py::takePendingError();
}

py::Ref cutOffError(py::Borrowed module, const ShortReads& damage, py::Borrowed damagedType) {
    py::Ref first = module::shortReadError(module, damage.front());
    std::string cause;
    if (first) {
        py::Ref text = py::Ref::fresh(PyObject_Str(first.get()));
        const char* utf8 = PyUnicode_AsUTF8(text.get());
        if (utf8 == nullptr) throw py::ErrorAlreadySet{};
        cause = " (" + std::string(utf8) + ")";
    }
    const char* fields = damage.size() == 1 ? " field" : " fields";
    py::Ref message = py::str("the file ends early: " + std::to_string(damage.size()) + fields + " cut off" + cause);
    py::Ref error = py::call(damagedType, {message});
    if (first) PyException_SetCause(error.get(), first.release());
    return error;
}

namespace {

struct Store {
    py::Ref module;
    py::Ref damagedType;
    bool strict = true;
    FilePlan plan;  // the file's plan, once read_file is done with it
    std::vector<std::pair<std::size_t, std::size_t>> chosenByEntry;  // (directory entry, block), made on first use
    std::unordered_map<std::int64_t, py::Ref> dicts;                 // made: by offset
    std::unordered_map<std::size_t, py::Ref> madeGroups;             // made: by directory entry

    const FileBlock* chosenAt(std::size_t entry) {
        if (chosenByEntry.empty()) {
            for (std::size_t index : plan.chosen) chosenByEntry.emplace_back(plan.blocks[index].entry, index);
            std::sort(chosenByEntry.begin(), chosenByEntry.end());
        }
        const auto found = std::lower_bound(chosenByEntry.begin(), chosenByEntry.end(), std::pair(entry, std::size_t{0}));
        if (found == chosenByEntry.end() || found->first != entry) return nullptr;
        return &plan.blocks[found->second];
    }

    // A parameter block's failure: what stopped its parse, or (strict) its
    // cut-off fields; None when it read.
    py::Ref failureOf(const ParsedParameters& block) const {
        if (block.failure) return errorFrom(block.failure);
        if (strict && !block.shortReads.empty()) return cutOffError(module, block.shortReads, damagedType);
        return py::Ref::borrow(Py_None);
    }

    // The block's records as a dictionary (made once: a later record of a
    // name replaces its value at the name's first place).
    py::Ref dictOf(std::int64_t offset, const ParsedParameters& block) {
        auto [place, fresh] = dicts.try_emplace(offset);
        if (fresh) {
            py::Ref dict = py::Ref::fresh(_PyDict_NewPresized(static_cast<Py_ssize_t>(block.count)));
            for (const Parameter& record : plan.recordsOf(block)) extract::store(dict, record, plan.encoding);
            place->second = dict;
        }
        return place->second;
    }

    py::Ref groupsOf(std::size_t entry) {
        const FileBlock* own = chosenAt(entry);
        if (own == nullptr) {
            PyErr_SetString(PyExc_KeyError, "no data block read at this directory entry");
            throw py::ErrorAlreadySet{};
        }
        auto [place, fresh] = madeGroups.try_emplace(entry);
        if (!fresh) return place->second;
        const Group members = plan.groups.groupOf(*own, plan.directory);
        py::Ref made = py::Ref::fresh(_PyDict_NewPresized(static_cast<Py_ssize_t>(members.size())));
        for (const GroupMember& member : members) {
            const ParsedParameters* block = plan.parsedAt(member.offset);
            // A block that cannot be read is left out: its error is its own.
            if (block == nullptr || failureOf(*block).get() != Py_None) continue;
            py::Ref kind = py::interned(kindName(member.key));
            py::Ref parameters = dictOf(member.offset, *block);
            py::setItem(made, kind, parameters);
        }
        place->second = made;
        return made;
    }

    // (entry, kind, side, offset, compensated, parameters or None, error or None) per parameter block read.
    py::Ref rows() {
        py::Ref list = py::Ref::fresh(PyList_New(0));
        for (const ParameterBlockEntry& entry : parameterBlocks(plan.directory, plan.blocks, plan.groups)) {
            const ParsedParameters* block = plan.parsedAt(entry.offset);
            if (block == nullptr) continue;
            py::Ref error = failureOf(*block);
            py::Ref parameters = error.get() == Py_None ? dictOf(entry.offset, *block) : py::Ref::borrow(Py_None);
            py::Ref number = py::integer(static_cast<long long>(entry.entry));
            py::Ref kind = py::interned(kindName(entry.key));
            py::Ref side = py::Ref::borrow(entry.side == Side::Sample      ? py::interned("sample").get()
                                           : entry.side == Side::Reference ? py::interned("reference").get()
                                                                           : Py_None);
            py::Ref offset = py::integer(entry.offset);
            py::Ref compensated =
                py::Ref::borrow(!entry.compensated ? Py_None : *entry.compensated ? Py_True : Py_False);
            py::append(list, py::tuple({number, kind, side, offset, compensated, parameters, error}));
        }
        return list;
    }

    // Every chosen data block's groups, by directory entry.
    py::Ref everyGroup() {
        py::Ref all = py::Ref::fresh(PyDict_New());
        for (std::size_t index : plan.chosen) {
            const std::size_t entry = plan.blocks[index].entry;
            py::Ref key = py::integer(static_cast<long long>(entry));
            py::Ref made = groupsOf(entry);
            py::check(PyDict_SetItem(all.get(), key.get(), made.get()));
        }
        return all;
    }
};

struct StoreObject {
    PyObject_HEAD
    alignas(Store) unsigned char storage[sizeof(Store)];
    bool built;

    Store& store() { return *std::launder(reinterpret_cast<Store*>(storage)); }
};

StoreObject* asStore(PyObject* self) { return reinterpret_cast<StoreObject*>(self); }

int traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    StoreObject* object = asStore(self);
    if (!object->built) return 0;
    Store& store = object->store();
    Py_VISIT(store.module.get());
    Py_VISIT(store.damagedType.get());
    for (const auto& [offset, dict] : store.dicts) Py_VISIT(dict.get());
    for (const auto& [entry, made] : store.madeGroups) Py_VISIT(made.get());
    return 0;
}

int clear(PyObject* self) {
    StoreObject* object = asStore(self);
    if (!object->built) return 0;
    Store& store = object->store();
    // Moved out first: dropping a reference may run code that looks at the store.
    auto dicts = std::move(store.dicts);
    auto made = std::move(store.madeGroups);
    py::Ref module = std::move(store.module);
    py::Ref damaged = std::move(store.damagedType);
    store.dicts.clear();
    store.madeGroups.clear();
    return 0;
}

void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    StoreObject* object = asStore(self);
    if (object->built) {
        clear(self);
        object->store().~Store();
        object->built = false;
    }
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* groupsMethod(PyObject* self, PyObject* entry) {
    return py::boundary([&] {
        const Py_ssize_t index = PyLong_AsSsize_t(entry);
        if (index == -1 && PyErr_Occurred()) throw py::ErrorAlreadySet{};
        if (index < 0) {
            PyErr_SetString(PyExc_KeyError, "a directory entry is not negative");
            throw py::ErrorAlreadySet{};
        }
        return asStore(self)->store().groupsOf(static_cast<std::size_t>(index));
    });
}

PyObject* rowsMethod(PyObject* self, PyObject*) {
    return py::boundary([&] { return asStore(self)->store().rows(); });
}

// Pickled as what it holds, made whole: a plain store of the package.
PyObject* reduceMethod(PyObject* self, PyObject*) {
    return py::boundary([&] {
        Store& store = asStore(self)->store();
        py::Ref package = py::Ref::fresh(PyImport_ImportModule("lumira_tools._parameters"));
        py::Ref saved = py::attr(package, "SavedStore");
        py::Ref rows = store.rows();
        py::Ref groups = store.everyGroup();
        py::Ref arguments = py::tuple({rows, groups});
        return py::tuple({saved, arguments});
    });
}

PyMethodDef storeMethods[] = {
    {"groups", groupsMethod, METH_O,
     "groups(entry, /)\n--\n\nThe groups of the data block at this directory entry (made once, then the same dict)."},
    {"rows", rowsMethod, METH_NOARGS,
     "rows()\n--\n\nEvery parameter block read: (entry, kind, side, offset, compensated, parameters, error)."},
    {"__reduce__", reduceMethod, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot storeSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(clear)},
    {Py_tp_methods, storeMethods},
    {Py_tp_doc, const_cast<char*>("The parameter blocks of one file, made into dictionaries on first use.")},
    {0, nullptr},
};

PyType_Spec storeSpec = {
    "lumira_tools._native.ParameterStore",
    static_cast<int>(sizeof(StoreObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    storeSlots,
};

}  // namespace

void addParameterStoreType(py::Borrowed module) {
    py::Ref type = py::Ref::fresh(PyType_FromSpec(&storeSpec));
    py::check(PyModule_AddObject(module, "ParameterStore", py::Ref(type).release()));
}

py::Ref makeParameterStore(py::Borrowed module, bool strict, py::Borrowed damagedType) {
    py::Ref type = py::attr(module, "ParameterStore");
    auto* typeObject = reinterpret_cast<PyTypeObject*>(type.get());
    py::Ref made = py::Ref::fresh(typeObject->tp_alloc(typeObject, 0));
    StoreObject* object = asStore(made.get());
    Store* store = new (object->storage) Store();
    object->built = true;
    store->module = py::Ref::borrow(module);
    store->damagedType = py::Ref::borrow(damagedType);
    store->strict = strict;
    return made;
}

void keepPlan(py::Borrowed store, FilePlan&& plan) { asStore(store.get())->store().plan = std::move(plan); }

}  // namespace lumira::companion
