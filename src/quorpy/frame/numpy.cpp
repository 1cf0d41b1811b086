#include "frame/numpy.hpp"

#include <atomic>
#include <cstdint>
#include <iterator>
#include <mutex>
#include <utility>

#include "frame/mutex.hpp"

namespace quorpy {
namespace {

// Made at module execution, before any function exists, and kept for the life of the
// process.
PyObject* builtins;
PyObject* dtype_kwnames;  // ("dtype",)
PyObject* three;          // the 3 of every (rows, 3) shape
PyObject* empty_rows;     // (0, 3): the one shape an empty transfer allocates
int watcher = -1;         // the dict watcher, or -1 without one: every lookup is then made afresh

// A call that transfers little is dominated by the two `np` lookups and two attribute
// lookups it makes, so their results are remembered, and forgotten as soon as the
// module namespace or NumPy's namespace changes in any way: a dict watcher on both
// makes the cache exactly as fresh as a new lookup. Only values read straight out of
// those two dicts are remembered; anything reached otherwise is looked up every time.
//
// The watcher only counts changes. CPython calls it from inside a change, holding the
// dict's lock between reading the old value and storing the new one; a watcher that
// waited there for a lock would detach its thread, which lets another thread change the
// same dict in between, and the dict would lose track of its values' references. So
// it takes no lock and calls nothing: entries carry the count they were found at, and
// are used only while it is unchanged.
std::atomic<std::uint64_t> changes;

// Calls on several threads share the entries. Every field is read and written under
// `mutex`, and an entry is handed out as a new reference taken under it, so a thread
// that replaces the entries cannot free one that another thread is about to use.
struct NumpyCache {
    Mutex mutex;
    bool valid = false;
    std::uint64_t found_at = 0;      // `changes` when the entries were looked up
    PyObject* ns = nullptr;          // the module namespace the entries were found through
    PyObject* np = nullptr;          // strong: the module found there as `np`
    PyObject* attr[str_count] = {};  // strong: np.<name>
} cache;

int forget(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    changes.fetch_add(1);
    return 0;
}

// np.<name> as remembered for the namespace `ns`, or an empty Ref.
Ref remembered(PyObject* ns, Str name) {
    std::lock_guard guard(cache.mutex);
    // The type check catches a module whose __class__ was reassigned, which no dict
    // mutation reports.
    if (cache.valid && cache.found_at == changes.load() && cache.ns == ns && Py_IS_TYPE(cache.np, &PyModule_Type))
        return Ref::borrow(cache.attr[static_cast<int>(name)]);
    return {};
}

bool watch(PyObject* dict) {
    if (watcher < 0) return false;
    // Watching sets a bit in a field of the dict that each of its changes rewrites, so
    // it is done under the dict's own lock, or a change on another thread could undo it.
    int watched;
    Py_BEGIN_CRITICAL_SECTION(dict);
    watched = PyDict_Watch(watcher, dict);
    Py_END_CRITICAL_SECTION();
    if (watched == 0) return true;
    PyErr_Clear();
    return false;
}

// Remembers what a lookup that began when `changes` was `seen` found, unless a watched
// dict has changed since then.
void remember(std::uint64_t seen, PyObject* ns, PyObject* np, Str name, PyObject* value) {
    // References are dropped only once the lock is given back and the cache is
    // consistent again: a finaliser that changes a watched dict then invalidates it, as
    // it should.
    PyObject* dropped[std::size(cache.attr) + 2] = {};
    {
        std::lock_guard guard(cache.mutex);
        if (changes.load() != seen) return;
        std::size_t k = 0;
        if (!cache.valid || cache.found_at != seen || cache.ns != ns || cache.np != np) {
            for (PyObject*& entry : cache.attr) dropped[k++] = std::exchange(entry, nullptr);
            dropped[k++] = std::exchange(cache.np, Py_NewRef(np));
            cache.ns = ns;
            cache.found_at = seen;
            cache.valid = true;
        }
        dropped[k++] = std::exchange(cache.attr[static_cast<int>(name)], Py_NewRef(value));
    }
    for (PyObject* old : dropped) Py_XDECREF(old);
}

// PyDict_GetItemRef, made atomic with respect to changes of the dict. Without a GIL, a
// plain read could land between the watcher's call (made first) and the change itself,
// and the value it found, already stale, would be remembered as fresh.
int get_item(PyObject* dict, Str key, PyObject** value) {
    int found;
    Py_BEGIN_CRITICAL_SECTION(dict);
    found = PyDict_GetItemRef(dict, str(key), value);
    Py_END_CRITICAL_SECTION();
    return found;
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
    if (Ref value = remembered(ns, name)) return value;

    // Each dict is watched before it is read, and a value is remembered only if no
    // watched dict changed meanwhile: Python code can run inside a lookup (a key whose
    // __eq__ is called), and other threads can run at any time, and rebind what was
    // just read.
    const bool ns_watched = watch(ns);
    const std::uint64_t seen = changes.load();
    PyObject* found = nullptr;
    if (get_item(ns, Str::np, &found) < 0) return {};
    const bool in_namespace = found != nullptr;
    Ref np = in_namespace ? Ref::steal(found) : lookup_builtin(Str::np);
    if (!np) return {};
    // Module type attributes never shadow the names looked up here, so a plain
    // module's attribute is its namespace entry.
    if (PyModule_CheckExact(np.get())) {
        PyObject* dict = PyModule_GetDict(np.get());
        const bool watched = ns_watched && in_namespace && watch(dict);
        PyObject* value = nullptr;
        if (get_item(dict, name, &value) < 0) return {};
        if (value) {
            if (watched) remember(seen, ns, np.get(), name, value);
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
    watcher = PyDict_AddWatcher(forget);
    if (watcher < 0) PyErr_Clear();
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
