#include "parser/index_parser.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "decode_error.hpp"
#include "parser/fast_number.hpp"
#include "parser/grid_skim.hpp"
#include "parser/string_cache.hpp"
#include "parser/utf8.hpp"
#include "serializer/dict_items.hpp"
#include "simd/scanner.hpp"
#include "simd/short_blocks.hpp"
#include "simd/string_scan.hpp"

namespace vesk {
namespace {

bool is_digit(uint8_t c) { return c >= '0' && c <= '9'; }

bool is_letter(uint8_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Bare keys read back what the writer leaves unquoted: `$` anywhere, `-`
// after the first byte; a digit may still begin a key.
bool is_bare_key_start(uint8_t c) { return is_letter(c) || is_digit(c) || c == '_' || c == '$'; }

bool is_bare_key_byte(uint8_t c) { return is_bare_key_start(c) || c == '-'; }

}  // namespace

// A thread's reader state, made on its first call. It is reached through a
// plain pointer, which needs no initialisation guard, so that a call pays a
// single thread-local lookup (the thread's stack bound is read through the
// address of its record); the owner, touched only when the state is made,
// frees it at thread exit.
struct ReaderThread {
    ~ReaderThread();
    StringCache cache;
    ReaderScratch scratch;
    const uintptr_t& stack_low = stack_low_bound_record();
};

namespace {

// As the writer's buffer: a plain pointer in the initial-exec model, one
// load a call; the owner frees the state at thread exit.
[[gnu::tls_model("initial-exec")]] thread_local ReaderThread* READER_THREAD = nullptr;
thread_local std::unique_ptr<ReaderThread> READER_THREAD_OWNER;

[[gnu::noinline, gnu::cold]] ReaderThread& make_reader_thread() {
    READER_THREAD_OWNER = std::make_unique<ReaderThread>();
    READER_THREAD = READER_THREAD_OWNER.get();
    return *READER_THREAD;
}

ReaderThread& reader_thread() {
    ReaderThread* thread = READER_THREAD;
    return thread ? *thread : make_reader_thread();
}

ReaderScratch* take_scratch(ReaderScratch& scratch) {
    if (scratch.in_use) return nullptr;
    scratch.in_use = true;
    return &scratch;
}

}  // namespace

ReaderThread::~ReaderThread() { READER_THREAD = nullptr; }

StringCache& thread_string_cache() { return reader_thread().cache; }

ReaderLease::ReaderLease() : ReaderLease(reader_thread()) {}

ReaderLease::ReaderLease(ReaderThread& thread)
    : cache_(thread.cache), stack_low_(&thread.stack_low), scratch_(take_scratch(thread.scratch)) {
    if (!scratch_) {
        own_ = std::make_unique<ReaderScratch>();
        scratch_ = own_.get();
    }
}

// The value parser runs only once the import has found AVX2, so it is built
// for it: the vector string and filler scans inline into it. (A pragma after
// the includes, not a compiler flag for the file: inline functions of the
// headers keep the baseline target, so no copy of them that the import runs
// can hold AVX2 instructions. The lease above keeps it too, so that the
// entry functions, built for the baseline, take it in line.)
#pragma GCC target("avx2,bmi")

inline void FastIndexParser::skip_filler_in_line() { skip_whitespace_inline(input_, length_, pos); }

// Scans with the interpreter lock released, unless `hold_lock`: the input
// is then immutable and referenced by the call, and nothing else the scan
// touches is shared. A C++ exception must not leave before the lock is
// taken back, so it is carried across.
const StructuralIndex* FastIndexParser::structural_index() {
    StructuralIndex& index = lease_.scratch().index;
    if (index_built_) return &index;
    bool out_of_memory = false;
    const bool release = !hold_lock;
    PyThreadState* state = nullptr;
    if (release) {
        collector_pause_.lift();
        state = PyEval_SaveThread();
    }
    try {
        index.reset(length_);
        scan({reinterpret_cast<const char*>(input_), length_}, index);
    } catch (const std::bad_alloc&) {
        out_of_memory = true;
    }
    if (release) {
        PyEval_RestoreThread(state);
        collector_pause_.renew();
    }
    if (out_of_memory) {
        PyErr_NoMemory();
        return nullptr;
    }
    index_built_ = true;
    return &index;
}

PyRef FastIndexParser::fail(const ParseError& error) const {
    return raise_decode_error(input_, length_, error);
}

// A cut leaves `pos` at the end of the text, so that each container around
// it finds the end where it expects its next member and closes there.
bool FastIndexParser::cut_at(uint64_t at) {
    if (!partial()) return failed(unexpected_eof(at));
    cut_ = true;
    pos = length_;
    return true;
}

bool FastIndexParser::cut_inside(const char* word) const {
    const uint64_t left = length_ - pos;
    return partial() && left < std::strlen(word) && std::memcmp(input_ + pos, word, left) == 0;
}

PyRef FastIndexParser::parse_value(const Schema* schema) {
    skip_filler();
    if (at_end()) return end_of_text(pos);
    const uint8_t c = input_[pos];
    switch (c) {
        case '"':
            return parse_string_fast();
        case '{':
        case '[':
            return parse_container(schema);
        case 'n':
        case 't':
        case 'f':
            return parse_keyword();
        case '-':
        case 'I':
        case 'N':
            return parse_number();
        default:
            return is_digit(c) ? parse_number() : fail(invalid_char(pos, c));
    }
}

// Objects and arrays count towards the nesting limit; the error points at
// the bracket that goes one level too deep.
PyRef FastIndexParser::nesting_too_deep(uint64_t bracket) const {
    return fail(
        {"Document nested too deeply (max " + std::to_string(kMaxNestingDepth) + " levels)",
         bracket});
}

PyRef FastIndexParser::parse_container(const Schema* schema) {
    if (pos == splice_.at) [[unlikely]] {  // a list read already, as its text arrived
        pos = splice_.end;
        return PyRef::borrow(splice_.list);
    }
    if (depth_ >= kMaxNestingDepth) return nesting_too_deep(pos);
    if (stack_room_.low()) [[unlikely]]
        return stack_room_.grow([&] { return parse_container(schema); });
    ++depth_;
    PyRef value = input_[pos] == '{' ? parse_object(schema) : parse_array(schema);
    --depth_;
    return value;
}

PyRef FastIndexParser::parse_keyword() {
    const uint64_t left = length_ - pos;
    const auto* p = reinterpret_cast<const char*>(input_ + pos);
    if (left >= 4 && std::memcmp(p, "null", 4) == 0) {
        pos += 4;
        return PyRef::borrow(Py_None);
    }
    if (left >= 4 && std::memcmp(p, "true", 4) == 0) {
        pos += 4;
        return PyRef::borrow(Py_True);
    }
    if (left >= 5 && std::memcmp(p, "false", 5) == 0) {
        pos += 5;
        return PyRef::borrow(Py_False);
    }
    if (cut_inside("null") || cut_inside("true") || cut_inside("false")) return end_of_text(pos);
    return fail(invalid_char(pos, input_[pos]));
}

[[gnu::always_inline]] inline PyRef FastIndexParser::parse_number() {
    // read_plain's choice, spelled out: through the helper, GCC stops
    // taking read_plain_value in line into the list loop, and a list of
    // numbers costs 5% more instructions.
    const uint8_t* const p = input_ + pos;
    const uint8_t* const end = input_ + length_;
    const PlainValue n =
        end - p >= kPlainWindow ? read_plain_value(p, end) : read_plain_near_end(p, end);
    if (n.length) {
        pos += n.length;  // more text was left: partial text cannot end in it
        return plain_value(n);
    }
    return parse_other_number();
}

PyRef FastIndexParser::parse_other_number() {
    const uint64_t start = pos;
    size_t length = 0;
    const ParsedNumber n = vesk::parse_number(input_ + pos, input_ + length_, length);
    pos += length;
    // A number that runs to the end of partial text may still grow (`1`
    // into `12`, `-Inf` into `-Infinity`), and so may one that ends in error
    // there (`1e`, `-`).
    if (pos >= length_ && partial()) [[unlikely]]
        return end_of_text(length_);
    if (n.kind == ParsedNumber::Kind::error && partial() &&
        start + number_token_length(input_ + start, input_ + length_) >= length_)
        return end_of_text(length_);
    PyRef value = number_value(n);
    if (!value && !PyErr_Occurred()) [[unlikely]]
        return number_error(n, start);
    return value;
}

// A memory shortage stays what it is; the text's own errors (a malformed
// number, an integer of more digits than the interpreter converts) are left
// to the caller, which knows where the number began.
PyRef FastIndexParser::number_value(const ParsedNumber& n) {
    switch (n.kind) {
        case ParsedNumber::Kind::signed_int: return PyRef::steal(PyLong_FromLongLong(n.i));
        case ParsedNumber::Kind::unsigned_int: return PyRef::steal(PyLong_FromUnsignedLongLong(n.u));
        case ParsedNumber::Kind::big_int: {
            // PyLong_FromString wants a terminated text; only 20+ digit
            // integers pay for this copy.
            std::string text(n.negative ? "-" : "");
            text.append(n.digits);
            PyRef value = PyRef::steal(PyLong_FromString(text.c_str(), nullptr, 10));
            if (!value && !PyErr_ExceptionMatches(PyExc_MemoryError)) PyErr_Clear();
            return value;
        }
        case ParsedNumber::Kind::floating: return PyRef::steal(PyFloat_FromDouble(n.d));
        case ParsedNumber::Kind::error: break;
    }
    return {};
}

PyRef FastIndexParser::number_error(const ParsedNumber& n, uint64_t at) const {
    return fail({n.kind == ParsedNumber::Kind::error ? n.error : "Failed to create large integer", at,
                 false});
}

PyRef FastIndexParser::scalar_value(const Scalar& scalar, uint64_t at) const {
    switch (scalar.kind) {
        case Scalar::Kind::true_literal: return PyRef::borrow(Py_True);
        case Scalar::Kind::false_literal: return PyRef::borrow(Py_False);
        case Scalar::Kind::number: {
            PyRef value = number_value(scalar.number);
            if (!value && !PyErr_Occurred()) return number_error(scalar.number, at);
            return value;
        }
        case Scalar::Kind::null:
        case Scalar::Kind::none: break;  // callers pass only what they have read
    }
    return PyRef::borrow(Py_None);
}

PyRef FastIndexParser::parse_string_fast() {
    const uint64_t open = pos;
    const StringEnd end = find_string_end_avx2(input_, length_, open + 1);
    const bool trails = options_.partial == ReadOptions::Partial::trailing_strings;
    if (end.close >= length_ && !trails) return end_of_text(open);
    // The quote taken as the end may be an escaped one; the escape reader
    // then finds the real end.
    if (end.backslash) return parse_string_with_escapes(open + 1, false);
    if (end.close >= length_) {
        std::string& text = escape_buffer_;
        text.assign(reinterpret_cast<const char*>(input_ + open + 1), length_ - open - 1);
        return trailing_string(text);
    }
    pos = end.close + 1;
    const uint8_t* content = input_ + open + 1;
    PyRef str = make_str(reinterpret_cast<const char*>(content), end.close - open - 1, end.ascii);
    if (!str) {
        PyErr_Clear();
        return fail({"Invalid UTF-8 in string", open});
    }
    return str;
}

// Under trailing strings, the text so far of a string the end of the text
// cut: a UTF-8 sequence the cut split is dropped from its end (an escape the
// cut split never reached `text`). Invalid UTF-8 before that is refused
// with the error the unfinished string gives without partial reading.
PyRef FastIndexParser::trailing_string(std::string& text) {
    cut_ = true;
    pos = length_;
    size_t keep = text.size();
    for (size_t back = 1; back <= 3 && back <= text.size(); ++back) {
        const auto c = static_cast<uint8_t>(text[text.size() - back]);
        if (c < 0x80) break;
        if (c >= 0xC0) {  // a lead byte: drop its sequence if the cut split it
            const size_t needs = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
            if (back < needs) keep = text.size() - back;
            break;
        }
    }
    PyRef str = make_str(text.data(), keep, false);
    if (str) return str;
    PyErr_Clear();
    cut_ = false;
    return fail(unexpected_eof(length_));
}

PyRef FastIndexParser::parse_string_with_escapes(uint64_t start, bool key) {
    pos = start;
    std::string& out = escape_buffer_;
    out.clear();
    // The end of the text inside the string, `open` being where the string
    // would be reported: its text so far under trailing strings, else left out.
    auto cut_short = [&](uint64_t at) {
        if (key || options_.partial != ReadOptions::Partial::trailing_strings)
            return end_of_text(at);
        return trailing_string(out);
    };
    for (;;) {
        // Copy the run of plain bytes up to the next quote, backslash or
        // control byte in one go.
        const uint64_t run = pos;
        pos = find_escape_stop_avx2(input_, length_, pos);
        out.append(reinterpret_cast<const char*>(input_ + run), pos - run);
        if (at_end()) return cut_short(pos);
        const uint8_t c = input_[pos];
        if (c == '"') break;
        if (c < 0x20)
            return fail({"Unescaped control character at position " + std::to_string(pos), pos});
        // Backslash.
        if (pos + 1 >= length_) return cut_short(pos + 1);
        const uint64_t backslash = pos;
        const uint8_t e = input_[pos + 1];
        pos += 2;
        switch (e) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                uint16_t unit = 0;
                if (!parse_unicode_escape(unit)) return cut_ ? cut_short(pos) : PyRef{};
                uint32_t cp = unit;
                if (unit >= 0xDC00 && unit <= 0xDFFF) return fail(invalid_unicode(backslash));
                if (unit >= 0xD800 && unit <= 0xDBFF) {
                    // A high surrogate whose low half the cut may still bring.
                    const uint64_t left = length_ - pos;
                    if (partial() && left < 6 &&
                        std::memcmp(input_ + pos, "\\u", std::min<uint64_t>(left, 2)) == 0)
                        return cut_short(length_);
                    if (pos + 1 >= length_ || input_[pos] != '\\' || input_[pos + 1] != 'u')
                        return fail(invalid_unicode(backslash));
                    pos += 2;
                    uint16_t low = 0;
                    if (!parse_unicode_escape(low)) return cut_ ? cut_short(pos) : PyRef{};
                    if (low < 0xDC00 || low > 0xDFFF) return fail(invalid_unicode(backslash));
                    cp = 0x10000 + ((static_cast<uint32_t>(unit) - 0xD800) << 10) + (low - 0xDC00);
                }
                append_utf8(out, cp);
                break;
            }
            default:
                return fail(invalid_escape(backslash + 1, e));
        }
    }
    ++pos;  // past the closing quote; cursors catch up lazily
    PyRef str = make_str(out.data(), out.size(), false);
    if (str) return str;
    PyErr_Clear();
    return fail({"Invalid UTF-8 in string", start - 1, false});
}

