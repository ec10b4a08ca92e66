// loads entry: argument binding, input bytes, schema, index, parse.
#include "functions.hpp"

namespace vesk {

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
    PyObject* data = nullptr;
    PyObject* schema = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:loads", const_cast<char**>(keywords), &data,
                                     &schema))
        return {};
    PyErr_SetString(PyExc_NotImplementedError, "loads is not implemented yet");
    return {};
}

}  // namespace vesk
