// Grid tables (`[N: name, name; cell, cell; ... ]`) and schema-mapped objects.
#include <string>
#include <vector>

#include "parser/grid_skim.hpp"
#include "parser/index_parser.hpp"
#include "parser/string_cache.hpp"

namespace vesk {
namespace {

constexpr uint64_t kMaxGridRows = 1'000'000;

bool starts_typed_cell(uint8_t c) {
    switch (c) {
        case '"': case '-': case 'I': case 'N': case 't': case 'f': case 'n': case '[': case '{':
            return true;
        default:
            return c >= '0' && c <= '9';
    }
}

}  // namespace

PyRef FastIndexParser::parse_ivy_grid_indexed(const Schema* schema) {
    ++pos;  // the ':' marker
    skip_filler();
    if (!at_end() && input_[pos] == ']') {  // `[:]`, `[3: ]`
        ++pos;
        PyRef empty = PyRef::steal(PyList_New(0));
        return empty ? std::move(empty) : replace_error(PyExc_MemoryError, "Failed to create list");
    }

    // Closing bracket and row count, from the text as the rows read it.
    const GridSkim skim = skim_grid(input_, length_, index_, pos, kMaxNestingDepth - depth_);
    if (skim.status == GridSkim::Status::unterminated) return fail(unexpected_eof(length_));
    if (skim.status == GridSkim::Status::too_deep) return nesting_too_deep(skim.too_deep_at);

    std::vector<PyRef> names;
    names.reserve(32);
    if (!read_grid_header(names)) return {};
    ++pos;  // the header's ';'

    const uint64_t count = skim.rows;
    if (count > kMaxGridRows) return fail({"Ivy Grid exceeds 1M rows limit", pos});
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return replace_error(PyExc_MemoryError, "Failed to create list");
    if (count == 0) {
        pos = skim.close + 1;
        return list;
    }

    uint64_t rows = 0;
    for (;;) {
        skip_filler();
        if (at_end()) return fail(unexpected_eof(pos));
        if (input_[pos] == ']') break;
        PyRef row = read_grid_row(names, schema);
        if (!row) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(rows), row.release());  // stolen
        ++rows;
        skip_filler();
        if (!at_end() && input_[pos] == ']') break;
        // All counted rows read and no `]` in view: the enclosing reader
        // fails on what follows.
        if (rows == count) return list;
    }
    ++pos;  // ']'
    if (rows < count &&
        PyList_SetSlice(list.get(), static_cast<Py_ssize_t>(rows), static_cast<Py_ssize_t>(count),
                        nullptr) < 0)
        return {};
    return list;
}

// Reads names up to the header's `;` and leaves `pos` on it.
bool FastIndexParser::read_grid_header(std::vector<PyRef>& names) {
    for (;;) {
        skip_filler();
        if (at_end()) return failed(unexpected_eof(pos));
        if (input_[pos] == ';') return true;
        PyRef name;
        if (input_[pos] == '"') {
            name = parse_quoted_key("Invalid UTF-8 in header");
        } else {
            const uint64_t start = pos;
            pos = scan_bare_text(input_, length_, pos, false).end;
            uint64_t end = pos;
            while (end > start && is_trailing_blank(input_[end - 1])) --end;
            name = intern_key(cache_, reinterpret_cast<const char*>(input_ + start), end - start);
            if (!name) {
                PyErr_Clear();
                return failed({"Invalid UTF-8 in header", start});
            }
        }
        if (!name) return false;
        names.push_back(std::move(name));
        while (pos < length_ && input_[pos] == ' ') ++pos;
        if (at_end()) return failed(unexpected_eof(pos));
        const uint8_t c = input_[pos];
        if (c == ';') return true;
        if (!is_grid_delimiter(c)) return failed(invalid_char(pos, c));
        ++pos;
    }
}

