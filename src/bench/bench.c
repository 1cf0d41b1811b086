/* Helper library of `python -m quorpy.bench`, loaded through ctypes.
 *
 * It holds two things:
 *   - the cheapest natives, one per native type of quorpy/native.h: a
 *     transfer over them costs almost nothing but the transfer itself;
 *   - plain C loops calling any native over arrays the caller made: the per-element
 *     cost at large n that the extension module is compared with.
 * Nothing here times itself; Python times one ctypes call per loop. It also names the
 * compilers of the build, for the benchmark's record.
 */
#include <math.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "../quorpy/platform.h"
#include "quorpy/native.h"

#define API QUORPY_EXPORT

/* ---- the cheapest natives ------------------------------------------------------ */

/* Getters copy row `index & 3` of a static table (the mask keeps rows apart for the
 * tests at no measurable cost). */
API const float qlbench_vertex_table[4][3] = {
    {1.5f, -2.0f, 3.25f}, {4.0f, 5.5f, -6.0f}, {0.0f, 7.0f, 8.5f}, {-9.0f, 10.0f, 0.125f}};
API const int32_t qlbench_triangle_table[4][3] = {{0, 1, 2}, {3, 4, 5}, {6, 7, 8}, {9, 10, 11}};

/* Where adders and setters put what they read: one per thread, or two threads adding
 * at once would fight over its cache line. Their addresses are exported, so the stores
 * stay. */
static QUORPY_TLS float stored[6];
static QUORPY_TLS int32_t istored[3];

/* The calling thread's. */
API float* qlbench_sink(void) { return stored; }
API int32_t* qlbench_isink(void) { return istored; }

API void qlbench_get_vertex(QLu64 inst, QLu64 h, int index, float* out) {
    (void)inst, (void)h;
    memcpy(out, qlbench_vertex_table[index & 3], 12);
}

API void qlbench_get_triangle(QLu64 inst, QLu64 h, int index, int32_t* out) {
    (void)inst, (void)h;
    memcpy(out, qlbench_triangle_table[index & 3], 12);
}

API int qlbench_add_vertex(QLu64 inst, QLu64 h, const float* v) {
    (void)inst, (void)h;
    memcpy(stored, v, 12);
    return 0;
}

API int qlbench_add_triangle(QLu64 inst, QLu64 h, const int32_t* t) {
    (void)inst, (void)h;
    memcpy(istored, t, 12);
    return 0;
}

API void qlbench_scalar_set(QLu64 inst, QLu64 h, const float* pos, float value) {
    (void)inst, (void)h;
    memcpy(stored, pos, 12);
    stored[3] = value;
}

/* Samplers always find: the value is the position's x (plus y and z for vectors). */
API unsigned char qlbench_scalar_sample(QLu64 inst, QLu64 h, const float* pos, float* value) {
    (void)inst, (void)h;
    *value = pos[0];
    return 1;
}

API void qlbench_vector_set(QLu64 inst, QLu64 h, const float* pos, const float* value) {
    (void)inst, (void)h;
    memcpy(stored, pos, 12);
    memcpy(stored + 3, value, 12);
}

API unsigned char qlbench_vector_sample(QLu64 inst, QLu64 h, const float* pos, float* value) {
    (void)inst, (void)h;
    memcpy(value, pos, 12);
    return 1;
}

/* Traversals report the first `h` rows of a table made beforehand by
 * qlbench_reserve (so `h` is the element count, not a handle). */
static float* table_coords; /* (capacity, 3) */
static float* table_values; /* (capacity, 3); scalar traversals report column 0 */
static int64_t table_capacity;

/* Grows the traversal table to at least n rows; row i is (i, i + 0.5, -i) with the
 * value (i / 4, 1, 2). Returns 0, or -1 if out of memory. Not thread-safe: call it
 * before any traversal. */
API int qlbench_reserve(int64_t n) {
    if (n <= table_capacity) return 0;
    float* c = malloc((size_t)n * 12);
    float* v = malloc((size_t)n * 12);
    if (!c || !v) {
        free(c);
        free(v);
        return -1;
    }
    for (int64_t i = 0; i < n; ++i) {
        c[3 * i] = (float)i, c[3 * i + 1] = (float)i + 0.5f, c[3 * i + 2] = -(float)i;
        v[3 * i] = (float)i / 4, v[3 * i + 1] = 1.0f, v[3 * i + 2] = 2.0f;
    }
    free(table_coords);
    free(table_values);
    table_coords = c, table_values = v, table_capacity = n;
    return 0;
}

static int64_t reported(QLu64 h) { return (int64_t)h < table_capacity ? (int64_t)h : table_capacity; }

API void qlbench_scalar_traverse(QLu64 inst, QLu64 h, QLtravs_cb_t cb) {
    (void)inst;
    for (int64_t i = 0, n = reported(h); i < n; ++i) cb(table_coords + 3 * i, table_values[3 * i]);
}

API void qlbench_vector_traverse(QLu64 inst, QLu64 h, QLtravv_cb_t cb) {
    (void)inst;
    for (int64_t i = 0, n = reported(h); i < n; ++i) cb(table_coords + 3 * i, table_values + 3 * i);
}

/* ---- plain C loops over any native ----------------------------------------------- */

