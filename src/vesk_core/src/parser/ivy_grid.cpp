// Grid tables and schema-mapped objects. A table lays out its rows in one
// of three ways: separated by `;` (`[N: name, name; cell, cell; ... ]`),
// each on a line of its own after a header that ends at a line break
// (`[N:\n name, name\n cell, cell\n]`), or as `[N]{name,name}:` followed by
// exactly N lines of rows and no closing bracket.
#include <string>
#include <vector>

#include "decode_error.hpp"
#include "parser/grid_skim.hpp"
#include "parser/index_parser.hpp"
#include "parser/string_cache.hpp"
#include "serializer/dict_items.hpp"
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
// only where its count can stop the table short (a header without names, a
// row holding a table that stopped short) and after a failure, whose error
// the skim's own outranks.
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
    PyRef row_template = grid_row_template(names);
    if (!row_template) return {};
    if (input_[pos] == '\n') {
        grid.rows_start = pos + 1;
        return read_line_rows(frame, grid, names, row_template.get(), schema, kNoCount);
    }
    ++pos;  // the header's ';'
    grid.rows_start = pos;

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
        const RowPlace place{RowLayout::inline_rows, static_cast<uint64_t>(frame.count()) + 1,
                             false, bracket};
        PyRef row = read_grid_row(names, row_template.get(), schema, place, end);
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
        if (count == kRowCountUnknown && short_tables_ != short_tables_before && !settle_count())
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

// With no closing bracket, the count tells where the table ends; it is
// bounded before any row is read.
PyRef FastIndexParser::parse_counted_grid(const Schema* schema, uint64_t bracket, uint64_t brace) {
    GridRead grid{brace + 1, 0, bracket, declared_count(brace)};
    pos = brace + 1;
    StackFrame frame(stack_);
    std::vector<PyRef> names;
    names.reserve(32);
    if (!read_grid_header(names, true)) return cut_ ? take_list(frame) : PyRef{};
    ++pos;  // '}'
    skip_spaces();
    if (at_end()) return cut_at(pos) ? take_list(frame) : PyRef{};
    if (input_[pos] != ':') return fail(expected_char(pos, ':'));
    grid.rows_start = ++pos;
    if (grid.declared > kMaxGridRows)
        return fail({"Ivy Grid exceeds 1M rows limit", grid.rows_start});
    PyRef row_template = grid_row_template(names);
    if (!row_template) return {};
    return read_line_rows(frame, grid, names, row_template.get(), schema, grid.declared);
}