bool FastIndexParser::parse_unicode_escape(uint16_t& unit) {
    unit = 0;
    for (int i = 0; i < 4; ++i) {
        if (at_end()) return ended(pos);
        const uint8_t c = input_[pos];
        uint16_t digit;
        if (c >= '0' && c <= '9') digit = static_cast<uint16_t>(c - '0');
        else if (c >= 'a' && c <= 'f') digit = static_cast<uint16_t>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F') digit = static_cast<uint16_t>(c - 'A' + 10);
        else {
            fail(invalid_unicode(pos));
            return false;
        }
        unit = static_cast<uint16_t>(unit << 4 | digit);
        ++pos;
    }
    return true;
}

// Most keys are short, clean and met before: those take the key cache's
// memo, in line in each reader of keys; the rest go out of line.
[[gnu::always_inline]] inline PyRef FastIndexParser::read_quoted_key(const char* invalid_utf8) {
    const uint64_t open = pos;
    const StringEnd end = find_string_end_avx2(input_, length_, open + 1);
    const auto* content = reinterpret_cast<const char*>(input_ + open + 1);
    const size_t length = end.close - open - 1;
    if (end.close < length_ && !end.backslash && length <= kMaxCachedKeyLength) {
        if (PyObject* key = cache_.find_remembered(content, length)) {
            pos = end.close + 1;
            return PyRef::borrow(key);
        }
    }
    return parse_quoted_key_slowly(end, invalid_utf8);
}

