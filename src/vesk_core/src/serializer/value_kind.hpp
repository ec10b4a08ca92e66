// The writer's type dispatch, in the order that decides overlaps: an exact
// bool before int, str/int/dict/list/tuple/bytes subclasses by the type
// flags the interpreter sets for them, float subclasses by subtype test.
// No type is both a float and a dict, list, tuple or bytes (their layouts
// conflict), so the flags are read first and the subtype test, which walks
// the type's bases, is left to what remains.
#pragma once

#include "py_ref.hpp"

namespace vesk {

enum class ValueKind { none, boolean, str, integer, floating, dict, list, tuple, bytes, other };

inline ValueKind classify(PyObject* obj) {
    if (obj == Py_None) return ValueKind::none;
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyBool_Type) return ValueKind::boolean;
    const unsigned long flags = type->tp_flags;
    if (flags & Py_TPFLAGS_UNICODE_SUBCLASS) return ValueKind::str;
    if (flags & Py_TPFLAGS_LONG_SUBCLASS) return ValueKind::integer;
    if (type == &PyFloat_Type) return ValueKind::floating;
    if (flags & Py_TPFLAGS_DICT_SUBCLASS) return ValueKind::dict;
    if (flags & Py_TPFLAGS_LIST_SUBCLASS) return ValueKind::list;
    if (flags & Py_TPFLAGS_TUPLE_SUBCLASS) return ValueKind::tuple;
    if (flags & Py_TPFLAGS_BYTES_SUBCLASS) return ValueKind::bytes;
    if (PyType_IsSubtype(type, &PyFloat_Type)) return ValueKind::floating;
    return ValueKind::other;
}

}  // namespace vesk
