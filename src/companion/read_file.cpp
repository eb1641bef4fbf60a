// read_file(source, data, strict, scale, select, block_type, damaged_type)
//
//   listing    the file's listContents triples
//   directory  every directory entry as nine little-endian int64: the six
//              type codes, the size in words, the byte offset and the type
//              word as stored
//   blocks     one package Block per chosen block: (index, request or None,
//              kind, shape, offset, shadowed, parameters, error, result,
//              record_info, entry, parts, channel, compensated, store),
//              record_info a 3D block's info fields (a structured array), store the
//              file's parameter store; none when the selection names a block
//              the file does not hold
//   damage     the directory's short reads (strict), as the errors `unpack`
//              raises for them
//   store      the file's parameter blocks, which its blocks share: their
//              groups and the list of parameter blocks are made from it on
//              first use (see parameter_store.hpp)
//
// A block's `error` is the exception reading it alone would raise; `damage`
// lists its short reads when `strict` collects them instead of reporting.
// With `data` false no values are read: `kind` and `shape` come from the
// parameters and the block's head. The file is opened once; the lock is
// released while it is read.
//
// This file holds the entry point, its arguments and the whole file's parts
// of the answer; block_reader.cpp makes the blocks, open_and_plan.cpp opens
// and plans the source.
#include <string>

#include "companion/heap.hpp"
#include "companion/parameter_store.hpp"
#include "companion/whole_file.hpp"
#include "extract/spectrum.hpp"
#include "module/opus_file.hpp"
#include "module/reports.hpp"
#include "module/state.hpp"

namespace lumira::companion {

namespace {

std::optional<std::size_t> patternPart(py::Borrowed part, auto lookup, bool& impossible) {
    if (part.get() == Py_None) return std::nullopt;
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(part, &length);
    if (text == nullptr) throw py::ErrorAlreadySet{};
    const auto found = lookup(std::string_view(text, static_cast<std::size_t>(length)));
    if (!found) impossible = true;
    return found;
}

Selection::Pattern patternOf(py::Borrowed triple) {
    py::Ref parts = py::Ref::fresh(PySequence_Tuple(triple));
    const Py_ssize_t count = PyTuple_GET_SIZE(parts.get());
    if (count != 3 && count != 4) {
        PyErr_SetString(PyExc_ValueError, "a block pattern has three parts and maybe a channel");
        throw py::ErrorAlreadySet{};
    }
    Selection::Pattern pattern;
    if (count == 4) {
        const long channel = PyLong_AsLong(PyTuple_GET_ITEM(parts.get(), 3));
        if (channel == -1 && PyErr_Occurred()) throw py::ErrorAlreadySet{};
        if (channel < 1 || channel > 4) pattern.impossible = true;
        pattern.channel = static_cast<int>(channel);
    }
    const auto name = patternPart(PyTuple_GET_ITEM(parts.get(), 0), [&pattern](std::string_view text) {
        if (text == matchName) {
            pattern.match = true;
            return std::optional<std::size_t>(0);
        }
        const DataTypeName* row = findDataTypeName(text);
        return row ? std::optional<std::size_t>(static_cast<std::size_t>(row - dataTypeNames.data())) : std::nullopt;
    }, pattern.impossible);
    const auto dimension = patternPart(PyTuple_GET_ITEM(parts.get(), 1), [](std::string_view text) {
        return text == "2D" ? std::optional<std::size_t>(0) : text == "3D" ? std::optional<std::size_t>(1)
                                                                          : std::nullopt;
    }, pattern.impossible);
    const auto deriv = patternPart(PyTuple_GET_ITEM(parts.get(), 2), [](std::string_view text) {
        for (int code = 0; code < 4; ++code)
            if (listedDerivativeText(code) == text) return std::optional<std::size_t>(code);
        return std::optional<std::size_t>();
    }, pattern.impossible);
    if (!pattern.match) pattern.nameIndex = name;
    if (dimension) pattern.threeD = *dimension == 1;
    if (deriv) pattern.derivType = static_cast<int>(*deriv);
    return pattern;
}

py::Ref directoryBytes(const Directory& directory) {
    std::vector<std::int64_t> fields;
    fields.reserve(directory.size() * 9);
    for (const DirectoryEntry& entry : directory) {
        const BlockTypeFields& f = entry.btt;
        fields.insert(fields.end(), {f.complexType, f.sampleType, f.paramType, f.dataType, f.derivType, f.extendType,
                                     entry.sizeInWords, entry.byteOffset, entry.word});
    }
    return py::Ref::fresh(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(fields.data()),
                                                    static_cast<Py_ssize_t>(fields.size() * sizeof(std::int64_t))));
}

py::Ref errorList(py::Borrowed module, const ShortReads& shortReads) {
    py::Ref list = py::Ref::fresh(PyList_New(0));
    for (const ShortRead& shortRead : shortReads)
        if (py::Ref error = module::shortReadError(module, shortRead)) py::append(list, error);
    return list;
}

// 1234567 -> "1,234,567", as the package writes sizes for people.
std::string grouped(std::uint64_t value) {
    const std::string digits = std::to_string(value);
    std::string text;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) text.push_back(',');
        text.push_back(digits[i]);
    }
    return text;
}

