#include "frame/numpy.hpp"

#include <cstdint>
#include <iterator>
#include <utility>

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
    std::uint64_t generation = 0;                        // counts changes to any watched dict
    PyObject* ns = nullptr;                              // the module namespace the entries were found through
    PyObject* np = nullptr;                              // strong: the module found there as `np`
    PyObject* attr[static_cast<int>(Str::count_)] = {};  // strong: np.<name>
} cache;

int forget(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    // No reference is dropped here: the entries are replaced on the next fill, outside
    // whatever mutation triggered this.
    cache.valid = false;
    ++cache.generation;
    return 0;
}

bool watch(PyObject* dict) {
    if (cache.watcher >= 0 && PyDict_Watch(cache.watcher, dict) == 0) return true;
    PyErr_Clear();
    return false;
}

void remember(PyObject* ns, PyObject* np, Str name, PyObject* value) {
    // References are dropped only once the cache is consistent again: a finaliser that
    // changes a watched dict then invalidates it, as it should.
    PyObject* dropped[std::size(cache.attr) + 2] = {};
    std::size_t k = 0;
    if (!cache.valid || cache.ns != ns || cache.np != np) {
        for (PyObject*& entry : cache.attr) dropped[k++] = std::exchange(entry, nullptr);
        dropped[k++] = std::exchange(cache.np, Py_NewRef(np));
        cache.ns = ns;
        cache.valid = true;
    }
    dropped[k++] = std::exchange(cache.attr[static_cast<int>(name)], Py_NewRef(value));
    for (PyObject* old : dropped) Py_XDECREF(old);
}

Ref lookup_builtin(Str name) {
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttr(builtins, str(name), &value) == 0)
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", str(name));
    return Ref::steal(value);
}

// np.<name>, with `np` a module global: the module's namespace, then the builtins,
// else NameError.
Ref numpy_attribute(PyObject* module, Str name) {
    PyObject* ns = PyModule_GetDict(module);
    // The type check catches a module whose __class__ was reassigned, which no dict
    // mutation reports.
    if (cache.valid && cache.ns == ns && Py_IS_TYPE(cache.np, &PyModule_Type))
        if (PyObject* value = cache.attr[static_cast<int>(name)]) return Ref::borrow(value);

    // Each dict is watched before it is read, and a value is remembered only if no
    // watched dict changed meanwhile: Python code can run inside a lookup (a key whose
    // __eq__ is called) and rebind what was just read.
    const bool ns_watched = watch(ns);
    const std::uint64_t generation = cache.generation;
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(ns, str(Str::np), &found) < 0) return {};
    const bool in_namespace = found != nullptr;
    Ref np = in_namespace ? Ref::steal(found) : lookup_builtin(Str::np);
    if (!np) return {};
    // Module type attributes never shadow the names looked up here, so a plain
    // module's attribute is its namespace entry.
    if (PyModule_CheckExact(np.get())) {
        PyObject* dict = PyModule_GetDict(np.get());
        const bool watched = ns_watched && in_namespace && watch(dict);
        PyObject* value = nullptr;
        if (PyDict_GetItemRef(dict, str(name), &value) < 0) return {};
        if (value) {
            if (watched && cache.generation == generation) remember(ns, np.get(), name, value);
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

Ref call_numpy(PyObject* module, Str func, PyObject* shape, Str dtype) {
    Ref callable = numpy_attribute(module, func);
    if (!callable) return {};
    Ref type = numpy_attribute(module, dtype);
    if (!type) return {};
    PyObject* argv[] = {nullptr, shape, type.get()};
    return Ref::steal(PyObject_Vectorcall(callable.get(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, dtype_kwnames));
}

Ref rows_of_three(Py_ssize_t rows) {
    if (rows == 0) return Ref::borrow(empty_rows);
    Ref first = Ref::steal(PyLong_FromSsize_t(rows));
    if (!first) return {};
    return Ref::steal(PyTuple_Pack(2, first.get(), three));
}

Ref as_bool_view(PyObject* found) {
    PyObject* argv[] = {found, reinterpret_cast<PyObject*>(&PyBool_Type)};
    return Ref::steal(PyObject_VectorcallMethod(str(Str::view), argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref pair(const Ref& first, const Ref& second) { return Ref::steal(PyTuple_Pack(2, first.get(), second.get())); }

}  // namespace quorpy
