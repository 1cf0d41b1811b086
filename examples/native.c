/* A native written against quorpy's header: three entry points of three of its types,
 * for a runtime that holds nothing. A mesh whose vertex i is (i, i * i, h); a scalar
 * field that holds x + y + z wherever x >= 0; and a field of h values, the value i at
 * the position (i, 0, 0). native.py builds it and hands it to quorpy._fastloop. */
#include <quorpy/native.h>

/* A QLgetvec_t: read_vertices calls it once per row, for index 0 to n - 1. */
void example_get_vertex(QLu64 inst, QLu64 h, int index, float* out) {
    (void)inst;
    out[0] = (float)index;
    out[1] = (float)index * (float)index;
    out[2] = (float)h;
}

/* A QLgetscl_t: scalar_get_many calls it once per position. It returns non-zero when
 * there is a value there, having written it. */
unsigned char example_sample(QLu64 inst, QLu64 h, const float* pos, float* value) {
    (void)inst, (void)h;
    if (pos[0] < 0) return 0;
    *value = pos[0] + pos[1] + pos[2];
    return 1;
}

/* A QLtraverse_s_t: scalar_active_values calls it twice (to count, then to fill), and
 * it must report the same values both times. */
void example_traverse(QLu64 inst, QLu64 h, QLtravs_cb_t cb) {
    (void)inst;
    for (QLu64 i = 0; i < h; ++i) {
        const float pos[3] = {(float)i, 0.0f, 0.0f};
        cb(pos, (float)i);
    }
}