// Each row starts a line; blank lines are no rows. A failure inside a table
// with a closing bracket gives the skim's error first, as inline. A counted
// table that meets a `]` or `}` before its last row has ended early (the
// container around it closed), as an inline table that closes early does;
// one that meets the end of the text is cut short.
PyRef FastIndexParser::read_line_rows(StackFrame& frame, const GridRead& grid,
                                      const std::vector<PyRef>& names, PyObject* row_template,
                                      const Schema* schema, uint64_t counted) {
    const bool bracketed = counted == kNoCount;
    auto failure = [&]() { return bracketed ? grid_failure(grid) : PyRef{}; };
    bool line_start = false;
    uint64_t rows = 0;
    for (;;) {
        if (rows == counted) return finish_grid(frame, grid);
        while (pos < length_ && (input_[pos] == ' ' || input_[pos] == '\r')) ++pos;
        if (at_end()) return cut_at(pos) ? finish_grid(frame, grid) : failure();
        const uint8_t c = input_[pos];
        if (c == ']' || (c == '}' && !bracketed)) {
            if (bracketed) ++pos;
            return finish_grid(frame, grid);
        }
        if (c == '\n') {
            ++pos;
            line_start = true;
            continue;
        }
        if (!line_start) {
            fail(invalid_char(pos, c));
            return failure();
        }
        if (rows == kMaxGridRows) {
            fail({"Ivy Grid exceeds 1M rows limit", grid.rows_start});
            return failure();
        }
        RowEnd end = RowEnd::line;
        const RowPlace place{RowLayout::lines, rows + 1, rows + 1 == counted && depth_ > 1,
                             grid.bracket};
        PyRef row = read_grid_row(names, row_template, schema, place, end);
        if (!row && !cut_) return failure();
        if (row) {
            stack_.push(std::move(row));
            ++rows;
        }
        if (cut_) return finish_grid(frame, grid);
        line_start = false;
    }
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

// Reads names up to the end of the header and leaves `pos` on it: the `;`
// of an inline header, or the line break after a name that puts the rows
// on lines of their own; with `braced`, the `}` of `[N]{names}`, whose
// names stand on its line.
bool FastIndexParser::read_grid_header(std::vector<PyRef>& names, bool braced) {
    const uint8_t close = braced ? '}' : ';';
    for (;;) {
        if (braced) skip_spaces();
        else skip_filler();
        if (at_end()) return ended(pos);
        if (input_[pos] == close) return true;
        PyRef name;
        if (input_[pos] == '"') {
            name = parse_quoted_key("Invalid UTF-8 in header");
        } else {
            const uint64_t start = pos;
            const BareStops stops = braced ? BareStops::braced_name : BareStops::name;
            pos = scan_bare_text(input_, length_, pos, stops).end;
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
        while (pos < length_ && (input_[pos] == ' ' || input_[pos] == '\r')) ++pos;
        if (at_end()) return ended(pos);
        const uint8_t c = input_[pos];
        if (c == '\n' && !braced) {
            uint64_t line = 0;
            switch (header_end_at(input_, length_, pos, line)) {
                case HeaderEnd::line: return true;
                case HeaderEnd::unknown: return ended(length_);
                case HeaderEnd::no: break;
            }
            skip_filler();  // to the `;` on a later line
            return true;
        }
        if (c == close) return true;
        if (!is_grid_delimiter(c)) return failed(invalid_char(pos, c));
        ++pos;
    }
}

// One row: a cell per name in header order. Where a cell may begin, the row
// may end instead, and the names without a cell get None; so a delimiter
// right before the row's end is a trailing one and adds no cell. A cell
// beyond the names is an error, reported at the first such cell once the
// row's cells are counted.
PyRef FastIndexParser::read_grid_row(const std::vector<PyRef>& names, PyObject* row_template,
                                     const Schema* schema, const RowPlace& place, RowEnd& end) {
    const size_t width = names.size();
    // While the padding allowed could fill the whole row, it starts as a
    // copy of the template, every cell made at once; nearer the limit it is
    // built cell by cell, so that padding past the limit is refused before
    // it is made. A copy of an untracked dict is untracked; storing a
    // container tracks it.
    const bool copied = padded_cells_ + width <= padding_allowed();
    PyRef row = PyRef::steal(copied ? PyDict_Copy(row_template) : PyDict_New());
    if (!row) return replace_error(PyExc_MemoryError, "Failed to create row dict");
    // With distinct names the copy's entries stand in header order: a cell
    // replaces the None of its entry in place, with no lookup, and the row
    // is tracked at the end when a cell holds a container, as storing it
    // would have tracked it. Repeated names go through the dict.
    dict_table::UnicodeEntry* const entries =
        copied && static_cast<size_t>(PyDict_GET_SIZE(row.get())) == width
            ? string_key_entries(row.get())
            : nullptr;
    bool holds_container = false;
    const bool lines = place.layout == RowLayout::lines;
    size_t k = 0;        // cells read
    uint64_t extra = 0;  // where the first cell beyond the names begins
    end = lines ? RowEnd::line : RowEnd::bracket;
    // The error raised in the cell of index `cell`, named by its row and
    // column (none beyond the names).
    auto in_cell = [&](size_t cell) {
        name_cell(place.number, cell < width ? names[cell].get() : nullptr);
        return PyRef{};
    };
    auto surplus = [&]() {
        fail({"Row " + std::to_string(place.number) + " has " + std::to_string(k) +
                  " cells but the header names " + std::to_string(width),
              extra});
        return in_cell(width);
    };
    // A row the end of the text cut: only its finished cells, and no row
    // at all before the first of them. Cells beyond the names are wrong
    // however the row goes on.
    auto cut_row = [&]() -> PyRef {
        if (k > width) {
            cut_ = false;
            return surplus();
        }
        if (k == 0) return {};
        PyRef part = PyRef::steal(PyDict_New());
        if (!part) return replace_error(PyExc_MemoryError, "Failed to create row dict");
        for (size_t i = 0; i < k; ++i)
            if (PyDict_SetItem(part.get(), names[i].get(),
                               PyDict_GetItem(row.get(), names[i].get())) < 0)
                return replace_error(PyExc_RuntimeError, "Row dict insertion failed");
        return part;
    };
    // Blanks that may stand before and after a cell: on a line of its own,
    // spaces and a carriage return, never a TAB, which delimits an empty
    // cell there; inline, spaces (and all filler before a cell).
    auto skip_blanks = [&]() {
        if (!lines) return skip_spaces();
        while (pos < length_ && (input_[pos] == ' ' || input_[pos] == '\r')) ++pos;
    };
    const bool last_inside = place.last_inside;
    // Rows without names read no text: the skim's count of an inline table
    // says how many there are.
    if (width == 0) return row;
    for (;;) {
        skip_blanks();
        if (lines) {
            if (at_end()) {
                if (!partial()) break;
                cut_at(pos);
                return cut_row();
            }
            const uint8_t c = input_[pos];
            if (c == '\n' || c == ']' || c == '}') break;
        } else {
            if (!at_end() && (input_[pos] == ';' || input_[pos] == ']')) {
                if (input_[pos] == ';') {
                    ++pos;
                    end = RowEnd::semicolon;
                }
                break;
            }
            // Filler other than spaces is rare before a cell: only the end of
            // the text or a byte that may begin some calls the filler skipper.
            if (at_end() || input_[pos] <= ' ' || input_[pos] == '/') skip_filler();
            if (at_end()) return cut_at(pos) ? cut_row() : PyRef{};
        }
        if (k >= width) {
            // Past the names a delimiter and a comment may still end the row.
            if (!lines && (input_[pos] == ';' || input_[pos] == ']')) continue;
            if (k == width) extra = pos;
        }
        PyRef value = read_grid_cell(schema, lines);
        if (!value) {
            if (!cut_) return in_cell(k);
            k += k >= width;  // a cell beyond the names counts once begun
            return cut_row();
        }
        if (k < width) {
            if (entries) {
                holds_container = holds_container || PyType_IS_GC(Py_TYPE(value.get()));
                Py_SETREF(entries[k].value, value.release());
            } else if (set_item_taking(row.get(), Py_NewRef(names[k].get()), value.release()) < 0) {
                return replace_error(PyExc_RuntimeError, "Row dict insertion failed");
            }
        }
        ++k;
        if (last_inside && k == width) break;
        // A bare cell has already dropped its trailing blanks.
        skip_blanks();
        if (at_end()) {
            if (lines && !partial()) break;
            return cut_at(pos) ? cut_row() : PyRef{};
        }
        const uint8_t c = input_[pos];
        if (is_grid_delimiter(c)) {
            ++pos;
            continue;
        }
        if (lines ? c == '\n' || c == ']' || c == '}' : c == ']') break;
        if (!lines && c == ';') {
            ++pos;
            end = RowEnd::semicolon;
            break;
        }
        fail(invalid_char(pos, c));
        return in_cell(k - 1);
    }
    if (k > width) return surplus();
    if (k < width) {
        if (padded_cells_ + (width - k) > padding_allowed())
            return padding_exceeded(width - k, place.table);
        padded_cells_ += width - k;
    }
    if (holds_container && !PyObject_GC_IsTracked(row.get())) PyObject_GC_Track(row.get());
    // Names left without a cell are set again, not left to the template: a
    // repeated name takes the None of its last place.
    if (!entries)
        for (; k < width; ++k)
            if (PyDict_SetItem(row.get(), names[k].get(), Py_None) < 0)
                return replace_error(PyExc_RuntimeError, "Row dict insertion failed");
    return row;
}

PyRef FastIndexParser::padding_exceeded(uint64_t cells, uint64_t table) const {
    return fail({"Short rows need " + std::to_string(padded_cells_ + cells) +
                     " padding None cells, more than the " + std::to_string(padding_allowed()) +
                     " allowed for the first " + std::to_string(pos) + " bytes of text (" +
                     std::to_string(kPaddingPerByte) + " a byte plus " +
                     std::to_string(kPaddingAllowance) + "), in the table at position " +
                     std::to_string(table),
                 table});
}

// A quoted string, a list, a table or an object is that value; anything
// else is bare text, a number or literal when the whole of it is one. A
// scalar that the end of the cell follows, past blanks, is read as it
// stands, which is what re-reading its cell as text would give.
PyRef FastIndexParser::read_grid_cell(const Schema* schema, bool lines) {
    const uint8_t c = input_[pos];
    if (c == '"') return parse_string_fast();
    if (c == '[' || c == '{') return parse_container(schema);
    if (starts_scalar(c)) {
        // Mostly a plain number, the cell's end right after it.
        if (const PlainValue n = read_plain(input_ + pos, input_ + length_);
            n.length && ends_cell(input_[pos + n.length], lines)) {
            pos += n.length;
            return plain_value(n);
        }
        size_t length = 0;
        const Scalar scalar = read_scalar(input_ + pos, input_ + length_, length);
        if (scalar.kind != Scalar::Kind::none) {
            uint64_t after = pos + length;
            while (after < length_ && (input_[after] == ' ' || (lines && input_[after] == '\r')))
                ++after;
            if (after < length_ ? ends_cell(input_[after], lines) : !partial()) {
                const uint64_t at = pos;
                pos = after;
                return scalar_value(scalar, at);
            }
            // At the end of partial text the cell may still grow, into a
            // longer scalar or into text.
            if (after >= length_) return end_of_text(length_);
        }
    }
    return read_bare_cell(lines);
}

// Up to the first byte that ends a cell (a backslash takes the next byte
// into the cell), trailing blanks trimmed. Empty gives None; a cell that
// used no escape and is all one scalar gives that scalar.
PyRef FastIndexParser::read_bare_cell(bool lines) {
    const uint64_t start = pos;
    const BareText bare =
        scan_bare_text(input_, length_, pos, lines ? BareStops::line_cell : BareStops::cell);
    if (bare.truncated) return end_of_text(length_);
    // Bare text runs on until a delimiter: at the end of the text it may grow.
    if (bare.end >= length_ && partial()) return end_of_text(length_);
    pos = bare.end;
    uint64_t end = pos;
    while (end > start && is_trailing_blank(input_[end - 1])) --end;
    const auto* text = reinterpret_cast<const char*>(input_ + start);
    const size_t length = end - start;
    PyRef str;
    if (!bare.escaped) {
        if (length == 0) return PyRef::borrow(Py_None);
        const Scalar scalar = read_scalar_text(input_ + start, length);
        if (scalar.kind != Scalar::Kind::none) return scalar_value(scalar, start);
        bool ascii = true;
        for (size_t i = 0; i < length && ascii; ++i) ascii = static_cast<uint8_t>(text[i]) < 0x80;
        str = make_str(text, length, ascii);
    } else {
        std::string& unescaped = escape_buffer_;
        unescaped.clear();
        for (size_t i = 0; i < length; ++i) {
            if (text[i] == '\\') {
                if (++i == length) break;  // a backslash ending the trimmed cell is dropped
            }
            unescaped += text[i];
        }
        str = make_str(unescaped.data(), unescaped.size(), false);
    }
    if (str) return str;
    PyErr_Clear();
    return fail({"Invalid UTF-8 in cell", start});
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
