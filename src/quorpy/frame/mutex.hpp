// The lock for process-wide state that calls share.
//
// Where the interpreter has a GIL, the GIL already serialises every access to that state
// (none is touched with it released), so Mutex is empty and locking it costs nothing.
// A free-threaded interpreter has no such lock: there it is a PyMutex, which parks a
// waiting thread, detached from the interpreter, instead of spinning.
//
// Nothing that can run Python code may happen while it is held: that code could need
// the same lock (a dict watcher, a finaliser) on this very thread.
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
