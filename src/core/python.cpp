#include "core/python.hpp"

namespace lumira::py {

void printLine(std::string_view line) {
    PyObject* builtins = PyEval_GetBuiltins();                  // borrowed
    PyObject* print = PyDict_GetItemString(builtins, "print");  // borrowed
    if (print == nullptr) {
        PyErr_SetString(PyExc_NameError, "name 'print' is not defined");
        throw ErrorAlreadySet{};
    }
    Ref text = str(line);
    call(print, {text});
}

void raiseNative(const lumira::Error& error) {
    switch (error.kind()) {
        case ErrorKind::Value:
            // An empty message stands for an exception raised without arguments.
            if (*error.what() == '\0') {
                PyErr_SetNone(PyExc_ValueError);
            } else {
                PyErr_SetString(PyExc_ValueError, error.what());
            }
            return;
        case ErrorKind::Type: PyErr_SetString(PyExc_TypeError, error.what()); return;
        case ErrorKind::ZeroDivision: PyErr_SetString(PyExc_ZeroDivisionError, error.what()); return;
        case ErrorKind::Index: PyErr_SetString(PyExc_IndexError, error.what()); return;
        case ErrorKind::Key: {
            PyObject* key = PyUnicode_FromString(error.what());
            if (key != nullptr) {
                PyErr_SetObject(PyExc_KeyError, key);
                Py_DECREF(key);
            }
            return;
        }
        case ErrorKind::OS:
            errno = error.errnum();
            PyErr_SetFromErrno(PyExc_OSError);
            return;
        case ErrorKind::Overflow: PyErr_SetString(PyExc_OverflowError, error.what()); return;
        case ErrorKind::Memory: PyErr_NoMemory(); return;
        case ErrorKind::Utf8Decode: {
            const auto& data = error.payload();
            // Decoding again through the host raises its own UnicodeDecodeError.
            PyObject* text = PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(data.data()),
                                                  static_cast<Py_ssize_t>(data.size()), "strict");
            if (text != nullptr) {
                Py_DECREF(text);
                PyErr_SetString(PyExc_SystemError, "bytes expected to fail UTF-8 decoding did not");
            }
            return;
        }
    }
}

void raiseFailure(const std::exception_ptr& failure) noexcept {
    try {
        std::rethrow_exception(failure);
    } catch (const ErrorAlreadySet&) {
    } catch (const lumira::Error& error) {
        raiseNative(error);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_SystemError, error.what());
    }
}

Ref takePendingError() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref error = Ref::steal(value);
    Ref kind = Ref::steal(type);
    Ref frames = Ref::steal(traceback);
    if (error && frames) PyException_SetTraceback(error.get(), frames.get());
    return error;
}

}  // namespace lumira::py
