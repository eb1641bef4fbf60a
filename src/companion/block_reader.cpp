// One block of a planned file as the package's Block: its merged parameters,
// its values (or, without data, its kind and shape), the error reading it
// alone would raise, and the checks a strict caller adds. The blocks a
// selection chose are read here one after another, with the parameter
// dictionaries and the array maker shared between them.
#include <cmath>
#include <span>
#include <string>

#include "companion/numpy_arrays.hpp"
#include "companion/parameter_dicts.hpp"
#include "companion/parameter_store.hpp"
#include "companion/whole_file.hpp"
#include "extract/python/arrays.hpp"
#include "extract/python/call.hpp"
#include "extract/python/three_dimensional.hpp"
#include "module/reports.hpp"
#include "module/state.hpp"

namespace lumira::companion {

Shape describeBlock(extract::OpusDataCall& call);

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

}  // namespace

[[noreturn]] void raiseDamaged(py::Borrowed damagedType, const std::string& message) {
    py::Ref error = damagedError(damagedType, message);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    throw py::ErrorAlreadySet{};
}

namespace {

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

py::Ref readChosenBlocks(py::Borrowed module, module::OpenFile& file, FilePlan& plan, const Selection& selection,
                         const Options& options, py::Borrowed store) {
    FileReader reader(module, file, plan, options);
    const Classes classes{reinterpret_cast<PyTypeObject*>(options.blockType.get()), options.damagedType, store};
    py::Ref blocks = py::Ref::fresh(PyList_New(0));
    for (std::size_t index : plan.chosen) {
        const FileBlock& block = plan.blocks[index];
        py::Ref texts = selection.kind == Selection::Kind::Request ? selection.requestTexts : requestTexts(block);
        py::append(blocks, reader.block(index, texts, classes));
    }
    return blocks;
}

}  // namespace lumira::companion
