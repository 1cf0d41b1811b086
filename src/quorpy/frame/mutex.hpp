// The lock for process-wide mutable state (the module's own, module.cpp).
//
// Where the interpreter has a GIL, the GIL already serialises every access to that state
// (none is touched with it released), so Mutex is empty and locking it costs nothing.
// A free-threaded interpreter has no such lock: there it is a PyMutex, which parks a
// waiting thread, detached from the interpreter, instead of spinning.
//
// Nothing that can run Python code may happen while it is held (setting an exception
// included): that code could need the same lock (a finaliser calling the module) on this
// very thread. Nor may it be taken where waiting must not detach the thread, as in a
// dict watcher, which CPython calls inside the dict's critical section.
#pragma once

#include <Python.h>

namespace quorpy {

class Mutex {
public:
    constexpr Mutex() noexcept = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

#ifdef Py_GIL_DISABLED
    void lock() noexcept { PyMutex_Lock(&mutex_); }
    void unlock() noexcept { PyMutex_Unlock(&mutex_); }

private:
    PyMutex mutex_{};
#else
    void lock() noexcept {}
    void unlock() noexcept {}
#endif
};

}  // namespace quorpy
