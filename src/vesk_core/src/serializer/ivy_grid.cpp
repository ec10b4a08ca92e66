// Lists as tables: which lists qualify (a bounded sample of their records)
// and the grid layouts. A table is written only when it reads back as the
// list it stands for; otherwise the list becomes a plain array.
#include <algorithm>
#include <array>
#include <cstring>

#include "parser/fast_number.hpp"
#include "parser/grid_skim.hpp"
#include "serializer/dict_items.hpp"
#include "serializer/number_format.hpp"
#include "serializer/plain_values.hpp"
#include "serializer/text_rules.hpp"
#include "serializer/value_kind.hpp"
#include "serializer/writer.hpp"
#include "simd/escape.hpp"
#include "simd/short_blocks.hpp"

// Reached only through dumps, after the import has checked for AVX2: the
// writer is compiled for it, so that the vector helpers inline into it.
#pragma GCC target("avx2,bmi,bmi2,popcnt")

namespace vesk {
namespace {

constexpr Py_ssize_t kStrictSample = 10;    // records compared key for key
constexpr Py_ssize_t kTolerantSample = 50;  // records that must mostly hold the columns

// Bytes that may not stand in a sampled string cell: delimiters, row and
// table structure, quotes, escapes and line breaks.
constexpr bool is_grid_unsafe(Py_UCS4 c) {
    switch (c) {
        case '\t': case '\n': case '\r': case '"': case ',': case ':': case ';':
        case '[': case '\\': case ']': case '{': case '|': case '}':
            return true;
        default:
            return false;
    }
}

// A set of one-byte characters, as a table.
using ByteSet = std::array<bool, 256>;

// Whether any of the `length` characters of a one-byte string is in `set`:
// one table read a character, no branch until the end. Most names are
// such strings.
bool any_in(const void* data, Py_ssize_t length, const ByteSet& set) {
    const auto* text = static_cast<const uint8_t*>(data);
    bool found = false;
    for (Py_ssize_t i = 0; i < length; ++i) found |= set[text[i]];
    return found;
}

// The grid-unsafe bytes as a nibble set for the vector scan.
constexpr NibbleSet kGridUnsafeNibbles =
    make_nibble_set([](uint8_t c) { return is_grid_unsafe(c); });

bool is_grid_safe_str(PyObject* str) {
    const int kind = PyUnicode_KIND(str);
    const void* data = PyUnicode_DATA(str);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(str);
    if (kind == PyUnicode_1BYTE_KIND)
        return !any_in_nibble_set_avx2(static_cast<const uint8_t*>(data),
                                       static_cast<size_t>(length), kGridUnsafeNibbles);
    for (Py_ssize_t i = 0; i < length; ++i)
        if (is_grid_unsafe(PyUnicode_READ(kind, data, i))) return false;
    return true;
}

// None, a bool or a number of its exact built-in type: a value that holds
// nothing and runs no Python code when written.
VESK_AVX2_INLINE inline bool is_exact_plain_scalar(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    return is_plain_number_type(type) || value == Py_None || type == &PyBool_Type;
}

// Whether `value` may stand in a grid cell of a table that is not lean:
// None, bools, numbers, and strings without grid-unsafe bytes. A lean table
// takes any value in a cell, since the reader takes any value there and
// quotes or brackets every text that would not read back bare. The exact
// types come first: they settle most cells at a compare or two.
VESK_AVX2_INLINE inline bool is_scalar_ivy_grid_cell(PyObject* value) {
    if (is_exact_plain_scalar(value)) return true;
    if (Py_TYPE(value) == &PyUnicode_Type) return is_grid_safe_str(value);
    switch (classify(value)) {
        case ValueKind::none: case ValueKind::boolean: case ValueKind::integer:
        case ValueKind::floating:
            return true;
        case ValueKind::str:
            return is_grid_safe_str(value);
        default:
            return false;
    }
}

// Whether the `size` values from `entries` (a string-key table's) may all
// stand in grid cells of a table that is not lean.
VESK_AVX2_INLINE inline bool are_scalar_ivy_grid_cells(const dict_table::UnicodeEntry* entries,
                                                         Py_ssize_t size) {
    for (Py_ssize_t i = 0; i < size; ++i)
        if (!is_scalar_ivy_grid_cell(entries[i].value)) return false;
    return true;
}

// Whether every value of `record` may stand in a grid cell of a table
// that is not lean.
bool dict_has_only_scalar_ivy_grid_cells(PyObject* record) {
    if (const dict_table::UnicodeEntry* entries = string_key_entries(record))
        return are_scalar_ivy_grid_cells(entries, PyDict_GET_SIZE(record));
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (next_item(record, &pos, &key, &value))
        if (!is_scalar_ivy_grid_cell(value)) return false;
    return true;
}

// The entries of `record` when its keys are the column objects themselves,
// one each, which settles that the record holds every column and nothing else
// without hashing a key. Records built by the same code share their key
// objects, in one order or a few: `slots` keeps where the last record so
// matched held each column's key, and a record in another order is walked
// once to find its keys, from just after where the column before was
// found (so that each key of a record in column order is found at once),
// and leaves its order in `slots`. Null, for the caller's lookups, for a
// record of another size, with a key that is another object, or whose
// entries cannot be read in place (see string_key_entries).
VESK_AVX2_INLINE inline const dict_table::UnicodeEntry* column_entries(
    PyObject* record, const std::vector<PyRef>& columns, std::vector<uint32_t>& slots) {
    const size_t count = columns.size();
    if (PyDict_GET_SIZE(record) != static_cast<Py_ssize_t>(count)) return nullptr;
    const dict_table::UnicodeEntry* entries = string_key_entries(record);
    if (!entries) return nullptr;
    size_t j = 0;
    while (j < count && entries[slots[j]].key == columns[j].get()) ++j;
    for (; j < count; ++j) {
        PyObject* const key = columns[j].get();
        size_t at = j > 0 ? slots[j - 1] + 1 : 0;
        size_t tried = 0;
        for (; tried < count; ++tried, ++at) {
            if (at == count) at = 0;
            if (entries[at].key == key) break;
        }
        if (tried == count) return nullptr;
        slots[j] = static_cast<uint32_t>(at);
    }
    return entries;
}

// The record at `index`, or null when the list is shorter or the element
// is not a dict.
PyObject* record_at(PyObject* list, Py_ssize_t index) {
    if (index >= PyList_GET_SIZE(list)) return nullptr;
    PyObject* item = PyList_GET_ITEM(list, index);
    return PyDict_Check(item) ? item : nullptr;
}

// 1 when every column is a key of `record`, 0 when one is missing, -1 on
// an error from a key's comparison.
int holds_columns(PyObject* record, const std::vector<PyRef>& columns,
                  std::vector<uint32_t>& slots) {
    if (column_entries(record, columns, slots)) return 1;
    for (const PyRef& key : columns) {
        if (!PyDict_GetItemWithError(record, key.get())) return PyErr_Occurred() ? -1 : 0;
    }
    return 1;
}

// 1 when every element of `list` from `from` on is a record whose keys are
// all columns, 0 when one is not, -1 on an error from a key's comparison.
int rows_fit(PyObject* list, Py_ssize_t from, const std::vector<PyRef>& columns,
             std::vector<uint32_t>& slots) {
    const auto count = static_cast<Py_ssize_t>(columns.size());
    for (Py_ssize_t i = from; i < PyList_GET_SIZE(list); ++i) {
        PyObject* record = record_at(list, i);
        if (!record || PyDict_GET_SIZE(record) > count) return 0;
        if (column_entries(record, columns, slots)) continue;
        const PyRef hold = PyRef::borrow(record);  // a key's __eq__ may drop it from the list
        Py_ssize_t found = 0;
        for (const PyRef& column : columns) {
            if (PyDict_GetItemWithError(record, column.get())) ++found;
            else if (PyErr_Occurred()) return -1;
        }
        if (found != PyDict_GET_SIZE(record)) return 0;
    }
    return 1;
}

// Values that may hold tables of their own, or run Python code that does.
// A short list or tuple of plain scalars (coordinates, tags) holds none:
// written twice when its table is undone, it costs twice its text, never
// more, so the walk over the rows ahead is not taken for it.
bool may_nest(PyObject* value) {
    switch (classify(value)) {
        case ValueKind::dict: case ValueKind::other:
            return true;
        case ValueKind::list: case ValueKind::tuple: {
            constexpr Py_ssize_t kScanned = 16;
            const Py_ssize_t size = Py_SIZE(value);
            if (size > kScanned) return true;
            PyObject* const* items = PySequence_Fast_ITEMS(value);
            for (Py_ssize_t i = 0; i < size; ++i)
                if (!is_exact_plain_scalar(items[i]) && Py_TYPE(items[i]) != &PyUnicode_Type)
                    return true;
            return false;
        }
        default:
            return false;
    }
}

// Characters that bare text may not hold anywhere: they end it, escape
// within it (\\), or are control characters that are skipped, trimmed or
// unreadable as text. Rows on lines of their own also end cells at `}`
// (and a `[N]{names}` header its names).
struct NotInBare {
    std::array<bool, 128> chars{};
    ByteSet bytes{};  // for one-byte strings, whose characters from 0x80 on always pass
};
constexpr NotInBare not_in_bare(bool lines) {
    NotInBare set;
    for (int c = 0; c < 128; ++c) {
        const auto b = static_cast<uint8_t>(c);
        set.chars[c] = set.bytes[c] = c < 0x20 || c == 0x7F || c == '\\' || ends_cell(b, lines);
    }
    return set;
}
constexpr NotInBare kNotInBare = not_in_bare(false);
constexpr NotInBare kNotInLineBare = not_in_bare(true);

// The rules of bare text on its ends. Blanks around it are skipped or
// trimmed; a leading quote, bracket, brace or comment opens something else.
// The first-character rule is a table (characters from 0x80 on always
// pass), so the answer costs one branch, however the data varies. `second`
// is 0 for a one-character text.
constexpr std::array<bool, 128> kBareStarts = [] {
    std::array<bool, 128> starts{};
    for (int c = 0; c < 128; ++c)
        starts[c] = c > ' ' && !opens_value(static_cast<uint8_t>(c)) && !kNotInBare.chars[c];
    return starts;
}();

bool bare_ends_ok(Py_UCS4 first, Py_UCS4 second, Py_UCS4 last) {
    const bool start = first >= 0x80 || kBareStarts[first];
    const bool comment = first == '/' && (second == '/' || second == '*');
    return start & (last != ' ') & !comment;
}

constexpr NibbleSet kNumberTokenNibbles =
    make_nibble_set([](uint8_t c) { return is_number_token_byte(c); });

// Whether a cell of these bytes, all one number or literal, would read as
// that value rather than as the text. Most texts that start like one are
// refused before they are read: a literal has four or five letters, and a
// number is number-token bytes all through (a date or a word such as
// "INFO" is not), which a short text shows in one block.
VESK_AVX2_INLINE inline bool reads_as_scalar(const uint8_t* text, size_t length) {
    if (!starts_scalar(text[0])) return false;
    if (text[0] == 't' || text[0] == 'f' || text[0] == 'n') {
        if (length - 4 > 1) return false;
        if (length == 5) return std::memcmp(text, "false", 5) == 0;
        return std::memcmp(text, "null", 4) == 0 || std::memcmp(text, "true", 4) == 0;
    }
    const int tokens =
        length < 32 ? all_in_nibble_set_short(text, length, kNumberTokenNibbles) : -1;
    return (tokens < 0 ? number_token_length(text, text + length) == length : tokens == 1) &&
           read_scalar_text(text, length).kind != Scalar::Kind::none;
}

// Whether the grid reader takes `str` written bare as the same text, where
// bare text stops at `stops` (a header name, or a cell, which must not read
// as a number or literal either). A lone surrogate is left to the quoted
// path, which refuses it: it has no UTF-8 form.
bool reads_back_bare(PyObject* str, BareStops stops) {
    const int kind = PyUnicode_KIND(str);
    const void* data = PyUnicode_DATA(str);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(str);
    if (length == 0 ||
        !bare_ends_ok(PyUnicode_READ(kind, data, 0), length > 1 ? PyUnicode_READ(kind, data, 1) : 0,
                      PyUnicode_READ(kind, data, length - 1)))
        return false;
    const bool lines = stops == BareStops::line_cell || stops == BareStops::braced_name;
    const NotInBare& banned = lines ? kNotInLineBare : kNotInBare;
    if (kind == PyUnicode_1BYTE_KIND) {
        const auto* bytes = static_cast<const uint8_t*>(data);
        const bool cell = stops == BareStops::cell || stops == BareStops::line_cell;
        return !any_in(data, length, banned.bytes) &&
               !(cell && reads_as_scalar(bytes, static_cast<size_t>(length)));
    }
    // Wider text holds a character past 0xFF, so it is no scalar.
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c < 0x80 ? banned.chars[c] : (c - 0xD800u) < 0x800u) return false;
    }
    return true;
}

