// The Python-visible functions. Each body binds its own arguments and returns
// a new reference, or an empty PyRef with a Python exception set.
#pragma once

#include <cxxabi.h>

#include <exception>
#include <new>

#include "py_ref.hpp"
#include "types/field_descriptor.hpp"

namespace vesk {

PyRef loads(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyRef dumps(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyRef format_hint(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// Readies the vesk.Stream type and adds it to `module` as `Stream`; false
// with the exception set.
bool add_stream_type(PyObject* module);

// Turns a `schema` iterable into descriptors; false with the Python
// exception set (the iterator's own, or the item TypeError).
bool build_schema(PyObject* schema, Schema& fields);

// Runs a function body behind the C boundary: no C++ exception may unwind
// into the interpreter. The one exception is the forced unwind of a thread
// that the interpreter ends with pthread_exit (a daemon thread taking the
// lock back during finalisation): it must be allowed to run its course.
template <class Call>
PyObject* guarded(Call call) {
    try {
        return call().release();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "vesk internal error: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "vesk internal error");
    }
    return nullptr;
}

extern const char kLoadsDoc[];
extern const char kDumpsDoc[];
extern const char kFormatHintDoc[];

}  // namespace vesk
