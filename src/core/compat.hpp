// C-API calls newer than the oldest CPython the package supports, defined for
// the older ones with the newer call's meaning, so that the code everywhere
// else spells the modern names.
#pragma once

#include <Python.h>

#if PY_VERSION_HEX < 0x030A0000
// 3.10: PyModule_AddObject without its trap of stealing the reference only
// when it succeeds.
inline int PyModule_AddObjectRef(PyObject* module, const char* name, PyObject* value) {
    if (value == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "PyModule_AddObjectRef() called with NULL value");
        return -1;
    }
    Py_INCREF(value);
    const int status = PyModule_AddObject(module, name, value);
    if (status < 0) Py_DECREF(value);
    return status;
}
#endif