// What the first character of ASCII text tells of it as a cell: kPlainStart
// when bare text may start with it and it starts no number, literal or
// comment (most words); for 't', 'f' and 'n', the length of the literal it
// may start, so that text of any other length is as plain; 0 for the
// rest, which the whole rule decides.
constexpr uint8_t kPlainStart = 0xFF;  // text of this length merely takes the whole rule
constexpr std::array<uint8_t, 128> kCellStarts = [] {
    std::array<uint8_t, 128> starts{};
    for (int c = 0; c < 128; ++c) {
        const auto b = static_cast<uint8_t>(c);
        if (!kBareStarts[c] || b == '/') continue;
        starts[c] = b == 't' || b == 'n' ? 4 : b == 'f' ? 5 : starts_scalar(b) ? 0 : kPlainStart;
    }
    return starts;
}();

// Whether ASCII text, as a cell, passes the rules on its ends, reads as no
// number or literal, and holds no `}` on lines of their own: what the block
// copies leave to check. A text whose first character settles the start
// and that ends in no blank passes the first two at one table read.
VESK_AVX2_INLINE inline bool ascii_cell_may_be_bare(const uint8_t* text, size_t length,
                                                      bool lines) {
    const uint8_t start = kCellStarts[text[0]];
    const bool ends_ok = (start != 0 && start != length && text[length - 1] != ' ') ||
                         (bare_ends_ok(text[0], length > 1 ? text[1] : 0, text[length - 1]) &&
                          !reads_as_scalar(text, length));
    return ends_ok && !(lines && std::memchr(text, '}', length));
}

