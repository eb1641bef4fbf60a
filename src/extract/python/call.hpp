// What one getOpusData call has found before a branch reads its data block.
#pragma once

#include <span>

#include "container/cursor.hpp"
#include "core/python.hpp"
#include "core/ref.hpp"
#include "extract/python/arrays.hpp"
#include "extract/python/request.hpp"
#include "extract/request.hpp"
#include "extract/text_encoding.hpp"
#include "module/open_file.hpp"

namespace lumira::extract {

struct RecordInfo;

struct OpusDataCall {
    py::Borrowed module;
    module::OpenFile& file;
    const Request& request;
    const LocatedBlocks& located;
    py::Ref parameters;     // the merged parameter dictionary
    FieldDecoder* decoder;  // for every cursor of the call; none while `unpack` is genuine
    bool keepOpen = false;  // more blocks of the file are read after this one
    // When given, a 3D read gathers its records' info fields here as it copies them.
    RecordInfo* recordInfo = nullptr;
    TextEncoding encoding = TextEncoding::Cp1252;  // of the file's texts
    // The companion's reads, whose `np` is NumPy itself: arrays of values are made empty and the values no
    // record fills set to zero, instead of zeroing all of them first as the module's np.zeros does.
    bool emptyArrays = false;
    // When given, makes a spectrum's values and axis in place of np.empty.
    ArrayMaker* arrays = nullptr;

    // The data are read: a call that reads one block closes its file here.
    void doneReading() {
        if (!keepOpen) file.close();
    }
};

// Builds a result class looked up in the module namespace at this use.
py::Ref makeResult(OpusDataCall& call, const char* className,
                   std::initializer_list<std::pair<const char*, py::Borrowed>> keywords);

// className(**keywords), the class (a result class or Region) looked up in the module at this use.
py::Ref construct(py::Borrowed module, const char* className, std::span<const py::Keyword> keywords);

// "2D" requests: one spectrum.
py::Ref readSingleSpectrum(OpusDataCall& call);

// "3D" requests.
py::Ref readThreeDimensional(OpusDataCall& call);

PyObject* getOpusData(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace lumira::extract
