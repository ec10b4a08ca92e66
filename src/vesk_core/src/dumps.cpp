// dumps: registered with its real signature; the writer lands separately.
#include "functions.hpp"

namespace vesk {

const char kDumpsDoc[] =
    "dumps(data, *, ivy_grid=True, unquoted_keys=False, indent=None, bare_strings=False, "
    "implicit_null=False, row_count=True, multiline_ivy=False, delimiter=\"comma\")\n"
    "--\n"
    "\n"
    "Serialize Python objects to VESK (or plain JSON) text.\n"
    "\n"
    "Args:\n"
    "    data: dict, list, tuple, str, int, float, bool, None, Pydantic models and dataclasses\n"
    "    ivy_grid: write lists of records as Ivy Grid tables\n"
    "    unquoted_keys: leave identifier-like keys unquoted\n"
    "    indent: spaces per nesting level, or None for compact output\n"
    "    bare_strings: leave identifier-like table cells unquoted\n"
    "    implicit_null: write missing or null table cells as empty\n"
    "    row_count: prefix tables with their row count\n"
    "    multiline_ivy: use the multiline table layout\n"
    "    delimiter: table cell delimiter: \"comma\", \"tab\" or \"pipe\"\n"
    "\n"
    "Returns:\n"
    "    The text as str";

PyRef dumps(PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"data",          "ivy_grid",      "unquoted_keys",
                                     "indent",        "bare_strings",  "implicit_null",
                                     "row_count",     "multiline_ivy", "delimiter",
                                     nullptr};
    PyObject* slots[9] = {};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOOOOOOO:dumps", const_cast<char**>(keywords),
                                     &slots[0], &slots[1], &slots[2], &slots[3], &slots[4],
                                     &slots[5], &slots[6], &slots[7], &slots[8]))
        return {};
    PyErr_SetString(PyExc_NotImplementedError, "dumps is not implemented yet");
    return {};
}

}  // namespace vesk
