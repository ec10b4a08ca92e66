#include "decode_error.hpp"

#include <algorithm>
#include <cstring>

namespace vesk {
namespace {

PyObject* g_decode_error = nullptr;  // the type; owned, lives until the process ends

// The attributes, in the order of the constructor's parameters.
constexpr const char* kFields[] = {"msg", "doc", "pos", "lineno", "colno", "row", "column", nullptr};
constexpr int kFieldCount = 7;

// Bytes of the error's line that `doc` keeps on either side of the error.
constexpr uint64_t kDocReach = 100;

bool is_continuation(uint8_t byte) { return (byte & 0xC0) == 0x80; }

// The message as str() gives it: with the approximate position after it
// where the error states one. The attributes are kept as given; json's own
// constructor is not run, as it would reword the message.
int decode_error_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* values[kFieldCount] = {nullptr, nullptr, nullptr, Py_None, Py_None, Py_None, Py_None};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "UOO|OOOO:DecodeError",
                                     const_cast<char**>(kFields), &values[0], &values[1],
                                     &values[2], &values[3], &values[4], &values[5], &values[6]))
        return -1;
    PyRef text = values[2] == Py_None
                     ? PyRef::borrow(values[0])
                     : PyRef::steal(PyUnicode_FromFormat(
                           "%U (approximate position: %s32 bytes from %S)", values[0],
                           "\xc2\xb1", values[2]));
    if (!text) return -1;
    PyRef text_args = PyRef::steal(PyTuple_Pack(1, text.get()));
    if (!text_args || PyObject_SetAttrString(self, "args", text_args.get()) < 0) return -1;
    for (int i = 0; i < kFieldCount; ++i)
        if (PyObject_SetAttrString(self, kFields[i], values[i]) < 0) return -1;
    return 0;
}

// Rebuilt from its attributes: copied, pickled and raised again as it was.
PyObject* decode_error_reduce(PyObject* self, PyObject* /*unused*/) {
    PyRef values = PyRef::steal(PyTuple_New(kFieldCount));
    if (!values) return nullptr;
    for (int i = 0; i < kFieldCount; ++i) {
        PyObject* value = PyObject_GetAttrString(self, kFields[i]);
        if (!value) return nullptr;
        PyTuple_SET_ITEM(values.get(), i, value);
    }
    return Py_BuildValue("(OO)", reinterpret_cast<PyObject*>(Py_TYPE(self)), values.get());
}

const char kDecodeErrorDoc[] =
    "DecodeError(msg, doc, pos, lineno=None, colno=None, row=None, column=None)\n"
    "--\n"
    "\n"
    "Raised for text that does not read as VESK or JSON. A json.JSONDecodeError,\n"
    "and so a ValueError: code written for `json` catches it unchanged.\n"
    "\n"
    "`msg` is the message; str() gives it followed by the approximate position\n"
    "where `pos` is known. `pos` is the byte offset of the error in the input\n"
    "(for a str, in its UTF-8 form), or None where the message states none (a\n"
    "malformed number). `lineno` and `colno` are the line and column of the\n"
    "error, from 1, the column counted in characters. `doc` is not the whole\n"
    "input, which may be large, but the text near the error: its line, at most\n"
    "100 bytes of it on either side. For an error inside a table, `row` (from\n"
    "1) and `column` (the header name) tell the cell where known, else None.";

PyMethodDef kDecodeErrorMethods[] = {
    {"__reduce__", decode_error_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kDecodeErrorSlots[] = {
    {Py_tp_doc, const_cast<char*>(kDecodeErrorDoc)},
    {Py_tp_init, reinterpret_cast<void*>(decode_error_init)},
    {Py_tp_methods, kDecodeErrorMethods},
    {0, nullptr},
};

PyType_Spec kDecodeErrorSpec = {
    "vesk.DecodeError",
    0,  // the layout of json.JSONDecodeError
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    kDecodeErrorSlots,
};

}  // namespace

bool add_decode_error_type(PyObject* module) {
    PyRef json = PyRef::steal(PyImport_ImportModule("json"));
    if (!json) return false;
    PyRef base = PyRef::steal(PyObject_GetAttrString(json.get(), "JSONDecodeError"));
    if (!base) return false;
    PyRef type = PyRef::steal(PyType_FromSpecWithBases(&kDecodeErrorSpec, base.get()));
    if (!type || PyModule_AddObjectRef(module, "DecodeError", type.get()) < 0) return false;
    g_decode_error = type.release();
    return true;
}

PyRef raise_decode_error(const uint8_t* input, uint64_t length, const ParseError& error) {
    const uint64_t at = std::min(error.position, length);
    uint64_t line_start = at;
    while (line_start > 0 && input[line_start - 1] != '\n') --line_start;
    const auto lineno = 1 + static_cast<uint64_t>(std::count(input, input + line_start, '\n'));
    const auto colno = 1 + static_cast<uint64_t>(std::count_if(
                               input + line_start, input + at,
                               [](uint8_t byte) { return !is_continuation(byte); }));
    // The line around the error, cut where a character begins.
    uint64_t from = std::max(line_start, at > kDocReach ? at - kDocReach : 0);
    while (from < at && is_continuation(input[from])) ++from;
    const uint64_t reach = std::min(length, at + kDocReach);
    const auto* line_end = static_cast<const uint8_t*>(std::memchr(input + at, '\n', reach - at));
    uint64_t to = line_end ? static_cast<uint64_t>(line_end - input) : reach;
    if (line_end && to > at && input[to - 1] == '\r') --to;
    while (to > at && to < length && is_continuation(input[to])) --to;

    // Through str objects: the message may hold a NUL or an invalid byte.
    PyRef msg = PyRef::steal(PyUnicode_DecodeUTF8(
        error.message.data(), static_cast<Py_ssize_t>(error.message.size()), "replace"));
    PyRef doc = PyRef::steal(PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(input + from),
                                                  static_cast<Py_ssize_t>(to - from), "replace"));
    PyRef pos = error.stated ? PyRef::steal(PyLong_FromUnsignedLongLong(error.position))
                             : PyRef::borrow(Py_None);
    PyRef line = PyRef::steal(PyLong_FromUnsignedLongLong(lineno));
    PyRef column = PyRef::steal(PyLong_FromUnsignedLongLong(colno + (error.position - at)));
    if (!msg || !doc || !pos || !line || !column) return {};
    PyObject* args[] = {msg.get(), doc.get(), pos.get(), line.get(), column.get()};
    PyRef raised = PyRef::steal(PyObject_Vectorcall(g_decode_error, args, 5, nullptr));
    if (raised) PyErr_SetObject(g_decode_error, raised.get());
    return {};
}

void name_cell(uint64_t row, PyObject* column) {
    PyObject* raised = PyErr_GetRaisedException();
    if (raised && Py_IS_TYPE(raised, reinterpret_cast<PyTypeObject*>(g_decode_error))) {
        PyRef named = PyRef::steal(PyObject_GetAttrString(raised, "row"));
        PyRef number = PyRef::steal(PyLong_FromUnsignedLongLong(row));
        // Left unnamed when that fails: the error itself still stands.
        if (!named || !number ||
            (named.get() == Py_None &&
             (PyObject_SetAttrString(raised, "row", number.get()) < 0 ||
              PyObject_SetAttrString(raised, "column", column ? column : Py_None) < 0)))
            PyErr_Clear();
    }
    PyErr_SetRaisedException(raised);
}

}  // namespace vesk
