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

namespace vesk {

// The bytes of a text argument, read in place: a str as its UTF-8 form
// (which the str keeps), bytes as they are, and any other object that
// exposes a contiguous buffer of bytes (bytearray, memoryview, mmap, ...)
// through a buffer view held until the holder goes.
class InputText {
public:
    InputText() = default;
    ~InputText() {
        if (view_.obj) PyBuffer_Release(&view_);
    }
    InputText(const InputText&) = delete;
    InputText& operator=(const InputText&) = delete;

    // False with TypeError set, naming the argument `name`, for anything
    // else, or with the exporter's own error.
    bool read(PyObject* data, const char* name);

    const uint8_t* data() const { return reinterpret_cast<const uint8_t*>(bytes_); }
    uint64_t size() const { return static_cast<uint64_t>(size_); }
    // The bytes belong to a buffer that code holding the interpreter lock
    // may change (a bytearray, a writable mmap): read them only while
    // holding it, so that no other thread runs while they are read.
    bool mutable_bytes() const { return view_.obj != nullptr; }

private:
    const char* bytes_ = nullptr;
    Py_ssize_t size_ = 0;
    Py_buffer view_{};
};

}  // namespace vesk
