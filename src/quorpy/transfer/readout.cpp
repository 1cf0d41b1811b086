// Mesh readout: the first n vertices or triangles of a mesh as a new (n, 3) array,
// one getter call per row writing straight into the row.
#include "transfer/functions.hpp"
#include "transfer/loops.hpp"

namespace quorpy {
namespace {

template <typename Getter, typename Record, ElemType type, Str dtype>
Ref read_rows(Args& a) {
    // n < 0 is refused by NumPy below, before any call.
    if (a.n > 0 && !require_fn(a)) return {};
    Ref shape = rows_of_three(a.n);
    if (!shape) return {};
    Ref out = call_numpy(a.module, Str::empty, shape.get(), dtype);
    if (!out || a.n == 0) return out;
    View mv;
    if (!mv.acquire_result(out.get(), type, 2, a.n, "out")) return {};
    for_each_row<Getter>(a, a.n, IndexCursor{}, rows_of<Record>(mv));
    return out;
}

}  // namespace

Ref read_vertices(Args& a) { return read_rows<getvec_t, float, ElemType::Float, Str::float32>(a); }
Ref read_triangles(Args& a) { return read_rows<gettri_t, std::int32_t, ElemType::Int, Str::int32>(a); }

}  // namespace quorpy
