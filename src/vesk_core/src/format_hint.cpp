// format_hint: fixed prompt texts that teach a language model the grid form.
// The texts are written by hand, not generated from the writer.
#include <string_view>

#include "arguments.hpp"
#include "functions.hpp"

namespace vesk {
namespace {

constexpr std::string_view kDefaultHint =
    "Data is in VESK Ivy Grid format.\n"
    "Format: [N: col1, col2, col3; row1val1, row1val2, row1val3; row2val1, row2val2, row2val3 ]\n"
    "N is the optional row count prefix (may be omitted: [: col1, col2; ...]).\n"
    "The first semicolon-separated segment is the header (field names).\n"
    "Each subsequent semicolon-separated segment is one data record.\n"
    "Values within each segment are comma-separated and correspond to the header fields in "
    "order.\n"
    "Example: [3: id, name, score; 1, Alice, 95; 2, Bob, 87; 3, Carol, 92 ]\n"
    "Decode: {id: 1, name: 'Alice', score: 95}, {id: 2, name: 'Bob', score: 87}, ...";

// "\\t" is the two characters backslash and t: the text names the tab, it
// does not contain one.
constexpr std::string_view kTabHint =
    "Data is in VESK Ivy Grid tab-delimited format.\n"
    "Format: [: col1\\tcol2\\tcol3; row1val1\\trow1val2\\trow1val3; ... ]\n"
    "Fields and values are separated by tab characters (\\t).\n"
    "Each semicolon-separated segment after the headers is one record.\n"
    "Example: [: id\\tname\\tscore; 1\\tAlice\\t95; 2\\tBob\\t87 ]\n"
    "Decode: map each tab-separated segment to the corresponding field names.";

constexpr std::string_view kRowCountHint =
    "Data is in VESK Ivy Grid format with explicit row count.\n"
    "Format: [N: col1, col2, col3; row1val1, row1val2, row1val3; row2val1, ... ]\n"
    "where N is the total number of data rows and col1, col2, col3 are field names.\n"
    "Each semicolon-separated segment after the first is one record.\n"
    "Example: [3: id, name, score; 1, Alice, 95; 2, Bob, 87; 3, Carol, 92 ]\n"
    "Decode: map each semicolon segment to {id: ..., name: ..., score: ...}.";

constexpr std::string_view kMultilineHint =
    "Data is in VESK Multiline Ivy Grid format (TOON-compatible).\n"
    "Header line: [N]{col1,col2,col3}: where N is the row count and col1,col2,col3 are field "
    "names.\n"
    "Each following indented line is one row with values separated by commas.\n"
    "Example:\n"
    "  [3]{id,name,score}:\n"
    "    1,Alice,95\n"
    "    2,Bob,87\n"
    "    3,Carol,92\n"
    "Decode: each comma-separated row maps to {id: ..., name: ..., score: ...}.";

// The lean form, for a reply's own tables: bare values, nested values, and
// when a value needs quotes. Kept short for the prompts it is pasted into.
constexpr std::string_view kLeanHint =
    "Tables: [N:col1,col2;val1,val2;...] for N rows.\n"
    "Values are bare, or a list, an object or a table.\n"
    "Quote a value that holds , ; | ] \\ or a line break, or reads as a number, true, false or "
    "null.\n"
    "Empty means null.\n"
    "Example: [2:id,name,team;1,Ann Lee,search;2,\"Bob, Jr.\",]";

static_assert(kDefaultHint.size() == 572);
static_assert(kTabHint.size() == 362);
static_assert(kRowCountHint.size() == 418);
static_assert(kMultilineHint.size() == 377);
static_assert(kLeanHint.size() == 267);

std::string_view select_hint(std::string_view style) {
    if (style == "tab") return kTabHint;
    if (style == "ivy_grid_rowcount") return kRowCountHint;
    if (style == "multiline") return kMultilineHint;
    if (style == "lean") return kLeanHint;
    return kDefaultHint;  // any other word, "ivy_grid" included, is not an error
}

}  // namespace

const char kFormatHintDoc[] =
    "format_hint(style=\"ivy_grid\")\n"
    "--\n"
    "\n"
    "Return a concise format description for pasting into LLM system prompts.\n"
    "\n"
    "Use this to teach an LLM how to read VESK Ivy Grid data before sending it.\n"
    "\n"
    "Args:\n"
    "    style: One of \"ivy_grid\" (default), \"ivy_grid_rowcount\", \"multiline\", \"tab\", "
    "\"lean\"\n"
    "\n"
    "Returns:\n"
    "    A short natural-language description + example the LLM can use.\n"
    "\n"
    "Example:\n"
    "    >>> import vesk\n"
    "    >>> print(vesk.format_hint())\n"
    "    Data is in VESK Ivy Grid format. ...";

PyRef format_hint(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* kNames[] = {"style"};
    static PyObject* keys[1];
    static constexpr Signature kSignature{"format_hint", kNames, keys, 1, 1, 0};
    PyObject* style = nullptr;  // borrowed
    if (!bind_arguments(kSignature, args, PyVectorcall_NARGS(nargs), kwnames, &style)) return {};
    std::string_view hint = kDefaultHint;
    if (style) {
        if (!PyUnicode_Check(style)) return raise_conversion_error(style, "PyString", "style");
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(style, &size);
        if (!utf8) return {};  // lone surrogate: the interpreter's UnicodeEncodeError
        hint = select_hint({utf8, static_cast<size_t>(size)});
    }
    return PyRef::steal(
        PyUnicode_DecodeUTF8(hint.data(), static_cast<Py_ssize_t>(hint.size()), nullptr));
}

}  // namespace vesk
