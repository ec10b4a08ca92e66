// The writer: Python objects to VESK or JSON text in an OutputText.
//
// Every write operation returns true on success, or false with a Python
// exception set; the first failure ends the call and the partial text is
// discarded by `dumps`. Growing the buffer may throw std::bad_alloc, which
// the module boundary turns into MemoryError.
//
// Objects handed to the writer are borrowed. Whenever Python code may run
// while one is in use (a conversion method, str() of a key), the writer
// holds its own reference, since that code may drop the container's.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "py_ref.hpp"
#include "stack_room.hpp"
#include "types/output_text.hpp"

namespace vesk {

enum class Delimiter : uint8_t { comma = 0, tab = 1, pipe = 2 };

struct DumpOptions {
    bool has_indent = false;
    uint64_t indent = 0;  // spaces per level when has_indent
    bool ivy_grid = true;
    bool unquoted_keys = false;
    bool bare_strings = false;
    bool implicit_null = false;
    bool row_count = true;
    bool multiline_ivy = false;
    Delimiter delimiter = Delimiter::comma;
    // The fewest tokens that still read back: bare keys, tables whose cells
    // may hold any value (lists, objects, tables), cells bare wherever the
    // reader reads them back the same, no spaces around table separators.
    bool lean = false;
};

// The longest list that write_short_number_lists takes, and the most values
// that write_plain_run writes under one reservation.
inline constexpr Py_ssize_t kShortNumberList = 32;
// A line feed and the usual indentation (under 8 levels of under 8 spaces),
// stored as one block.
inline constexpr size_t kLineBlock = 65;
// Values nested deeper than this are refused.
inline constexpr uint64_t kMaxWriteDepth = 256;
// Conversions (model_dump() returning another model, and so on) that may
// follow one another before the writer gives up on an endless chain.
inline constexpr int kMaxConversionChain = 256;

class Writer {
public:
    Writer(OutputText& text, const DumpOptions& options);

    [[nodiscard]] bool write_value(PyObject* obj, uint64_t depth);
    // Each value that `iterator` yields as a document of its own, followed
    // by a line feed.
    [[nodiscard]] bool write_lines(PyObject* iterator);

    // The text written so far as a new str.
    PyRef finish() const;

private:
    // Kept out of line, so that write_value stays a frameless dispatcher
    // that jumps to them.
    [[nodiscard, gnu::noinline]] bool write_str(PyObject* str);
    // Ints and floats: plain ones at once (see put_plain_number), the
    // others through write_big_int or write_float_other.
    [[nodiscard, gnu::noinline]] bool write_number(PyObject* obj);
    [[nodiscard, gnu::noinline]] bool write_big_int(PyObject* obj);
    // The plain values (see put_plain_value) among the `end` items from
    // `from` on, comma-separated, each on a line of its own when `line` (the
    // line feed and indentation, at most kLineBlock bytes) is not 0, until
    // an item that is not one. Returns the index of that item, with nothing
    // of it written.
    [[gnu::noinline]] Py_ssize_t write_plain_run(PyObject* const* items, Py_ssize_t from,
                                                 Py_ssize_t end, size_t line);
    // Compact lists of 1 to kShortNumberList plain numbers (ids,
    // coordinates, small vectors): those of the `end` items from `from` on,
    // each after a comma but at index 0, until an item that is not one.
    // Returns the index of that item, with nothing of it written and
    // nothing raised. The digits of doubles are made inline here, where a
    // list of coordinate pairs spends its time.
    [[gnu::noinline, gnu::flatten]] Py_ssize_t write_short_number_lists(PyObject* const* items,
                                                                        Py_ssize_t from,
                                                                        Py_ssize_t end);
    // One such list, with no comma; false, with nothing written, for any
    // other list. Its numbers' formatters are called, not inlined: a lone
    // list (ids of a record) is mostly short integers.
    [[gnu::noinline]] bool write_short_number_list(PyObject* list);
    // write_short_number_list for a value at `depth` that may be any
    // object, under the layouts that take it.
    bool written_as_short_number_list(PyObject* obj, uint64_t depth);
    // Float subclasses, NaN and the infinities.
    [[nodiscard, gnu::noinline]] bool write_float_other(PyObject* obj);
    [[nodiscard, gnu::noinline]] bool write_dict(PyObject* dict, uint64_t depth);
    // Compact members from `*pos` on whose key is plain (a short clean
    // exact str), read in place from a dict whose entries string_key_entries
    // gives, each after a comma when `written` (the members begun so far)
    // or another member precedes it: whole while put_plain_value writes the
    // value; the first other value is left in `*pending` for the caller to
    // write after its key. Stops there or at a key that is not plain, with
    // `*pos` after the last member begun, and adds how many it began to
    // `written`. True when that leaves no member to write: the dict's last
    // one is written whole. Runs no Python code. With `kBareKeys` (lean or
    // unquoted keys), keys go bare as write_dict's (see put_member_key), and
    // `after_str`, which tells whether the value before was a string, is left
    // telling it of the last member begun.
    template <bool kBareKeys>
    bool write_plain_members(PyObject* dict, Py_ssize_t* pos, Py_ssize_t& written,
                             PyObject** pending, bool& after_str);
    // `bare`: an identifier key may go without quotes.
    [[nodiscard, gnu::noinline]] bool write_key(PyObject* key, bool bare);
    [[nodiscard, gnu::noinline]] bool write_tuple(PyObject* tuple, uint64_t depth);
    [[nodiscard, gnu::noinline]] bool write_bytes(PyObject* bytes);
    [[nodiscard, gnu::noinline]] bool write_list_or_table(PyObject* list, uint64_t depth);
    [[nodiscard, gnu::noinline]] bool write_array(PyObject* list, uint64_t depth);
    [[nodiscard, gnu::noinline]] bool write_fallback(PyObject* obj, uint64_t depth);

