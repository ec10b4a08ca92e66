// The Python-visible functions. Each body binds its own arguments and returns
// a new reference, or an empty PyRef with a Python exception set.
#pragma once

#include "py_ref.hpp"

namespace vesk {

PyRef loads(PyObject* args, PyObject* kwargs);
PyRef dumps(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyRef format_hint(PyObject* args, PyObject* kwargs);

extern const char kLoadsDoc[];
extern const char kDumpsDoc[];
extern const char kFormatHintDoc[];

}  // namespace vesk