API void qlbench_loop_read_vertices(QLgetvec_t f, QLu64 inst, QLu64 h, float* out, int64_t n) {
    for (int64_t i = 0; i < n; ++i) f(inst, h, (int)i, out + 3 * i);
}

API void qlbench_loop_read_triangles(QLgettri_t f, QLu64 inst, QLu64 h, int32_t* out, int64_t n) {
    for (int64_t i = 0; i < n; ++i) f(inst, h, (int)i, out + 3 * i);
}

API void qlbench_loop_add_vertices(QLaddvec_t f, QLu64 inst, QLu64 h, const float* verts, int64_t n) {
    for (int64_t i = 0; i < n; ++i) f(inst, h, verts + 3 * i);
}

API void qlbench_loop_add_triangles(QLaddtri_t f, QLu64 inst, QLu64 h, const int32_t* tris, int64_t n) {
    for (int64_t i = 0; i < n; ++i) f(inst, h, tris + 3 * i);
}

API void qlbench_loop_scalar_set_many(QLsetscl_t f, QLu64 inst, QLu64 h, const float* pos, const float* vals,
                                      int64_t n) {
    for (int64_t i = 0; i < n; ++i) f(inst, h, pos + 3 * i, vals[i]);
}

API void qlbench_loop_vector_set_many(QLsetvec_t f, QLu64 inst, QLu64 h, const float* pos, const float* vals,
                                      int64_t n) {
    for (int64_t i = 0; i < n; ++i) f(inst, h, pos + 3 * i, vals + 3 * i);
}

/* Samplers: the same result as the module's (NaN where not found), so that every
 * contender can be checked against the others. */
API void qlbench_loop_scalar_get_many(QLgetscl_t f, QLu64 inst, QLu64 h, const float* pos, float* vals,
                                      unsigned char* found, int64_t n) {
    for (int64_t i = 0; i < n; ++i) {
        found[i] = f(inst, h, pos + 3 * i, vals + i) != 0;
        if (!found[i]) vals[i] = NAN;
    }
}

API void qlbench_loop_vector_get_many(QLgetvecf_t f, QLu64 inst, QLu64 h, const float* pos, float* vals,
                                      unsigned char* found, int64_t n) {
    for (int64_t i = 0; i < n; ++i) {
        found[i] = f(inst, h, pos + 3 * i, vals + 3 * i) != 0;
        if (!found[i]) vals[3 * i] = vals[3 * i + 1] = vals[3 * i + 2] = NAN;
    }
}

/* Traversals: one pass into arrays the caller sized; the callbacks find them in
 * thread-local state because the native passes no context. Initial-exec TLS: as
 * cheap to reach as a global (the default model calls __tls_get_addr each time). */
static QUORPY_TLS struct {
    float* coords;
    float* vals;
    int64_t i, cap;
} sink;

static void fill_s(const float* pc, float v) {
    int64_t i = sink.i++;
    if (i >= sink.cap) return;
    memcpy(sink.coords + 3 * i, pc, 12);
    sink.vals[i] = v;
}

static void fill_v(const float* pc, const float* pv) {
    int64_t i = sink.i++;
    if (i >= sink.cap) return;
    memcpy(sink.coords + 3 * i, pc, 12);
    memcpy(sink.vals + 3 * i, pv, 12);
}

static void count_s(const float* pc, float v) {
    (void)pc, (void)v;
    ++sink.i;
}

static void count_v(const float* pc, const float* pv) {
    (void)pc, (void)pv;
    ++sink.i;
}

/* A traversal gives no count, so any caller that fills arrays of the exact size, as
 * these loops do, must count first: one counting traversal, then one filling
 * traversal into the preallocated arrays. Both return how many values the fill
 * reported (at most `cap` are stored). */
API int64_t qlbench_loop_scalar_active_values(QLtraverse_s_t f, QLu64 inst, QLu64 h, float* coords, float* vals,
                                              int64_t cap) {
    sink.i = 0;
    f(inst, h, count_s);
    sink.coords = coords, sink.vals = vals, sink.cap = sink.i < cap ? sink.i : cap, sink.i = 0;
    f(inst, h, fill_s);
    return sink.i;
}

API int64_t qlbench_loop_vector_active_values(QLtraverse_v_t f, QLu64 inst, QLu64 h, float* coords, float* vals,
                                              int64_t cap) {
    sink.i = 0;
    f(inst, h, count_v);
    sink.coords = coords, sink.vals = vals, sink.cap = sink.i < cap ? sink.i : cap, sink.i = 0;
    f(inst, h, fill_v);
    return sink.i;
}

/* ---- the build ------------------------------------------------------------------- */

#define QLBENCH_STRING_(x) #x
#define QLBENCH_STRING(x) QLBENCH_STRING_(x)

/* The compiler of this library, in its own words. */
API const char* qlbench_c_compiler(void) {
#if defined(__clang__)
    return __VERSION__; /* "Clang 14.0.6", "Debian Clang 14.0.6"... */
#elif defined(__GNUC__)
    return "GCC " __VERSION__;
#elif defined(_MSC_VER)
    return "MSVC " QLBENCH_STRING(_MSC_FULL_VER);
#else
    return "unknown";
#endif
}

/* The C++ compiler of the extension module, as CMake found it (same build). */
API const char* qlbench_cxx_compiler(void) {
#ifdef QUORPY_CXX_COMPILER
    return QUORPY_CXX_COMPILER;
#else
    return "unknown";
#endif
}
