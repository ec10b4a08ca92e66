#include "arguments.hpp"

#include <cstring>

namespace vesk {
namespace {

// `what` (stolen) says what the argument was instead.
bool wrong_text(const char* name, PyRef what) {
    if (what)
        PyErr_Format(PyExc_TypeError,
                     "%s must be str, bytes or a contiguous buffer of bytes such as bytearray, "
                     "memoryview or mmap, not %U",
                     name, what.get());
    return false;
}

// A buffer's items are bytes where its format, with any byte order mark
// before it, is one of the one-byte kinds; no format means unsigned bytes.
bool holds_bytes(const Py_buffer& view) {
    if (view.itemsize != 1) return false;
    if (!view.format) return true;
    const char* format = view.format;
    if (*format && std::strchr("@=<>!", *format)) ++format;
    return (std::strcmp(format, "B") == 0 || std::strcmp(format, "b") == 0 ||
            std::strcmp(format, "c") == 0);
}

bool too_many_positional(const Signature& s, Py_ssize_t given) {
    const char* verb = given == 1 ? "was" : "were";
    if (s.required == s.positional)
        PyErr_Format(PyExc_TypeError, "%s() takes %d positional arguments but %zd %s given",
                     s.function, s.positional, given, verb);
    else
        PyErr_Format(PyExc_TypeError,
                     "%s() takes from %d to %d positional arguments but %zd %s given", s.function,
                     s.required, s.positional, given, verb);
    return false;
}

// The parameter that keyword `name` names, or -1. Keywords spelled out in a
// call are interned, so identity settles nearly every lookup; a name built
// at run time (a ** mapping's key) is compared by its text.
int find_parameter(const Signature& s, PyObject* name) {
    for (int p = 0; p < s.count; ++p)
        if (s.interned[p] == name) return p;
    for (int p = 0; p < s.count; ++p)
        if (PyUnicode_CompareWithASCIIString(name, s.names[p]) == 0) return p;
    return -1;
}

bool intern_names(const Signature& s) {
    for (int p = 0; p < s.count; ++p)
        if (!s.interned[p] && !(s.interned[p] = PyUnicode_InternFromString(s.names[p])))
            return false;
    return true;
}

}  // namespace

bool bind_arguments(const Signature& s, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** slots) {
    if (nargs > s.positional) return too_many_positional(s, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw && !s.interned[s.count - 1] && !intern_names(s)) return false;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        const int param = find_parameter(s, name);
        if (param < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         s.function, name);
            return false;
        }
        if (slots[param]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                         s.function, s.names[param]);
            return false;
        }
        slots[param] = args[nargs + k];
    }
    for (int p = 0; p < s.required; ++p) {
        if (!slots[p]) {
            PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: '%s'",
                         s.function, s.names[p]);
            return false;
        }
    }
    return true;
}

bool InputText::read_other(PyObject* data, const char* name) {
    if (PyUnicode_Check(data)) {
        bytes_ = PyUnicode_AsUTF8AndSize(data, &size_);  // cached by the str itself
        if (bytes_) return true;
        PyErr_Clear();
        return wrong_text(name, PyRef::steal(PyUnicode_FromString(
                                    "a str that does not encode to UTF-8 (a lone surrogate)")));
    }
    if (!PyObject_CheckBuffer(data))
        return wrong_text(name, PyRef::steal(PyUnicode_FromFormat("'%s'", Py_TYPE(data)->tp_name)));
    // Strides and format asked for, so that a view the reader cannot take
    // is told apart by what it is.
    if (PyObject_GetBuffer(data, &view_, PyBUF_RECORDS_RO) < 0) {
        view_.obj = nullptr;  // nothing to release
        return false;
    }
    if (!holds_bytes(view_))
        return wrong_text(name, PyRef::steal(PyUnicode_FromFormat(
                                    "a buffer of items of format '%s'", view_.format ? view_.format : "B")));
    if (!PyBuffer_IsContiguous(&view_, 'C'))
        return wrong_text(name, PyRef::steal(PyUnicode_FromString("a non-contiguous buffer")));
    bytes_ = static_cast<const char*>(view_.buf);
    size_ = view_.len;
    return true;
}

}  // namespace vesk
