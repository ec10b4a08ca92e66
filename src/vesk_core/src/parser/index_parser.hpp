// FastIndexParser: builds Python objects straight from the input bytes in one
// recursive descent. Strings and keys find their own ends in one vector pass
// each; the StructuralIndex of quotes is built only when a table needs its
// rows counted by a skim that steps over quoted text without reading it.
//
// Every reading method returns a new reference, or an empty PyRef with the
// Python exception already set; parse errors are converted where they arise
// and travel up unchanged.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "parser/error.hpp"
#include "parser/fast_number.hpp"
#include "parser/string_cache.hpp"
#include "py_ref.hpp"
#include "simd/string_scan.hpp"
#include "simd/whitespace.hpp"
#include "stack_room.hpp"
#include "types/field_descriptor.hpp"
#include "types/structural_index.hpp"

namespace vesk {

// PyDict_SetItem without the references it takes and its caller then
// drops: the interpreter's own form, which consumes both, also when it
// fails. It is exported, but declared only in the internal headers.
extern "C" int _PyDict_SetItem_Take2(PyDictObject* dict, PyObject* key, PyObject* value);

// Sets `dict[key] = value`, taking over both references; -1 with the
// exception set on failure.
inline int set_item_taking(PyObject* dict, PyObject* key, PyObject* value) {
    return _PyDict_SetItem_Take2(reinterpret_cast<PyDictObject*>(dict), key, value);
}

// Containers deeper than this raise instead of exhausting the native stack.
inline constexpr uint32_t kMaxNestingDepth = 1024;
// Tables of more rows than this raise.
inline constexpr uint64_t kMaxGridRows = 1'000'000;
// A short table row is padded with None for each name it leaves without a
// cell: cells that its text does not pay for, so that a few bytes could make
// rows of thousands. A document may pad at most this many cells for each
// byte of its text up to the row, plus the allowance: what a read builds
// then stays within a constant times the length of its text.
inline constexpr uint64_t kPaddingPerByte = 8;
inline constexpr uint64_t kPaddingAllowance = 65'536;

// Inputs from this long hold the collector off while they are read (see
// CollectorPause); a shorter one makes too few containers to be worth the
// two calls.
inline constexpr uint64_t kPauseCollectorFrom = 4096;

// Owned references to the elements (and table rows) read so far by the lists
// that are open, innermost last. Each list is created once its closing
// bracket is reached, at its final size, from the top of the stack.
class ValueStack {
public:
    ValueStack() = default;
    ValueStack(const ValueStack&) = delete;
    ValueStack& operator=(const ValueStack&) = delete;
    ~ValueStack() { drop_from(0); }

    size_t size() const { return items_.size(); }
    PyObject* const* from(size_t mark) const { return items_.data() + mark; }

    void push(PyRef value) {
        items_.push_back(value.get());  // may throw: `value` still owns
        (void)value.release();          // now owned by the stack
    }
    // Releases the references above `mark`.
    void drop_from(size_t mark) {
        while (items_.size() > mark) {
            Py_DECREF(items_.back());
            items_.pop_back();
        }
    }
    // Forgets the references above `mark`: a container has stolen them.
    void forget_from(size_t mark) { items_.resize(mark); }

    // Frees the memory of an empty stack that has grown past `max_bytes`.
    void trim(size_t max_bytes) {
        if (items_.capacity() * sizeof(PyObject*) > max_bytes)
            std::vector<PyObject*>().swap(items_);
    }

private:
    std::vector<PyObject*> items_;
};

// Releases what a container pushed onto the value stack if it fails before
// building itself.
class StackFrame {
public:
    explicit StackFrame(ValueStack& stack) : stack_(stack), mark_(stack.size()) {}
    ~StackFrame() { stack_.drop_from(mark_); }
    StackFrame(const StackFrame&) = delete;
    StackFrame& operator=(const StackFrame&) = delete;