PyRef FastIndexParser::parse_quoted_key(const char* invalid_utf8) {
    return read_quoted_key(invalid_utf8);
}

PyRef FastIndexParser::parse_quoted_key_slowly(StringEnd end, const char* invalid_utf8) {
    const uint64_t open = pos;
    if (end.close >= length_) return end_of_text(open);
    if (end.backslash) return parse_string_with_escapes(open + 1, true);  // not cached
    pos = end.close + 1;
    const auto* content = reinterpret_cast<const char*>(input_ + open + 1);
    const size_t length = end.close - open - 1;
    PyRef key;
    if (length <= kMaxCachedKeyLength) {
        uint64_t hash = 0;
        key = cache_.find(content, length, hash);
        if (!key) key = cache_.insert(content, length, hash);
    } else {
        key = make_str(content, length, end.ascii);
    }
    if (key) return key;
    PyErr_Clear();
    return fail({invalid_utf8, open + 1});
}

// A record that follows its shape mostly has the shape's keys, which are
// short and clean: one found in place needs neither the scan for the
// string's end nor the key cache.
PyRef FastIndexParser::parse_expected_key(PyObject* expected) {
    if (!expected || !PyUnicode_IS_COMPACT_ASCII(expected) || pos + 33 > length_ ||
        input_[pos] != '"')
        return {};
    const auto length = static_cast<size_t>(PyUnicode_GET_LENGTH(expected));
    const auto* text = reinterpret_cast<const uint8_t*>(reinterpret_cast<PyASCIIObject*>(expected) + 1);
    if (length >= 32 || !quoted_text_at(input_ + pos + 1, text, length)) return {};
    pos += length + 2;
    return PyRef::borrow(expected);
}

