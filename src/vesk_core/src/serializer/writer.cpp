// The value writer: dispatch by type, scalars, dictionaries, keys, tuples,
// bytes and plain arrays, in the compact and the indented layouts.
#include "serializer/writer.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "serializer/dict_items.hpp"
#include "serializer/number_format.hpp"
#include "serializer/plain_values.hpp"
#include "serializer/text_rules.hpp"
#include "serializer/value_kind.hpp"
#include "simd/escape.hpp"
#include "simd/short_blocks.hpp"

// Reached only through dumps, after the import has checked for AVX2: the
// writer is compiled for it, so that the vector helpers inline into it.
#pragma GCC target("avx2,bmi,bmi2,popcnt")

namespace vesk {
namespace {

bool fail(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    return false;
}

constexpr char kEncodeError[] = "Failed to encode string as UTF-8";

}  // namespace

Writer::Writer(OutputText& text, const DumpOptions& options)
    : text_(text), out_(text.narrow()), options_(options) {
    // Lean tables use the delimiter alone; outside the inline layout they
    // keep the usual spacing. Each is kept as a whole block, copied in one
    // store: a call's setup makes no library call.
    struct Text {
        char bytes[sizeof delimiter_];
        size_t length;
    };
    static constexpr Text kDelimiters[] = {{", ", 2}, {"\t", 1}, {" | ", 3}};
    static constexpr Text kLeanDelimiters[] = {{",", 1}, {"\t", 1}, {"|", 1}};
    const bool lean_inline = options.lean && !options.has_indent && !options.multiline_ivy;
    const Text& delimiter =
        (lean_inline ? kLeanDelimiters : kDelimiters)[static_cast<int>(options.delimiter)];
    std::memcpy(delimiter_, delimiter.bytes, sizeof delimiter_);
    delimiter_length_ = delimiter.length;
}

bool Writer::too_deep() {
    return fail(PyExc_ValueError, "Object too deeply nested (max 256 levels)");
}

bool Writer::encode_error() { return fail(PyExc_ValueError, kEncodeError); }

bool Writer::write_value(PyObject* obj, uint64_t depth) {
    if (depth > kMaxWriteDepth) return too_deep();
    switch (classify(obj)) {
        case ValueKind::none: out_.append_literal("null"); return true;
        case ValueKind::boolean:
            if (obj == Py_True) out_.append_literal("true");
            else out_.append_literal("false");
            return true;
        case ValueKind::str: return write_str(obj);
        case ValueKind::integer:
        case ValueKind::floating: return write_number(obj);
        case ValueKind::dict: return write_dict(obj, depth);
        case ValueKind::list: return write_list_or_table(obj, depth);
        case ValueKind::tuple: return write_tuple(obj, depth);
        case ValueKind::bytes: return write_bytes(obj);
        case ValueKind::other: break;
    }
    return write_fallback(obj, depth);
}

bool Writer::write_lines(PyObject* iterator) {
    while (PyRef value = PyRef::steal(PyIter_Next(iterator))) {
        if (!write_value(value.get(), 0)) return false;
        out_.put('\n');
    }
    return !PyErr_Occurred();
}

bool Writer::append_escaped(PyObject* str) {
    const unsigned kind = PyUnicode_KIND(str);
    const void* data = PyUnicode_DATA(str);
    const auto length = static_cast<size_t>(PyUnicode_GET_LENGTH(str));
    if (kind == 1) {
        write_escaped_str(static_cast<const uint8_t*>(data), length, out_);
    } else if (!text_.add_wide(kind, [&](OutputBuffer& wide) {
                   return write_escaped_units(data, kind, length, wide);
               })) {
        return false;
    }
    // Raised only once the string is in: the result's kind must be the
    // kind of a character that it really holds.
    const Py_UCS4 max_char = PyUnicode_MAX_CHAR_VALUE(str);
    if (max_char > max_char_) max_char_ = max_char;
    return true;
}

bool Writer::append_quoted(PyObject* str) {
    // One-byte text with nothing to escape goes out in blocks, counted once
    // with its quotes: ASCII, and Latin-1, whose characters are its bytes,
    // as the narrow text holds them.
    const auto length = static_cast<size_t>(PyUnicode_GET_LENGTH(str));
    const bool compact = PyUnicode_IS_COMPACT(str);
    if (compact && PyUnicode_KIND(str) == PyUnicode_1BYTE_KIND) {
        char* const at = out_.ascii_begin(kQuotedShortRoom + length);
        if (char* const end = put_quoted_bytes(PyUnicode_1BYTE_DATA(str), length, false, 0, at)) {
            out_.ascii_end(static_cast<size_t>(end - at));
            max_char_ = std::max<Py_UCS4>(max_char_, PyUnicode_MAX_CHAR_VALUE(str));
            return true;
        }
    }
    const size_t mark = out_.size();
    // Short UCS-2 text with nothing to escape (most wide strings): one
    // block into the wide text, at its width, between quotes in the narrow.
    if (length <= 16 && compact && PyUnicode_KIND(str) == PyUnicode_2BYTE_KIND) {
        out_.put('"');
        if (text_.add_wide(2, [&](OutputBuffer& wide) {
                return append_ucs2_short(PyUnicode_2BYTE_DATA(str), length, wide);
            })) {
            out_.put('"');
            max_char_ = std::max<Py_UCS4>(max_char_, PyUnicode_MAX_CHAR_VALUE(str));
            return true;
        }
        out_.truncate(mark);
    }
    out_.put('"');
    if (!append_escaped(str)) {
        out_.truncate(mark);
        return false;
    }
    out_.put('"');
    return true;
}

void Writer::append_text(PyObject* str) {
    const auto length = static_cast<size_t>(PyUnicode_GET_LENGTH(str));
    const unsigned kind = PyUnicode_KIND(str);
    if (kind == 1) {
        out_.reserve(32);
        if (length < 32 && PyUnicode_IS_COMPACT_ASCII(str) &&
            copy_short(PyUnicode_1BYTE_DATA(str), out_.tail<uint8_t>()))
            out_.commit(length);
        else
            out_.append_bytes(static_cast<const char*>(PyUnicode_DATA(str)), length);
    } else {
        text_.add_wide(kind, [&](OutputBuffer& wide) {
            wide.append_units(PyUnicode_DATA(str), kind, length);
            return true;
        });
    }
    if (PyUnicode_MAX_CHAR_VALUE(str) > max_char_) max_char_ = PyUnicode_MAX_CHAR_VALUE(str);
}

bool Writer::write_str(PyObject* str) {
    return append_quoted(str) || encode_error();
}

bool Writer::write_number(PyObject* obj) {
    char* const begin = out_.ascii_begin(kMaxDoubleText);
    if (char* const end = put_plain_number(obj, begin)) [[likely]] {
        out_.ascii_end(static_cast<size_t>(end - begin));
        return true;
    }
    return PyLong_Check(obj) ? write_big_int(obj) : write_float_other(obj);
}

// Integers beyond one machine digit, and int subclasses: by value within the
// 64-bit ranges, through str() beyond them.
bool Writer::write_big_int(PyObject* obj) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (!overflow) {
        if (value == -1 && PyErr_Occurred()) return false;
        out_.ascii_end(format_int(value, out_.ascii_begin(kMaxIntText)));
        return true;
    }
    if (overflow > 0) {
        const unsigned long long big = PyLong_AsUnsignedLongLong(obj);
        if (!(big == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
            out_.ascii_end(format_uint(big, out_.ascii_begin(kMaxIntText)));
            return true;
        }
        PyErr_Clear();
    }
    // The decimal text from str(), which an int subclass may override,
    // appended as it is.
    PyRef digits = PyRef::steal(PyObject_Str(obj));
    if (!digits) return false;
    if (!PyUnicode_AsUTF8AndSize(digits.get(), nullptr)) return false;  // a lone surrogate
    append_text(digits.get());
    return true;
}

// Plain values run no Python code, so the items stay as they are
// meanwhile. Each batch is written through a local pointer under one
// reservation and counted once. Indented, each value starts a line of
// `line` bytes: the line feed and its indentation, stored as one block of
// spaces as newline_with does.
Py_ssize_t Writer::write_plain_run(PyObject* const* items, Py_ssize_t from, Py_ssize_t end,
                                   size_t line) {
    constexpr size_t kSlot = 1 + kLineBlock + kPlainValueRoom;
    Py_ssize_t i = from;
    while (i < end) {
        const Py_ssize_t stop = std::min(end, i + kShortNumberList);
        char* const begin = out_.ascii_begin(kShortNumberList * kSlot);
        // A long string leaves a batch's room for the values after it.
        const char* const limit = out_.ascii_limit() - kShortNumberList * kSlot;
        char* o = begin;
        for (; i < stop; ++i) {
            if (line) {
                o[0] = '\n';
                std::memset(o + 1, ' ', kLineBlock - 1);
                o += line;
            }
            // Numbers first: the longest runs are of ids and embeddings.
            char* next = put_plain_number(items[i], o);
            if (!next) next = put_plain_value(items[i], o, limit);
            if (!next) {
                o -= line;
                break;
            }
            o = next;
            *o++ = ',';
        }
        out_.ascii_end(static_cast<size_t>(o - begin));
        if (i < stop) break;
    }
    if (i > from) out_.truncate(out_.size() - 1);
    return i;
}

namespace {

// Room for one list that put_short_number_list writes: a comma, the
// brackets and the numbers, each with a comma or the closing bracket.
constexpr size_t kShortListRoom = kShortNumberList * kNumberSlot + 2;

// The text of `list` at `at`, after a comma when `comma`, and its end, when
// it is an exact list of 1 to kShortNumberList plain numbers; null for any
// other object, with what was stored not counted.
VESK_AVX2_INLINE VESK_TARGET_AVX2 inline char* put_short_number_list(PyObject* list,
                                                                       bool comma, char* at) {
    if (Py_TYPE(list) != &PyList_Type) return nullptr;
    const Py_ssize_t size = PyList_GET_SIZE(list);
    if (size == 0 || size > kShortNumberList) return nullptr;
    PyObject* const* number = reinterpret_cast<PyListObject*>(list)->ob_item;
    PyObject* const* const numbers_end = number + size;
    at[0] = ',';
    char* o = at + comma;
    *o++ = '[';
    for (; number != numbers_end; ++number) {
        o = put_plain_number(*number, o);
        if (!o) return nullptr;
        *o++ = ',';
    }
    o[-1] = ']';
    return o;
}

// A list of numbers is a chain of objects (the list, its item array, the
// numbers) that the processor, busy with the digits of the lists before
// it, reaches too late to fetch ahead on its own. Each link is asked for a
// stage before it is followed: the list three stages ahead of `items`, the
// item array of the one two stages ahead, the first and last numbers (a
// pair's both) of the one a stage ahead. Prefetches never fault; the loads
// that find the addresses read only objects that the lists hold.
constexpr Py_ssize_t kPrefetchStage = 4;
VESK_AVX2_INLINE inline void prefetch_short_number_lists(PyObject* const* items) {
    PyObject* const near = items[kPrefetchStage];
    if (Py_TYPE(near) == &PyList_Type && PyList_GET_SIZE(near) > 0) {
        PyObject* const* numbers = reinterpret_cast<PyListObject*>(near)->ob_item;
        __builtin_prefetch(numbers[0]);
        __builtin_prefetch(numbers[PyList_GET_SIZE(near) - 1]);
    }
    PyObject* const middle = items[2 * kPrefetchStage];
    if (Py_TYPE(middle) == &PyList_Type)
        __builtin_prefetch(reinterpret_cast<PyListObject*>(middle)->ob_item);
    __builtin_prefetch(items[3 * kPrefetchStage]);
}

}  // namespace

// Numbers run no Python code, so the lists and their items stay as they are
// meanwhile. Lists go out in batches under one reservation, counted once a
// batch; the one that does not qualify is left uncounted.
Py_ssize_t Writer::write_short_number_lists(PyObject* const* items, Py_ssize_t from,
                                            Py_ssize_t end) {
    constexpr size_t kBatchRoom = 4 * kShortListRoom;
    Py_ssize_t i = from;
    while (i < end) {
        char* const begin = out_.ascii_begin(kBatchRoom);
        char* const last_start = begin + (kBatchRoom - kShortListRoom);
        char* o = begin;
        for (; i < end && o <= last_start; ++i) {
            if (i + 3 * kPrefetchStage < end) prefetch_short_number_lists(items + i);
            char* const next = put_short_number_list(items[i], i > 0, o);
            if (!next) {
                out_.ascii_end(static_cast<size_t>(o - begin));
                return i;
            }
            o = next;
        }
        out_.ascii_end(static_cast<size_t>(o - begin));
    }
    return i;
}

bool Writer::write_short_number_list(PyObject* list) {
    char* const begin = out_.ascii_begin(kShortListRoom);
    char* const end = put_short_number_list(list, false, begin);
    if (!end) return false;
    out_.ascii_end(static_cast<size_t>(end - begin));
    return true;
}

bool Writer::write_float_other(PyObject* obj) {
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return fail(PyExc_ValueError, "Failed to read float value");
    }
    if (std::isnan(value)) {
        out_.append_literal("NaN");
    } else if (std::isinf(value)) {
        if (value > 0) out_.append_literal("Infinity");
        else out_.append_literal("-Infinity");
    } else {
        out_.ascii_end(format_double(value, out_.ascii_begin(kMaxDoubleText)));
    }
    return true;
}

