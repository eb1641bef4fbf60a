// The argument checks of getOpusData(path, datablock): two arguments, by
// position or keyword, `path` a str or None; every failure a TypeError with
// the module's fixed texts, raised before any file is touched.
#pragma once

#include <Python.h>

namespace lumira::extract {

struct OpusDataArguments {
    PyObject* path;       // borrowed from the call
    PyObject* datablock;  // borrowed from the call
};

OpusDataArguments parseOpusDataArguments(PyObject* args, PyObject* kwargs);

}  // namespace lumira::extract
