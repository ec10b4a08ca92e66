// loads entry: input bytes in place, schema descriptors, one value, nothing
// but filler after.
#include <algorithm>
#include <cstring>

#include "arguments.hpp"
#include "functions.hpp"
#include "parser/index_parser.hpp"
#include "parser/string_cache.hpp"

namespace vesk {
namespace {

// The span of the document in a reply wrapped in a Markdown code fence:
// after the opening fence line (three backticks and the rest of the line),
// up to the first line that starts with three backticks, if any. Text
// that does not start with a fence is read whole.
void find_fenced_document(const uint8_t* text, uint64_t length, bool partial, uint64_t& begin,
                          uint64_t& end) {
    uint64_t p = 0;
    while (p < length && (text[p] == ' ' || text[p] == '\t' || text[p] == '\n' || text[p] == '\r'))
        ++p;
    const uint64_t ticks = std::min<uint64_t>(length - p, 3);
    if (std::memcmp(text + p, "```", ticks) != 0) return;
    if (ticks < 3) {  // an opening fence partial text may still bring
        if (partial) begin = end = length;
        return;
    }
    const auto* line_end = static_cast<const uint8_t*>(std::memchr(text + p, '\n', length - p));
    begin = line_end ? static_cast<uint64_t>(line_end - text) + 1 : length;
    for (uint64_t line = begin; line < length;) {
        uint64_t q = line;
        while (q < length && (text[q] == ' ' || text[q] == '\t')) ++q;
        const uint64_t line_ticks = std::min<uint64_t>(length - q, 3);
        // A last line that may still become the closing fence ends the
        // document too, while the text is partial.
        if (std::memcmp(text + q, "```", line_ticks) == 0 &&
            (line_ticks == 3 || (partial && q + line_ticks == length))) {
            end = line;
            return;
        }
        const auto* next =
            static_cast<const uint8_t*>(std::memchr(text + line, '\n', length - line));
        if (!next) break;
        line = static_cast<uint64_t>(next - text) + 1;
    }
}

// `partial` as given: False, True or "trailing-strings". False with
// ValueError set for anything else.
bool read_partial(PyObject* value, ReadOptions::Partial& partial) {
    if (value == Py_False)
        partial = ReadOptions::Partial::off;
    else if (value == Py_True)
        partial = ReadOptions::Partial::on;
    else if (PyUnicode_Check(value) &&
             PyUnicode_CompareWithASCIIString(value, "trailing-strings") == 0)
        partial = ReadOptions::Partial::trailing_strings;
    else {
        PyErr_SetString(PyExc_ValueError, "partial must be False, True or \"trailing-strings\"");
        return false;
    }
    return true;
}

}  // namespace

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

const char kLoadsDoc[] =
    "loads(data, schema=None, *, partial=False, check_counts=False, fenced=False, lines=False)\n"
    "--\n"
    "\n"
    "Parse VESK/JSON data from bytes or string\n"
    "\n"
    "Args:\n"
    "    data: Input as bytes (zero-copy) or str (will encode to UTF-8)\n"
    "    partial: True or \"trailing-strings\" to read text cut off mid-document\n"
    "    check_counts: Raise when a table's row count differs from its rows\n"
    "    fenced: Read the document inside a Markdown code fence\n"
    "    lines: Read JSON Lines: a list of the values, each starting on a new line\n"
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

PyRef loads(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    enum Param { kData, kSchema, kPartial, kCheckCounts, kFenced, kLines, kParamCount };
    static constexpr const char* kNames[kParamCount] = {"data",         "schema", "partial",
                                                        "check_counts", "fenced", "lines"};
    static constexpr Signature kSignature{"loads", kNames, kParamCount, 2, 1};
    PyObject* slots[kParamCount] = {};  // borrowed; data keeps the input alive for the call
    if (!kwnames && PyVectorcall_NARGS(nargs) == 1)
        slots[kData] = args[0];
    else if (!bind_arguments(kSignature, args, PyVectorcall_NARGS(nargs), kwnames, slots))
        return {};
    PyObject* data = slots[kData];
    PyObject* schema = slots[kSchema] ? slots[kSchema] : Py_None;
    PyObject* partial = slots[kPartial] ? slots[kPartial] : Py_False;
    int check_counts = 0;
    int fenced = 0;
    int lines = 0;
    if ((slots[kCheckCounts] && (check_counts = PyObject_IsTrue(slots[kCheckCounts])) < 0) ||
        (slots[kFenced] && (fenced = PyObject_IsTrue(slots[kFenced])) < 0) ||
        (slots[kLines] && (lines = PyObject_IsTrue(slots[kLines])) < 0))
        return {};

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
    ReadOptions options;
    if (!read_partial(partial, options.partial)) return {};
    options.check_counts = check_counts != 0;
    const bool is_partial = options.partial != ReadOptions::Partial::off;

    const auto* text = reinterpret_cast<const uint8_t*>(bytes);
    uint64_t begin = 0;
    auto end = static_cast<uint64_t>(size);
    if (fenced) find_fenced_document(text, end, is_partial, begin, end);
    // Partial text with no value yet fails at its end, as an empty text does.
    const uint64_t text_end = end;
    if (is_partial) end = partial_text_end(text, begin, end);

    FastIndexParser parser(text, end, options);
    parser.pos = begin;
    if (lines) return parser.parse_lines(has_schema ? &fields : nullptr);
    parser.skip_filler();
    if (parser.at_end())
        return FastIndexParser::fail(unexpected_eof(is_partial ? text_end : parser.pos));
    PyRef value = parser.parse_value(has_schema ? &fields : nullptr);
    if (!value) return parser.cut() ? FastIndexParser::fail(unexpected_eof(text_end)) : PyRef{};
    if (parser.cut()) return value;
    parser.skip_filler();
    if (!parser.at_end())
        return FastIndexParser::fail({"Trailing content after document", parser.pos});
    return value;
}

}  // namespace vesk