// A cell of fewer than 32 ASCII characters that reads back bare, bare in
// one block at `at` (room for 32 bytes), under the row's reservation: its
// end, or null, with nothing counted, for any other string.
VESK_AVX2_INLINE inline char* put_bare_cell_short(PyObject* str, bool lines, char* at) {
    const auto length = static_cast<size_t>(PyUnicode_GET_LENGTH(str));
    if (length - 1 >= 31 || !PyUnicode_IS_COMPACT_ASCII(str)) return nullptr;
    const auto* text = reinterpret_cast<const uint8_t*>(reinterpret_cast<PyASCIIObject*>(str) + 1);
    if (!ascii_cell_may_be_bare(text, length, lines)) return nullptr;
    return copy_short_if_bare(text, length, reinterpret_cast<uint8_t*>(at)) == 1 ? at + length
                                                                                 : nullptr;
}

}  // namespace

// The writer's spare column and slot vectors for one table: taken when the
// table starts and given back, emptied, when it ends. A table nested in a
// cell finds no spare and allocates its own, which then stays the spare.
struct ColumnsLease {
    explicit ColumnsLease(Writer& owner)
        : writer(owner),
          columns(std::move(owner.spare_columns_)),
          slots(std::move(owner.spare_slots_)) {}
    ~ColumnsLease() {
        columns.clear();
        writer.spare_columns_ = std::move(columns);
        writer.spare_slots_ = std::move(slots);
    }
    ColumnsLease(const ColumnsLease&) = delete;
    ColumnsLease& operator=(const ColumnsLease&) = delete;