void Writer::newline_with_many(uint64_t width, uint64_t level) {
    uint64_t spaces = 0;
    if (__builtin_mul_overflow(width, level, &spaces)) throw std::bad_alloc();
    out_.put('\n');
    out_.fill(' ', spaces);
}

// Leaf records are mostly such members: their keys and values go out
// through a local pointer, a batch of members under one reservation,
// counted once a batch, with none of the per-member checks that Python
// code run between two members makes necessary.
template <bool kBareKeys>
bool Writer::write_plain_members(PyObject* dict, Py_ssize_t* pos, Py_ssize_t& written,
                                 PyObject** pending, bool& after_str) {
    constexpr Py_ssize_t kBatch = 16;
    constexpr size_t kMemberRoom = kQuotedShortRoom + kPlainValueRoom;
    const dict_table::UnicodeEntry* entries = string_key_entries(dict);
    if (!entries) return false;
    // Locals rather than members and references, which the stores through
    // `o` would make the compiler read again for every member.
    bool comma = written > 0;
    const bool always_bare = options_.unquoted_keys;
    bool after = after_str;
    const Py_ssize_t start = *pos, used = PyDict_GET_SIZE(dict);
    Py_ssize_t i = start;
    while (i < used) {
        const Py_ssize_t stop = std::min(used, i + kBatch);
        char* const begin = out_.ascii_begin(kBatch * kMemberRoom);
        // A long string value leaves a batch's room for the members after it.
        const char* const limit = out_.ascii_limit() - kBatch * kMemberRoom;
        char* o = begin;
        for (; i < stop; ++i) {
            PyObject* const key = entries[i].key;
            if (Py_TYPE(key) != &PyUnicode_Type) break;
            char* const key_end = kBareKeys
                                      ? put_member_key(key, always_bare || !after, comma, 1, o)
                                      : put_quoted_short(key, comma, 1, o);
            if (!key_end) break;
            PyObject* const value = entries[i].value;
            char* const end = put_plain_value(value, key_end, limit);
            if (!end) {
                *pending = value;
                if constexpr (kBareKeys) after = PyUnicode_Check(value);
                ++i;
                o = key_end;
                break;
            }
            // A plain value is of an exact type: a string one is a str.
            if constexpr (kBareKeys) after = Py_TYPE(value) == &PyUnicode_Type;
            comma = true;
            o = end;
        }
        out_.ascii_end(static_cast<size_t>(o - begin));
        if (i < stop || *pending) break;
    }
    after_str = after;
    *pos = i;
    written += i - start;
    return i == used && !*pending;
}