PyRef FastIndexParser::parse_key() {
    const uint8_t c = input_[pos];
    if (c == '"') return read_quoted_key("Invalid UTF-8 in key");
    if (!is_bare_key_start(c)) return fail(invalid_char(pos, c));
    const uint64_t start = pos;
    while (pos < length_ && is_bare_key_byte(input_[pos])) ++pos;
    if (at_end()) return end_of_text(pos);  // the key may go on
    // Bare keys are ASCII, so the cache always yields a string.
    return intern_key(cache_, reinterpret_cast<const char*>(input_ + start), pos - start);
}

// After a member or element: `,` (consumed) or the closing byte (left for
// the caller). A `,` directly before the closing byte is a trailing comma
// and closes too.
FastIndexParser::Separator FastIndexParser::read_separator(uint8_t close) {
    skip_filler_in_line();
    if (at_end()) {
        end_of_text(pos);
        return Separator::error;
    }
    const uint8_t c = input_[pos];
    if (c == close) return Separator::close;
    if (c != ',') {
        fail(invalid_char(pos, c));
        return Separator::error;
    }
    ++pos;
    skip_filler_in_line();
    return !at_end() && input_[pos] == close ? Separator::close : Separator::item;
}

namespace {

// The dict of an object while its members are read: grown key by key, as
// json.loads grows it, so that it keeps the string-key table (a presized
// one above five entries gets the general table, larger and slower to look
// up); a repeated key replaces the earlier value and keeps the earlier
// place.
//
// An object in a list of records mostly has the keys of the record before
// it (its shape, see FastIndexParser::record_shape_), in the same order.
// While its members follow them, the dict is a copy of that record's
// table, whose values it replaces in place: one block copy instead of a
// table grown key by key, and of the size that growing gives, since the
// table it copies grew so. At the first member that strays, or an early
// end, the dict is made afresh, key by key, from the members read so far.
class ObjectDict {
public:
    explicit ObjectDict(PyObject* shape)
        : shape_(shape),
          entries_(shape && PyDict_CheckExact(shape) ? string_key_entries(shape) : nullptr),
          size_(entries_ ? PyDict_GET_SIZE(shape) : 0) {}

