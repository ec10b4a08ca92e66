// loads entry: input bytes in place, schema descriptors, one value, nothing
// but filler after.
#include <algorithm>
#include <cstring>

#include "arguments.hpp"
#include "decode_error.hpp"
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
    "    data: Input as str (read as UTF-8), or bytes or any other contiguous\n"
    "        buffer of bytes (bytearray, memoryview, mmap), read in place\n"
    "    partial: True or \"trailing-strings\" to read text cut off mid-document\n"
    "    check_counts: Raise when a table's row count differs from its rows\n"
    "    fenced: Read the document inside a Markdown code fence\n"
    "    lines: Read JSON Lines: a list of the values, each starting on a new line\n"
    "\n"
    "Returns:\n"
    "    Parsed Python object (dict, list, str, int, float, bool, None)\n"
    "\n"
    "Raises:\n"
    "    vesk.DecodeError: Invalid JSON/VESK syntax (a json.JSONDecodeError)\n"
    "\n"
    "Examples:\n"
    "    >>> import vesk\n"
    "    >>> vesk.loads('{\"key\": \"value\"}')\n"
    "    {'key': 'value'}\n"
    "    >>> vesk.loads(b'[1, 2, 3]')\n"
    "    [1, 2, 3]";

namespace {

// What a call asks of the read besides its text.
struct Request {
    const Schema* schema = nullptr;
    ReadOptions options;
    bool fenced = false;
    bool lines = false;
};

// Reads the document that `data` holds. In line in each caller, so that the
// plain call, `loads(data)`, runs with the tests of the options it leaves
// at their defaults folded away.
[[gnu::always_inline]] inline PyRef read_document(PyObject* data, const Request& request) {
    const bool is_partial = request.options.partial != ReadOptions::Partial::off;
    // Taken after the other arguments, whose reading may run Python code:
    // from here to the end of the call none runs, and the lock is held
    // while a mutable buffer is read, so its bytes are those of this moment.
    InputText input;
    if (!input.read(data, "data")) return {};
    const uint8_t* text = input.data();
    uint64_t begin = 0;
    uint64_t end = input.size();
    if (request.fenced) find_fenced_document(text, end, is_partial, begin, end);
    const uint64_t text_end = end;
    if (is_partial) end = partial_text_end(text, begin, end);

    FastIndexParser parser(text, end, request.options);
    parser.hold_lock = input.mutable_bytes();
    parser.pos = begin;
    if (request.lines) return parser.parse_lines(request.schema);
    auto fail = [&](const ParseError& error) {
        return raise_decode_error(text, input.size(), error);
    };
    // Partial text with no value yet fails at its end, as an empty text
    // does; a fenced document, which ends before the text, fails with the
    // whole text. Any other text without a value fails where the value
    // reader finds its end, with the same error.
    if (is_partial || request.fenced) {
        parser.skip_filler();
        if (parser.at_end()) return fail(unexpected_eof(is_partial ? text_end : parser.pos));
    }
    PyRef value = parser.parse_element(request.schema);
    if (!value) return parser.cut() ? fail(unexpected_eof(text_end)) : PyRef{};
    if (parser.cut() || parser.at_end()) return value;
    parser.skip_filler();
    if (!parser.at_end()) return fail({"Trailing content after document", parser.pos});
    return value;
}

// loads() with any argument besides the data: out of line, so that the
// plain call does not pay for its frame.
[[gnu::noinline]] PyRef loads_with_options(PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames) {
    enum Param { kData, kSchema, kPartial, kCheckCounts, kFenced, kLines, kParamCount };
    static constexpr const char* kNames[kParamCount] = {"data",         "schema", "partial",
                                                        "check_counts", "fenced", "lines"};
    static PyObject* keys[kParamCount];
    static constexpr Signature kSignature{"loads", kNames, keys, kParamCount, 2, 1};
    PyObject* slots[kParamCount] = {};  // borrowed; data keeps the input alive for the call
    if (!bind_arguments(kSignature, args, PyVectorcall_NARGS(nargs), kwnames, slots)) return {};
    PyObject* schema = slots[kSchema] ? slots[kSchema] : Py_None;
    PyObject* partial = slots[kPartial] ? slots[kPartial] : Py_False;
    int check_counts = 0;
    int fenced = 0;
    int lines = 0;
    if ((slots[kCheckCounts] && (check_counts = PyObject_IsTrue(slots[kCheckCounts])) < 0) ||
        (slots[kFenced] && (fenced = PyObject_IsTrue(slots[kFenced])) < 0) ||
        (slots[kLines] && (lines = PyObject_IsTrue(slots[kLines])) < 0))
        return {};

    Schema fields;
    Request request;
    if (schema != Py_None) {
        if (!build_schema(schema, fields)) return {};
        request.schema = &fields;
    }
    if (!read_partial(partial, request.options.partial)) return {};
    request.options.check_counts = check_counts != 0;
    request.fenced = fenced != 0;
    request.lines = lines != 0;
    return read_document(slots[kData], request);
}

}  // namespace

PyRef loads(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    // The usual call: the data alone, every option at its default.
    if (!kwnames && PyVectorcall_NARGS(nargs) == 1) return read_document(args[0], Request{});
    return loads_with_options(args, nargs, kwnames);
}

}  // namespace vesk
