// Field access, shared by the scalar and vector families: the setters call the native
// once per row of `pos`; the samplers fill a value array and found flags.
#pragma once

#include <cstring>
#include <limits>

#include "transfer/loops.hpp"

namespace quorpy {

// Field families differ in the native types, the shape of a value and how a value
// reaches the native: by value from a 1-D `vals` (scalar) or by row address (vector).
struct ScalarField {
    using setter = setscl_t;
    using sampler = getscl_t;
    static constexpr const char* value_unit = "element";
    static ValueCursor values(const View& v) { return values_of(v); }
    static constexpr int value_ndim = 1;
    static Ref value_shape(Py_ssize_t n) { return Ref::steal(PyLong_FromSsize_t(n)); }

    // The native writes into one local; only what it reports found reaches `out`, and
    // NaN is stored in the loop itself, so no row is left for fill_missing().
    static ElementCursor<float> results(const View& out) { return {reinterpret_cast<float*>(out.data())}; }
    template <typename Pos, typename Values>
    QUORPY_NOINLINE static bool sample_rows(sampler f, u64 inst, u64 h, Py_ssize_t n, Pos pos, Values values,
                                            unsigned char* found) noexcept {
        float tmp;
        for (; n > 0; --n, ++found) {
            float* value = values.next();
            if (f(inst, h, pos.next(), &tmp)) {
                *value = tmp;
                *found = 1;
            } else {
                *value = not_found_nan;
            }
        }
        return false;
    }
    static bool fill_missing(PyObject*, PyObject*) { return true; }
};

struct VectorField {
    using setter = setvec_t;
    using sampler = getvecf_t;
    static constexpr const char* value_unit = "row";
    static RowCursor<const float> values(const View& v) { return rows_of<const float>(v); }
    static constexpr int value_ndim = 2;
    static Ref value_shape(Py_ssize_t n) { return rows_of_three(n); }

    // The native writes straight into the result row, found or not. Returns whether a
    // row was not found, counted after the loop: a running count would hold one more
    // register across the native call.
    static RowCursor<float> results(const View& out) { return rows_of<float>(out); }
    template <typename Pos, typename Values>
    QUORPY_NOINLINE static bool sample_rows(sampler f, u64 inst, u64 h, Py_ssize_t n, Pos pos, Values values,
                                            unsigned char* found) noexcept {
        unsigned char* const flags = found;
        for (Py_ssize_t k = n; k > 0; --k) *found++ = f(inst, h, pos.next(), values.next()) != 0;
        return std::memchr(flags, 0, static_cast<std::size_t>(n)) != nullptr;
    }
    // Rows not found become NaN, whatever the native left there: out[~flags] = nan.
    static bool fill_missing(PyObject* out, PyObject* flags) {
        Ref mask = Ref::steal(PyNumber_Invert(flags));
        if (!mask) return false;
        Ref nan = Ref::steal(PyFloat_FromDouble(std::numeric_limits<double>::quiet_NaN()));
        return nan && PyObject_SetItem(out, mask.get(), nan.get()) == 0;
    }
};

template <typename Field>
Ref set_many(Args& a) {
    const View& pos = a.view[0];
    const View& vals = a.view[1];
    if (!require_columns("pos", pos) || !require_values(vals, pos, Field::value_unit)) return {};
    if constexpr (Field::value_ndim == 2)
        if (!require_columns("vals", vals)) return {};
    if (pos.rows() > 0 && !require_fn(a)) return {};
    for_each_row<typename Field::setter>(a, pos.rows(), rows_of<const float>(pos), Field::values(vals));
    return Ref::borrow(Py_None);
}

// Samples the field at every row of `pos`: values in a new array from `empty`, found
// flags in a new uint8 array from `zeros`, returned as (values, flags.view(bool)).
template <typename Field>
Ref get_many(Args& a) {
    const View& pos = a.view[0];
    const Py_ssize_t n = pos.rows();
    if (!require_columns("pos", pos) || (n > 0 && !require_fn(a))) return {};
    Ref count = Ref::steal(PyLong_FromSsize_t(n));
    Ref shape = Field::value_shape(n);
    if (!count || !shape) return {};
    Ref out = call_numpy(a.module, Str::empty, shape.get(), Str::float32);
    if (!out) return {};
    Ref found = call_numpy(a.module, Str::zeros, count.get(), Str::uint8);
    if (!found) return {};
    bool missing = false;
    if (n > 0) {
        View mo, mf;
        if (!mo.acquire_result(out.get(), ElemType::Float, Field::value_ndim, n, "out") ||
            !mf.acquire_result(found.get(), ElemType::UChar, 1, n, "found"))
            return {};
        const auto f = reinterpret_cast<typename Field::sampler>(a.fn);
        const u64 inst = a.inst, h = a.h;
        auto* flags = reinterpret_cast<unsigned char*>(mf.data());
        GilReleased nogil;
        missing = with_packed(
            [&](auto pos_rows, auto results) { return Field::sample_rows(f, inst, h, n, pos_rows, results, flags); },
            rows_of<const float>(pos), Field::results(mo));
    } else {
        // Nothing will be written, so there is no layout to check (a view of a fresh
        // array costs more than the array); the lock is still released once.
        GilReleased nogil;
    }
    Ref flags = as_bool_view(found.get());
    if (!flags) return {};
    // The masked assignment changes nothing when every row was found, and it is most
    // of the cost of a small call: skip it then.
    if (missing && !Field::fill_missing(out.get(), flags.get())) return {};
    return pair(out, flags);
}

}  // namespace quorpy