    // The key that the next member has when it follows the shape, or null.
    PyObject* next_key() const { return entries_ && followed_ < size_ ? entries_[followed_].key : nullptr; }

    // The shape's value for the member `key` when the member follows the
    // shape: a record in it may shape the member's value. Null otherwise.
    PyObject* follow(PyObject* key) const {
        return entries_ && followed_ < size_ && entries_[followed_].key == key
                   ? entries_[followed_].value
                   : nullptr;
    }

    // False with the error set.
    bool add(PyRef key, PyRef value) {
        if (entries_) {
            if (followed_ < size_ && entries_[followed_].key == key.get()) {
                if (!copied_ && !copy()) return false;
                holds_container_ = holds_container_ || PyType_IS_GC(Py_TYPE(value.get()));
                Py_SETREF(copied_[followed_].value, value.release());
                ++followed_;
                return true;
            }
            if (!leave()) return false;
        }
        if (!dict_ && !(dict_ = PyRef::steal(PyDict_New()))) return created(false);
        if (set_item_taking(dict_.get(), key.release(), value.release()) < 0)
            return static_cast<bool>(replace_error(PyExc_RuntimeError, "Dict insertion failed"));
        return true;
    }

    // The dict of the members added, or empty with the error set.
    [[gnu::always_inline]] PyRef finish() {
        if (entries_ && !leave()) return {};
        if (!dict_ && !(dict_ = PyRef::steal(PyDict_New()))) created(false);
        return std::move(dict_);
    }

private:
    static bool created(bool ok) {
        return ok || replace_error(PyExc_MemoryError, "Failed to create dict");
    }
    [[gnu::noinline]] bool copy();
    // Stops following the shape (see leave() in the .cpp).
    [[gnu::noinline]] bool leave();