    size_t mark() const { return mark_; }
    Py_ssize_t count() const { return static_cast<Py_ssize_t>(stack_.size() - mark_); }

private:
    ValueStack& stack_;
    size_t mark_;
};

// The memory a reader call works in besides the values it makes.
struct ReaderScratch {
    ValueStack stack;
    std::string escape_buffer;  // decoded bytes of the current escaped string
    StructuralIndex index;      // built only for tables whose rows need counting
    bool in_use = false;        // held by a reader call of the thread

    // What a thread keeps from one call to the next, at most, in each part:
    // the index grows with the input's quotes, the stack with the longest
    // open lists, the escape buffer with the longest escaped string.
    static constexpr size_t kKeptIndexBytes = size_t{64} << 20;
    static constexpr size_t kKeptStackBytes = size_t{1} << 20;
    static constexpr size_t kKeptEscapeBytes = size_t{1} << 20;

    // Ends a call's hold, freeing each part grown past what is kept.
    void release() {
        stack.trim(kKeptStackBytes);
        if (escape_buffer.capacity() > kKeptEscapeBytes) [[unlikely]]
            std::string().swap(escape_buffer);
        if (index.capacity_bytes() > kKeptIndexBytes) [[unlikely]]
            index = StructuralIndex();
        in_use = false;
    }
};

struct ReaderThread;

// What one reader call takes from the calling thread, reached through one
// thread-local lookup: the thread's key cache, and its scratch memory, kept
// from one call to the next so that a document that fits it allocates
// nothing but its values. No Python code runs while a document is read, so
// no other reader call of the thread finds the scratch held; should one
// ever nest, it works in a scratch of its own. Memory grown past a bound is
// freed when the call ends: one huge document must not pin it for good.
class ReaderLease {
public:
    ReaderLease();
    ~ReaderLease() {
        if (!own_) scratch_->release();
    }
    ReaderLease(const ReaderLease&) = delete;
    ReaderLease& operator=(const ReaderLease&) = delete;

    StringCache& cache() const { return cache_; }
    ReaderScratch& scratch() const { return *scratch_; }
    // The low bound of the stack the thread runs on (stack_low_bound()).
    uintptr_t stack_low_bound() const { return *stack_low_; }

private:
    explicit ReaderLease(ReaderThread& thread);

    StringCache& cache_;
    const uintptr_t* stack_low_;  // the thread's record of it
    ReaderScratch* scratch_;
    std::unique_ptr<ReaderScratch> own_;  // when the thread's scratch is held
};

// Opt-in reading modes for text that models write.
struct ReadOptions {
    // Text that may stop before its document does: what has arrived is
    // returned, each value only once it can no longer change (numbers and
    // literals once something follows them), open containers closed at the
    // end. `trailing_strings` also keeps the text so far of a string the
    // end cuts.
    enum class Partial : uint8_t { off, on, trailing_strings } partial = Partial::off;
    // A table's `[N:` count must match the rows it holds.
    bool check_counts = false;
};

// The end of partial text to read up to: short of what may still turn into
// filler. A lone `/` at the end may open a comment; it is kept only where it
// completes a `//` (not the `/` after a comment's `*/`). A byte order mark
// cut short is no text yet. Inside strings and comments the shortened text
// reads the same, or as a string one byte shorter.
inline uint64_t partial_text_end(const uint8_t* text, uint64_t begin, uint64_t end) {
    if (begin == 0 && end < 3 && std::memcmp(text, "\xEF\xBB\xBF", end) == 0) return 0;
    if (end > begin && text[end - 1] == '/') {
        const bool completes_opener =
            end - begin >= 2 && text[end - 2] == '/' && (end - begin < 3 || text[end - 3] != '*');
        if (!completes_opener) return end - 1;
    }
    return end;
}

// Holds the cyclic collector off while a parser builds a document, and
// restores it as it was. The values built hold no cycles, and a collection
// in the middle of a build only walks and promotes what the build has made
// so far, again and again on a large document; one collection later walks
// it once. Nothing built runs Python code, so the interpreter lock stays
// held, and no other thread sees the collector paused, except where the
// lock is released on purpose: around that, `lift` and `renew`.
class CollectorPause {
public:
    // Held off only when `wanted`.
    explicit CollectorPause(bool wanted) : paused_(wanted && PyGC_Disable() != 0) {}
    ~CollectorPause() { lift(); }
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;

