// dumps entry: binds the arguments, converts the options, and runs the
// writer into the calling thread's output buffer.
#include <memory>
#include <string_view>

#include "arguments.hpp"
#include "functions.hpp"
#include "serializer/writer.hpp"

namespace vesk {
namespace {

// The calling thread's output buffers, kept between calls (never shrunk)
// and freed at thread exit. `in_use` marks a call under way: a dumps call
// made from Python code that the writer runs (a model_dump(), a key's
// __str__) writes into buffers of its own instead.
struct WriteBuf {
    ~WriteBuf();
    OutputText text;
    bool in_use = false;
};

// Reached through a plain pointer, which needs no initialisation guard, so
// that a call pays a single thread-local lookup, and in the initial-exec
// model, a load at a fixed offset from the thread pointer rather than a
// call to the dynamic loader (the pointer takes 8 bytes of the static TLS
// that the loader keeps spare for modules). The owner, touched only when
// the buffers are made, frees them at thread exit.
[[gnu::tls_model("initial-exec")]] thread_local WriteBuf* WRITE_BUF = nullptr;
thread_local std::unique_ptr<WriteBuf> WRITE_BUF_OWNER;

WriteBuf::~WriteBuf() { WRITE_BUF = nullptr; }

[[gnu::noinline, gnu::cold]] WriteBuf& make_write_buf() {
    WRITE_BUF_OWNER = std::make_unique<WriteBuf>();
    WRITE_BUF = WRITE_BUF_OWNER.get();
    return *WRITE_BUF;
}

enum Param { kData, kIvyGrid, kUnquotedKeys, kIndent, kBareStrings, kImplicitNull, kRowCount,
             kMultilineIvy, kDelimiter, kLean, kLines, kParamCount };
constexpr const char* kParamNames[kParamCount] = {
    "data",          "ivy_grid",  "unquoted_keys", "indent",    "bare_strings", "implicit_null",
    "row_count",     "multiline_ivy", "delimiter", "lean",      "lines"};
PyObject* g_param_keys[kParamCount];
constexpr Signature kSignature{"dumps", kParamNames, g_param_keys, kParamCount, 1, 1};

// "'T' object cannot be converted to 'X'" for argument `param`, T being the
// qualified name of the object's type.
bool argument_type_error(int param, PyObject* obj, const char* target) {
    PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (!name) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError,
                     "argument '%s': '<failed to extract type name>' object cannot be converted "
                     "to '%s'",
                     kParamNames[param], target);
        return false;
    }
    PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object cannot be converted to '%s'",
                 kParamNames[param], name.get(), target);
    return false;
}

bool convert_bool(PyObject* const (&slots)[kParamCount], int param, bool& out) {
    PyObject* obj = slots[param];
    if (!obj) return true;  // left out: the default stays
    if (!PyBool_Check(obj)) return argument_type_error(param, obj, "PyBool");
    out = obj == Py_True;
    return true;
}

bool convert_indent(PyObject* obj, DumpOptions& options) {
    if (!obj || obj == Py_None) return true;
    PyRef index = PyRef::steal(PyNumber_Index(obj));
    if (!index) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyObject* original = PyErr_GetRaisedException();
            PyErr_Format(PyExc_TypeError, "argument 'indent': %S", original);
            Py_DECREF(original);
        }
        return false;
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    options.has_indent = true;
    options.indent = value;
    return true;
}

bool convert_delimiter(PyObject* obj, DumpOptions& options) {
    if (!obj) return true;
    if (!PyUnicode_Check(obj)) return argument_type_error(kDelimiter, obj, "PyString");
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!text) return false;
    const std::string_view name(text, static_cast<size_t>(size));
    if (name == "tab" || name == "\t") options.delimiter = Delimiter::tab;
    else if (name == "pipe" || name == "|") options.delimiter = Delimiter::pipe;
    else options.delimiter = Delimiter::comma;
    return true;
}

// In the order the options are documented: the first failure is reported.
bool convert_options(PyObject* const (&slots)[kParamCount], DumpOptions& options) {
    return convert_bool(slots, kIvyGrid, options.ivy_grid) &&
           convert_bool(slots, kUnquotedKeys, options.unquoted_keys) &&
           convert_indent(slots[kIndent], options) &&
           convert_bool(slots, kBareStrings, options.bare_strings) &&
           convert_bool(slots, kImplicitNull, options.implicit_null) &&
           convert_bool(slots, kRowCount, options.row_count) &&
           convert_bool(slots, kMultilineIvy, options.multiline_ivy) &&
           convert_delimiter(slots[kDelimiter], options) &&
           convert_bool(slots, kLean, options.lean);
}

