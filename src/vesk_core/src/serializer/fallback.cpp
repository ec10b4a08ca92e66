// Objects that are not built-in values: models with model_dump(), older
// models with dict() and __fields__, dataclass instances. Each is converted
// by its own method and the result written in its place, at its depth.
#include "serializer/value_kind.hpp"
#include "serializer/writer.hpp"

// Reached only through dumps, after the import has checked for AVX2: the
// writer is compiled for it, so that the vector helpers inline into it.
#pragma GCC target("avx2,bmi,bmi2,popcnt")

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

// Looks up the conversion method `name` of `obj`. Any exception from the
// lookup is discarded: such an attribute does not count.
enum class Method { absent, not_callable, found };
Method find_method(PyObject* obj, PyObject* name, PyRef& method) {
    method = PyRef::steal(PyObject_GetAttr(obj, name));
    if (!method) {
        PyErr_Clear();
        return Method::absent;
    }
    return PyCallable_Check(method.get()) ? Method::found : Method::not_callable;
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

// The object that `obj` converts to through its model_dump(), dict() or
// dataclasses.asdict(); empty with a Python exception set when the call
// fails or no conversion applies.
PyRef convert_object(PyObject* obj) {
    const Names* n = names();
    if (!n) return {};
    PyRef method;
    if (find_method(obj, n->model_dump, method) == Method::found)
        return PyRef::steal(PyObject_CallNoArgs(method.get()));
    if (find_method(obj, n->dict, method) == Method::found) {
        const int has_fields = PyObject_HasAttrWithError(obj, n->fields);
        if (has_fields < 0) return {};
        if (has_fields) return PyRef::steal(PyObject_CallNoArgs(method.get()));
    }
    const int is_dataclass = PyObject_HasAttrWithError(obj, n->dataclass_fields);
    if (is_dataclass < 0) return {};
    if (is_dataclass) return call_asdict(obj, *n);
    return not_serializable(obj);
}

}  // namespace

// Tries the conversions in the order that suits lists of models:
// model_dump(), then dataclasses, then dict() with __fields__. A list is not
// convertible when one element has a model_dump that is not callable, or
// has none of the three.
Materialized materialize_as_dicts(PyObject* list) {
    const Names* n = names();
    if (!n) return {Materialized::error, {}};
    const Py_ssize_t size = PyList_GET_SIZE(list);
    PyRef values = PyRef::steal(PyList_New(size));
    if (!values) return {Materialized::error, {}};
    for (Py_ssize_t i = 0; i < size; ++i) {
        // Conversion methods may shrink the list; what is left is then
        // written as a plain array rather than refused.
        if (i >= PyList_GET_SIZE(list)) return {Materialized::unconvertible, {}};
        PyRef element = PyRef::borrow(PyList_GET_ITEM(list, i));
        PyRef value;
        PyRef method;
        Method model_dump = Method::absent;
        if (PyDict_Check(element.get())) {
            value = std::move(element);
        } else if ((model_dump = find_method(element.get(), n->model_dump, method)) ==
                   Method::found) {
            value = PyRef::steal(PyObject_CallNoArgs(method.get()));
        } else if (model_dump == Method::not_callable) {
            return {Materialized::unconvertible, {}};
        } else {
            const int is_dataclass = PyObject_HasAttrWithError(element.get(), n->dataclass_fields);
            if (is_dataclass < 0) return {Materialized::error, {}};
            if (is_dataclass) {
                value = call_asdict(element.get(), *n);
            } else {
                const int has_fields = PyObject_HasAttrWithError(element.get(), n->fields);
                if (has_fields < 0) return {Materialized::error, {}};
                if (!has_fields || find_method(element.get(), n->dict, method) != Method::found)
                    return {Materialized::unconvertible, {}};
                value = PyRef::steal(PyObject_CallNoArgs(method.get()));
            }
        }
        if (!value) return {Materialized::error, {}};
        PyList_SET_ITEM(values.get(), i, value.release());  // stealing reference to value
    }
    return {Materialized::done, std::move(values)};
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