    PyObject* shape_;
    const dict_table::UnicodeEntry* entries_;  // the shape's, while members follow it
    Py_ssize_t size_;
    PyRef dict_;
    dict_table::UnicodeEntry* copied_ = nullptr;  // dict_'s entries while it is the copy
    Py_ssize_t followed_ = 0;                     // members that followed the shape
    bool holds_container_ = false;                // a list or a dict among their values
};

bool ObjectDict::copy() {
    dict_ = PyRef::steal(PyDict_Copy(shape_));
    if (dict_) copied_ = string_key_entries(dict_.get());
    return created(copied_ != nullptr);
}

// A copy that holds all the shape's members stays, tracked by the
// collector as a dict grown key by key would be (when it holds a list or a
// dict), whatever its shape was; more members then go in key by key. One
// that holds fewer is made afresh, key by key, from them.
bool ObjectDict::leave() {
    entries_ = nullptr;
    if (!std::exchange(copied_, nullptr)) return true;
    if (followed_ == size_) {
        if (holds_container_ != static_cast<bool>(PyObject_GC_IsTracked(dict_.get()))) {
            if (holds_container_) PyObject_GC_Track(dict_.get());
            else PyObject_GC_UnTrack(dict_.get());
        }
        return true;
    }
    PyRef fresh = PyRef::steal(PyDict_New());
    if (!fresh) return created(false);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    for (Py_ssize_t i = 0; i < followed_ && next_item(dict_.get(), &pos, &key, &value); ++i)
        if (PyDict_SetItem(fresh.get(), key, value) < 0)
            return static_cast<bool>(replace_error(PyExc_RuntimeError, "Dict insertion failed"));
    dict_ = std::move(fresh);
    return true;
}

}  // namespace

