// What the transfer bodies share: the scoped GIL release, the row cursors and the one
// loop that calls a native function once per row, and the checks made before it.
//
// Loops run with the GIL released and touch nothing but raw memory read out of views
// beforehand: no Python object, no allocation, no check per element.
#pragma once

#include <Python.h>

#include <bit>
#include <cstdint>

#include "frame/binding.hpp"
#include "frame/numpy.hpp"
#include "frame/view.hpp"
#include "platform.h"
#include "transfer/native.hpp"

namespace quorpy {

// Releases the GIL for its lifetime. Used only around native loops.
class GilReleased {
public:
    GilReleased() noexcept : state_(PyEval_SaveThread()) {}
    ~GilReleased() { PyEval_RestoreThread(state_); }
    GilReleased(const GilReleased&) = delete;
    GilReleased& operator=(const GilReleased&) = delete;

private:
    PyThreadState* state_;
};

// The quiet NaN stored for values not found.
inline const float not_found_nan = std::bit_cast<float>(std::uint32_t{0x7FC00000});

// Columns hand the native its argument for row i.
struct IndexColumn {
    int at(Py_ssize_t i) const noexcept { return static_cast<int>(i); }
};

template <typename T>
struct RowColumn {
    char* base;
    Py_ssize_t stride;
    T* at(Py_ssize_t i) const noexcept { return reinterpret_cast<T*>(base + i * stride); }
};

template <typename T>
RowColumn<T> rows_of(const View& v) noexcept {
    return {v.data(), v.stride(0)};
}

struct ValueColumn {
    const float* base;
    float at(Py_ssize_t i) const noexcept { return base[i]; }
};

inline ValueColumn values_of(const View& v) noexcept { return {reinterpret_cast<const float*>(v.data())}; }

// The loop itself, in a function of its own so that nothing else competes for the
// registers a native call preserves: every value the loop keeps across the call needs
// one, and a compiler short of them that keeps a row pointer in memory puts a store and
// a reload on each iteration's critical path (inlined into the bodies, one compiler did,
// doubling the time per row with the cheapest natives). An unchanging value kept in
// memory costs only a load.
template <typename Native, typename... Columns>
QUORPY_NOINLINE void call_per_row(Native f, u64 inst, u64 h, Py_ssize_t n, Columns... columns) noexcept {
    for (Py_ssize_t i = 0; i < n; ++i) f(inst, h, columns.at(i)...);
}

// Calls `fn` as a `Native` once per row, in row order, with the GIL released once
// (also for zero rows). The native's result, if any, is discarded.
template <typename Native, typename... Columns>
void for_each_row(const Args& a, Py_ssize_t n, Columns... columns) noexcept {
    GilReleased nogil;
    call_per_row(reinterpret_cast<Native>(a.fn), a.inst, a.h, n, columns...);
}

// Checks made once before a loop; each returns false with ValueError set.

// A null address is never called.
bool require_fn(const Args& a);
// A caller's (rows, cols) array with rows must have at least three columns.
bool require_columns(const char* name, const View& v);
// `vals` must cover every row of `pos`; `unit` is what one of its rows is called.
bool require_values(const View& vals, const View& pos, const char* unit);

}  // namespace quorpy
