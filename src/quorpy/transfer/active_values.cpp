// Active-value extraction: a traversal reports every active value of a field through a
// callback that carries no context. A count pass sizes the result arrays, then a fill
// pass writes each reported element straight into them. A field that loses elements
// between the passes gives the rows the fill pass reported, in arrays of their size; one
// that gains elements fails the call, and nothing is written past the arrays.
//
// The callbacks find the cursor and the output buffers in thread-local state. The
// runtime calls them synchronously on the thread that started the traversal, so
// extractions on other threads (the GIL is released during traversals) cannot move
// this one's cursor, and no lock is needed. On its own thread an extraction can be
// nested in another: a traversal written in Python may extract from another field
// before it reports anything, or between two elements. Each extraction therefore puts
// the state back as it found it when it ends, and the outer one carries on from where
// it was.
#include <cstring>

#include "platform.h"
#include "transfer/functions.hpp"
#include "transfer/loops.hpp"

namespace quorpy {
namespace {

struct Traversal {
    Py_ssize_t i;              // elements counted, or index of the next one to write
    Py_ssize_t n;              // rows the fill pass may write: the count pass's result
    char* coords;              // fill pass only: (n, 3) coordinates
    Py_ssize_t coords_stride;  // bytes from one row of coordinates to the next
    char* vals;                // fill pass only: n values, or (n, 3) vectors
    Py_ssize_t vals_stride;    // bytes from one value (or row of three) to the next
};

// Initial-exec TLS (see platform.h): as cheap to reach from a callback as a plain global.
QUORPY_TLS Traversal _g_traversal;

// The thread's traversal state for the length of one extraction: what was there before
// is put back on every way out.
class OwnTraversal {
public:
    OwnTraversal() noexcept : saved_(_g_traversal) {}
    ~OwnTraversal() { _g_traversal = saved_; }
    OwnTraversal(const OwnTraversal&) = delete;
    OwnTraversal& operator=(const OwnTraversal&) = delete;

private:
    const Traversal saved_;
};

// Three floats as one 12-byte copy: bit for bit, NaN payloads included.
void copy3(float* dst, const float* src) noexcept { std::memcpy(dst, src, 3 * sizeof(float)); }

// Where element i of a result goes. The arrays come from `np.empty`, whose rows are
// packed unless `np` was rebound to make them wider: packed ones are stepped by a
// constant, the others by their own row stride. (A stride loaded in every callback
// costs a tenth of the time of the cheapest traversals.)
template <bool packed, std::size_t element_bytes>
float* at(char* base, Py_ssize_t stride, Py_ssize_t i) noexcept {
    return reinterpret_cast<float*>(base + i * (packed ? static_cast<Py_ssize_t>(element_bytes) : stride));
}

// An element beyond the counted ones is counted but not written: the arrays hold
// exactly n rows.
template <bool packed>
void fill_scalar(const float* pc, float v) noexcept {
    Traversal& t = _g_traversal;
    Py_ssize_t i = t.i++;
    if (i >= t.n) return;
    copy3(at<packed, 3 * sizeof(float)>(t.coords, t.coords_stride, i), pc);
    *at<packed, sizeof(float)>(t.vals, t.vals_stride, i) = v;
}

template <bool packed>
void fill_vector(const float* pc, const float* pv) noexcept {
    Traversal& t = _g_traversal;
    Py_ssize_t i = t.i++;
    if (i >= t.n) return;
    copy3(at<packed, 3 * sizeof(float)>(t.coords, t.coords_stride, i), pc);
    copy3(at<packed, 3 * sizeof(float)>(t.vals, t.vals_stride, i), pv);
}

// The runtime calls these through C function pointers (travs_cb_t, travv_cb_t): C linkage.
extern "C" {
void _count_s(const float*, float) { ++_g_traversal.i; }
void _count_v(const float*, const float*) { ++_g_traversal.i; }

void _fill_s(const float* pc, float v) { fill_scalar<true>(pc, v); }
void _fill_s_rows(const float* pc, float v) { fill_scalar<false>(pc, v); }
void _fill_v(const float* pc, const float* pv) { fill_vector<true>(pc, pv); }
void _fill_v_rows(const float* pc, const float* pv) { fill_vector<false>(pc, pv); }
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
    static constexpr travs_cb_t fill_rows = _fill_s_rows;
    static constexpr int ndim = 1;
    static constexpr std::size_t value_bytes = sizeof(float);
    static Ref shape(Py_ssize_t n) { return Ref::steal(PyLong_FromSsize_t(n)); }
};

struct VectorValues {
    using traversal = traverse_v_t;
    static constexpr travv_cb_t count = _count_v;
    static constexpr travv_cb_t fill = _fill_v;
    static constexpr travv_cb_t fill_rows = _fill_v_rows;
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

// Copies the first `rows` rows (of `row_bytes` each) of `from` into `to`, each array at
// its own row stride.
void copy_rows(const View& to, const View& from, Py_ssize_t rows, std::size_t row_bytes) noexcept {
    for (Py_ssize_t i = 0; i < rows; ++i)
        std::memcpy(to.data() + i * to.stride(0), from.data() + i * from.stride(0), row_bytes);
}

// The field lost elements between the two passes. What the fill pass reported is the
// field as it now is, so exactly those rows are handed back, in new arrays of their size.
template <typename Values>
Ref first_rows(PyObject* module, const View& mc, const View& mv, Py_ssize_t rows) {
    Ref coords, vals;
    if (!allocate<Values>(module, rows, coords, vals)) return {};
    if (rows > 0) {
        View to_c, to_v;
        if (!to_c.acquire_result(coords.get(), ElemType::Float, 2, rows, "coords") ||
            !to_v.acquire_result(vals.get(), ElemType::Float, Values::ndim, rows, "vals"))
            return {};
        copy_rows(to_c, mc, rows, 3 * sizeof(float));
        copy_rows(to_v, mv, rows, Values::value_bytes);
    }
    return pair(coords, vals);
}

template <typename Values>
Ref active_values(Args& a) {
    if (!require_fn(a)) return {};
    OwnTraversal own;
    Traversal& t = _g_traversal;
    t.i = 0;
    traverse<typename Values::traversal>(a, Values::count);
    const Py_ssize_t n = t.i;

    Ref coords, vals;
    if (!allocate<Values>(a.module, n, coords, vals)) return {};
    if (n == 0) return pair(coords, vals);

    View mc, mv;
    if (!mc.acquire_result(coords.get(), ElemType::Float, 2, n, "coords") ||
        !mv.acquire_result(vals.get(), ElemType::Float, Values::ndim, n, "vals"))
        return {};
    // Set only now: allocating could have run Python code that extracted too.
    t = {.i = 0,
         .n = n,
         .coords = mc.data(),
         .coords_stride = mc.stride(0),
         .vals = mv.data(),
         .vals_stride = mv.stride(0)};
    // One-axis values are always contiguous.
    const bool packed_rows = packed(rows_of<float>(mc)) && (Values::ndim == 1 || packed(rows_of<float>(mv)));
    traverse<typename Values::traversal>(a, packed_rows ? Values::fill : Values::fill_rows);
    const Py_ssize_t reported = t.i;

    if (reported > n) {
        PyErr_Format(PyExc_RuntimeError,
                     "the field changed during extraction: the count pass reported %zd value%s, the fill pass %zd", n,
                     plural(n), reported);
        return {};
    }
    if (reported < n) return first_rows<Values>(a.module, mc, mv, reported);
    return pair(coords, vals);
}

}  // namespace

Ref scalar_active_values(Args& a) { return active_values<ScalarValues>(a); }
Ref vector_active_values(Args& a) { return active_values<VectorValues>(a); }

}  // namespace quorpy
