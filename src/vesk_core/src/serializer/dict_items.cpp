#include "serializer/dict_items.hpp"

#include <vector>

namespace vesk {
namespace {

// A dict of `keys` mapped to their positions, the even-numbered ones then
// deleted, so that the walk must step over holes.
PyRef probe_dict(std::vector<PyRef> keys) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return {};
    for (size_t i = 0; i < keys.size(); ++i) {
        if (!keys[i]) return {};
        PyRef position = PyRef::steal(PyLong_FromSize_t(i));
        if (!position || PyDict_SetItem(dict.get(), keys[i].get(), position.get()) < 0) return {};
    }
    for (size_t i = 0; i < keys.size(); i += 2)
        if (PyDict_DelItem(dict.get(), keys[i].get()) < 0) return {};
    return dict;
}

bool walks_agree(PyObject* dict, uint8_t kind) {
    const auto* table = reinterpret_cast<PyDictObject*>(dict);
    if (table->ma_values) return false;
    const auto* keys = reinterpret_cast<const dict_table::Keys*>(table->ma_keys);
    // A small table: one byte per index slot, and every entry yet used.
    if (keys->kind != kind || keys->log2_index_bytes != keys->log2_size ||
        keys->nentries < PyDict_GET_SIZE(dict))
        return false;
    Py_ssize_t pos = 0, direct_pos = 0;
    PyObject *key, *value, *direct_key = nullptr, *direct_value = nullptr;
    for (;;) {
        const bool more = PyDict_Next(dict, &pos, &key, &value);
        const bool direct_more =
            kind == dict_table::kUnicode
                ? dict_table::next_entry<dict_table::UnicodeEntry>(keys, &direct_pos, &direct_key,
                                                                   &direct_value)
                : dict_table::next_entry<dict_table::Entry>(keys, &direct_pos, &direct_key,
                                                            &direct_value);
        if (more != direct_more) return false;
        if (!more) return true;
        if (key != direct_key || value != direct_value || pos != direct_pos) return false;
    }
}

}  // namespace

bool check_dict_layout() {
    std::vector<PyRef> words, mixed;
    for (const char* word : {"alpha", "beta", "gamma", "delta", "epsilon"})
        words.push_back(PyRef::steal(PyUnicode_FromString(word)));
    for (long number : {7L, -3L, 1L << 40}) mixed.push_back(PyRef::steal(PyLong_FromLong(number)));
    mixed.push_back(PyRef::steal(PyUnicode_FromString("key")));
    mixed.push_back(PyRef::steal(PyFloat_FromDouble(0.5)));
    const PyRef unicode = probe_dict(std::move(words));
    const PyRef general = probe_dict(std::move(mixed));
    if (!unicode || !general) return false;
    g_dict_table_readable = walks_agree(unicode.get(), dict_table::kUnicode) &&
                            walks_agree(general.get(), dict_table::kGeneral);
    return true;
}

}  // namespace vesk