// One row: a cell per name in header order. The row ends at a consumed `;`,
// before a `]`, or after the delimiter that follows the last name's cell;
// names without a cell get None.
PyRef FastIndexParser::read_grid_row(const std::vector<PyRef>& names, const Schema* schema) {
    PyRef row = PyRef::steal(_PyDict_NewPresized(static_cast<Py_ssize_t>(names.size())));
    if (!row) return replace_error(PyExc_MemoryError, "Failed to create row dict");
    size_t k = 0;
    bool atomic = true;  // see parse_object
    auto pad_with_none = [&]() {
        for (; k < names.size(); ++k)
            if (PyDict_SetItem(row.get(), names[k].get(), Py_None) < 0) return false;
        return true;
    };
    while (k < names.size()) {
        while (pos < length_ && input_[pos] == ' ') ++pos;
        if (!at_end() && (input_[pos] == ';' || input_[pos] == ']')) {
            if (input_[pos] == ';') ++pos;
            break;
        }
        skip_filler();
        if (at_end()) return fail(unexpected_eof(pos));
        PyRef value = starts_typed_cell(input_[pos]) ? parse_value(schema) : read_bare_cell();
        if (!value) return {};
        if (PyDict_SetItem(row.get(), names[k].get(), value.get()) < 0)
            return replace_error(PyExc_RuntimeError, "Row dict insertion failed");
        atomic = atomic && is_atomic(value.get());
        ++k;
        // Only spaces between a cell and what ends it: a bare cell has
        // already dropped its trailing blanks.
        while (pos < length_ && input_[pos] == ' ') ++pos;
        if (at_end()) return fail(unexpected_eof(pos));
        const uint8_t c = input_[pos];
        if (is_grid_delimiter(c)) {
            ++pos;
            continue;  // after the last name this ends the row
        }
        if (c == ';') {
            ++pos;
            break;
        }
        if (c == ']') break;
        return fail(invalid_char(pos, c));
    }
    if (!pad_with_none()) return replace_error(PyExc_RuntimeError, "Row dict insertion failed");
    if (atomic) PyObject_GC_UnTrack(row.get());
    return row;
}

// Up to the first TAB , ; | or ] (a backslash takes the next byte into the
// cell), trailing blanks trimmed. Empty gives None.
PyRef FastIndexParser::read_bare_cell() {
    const uint64_t start = pos;
    const BareText bare = scan_bare_text(input_, length_, pos, true);
    if (bare.truncated) return fail(unexpected_eof(length_));
    pos = bare.end;
    const bool escaped = bare.escaped;
    uint64_t end = pos;
    while (end > start && is_trailing_blank(input_[end - 1])) --end;
    const auto* text = reinterpret_cast<const char*>(input_ + start);
    const size_t length = end - start;
    if (!escaped) {
        if (length == 0) return PyRef::borrow(Py_None);
        bool ascii = true;
        for (size_t i = 0; i < length && ascii; ++i) ascii = static_cast<uint8_t>(text[i]) < 0x80;
        PyRef str = make_str(text, length, ascii);
        if (str) return str;
        PyErr_Clear();
        return fail({"Invalid UTF-8 in cell", start});
    }
    std::string unescaped;
    unescaped.reserve(length);
    for (size_t i = 0; i < length; ++i) {
        if (text[i] == '\\') {
            if (++i == length) break;  // a backslash ending the trimmed cell is dropped
        }
        unescaped += text[i];
    }
    PyRef str = make_str(unescaped.data(), unescaped.size(), false);
    return str ? std::move(str) : replace_error(PyExc_ValueError, "Invalid UTF-8 in string");
}

// Stores the n-th member's value under the n-th schema name; the written
// keys are skipped unread.
PyRef FastIndexParser::parse_object_schema(const Schema& fields, PyRef dict) {
    ++pos;  // '{'
    skip_filler();
    if (!at_end() && input_[pos] == '}') {
        ++pos;
        return dict;
    }
    for (const FieldDescriptor& field : fields) {
        if (!skip_schema_key()) return {};
        PyRef value = parse_value(nullptr);
        if (!value) return {};
        if (PyDict_SetItem(dict.get(), field.key.get(), value.get()) < 0)
            return replace_error(PyExc_RuntimeError, "Dict insertion failed");
        const Separator next = read_separator('}');
        if (next == Separator::error) return {};
        if (next == Separator::close) {
            ++pos;  // fields not reached stay absent
            return dict;
        }
    }
    // A member beyond the last schema name.
    return fail(expected_char(pos, '}'));
}

// Steps over a member's key text and its colon. The key is a quoted string
// (skipped whole, so `:` or `,` inside it stay key text) or a run of other
// bytes; only filler may follow it before the colon, so a malformed member
// never borrows the colon of a later one.
bool FastIndexParser::skip_schema_key() {
    skip_filler();
    if (at_end()) return failed(unexpected_eof(pos));
    if (input_[pos] == '"') {
        uint64_t cursor = sync_quotes();
        if (!skip_quoted_string(input_, index_, cursor, pos))
            return failed(unexpected_eof(pos));
    } else {
        while (pos < length_) {
            const uint8_t c = input_[pos];
            if (c <= ' ' || c == ':' || c == ',' || c == '}' || c == '{' || c == '[' ||
                c == ']' || c == '"' || c == '/')
                break;
            ++pos;
        }
    }
    skip_filler();
    if (at_end()) return failed(unexpected_eof(pos));
    if (input_[pos] != ':') return failed(expected_char(pos, ':'));
    ++pos;
    return true;
}

}  // namespace vesk
