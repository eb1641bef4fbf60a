// Owned references to Python objects.
//
// A Ref owns exactly one strong reference (or none). Where a reference comes
// from is spelled out at the point of construction:
//   Ref::steal(p)   takes over a new reference the caller already owns,
//   Ref::fresh(p)   the same, for a C-API result where NULL means an error is
//                   pending (throws ErrorAlreadySet),
//   Ref::borrow(p)  adds a reference to an object someone else owns.
// Functions that only look at an object take `Borrowed`, which never owns.
#pragma once

#include <Python.h>

#include <utility>

#include "core/compat.hpp"

namespace lumira::py {

// Thrown when a Python exception is already pending. The module boundary lets
// it through to the interpreter untouched.
struct ErrorAlreadySet {};

class Borrowed {
public:
    Borrowed(PyObject* object) noexcept : object_(object) {}  // NOLINT: borrowing is the point
    PyObject* get() const noexcept { return object_; }
    operator PyObject*() const noexcept { return object_; }  // NOLINT

private:
    PyObject* object_;
};

class Ref {
public:
    Ref() noexcept = default;

    static Ref steal(PyObject* object) noexcept { return Ref(object); }
    static Ref fresh(PyObject* object) {
        if (object == nullptr) throw ErrorAlreadySet{};
        return Ref(object);
    }
    static Ref borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Ref(object);
    }

    Ref(const Ref& other) noexcept : object_(other.object_) { Py_XINCREF(object_); }
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    operator Borrowed() const noexcept { return Borrowed(object_); }  // NOLINT
    explicit operator bool() const noexcept { return object_ != nullptr; }

    // Hands the reference to a caller that steals it (a C-API return value).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

// For C-API calls that report failure with -1 and a pending exception.
inline void check(int status) {
    if (status < 0) throw ErrorAlreadySet{};
}

}  // namespace lumira::py
