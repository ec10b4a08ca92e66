#include "arguments.hpp"

namespace vesk {
namespace {

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

}  // namespace

bool bind_arguments(const Signature& s, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** slots) {
    if (nargs > s.positional) return too_many_positional(s, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        int param = -1;
        for (int p = 0; p < s.count && param < 0; ++p)
            if (PyUnicode_CompareWithASCIIString(name, s.names[p]) == 0) param = p;
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

}  // namespace vesk