    // Tables. A table that turns out unable to carry its list exactly (a
    // record with a key that is not a column, an element that is not a
    // record, a list that shrank) is undone and the list written as a
    // plain array instead: nothing is dropped or refused for being in a
    // table.
    enum class Detection { error, none, table };
    enum class Grid { written, failed, unfit };
    using Columns = std::vector<PyRef>;  // one exact str key object per column
    // For each column, the index of its key object among the entries of the
    // last record whose keys were found to be the column objects themselves
    // (see column_entries in ivy_grid.cpp); set up by detection.
    using Slots = std::vector<uint32_t>;
    Detection detect_ivy_grid_candidate(PyObject* list, Columns& columns, Slots& slots);
    Grid write_ivy_grid(PyObject* list, const Columns& columns, Slots& slots, uint64_t depth);
    // The table's rows from the one being written on. Before its first cell
    // that may hold a table (a container, or an object to convert), a table
    // checks that every row ahead fits it, once: a table found unfit then
    // throws away only plain cells, and tables nested in unfit tables are
    // written once, not again for every enclosing table that is undone.
    struct RowsAhead {
        PyObject* list;
        Py_ssize_t from;
        bool checked;
    };
    Grid write_ivy_grid_row(PyObject* record, const Columns& columns, Slots& slots,
                            bool last_row, RowsAhead& ahead, uint64_t depth);
    [[nodiscard]] bool write_bare_cell(PyObject* str, bool lines);
    bool write_bare_identifier(PyObject* str);
    // False, with nothing set, for a name with a lone surrogate.
    [[nodiscard]] bool write_ivy_grid_header_key(PyObject* key);

    [[nodiscard]] bool write_item(PyObject* obj, uint64_t depth);
    bool too_deep();      // raises the nesting error; always false
    bool encode_error();  // raises the error for a lone surrogate; always false

    // Appends the characters of `str` escaped (no quotes); a string of a
    // wider kind goes to the text's wide buffer. False, with nothing set
    // and nothing appended, at a lone surrogate.
    [[nodiscard]] bool append_escaped(PyObject* str);
    // `str` escaped between double quotes. False, with nothing set and
    // nothing appended, at a lone surrogate.
    [[nodiscard]] bool append_quoted(PyObject* str);
    // The characters of `str` as they are, for bare text that holds no
    // lone surrogate (checked by the caller's rule).
    void append_text(PyObject* str);
    void newline_and_indent(uint64_t level) { newline_with(options_.indent, level); }
    // A line feed and `width` * `level` spaces.
    void newline_with(uint64_t width, uint64_t level);
    [[gnu::noinline]] void newline_with_many(uint64_t width, uint64_t level);

    OutputText& text_;
    OutputBuffer& out_;  // text_'s narrow buffer, where all but wide strings go
    const DumpOptions& options_;
    Py_UCS4 max_char_ = 127;  // the widest character appended so far
    char delimiter_[8] = {};  // the table cell delimiter's bytes
    size_t delimiter_length_ = 0;
    StackRoom stack_room_;
    // Column and slot vectors whose buffers an earlier table of this call
    // allocated, handed to the next table and taken back, so that a
    // document of many small tables allocates once (see ColumnsLease).
    Columns spare_columns_;
    Slots spare_slots_;
    friend struct ColumnsLease;
};

// Exact ints and floats: the types of the numbers that put_plain_number may
// write.
inline bool is_plain_number_type(PyTypeObject* type) {
    return type == &PyLong_Type || type == &PyFloat_Type;
}

inline bool Writer::written_as_short_number_list(PyObject* obj, uint64_t depth) {
    return Py_TYPE(obj) == &PyList_Type && PyList_GET_SIZE(obj) > 0 &&
           is_plain_number_type(Py_TYPE(PyList_GET_ITEM(obj, 0))) && depth < kMaxWriteDepth &&
           !options_.has_indent && write_short_number_list(obj);
}

// An element or member value at `depth`, whose container has checked the
// depth. The common scalars go straight to their writers; anything else
// may run Python code that drops the container's reference to it, so it
// is written under a reference of its own.
inline bool Writer::write_item(PyObject* obj, uint64_t depth) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyUnicode_Type) return write_str(obj);
    if (is_plain_number_type(type)) return write_number(obj);
    if (type == &PyList_Type) {
        if (PyList_GET_SIZE(obj) == 0) {
            out_.append_literal("[]");
            return true;
        }
        if (written_as_short_number_list(obj, depth)) return true;
    }
    const PyRef hold = PyRef::borrow(obj);
    if (type == &PyList_Type) return write_list_or_table(obj, depth);
    if (type == &PyDict_Type) return write_dict(obj, depth);
    return write_value(obj, depth);
}

inline void Writer::newline_with(uint64_t width, uint64_t level) {
    if ((width | level) >= 8) [[unlikely]]
        return newline_with_many(width, level);
    // The usual indentation, under 64 spaces: the line feed, then a whole
    // block of 64 spaces (a few vector stores), of which the text keeps
    // what it needs.
    out_.reserve(kLineBlock);
    uint8_t* at = out_.tail<uint8_t>();
    at[0] = '\n';
    std::memset(at + 1, ' ', kLineBlock - 1);
    out_.commit(1 + width * level);
}

// A list of models, dataclass instances and dicts as a new list of what
// each converts to (dicts as they are), for table detection.
struct Materialized {
    enum Outcome { error, unconvertible, done } outcome;
    PyRef list;  // when done
};
Materialized materialize_as_dicts(PyObject* list);

}  // namespace vesk
