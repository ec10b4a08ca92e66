// Objects that are not built-in values: models with model_dump(), older
// models with dict() and __fields__, dataclass instances. Each is converted
// by its own method and the result written in its place, at its depth.
#include "serializer/value_kind.hpp"
#include "serializer/writer.hpp"

namespace vesk {
namespace {

// Attribute and module names, interned once; the module lives in a single
// interpreter, so they live as long as the process.
struct Names {
    PyObject* model_dump;
    PyObject* dict;
    PyObject* fields;
    PyObject* dataclass_fields;
    PyObject* dataclasses;
    PyObject* asdict;
};

const Names* names() {
    static Names table = {
        PyUnicode_InternFromString("model_dump"),
        PyUnicode_InternFromString("dict"),
        PyUnicode_InternFromString("__fields__"),
        PyUnicode_InternFromString("__dataclass_fields__"),
        PyUnicode_InternFromString("dataclasses"),
        PyUnicode_InternFromString("asdict"),
    };
    for (PyObject* name : {table.model_dump, table.dict, table.fields, table.dataclass_fields,
                           table.dataclasses, table.asdict})
        if (!name) return nullptr;
    return &table;
}

// The attribute `name` of `obj` if it is there and callable, else empty.
// Any exception from the lookup is discarded: such an attribute does not
// count.
PyRef callable_attribute(PyObject* obj, PyObject* name) {
    PyRef attribute = PyRef::steal(PyObject_GetAttr(obj, name));
    if (!attribute) {
        PyErr_Clear();
        return {};
    }
    if (!PyCallable_Check(attribute.get())) return {};
    return attribute;
}

PyRef call_asdict(PyObject* obj, const Names& n) {
    PyRef module = PyRef::steal(PyImport_Import(n.dataclasses));
    if (!module) return {};
    PyRef asdict = PyRef::steal(PyObject_GetAttr(module.get(), n.asdict));
    if (!asdict) return {};
    return PyRef::steal(PyObject_CallOneArg(asdict.get(), obj));
}

PyRef not_serializable(PyObject* obj) {
    PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (!name || !PyUnicode_Check(name.get())) {
        PyErr_Clear();
        name = PyRef::steal(PyUnicode_FromString("unknown"));
        if (!name) return {};
    }
    PyErr_Format(PyExc_TypeError, "Object of type '%U' is not JSON serializable", name.get());
    return {};
}

}  // namespace

PyRef convert_object(PyObject* obj) {
    const Names* n = names();
    if (!n) return {};
    if (PyRef model_dump = callable_attribute(obj, n->model_dump))
        return PyRef::steal(PyObject_CallNoArgs(model_dump.get()));
    if (PyRef dict = callable_attribute(obj, n->dict)) {
        const int has_fields = PyObject_HasAttrWithError(obj, n->fields);
        if (has_fields < 0) return {};
        if (has_fields) return PyRef::steal(PyObject_CallNoArgs(dict.get()));
    }
    const int is_dataclass = PyObject_HasAttrWithError(obj, n->dataclass_fields);
    if (is_dataclass < 0) return {};
    if (is_dataclass) return call_asdict(obj, *n);
    return not_serializable(obj);
}

// A conversion may return yet another object to convert (mock objects
// answer every attribute with another mock). The chain is followed in a
// loop, not by recursion, and ends after kMaxConversionChain steps.
bool Writer::write_fallback(PyObject* obj, uint64_t depth) {
    PyRef current = PyRef::borrow(obj);
    for (int step = 0; step < kMaxConversionChain; ++step) {
        PyRef converted = convert_object(current.get());
        if (!converted) return false;
        if (classify(converted.get()) != ValueKind::other)
            return write_value(converted.get(), depth);
        current = std::move(converted);
    }
    PyErr_Format(PyExc_ValueError,
                 "Object conversion did not end: %d conversions in a row each returned another "
                 "object to convert",
                 kMaxConversionChain);
    return false;
}

}  // namespace vesk
