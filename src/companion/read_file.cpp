// read_file(source, data, strict, select) -> (listing, directory, blocks, damage, store)
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
#include <algorithm>
#include <cmath>
#include <cstring>
#include <span>
#include <string>

#include "companion/sources.hpp"
#include "companion/heap.hpp"
#include "companion/numpy_arrays.hpp"
#include "companion/parameter_dicts.hpp"
#include "companion/parameter_store.hpp"
#include "companion/whole_file.hpp"
#include "extract/python/arrays.hpp"
#include "extract/python/call.hpp"
#include "extract/python/parameters.hpp"
#include "extract/python/three_dimensional.hpp"
#include "extract/spectrum.hpp"
#include "module/opus_file.hpp"
#include "module/reports.hpp"
#include "module/state.hpp"

namespace lumira::companion {

Shape describeBlock(extract::OpusDataCall& call);

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

}  // namespace

namespace {

constexpr std::string_view requestedDerivative[] = {"NONE", "1DER", "2DER", "NDER"};

py::Ref textsOf(std::string_view name, bool threeD, std::string_view deriv) {
    py::Ref type = py::interned(name);
    py::Ref dimension = py::interned(threeD ? "3D" : "2D");
    py::Ref derivative = py::interned(deriv);
    return py::tuple({type, dimension, derivative});
}

}  // namespace

// The texts a result of a listed block carries (the derivative as requested).
py::Ref requestTexts(const ListedBlock& listed) {
    return textsOf(listed.name(), listed.threeD, requestedDerivative[listed.derivType & 3]);
}

py::Ref requestTexts(const FileBlock& block) {
    return textsOf(block.typeName, block.threeD, requestedDerivative[block.derivType & 3]);
}

extract::Request requestOf(py::Borrowed texts, const RequestCodes& codes) {
    extract::Request request;
    request.dataBlockType = py::Ref::borrow(PyTuple_GET_ITEM(texts.get(), 0));
    request.dimensions = py::Ref::borrow(PyTuple_GET_ITEM(texts.get(), 1));
    request.deriv = py::Ref::borrow(PyTuple_GET_ITEM(texts.get(), 2));
    request.codes = codes;
    request.threeD = codes.extendType == codes::extend3D;
    request.traces = PyUnicode_CompareWithASCIIString(request.dataBlockType.get(), "TRC") == 0;
    return request;
}