    Writer& writer;
    Writer::Columns columns;
    Writer::Slots slots;
};

Writer::Detection Writer::detect_ivy_grid_candidate(PyObject* list, Columns& columns,
                                                    Slots& slots) {
    const Py_ssize_t size = PyList_GET_SIZE(list);
    if (size < 2) return Detection::none;
    PyObject* first = record_at(list, 0);
    const bool any_value = options_.lean;
    if (!first || PyDict_GET_SIZE(first) == 0) return Detection::none;

    // The columns are the first record's keys, as exact str objects; a key
    // of another type leaves the list to the plain array, which writes it
    // by str(). A string-key table holds exact str keys only, read in place.
    const dict_table::UnicodeEntry* entries = string_key_entries(first);
    if (!any_value && !(entries ? are_scalar_ivy_grid_cells(entries, PyDict_GET_SIZE(first))
                                : dict_has_only_scalar_ivy_grid_cells(first)))
        return Detection::none;
    columns.reserve(static_cast<size_t>(PyDict_GET_SIZE(first)));
    if (entries) {
        for (Py_ssize_t j = 0; j < PyDict_GET_SIZE(first); ++j)
            columns.push_back(PyRef::borrow(entries[j].key));
    } else {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (next_item(first, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) return Detection::none;
            columns.push_back(PyUnicode_CheckExact(key) ? PyRef::borrow(key)
                                                        : PyRef::steal(PyUnicode_FromObject(key)));
            if (!columns.back()) return Detection::error;
        }
    }
    const auto count = static_cast<Py_ssize_t>(columns.size());
    // Keys in the first record's order, until a record shows another.
    slots.resize(columns.size());
    for (size_t j = 0; j < slots.size(); ++j) slots[j] = static_cast<uint32_t>(j);

    // A record with more keys than there are columns holds one that no
    // column does: no table carries it, so none is tried (the rows check
    // would refuse it only after the rows before it were written).
    bool strict = true;
    for (Py_ssize_t i = 1; i < std::min(size, kStrictSample) && strict; ++i) {
        PyObject* record = record_at(list, i);
        // Most records hold the first one's key objects, which settles
        // their columns without a lookup; their values are then read from
        // the same entries.
        if (const dict_table::UnicodeEntry* matched =
                record ? column_entries(record, columns, slots) : nullptr) {
            if (!any_value && !are_scalar_ivy_grid_cells(matched, count)) return Detection::none;
            continue;
        }
        if (!record || (!any_value && !dict_has_only_scalar_ivy_grid_cells(record)) ||
            PyDict_GET_SIZE(record) > count)
            return Detection::none;
        if (PyDict_GET_SIZE(record) != count) {
            strict = false;
            continue;
        }
        const int holds = holds_columns(record, columns, slots);
        if (holds < 0) return Detection::error;
        strict = holds == 1;
    }
    if (strict) return Detection::table;

    const Py_ssize_t sample = std::min(size, kTolerantSample);
    const Py_ssize_t threshold = (7 * sample + 9) / 10;
    Py_ssize_t matching = 0;
    for (Py_ssize_t i = 0; i < sample; ++i) {
        PyObject* record = record_at(list, i);
        if (!record || (!any_value && !dict_has_only_scalar_ivy_grid_cells(record)) ||
            PyDict_GET_SIZE(record) > count)
            return Detection::none;
        const int holds = holds_columns(record, columns, slots);
        if (holds < 0) return Detection::error;
        matching += holds;
    }
    return matching >= threshold ? Detection::table : Detection::none;
}

