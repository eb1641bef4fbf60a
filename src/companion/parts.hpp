// The parts of a file beside its data blocks, read from a block's bytes:
// the history, table containers and the images they embed. The package
// reads the bytes; these functions parse them (see src/parts/).
#pragma once

#include <Python.h>

namespace lumira::companion {

// read_history(block, offset, utf8) -> [(kind, text), ...]; kind is
// "session", "title", "detail" or "command".
PyObject* readHistory(PyObject* module, PyObject* args);

// read_container(block, offset, utf8) -> (head, directory, properties,
// tables); head is (directory offset, reserved bytes, third word), directory
// the directory parameter block as a dict, each table (name, offset, parameters,
// properties, columns, rows, sub-tables), a property (label, value, format),
// a column (name, offset, type, width, format), a row a tuple of cells.
PyObject* readContainer(PyObject* module, PyObject* args);

// read_image(blob) -> (jpeg offset, jpeg length, width, height, components).
PyObject* readImage(PyObject* module, PyObject* args);

}  // namespace lumira::companion
