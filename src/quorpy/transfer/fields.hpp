// Field access, shared by the scalar and vector families: the setters call the native
// once per row of `pos`; the samplers fill a value array and found flags.
#pragma once

#include <limits>

#include "transfer/loops.hpp"

namespace quorpy {

// Field families differ in the native types, the shape of a value and how a value
// reaches the native: by value from a 1-D `vals` (scalar) or by row address (vector).
struct ScalarField {
    using setter = setscl_t;
    using sampler = getscl_t;
    static constexpr const char* value_unit = "element";
    static ValueColumn values(const View& v) { return values_of(v); }
    static constexpr int value_ndim = 1;
    static Ref value_shape(Py_ssize_t n) { return Ref::steal(PyLong_FromSsize_t(n)); }

    // The native writes into one local; only what it reports found reaches `out`, and
    // NaN is stored in the loop itself, so no row is left for fill_missing().
    static Py_ssize_t sample(sampler f, const Args& a, Py_ssize_t n, RowColumn<const float> pos, const View& out,
                             unsigned char* found) noexcept {
        float* values = reinterpret_cast<float*>(out.data());
        const u64 inst = a.inst, h = a.h;
        float tmp;
        GilReleased nogil;
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (f(inst, h, pos.at(i), &tmp)) {
                values[i] = tmp;
                found[i] = 1;
            } else {
                values[i] = not_found_nan;
            }
        }
        return 0;
    }
    static bool fill_missing(PyObject*, PyObject*) { return true; }
};

struct VectorField {
    using setter = setvec_t;
    using sampler = getvecf_t;
    static constexpr const char* value_unit = "row";
    static RowColumn<const float> values(const View& v) { return rows_of<const float>(v); }
    static constexpr int value_ndim = 2;
    static Ref value_shape(Py_ssize_t n) { return rows_of_three(n); }

    // The native writes straight into the result row, found or not. Returns the number
    // of rows not found.
    static Py_ssize_t sample(sampler f, const Args& a, Py_ssize_t n, RowColumn<const float> pos, const View& out,
                             unsigned char* found) noexcept {
        const RowColumn<float> values = rows_of<float>(out);
        const u64 inst = a.inst, h = a.h;
        Py_ssize_t missing = 0;
        GilReleased nogil;
        for (Py_ssize_t i = 0; i < n; ++i) {
            const bool hit = f(inst, h, pos.at(i), values.at(i)) != 0;
            found[i] = hit;
            missing += !hit;
        }
        return missing;
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
    Py_ssize_t missing = 0;
    if (n > 0) {
        View mo, mf;
        if (!mo.acquire_result(out.get(), ElemType::Float, Field::value_ndim, n) ||
            !mf.acquire_result(found.get(), ElemType::UChar, 1, n))
            return {};
        missing = Field::sample(reinterpret_cast<typename Field::sampler>(a.fn), a, n, rows_of<const float>(pos), mo,
                                reinterpret_cast<unsigned char*>(mf.data()));
    } else {
        // Nothing will be written, so there is no layout to check (a view of a fresh
        // array costs more than the array); the lock is still released once.
        GilReleased nogil;
    }
    Ref flags = as_bool_view(found.get());
    if (!flags) return {};
    // The masked assignment changes nothing when every row was found, and it is most
    // of the cost of a small call: skip it then.
    if (missing > 0 && !Field::fill_missing(out.get(), flags.get())) return {};
    return pair(out, flags);
}

}  // namespace quorpy