PyRef FastIndexParser::parse_object(const Schema* schema) {
    PyObject* const shape = std::exchange(record_shape_, nullptr);
    // Members of a schema-mapped object, at any depth, are read without it.
    if (schema) {
        PyRef dict = PyRef::steal(PyDict_New());
        if (!dict) return replace_error(PyExc_MemoryError, "Failed to create dict");
        return parse_object_schema(*schema, std::move(dict));
    }
    ObjectDict dict(shape);
    ++pos;  // '{'
    if (pos >= length_ || input_[pos] != '"') skip_filler_in_line();  // mostly a key is next
    if (at_end()) return cut_at(pos) ? dict.finish() : PyRef{};
    // After the first member, read_separator has already skipped filler and
    // stopped on the closing brace or the next key.
    if (input_[pos] != '}') {
        // Cut short, the object keeps its finished members; one whose key
        // or value the end cut is left out.
        for (;;) {
            PyRef key = parse_expected_key(dict.next_key());
            if (!key)
                key = input_[pos] == '"' ? read_quoted_key("Invalid UTF-8 in key") : parse_key();
            if (!key) return cut_ ? dict.finish() : PyRef{};
            // Only filler may stand between a key and its colon, and
            // mostly nothing does.
            if (pos >= length_ || input_[pos] != ':') {
                skip_filler();
                if (at_end()) return cut_at(pos) ? dict.finish() : PyRef{};
                if (input_[pos] != ':') return fail(invalid_char(pos, input_[pos]));
            }
            ++pos;
            // A string or a number right after the colon, or after the one
            // space of `": "` in indented text, goes straight to its reader;
            // a record in any other value may be shaped after the one that
            // the shape's member holds.
            if (pos < length_ && input_[pos] == ' ') ++pos;
            const uint8_t c = pos < length_ ? input_[pos] : 0;
            PyRef value;
            if (c == '"') {
                value = parse_string_fast();
            } else if (c == '-' || is_digit(c)) {
                value = parse_number();
            } else {
                record_shape_ = dict.follow(key.get());
                value = parse_element(nullptr);
                record_shape_ = nullptr;
            }
            if (!value) return cut_ ? dict.finish() : PyRef{};
            if (!dict.add(std::move(key), std::move(value))) return {};
            // The usual `,` before the next quoted key, compact or on a
            // line of its own, or `}`, without the call; anything else after
            // a comma (a bare key, a trailing comma, the end) is read again
            // by read_separator.
            if (pos < length_ && input_[pos] == ',') {
                const uint64_t comma = pos++;
                skip_filler_in_line();
                if (pos < length_ && input_[pos] == '"') continue;
                pos = comma;
            }
            if (pos < length_ && input_[pos] == '}') break;
            const Separator next = read_separator('}');
            if (next == Separator::error) return cut_ ? dict.finish() : PyRef{};
            if (next == Separator::close) break;
            if (at_end()) return cut_at(pos) ? dict.finish() : PyRef{};
        }
    }
    ++pos;  // '}'
    return dict.finish();
}