bool Writer::write_dict(PyObject* dict, uint64_t depth) {
    const Py_ssize_t size = PyDict_GET_SIZE(dict);
    if (size == 0) {
        out_.append_literal("{}");
        return true;
    }
    if (depth + 1 > kMaxWriteDepth) return too_deep();
    if (stack_room_.low()) [[unlikely]]
        return stack_room_.grow([&] { return write_dict(dict, depth); });
    const bool pretty = options_.has_indent;
    out_.put('{');
    Py_ssize_t pos = 0, written = 0;
    PyObject *key, *value;
    // Lean text leaves a key quoted right after a string value: in the
    // tokenizers of current models `","` and `":"` are single tokens, and a
    // bare key there splits them, costing a token rather than saving one.
    bool after_str = false;
    // Compact text takes the runs of plain members at once.
    const bool runs = !pretty;
    const bool bare_keys = options_.unquoted_keys || options_.lean;
    for (;;) {
        // Python code run while writing (a conversion method, a key's
        // __str__) may change the dictionary; it is re-checked before every
        // fetch, as the interpreter's own iterators do.
        if (PyDict_GET_SIZE(dict) != size)
            return fail(PyExc_RuntimeError, "dictionary changed size during iteration");
        if (runs) {
            PyObject* pending = nullptr;
            const bool last =
                bare_keys ? write_plain_members<true>(dict, &pos, written, &pending, after_str)
                          : write_plain_members<false>(dict, &pos, written, &pending, after_str);
            if (pending) {
                if (!write_item(pending, depth + 1)) return false;
                // The last member (mostly the one nested value) ends the
                // dict, once its entries are found as they were: as many,
                // none taken out (see string_key_entries).
                if (pos < size || PyDict_GET_SIZE(dict) != size || !string_key_entries(dict))
                    continue;
                break;
            }
            if (last) break;
        }
        if (!next_item(dict, &pos, &key, &value)) break;
        if (written == size)
            return fail(PyExc_RuntimeError, "dictionary keys changed during iteration");
        const bool comma = written++ > 0;
        PyRef value_ref;  // held while a key's __str__ runs, which may drop it
        const bool bare = options_.unquoted_keys || (options_.lean && !after_str);
        const bool exact = PyUnicode_CheckExact(key);
        const bool quoted = exact && !bare;
        if (pretty) {
            if (comma) out_.put(',');
            newline_and_indent(depth + 1);
        }
        // The common member, `,"key":` (or `"key": `, or the key bare) in
        // block stores and, when it is plain, its value after it, counted
        // once: the buffer's count is read and written once a member, not
        // once a part.
        char* const begin = exact ? out_.ascii_begin(kQuotedShortRoom + kPlainValueRoom) : nullptr;
        const bool key_comma = comma && !pretty;
        const unsigned colon = pretty ? 2 : 1;
        char* const key_end = exact ? put_member_key(key, bare, key_comma, colon, begin) : nullptr;
        if (key_end) {
            char* const end = put_plain_value(value, key_end, out_.ascii_limit());
            out_.ascii_end(static_cast<size_t>((end ? end : key_end) - begin));
            after_str = PyUnicode_Check(value);
            if (end) continue;
        } else {
            if (comma && !pretty) out_.put(',');
            if (quoted) {
                if (!append_quoted(key)) return encode_error();
            } else {
                value_ref = PyRef::borrow(value);
                if (!write_key(key, bare)) return false;
            }
            if (pretty) out_.append_literal(": ");
            else out_.put(':');
            after_str = PyUnicode_Check(value);  // before Python code may drop the value
        }
        if (!write_item(value, depth + 1)) return false;
    }
    if (pretty) newline_and_indent(depth);
    out_.put('}');
    return true;
}

