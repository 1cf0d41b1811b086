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

// Cursors hand out one argument per row; the address advances by the view's own stride.
struct IndexCursor {
    int i = 0;
    int next() noexcept { return i++; }
};

template <typename T>
struct RowCursor {
    char* p;
    Py_ssize_t stride;
    T* next() noexcept {
        T* row = reinterpret_cast<T*>(p);
        p += stride;
        return row;
    }
};

template <typename T>
RowCursor<T> rows_of(const View& v) noexcept {
    return {v.data(), v.stride(0)};
}

struct ValueCursor {
    const float* p;
    float next() noexcept { return *p++; }
};

inline ValueCursor values_of(const View& v) noexcept { return {reinterpret_cast<const float*>(v.data())}; }

// Calls `fn` as a `Native` once per row, in row order, with the GIL released once
// (also for zero rows). The native's result, if any, is discarded.
// Everything the loop reads is a local: the native could write through any pointer it
// was not handed, so fields read through `a` would be reloaded after every call.
template <typename Native, typename... Cursors>
void for_each_row(const Args& a, Py_ssize_t n, Cursors... cursors) noexcept {
    const auto f = reinterpret_cast<Native>(a.fn);
    const u64 inst = a.inst, h = a.h;
    GilReleased nogil;
    for (Py_ssize_t i = 0; i < n; ++i) f(inst, h, cursors.next()...);
}

// Checks made once before a loop; each returns false with ValueError set.

// A null address is never called.
bool require_fn(const Args& a);
// A caller's (rows, cols) array with rows must have at least three columns.
bool require_columns(const char* name, const View& v);
// `vals` must cover every row of `pos`; `unit` is what one of its rows is called.
bool require_values(const View& vals, const View& pos, const char* unit);

}  // namespace quorpy
