// Plain values: the texts that the writer lays down at a pointer, under a
// reservation made for several parts at once (a member's key and value, a
// cell's delimiter and value), with no Python code and no escapes.
//
// Writing several parts under one reservation and counting them once
// matters: the buffer's count lives in memory, and every part counted on
// its own chains the next part to the last through a store and a load.
#pragma once

#include "py_ref.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "serializer/number_format.hpp"
#include "serializer/text_rules.hpp"
#include "simd/short_blocks.hpp"
#include "types/output_buffer.hpp"

namespace vesk {

// Room that put_quoted_short needs: a comma, two quotes, ": " and the
// blocks of a text under 64 bytes, which store up to 64.
constexpr size_t kQuotedShortRoom = 69;
// Room that put_plain_value needs.
constexpr size_t kPlainValueRoom = std::max(kQuotedShortRoom, kMaxDoubleText);

// Room for one plain number and the comma after it.
constexpr size_t kNumberSlot = std::max(kMaxIntText, kMaxDoubleText) + 1;

// The text of an int of two digits, below 2^60 in magnitude (ids,
// nanosecond times), read from the digits as its header lays them out, at
// `o` and the end of it; null for an int of more digits. Out of line:
// inlined, it costs the loops over floats that inline put_plain_number.
[[gnu::noinline]] inline char* put_two_digit_int(const PyLongObject* number, char* o) {
    const uintptr_t tag = number->long_value.lv_tag;
    if (PyLong_SHIFT != 30 || tag >> _PyLong_NON_SIZE_BITS != 2) return nullptr;
    const auto magnitude = static_cast<int64_t>(
        number->long_value.ob_digit[0] | uint64_t{number->long_value.ob_digit[1]} << 30);
    return o + format_int((tag & _PyLong_SIGN_MASK) == 2 ? -magnitude : magnitude, o);
}

// The text of `item` at `o` and the end of it, when `item` is a number that
// needs neither a Python call nor a special form: an exact int of one or
// two digits, or an exact finite float. Null for anything else,
// with nothing written that counts.
VESK_AVX2_INLINE VESK_TARGET_AVX2 inline char* put_plain_number(PyObject* item, char* o) {
    if (Py_TYPE(item) == &PyLong_Type) {
        auto* number = reinterpret_cast<PyLongObject*>(item);
        if (PyUnstable_Long_IsCompact(number))
            return o + format_int(PyUnstable_Long_CompactValue(number), o);
        return put_two_digit_int(number, o);
    }
    if (Py_TYPE(item) != &PyFloat_Type) return nullptr;
    const double value = PyFloat_AS_DOUBLE(item);
    // Finite: exponent bits not all ones, tested as format_double takes
    // them apart, which shares the work where it is inlined.
    if ((std::bit_cast<uint64_t>(value) >> 52 & 0x7FF) == 0x7FF) return nullptr;
    return o + format_double(value, o);
}

// One-byte texts with nothing to escape (most keys and values) in blocks
// at `at` (see copy_clean), quotes around, after a `,` when `comma` and
// before the first `colon` bytes of ": " (none, the colon, or both); the
// end of the text, or null, with nothing of the text counted, when the
// block path does not apply. `at` has room for kQuotedShortRoom bytes and
// for the text with those around it.
VESK_AVX2_INLINE VESK_TARGET_AVX2 inline char* put_quoted_bytes(const uint8_t* text,
                                                                  size_t length, bool comma,
                                                                  unsigned colon, char* at) {
    at[0] = ',';  // overwritten by the opening quote when there is no comma
    at += comma;
    if (!copy_clean(text, length, reinterpret_cast<uint8_t*>(at) + 1)) return nullptr;
    at[0] = '"';
    at[length + 1] = '"';
    at[length + 2] = ':';  // past the text when there is no colon
    at[length + 3] = ' ';
    return at + length + 2 + colon;
}

// A compact ASCII str so (see put_quoted_bytes): one under 64 characters
// always, a longer one where it fits before `limit`, the end of the room
// that the caller may store into.
VESK_AVX2_INLINE VESK_TARGET_AVX2 inline char* put_quoted_ascii(PyObject* str, bool comma,
                                                                  unsigned colon, char* at,
                                                                  const char* limit) {
    const auto length = static_cast<size_t>(PyUnicode_GET_LENGTH(str));
    if (!PyUnicode_IS_COMPACT_ASCII(str) ||
        (length >= 64 && length + kQuotedShortRoom > static_cast<size_t>(limit - at)))
        return nullptr;
    // A compact ASCII str keeps its characters right after its header.
    const auto* text = reinterpret_cast<const uint8_t*>(reinterpret_cast<PyASCIIObject*>(str) + 1);
    return put_quoted_bytes(text, length, comma, colon, at);
}

// A str under 64 ASCII characters so.
VESK_AVX2_INLINE VESK_TARGET_AVX2 inline char* put_quoted_short(PyObject* str, bool comma,
                                                                  unsigned colon, char* at) {
    return put_quoted_ascii(str, comma, colon, at, at);
}

// A UCS-2 text of at most 16 units with nothing to escape, appended to
// `wide` (2 or 4 bytes a unit) as one block; false, with nothing written,
// for any other.
VESK_AVX2_INLINE VESK_TARGET_AVX2 inline bool append_ucs2_short(const uint16_t* text,
                                                                  size_t length,
                                                                  OutputBuffer& wide) {
    __m256i block;
    if (!load_clean_ucs2(text, length, block)) return false;
    wide.reserve(16);
    if (wide.width() == 2) store_widened<uint16_t, uint16_t>(block, wide.tail<uint16_t>());
    else store_widened<uint16_t, uint32_t>(block, wide.tail<uint32_t>());
    wide.commit(length);
    return true;
}

// The vector identifier check (copy_short_if_identifier) follows the rule
// of is_bare_identifier on every byte.
static_assert([] {
    for (int c = 0; c < 256; ++c) {
        const auto byte = static_cast<uint8_t>(c);
        const uint8_t classes = kIdentifierNibbles.low[c & 15] & kIdentifierNibbles.high[c >> 4];
        if ((classes != 0) != is_identifier_part(byte) ||
            ((classes & kIdentifierStarts) != 0) != is_identifier_start(byte))
            return false;
    }
    return true;
}());

// A key of fewer than 32 ASCII characters that is a bare identifier (most
// keys), bare in one block at `at`, with the comma and colon as for
// put_quoted_short; the end of it, or null, with nothing counted, for any
// other key. `at` has room for kQuotedShortRoom bytes.
VESK_AVX2_INLINE VESK_TARGET_AVX2 inline char* put_bare_key_short(PyObject* str, bool comma,
                                                                    unsigned colon, char* at) {
    const auto length = static_cast<size_t>(PyUnicode_GET_LENGTH(str));
    if (length - 1 >= 31 || !PyUnicode_IS_COMPACT_ASCII(str)) return nullptr;
    const auto* text = reinterpret_cast<const uint8_t*>(reinterpret_cast<PyASCIIObject*>(str) + 1);
    at[0] = ',';
    at += comma;
    if (copy_short_if_identifier(text, length, reinterpret_cast<uint8_t*>(at)) != 1) return nullptr;
    at[length] = ':';
    at[length + 1] = ' ';
    return at + length + colon;
}

// A member's key as write_key writes an exact str, with the comma and colon
// as for put_quoted_short: bare when `bare` and it is an identifier, else
// quoted; the end of it, or null, with nothing counted, where neither block
// path applies.
VESK_AVX2_INLINE VESK_TARGET_AVX2 inline char* put_member_key(PyObject* key, bool bare,
                                                                bool comma, unsigned colon,
                                                                char* at) {
    if (bare) {
        if (char* const end = put_bare_key_short(key, comma, colon, at)) return end;
        if (PyUnicode_IS_ASCII(key) &&
            is_bare_identifier(PyUnicode_1BYTE_DATA(key),
                               static_cast<size_t>(PyUnicode_GET_LENGTH(key))))
            return nullptr;
    }
    return put_quoted_short(key, comma, colon, at);
}

// The text of `value` at `at` and its end, for the values that need neither
// Python code nor escapes: None, bools, plain numbers, clean ASCII strings
// (a long one where it fits before `limit`, see put_quoted_ascii) and
// empty lists and dicts; null, with nothing counted, for any other. `at`
// has room for kPlainValueRoom bytes.
VESK_AVX2_INLINE VESK_TARGET_AVX2 inline char* put_plain_value(PyObject* value, char* at,
                                                                 const char* limit) {
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyUnicode_Type) return put_quoted_ascii(value, false, 0, at, limit);
    if (type == &PyLong_Type || type == &PyFloat_Type) return put_plain_number(value, at);
    if (value == Py_None) {
        std::memcpy(at, "null", 4);
        return at + 4;
    }
    if (type == &PyBool_Type) {
        const bool yes = value == Py_True;
        std::memcpy(at, yes ? "true" : "false", 5);  // "true" with its terminator, past the text
        return at + 5 - yes;
    }
    if (type == &PyDict_Type && PyDict_GET_SIZE(value) == 0) {
        std::memcpy(at, "{}", 2);
        return at + 2;
    }
    if (type == &PyList_Type && PyList_GET_SIZE(value) == 0) {
        std::memcpy(at, "[]", 2);
        return at + 2;
    }
    return nullptr;
}

}  // namespace vesk
