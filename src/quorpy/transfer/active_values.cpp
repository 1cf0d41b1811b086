// Active-value extraction: a traversal reports every active value of a field through a
// callback that carries no context. A count pass sizes the result arrays, then a fill
// pass writes each reported element straight into them. A field that loses elements
// between the passes gives the rows the fill pass reported, in arrays of their size; one
// that gains elements fails the call, and nothing is written past the arrays.
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
QUORPY_TLS Py_ssize_t _g_i;   // elements counted, or index of the next one to write
QUORPY_TLS Py_ssize_t _g_n;   // rows the fill pass may write: the count pass's result
QUORPY_TLS float* _g_coords;  // fill pass only: (n, 3) coordinates
QUORPY_TLS float* _g_vals;    // fill pass only: n values, or (n, 3) vectors

// Three floats as one 12-byte copy: bit for bit, NaN payloads included.
void copy3(float* dst, const float* src) noexcept { std::memcpy(dst, src, 3 * sizeof(float)); }

// The runtime calls these through C function pointers (travs_cb_t, travv_cb_t): C linkage.
extern "C" {
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
}

template <typename Traversal, typename Callback>
void traverse(const Args& a, Callback callback) noexcept {
    auto f = reinterpret_cast<Traversal>(a.fn);
    GilReleased nogil;
    f(a.inst, a.h, callback);
}

struct ScalarValues {
    using traversal = traverse_s_t;
    static constexpr travs_cb_t count = _count_s;
    static constexpr travs_cb_t fill = _fill_s;
    static constexpr int ndim = 1;
    static constexpr std::size_t value_bytes = sizeof(float);
    static Ref shape(Py_ssize_t n) { return Ref::steal(PyLong_FromSsize_t(n)); }
};

struct VectorValues {
    using traversal = traverse_v_t;
    static constexpr travv_cb_t count = _count_v;
    static constexpr travv_cb_t fill = _fill_v;
    static constexpr int ndim = 2;
    static constexpr std::size_t value_bytes = 3 * sizeof(float);
    static Ref shape(Py_ssize_t n) { return rows_of_three(n); }
};

// The result arrays for n elements: np.empty((n, 3)) and np.empty(n) or np.empty((n, 3)).
template <typename Values>
bool allocate(PyObject* module, Py_ssize_t n, Ref& coords, Ref& vals) {
    Ref coords_shape = rows_of_three(n);
    if (!coords_shape) return false;
    coords = call_numpy(module, Str::empty, coords_shape.get(), Str::float32);
    if (!coords) return false;
    Ref vals_shape = Values::shape(n);
    if (!vals_shape) return false;
    vals = call_numpy(module, Str::empty, vals_shape.get(), Str::float32);
    return static_cast<bool>(vals);
}

// The field lost elements between the two passes. What the fill pass reported is the
// field as it now is, so exactly those rows are handed back, in new arrays of their size.
template <typename Values>
Ref first_rows(PyObject* module, const View& mc, const View& mv, Py_ssize_t rows) {
    Ref coords, vals;
    if (!allocate<Values>(module, rows, coords, vals)) return {};
    if (rows > 0) {
        View to_c, to_v;
        if (!to_c.acquire_result(coords.get(), ElemType::Float, 2, rows) ||
            !to_v.acquire_result(vals.get(), ElemType::Float, Values::ndim, rows))
            return {};
        const auto count = static_cast<std::size_t>(rows);
        std::memcpy(to_c.data(), mc.data(), count * 3 * sizeof(float));
        std::memcpy(to_v.data(), mv.data(), count * Values::value_bytes);
    }
    return pair(coords, vals);
}

template <typename Values>
Ref active_values(Args& a) {
    if (!require_fn(a)) return {};
    _g_i = 0;
    traverse<typename Values::traversal>(a, Values::count);
    const Py_ssize_t n = _g_i;

    Ref coords, vals;
    if (!allocate<Values>(a.module, n, coords, vals)) return {};
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
    traverse<typename Values::traversal>(a, Values::fill);
    const Py_ssize_t reported = _g_i;
    _g_coords = _g_vals = nullptr;
    _g_n = 0;

    if (reported > n) {
        PyErr_Format(PyExc_RuntimeError,
                     "the field changed during extraction: the count pass reported %zd values, the fill pass %zd", n,
                     reported);
        return {};
    }
    if (reported < n) return first_rows<Values>(a.module, mc, mv, reported);
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
