// Reaching NumPy through the module global `np`, looked up afresh for each use, so
// that rebinding or deleting `np` in the module takes effect on the next call; and the
// results made from what it returns.
#pragma once

#include <Python.h>

#include "frame/names.hpp"
#include "frame/ref.hpp"

namespace quorpy {

// Makes the shared constants and registers the dict watcher; called once.
bool init_numpy_access() noexcept;

// np.<func>(shape, dtype=np.<dtype>), as one vectorcall.
Ref call_numpy(PyObject* module, Str func, PyObject* shape, Str dtype);

// A new shape tuple (rows, 3).
Ref rows_of_three(Py_ssize_t rows);

// found.view(bool): the found flags as the caller receives them.
Ref as_bool_view(PyObject* found);

// The (first, second) tuple a function with two results returns.
Ref pair(const Ref& first, const Ref& second);

}  // namespace quorpy
