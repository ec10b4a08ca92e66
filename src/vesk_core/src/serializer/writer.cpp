// The value writer: dispatch by type, scalars, dictionaries, keys, tuples,
// bytes and plain arrays, in the compact and the indented layouts.
#include "serializer/writer.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

#include "serializer/number_format.hpp"
#include "serializer/text_rules.hpp"
#include "serializer/value_kind.hpp"
#include "simd/escape.hpp"

namespace vesk {
namespace {

bool fail(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    return false;
}

constexpr char kEncodeError[] = "Failed to encode string as UTF-8";

}  // namespace

bool Writer::write_value(PyObject* obj, uint64_t depth) {
    if (depth > kMaxWriteDepth)
        return fail(PyExc_ValueError, "Object too deeply nested (max 256 levels)");
    switch (classify(obj)) {
        case ValueKind::none: out_.append_bytes("null", 4); return true;
        case ValueKind::boolean:
            if (obj == Py_True) out_.append_bytes("true", 4);
            else out_.append_bytes("false", 5);
            return true;
        case ValueKind::str: return write_str(obj);
        case ValueKind::integer: return write_int(obj);
        case ValueKind::floating: return write_float(obj);
        case ValueKind::dict: return write_dict(obj, depth);
        case ValueKind::list: return write_list_or_table(obj, depth);
        case ValueKind::tuple: return write_tuple(obj, depth);
        case ValueKind::bytes: return write_bytes(obj);
        case ValueKind::other: break;
    }
    return write_fallback(obj, depth);
}

bool Writer::append_escaped(PyObject* str) {
    const unsigned kind = PyUnicode_KIND(str);
    const Py_UCS4 max_char = PyUnicode_MAX_CHAR_VALUE(str);
    out_.widen(kind);
    if (!write_escaped_units(PyUnicode_DATA(str), kind,
                             static_cast<size_t>(PyUnicode_GET_LENGTH(str)), out_))
        return false;
    // Raised only once the string is in: the result's kind must be the
    // kind of a character that it really holds.
    if (max_char > max_char_) max_char_ = max_char;
    return true;
}

bool Writer::write_str(PyObject* str) {
    out_.put('"');
    if (!append_escaped(str)) return fail(PyExc_ValueError, kEncodeError);
    out_.put('"');
    return true;
}

bool Writer::write_int(PyObject* obj) {
    char text[24];
    auto* number = reinterpret_cast<PyLongObject*>(obj);
    if (PyUnstable_Long_IsCompact(number)) {
        const auto end = std::to_chars(text, text + sizeof text,
                                       PyUnstable_Long_CompactValue(number)).ptr;
        out_.append_bytes(text, static_cast<size_t>(end - text));
        return true;
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (!overflow) {
        if (value == -1 && PyErr_Occurred()) return false;
        out_.append_bytes(text, static_cast<size_t>(std::to_chars(text, text + sizeof text, value).ptr - text));
        return true;
    }
    if (overflow > 0) {
        const unsigned long long big = PyLong_AsUnsignedLongLong(obj);
        if (!(big == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
            out_.append_bytes(text, static_cast<size_t>(std::to_chars(text, text + sizeof text, big).ptr - text));
            return true;
        }
        PyErr_Clear();
    }
    // Beyond 64 bits: the decimal text from str(), which an int subclass
    // may override, appended as it is.
    PyRef digits = PyRef::steal(PyObject_Str(obj));
    if (!digits) return false;
    if (!PyUnicode_AsUTF8AndSize(digits.get(), nullptr)) return false;
    const unsigned kind = PyUnicode_KIND(digits.get());
    out_.widen(kind);
    out_.append_units(PyUnicode_DATA(digits.get()), kind,
                      static_cast<size_t>(PyUnicode_GET_LENGTH(digits.get())));
    if (PyUnicode_MAX_CHAR_VALUE(digits.get()) > max_char_)
        max_char_ = PyUnicode_MAX_CHAR_VALUE(digits.get());
    return true;
}

bool Writer::write_float(PyObject* obj) {
    double value;
    if (PyFloat_CheckExact(obj)) {
        value = PyFloat_AS_DOUBLE(obj);
    } else {
        value = PyFloat_AsDouble(obj);
        if (value == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            return fail(PyExc_ValueError, "Failed to read float value");
        }
    }
    if (std::isnan(value)) {
        out_.append_bytes("NaN", 3);
    } else if (std::isinf(value)) {
        if (value > 0) out_.append_bytes("Infinity", 8);
        else out_.append_bytes("-Infinity", 9);
    } else {
        char text[kMaxDoubleText];
        out_.append_bytes(text, format_double(value, text));
    }
    return true;
}

void Writer::newline_and_indent(uint64_t level) {
    uint64_t spaces = 0;
    if (__builtin_mul_overflow(options_.indent, level, &spaces)) throw std::bad_alloc();
    out_.put('\n');
    out_.fill(' ', spaces);
}

bool Writer::write_dict(PyObject* dict, uint64_t depth) {
    const Py_ssize_t size = PyDict_GET_SIZE(dict);
    if (size == 0) {
        out_.append_bytes("{}", 2);
        return true;
    }
    const bool pretty = options_.has_indent;
    out_.put('{');
    Py_ssize_t pos = 0, written = 0;
    PyObject *key, *value;
    for (;;) {
        // Python code run while writing (a conversion method, a key's
        // __str__) may change the dictionary; it is re-checked before every
        // fetch, as the interpreter's own iterators do.
        if (PyDict_GET_SIZE(dict) != size)
            return fail(PyExc_RuntimeError, "dictionary changed size during iteration");
        if (!PyDict_Next(dict, &pos, &key, &value)) break;
        if (written == size)
            return fail(PyExc_RuntimeError, "dictionary keys changed during iteration");
        const PyRef key_ref = PyRef::borrow(key);
        const PyRef value_ref = PyRef::borrow(value);
        if (pretty) newline_and_indent(depth + 1);
        if (!write_key(key)) return false;
        if (pretty) out_.append_bytes(": ", 2);
        else out_.put(':');
        if (!write_value(value, depth + 1)) return false;
        if (++written < size) out_.put(',');
    }
    if (pretty) newline_and_indent(depth);
    out_.put('}');
    return true;
}

bool Writer::write_key(PyObject* key) {
    PyRef converted;  // the key's str(), once taken
    PyObject* text = key;
    if (!PyUnicode_Check(key)) {
        converted = PyRef::steal(PyObject_Str(key));
        if (!converted) return false;
        text = converted.get();
    }
    for (;;) {
        if (options_.unquoted_keys && PyUnicode_IS_ASCII(text) &&
            is_bare_identifier(PyUnicode_1BYTE_DATA(text),
                               static_cast<size_t>(PyUnicode_GET_LENGTH(text)))) {
            out_.append_bytes(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text)),
                              static_cast<size_t>(PyUnicode_GET_LENGTH(text)));
            return true;
        }
        const size_t mark = out_.size();
        out_.put('"');
        if (append_escaped(text)) {
            out_.put('"');
            return true;
        }
        // A lone surrogate: a str subclass may still give a writable str().
        out_.truncate(mark);
        if (converted) return fail(PyExc_ValueError, kEncodeError);
        converted = PyRef::steal(PyObject_Str(key));
        if (!converted) return false;
        text = converted.get();
    }
}

// Lists and tuples share the layout. A list may shrink while its elements
// are written (through Python code that an element runs), so it is read by
// index only below its current length; the separators follow the length it
// had at the start.
bool Writer::write_array(PyObject* seq, uint64_t depth) {
    const Py_ssize_t size = Py_SIZE(seq);
    if (size == 0) {
        out_.append_bytes("[]", 2);
        return true;
    }
    const bool pretty = options_.has_indent;
    const bool is_list = PyList_Check(seq);
    out_.put('[');
    for (Py_ssize_t i = 0; i < size; ++i) {
        if (pretty) newline_and_indent(depth + 1);
        if (is_list) {
            if (i >= PyList_GET_SIZE(seq)) break;
            const PyRef item = PyRef::borrow(PyList_GET_ITEM(seq, i));
            if (!write_value(item.get(), depth + 1)) return false;
        } else if (!write_value(PyTuple_GET_ITEM(seq, i), depth + 1)) {
            return false;
        }
        if (i + 1 < size) out_.put(',');
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

bool Writer::write_list_or_table(PyObject* list, uint64_t depth) {
    return write_array(list, depth);
}

PyRef Writer::finish() const {
    const size_t size = out_.size();
    PyRef text = PyRef::steal(PyUnicode_New(static_cast<Py_ssize_t>(size), max_char_));
    if (!text) return {};
    const unsigned kind = PyUnicode_KIND(text.get());
    void* data = PyUnicode_DATA(text.get());
    if (kind == out_.width()) {
        std::memcpy(data, out_.bytes(), size * kind);
    } else {
        // The buffer was widened for a string that was later dropped (a
        // key retried through str()): copy it narrowed to the result's kind.
        const uint8_t* units = out_.bytes();
        for (size_t i = 0; i < size; ++i) {
            const Py_UCS4 c = out_.width() == 2 ? reinterpret_cast<const uint16_t*>(units)[i]
                                                : reinterpret_cast<const uint32_t*>(units)[i];
            PyUnicode_WRITE(kind, data, static_cast<Py_ssize_t>(i), c);
        }
    }
    return text;
}

}  // namespace vesk
