// Active-value extraction: a traversal reports every active value of a field through a
// callback that carries no context. A count pass sizes the result arrays, then a fill
// pass writes each reported element straight into them.
//
// The callbacks find the cursor and the output buffers in thread-local state. The
// runtime calls them synchronously on the thread that started the traversal, so each
// thread's extraction has its own state: concurrent extractions (the GIL is released
// during traversals) cannot move each other's cursor, and no lock is needed.
#include <cstring>

#include "platform.h"
#include "transfer/functions.hpp"
#include "transfer/loops.hpp"

namespace quorpy {
namespace {

// Initial-exec TLS (see platform.h): as cheap to reach from a callback as a plain global.
QUORPY_TLS Py_ssize_t _g_i;         // elements counted, or index of the next one to write
QUORPY_TLS Py_ssize_t _g_n;         // rows the fill pass may write: the count pass's result
QUORPY_TLS float* _g_coords;        // fill pass only: (n, 3) coordinates
QUORPY_TLS float* _g_vals;          // fill pass only: n values, or (n, 3) vectors

// Three floats as one 12-byte copy: bit for bit, NaN payloads included.
void copy3(float* dst, const float* src) noexcept { std::memcpy(dst, src, 3 * sizeof(float)); }

void _count_s(const float*, float) { ++_g_i; }
void _count_v(const float*, const float*) { ++_g_i; }

// An element beyond the counted ones is counted but not written: the arrays hold
// exactly _g_n rows.
void _fill_s(const float* pc, float v) {
    Py_ssize_t i = _g_i++;
    if (i >= _g_n) return;
    copy3(_g_coords + 3 * i, pc);
    _g_vals[i] = v;
}

void _fill_v(const float* pc, const float* pv) {
    Py_ssize_t i = _g_i++;
    if (i >= _g_n) return;
    copy3(_g_coords + 3 * i, pc);
    copy3(_g_vals + 3 * i, pv);
}

template <typename Callback>
void traverse(const Args& a, Callback callback) noexcept {
    using Traverse = void (*)(u64, u64, Callback);
    auto f = reinterpret_cast<Traverse>(a.fn);
    GilReleased nogil;
    f(a.inst, a.h, callback);
}

struct ScalarValues {
    static constexpr auto count = _count_s;
    static constexpr auto fill = _fill_s;
    static constexpr int ndim = 1;
    static Ref shape(Py_ssize_t n) { return Ref::steal(PyLong_FromSsize_t(n)); }
};

struct VectorValues {
    static constexpr auto count = _count_v;
    static constexpr auto fill = _fill_v;
    static constexpr int ndim = 2;
    static Ref shape(Py_ssize_t n) { return rows_of_three(n); }
};

template <typename Values>
Ref active_values(Args& a) {
    if (!require_fn(a)) return {};
    _g_i = 0;
    traverse(a, Values::count);
    const Py_ssize_t n = _g_i;

    Ref coords_shape = rows_of_three(n);
    if (!coords_shape) return {};
    Ref coords = call_numpy(a.module, Str::empty, coords_shape.get(), Str::float32);
    if (!coords) return {};
    Ref vals_shape = Values::shape(n);
    if (!vals_shape) return {};
    Ref vals = call_numpy(a.module, Str::empty, vals_shape.get(), Str::float32);
    if (!vals) return {};
    if (n == 0) return pair(coords, vals);

    View mc, mv;
    if (!mc.acquire_result(coords.get(), ElemType::Float, 2, n) ||
        !mv.acquire_result(vals.get(), ElemType::Float, Values::ndim, n))
        return {};
    // Set only now: allocating could have run Python code that extracted too.
    _g_coords = reinterpret_cast<float*>(mc.data());
    _g_vals = reinterpret_cast<float*>(mv.data());
    _g_n = n;
    _g_i = 0;
    traverse(a, Values::fill);
    const Py_ssize_t reported = _g_i;
    _g_coords = _g_vals = nullptr;
    _g_n = 0;

    if (reported > n) {
        PyErr_Format(PyExc_RuntimeError,
                     "the field changed during extraction: the count pass reported %zd values, the fill pass %zd",
                     n, reported);
        return {};
    }
    return pair(coords, vals);
}

}  // namespace

void reset_traversal() noexcept {
    _g_i = _g_n = 0;
    _g_coords = _g_vals = nullptr;
}

Ref scalar_active_values(Args& a) { return active_values<ScalarValues>(a); }
Ref vector_active_values(Args& a) { return active_values<VectorValues>(a); }

}  // namespace quorpy
