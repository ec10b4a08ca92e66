#include "parser/index_parser.hpp"

#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "parser/fast_number.hpp"
#include "parser/grid_skim.hpp"
#include "parser/string_cache.hpp"
#include "parser/utf8.hpp"
#include "simd/scanner.hpp"
#include "simd/string_scan.hpp"


// The value parser runs only once the import has found AVX2, so it is built
// for it: the vector string and filler scans inline into it. (A pragma after
// the includes, not a compiler flag for the file: inline functions of the
// headers keep the baseline target, so no copy of them that the import runs
// can hold AVX2 instructions.)
#pragma GCC target("avx2,bmi")

namespace vesk {
namespace {

bool is_digit(uint8_t c) { return c >= '0' && c <= '9'; }

bool is_letter(uint8_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Bare keys read back what the writer leaves unquoted: `$` anywhere, `-`
// after the first byte; a digit may still begin a key.
bool is_bare_key_start(uint8_t c) { return is_letter(c) || is_digit(c) || c == '_' || c == '$'; }

bool is_bare_key_byte(uint8_t c) { return is_bare_key_start(c) || c == '-'; }

}  // namespace

namespace {

// Index memory a thread keeps from one call to the next, at most.
constexpr size_t kKeptIndexBytes = size_t{64} << 20;

thread_local StructuralIndex SPARE_INDEX;

}  // namespace

IndexLease::IndexLease() : index_(std::exchange(SPARE_INDEX, StructuralIndex())) {}

IndexLease::~IndexLease() {
    if (index_.capacity_bytes() <= kKeptIndexBytes) SPARE_INDEX = std::move(index_);
}

// Scans with the interpreter lock released: the input is immutable and
// referenced by the call, and nothing else the scan touches is shared. A
// C++ exception must not leave before the lock is taken back, so it is
// carried across.
const StructuralIndex* FastIndexParser::structural_index() {
    StructuralIndex& index = index_lease_.index();
    if (index_built_) return &index;
    bool out_of_memory = false;
    PyThreadState* state = PyEval_SaveThread();
    try {
        index.reset(length_);
        scan({reinterpret_cast<const char*>(input_), length_}, index);
    } catch (const std::bad_alloc&) {
        out_of_memory = true;
    }
    PyEval_RestoreThread(state);
    if (out_of_memory) {
        PyErr_NoMemory();
        return nullptr;
    }
    index_built_ = true;
    return &index;
}

PyRef FastIndexParser::fail(const ParseError& error) {
    const std::string text = error.text();
    // Through a str object: the message may hold a NUL from an invalid byte.
    PyRef message = PyRef::steal(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (message) PyErr_SetObject(PyExc_ValueError, message.get());
    return {};
}

PyRef FastIndexParser::parse_value(const Schema* schema) {
    skip_filler();
    if (at_end()) return fail(unexpected_eof(pos));
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
PyRef FastIndexParser::nesting_too_deep(uint64_t bracket) {
    return fail(
        {"Document nested too deeply (max " + std::to_string(kMaxNestingDepth) + " levels)",
         bracket});
}

PyRef FastIndexParser::parse_container(const Schema* schema) {
    if (depth_ >= kMaxNestingDepth) return nesting_too_deep(pos);
    ++depth_;
    PyRef value = stack_room_.ensure(
        [&] { return input_[pos] == '{' ? parse_object(schema) : parse_array(schema); });
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
    return fail(invalid_char(pos, input_[pos]));
}

PyRef FastIndexParser::parse_number() {
    size_t length = 0;
    const ParsedNumber n = vesk::parse_number(input_ + pos, input_ + length_, length);
    pos += length;
    PyRef value;
    switch (n.kind) {
        case ParsedNumber::Kind::signed_int:
            value = PyRef::steal(PyLong_FromLongLong(n.i));
            return value ? std::move(value) : replace_error(PyExc_ValueError, "Failed to create integer");
        case ParsedNumber::Kind::unsigned_int:
            value = PyRef::steal(PyLong_FromUnsignedLongLong(n.u));
            return value ? std::move(value) : replace_error(PyExc_ValueError, "Failed to create integer");
        case ParsedNumber::Kind::big_int: {
            // PyLong_FromString wants a terminated text; only 20+ digit
            // integers pay for this copy.
            std::string text(n.negative ? "-" : "");
            text.append(n.digits);
            value = PyRef::steal(PyLong_FromString(text.c_str(), nullptr, 10));
            return value ? std::move(value)
                         : replace_error(PyExc_ValueError, "Failed to create large integer");
        }
        case ParsedNumber::Kind::floating:
            value = PyRef::steal(PyFloat_FromDouble(n.d));
            return value ? std::move(value) : replace_error(PyExc_ValueError, "Failed to create float");
        case ParsedNumber::Kind::error:
            break;
    }
    return raise_error(PyExc_ValueError, n.error);
}

PyRef FastIndexParser::parse_string_fast() {
    const uint64_t open = pos;
    const StringEnd end = find_string_end_avx2(input_, length_, open + 1);
    if (end.close >= length_) return fail(unexpected_eof(open));
    // The quote taken as the end may be an escaped one; the escape reader
    // then finds the real end.
    if (end.backslash) return parse_string_with_escapes(open + 1);
    pos = end.close + 1;
    const uint8_t* content = input_ + open + 1;
    PyRef str = make_str(reinterpret_cast<const char*>(content), end.close - open - 1, end.ascii);
    if (!str) {
        PyErr_Clear();
        return fail({"Invalid UTF-8 in string", open});
    }
    return str;
}

PyRef FastIndexParser::parse_string_with_escapes(uint64_t start) {
    pos = start;
    std::string& out = escape_buffer_;
    out.clear();
    for (;;) {
        // Copy the run of plain bytes up to the next quote, backslash or
        // control byte in one go.
        const uint64_t run = pos;
        pos = find_escape_stop_avx2(input_, length_, pos);
        out.append(reinterpret_cast<const char*>(input_ + run), pos - run);
        if (at_end()) return fail(unexpected_eof(pos));
        const uint8_t c = input_[pos];
        if (c == '"') break;
        if (c < 0x20)
            return fail({"Unescaped control character at position " + std::to_string(pos), pos});
        // Backslash.
        if (pos + 1 >= length_) return fail(unexpected_eof(pos + 1));
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
                if (!parse_unicode_escape(unit)) return {};
                uint32_t cp = unit;
                if (unit >= 0xDC00 && unit <= 0xDFFF) return fail(invalid_unicode(backslash));
                if (unit >= 0xD800 && unit <= 0xDBFF) {
                    if (pos + 1 >= length_ || input_[pos] != '\\' || input_[pos + 1] != 'u')
                        return fail(invalid_unicode(backslash));
                    pos += 2;
                    uint16_t low = 0;
                    if (!parse_unicode_escape(low)) return {};
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
    if (!str) return replace_error(PyExc_ValueError, "Invalid UTF-8 in string");
    return str;
}

bool FastIndexParser::parse_unicode_escape(uint16_t& unit) {
    unit = 0;
    for (int i = 0; i < 4; ++i) {
        if (at_end()) {
            fail(unexpected_eof(pos));
            return false;
        }
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

PyRef FastIndexParser::parse_quoted_key(const char* invalid_utf8) {
    const uint64_t open = pos;
    const StringEnd end = find_string_end_avx2(input_, length_, open + 1);
    if (end.close >= length_) return fail(unexpected_eof(open));
    if (end.backslash) return parse_string_with_escapes(open + 1);  // not cached
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

PyRef FastIndexParser::parse_key() {
    const uint8_t c = input_[pos];
    if (c == '"') return parse_quoted_key("Invalid UTF-8 in key");
    if (!is_bare_key_start(c)) return fail(invalid_char(pos, c));
    const uint64_t start = pos;
    while (pos < length_ && is_bare_key_byte(input_[pos])) ++pos;
    // Bare keys are ASCII, so the cache always yields a string.
    return intern_key(cache_, reinterpret_cast<const char*>(input_ + start), pos - start);
}

// After a member or element: `,` (consumed) or the closing byte (left for
// the caller). A `,` directly before the closing byte is a trailing comma
// and closes too.
FastIndexParser::Separator FastIndexParser::read_separator(uint8_t close) {
    skip_filler();
    if (at_end()) {
        fail(unexpected_eof(pos));
        return Separator::error;
    }
    const uint8_t c = input_[pos];
    if (c == close) return Separator::close;
    if (c != ',') {
        fail(invalid_char(pos, c));
        return Separator::error;
    }
    ++pos;
    skip_filler();
    return !at_end() && input_[pos] == close ? Separator::close : Separator::item;
}

PyRef FastIndexParser::parse_object(const Schema* schema) {
    // Members of a schema-mapped object, at any depth, are read without it.
    if (schema) {
        PyRef dict = PyRef::steal(PyDict_New());
        if (!dict) return replace_error(PyExc_MemoryError, "Failed to create dict");
        return parse_object_schema(*schema, std::move(dict));
    }
    // Each member goes straight in, as json.loads puts it: a dict grown key
    // by key keeps the string-key table (a presized one above five entries
    // gets the general table, larger and slower to look up). A repeated key
    // replaces the earlier value and keeps the earlier place.
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return replace_error(PyExc_MemoryError, "Failed to create dict");
    ++pos;  // '{'
    skip_filler();
    if (at_end()) return fail(unexpected_eof(pos));
    // After the first member, read_separator has already skipped filler and
    // stopped on the closing brace or the next key.
    if (input_[pos] != '}') {
        for (;;) {
            PyRef key = parse_key();
            if (!key) return {};
            // Only filler may stand between a key and its colon.
            skip_filler();
            if (at_end()) return fail(unexpected_eof(pos));
            if (input_[pos] != ':') return fail(invalid_char(pos, input_[pos]));
            ++pos;
            PyRef value = parse_value(nullptr);
            if (!value) return {};
            if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0)
                return replace_error(PyExc_RuntimeError, "Dict insertion failed");
            const Separator next = read_separator('}');
            if (next == Separator::error) return {};
            if (next == Separator::close) break;
            if (at_end()) return fail(unexpected_eof(pos));
        }
    }
    ++pos;  // '}'
    return dict;
}

PyRef FastIndexParser::parse_array(const Schema* schema) {
    ++pos;  // '['
    skip_filler();
    if (at_end()) return fail(unexpected_eof(pos));

    // `[:` and `[digits spaces:` open a grid table.
    const uint8_t first = input_[pos];
    if (first == ':' || is_digit(first)) {
        const uint64_t marker = grid_marker_at(input_, length_, pos);
        if (marker < length_) {
            pos = marker;
            return parse_ivy_grid_indexed(schema);
        }
    }

    StackFrame frame(stack_);
    if (first != ']') {
        for (;;) {
            PyRef item = parse_value(schema);
            if (!item) return {};
            stack_.push(std::move(item));
            const Separator next = read_separator(']');
            if (next == Separator::error) return {};
            if (next == Separator::close) break;
        }
    }
    ++pos;  // ']'
    return take_list(frame);
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
