#include "transfer/loops.hpp"

namespace quorpy {

bool require_fn(const Args& a) {
    if (a.fn != 0) return true;
    PyErr_SetString(PyExc_ValueError, "fn is 0: the address of a native function is required");
    return false;
}

namespace {
const char* plural(Py_ssize_t count) { return count == 1 ? "" : "s"; }
}  // namespace

bool require_columns(const char* name, const View& v) {
    if (v.rows() == 0 || v.extent(1) >= 3) return true;
    PyErr_Format(PyExc_ValueError, "%s has %zd column%s per row; at least 3 are required", name, v.extent(1),
                 plural(v.extent(1)));
    return false;
}

bool require_values(const View& vals, const View& pos, const char* unit) {
    if (vals.rows() >= pos.rows()) return true;
    PyErr_Format(PyExc_ValueError, "vals has %zd %s%s but pos has %zd row%s", vals.rows(), unit, plural(vals.rows()),
                 pos.rows(), plural(pos.rows()));
    return false;
}

Ref as_bool_view(PyObject* found) {
    PyObject* argv[] = {found, reinterpret_cast<PyObject*>(&PyBool_Type)};
    return Ref::steal(PyObject_VectorcallMethod(str(Str::view), argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref pair(const Ref& first, const Ref& second) { return Ref::steal(PyTuple_Pack(2, first.get(), second.get())); }

}  // namespace quorpy