    // The collector as the caller left it.
    void lift() {
        if (paused_) PyGC_Enable();
    }
    // Paused again after `lift`, unless another thread has disabled it
    // meanwhile, which then stands.
    void renew() {
        if (paused_) paused_ = PyGC_Disable() != 0;
    }

private:
    bool paused_;
};

class FastIndexParser {
public:
    FastIndexParser(const uint8_t* input, uint64_t length, ReadOptions options = {})
        : input_(input), length_(length), collector_pause_(length >= kPauseCollectorFrom),
          options_(options) {}

    // Reads one value at `pos` (leading filler allowed) and leaves `pos` just
    // past it. `schema`, when present, maps objects reached through lists
    // and table cells only.
    PyRef parse_value(const Schema* schema);
    // The same, where a container opens right at `pos`: it goes straight
    // to its reader, without the frame of the dispatch.
    PyRef parse_element(const Schema* schema) {
        const uint8_t c = pos < length_ ? input_[pos] : 0;
        return c == '{' || c == '[' ? parse_container(schema) : parse_value(schema);
    }

    // JSON Lines: the values from `pos` to the end as one list, each one
    // starting on a line of its own (a value may run over several lines,
    // as pretty-printed records one after another do); blank lines are
    // filler. `schema` maps each value as it maps the elements of a list.
    PyRef parse_lines(const Schema* schema);

    void skip_filler() { skip_whitespace_simd(input_, length_, pos); }
    void skip_spaces() {
        while (pos < length_ && input_[pos] == ' ') ++pos;
    }
    bool at_end() const { return pos >= length_; }

    // Raises `error` as a vesk.DecodeError; always returns an empty PyRef.
    [[gnu::cold, gnu::noinline]] PyRef fail(const ParseError& error) const;
    PyRef nesting_too_deep(uint64_t bracket) const;
    // The same for readers that report success as a bool.
    bool failed(const ParseError& error) const { return static_cast<bool>(fail(error)); }

    // Under partial reading, the text ended inside the value just read: an
    // empty PyRef with no exception set means the value is left out, and
    // every enclosing container closes with what it holds.
    bool cut() const { return cut_; }

    uint64_t pos = 0;
    // The input may change whenever the interpreter lock is released (a
    // mutable buffer): it is then held through every scan.
    bool hold_lock = false;

    // The None cells that short rows have been padded with so far in the
    // document. A reader of one document through several parsers
    // (stream.cpp) carries the count from each to the next.
    uint64_t padded_cells() const { return padded_cells_; }
    void set_padded_cells(uint64_t cells) { padded_cells_ = cells; }

    static constexpr uint64_t kNoCount = UINT64_MAX;  // a table without `[N:`

    // A reply read as its text arrives (stream.cpp), under partial reading:
    // cut() tells of a unit that the text cuts; `depth` is the count of
    // containers open around `pos`.
    enum class Opening : uint8_t { wait, header, array, table, other, error };
    // At a `[`: whether it opens a list or a table, once the text shows it
    // and a table's header has arrived whole; leaves `pos` on the first
    // element or row, with a table's names and its row template. `header`:
    // a table whose header the text cuts, which begins at `pos`. `other`: a
    // table without names, whose rows consume no text, so that only the
    // whole text counts them.
    Opening open_list(std::vector<PyRef>& names, PyRef& row_template, uint64_t& declared);
    enum class ListState : uint8_t { element, separator, closed, irregular };
    // Appends to `out` each element, or row (`names` given, of the table
    // whose `[` is at `at`), that the text holds whole from `pos`, and
    // leaves `pos` where the next one begins (one the text cuts included,
    // its padding not counted), or past the closing bracket. False with the
    // error set; a table whose rows need the whole text to be counted comes
    // back `irregular`.
    bool read_list(const std::vector<PyRef>* names, PyObject* row_template, const Schema* schema,
                   uint32_t depth, uint64_t at, ListState& state, PyObject* out);
    // An object key (`key`) or a value at `pos`.
    PyRef read_member(bool key, const Schema* schema, uint32_t depth);
    // Whether the value just read from `start` is `[digits]` with the text
    // ending right after it: a `{` next would make it a counted table's
    // count, so it is not yet whole.
    bool may_become_count(uint64_t start) const;
    // Takes `list` as the value of the list whose `[` is at `at`, and goes
    // on reading at `end`: a list read while its text arrived.
    void splice(uint64_t at, uint64_t end, PyObject* list) { splice_ = {at, end, list}; }

private:
    bool partial() const { return options_.partial != ReadOptions::Partial::off; }
    // The end of the text where more was due: under partial reading a cut
    // (true), else the end-of-input error at `at` (false).
    bool cut_at(uint64_t at);
    // The same for readers that return a value, or report success.
    PyRef end_of_text(uint64_t at) {
        cut_at(at);
        return {};
    }
    bool ended(uint64_t at) {
        cut_at(at);
        return false;
    }
    // Under partial reading, whether the text from `pos` to its end is a
    // proper beginning of `word`.
    bool cut_inside(const char* word) const;