// JSON Lines are JSON, one value a line: no tables, and none of the options
// that would spread a value over lines or leave its keys bare.
bool prepare_lines(DumpOptions& options) {
    const char* conflict = options.has_indent      ? "indent"
                           : options.unquoted_keys ? "unquoted_keys"
                           : options.lean          ? "lean"
                                                   : nullptr;
    if (conflict) {
        PyErr_Format(PyExc_ValueError,
                     "%s cannot be combined with lines=True, which writes one line of JSON a value",
                     conflict);
        return false;
    }
    options.ivy_grid = false;
    return true;
}

// The values of `data` for JSON Lines: any iterable but text, bytes and
// dicts, whose iteration would take one value apart.
PyRef iterate_lines(PyObject* data) {
    const bool whole = PyUnicode_Check(data) || PyBytes_Check(data) || PyByteArray_Check(data) ||
                       PyMemoryView_Check(data) || PyDict_Check(data);
    if (whole || (!Py_TYPE(data)->tp_iter && !PySequence_Check(data))) {
        PyErr_Format(PyExc_TypeError,
                     "lines=True takes a list, tuple or other iterable of values, not '%s'",
                     Py_TYPE(data)->tp_name);
        return {};
    }
    return PyRef::steal(PyObject_GetIter(data));
}

// Binds the arguments of a call and converts its options; under
// lines=True, `values` receives the iterator over `data`.
bool bind_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject*& data,
               DumpOptions& options, PyRef& values) {
    PyObject* slots[kParamCount] = {};
    if (!bind_arguments(kSignature, args, PyVectorcall_NARGS(nargs), kwnames, slots)) return false;
    bool lines = false;
    if (!convert_options(slots, options) || !convert_bool(slots, kLines, lines)) return false;
    data = slots[kData];
    return !lines || (prepare_lines(options) && (values = iterate_lines(data)));
}

// `data` as one value, or, when `values` is an iterator, each of its values
// on a line of its own.
PyRef write_document(PyObject* data, PyObject* values, const DumpOptions& options,
                     OutputText& text) {
    text.clear();
    Writer writer(text, options);
    if (!(values ? writer.write_lines(values) : writer.write_value(data, 0))) return {};
    return writer.finish();
}

}  // namespace

const char kDumpsDoc[] =
    "dumps(data, *, ivy_grid=True, unquoted_keys=False, indent=None, bare_strings=False, "
    "implicit_null=False, row_count=True, multiline_ivy=False, delimiter=\"comma\", lean=False, "
    "lines=False)\n"
    "--\n"
    "\n"
    "Serialize Python objects to VESK (or plain JSON) text.\n"
    "\n"
    "Args:\n"
    "    data: dict, list, tuple, str, int, float, bool, None, bytes (as hex), Pydantic models\n"
    "        and dataclasses\n"
    "    ivy_grid: write lists of records as Ivy Grid tables\n"
    "    unquoted_keys: leave identifier-like keys unquoted\n"
    "    indent: spaces per nesting level, or None for compact output\n"
    "    bare_strings: leave unquoted the string cells that read back as themselves\n"
    "    implicit_null: write missing or null table cells as empty\n"
    "    row_count: prefix tables with their row count\n"
    "    multiline_ivy: use the multiline table layout\n"
    "    delimiter: table cell delimiter: \"comma\", \"tab\" or \"pipe\"\n"
    "    lean: the fewest tokens that still read back: bare keys, tables for any\n"
    "        records, their cells holding lists, objects and tables too, cells unquoted\n"
    "        wherever they read back the same\n"
    "    lines: write JSON Lines: each value of the iterable data as compact JSON on\n"
    "        a line of its own, each line ending in a line feed\n"
    "\n"
    "Returns:\n"
    "    The text as str";

PyRef dumps(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    DumpOptions options;
    PyObject* data = nullptr;
    PyRef values;  // under lines=True, the iterator over data
    if (PyVectorcall_NARGS(nargs) == 1 && !kwnames) {
        data = args[0];  // dumps(data), the usual call: the defaults, nothing to bind
    } else if (!bind_call(args, nargs, kwnames, data, options, values)) {
        return {};
    }

    WriteBuf* const thread = WRITE_BUF;
    WriteBuf& shared = thread ? *thread : make_write_buf();
    if (shared.in_use) {
        OutputText own;
        return write_document(data, values.get(), options, own);
    }
    shared.in_use = true;
    struct Release {
        WriteBuf& buf;
        ~Release() { buf.in_use = false; }
    } release{shared};
    return write_document(data, values.get(), options, shared.text);
}

}  // namespace vesk