bool Writer::write_ivy_grid_header_key(PyObject* key) {
    // An identifier reads back bare under either rule.
    if (write_bare_identifier(key)) return true;
    if (!options_.lean) return append_quoted(key);
    if (!reads_back_bare(key, options_.multiline_ivy ? BareStops::braced_name : BareStops::name))
        return append_quoted(key);
    append_text(key);
    return true;
}

// Writes `str` bare and returns true when it is a bare identifier;
// otherwise writes nothing.
bool Writer::write_bare_identifier(PyObject* str) {
    const auto length = static_cast<size_t>(PyUnicode_GET_LENGTH(str));
    if (length == 0 || !PyUnicode_IS_ASCII(str)) return false;
    const uint8_t* text = PyUnicode_1BYTE_DATA(str);
    if (length < 32) {
        out_.reserve(32);
        const int copied = copy_short_if_identifier(text, length, out_.tail<uint8_t>());
        if (copied >= 0) {
            out_.commit(copied ? length : 0);
            return copied == 1;
        }
    }
    if (!is_bare_identifier(text, length)) return false;
    append_text(str);
    return true;
}

// A string cell under lean or bare_strings: bare where it reads back so,
// else quoted. `lines`: the rows stand on lines of their own.
bool Writer::write_bare_cell(PyObject* str, bool lines) {
    const auto length = static_cast<size_t>(PyUnicode_GET_LENGTH(str));
    if (length > 0 && PyUnicode_IS_COMPACT_ASCII(str)) {
        // ASCII text: checked and copied in whole blocks.
        const uint8_t* text = PyUnicode_1BYTE_DATA(str);
        if (!ascii_cell_may_be_bare(text, length, lines)) return write_str(str);
        out_.reserve(std::max<size_t>(length, 32));
        uint8_t* const to = out_.tail<uint8_t>();
        const int copied = length < 32 ? copy_short_if_bare(text, length, to)
                                       : static_cast<int>(copy_long_if_bare(text, length, to));
        if (copied == 1) {
            out_.commit(length);
            return true;
        }
        if (copied == 0) return write_str(str);
    }
    if (!reads_back_bare(str, lines ? BareStops::line_cell : BareStops::cell))
        return write_str(str);
    append_text(str);
    return true;
}

