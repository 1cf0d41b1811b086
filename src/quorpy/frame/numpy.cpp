#include "frame/numpy.hpp"

#include <atomic>
#include <cstdint>
#include <iterator>
#include <new>
#include <utility>

#include "platform.h"

namespace quorpy {
namespace {

// Made at module execution, before any function exists, and kept for the life of the
// process.
PyObject* builtins;
PyObject* dtype_kwnames;  // ("dtype",)
PyObject* three;          // the 3 of every (rows, 3) shape
PyObject* empty_rows;     // (0, 3): the one shape an empty transfer allocates
int watcher = -1;         // the dict watcher, or -1 without one: every lookup is then made afresh

PyObject* cache_key;  // of each thread's cache in its thread state's dict

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

int forget(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    changes.fetch_add(1);
    return 0;
}

// Each thread remembers for itself, and holds references of its own: a call takes no
// lock and writes no reference count that other threads' calls write too (np.empty's,
// say, which free-threaded 3.14 no longer makes immortal). The cache lives in the
// thread state's dict, which CPython clears while the thread can still drop references;
// a thread-local pointer only finds it faster.
struct ThreadCache {
    bool valid = false;
    std::uint64_t found_at = 0;      // `changes` when the entries were looked up
    PyObject* ns = nullptr;          // the module namespace the entries were found through
    PyObject* np = nullptr;          // strong: the module found there as `np`
    PyObject* attr[str_count] = {};  // strong: np.<name>
    // Calls of this thread using entries as borrowed references right now. Python code
    // run by such a call (inside np.empty, say) can call the module again on this
    // thread; that call must not replace the entries, which would free them.
    int in_use = 0;

    bool fresh(PyObject* namespace_) const noexcept {
        // The type check catches a module whose __class__ was reassigned, which no dict
        // mutation reports.
        return valid && found_at == changes.load() && ns == namespace_ && Py_IS_TYPE(np, &PyModule_Type);
    }

