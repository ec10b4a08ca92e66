// A dict's items in order, as PyDict_Next gives them, read straight from
// the dict's own table.
//
// PyDict_Next is a call into the interpreter for every item; on documents
// of small records it costs more than writing the keys. A combined table
// (every dict built from data; not the split tables of instance
// dictionaries) keeps its items in one array after its hash index, which
// this reads in place. The table's layout is the interpreter's private
// one, CPython 3.13's, mirrored here: `check_dict_layout` compares a walk of
// probe dicts with PyDict_Next at import, and where they differ every dict
// goes through PyDict_Next.
//
// Like PyDict_Next, `next_item` re-reads the table on every call, so Python
// code run between two calls may change the dict as it may between two
// PyDict_Next calls; callers re-check the size as before.
#pragma once

#include <cstdint>

#include "py_ref.hpp"

namespace vesk {

namespace dict_table {

// The header of CPython 3.13's PyDictKeysObject in the default build; the
// hash index (1 << log2_index_bytes bytes) follows it, then the entries.
struct Keys {
    Py_ssize_t refcnt;
    uint8_t log2_size;
    uint8_t log2_index_bytes;
    uint8_t kind;  // kGeneral or kUnicode for a combined table
    uint32_t version;
    Py_ssize_t usable;
    Py_ssize_t nentries;  // entries used, deleted ones (value NULL) among them
};
inline constexpr uint8_t kGeneral = 0;  // any keys: entries carry their hash
inline constexpr uint8_t kUnicode = 1;  // str keys only
struct Entry {
    Py_hash_t hash;
    PyObject* key;
    PyObject* value;
};
struct UnicodeEntry {
    PyObject* key;
    PyObject* value;
};

// The entries array, after the header and the hash index.
template <class E>
inline E* entries_of(const Keys* keys) {
    return reinterpret_cast<E*>(const_cast<char*>(reinterpret_cast<const char*>(keys + 1)) +
                                (size_t{1} << keys->log2_index_bytes));
}

template <class E>
inline bool next_entry(const Keys* keys, Py_ssize_t* pos, PyObject** key, PyObject** value) {
    const E* entries = entries_of<E>(keys);
    const Py_ssize_t used = keys->nentries;
    Py_ssize_t i = *pos;
    while (i < used && !entries[i].value) ++i;
    if (i >= used) return false;
    *key = entries[i].key;
    *value = entries[i].value;
    *pos = i + 1;
    return true;
}

}  // namespace dict_table

// Set once at import by check_dict_layout.
inline bool g_dict_table_readable = false;

// Walks probe dicts both ways and sets g_dict_table_readable when they
// agree. False, with an exception set, when a probe cannot be built.
bool check_dict_layout();

// The next item of `dict` from `*pos` (0 to start), as borrowed references;
// false past the last.
inline bool next_item(PyObject* dict, Py_ssize_t* pos, PyObject** key, PyObject** value) {
    const auto* table = reinterpret_cast<PyDictObject*>(dict);
    if (g_dict_table_readable && !table->ma_values) [[likely]] {
        const auto* keys = reinterpret_cast<const dict_table::Keys*>(table->ma_keys);
        if (keys->kind == dict_table::kUnicode)
            return dict_table::next_entry<dict_table::UnicodeEntry>(keys, pos, key, value);
        if (keys->kind == dict_table::kGeneral)
            return dict_table::next_entry<dict_table::Entry>(keys, pos, key, value);
    }
    return PyDict_Next(dict, pos, key, value);
}

// The entries of `dict` in order, when it is a combined string-key table
// with no deleted entry among them (as every dict that the reader builds);
// null for any other dict. A reader that has just copied such a dict, and
// has shown it to nobody, may replace the values in place.
inline dict_table::UnicodeEntry* string_key_entries(PyObject* dict) {
    const auto* table = reinterpret_cast<PyDictObject*>(dict);
    if (!g_dict_table_readable || table->ma_values) return nullptr;
    const auto* keys = reinterpret_cast<const dict_table::Keys*>(table->ma_keys);
    if (keys->kind != dict_table::kUnicode || keys->nentries != table->ma_used) return nullptr;
    return dict_table::entries_of<dict_table::UnicodeEntry>(keys);
}

}  // namespace vesk
