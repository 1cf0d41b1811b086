// Mesh building: one adder call per row of the caller's array, read in place.
#include "transfer/functions.hpp"
#include "transfer/loops.hpp"

namespace quorpy {
namespace {

template <typename Adder, typename Record>
Ref add_rows(Args& a, const char* name) {
    const View& rows = a.view[0];
    if (!require_columns(name, rows) || (rows.rows() > 0 && !require_fn(a))) return {};
    for_each_row<Adder>(a, rows.rows(), rows_of<const Record>(rows));
    return Ref::borrow(Py_None);
}

}  // namespace

Ref add_vertices(Args& a) { return add_rows<addvec_t, float>(a, "verts"); }
Ref add_triangles(Args& a) { return add_rows<addtri_t, std::int32_t>(a, "tris"); }

}  // namespace quorpy