    // skip_filler always in line: for the loops between members and
    // elements (index_parser.cpp, built for AVX2).
    [[gnu::always_inline]] void skip_filler_in_line();
    enum class Separator : uint8_t { item, close, error };
    Separator read_separator(uint8_t close);
    PyRef parse_container(const Schema* schema);
    PyRef parse_object(const Schema* schema);
    PyRef parse_key();
    // The key at `pos` when it is `expected` (a key or null), found in
    // place; empty, with nothing set and `pos` unmoved, otherwise.
    PyRef parse_expected_key(PyObject* expected);
    PyRef parse_array(const Schema* schema);
    PyRef parse_keyword();
    // A plain number through read_plain_value (read_plain_near_end near the
    // end of the text), any other through parse_other_number, whose frame
    // the plain ones do not pay for.
    PyRef parse_number();
    [[gnu::noinline]] PyRef parse_other_number();
    static PyRef plain_value(const PlainValue& n) {
        return PyRef::steal(n.is_float ? PyFloat_FromDouble(n.floating)
                                       : PyLong_FromLongLong(n.integer));
    }
    // The Python value of a number that has been read: empty with no
    // exception set where the text is at fault.
    static PyRef number_value(const ParsedNumber& number);
    // Raises the error of the number read from `at`, whose message states
    // no position.
    [[gnu::cold, gnu::noinline]] PyRef number_error(const ParsedNumber& number, uint64_t at) const;
    // The Python value of a number or literal that has been read from `at`.
    PyRef scalar_value(const Scalar& scalar, uint64_t at) const;
    PyRef parse_string_fast();
    // A key, header name or string whose bytes come from the key cache, or
    // from the escape reader when they hold a backslash. `invalid_utf8` is
    // the message raised at the first content byte when the cache refuses.
    PyRef parse_quoted_key(const char* invalid_utf8);
    // The same, in line: for the readers of object keys.
    PyRef read_quoted_key(const char* invalid_utf8);
    // The rest of parse_quoted_key, given the end of the key's string.
    [[gnu::noinline]] PyRef parse_quoted_key_slowly(StringEnd end, const char* invalid_utf8);
    // `key`: a key or header name, which the end of the text never cuts
    // into a value of its own.
    PyRef parse_string_with_escapes(uint64_t start, bool key);
    // The text so far of a string the end cut, under trailing strings.
    PyRef trailing_string(std::string& text);
    bool parse_unicode_escape(uint16_t& unit);

    // The list of the values pushed since `frame` began, which it takes over.
    PyRef take_list(StackFrame& frame);

