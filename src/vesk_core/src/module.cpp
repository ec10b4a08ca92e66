// Module initialisation: processor check, attributes and the function table.
//
// Single-phase initialisation. The module object is created once per process
// and handed out again on re-import; a second interpreter is refused because
// the per-thread key cache and output buffer hold objects of the first one.
#include "functions.hpp"
#include "serializer/dict_items.hpp"
#include "simd/cpu_features.hpp"

namespace vesk {
namespace {

// Functions taking keywords are stored as PyCFunction and called with
// their real signature; the cast through void(*)() is the sanctioned way to
// silence the function-type mismatch.
template <auto F>
PyCFunction as_method() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

// METH_FASTCALL | METH_KEYWORDS: arguments arrive as an array, without a
// tuple or dict built for each call.
template <PyRef (*Body)(PyObject* const*, Py_ssize_t, PyObject*)>
PyObject* fast_entry(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
    return guarded([&] { return Body(args, nargs, kwnames); });
}

PyMethodDef kMethods[] = {
    {"loads", as_method<fast_entry<loads>>(), METH_FASTCALL | METH_KEYWORDS, kLoadsDoc},
    {"dumps", as_method<fast_entry<dumps>>(), METH_FASTCALL | METH_KEYWORDS, kDumpsDoc},
    {"format_hint", as_method<fast_entry<format_hint>>(), METH_FASTCALL | METH_KEYWORDS,
     kFormatHintDoc},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "vesk_core",
    "VESK \u2014 SIMD-accelerated parser for Python\n"
    "\n"
    "This module provides high-performance parsing of VESK/JSON data using\n"
    "AVX2/AVX-512 SIMD intrinsics for structural scanning and string escaping.",
    0,        // no per-module state
    nullptr,  // functions are added during initialisation
    nullptr,  // single-phase initialisation: no slots
    nullptr,
    nullptr,
    nullptr,
};

PyObject* g_module = nullptr;           // owned; lives until the process ends
int64_t g_interpreter_id = -1;          // the interpreter that first imported us

// Adds `value` (stolen) as attribute `name` and appends the name to __all__,
// creating __all__ on the first call.
bool add_exported(PyObject* module, const char* name, PyRef value) {
    if (!value) return false;
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return false;
    }
    PyRef py_name = PyRef::steal(PyUnicode_FromString(name));
    if (!py_name || PyList_Append(all.get(), py_name.get()) < 0) return false;
    return PyModule_AddObjectRef(module, name, value.get()) == 0;
}

PyRef create_module() {
    PyRef module = PyRef::steal(PyModule_Create(&kModuleDef));
    if (!module) return {};
    if (!add_exported(module.get(), "__version__", PyRef::steal(PyUnicode_FromString("1.0.3"))))
        return {};
    if (!cpu_has(CpuFeature::avx2)) {
        PyErr_SetString(PyExc_RuntimeError,
                        "CPU does not support AVX2 (requires Intel Haswell 2013+ or AMD "
                        "Excavator 2015+)");
        return {};
    }
    if (!check_dict_layout()) return {};
    const char* level = simd_level_name(cached_cpu_features());
    if (!add_exported(module.get(), "__simd__", PyRef::steal(PyUnicode_FromString(level))))
        return {};
    for (PyMethodDef& def : kMethods) {
        if (!add_exported(module.get(), def.ml_name,
                          PyRef::steal(PyCFunction_NewEx(&def, nullptr, module.get()))))
            return {};
    }
    // vesk.Stream, which the package exports: not in this module's __all__.
    if (!add_stream_type(module.get())) return {};
    return module;
}

}  // namespace
}  // namespace vesk

PyMODINIT_FUNC PyInit_vesk_core() {
    using namespace vesk;
    const int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter < 0) return nullptr;
    if (g_interpreter_id < 0) {
        g_interpreter_id = interpreter;
    } else if (g_interpreter_id != interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "vesk_core does not support sub-interpreters: it is already loaded in "
                        "another interpreter of this process");
        return nullptr;
    }
    if (g_module) return Py_NewRef(g_module);
    PyRef module = create_module();
    if (!module) return nullptr;
    g_module = Py_NewRef(module.get());
    return module.release();
}
