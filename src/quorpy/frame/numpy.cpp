#include "frame/numpy.hpp"

#include <iterator>

namespace quorpy {
namespace {

// Process-wide, made once and kept for the life of the process.
PyObject* builtins;
PyObject* dtype_kwnames;  // ("dtype",)
PyObject* three;          // the 3 of every (rows, 3) shape
PyObject* empty_rows;     // (0, 3): the one shape an empty transfer allocates

// A call that transfers little is dominated by the two `np` lookups and two attribute
// lookups it makes, so their results are remembered, and forgotten as soon as the
// module namespace or NumPy's namespace changes in any way: a dict watcher on both
// makes the cache exactly as fresh as a new lookup. Only values read straight out of
// those two dicts are remembered; anything reached otherwise is looked up every time.
struct NumpyCache {
    int watcher = -1;
    bool valid = false;
    PyObject* ns = nullptr;     // the module namespace the entries were found through
    PyObject* np = nullptr;     // strong: the module found there as `np`
    PyObject* attr[static_cast<int>(Str::count_)] = {};  // strong: np.<name>
} cache;

int forget(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    // No reference is dropped here: the entries are replaced on the next fill, outside
    // whatever mutation triggered this.
    cache.valid = false;
    return 0;
}

// `np` as found in the module namespace (not the builtins), if it is a plain module.
PyObject* namespace_np(PyObject* ns) {
    // Cannot fail: the key is an exact str with its hash cached.
    PyObject* np = PyDict_GetItemWithError(ns, str(Str::np));
    return np && PyModule_CheckExact(np) ? np : nullptr;
}

void remember(PyObject* ns, PyObject* np, Str name, PyObject* value) {
    if (cache.watcher < 0) return;
    if (!cache.valid || cache.ns != ns || cache.np != np) {
        if (PyDict_Watch(cache.watcher, ns) < 0 || PyDict_Watch(cache.watcher, PyModule_GetDict(np)) < 0) {
            PyErr_Clear();
            return;
        }
        for (PyObject*& entry : cache.attr) Py_CLEAR(entry);
        Py_XSETREF(cache.np, Py_NewRef(np));
        cache.ns = ns;
        cache.valid = true;
    }
    Py_XSETREF(cache.attr[static_cast<int>(name)], Py_NewRef(value));
}

// np.<name> with `np` a module global.
Ref numpy_attribute(PyObject* module, Str name) {
    PyObject* ns = PyModule_GetDict(module);
    // The type check catches a module whose __class__ was reassigned, which no dict
    // mutation reports.
    if (cache.valid && cache.ns == ns && Py_IS_TYPE(cache.np, &PyModule_Type))
        if (PyObject* value = cache.attr[static_cast<int>(name)]) return Ref::borrow(value);

    Ref np = lookup_global(module, Str::np);
    if (!np) return {};
    // Module type attributes never shadow the names looked up here, so a plain
    // module's attribute is its namespace entry.
    if (PyModule_CheckExact(np.get())) {
        PyObject* value = nullptr;
        if (PyDict_GetItemRef(PyModule_GetDict(np.get()), str(name), &value) < 0) return {};
        if (value) {
            if (namespace_np(ns) == np.get()) remember(ns, np.get(), name, value);
            return Ref::steal(value);
        }
    }
    return Ref::steal(PyObject_GetAttr(np.get(), str(name)));
}

}  // namespace

bool init_numpy_access() noexcept {
    if (!(builtins = PyImport_ImportModule("builtins"))) return false;
    if (!(dtype_kwnames = PyTuple_Pack(1, str(Str::dtype)))) return false;
    if (!(three = PyLong_FromLong(3))) return false;
    if (!(empty_rows = Py_BuildValue("(iO)", 0, three))) return false;
    // Without a watcher every lookup is simply made afresh.
    cache.watcher = PyDict_AddWatcher(forget);
    if (cache.watcher < 0) PyErr_Clear();
    return true;
}

Ref lookup_global(PyObject* module, Str name) {
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(PyModule_GetDict(module), str(name), &value) < 0) return {};
    if (!value && PyObject_GetOptionalAttr(builtins, str(name), &value) < 0) return {};
    if (!value) PyErr_Format(PyExc_NameError, "name '%U' is not defined", str(name));
    return Ref::steal(value);
}

Ref call_numpy(PyObject* module, Str func, PyObject* shape, Str dtype) {
    Ref callable = numpy_attribute(module, func);
    if (!callable) return {};
    Ref type = numpy_attribute(module, dtype);
    if (!type) return {};
    PyObject* argv[] = {nullptr, shape, type.get()};
    return Ref::steal(
        PyObject_Vectorcall(callable.get(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, dtype_kwnames));
}

Ref rows_of_three(Py_ssize_t rows) {
    if (rows == 0) return Ref::borrow(empty_rows);
    Ref first = Ref::steal(PyLong_FromSsize_t(rows));
    if (!first) return {};
    return Ref::steal(PyTuple_Pack(2, first.get(), three));
}

}  // namespace quorpy
