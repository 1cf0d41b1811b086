// The module: its definition, the create and execute steps, and the function table.
//
// State lives in process-wide statics, not in the module object: one interpreter per
// process and one module object, executed once. A failed execution leaves no module
// recorded, so the next import starts afresh.
//
// The statics are read and changed under one lock (frame/mutex.hpp), held only for
// those few steps: the execute step claims the module under it, then fills it without
// it, since importing NumPy runs arbitrary Python code.
#include <Python.h>

#include <array>
#include <iterator>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <utility>

#include "frame/binding.hpp"
#include "frame/mutex.hpp"
#include "transfer/functions.hpp"

namespace quorpy {

const char* const traceback_file = __FILE__;

namespace {

constexpr const char* module_name = "quorpy._fastloop";

constexpr const char* module_doc =
    "Compiled bulk transfer between NumPy and the native Quorlan runtime.\n"
    "\n"
    "The C ABI exposes only per-element getters/setters. Looping over them from\n"
    "Python (one ctypes call each) is slow. Here we take the raw address of a native\n"
    "function (obtained from ctypes) and call it through a typed function pointer in\n"
    "a ``nogil`` loop, writing straight into a contiguous NumPy buffer -- so the\n"
    "whole transfer costs one Python call plus a tight compiled loop.\n"
    "\n"
    "All functions take ``fn`` = the native function's address (an int), the library\n"
    "instance and object handles, and operate on C-contiguous NumPy arrays whose\n"
    "memory layout matches the packed C structs (QLVector3 = 3 float32, QLTriangle =\n"
    "3 int32). ``bool``-returning natives are read as a 1-byte ``unsigned char`` to\n"
    "match the C ABI exactly.\n";

constexpr Param fn{Str::fn, Conv::U64};
constexpr Param inst{Str::inst, Conv::U64};
constexpr Param h{Str::h, Conv::U64};

#define QUORPY_FUNCTION(name, ...) {#name, {"quorpy._fastloop." #name, __LINE__}, name, __VA_ARGS__}

// In binding order. Constant, so that each function's signature is spelled out from it at compile time.
constexpr Function functions[] = {
    QUORPY_FUNCTION(read_vertices, 4, {fn, inst, h, {Str::n, Conv::Int}}),
    QUORPY_FUNCTION(read_triangles, 4, {fn, inst, h, {Str::n, Conv::Int}}),
    QUORPY_FUNCTION(add_vertices, 4, {fn, inst, h, {Str::verts, Conv::FloatRows}}),
    QUORPY_FUNCTION(add_triangles, 4, {fn, inst, h, {Str::tris, Conv::IntRows}}),
    QUORPY_FUNCTION(scalar_set_many, 5, {fn, inst, h, {Str::pos, Conv::FloatRows}, {Str::vals, Conv::FloatValues}}),
    QUORPY_FUNCTION(scalar_get_many, 4, {fn, inst, h, {Str::pos, Conv::FloatRows}}),
    QUORPY_FUNCTION(vector_set_many, 5, {fn, inst, h, {Str::pos, Conv::FloatRows}, {Str::vals, Conv::FloatRows}}),
    QUORPY_FUNCTION(vector_get_many, 4, {fn, inst, h, {Str::pos, Conv::FloatRows}}),
    QUORPY_FUNCTION(scalar_active_values, 3, {fn, inst, h}),
    QUORPY_FUNCTION(vector_active_values, 3, {fn, inst, h}),
};
#undef QUORPY_FUNCTION

constexpr std::size_t function_count = std::size(functions);

template <std::size_t I>
PyObject* entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return call_function(functions[I], module, args, nargs, kwnames);
}

// Hands `put` the signature block of f, "name($module, /, fn, inst, h, n)\n--\n\n", one
// character at a time. An ml_doc that holds nothing else gives the builtin its
// __text_signature__ (what inspect.signature reads) and leaves its __doc__ None.
template <typename Put>
constexpr void signature_block(const Function& f, Put put) {
    auto append = [&put](const char* s) {
        while (*s) put(*s++);
    };
    append(f.name);
    append("($module, /");
    for (int j = 0; j < f.nparams; ++j) {
        append(", ");
        append(text(f.params[j].name));
    }
    append(")\n--\n\n");
}

constexpr std::size_t signature_size(const Function& f) {
    std::size_t size = 1;  // the terminating null
    signature_block(f, [&size](char) { ++size; });
    return size;
}

// The signature block of functions[I], null-terminated: a constant, made by the compiler.
template <std::size_t I>
constexpr auto signature = [] {
    std::array<char, signature_size(functions[I])> block{};
    std::size_t k = 0;
    signature_block(functions[I], [&](char c) { block[k++] = c; });
    return block;
}();

template <std::size_t... I>
constexpr std::array<PyMethodDef, sizeof...(I)> make_method_defs(std::index_sequence<I...>) {
    return {{{functions[I].name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<I>)),
              METH_FASTCALL | METH_KEYWORDS, signature<I>.data()}...}};
}

// ml_doc is the signature block alone: no docstrings. Made by the compiler and never
// written (PyCMethod_New takes it as non-const).
std::array<PyMethodDef, function_count> method_defs = make_method_defs(std::make_index_sequence<function_count>{});