    // Forgets every entry; returns the references it held, for the caller to drop once
    // the cache is consistent again (dropping one can run Python code that uses it).
    template <std::size_t N>
    std::size_t clear(PyObject* (&dropped)[N]) noexcept {
        static_assert(N >= str_count + 1);
        std::size_t k = 0;
        for (PyObject*& entry : attr) dropped[k++] = std::exchange(entry, nullptr);
        dropped[k++] = std::exchange(np, nullptr);
        valid = false;
        return k;
    }
};

// Bumped whenever a thread's cache is dropped: a thread-local pointer to its cache is
// trusted only while this has not moved, since a thread state (and so its cache) can
// be cleared by another thread, and the next thread state can have the same address.
std::atomic<std::uint64_t> caches_dropped;

struct FoundCache {
    PyThreadState* ts = nullptr;
    std::uint64_t dropped = 0;  // caches_dropped when it was found
    ThreadCache* cache = nullptr;
};
QUORPY_TLS FoundCache found_cache;  // trivially destructible: nothing runs at thread exit

constexpr const char* capsule_name = "quorpy._fastloop.ThreadCache";

void drop_thread_cache(PyObject* capsule) {
    caches_dropped.fetch_add(1);
    auto* cache = static_cast<ThreadCache*>(PyCapsule_GetPointer(capsule, capsule_name));
    PyObject* dropped[str_count + 1];
    const std::size_t k = cache->clear(dropped);
    delete cache;
    for (std::size_t i = 0; i < k; ++i) Py_XDECREF(dropped[i]);
}

// The calling thread's cache, made on its first call; nullptr where none can be made.
ThreadCache* thread_cache() noexcept {
    PyThreadState* ts = PyThreadState_Get();
    const std::uint64_t dropped = caches_dropped.load();
    if (found_cache.ts == ts && found_cache.dropped == dropped) return found_cache.cache;

    PyObject* dict = PyThreadState_GetDict();
    if (!dict) return nullptr;
    ThreadCache* cache = nullptr;
    PyObject* capsule = PyDict_GetItemWithError(dict, cache_key);  // borrowed: this thread's dict
    if (capsule) {
        cache = static_cast<ThreadCache*>(PyCapsule_GetPointer(capsule, capsule_name));
    } else if (!PyErr_Occurred()) {
        auto* made = new (std::nothrow) ThreadCache;
        Ref owner = made ? Ref::steal(PyCapsule_New(made, capsule_name, drop_thread_cache)) : Ref();
        if (!owner) delete made;
        if (owner && PyDict_SetItem(dict, cache_key, owner.get()) == 0) cache = made;
    }
    if (!cache) {
        // Lookups are then simply made afresh.
        PyErr_Clear();
        return nullptr;
    }
    found_cache = {ts, dropped, cache};
    return cache;
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

// Remembers in `cache` what a lookup that began when `changes` was `seen` found, unless
// a watched dict has changed since then, or entries are in use.
void remember(ThreadCache& cache, std::uint64_t seen, PyObject* ns, PyObject* np, Str name, PyObject* value) {
    if (cache.in_use || changes.load() != seen) return;
    PyObject* dropped[str_count + 2] = {};
    std::size_t k = 0;
    if (!cache.valid || cache.found_at != seen || cache.ns != ns || cache.np != np) {
        k = cache.clear(dropped);
        cache.np = Py_NewRef(np);
        cache.ns = ns;
        cache.found_at = seen;
        cache.valid = true;
    }
    dropped[k++] = std::exchange(cache.attr[static_cast<int>(name)], Py_NewRef(value));
    // Dropped only now that the cache is consistent: a finaliser that changes a watched
    // dict then invalidates it, as it should.
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
// else NameError. `cache` is the calling thread's, or nullptr.
Ref numpy_attribute(ThreadCache* cache, PyObject* module, Str name) {
    PyObject* ns = PyModule_GetDict(module);
    if (cache && cache->fresh(ns))
        if (PyObject* value = cache->attr[static_cast<int>(name)]) return Ref::borrow(value);

    // Each dict is watched before it is read, and a value is remembered only if no
    // watched dict changed meanwhile: Python code can run inside a lookup (a key whose
    // __eq__ is called), and other threads can run at any time, and rebind what was
    // just read.
    const bool ns_watched = cache && watch(ns);
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
            if (watched) remember(*cache, seen, ns, np.get(), name, value);
            return Ref::steal(value);
        }
    }
    return Ref::steal(PyObject_GetAttr(np.get(), str(name)));
}

Ref vectorcall(PyObject* callable, PyObject* shape, PyObject* type) {
    PyObject* argv[] = {nullptr, shape, type};
    return Ref::steal(PyObject_Vectorcall(callable, argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, dtype_kwnames));
}

}  // namespace

bool init_numpy_access() noexcept {
    if (!(builtins = PyImport_ImportModule("builtins"))) return false;
    if (!(dtype_kwnames = PyTuple_Pack(1, str(Str::dtype)))) return false;
    if (!(three = PyLong_FromLong(3))) return false;
    if (!(empty_rows = Py_BuildValue("(iO)", 0, three))) return false;
    if (!(cache_key = PyUnicode_InternFromString(capsule_name))) return false;
    watcher = PyDict_AddWatcher(forget);
    if (watcher < 0) PyErr_Clear();
    return true;
}

Ref call_numpy(PyObject* module, Str func, PyObject* shape, Str dtype) {
    ThreadCache* cache = thread_cache();
    if (cache && cache->fresh(PyModule_GetDict(module))) {
        PyObject* callable = cache->attr[static_cast<int>(func)];
        PyObject* type = cache->attr[static_cast<int>(dtype)];
        if (callable && type) {
            ++cache->in_use;
            Ref result = vectorcall(callable, shape, type);
            --cache->in_use;
            return result;
        }
    }
    Ref callable = numpy_attribute(cache, module, func);
    if (!callable) return {};
    Ref type = numpy_attribute(cache, module, dtype);
    if (!type) return {};
    return vectorcall(callable.get(), shape, type.get());
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
