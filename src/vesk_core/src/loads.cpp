// loads entry: input bytes in place, schema descriptors, one value, nothing
// but filler after.
#include "functions.hpp"
#include "parser/index_parser.hpp"
#include "parser/string_cache.hpp"

namespace vesk {
namespace {

// Turns the `schema` iterable into descriptors; false with the Python
// exception set (the iterator's own, or the item TypeError).
bool build_schema(PyObject* schema, Schema& fields) {
    PyRef iterator = PyRef::steal(PyObject_GetIter(schema));
    if (!iterator) return false;
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        if (!PyUnicode_Check(item.get())) {
            raise_conversion_error(item.get(), "PyString");
            return false;
        }
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(item.get(), &size);
        if (!utf8) return false;
        PyRef key = intern_key(utf8, static_cast<size_t>(size));
        if (!key) return false;
        fields.push_back({std::string(utf8, static_cast<size_t>(size)), std::move(key),
                          static_cast<uint64_t>(fields.size())});
    }
    return !PyErr_Occurred();
}

}  // namespace

const char kLoadsDoc[] =
    "loads(data, schema=None)\n"
    "--\n"
    "\n"
    "Parse VESK/JSON data from bytes or string\n"
    "\n"
    "Args:\n"
    "    data: Input as bytes (zero-copy) or str (will encode to UTF-8)\n"
    "\n"
    "Returns:\n"
    "    Parsed Python object (dict, list, str, int, float, bool, None)\n"
    "\n"
    "Raises:\n"
    "    ValueError: Invalid JSON/VESK syntax\n"
    "\n"
    "Examples:\n"
    "    >>> import vesk\n"
    "    >>> vesk.loads('{\"key\": \"value\"}')\n"
    "    {'key': 'value'}\n"
    "    >>> vesk.loads(b'[1, 2, 3]')\n"
    "    [1, 2, 3]";

PyRef loads(PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"data", "schema", nullptr};
    PyObject* data = nullptr;      // borrowed; keeps the input bytes alive for the call
    PyObject* schema = Py_None;    // borrowed
    if (!kwargs && PyTuple_GET_SIZE(args) == 1) {
        data = PyTuple_GET_ITEM(args, 0);
    } else if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:loads",
                                            const_cast<char**>(keywords), &data, &schema)) {
        return {};
    }

    const char* bytes = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_Check(data)) {
        bytes = PyBytes_AS_STRING(data);
        size = PyBytes_GET_SIZE(data);
    } else if (PyUnicode_Check(data)) {
        bytes = PyUnicode_AsUTF8AndSize(data, &size);  // cached by the str itself
    }
    if (!bytes) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "data must be bytes or str");
        return {};
    }

    Schema fields;
    const bool has_schema = schema != Py_None;
    if (has_schema && !build_schema(schema, fields)) return {};

    FastIndexParser parser(reinterpret_cast<const uint8_t*>(bytes), static_cast<uint64_t>(size));
    parser.skip_filler();
    if (parser.at_end()) return FastIndexParser::fail(unexpected_eof(parser.pos));
    PyRef value = parser.parse_value(has_schema ? &fields : nullptr);
    if (!value) return {};
    parser.skip_filler();
    if (!parser.at_end())
        return FastIndexParser::fail({"Trailing content after document", parser.pos});
    return value;
}

}  // namespace vesk
