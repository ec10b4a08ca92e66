// Argument binding for the vectorcall entry points: positional arguments
// arrive as an array and keywords as a tuple of names after them, so no
// tuple or dict is built for a call.
#pragma once

#include "py_ref.hpp"

namespace vesk {

struct Signature {
    const char* function;      // the name in messages: "loads"
    const char* const* names;  // every parameter, positional ones first
    int count;                 // parameters in all
    int positional;            // how many of the first may be given by position
    int required;              // how many of the first must be given
};

// Matches the arguments of a call to the parameters of `signature`, with
// the interpreter's own messages for a call that does not fit. `slots`
// (`signature.count` entries, null on entry) receives borrowed references;
// a parameter left out stays null. False with TypeError set.
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** slots);

}  // namespace vesk