Writer::Grid Writer::write_ivy_grid_row(PyObject* record, const Columns& columns, Slots& slots,
                                        bool last_row, RowsAhead& ahead, uint64_t depth) {
    // An empty cell must still read back as None: inline, a TAB before a
    // cell is skipped as filler, and a blank last row is no row at all; on
    // lines of their own, a blank line is no row.
    const bool lines = options_.has_indent || options_.multiline_ivy;
    const bool empty_cells = (options_.implicit_null || options_.lean) &&
                             !(columns.size() == 1 && (lines || last_row)) &&
                             !(!lines && options_.delimiter == Delimiter::tab);
    // Strings that these options write their own way, and None where it
    // is an empty cell, are not plain cells.
    const bool own_text = options_.lean || options_.bare_strings;
    // Records made by the same code hold the same key objects: each value
    // is then read from the entry that `slots` names, without a hash
    // lookup, once that entry's key is seen to be the column's. The entries
    // are read again after Python code may have run (a nested value's
    // conversion may change the record); a key that is not the column's
    // is looked up.
    const auto count = static_cast<Py_ssize_t>(columns.size());
    const dict_table::UnicodeEntry* entries = column_entries(record, columns, slots);
    // Plain cells go out through a local pointer under one reservation for
    // a batch of them, counted once: the buffer's count lives in memory,
    // and a cell counted on its own would chain the next cell to it through
    // a store and a load. Any other cell is counted first (with its
    // delimiter), since what writes it may run Python code and grow the
    // buffer. Locals stand in for members and vectors, which the stores
    // through the pointer would make the compiler read again for each cell.
    constexpr size_t kCellRoom = sizeof delimiter_ + kPlainValueRoom;
    constexpr size_t kBatchRoom = 16 * kCellRoom;
    const PyRef* const column = columns.data();
    const uint32_t* const slot = slots.data();
    char delimiter[sizeof delimiter_];
    std::memcpy(delimiter, delimiter_, sizeof delimiter);
    const size_t delimiter_length = delimiter_length_;
    char* begin = nullptr;
    char* room_end = nullptr;
    char* o = nullptr;
    const auto reserve_batch = [&] {
        o = begin = out_.ascii_begin(kBatchRoom);
        room_end = begin + kBatchRoom;
    };
    reserve_batch();
    Py_ssize_t found = 0;
    for (size_t j = 0; j < columns.size(); ++j) {
        PyObject* value = nullptr;
        if (entries && entries[slot[j]].key == column[j].get()) {
            value = entries[slot[j]].value;
            if (static_cast<size_t>(room_end - o) < kCellRoom) {
                out_.ascii_end(static_cast<size_t>(o - begin));
                reserve_batch();
            }
        } else {
            out_.ascii_end(static_cast<size_t>(o - begin));
            entries = nullptr;
            value = PyDict_GetItemWithError(record, column[j].get());
            if (!value && PyErr_Occurred()) return Grid::failed;
            reserve_batch();
        }
        found += value != nullptr;
        std::memcpy(o, delimiter, sizeof delimiter);
        char* const cell = o + (j > 0 ? delimiter_length : 0);
        char* const end = !value ? nullptr
                          : own_text && PyUnicode_Check(value)
                              ? put_bare_cell_short(value, lines, cell)
                          : value == Py_None && empty_cells ? cell
                                                            : put_plain_value(value, cell, room_end);
        if (end) {
            o = end;
            continue;
        }
        out_.ascii_end(static_cast<size_t>(cell - begin));
        if (!value) {
            if (!empty_cells) out_.append_literal("null");
        } else if (PyUnicode_Check(value) && own_text) {
            if (!write_bare_cell(value, lines)) return Grid::failed;
        } else if (!written_as_short_number_list(value, depth + 1)) {  // which holds no table
            if (!ahead.checked && may_nest(value)) {
                ahead.checked = true;
                const int fit = rows_fit(ahead.list, ahead.from, columns, slots);
                if (fit <= 0) return fit < 0 ? Grid::failed : Grid::unfit;
                // `slots` may hold a later record's order now.
                entries = entries ? column_entries(record, columns, slots) : nullptr;
            }
            if (!write_item(value, depth + 1)) return Grid::failed;
            if (entries)
                entries = PyDict_GET_SIZE(record) == count ? string_key_entries(record) : nullptr;
        }
        // The next plain cell reserves a batch; a row that ends here, none.
        o = begin = room_end = nullptr;
    }
    out_.ascii_end(static_cast<size_t>(o - begin));
    // Keys beyond the columns would be lost in a table.
    return PyDict_GET_SIZE(record) == found ? Grid::written : Grid::unfit;
}