namespace {

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


// The fields of the package's Block, in its order.
constexpr Py_ssize_t blockFields = 15;

// What the caller's classes are: the block type (a tuple of blockFields fields) and
// the error that stands for a damaged file.
struct Classes {
    PyTypeObject* block;
    py::Borrowed damaged;
    py::Borrowed store;  // the file's parameter store, which its blocks share
};

py::Ref damagedError(py::Borrowed damagedType, const std::string& message) {
    py::Ref text = py::str(message);
    return py::call(damagedType, {text});
}

[[noreturn]] void raiseDamaged(py::Borrowed damagedType, const std::string& message) {
    py::Ref error = damagedError(damagedType, message);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    throw py::ErrorAlreadySet{};
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

// An axis or map grid with an infinite or NaN end would be NaN throughout
// (and NumPy would warn while making it): the parameter is damage.
void refuseNonFiniteAxes(py::Borrowed parameters, bool threeD, py::Borrowed damagedType) {
    constexpr std::string_view spectral[] = {"FXV", "LXV"};
    constexpr std::string_view grid[] = {"AOX", "AOY", "DDX", "DDY"};
    const auto check = [&](std::string_view code, const char* what) {
        PyObject* value = PyDict_GetItemWithError(parameters.get(), py::interned(code).get());
        if (value == nullptr) {
            if (PyErr_Occurred()) throw py::ErrorAlreadySet{};
            return;
        }
        if (!PyFloat_Check(value) || std::isfinite(PyFloat_AS_DOUBLE(value))) return;
        py::Ref text = py::Ref::fresh(PyObject_Repr(value));
        const char* utf8 = PyUnicode_AsUTF8(text.get());
        if (utf8 == nullptr) throw py::ErrorAlreadySet{};
        raiseDamaged(damagedType, "its parameter " + std::string(code) + " is " + utf8 + ", so its " + what +
                                      " cannot be computed");
    };
    for (std::string_view code : spectral) check(code, "x axis");
    if (threeD)
        for (std::string_view code : grid) check(code, "map grid");
}

py::Borrowed optionalBool(const std::optional<bool>& value) {
    return !value ? Py_None : *value ? Py_True : Py_False;
}

// Builds the blocks of one planned file.
class FileReader {
public:
    FileReader(py::Borrowed module, module::OpenFile& file, FilePlan& plan, const Options& options)
        : module_(module), file_(file), plan_(plan), options_(options) {}

    py::Ref block(std::size_t index, py::Borrowed texts, const Classes& classes) {
        const FileBlock& block = plan_.blocks[index];
        ShortReads damage;
        Outcome outcome;
        {
            // Reports are never printed: a strict caller refuses the block, any other takes the zeros.
            const module::ShortReadSink sink(damage);
            attempt(outcome, [&] { read(block, texts, outcome, damage); });
        }
        if (outcome.result.get() != Py_None) attempt(outcome, [&] { describeResult(outcome); });
        if (options_.strict && outcome.error.get() == Py_None) outcome.error = strictError(outcome, damage, classes);
        if (outcome.error.get() != Py_None) {
            outcome.result = py::Ref::borrow(Py_None);
            outcome.recordInfo = py::Ref::borrow(Py_None);
        } else if (outcome.result.get() != Py_None && options_.scale && outcome.kindName != nullptr) {
            attempt(outcome, [&] {
                if (const auto factor = scaleFactor(outcome.parameters))
                    scaleValues(outcome.result, outcome.kindName, *factor);
            });
        }

        // As the listing writes it: a listed block's triple is the listing's own.
        py::Ref parts = block.listed ? py::Ref::borrow(PyTuple_GET_ITEM(module::stateOf(module_).listedTriples,
                                                                        static_cast<Py_ssize_t>(block.listed->kind())))
                                     : textsOf(block.typeName, block.threeD, listedDerivativeText(block.derivType));
        py::Ref made = py::Ref::fresh(classes.block->tp_alloc(classes.block, blockFields));
        PyObject* const fields[blockFields] = {py::integer(static_cast<long long>(index)).release(),
                                               py::Ref::borrow(block.listed ? texts.get() : Py_None).release(),
                                               outcome.kind.release(),
                                               outcome.shape.release(),
                                               py::integer(block.located.offsetToData).release(),
                                               py::Ref::borrow(block.shadowed ? Py_True : Py_False).release(),
                                               outcome.parameters.release(),
                                               outcome.error.release(),
                                               outcome.result.release(),
                                               outcome.recordInfo.release(),
                                               py::integer(static_cast<long long>(block.entry)).release(),
                                               parts.release(),
                                               py::integer(block.channel).release(),
                                               py::Ref::borrow(optionalBool(block.compensated)).release(),
                                               py::Ref::borrow(classes.store).release()};
        for (Py_ssize_t i = 0; i < blockFields; ++i) PyTuple_SET_ITEM(made.get(), i, fields[i]);
        return made;
    }

    // The merged parameters of a block (raising as reading it would).
    py::Ref parameters(const LocatedBlocks& located) { return merged(located); }


private:
    struct Outcome {
        py::Ref kind = py::Ref::borrow(Py_None);
        py::Ref shape = py::Ref::borrow(Py_None);
        py::Ref parameters = py::Ref::borrow(Py_None);
        py::Ref error = py::Ref::borrow(Py_None);
        py::Ref result = py::Ref::borrow(Py_None);
        py::Ref recordInfo = py::Ref::borrow(Py_None);  // a 3D block's record info fields
        std::int64_t points = -1;  // a spectrum's NPT, for the strict check
        const char* kindName = nullptr;
    };

    // Runs one step of a block's read; what it throws becomes the block's
    // error, and the block has no result then.
    template <typename Step>
    static void attempt(Outcome& outcome, Step step) {
        try {
            step();
        } catch (...) {
            outcome.error = errorFrom(std::current_exception());
            outcome.result = py::Ref::borrow(Py_None);
        }
    }

    void read(const FileBlock& block, py::Borrowed texts, Outcome& outcome, const ShortReads& damage) {
        const extract::Request request = requestOf(texts, block.codes);
        if (!block.located.foundDataBlock()) extract::raiseNoDataBlock(request);
        outcome.parameters = merged(block.located);
        refuseNonFiniteAxes(outcome.parameters, request.threeD, options_.damagedType);
        // A strict caller refuses a block whose parameters were cut off: its
        // values need not be read.
        if (!damage.empty()) return;
        extract::OpusDataCall call{module_, file_,   request, block.located, outcome.parameters,
                                   nullptr, true, nullptr, plan_.encoding};
        call.emptyArrays = true;
        if (options_.data) call.arrays = arrayMaker();
        if (!request.threeD) outcome.points = spectrumPoints(outcome.parameters);
        if (options_.data && request.threeD) {
            extract::RecordInfo recordInfo;
            call.recordInfo = &recordInfo;
            outcome.result = extract::readThreeDimensional(call);
            outcome.recordInfo = recordInfo.array;
            return;
        }
        if (options_.data) {
            outcome.result = extract::readSingleSpectrum(call);
            return;
        }
        const Shape described = describeBlock(call);
        outcome.kind = py::interned(described.kind);
        outcome.shape = py::Ref::fresh(PyTuple_New(static_cast<Py_ssize_t>(described.extents.size())));
        for (std::size_t i = 0; i < described.extents.size(); ++i)
            PyTuple_SET_ITEM(outcome.shape.get(), static_cast<Py_ssize_t>(i),
                             py::integer(described.extents[i]).release());
    }

    // Cut-off fields, or a spectrum shorter than its axis.
    py::Ref strictError(const Outcome& outcome, const ShortReads& damage, const Classes& classes) {
        if (!damage.empty()) return cutOffError(module_, damage, classes.damaged);
        // A spectrum shorter than its axis: its file ends before its values do.
        long long held = -1;
        const long long wanted = outcome.points;
        if (wanted >= 0 && outcome.shape.get() != Py_None && PyTuple_GET_SIZE(outcome.shape.get()) == 1) {
            held = PyLong_AsLongLong(PyTuple_GET_ITEM(outcome.shape.get(), 0));
            if (held == -1 && PyErr_Occurred()) throw py::ErrorAlreadySet{};
        }
        if (held >= wanted) return py::Ref::borrow(Py_None);
        return damagedError(classes.damaged, "the file ends early: " + std::to_string(held) + " of " +
                                                 std::to_string(wanted) + " points are there");
    }

    void describeResult(Outcome& outcome) {
        outcome.kindName = kindOf(module_, outcome.result);
        if (outcome.kindName == nullptr) return;  // a result class rebound to something else: nothing to say
        outcome.kind = py::interned(outcome.kindName);
        outcome.shape = valuesShape(outcome.result, outcome.kindName);
    }

    // NPT of a spectrum as a count, or -1 when it is none (its read fails then).
    static std::int64_t spectrumPoints(py::Borrowed parameters) {
        PyObject* npt = PyDict_GetItemWithError(parameters.get(), py::interned("NPT").get());
        if (npt == nullptr || !PyLong_CheckExact(npt)) {
            if (PyErr_Occurred()) throw py::ErrorAlreadySet{};
            return -1;
        }
        return extract::saturatedCount(npt);
    }

    // The merged parameters: the data parameter block, then the companions,
    // a later record of a name replacing the value at its first place.
    py::Ref merged(const LocatedBlocks& located) {
        const std::int64_t offsets[] = {located.offsetToParams, located.offsetToAcqParams, located.offsetToInstParams,
                                        located.offsetToSampleParams, located.offsetToFTParams};
        ShortReads seen;
        for (std::int64_t offset : offsets) {
            if (offset == LocatedBlocks::absent) continue;
            const ParsedParameters& parsed = plan_.parameters.at(offset);
            seen.insert(seen.end(), parsed.shortReads.begin(), parsed.shortReads.end());
            if (parsed.failure) {
                module::reportShortReads(module_, seen);
                std::rethrow_exception(parsed.failure);
            }
        }
        module::reportShortReads(module_, seen);
        return dicts_.merged(located.offsetToParams, std::span(offsets).subspan(1));
    }

    extract::ArrayMaker* arrayMaker() {
        if (!arraysChosen_) arrays_ = numpyArrays(module_);
        arraysChosen_ = true;
        return arrays_;
    }

    py::Borrowed module_;
    module::OpenFile& file_;
    FilePlan& plan_;
    const Options& options_;
    ParameterDicts dicts_{plan_};
    extract::ArrayMaker* arrays_ = nullptr;  // chosen on the first read of values
    bool arraysChosen_ = false;
};

}  // namespace

py::Ref blockParameters(py::Borrowed module, module::OpenFile& file, FilePlan& plan, const LocatedBlocks& located) {
    const Options options;
    return FileReader(module, file, plan, options).parameters(located);
}

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
    FileReader reader(module, file, plan, options);
    py::Ref store = makeParameterStore(module, options.strict, options.damagedType);
    const Classes classes{reinterpret_cast<PyTypeObject*>(options.blockType.get()), options.damagedType, store};
    py::Ref blocks = py::Ref::fresh(PyList_New(0));
    for (std::size_t index : plan.chosen) {
        const FileBlock& block = plan.blocks[index];
        py::Ref texts = selection.kind == Selection::Kind::Request ? selection.requestTexts : requestTexts(block);
        py::append(blocks, reader.block(index, texts, classes));
    }
    py::Ref directory = directoryBytes(plan.directory);
    keepPlan(store, std::move(plan));
    return py::tuple({listing, directory, blocks, damage, store});
}

