// The Python-visible functions. Each body binds its own arguments and returns
// a new reference, or an empty PyRef with a Python exception set.
#pragma once

#include "py_ref.hpp"
#include "types/field_descriptor.hpp"

namespace vesk {

PyRef loads(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyRef dumps(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyRef format_hint(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyRef stream_open(PyObject* args, PyObject* kwargs);
PyRef stream_read(PyObject* args, PyObject* kwargs);

// Turns a `schema` iterable into descriptors; false with the Python
// exception set (the iterator's own, or the item TypeError).
bool build_schema(PyObject* schema, Schema& fields);

extern const char kLoadsDoc[];
extern const char kDumpsDoc[];
extern const char kFormatHintDoc[];

}  // namespace vesk