Writer::Grid Writer::write_ivy_grid(PyObject* list, const Columns& columns, Slots& slots,
                                    uint64_t depth) {
    if (depth + 1 > kMaxWriteDepth) {
        too_deep();
        return Grid::failed;
    }
    if (stack_room_.low()) [[unlikely]]
        return stack_room_.grow([&] { return write_ivy_grid(list, columns, slots, depth); });
    const OutputText::Mark mark = text_.mark();
    const Py_UCS4 max_char = max_char_;
    const Py_ssize_t rows = PyList_GET_SIZE(list);
    const bool multiline = options_.multiline_ivy;
    const bool indented = !multiline && options_.has_indent;
    const bool tight = options_.lean && !multiline && !indented;  // no spaces around separators

    out_.put('[');
    if (options_.row_count || multiline)
        out_.ascii_end(format_uint(static_cast<uint64_t>(rows), out_.ascii_begin(kMaxIntText)));
    if (multiline) out_.append_literal("]{");
    else out_.put(':');
    if (indented) newline_and_indent(depth + 1);
    else if (!multiline && !tight) out_.put(' ');
    for (size_t j = 0; j < columns.size(); ++j) {
        if (j > 0) {
            if (multiline) out_.put(',');
            else out_.append_short(delimiter_, delimiter_length_);
        }
        // A column with no UTF-8 form: the plain array writes such a key by
        // its str(), which a str subclass may give.
        if (!write_ivy_grid_header_key(columns[j].get())) {
            text_.rewind(mark);
            return Grid::unfit;
        }
    }
    if (multiline) out_.append_literal("}:");

    const DumpOptions& o = options_;
    const uint64_t row_indent = multiline && !o.has_indent ? 2 : o.indent;
    RowsAhead ahead{list, 0, false};
    for (Py_ssize_t i = 0; i < rows; ++i) {
        PyObject* record = record_at(list, i);
        Grid row = Grid::unfit;
        if (record && PyList_GET_SIZE(list) == rows) {
            if (multiline || indented) newline_with(row_indent, depth + 1);
            else if (tight) out_.put(';');
            else out_.append_literal("; ");
            const PyRef hold = PyRef::borrow(record);  // cells may run code that drops it
            ahead.from = i;
            row = write_ivy_grid_row(record, columns, slots, i + 1 == rows, ahead, depth);
        }
        if (row == Grid::written) continue;
        if (row == Grid::unfit) {
            text_.rewind(mark);
            max_char_ = max_char;
        }
        return row;
    }
    if (indented) {
        newline_and_indent(depth);
        out_.put(']');
    } else if (tight) {
        out_.put(']');
    } else if (!multiline) {
        out_.append_literal(" ]");
    }
    return Grid::written;
}

