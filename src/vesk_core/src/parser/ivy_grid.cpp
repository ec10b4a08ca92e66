// Grid tables (`[N: name, name; cell, cell; ... ]`) and schema-mapped objects.
#include <string>
#include <vector>

#include "parser/grid_skim.hpp"
#include "parser/index_parser.hpp"
#include "parser/string_cache.hpp"
#include "simd/string_scan.hpp"


// The value parser runs only once the import has found AVX2, so it is built
// for it: the vector string and filler scans inline into it. (A pragma after
// the includes, not a compiler flag for the file: inline functions of the
// headers keep the baseline target, so no copy of them that the import runs
// can hold AVX2 instructions.)
#pragma GCC target("avx2,bmi")

namespace vesk {
namespace {

constexpr uint64_t kRowCountUnknown = UINT64_MAX;

}  // namespace

// The rows go onto the value stack as array elements do, and the list is
// made at the closing bracket at its final size. Most tables never need the
// skim, which tokenizes the whole table again: while every row ends at a `;`
// or at the `]`, the rows read are the rows the skim counts. The skim runs
// only where its count can stop the table short (a row ended by the
// delimiter after its last cell, a header without names, a row holding a
// table that stopped short) and after a failure, whose error the skim's
// own outranks.
PyRef FastIndexParser::parse_ivy_grid_indexed(const Schema* schema, uint64_t bracket,
                                              uint64_t declared) {
    ++pos;  // the ':' marker
    GridRead grid{pos, 0, bracket, declared};
    StackFrame frame(stack_);
    skip_filler();
    if (!at_end() && input_[pos] == ']') {  // `[:]`, `[3: ]`
        ++pos;
        return finish_grid(frame, grid);
    }

    std::vector<PyRef> names;
    names.reserve(32);
    // Cut short in its header, a table holds no rows yet.
    if (!read_grid_header(names)) return cut_ ? take_list(frame) : grid_failure(grid);
    ++pos;  // the header's ';'
    grid.rows_start = pos;
    PyRef row_template = grid_row_template(names);
    if (!row_template) return {};

    uint64_t count = kRowCountUnknown;
    uint64_t separators = 0;  // rows ended by a consumed `;`
    uint64_t tail = pos;      // just past the last of them
    // False, no error set yet, when the skim fails or counts too many rows
    // (grid_failure then raises its error), or with MemoryError set.
    // Under partial reading a table the text leaves open has no count yet:
    // its rows are read until the text ends.
    auto settle_count = [&]() {
        const StructuralIndex* index = structural_index();
        if (!index) return false;
        const GridSkim skim = skim_grid(input_, length_, *index, grid.start, kMaxNestingDepth - depth_);
        if (partial() && skim.status == GridSkim::Status::unterminated) {
            count = kRowCountUnknown;
            return true;
        }
        count = skim.rows;
        return skim.status == GridSkim::Status::ok && count <= kMaxGridRows;
    };
    if (names.empty() && !settle_count()) return grid_failure(grid);
    // Rows without names consume no text: one the skim has not counted
    // would never end.
    if (names.empty() && count == kRowCountUnknown) {
        cut_at(length_);
        return take_list(frame);
    }
    const uint64_t short_tables_before = short_tables_;
    for (;;) {
        skip_filler();
        if (at_end()) {
            if (cut_at(pos)) return finish_grid(frame, grid);
            return grid_failure(grid);
        }
        if (input_[pos] == ']') break;
        // A table without names whose skim found no row reads none: its
        // rows consume no cells, so reading one here would never advance.
        if (frame.count() == 0 && count == 0) {
            ++short_tables_;
            return finish_grid(frame, grid);
        }
        RowEnd end = RowEnd::bracket;
        PyRef row = read_grid_row(names, row_template.get(), schema, end);
        if (!row && !cut_) return grid_failure(grid);
        if (row) stack_.push(std::move(row));
        if (cut_) return finish_grid(frame, grid);
        if (end == RowEnd::semicolon) {
            tail = pos;
            if (++separators > kMaxGridRows && count == kRowCountUnknown) {
                fail({"Ivy Grid exceeds 1M rows limit", grid.rows_start});
                return grid_failure(grid);
            }
        }
        // A table inside this row that stopped short leaves its `]` to be
        // read as this table's, where the skim saw it close the inner one:
        // from here on only the skim's count reads as before.
        if (count == kRowCountUnknown &&
            (end == RowEnd::delimiter || short_tables_ != short_tables_before) && !settle_count())
            return grid_failure(grid);
        skip_filler();
        if (!at_end() && input_[pos] == ']') break;
        // All counted rows read and no `]` in view: the enclosing reader
        // fails on what follows.
        if (static_cast<uint64_t>(frame.count()) == count) {
            ++short_tables_;
            return finish_grid(frame, grid);
        }
    }
    if (count == kRowCountUnknown) {
        // The skim's count: the separators, plus a row for anything but
        // blanks after the last of them (a comment counts, yet reads as no row).
        count = separators;
        for (uint64_t q = tail; q < pos; ++q) {
            if (!is_trailing_blank(input_[q])) {
                ++count;
                break;
            }
        }
        if (count > kMaxGridRows) {
            fail({"Ivy Grid exceeds 1M rows limit", grid.rows_start});
            return grid_failure(grid);
        }
    }
    ++pos;  // ']'
    return finish_grid(frame, grid);
}

PyRef FastIndexParser::finish_grid(StackFrame& frame, const GridRead& grid) {
    const auto rows = static_cast<uint64_t>(frame.count());
    // A table the text leaves open may still gain rows, never lose them.
    if (options_.check_counts && grid.declared != kNoCount &&
        (cut_ ? rows > grid.declared : rows != grid.declared)) {
        cut_ = false;
        // The count as written, which may run past 64 bits.
        uint64_t digits = grid.bracket + 1;
        skip_whitespace_simd(input_, length_, digits);
        uint64_t digits_end = digits;
        while (digits_end < length_ && input_[digits_end] >= '0' && input_[digits_end] <= '9') ++digits_end;
        const std::string declared(reinterpret_cast<const char*>(input_ + digits), digits_end - digits);
        return fail({"Table declares " + declared + " rows but holds " + std::to_string(rows), grid.bracket});
    }
    return take_list(frame);
}

// After a failure inside a table (Python error set, except where the skim
// has failed): the error the table reader gave when it skimmed first. The
// skim's unterminated table or nesting error comes before any other, and a
// table of too many rows before any error in its rows.
PyRef FastIndexParser::grid_failure(const GridRead& grid) {
    const StructuralIndex* index = structural_index();
    if (!index) return {};
    const GridSkim skim = skim_grid(input_, length_, *index, grid.start, kMaxNestingDepth - depth_);
    if (skim.status == GridSkim::Status::unterminated) {
        PyErr_Clear();
        return fail(unexpected_eof(length_));
    }
    if (skim.status == GridSkim::Status::too_deep) {
        PyErr_Clear();
        return nesting_too_deep(skim.too_deep_at);
    }
    if (grid.rows_start != 0 && skim.rows > kMaxGridRows) {
        PyErr_Clear();
        return fail({"Ivy Grid exceeds 1M rows limit", grid.rows_start});
    }
    return {};
}

// A dict of the header names, each to None, in header order: every row
// starts as a copy of it, which copies its string-key table in one move and
// gives each row the layout and size of a dict built key by key.
PyRef FastIndexParser::grid_row_template(const std::vector<PyRef>& names) {
    PyRef row = PyRef::steal(PyDict_New());
    if (!row) return replace_error(PyExc_MemoryError, "Failed to create row dict");
    for (const PyRef& name : names)
        if (PyDict_SetItem(row.get(), name.get(), Py_None) < 0)
            return replace_error(PyExc_RuntimeError, "Row dict insertion failed");
    return row;
}

// Reads names up to the header's `;` and leaves `pos` on it.
bool FastIndexParser::read_grid_header(std::vector<PyRef>& names) {
    for (;;) {
        skip_filler();
        if (at_end()) return ended(pos);
        if (input_[pos] == ';') return true;
        PyRef name;
        if (input_[pos] == '"') {
            name = parse_quoted_key("Invalid UTF-8 in header");
        } else {
            const uint64_t start = pos;
            pos = scan_bare_text(input_, length_, pos, false).end;
            if (at_end()) return ended(pos);
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
        if (at_end()) return ended(pos);
        const uint8_t c = input_[pos];
        if (c == ';') return true;
        if (!is_grid_delimiter(c)) return failed(invalid_char(pos, c));
        ++pos;
    }
}

// One row: a cell per name in header order. The row ends at a consumed `;`,
// before a `]`, or after the delimiter that follows the last name's cell;
// names without a cell get None.
PyRef FastIndexParser::read_grid_row(const std::vector<PyRef>& names, PyObject* row_template,
                                     const Schema* schema, RowEnd& end) {
    // A copy of an untracked dict is untracked; storing a container tracks it.
    PyRef row = PyRef::steal(PyDict_Copy(row_template));
    if (!row) return replace_error(PyExc_MemoryError, "Failed to create row dict");
    size_t k = 0;
    end = RowEnd::delimiter;
    // Names left without a cell are set again, not left to the template: a
    // repeated name takes the None of its last place.
    auto pad_with_none = [&]() {
        for (; k < names.size(); ++k)
            if (PyDict_SetItem(row.get(), names[k].get(), Py_None) < 0) return false;
        return true;
    };
    // A row the end of the text cut: only its finished cells, and no row
    // at all before the first of them.
    auto cut_row = [&]() -> PyRef {
        if (k == 0) return {};
        PyRef part = PyRef::steal(PyDict_New());
        if (!part) return replace_error(PyExc_MemoryError, "Failed to create row dict");
        for (size_t i = 0; i < k; ++i)
            if (PyDict_SetItem(part.get(), names[i].get(),
                               PyDict_GetItem(row.get(), names[i].get())) < 0)
                return replace_error(PyExc_RuntimeError, "Row dict insertion failed");
        return part;
    };
    while (k < names.size()) {
        while (pos < length_ && input_[pos] == ' ') ++pos;
        if (!at_end() && (input_[pos] == ';' || input_[pos] == ']')) {
            end = input_[pos] == ';' ? RowEnd::semicolon : RowEnd::bracket;
            if (end == RowEnd::semicolon) ++pos;
            break;
        }
        skip_filler();
        if (at_end()) return cut_at(pos) ? cut_row() : PyRef{};
        PyRef value = starts_typed_cell(input_[pos]) ? parse_value(schema) : read_bare_cell();
        if (!value) return cut_ ? cut_row() : PyRef{};
        if (set_item_taking(row.get(), Py_NewRef(names[k].get()), value.release()) < 0)
            return replace_error(PyExc_RuntimeError, "Row dict insertion failed");
        ++k;
        // Only spaces between a cell and what ends it: a bare cell has
        // already dropped its trailing blanks.
        while (pos < length_ && input_[pos] == ' ') ++pos;
        if (at_end()) return cut_at(pos) ? cut_row() : PyRef{};
        const uint8_t c = input_[pos];
        if (is_grid_delimiter(c)) {
            ++pos;
            continue;  // after the last name this ends the row
        }
        if (c == ';') {
            ++pos;
            end = RowEnd::semicolon;
            break;
        }
        if (c == ']') {
            end = RowEnd::bracket;
            break;
        }
        return fail(invalid_char(pos, c));
    }
    if (!pad_with_none()) return replace_error(PyExc_RuntimeError, "Row dict insertion failed");
    return row;
}

// Up to the first TAB , ; | or ] (a backslash takes the next byte into the
// cell), trailing blanks trimmed. Empty gives None.
PyRef FastIndexParser::read_bare_cell() {
    const uint64_t start = pos;
    const BareText bare = scan_bare_text(input_, length_, pos, true);
    if (bare.truncated) return end_of_text(length_);
    // Bare text runs on until a delimiter: at the end of the text it may grow.
    if (bare.end >= length_ && partial()) return end_of_text(length_);
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
    std::string& unescaped = escape_buffer_;
    unescaped.clear();
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
    if (at_end()) return cut_at(pos) ? std::move(dict) : PyRef{};
    if (input_[pos] == '}') {
        ++pos;
        return dict;
    }
    // Cut short, the object keeps its finished members, as without a schema.
    for (const FieldDescriptor& field : fields) {
        if (!skip_schema_key()) return cut_ ? std::move(dict) : PyRef{};
        PyRef value = parse_value(nullptr);
        if (!value) return cut_ ? std::move(dict) : PyRef{};
        if (set_item_taking(dict.get(), Py_NewRef(field.key.get()), value.release()) < 0)
            return replace_error(PyExc_RuntimeError, "Dict insertion failed");
        const Separator next = read_separator('}');
        if (next == Separator::error) return cut_ ? std::move(dict) : PyRef{};
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
    if (at_end()) return ended(pos);
    if (input_[pos] == '"') {
        // To the first quote after the opening one that an even run of
        // backslashes (none included) stands before.
        uint64_t from = pos + 1;
        for (;;) {
            const StringEnd end = find_string_end_avx2(input_, length_, from);
            if (end.close >= length_) return ended(pos);
            uint64_t backslashes = 0;  // the opening quote ends the run
            while (input_[end.close - 1 - backslashes] == '\\') ++backslashes;
            from = end.close + 1;
            if (backslashes % 2 == 0) break;
        }
        pos = from;
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
    if (at_end()) return ended(pos);
    if (input_[pos] != ':') return failed(expected_char(pos, ':'));
    ++pos;
    return true;
}

}  // namespace vesk
