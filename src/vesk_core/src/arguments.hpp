// Argument binding for the vectorcall entry points: positional arguments
// arrive as an array and keywords as a tuple of names after them, so no
// tuple or dict is built for a call.
#pragma once

#include <cstdint>

#include "py_ref.hpp"

namespace vesk {

struct Signature {
    const char* function;      // the name in messages: "loads"
    const char* const* names;  // every parameter, positional ones first
    // `count` slots for the names as interned str, filled on the first call
    // that passes a keyword and owned until the process ends (the module
    // lives in one interpreter). A keyword written in a call is the same
    // interned object, so it is matched by identity.
    PyObject** interned;
    int count;       // parameters in all
    int positional;  // how many of the first may be given by position
    int required;    // how many of the first must be given
};

// Matches the arguments of a call to the parameters of `signature`, with
// the interpreter's own messages for a call that does not fit. `slots`
// (`signature.count` entries, null on entry) receives borrowed references;
// a parameter left out stays null. False with TypeError set.
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** slots);

}  // namespace vesk

namespace vesk {

// The bytes of a text argument, read in place: a str as its UTF-8 form
// (which the str keeps), bytes as they are, and any other object that
// exposes a contiguous buffer of bytes (bytearray, memoryview, mmap, ...)
// through a buffer view held until the holder goes.
class InputText {
public:
    // Only the view's owner is set: the rest of the view is filled, and
    // read, only when a buffer is taken.
    InputText() { view_.obj = nullptr; }
    ~InputText() {
        if (view_.obj) PyBuffer_Release(&view_);
    }
    InputText(const InputText&) = delete;
    InputText& operator=(const InputText&) = delete;

    // False with TypeError set, naming the argument `name`, for anything
    // else, or with the exporter's own error. Bytes, the usual argument,
    // are taken in line.
    bool read(PyObject* data, const char* name) {
        if (!PyBytes_Check(data)) return read_other(data, name);
        bytes_ = PyBytes_AS_STRING(data);
        size_ = PyBytes_GET_SIZE(data);
        return true;
    }

    const uint8_t* data() const { return reinterpret_cast<const uint8_t*>(bytes_); }
    uint64_t size() const { return static_cast<uint64_t>(size_); }
    // The bytes belong to a buffer that code holding the interpreter lock
    // may change (a bytearray, a writable mmap): read them only while
    // holding it, so that no other thread runs while they are read.
    bool mutable_bytes() const { return view_.obj != nullptr; }

private:
    // read() for anything but bytes.
    bool read_other(PyObject* data, const char* name);

    const char* bytes_ = nullptr;
    Py_ssize_t size_ = 0;
    Py_buffer view_;
};

}  // namespace vesk
