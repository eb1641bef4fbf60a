// Reading a whole file in one pass: the directory, every data block's
// parameters and (when asked) its values, with the file opened once and
// each parameter block parsed once however many blocks share it.
#pragma once

#include <Python.h>

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "container/directory.hpp"
#include "container/listing.hpp"
#include "core/python.hpp"
#include "extract/file_plan.hpp"
#include "extract/python/request.hpp"
#include "module/open_file.hpp"

namespace lumira::companion {

// Which blocks to read, with the request's texts when one was given.
struct Selection : BlockChoice {
    py::Ref requestTexts;  // its upper-cased texts, as results carry them
};

// `select` as the package passes it: None (every block), an int (the block
// at that place), a request (type, dimension, derivative), or a list of
// patterns, each a triple whose parts are upper-cased texts or None (the type
// may be "MATCH"), or such a triple and a channel number. A bad request
// raises as getOpusData does.
Selection selectionOf(py::Borrowed select);

struct Options {
    bool data = true;     // read the values (else kind and shape only)
    bool strict = true;   // cut-off fields make a block damaged instead of being reported
    bool scale = true;    // multiply values by CSF
    py::Borrowed blockType = nullptr;    // the package's Block: a tuple of ten fields
    py::Borrowed damagedType = nullptr;  // the package's DamagedFileError
};

// Opens the source (a path as the built-in open takes it, contents or a
// reader: see sources.hpp) and plans the file in one stretch without the
// lock; the host's open when it must be asked.
std::pair<std::unique_ptr<module::OpenFile>, FilePlan> openAndPlan(py::Borrowed module, py::Borrowed source,
                                                                    const Selection& selection);

// Opens contents or a reader, or else the source with the host's open (for what a native open cannot take,
// and to raise the host's error) and plans the file into `plan`.
std::unique_ptr<module::OpenFile> openThroughHost(py::Borrowed module, py::Borrowed source,
                                                  const Selection& selection, FilePlan& plan);

// The texts a result of a listed block carries (the derivative as requested),
// and the request of a block with those texts.
py::Ref requestTexts(const ListedBlock& listed);
py::Ref requestTexts(const FileBlock& block);
extract::Request requestOf(py::Borrowed texts, const RequestCodes& codes);

// The merged parameters of one located block of a planned file; the
// failures of its parameter blocks are raised, their short reads reported.
py::Ref blockParameters(py::Borrowed module, module::OpenFile& file, FilePlan& plan, const LocatedBlocks& located);

// The arguments read_file and read_files share, as PyArg_ParseTuple fills
// them ("pppOO!O" with &PyType_Type before blockType).
struct CallArguments {
    int data = 1;
    int strict = 1;
    int scale = 1;
    PyObject* select = Py_None;
    PyObject* blockType = nullptr;
    PyObject* damagedType = nullptr;

    // The options they ask for, checked: the block type must be a tuple type.
    Options options() const;
};

// The blocks of a planned file as the package's blocks (see read_file.cpp); the plan goes to their store.
py::Ref readPlannedFile(py::Borrowed module, module::OpenFile& file, FilePlan& plan, const Selection& selection,
                        const Options& options);

// The blocks the plan chose, as the package's Blocks sharing `store` (see block_reader.cpp).
py::Ref readChosenBlocks(py::Borrowed module, module::OpenFile& file, FilePlan& plan, const Selection& selection,
                         const Options& options, py::Borrowed store);

// Raises the package's DamagedFileError (`damagedType`) with `message`.
[[noreturn]] void raiseDamaged(py::Borrowed damagedType, const std::string& message);

// read_file(source, data, strict, scale, select, block_type, damaged_type)
PyObject* readFile(PyObject* module, PyObject* args);

// read_files(paths, workers, data, strict, scale, select, block_type, damaged_type, progress)
PyObject* readFiles(PyObject* module, PyObject* args);

// record_layout(source, select), read_records(source, select, start, stop, out) and
// read_record_info(source, select, start, stop): see records.cpp.
PyObject* recordLayout(PyObject* module, PyObject* args);
PyObject* readRecords(PyObject* module, PyObject* args);
PyObject* readRecordInfo(PyObject* module, PyObject* args);

// The kind of a result in words ("spectrum", "image map (traces)", ...), or
// nothing for an object of none of the module's result classes.
const char* kindOf(py::Borrowed module, py::Borrowed result);

// The shape of a result's values; for multi-region maps (all points, values per point).
py::Ref valuesShape(py::Borrowed result, std::string_view kind);

// The block's CSF when it changes the values: a number other than 1.
std::optional<double> scaleFactor(py::Borrowed parameters);

// Multiplies the result's values by `factor` in place, in double precision.
void scaleValues(py::Borrowed result, std::string_view kind, double factor);

// For a block's kind and shape without reading its values.
struct Shape {
    const char* kind;
    std::vector<std::int64_t> extents;
};

}  // namespace lumira::companion