    // Grid tables and schema-mapped objects (ivy_grid.cpp).
    struct GridRead {
        uint64_t start;       // just past the grid marker
        uint64_t rows_start;  // just past the header's `;`, 0 until then
        uint64_t bracket;     // the table's `[`
        uint64_t declared;    // its `[N:` count, or kNoCount
    };
    // The count of a grid marker at `marker`, from the digits at `pos`.
    uint64_t declared_count(uint64_t marker) const;
    // Whether the digits and spaces at `pos` run to the end of the text, so
    // that partial text may yet turn them into a table's count (`[12 :`).
    [[gnu::cold, gnu::noinline]] bool count_may_follow() const;
    PyRef parse_ivy_grid_indexed(const Schema* schema, uint64_t bracket, uint64_t declared);
    // `[N]{names}:` and N rows, each on a line of its own; `brace` is the `{`.
    PyRef parse_counted_grid(const Schema* schema, uint64_t bracket, uint64_t brace);
    // The rows of a table laid out a line each, from the line break that
    // ends its header: up to the table's `]`, or with `counted` (not
    // kNoCount) exactly that many.
    PyRef read_line_rows(StackFrame& frame, const GridRead& grid, const std::vector<PyRef>& names,
                         PyObject* row_template, const Schema* schema, uint64_t counted);
    // The table's rows as a list, once its count is checked.
    PyRef finish_grid(StackFrame& frame, const GridRead& grid);
    PyRef grid_failure(const GridRead& grid);
    static PyRef grid_row_template(const std::vector<PyRef>& names);
    // With `braced`, the names of `[N]{names}`, up to the `}`.
    bool read_grid_header(std::vector<PyRef>& names, bool braced = false);
    // Where a row stands: separated by `;` or on a line of its own, its
    // number from 1, and whether it is the last row of a `[N]{names}:`
    // table inside a container, whose text goes on right after its last
    // cell.
    enum class RowLayout : uint8_t { inline_rows, lines };
    struct RowPlace {
        RowLayout layout;
        uint64_t number;
        bool last_inside;
        uint64_t table;  // the table's `[`
    };
    // How a row ended: at a consumed `;`, before the `]`, or, on a line of
    // its own, before what ended it (line break, `]`, `}`, the end of the
    // text, or the container's text after a last row inside it).
    enum class RowEnd : uint8_t { semicolon, bracket, line };
    PyRef read_grid_row(const std::vector<PyRef>& names, PyObject* row_template,
                        const Schema* schema, const RowPlace& place, RowEnd& end);
    // The padding that the text up to `pos` allows the document.
    uint64_t padding_allowed() const { return kPaddingPerByte * pos + kPaddingAllowance; }
    [[gnu::cold, gnu::noinline]] PyRef padding_exceeded(uint64_t cells, uint64_t table) const;
    // One cell, from its first byte.
    PyRef read_grid_cell(const Schema* schema, bool lines);
    PyRef read_bare_cell(bool lines);
    PyRef parse_object_schema(const Schema& fields, PyRef dict);
    bool skip_schema_key();

    // The structural index of the whole input, built on first use: only the
    // table skim reads it (strings and schema keys find their own ends).
    // Null, with MemoryError set, when it cannot be built.
    const StructuralIndex* structural_index();

    const uint8_t* input_;
    uint64_t length_;
    CollectorPause collector_pause_;
    ReaderLease lease_;
    bool index_built_ = false;
    StringCache& cache_ = lease_.cache();
    ValueStack& stack_ = lease_.scratch().stack;
    std::string& escape_buffer_ = lease_.scratch().escape_buffer;
    uint32_t depth_ = 0;  // containers open around `pos`
    // What the value about to be read may be shaped after (see ObjectDict):
    // for a list element the element before (for the first, the first of
    // the list that shapes this one), for a member of a record that follows
    // another the other's value. Set just before the value is read and
    // cleared after; the object or list that the value opens takes it, and
    // uses it only when it is a dict, or a list, itself. Borrowed: a
    // finished value of the document.
    PyObject* record_shape_ = nullptr;
    StackRoom stack_room_{lease_.stack_low_bound()};
    uint64_t short_tables_ = 0;  // tables that stopped after their counted rows, before a `]`
    uint64_t padded_cells_ = 0;
    ReadOptions options_;
    bool cut_ = false;  // partial reading met the end of the text
    struct Splice {
        uint64_t at = UINT64_MAX;  // never a container's offset until set
        uint64_t end = 0;
        PyObject* list = nullptr;  // borrowed
    } splice_;
};

}  // namespace vesk