// Process-wide state, guarded by state_mutex.
Mutex state_mutex;
std::int64_t first_interpreter = -1;
PyObject* the_module;     // strong; the one executed module
PyObject* the_namespace;  // strong; its __dict__

void forget_module() {
    PyObject *ns, *module;
    {
        std::lock_guard guard(state_mutex);
        ns = std::exchange(the_namespace, nullptr);
        module = std::exchange(the_module, nullptr);
    }
    Py_XDECREF(ns);
    Py_XDECREF(module);
}

// Copies spec.<attr> to module.<name>; a missing attribute is skipped, and so is None
// when `skip_none`.
bool copy_spec_attr(PyObject* spec, PyObject* dict, const char* attr, const char* name, bool skip_none) {
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttrString(spec, attr, &value) < 0) return false;
    Ref owned = Ref::steal(value);
    if (!value || (skip_none && value == Py_None)) return true;
    return PyDict_SetItemString(dict, name, value) == 0;
}

PyObject* create_module(PyObject* spec, PyModuleDef*) {
    std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1 && PyErr_Occurred()) return nullptr;
    {
        std::lock_guard guard(state_mutex);
        if (first_interpreter == -1) {
            first_interpreter = id;
        } else if (id != first_interpreter) {
            PyErr_SetString(PyExc_ImportError,
                            "Interpreter change detected - this module can only be loaded into one interpreter per "
                            "process.");
            return nullptr;
        }
        if (the_module) return Ref::borrow(the_module).release();
    }

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (!copy_spec_attr(spec, dict, "loader", "__loader__", false) ||
        !copy_spec_attr(spec, dict, "origin", "__file__", false) ||
        !copy_spec_attr(spec, dict, "parent", "__package__", false) ||
        !copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", true))
        return nullptr;
    return module.release();
}

bool warn_on_version_mismatch() {
    const int major = static_cast<int>((Py_Version >> 24) & 0xFF);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return true;
    char message[200];
    std::snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d", PY_MAJOR_VERSION,
                  PY_MINOR_VERSION, module_name, "does not match", major, minor);
    return PyErr_WarnEx(nullptr, message, 1) == 0;
}

bool register_in_sys_modules(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* existing = nullptr;
    if (PyDict_GetItemStringRef(modules, module_name, &existing) < 0) return false;
    if (existing) {
        Py_DECREF(existing);
        return true;
    }
    return PyDict_SetItemString(modules, module_name, module) == 0;
}

Ref import_numpy() {
    Ref name = Ref::steal(PyUnicode_FromString("numpy"));
    if (!name) return {};
    Ref numpy = Ref::steal(PyImport_GetModule(name.get()));
    if (numpy && numpy.get() != Py_None) return numpy;
    if (PyErr_Occurred()) return {};
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) return {};
    return Ref::steal(PyImport_ImportModuleLevelObject(name.get(), the_namespace, locals.get(), nullptr, 0));
}

bool bind_functions(PyObject* module) {
    Ref owner = Ref::steal(PyUnicode_FromString(module_name));
    if (!owner) return false;
    for (std::size_t i = 0; i < function_count; ++i) {
        Ref function = Ref::steal(PyCMethod_New(&method_defs[i], module, owner.get(), nullptr));
        if (!function || PyModule_AddObjectRef(module, functions[i].name, function.get()) < 0) return false;
    }
    return true;
}

// Everything after the module is recorded; a failure gets the init traceback entry.
bool populate(PyObject* module) {
    if (!init_binding()) return false;
    if (!register_in_sys_modules(module)) return false;
    Ref numpy = import_numpy();
    if (!numpy || PyModule_AddObjectRef(module, "np", numpy.get()) < 0) return false;
    if (!bind_functions(module)) return false;
    Ref test = Ref::steal(PyDict_New());
    return test && PyModule_AddObjectRef(module, "__test__", test.get()) == 0;
}

// Records `module` as the one module, unless there is one already: then returns 0 if it
// is this one (nothing to do), -1 with RuntimeError if not.
int claim(PyObject* module) {
    std::lock_guard guard(state_mutex);
    if (the_module) {
        if (the_module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module '_fastloop' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    the_module = Ref::borrow(module).release();
    the_namespace = Ref::borrow(PyModule_GetDict(module)).release();
    return 1;
}

int exec_module(PyObject* module) {
    if (int claimed = claim(module); claimed <= 0) return claimed;

    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    bool ok =
        builtins && PyModule_AddObjectRef(module, "__builtins__", builtins.get()) == 0 && warn_on_version_mismatch();
    if (ok && !populate(module)) {
        static const TracebackSite init_site{"init quorpy._fastloop", __LINE__};
        init_site.add(the_namespace);
        ok = false;
    }
    if (!ok) {
        forget_module();
        return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(&create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
#ifdef Py_GIL_DISABLED
    // Without it a free-threaded interpreter turns the GIL back on at import. What calls
    // share is safe without it: constants made once by the execute step, the NumPy
    // cache (under its own lock) and the traceback code objects (published atomically);
    // a traversal's state is the calling thread's own.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_fastloop", module_doc, 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace quorpy

PyMODINIT_FUNC PyInit__fastloop(void) { return PyModuleDef_Init(&quorpy::module_def); }
