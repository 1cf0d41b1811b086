// The checks made once before a loop (declared in transfer/loops.hpp): each refuses a
// call whose native could otherwise be called with an address it must not reach.
#include "transfer/loops.hpp"

namespace quorpy {

bool require_fn(const Args& a) {
    if (a.fn != 0) return true;
    PyErr_SetString(PyExc_ValueError, "fn is 0: the address of a native function is required");
    return false;
}

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

}  // namespace quorpy