PyRef FastIndexParser::parse_array(const Schema* schema) {
    PyObject* const shape = std::exchange(record_shape_, nullptr);
    const uint64_t bracket = pos;
    ++pos;  // '['
    StackFrame frame(stack_);
    skip_filler_in_line();
    if (at_end()) return cut_at(pos) ? take_list(frame) : PyRef{};

    // `[:`, `[digits spaces:` and `[digits]{` open a grid table.
    const uint8_t first = input_[pos];
    if (first == ':' || is_digit(first)) {
        const uint64_t marker = grid_marker_at(input_, length_, pos);
        if (marker < length_) {
            const uint64_t declared = declared_count(marker);
            pos = marker;
            return parse_ivy_grid_indexed(schema, bracket, declared);
        }
        const uint64_t brace = counted_marker_at(input_, length_, pos);
        if (brace < length_) return parse_counted_grid(schema, bracket, brace);
        // Nothing is read from `[12` until it can no longer become a
        // count. (`[12]` at the end of partial text is the list it reads
        // as, though a `{` next would make it a counted table's count.)
        if (partial() && count_may_follow()) return cut_at(length_) ? take_list(frame) : PyRef{};
    }

    if (first != ']') {
        // Cut short, the list keeps its finished elements and a container
        // or string the end left open.
        // The record an element may be shaped after: the element before, or
        // for the first, the first of the list that this one's shape holds.
        PyObject* previous =
            shape && PyList_CheckExact(shape) && PyList_GET_SIZE(shape) ? PyList_GET_ITEM(shape, 0)
                                                                        : nullptr;
        for (;;) {
            record_shape_ = previous;
            // A string or a number, what lists mostly hold, without the
            // dispatch's frame and its filler skip.
            const uint8_t c = pos < length_ ? input_[pos] : 0;
            PyRef item = c == '"'                  ? parse_string_fast()
                         : c == '-' || is_digit(c) ? parse_number()
                                                   : parse_element(schema);
            record_shape_ = nullptr;
            if (!item) return cut_ ? take_list(frame) : PyRef{};
            previous = item.get();
            stack_.push(std::move(item));
            // The usual `,` before the next element, or `]`, without the
            // call; anything else after a comma (a trailing comma, the end)
            // is read again by read_separator.
            if (pos < length_ && input_[pos] == ',') {
                const uint64_t comma = pos++;
                skip_filler_in_line();
                if (pos < length_ && input_[pos] != ']') continue;
                pos = comma;
            }
            if (pos < length_ && input_[pos] == ']') break;
            const Separator next = read_separator(']');
            if (next == Separator::error) return cut_ ? take_list(frame) : PyRef{};
            if (next == Separator::close) break;
        }
    }
    ++pos;  // ']'
    return take_list(frame);
}

PyRef FastIndexParser::parse_lines(const Schema* schema) {
    StackFrame frame(stack_);
    skip_filler();
    // Cut short, the list keeps its finished values and a container or
    // string the end left open, as an array does.
    while (!at_end()) {
        PyRef item = parse_value(schema);
        if (!item) return cut_ ? take_list(frame) : PyRef{};
        stack_.push(std::move(item));
        const uint64_t value_end = pos;
        skip_filler();
        if (!at_end() && !std::memchr(input_ + value_end, '\n', pos - value_end))
            return fail({"Trailing content after value on its line", pos});
    }
    return take_list(frame);
}

bool FastIndexParser::count_may_follow() const {
    uint64_t p = pos;
    while (p < length_ && is_digit(input_[p])) ++p;
    while (p < length_ && input_[p] == ' ') ++p;
    return p >= length_;
}

uint64_t FastIndexParser::declared_count(uint64_t marker) const {
    if (input_[pos] == ':') return kNoCount;
    uint64_t declared = 0;  // saturates below kNoCount
    for (uint64_t d = pos; d < marker && is_digit(input_[d]); ++d)
        declared =
            declared > (kNoCount - 10) / 10 ? kNoCount - 1 : declared * 10 + (input_[d] - '0');
    return declared;
}

PyRef FastIndexParser::take_list(StackFrame& frame) {
    PyRef list = PyRef::steal(PyList_New(frame.count()));
    if (!list) return replace_error(PyExc_MemoryError, "Failed to create list");
    PyObject* const* items = stack_.from(frame.mark());
    for (Py_ssize_t i = 0; i < frame.count(); ++i)
        PyList_SET_ITEM(list.get(), i, items[i]);  // stealing the stack's reference
    stack_.forget_from(frame.mark());
    return list;
}

}  // namespace vesk
