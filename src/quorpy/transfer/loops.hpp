// What the transfer bodies share: the scoped GIL release, the row cursors and the one
// loop that calls a native function once per row, and the checks made before it.
//
// Loops run with the GIL released and touch nothing but raw memory read out of views
// beforehand: no Python object, no allocation, no check per element.
#pragma once

#include <Python.h>

#include <bit>
#include <cstdint>
#include <utility>

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

// Cursors hand the native its argument for each row in turn.
struct IndexCursor {
    int i = 0;
    int next() noexcept { return i++; }
};

template <typename T>
struct PackedRowCursor {
    T* p;
    T* next() noexcept { return std::exchange(p, p + 3); }
};

template <typename T>
struct RowCursor {
    char* p;
    Py_ssize_t stride;
    T* next() noexcept { return reinterpret_cast<T*>(std::exchange(p, p + stride)); }
};

template <typename T>
RowCursor<T> rows_of(const View& v) noexcept {
    return {v.data(), v.stride(0)};
}

// Elements written one after the other.
template <typename T>
struct ElementCursor {
    T* p;
    T* next() noexcept { return p++; }
};

struct ValueCursor {
    const float* p;
    float next() noexcept { return *p++; }
};

inline ValueCursor values_of(const View& v) noexcept { return {reinterpret_cast<const float*>(v.data())}; }

// A row cursor is packed when its rows are three elements one after the other, the
// common case; its packed form steps by a constant, which needs no register. Every other
// cursor steps by a constant already, and is its own packed form.
template <typename Cursor>
bool packed(const Cursor&) noexcept {
    return true;
}
template <typename Cursor>
Cursor as_packed(const Cursor& c) noexcept {
    return c;
}
template <typename T>
bool packed(const RowCursor<T>& c) noexcept {
    return c.stride == static_cast<Py_ssize_t>(3 * sizeof(T));
}
template <typename T>
PackedRowCursor<T> as_packed(const RowCursor<T>& c) noexcept {
    return {reinterpret_cast<T*>(c.p)};
}

// The loop itself, in a function of its own so that nothing else competes for the
// registers a native call preserves. Every value the loop keeps across the call needs
// one (the native, inst, h, the count and each cursor), and a compiler short of them
// that keeps a changing row pointer in memory puts a store and a reload on each
// iteration's critical path: inlined into the bodies, one compiler did, and doubled the
// time per row with the cheapest natives. Counting down needs no bound besides.
template <typename Native, typename... Cursors>
QUORPY_NOINLINE void call_per_row(Native f, u64 inst, u64 h, Py_ssize_t n, Cursors... cursors) noexcept {
    for (; n > 0; --n) f(inst, h, cursors.next()...);
}

// Returns loop(cursors...), with every cursor in its packed form if all are packed: one
// test before a loop, none in it.
template <typename Loop, typename... Cursors>
auto with_packed(Loop loop, Cursors... cursors) noexcept {
    if ((packed(cursors) && ...)) return loop(as_packed(cursors)...);
    return loop(cursors...);
}

// Calls `fn` as a `Native` once per row, in row order, with the GIL released once
// (also for zero rows). The native's result, if any, is discarded.
template <typename Native, typename... Cursors>
void for_each_row(const Args& a, Py_ssize_t n, Cursors... cursors) noexcept {
    const auto f = reinterpret_cast<Native>(a.fn);
    const u64 inst = a.inst, h = a.h;
    GilReleased nogil;
    with_packed([&](auto... packed_or_not) { call_per_row(f, inst, h, n, packed_or_not...); }, cursors...);
}

// "s" after a count other than one, for messages.
inline const char* plural(Py_ssize_t count) noexcept { return count == 1 ? "" : "s"; }

// Checks made once before a loop; each returns false with ValueError set.

// A null address is never called.
bool require_fn(const Args& a);
// A caller's (rows, cols) array with rows must have at least three columns.
bool require_columns(const char* name, const View& v);
// `vals` must cover every row of `pos`; `unit` is what one of its rows is called.
bool require_values(const View& vals, const View& pos, const char* unit);

}  // namespace quorpy
