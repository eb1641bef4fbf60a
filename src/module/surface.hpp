// What the module shows of itself: function documentation, help(), paramDict.
#pragma once

#include <Python.h>

#include <array>
#include <string_view>
#include <utility>

namespace lumira::module {

// Each starts with the function's signature, "name(...)\n--\n\n": the host
// strips it from __doc__ and gives it to inspect as __text_signature__.
extern const char* const helpDoc;
extern const char* const listContentsDoc;
extern const char* const isOpusFileDoc;
extern const char* const getOpusDataDoc;

PyObject* help(PyObject* module, PyObject* unused);
PyObject* listContents(PyObject* module, PyObject* path);

// Descriptions of the parameter codes, for labelling result parameters.
extern const std::array<std::pair<std::string_view, std::string_view>, 34> parameterDescriptions;

}  // namespace lumira::module