// A file that ends before its directory does, or whose directory points
// before its start, is damaged as a whole: said once, before any block is.
void refuseOutside(const FileExtent& extent, py::Borrowed damagedType) {
    std::string message;
    if (extent.cutShort()) {
        message = "the file is cut short at " + grouped(extent.size) + " bytes; its directory reaches " +
                  grouped(static_cast<std::uint64_t>(extent.reach));
    } else if (extent.beforeStart) {
        message = "its directory points at offset " + std::to_string(*extent.beforeStart) +
                  ", before the start of the file";
    } else {
        return;
    }
    raiseDamaged(damagedType, message);
}

}  // namespace

Selection selectionOf(py::Borrowed select) {
    Selection selection;
    if (select.get() == Py_None) return selection;
    if (PyLong_Check(select.get())) {
        const Py_ssize_t index = PyLong_AsSsize_t(select);
        if (index < 0) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "a block index is not negative");
            throw py::ErrorAlreadySet{};
        }
        selection.kind = Selection::Kind::Index;
        selection.index = static_cast<std::size_t>(index);
        return selection;
    }
    if (PyTuple_Check(select.get())) {
        const extract::Request request = extract::resolveRequest(select);
        selection.kind = Selection::Kind::Request;
        selection.request = request.codes;
        selection.requestTexts = py::tuple({request.dataBlockType, request.dimensions, request.deriv});
        return selection;
    }
    selection.kind = Selection::Kind::FirstMatch;
    py::Ref patterns = py::Ref::fresh(PySequence_Fast(select, "select must be None, a request or a list"));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(patterns.get()); ++i)
        selection.patterns.push_back(patternOf(PySequence_Fast_GET_ITEM(patterns.get(), i)));
    return selection;
}

py::Ref readPlannedFile(py::Borrowed module, module::OpenFile& file, FilePlan& plan, const Selection& selection,
                        const Options& options) {
    if (!plan.magic.complete) module::raiseShortMagic(module, plan.magic.bytes);
    if (!plan.magic.isOpus) module::refuseNonOpus();
    if (options.strict) refuseOutside(plan.extent, options.damagedType);
    py::Ref damage = options.strict ? errorList(module, plan.directoryShortReads) : py::Ref::fresh(PyList_New(0));

    PyObject* triples = module::stateOf(module).listedTriples;
    py::Ref listing = py::Ref::fresh(PyList_New(static_cast<Py_ssize_t>(plan.listing.size())));
    for (std::size_t i = 0; i < plan.listing.size(); ++i) {
        PyObject* triple = PyTuple_GET_ITEM(triples, static_cast<Py_ssize_t>(plan.listing[i].kind()));
        PyList_SET_ITEM(listing.get(), static_cast<Py_ssize_t>(i), py::Ref::borrow(triple).release());
    }

    // A whole file's arrays: about three times its bytes (float32 values, float64 axes).
    if (options.data) keepHeapFor(valuesTimes(file.source().size(), 3));
    py::Ref store = makeParameterStore(module, options.strict, options.damagedType);
    py::Ref blocks = readChosenBlocks(module, file, plan, selection, options, store);
    py::Ref directory = directoryBytes(plan.directory);
    keepPlan(store, std::move(plan));
    return py::tuple({listing, directory, blocks, damage, store});
}

Options CallArguments::options() const {
    if (!PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(blockType), &PyTuple_Type)) {
        PyErr_SetString(PyExc_TypeError, "the block type must be a tuple type");
        throw py::ErrorAlreadySet{};
    }
    return {data != 0, strict != 0, scale != 0, blockType, damagedType};
}

PyObject* readFile(PyObject* module, PyObject* args) {
    return py::boundary([&] {
        PyObject* source = nullptr;
        CallArguments given;
        if (!PyArg_ParseTuple(args, "OpppOO!O:read_file", &source, &given.data, &given.strict, &given.scale,
                              &given.select, &PyType_Type, &given.blockType, &given.damagedType))
            throw py::ErrorAlreadySet{};
        const Options options = given.options();
        const Selection selection = selectionOf(given.select);
        auto [file, plan] = openAndPlan(module, source, selection);
        py::Ref read = readPlannedFile(module, *file, plan, selection, options);
        file->close();
        return read;
    });
}

}  // namespace lumira::companion
