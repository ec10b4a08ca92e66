// PyRef: the one owning handle for PyObject* in this module.
//
// A PyRef owns exactly one strong reference or is empty. Moving transfers the
// reference; destruction releases it, so every early return on an error path
// drops what it holds. An empty PyRef returned from a function means "failed,
// Python exception set": that is how errors travel up the reader and writer.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vesk {

class PyRef {
public:
    PyRef() = default;
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        PyRef tmp(std::move(other));
        std::swap(obj_, tmp.obj_);
        return *this;
    }
    ~PyRef() { Py_XDECREF(obj_); }

    // Takes over a new reference (may be NULL, e.g. a failed API call).
    static PyRef steal(PyObject* obj) { return PyRef(obj); }
    // Adds a reference to a borrowed object.
    static PyRef borrow(PyObject* obj) {
        Py_XINCREF(obj);
        return PyRef(obj);
    }

    PyObject* get() const { return obj_; }
    explicit operator bool() const { return obj_ != nullptr; }
    // Gives the reference to the caller (e.g. to a stealing API call).
    [[nodiscard]] PyObject* release() { return std::exchange(obj_, nullptr); }

private:
    explicit PyRef(PyObject* obj) : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

// Raises `type` with `message`; always returns an empty PyRef.
inline PyRef raise_error(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    return {};
}

// Replaces the interpreter's pending exception with the module's own.
inline PyRef replace_error(PyObject* type, const char* message) {
    PyErr_Clear();
    return raise_error(type, message);
}

// "'T' object cannot be converted to 'X'" as a TypeError; `argument` adds the
// "argument 'name': " prefix used for function arguments.
inline PyRef raise_conversion_error(PyObject* obj, const char* target,
                                    const char* argument = nullptr) {
    if (argument)
        PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to '%s'",
                     argument, Py_TYPE(obj)->tp_name, target);
    else
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'",
                     Py_TYPE(obj)->tp_name, target);
    return {};
}

}  // namespace vesk
