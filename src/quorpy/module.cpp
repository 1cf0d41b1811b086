// The module: its definition, and the create and execute steps that make it from the
// frame (frame/) and the ten functions (transfer/).
//
// One interpreter per process and one module object, executed once: that state lives
// in ModuleState, not in the module object. A failed execution leaves no module
// recorded, so the next import starts afresh.
#include <Python.h>

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <utility>

#include "frame/binding.hpp"
#include "frame/mutex.hpp"
#include "transfer/functions.hpp"

namespace quorpy {
namespace {

constexpr const char* module_name = QUORPY_MODULE;

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

// Every field is read and written under `mutex`, held only for those few steps: the
// execute step claims the module under it, then fills the module without it, since
// importing NumPy runs arbitrary Python code.
struct ModuleState {
    Mutex mutex;
    std::int64_t first_interpreter = -1;  // of the first create step; kept for the life of the process
    PyObject* module = nullptr;           // strong: the one executed module
} state;

void forget_module() {
    PyObject* module;
    {
        std::lock_guard guard(state.mutex);
        module = std::exchange(state.module, nullptr);
    }
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
    bool same_interpreter;
    Ref existing;
    {
        std::lock_guard guard(state.mutex);
        if (state.first_interpreter == -1) state.first_interpreter = id;
        same_interpreter = id == state.first_interpreter;
        if (same_interpreter) existing = Ref::borrow(state.module);
    }
    if (!same_interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return nullptr;
    }
    if (existing) return existing.release();

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

Ref import_numpy(PyObject* ns) {
    Ref name = Ref::steal(PyUnicode_FromString("numpy"));
    if (!name) return {};
    Ref numpy = Ref::steal(PyImport_GetModule(name.get()));
    if (numpy && numpy.get() != Py_None) return numpy;
    if (PyErr_Occurred()) return {};
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) return {};
    return Ref::steal(PyImport_ImportModuleLevelObject(name.get(), ns, locals.get(), nullptr, 0));
}

// Everything after the module is recorded; a failure gets the init traceback entry.
bool populate(PyObject* module) {
    if (!init_binding()) return false;
    if (!register_in_sys_modules(module)) return false;
    Ref numpy = import_numpy(PyModule_GetDict(module));
    if (!numpy || PyModule_AddObjectRef(module, "np", numpy.get()) < 0) return false;
    if (!add_functions(module, functions)) return false;
    Ref test = Ref::steal(PyDict_New());
    return test && PyModule_AddObjectRef(module, "__test__", test.get()) == 0;
}

enum class Claim { Claimed, AlreadyDone, Refused };

// Records `module` as the one module, unless there is one already.
Claim claim(PyObject* module) {
    std::lock_guard guard(state.mutex);
    if (state.module) return state.module == module ? Claim::AlreadyDone : Claim::Refused;
    state.module = Ref::borrow(module).release();
    return Claim::Claimed;
}

int exec_module(PyObject* module) {
    switch (claim(module)) {
    case Claim::Claimed: break;
    case Claim::AlreadyDone: return 0;
    case Claim::Refused:
        PyErr_SetString(PyExc_RuntimeError,
                        "Module '_fastloop' has already been imported. Re-initialisation is not supported.");
        return -1;
    }

    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    bool ok =
        builtins && PyModule_AddObjectRef(module, "__builtins__", builtins.get()) == 0 && warn_on_version_mismatch();
    if (ok && !populate(module)) {
        static const TracebackSite init_site{"init " QUORPY_MODULE, __FILE__, __LINE__};
        init_site.add(PyModule_GetDict(module));
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
    // share is safe without it: constants and traceback code objects made by the execute
    // step, and the count of changes to the dicts the NumPy cache watches (atomic); each
    // thread's NumPy cache and traversal state are its own.
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