std::pair<std::unique_ptr<module::OpenFile>, FilePlan> openAndPlan(py::Borrowed module, py::Borrowed source,
                                                                    const Selection& selection) {
    std::unique_ptr<module::OpenFile> file;
    FilePlan plan;
    if (isOtherSource(source)) {
        file = openThroughHost(module, source, selection, plan);
        return {std::move(file), std::move(plan)};
    }
    if (const auto native = module::nativePath(module, source)) {
        std::exception_ptr failure;
        {
            py::ReleasedGil unlocked;
            try {
                file = module::OpenFile::adopt(openPath(native->text(), wholeFileLimit));
                if (file) plan = planFile(file->source(), selection);
            } catch (...) {
                failure = std::current_exception();
            }
        }
        if (failure) std::rethrow_exception(failure);
        if (file) return {std::move(file), std::move(plan)};
    }
    file = openThroughHost(module, source, selection, plan);
    return {std::move(file), std::move(plan)};
}

std::unique_ptr<module::OpenFile> openThroughHost(py::Borrowed module, py::Borrowed source,
                                                  const Selection& selection, FilePlan& plan) {
    std::unique_ptr<module::OpenFile> file;
    if (isOtherSource(source)) {
        OpenedPath opened;
        opened.source = otherSource(source);
        file = module::OpenFile::adopt(std::move(opened));
    } else {
        file = module::OpenFile::throughHost(source);
    }
    ShortReads none;
    plan = module::parseUnlocked(module, none, [&] { return planFile(file->source(), selection); });
    return file;
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