bool Writer::write_key(PyObject* key, bool bare) {
    const PyRef key_ref = PyRef::borrow(key);  // its __str__ may drop the dict's reference
    PyRef converted;                           // the key's str(), once taken
    PyObject* text = key;
    if (!PyUnicode_Check(key)) {
        converted = PyRef::steal(PyObject_Str(key));
        if (!converted) return false;
        text = converted.get();
    }
    for (;;) {
        if (bare && PyUnicode_IS_ASCII(text) &&
            is_bare_identifier(PyUnicode_1BYTE_DATA(text),
                               static_cast<size_t>(PyUnicode_GET_LENGTH(text)))) {
            append_text(text);
            return true;
        }
        if (append_quoted(text)) return true;
        // A lone surrogate: a str subclass may still give a writable str().
        if (converted) return encode_error();
        converted = PyRef::steal(PyObject_Str(key));
        if (!converted) return false;
        text = converted.get();
    }
}

// Lists and tuples share the layout. A list may shrink while its elements
// are written (through Python code that an element runs), so it is read by
// index only below its current length, and a separator is written only
// when another element follows.
bool Writer::write_array(PyObject* seq, uint64_t depth) {
    const Py_ssize_t size = Py_SIZE(seq);
    if (size == 0) {
        out_.append_literal("[]");
        return true;
    }
    if (depth + 1 > kMaxWriteDepth) return too_deep();
    if (stack_room_.low()) [[unlikely]]
        return stack_room_.grow([&] { return write_array(seq, depth); });
    const bool pretty = options_.has_indent;
    const bool is_list = PyList_Check(seq);
    out_.put('[');
    // Runs of plain values (the numbers of ids, coordinates and embeddings,
    // strings of tags) go out in batches; indented, only under the usual
    // indentation (see newline_with).
    const uint64_t width = options_.indent, level = depth + 1;
    const bool runs = !pretty || (width | level) < 8;
    const size_t line = pretty ? 1 + width * level : 0;
    for (Py_ssize_t i = 0; i < size; ++i) {
        if (is_list && i >= PyList_GET_SIZE(seq)) break;
        PyObject* item = is_list ? PyList_GET_ITEM(seq, i) : PyTuple_GET_ITEM(seq, i);
        // Lists of coordinate pairs and small vectors: a run of them at once.
        if (!pretty && Py_TYPE(item) == &PyList_Type && PyList_GET_SIZE(item) > 0 &&
            is_plain_number_type(Py_TYPE(PyList_GET_ITEM(item, 0))) && depth + 1 < kMaxWriteDepth) {
            const Py_ssize_t next = write_short_number_lists(
                PySequence_Fast_ITEMS(seq), i, is_list ? PyList_GET_SIZE(seq) : size);
            if (next > i) {
                i = next - 1;
                continue;
            }
        }
        if (i > 0) out_.put(',');
        // Any item but a list or dict with something in it may start a run.
        const Py_ssize_t inner = Py_TYPE(item) == &PyList_Type   ? PyList_GET_SIZE(item)
                                 : Py_TYPE(item) == &PyDict_Type ? PyDict_GET_SIZE(item)
                                                                 : 0;
        if (runs && inner == 0) {
            const Py_ssize_t next = write_plain_run(PySequence_Fast_ITEMS(seq), i,
                                                    is_list ? PyList_GET_SIZE(seq) : size, line);
            if (next > i) {
                i = next - 1;
                continue;
            }
        }
        if (pretty) newline_and_indent(depth + 1);
        if (!write_item(item, depth + 1)) return false;
    }
    if (pretty) newline_and_indent(depth);
    out_.put(']');
    return true;
}

bool Writer::write_tuple(PyObject* tuple, uint64_t depth) { return write_array(tuple, depth); }

bool Writer::write_bytes(PyObject* bytes) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes, &data, &size) < 0) {
        PyErr_Clear();
        return fail(PyExc_ValueError, "Failed to read bytes value");
    }
    static constexpr char kHex[] = "0123456789abcdef";
    const auto length = static_cast<size_t>(size);
    out_.put('"');
    size_t done = 0;
    char chunk[512];
    while (done < length) {
        const size_t n = std::min(length - done, sizeof chunk / 2);
        for (size_t i = 0; i < n; ++i) {
            const auto byte = static_cast<uint8_t>(data[done + i]);
            chunk[2 * i] = kHex[byte >> 4];
            chunk[2 * i + 1] = kHex[byte & 0xF];
        }
        out_.append_bytes(chunk, 2 * n);
        done += n;
    }
    out_.put('"');
    return true;
}

PyRef Writer::finish() const {
    PyRef text = PyRef::steal(PyUnicode_New(static_cast<Py_ssize_t>(text_.size()), max_char_));
    if (!text) return {};
    text_.copy_to(PyUnicode_DATA(text.get()), PyUnicode_KIND(text.get()));
    return text;
}

}  // namespace vesk
