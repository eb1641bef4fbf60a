// Small helpers over the C API: building values, calling, the lock, and the
// boundary that turns C++ exceptions into the pending Python error.
#pragma once

#include <Python.h>

#include <cstdint>
#include <exception>
#include <initializer_list>
#include <new>
#include <span>
#include <string_view>

#include "core/error.hpp"
#include "core/interned.hpp"
#include "core/ref.hpp"

namespace lumira::py {

inline Ref str(std::string_view text) {
    return Ref::fresh(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

inline Ref bytes(std::span<const std::uint8_t> data) {
    return Ref::fresh(
        PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()), static_cast<Py_ssize_t>(data.size())));
}

inline Ref integer(long long value) { return Ref::fresh(PyLong_FromLongLong(value)); }
inline Ref real(double value) { return Ref::fresh(PyFloat_FromDouble(value)); }

inline Ref attr(Borrowed object, std::string_view name) {
    return Ref::fresh(PyObject_GetAttr(object, interned(name).get()));
}

inline void setAttr(Borrowed object, std::string_view name, Borrowed value) {
    check(PyObject_SetAttr(object, interned(name).get(), value));
}

inline Ref call(Borrowed callable, std::initializer_list<Borrowed> args, Borrowed kwargs = nullptr) {
    Ref tuple = Ref::fresh(PyTuple_New(static_cast<Py_ssize_t>(args.size())));
    Py_ssize_t i = 0;
    for (Borrowed arg : args) PyTuple_SET_ITEM(tuple.get(), i++, Ref::borrow(arg).release());
    return Ref::fresh(PyObject_Call(callable, tuple.get(), kwargs));
}

inline Ref tuple(std::initializer_list<Borrowed> items) {
    Ref result = Ref::fresh(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (Borrowed item : items) PyTuple_SET_ITEM(result.get(), i++, Ref::borrow(item).release());
    return result;
}

inline void setItem(Borrowed dict, Borrowed key, Borrowed value) { check(PyDict_SetItem(dict, key, value)); }

inline void setItem(Borrowed dict, std::string_view key, Borrowed value) {
    check(PyDict_SetItem(dict, interned(key).get(), value));
}

using Keyword = std::pair<const char*, Borrowed>;

// callable(**{name: value, ...}), keywords passed in the order given.
inline Ref callWithKeywords(Borrowed callable, std::span<const Keyword> keywords) {
    Ref kwargs = Ref::fresh(PyDict_New());
    for (const auto& [name, value] : keywords) setItem(kwargs, name, value);
    Ref noArguments = Ref::fresh(PyTuple_New(0));
    return Ref::fresh(PyObject_Call(callable, noArguments.get(), kwargs.get()));
}

inline Ref callWithKeywords(Borrowed callable, std::initializer_list<Keyword> keywords) {
    return callWithKeywords(callable, std::span<const Keyword>(keywords.begin(), keywords.size()));
}

inline void append(Borrowed list, Borrowed item) { check(PyList_Append(list, item)); }

// Looks a name up in the module namespace at each use, so that callers who
// rebind a module attribute change what the module calls.
inline Ref moduleName(Borrowed module, std::string_view name) { return attr(module, name); }

// Prints one line through the host's print(), so redirections of sys.stdout apply.
void printLine(std::string_view line);

// Releases the interpreter lock for the lifetime of the object, when asked to.
class ReleasedGil {
public:
    explicit ReleasedGil(bool release = true) noexcept : state_(release ? PyEval_SaveThread() : nullptr) {}
    ~ReleasedGil() {
        if (state_ != nullptr) PyEval_RestoreThread(state_);
    }
    ReleasedGil(const ReleasedGil&) = delete;
    ReleasedGil& operator=(const ReleasedGil&) = delete;

private:
    PyThreadState* state_;
};

// Whether copying this many bytes is worth releasing the lock for: handing
// it to another thread and taking it back costs more than copying a few
// kilobytes.
constexpr bool worthReleasing(std::size_t bytes) noexcept { return bytes >= 64 * 1024; }

// Keeps a pending exception aside while cleanup code calls into Python.
class PendingErrorGuard {
public:
    PendingErrorGuard() noexcept { PyErr_Fetch(&type_, &value_, &traceback_); }
    ~PendingErrorGuard() { PyErr_Restore(type_, value_, traceback_); }
    PendingErrorGuard(const PendingErrorGuard&) = delete;
    PendingErrorGuard& operator=(const PendingErrorGuard&) = delete;

private:
    PyObject* type_;
    PyObject* value_;
    PyObject* traceback_;
};

// Sets the Python exception that stands for a native failure.
void raiseNative(const lumira::Error& error);

// Sets the Python exception that stands for whatever `failure` holds, as
// the boundary below would.
void raiseFailure(const std::exception_ptr& failure) noexcept;

// The pending exception as an object, normalised and carrying its traceback;
// the error indicator is cleared.
Ref takePendingError();

// Runs `body` and converts whatever it throws into a pending Python error.
template <typename Body>
PyObject* boundary(Body&& body) noexcept {
    try {
        return body().release();
    } catch (...) {
        raiseFailure(std::current_exception());
    }
    return nullptr;
}

// A module's exec slot: runs `body` (which fills the module) and reports a
// failure as the slot must, with -1 and the pending error.
template <typename Body>
int execSlot(Body&& body) noexcept {
    PyObject* done = boundary([&] {
        body();
        return Ref::borrow(Py_None);
    });
    if (done == nullptr) return -1;
    Py_DECREF(done);
    return 0;
}

// The writable, C-contiguous memory of an object (a NumPy array), held for
// as long as the view lives.
class WritableBuffer {
public:
    explicit WritableBuffer(Borrowed object) {
        check(PyObject_GetBuffer(object, &view_, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS | PyBUF_FORMAT));
    }
    ~WritableBuffer() { PyBuffer_Release(&view_); }
    WritableBuffer(const WritableBuffer&) = delete;
    WritableBuffer& operator=(const WritableBuffer&) = delete;

    template <typename T>
    std::span<T> as() {
        return std::span<T>(static_cast<T*>(view_.buf), static_cast<std::size_t>(view_.len) / sizeof(T));
    }
    std::size_t size() const noexcept { return static_cast<std::size_t>(view_.len); }
    // The struct-module code of an item ("f" for float32).
    std::string_view format() const noexcept { return view_.format != nullptr ? view_.format : "B"; }

private:
    Py_buffer view_{};
};

}  // namespace lumira::py