bool Writer::write_list_or_table(PyObject* list, uint64_t depth) {
    // Only a list that starts with a record or a model can be a table; a
    // first record with a value that no grid cell of a table that is not
    // lean holds settles it at once (most lists of records that are no
    // tables: messages, search hits with a title holding a colon).
    PyObject* const first = PyList_GET_SIZE(list) >= 2 ? PyList_GET_ITEM(list, 0) : nullptr;
    if (first && options_.ivy_grid &&
        (PyDict_Check(first) ? options_.lean || dict_has_only_scalar_ivy_grid_cells(first)
                             : classify(first) == ValueKind::other)) {
        ColumnsLease lease(*this);
        Writer::Columns& columns = lease.columns;
        Writer::Slots& slots = lease.slots;
        switch (detect_ivy_grid_candidate(list, columns, slots)) {
            case Detection::error: return false;
            case Detection::table: {
                const Grid grid = write_ivy_grid(list, columns, slots, depth);
                if (grid != Grid::unfit) return grid == Grid::written;
                return write_array(list, depth);
            }
            case Detection::none: break;
        }
        if (classify(PyList_GET_ITEM(list, 0)) == ValueKind::other) {
            // Models and dataclass instances: offered as what they convert to.
            const Materialized converted = materialize_as_dicts(list);
            if (converted.outcome == Materialized::error) return false;
            if (converted.outcome == Materialized::done) {
                columns.clear();
                switch (detect_ivy_grid_candidate(converted.list.get(), columns, slots)) {
                    case Detection::error: return false;
                    case Detection::table: {
                        const Grid grid =
                            write_ivy_grid(converted.list.get(), columns, slots, depth);
                        if (grid != Grid::unfit) return grid == Grid::written;
                        break;
                    }
                    case Detection::none: break;
                }
            }
        }
    }
    return write_array(list, depth);
}

}  // namespace vesk
