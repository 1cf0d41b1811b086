/* Native entry points of the mesh/field runtime, as the transfer functions call them.
 *
 * The one statement of the native contract, in C, for every native written here (the
 * reference runtime, the benchmark's natives and loops, the test natives) and for the
 * extension itself; the benchmark's cffi declarations are read from this file too.
 * A native elsewhere includes it as <quorpy/native.h>, with quorpy.get_include() on
 * the include path.
 *
 * Every name declared here is prefixed, so that it stays out of the way of the names
 * of the file that includes it: types and struct tags with QL (as the records
 * QLVector3 and QLTriangle), macros with QUORPY_.
 *
 * The caller hands the extension the address of one of these as an integer, which is
 * reinterpreted without any check. Every entry point takes the library instance handle
 * and the object handle first, runs with the GIL released and has no error channel.
 */
#ifndef QUORPY_NATIVE_H
#define QUORPY_NATIVE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* cffi: from here to the end marker, plain declarations only. */

typedef uint64_t QLu64;

/* One packed record per array row: three float32 / three int32, 12 bytes. */
typedef struct QLVector3 {
    float x, y, z;
} QLVector3;
typedef struct QLTriangle {
    int32_t a, b, c;
} QLTriangle;

/* Mesh readout: write element `index` through the pointer. */
typedef void (*QLgetvec_t)(QLu64 inst, QLu64 h, int index, float* out);
typedef void (*QLgettri_t)(QLu64 inst, QLu64 h, int index, int32_t* out);
/* Mesh building: read one record; the int result is not examined. */
typedef int (*QLaddvec_t)(QLu64 inst, QLu64 h, const float* v);
typedef int (*QLaddtri_t)(QLu64 inst, QLu64 h, const int32_t* t);
/* Field access: setters read a position (and a value); samplers return a found byte
 * and, when non-zero, have written the value through the last pointer. */
typedef void (*QLsetscl_t)(QLu64 inst, QLu64 h, const float* pos, float value);
typedef unsigned char (*QLgetscl_t)(QLu64 inst, QLu64 h, const float* pos, float* value);
typedef void (*QLsetvec_t)(QLu64 inst, QLu64 h, const float* pos, const float* value);
typedef unsigned char (*QLgetvecf_t)(QLu64 inst, QLu64 h, const float* pos, float* value);
/* Traversals call back once per active value, synchronously on the calling thread.
 * The pointers handed to a callback are valid only during that call. */
typedef void (*QLtravs_cb_t)(const float* pc, float v);
typedef void (*QLtravv_cb_t)(const float* pc, const float* pv);
typedef void (*QLtraverse_s_t)(QLu64 inst, QLu64 h, QLtravs_cb_t cb);
typedef void (*QLtraverse_v_t)(QLu64 inst, QLu64 h, QLtravv_cb_t cb);

/* cffi: end. */

#ifdef __cplusplus
}
#define QUORPY_STATIC_ASSERT static_assert
#else
#define QUORPY_STATIC_ASSERT _Static_assert
#endif

QUORPY_STATIC_ASSERT(sizeof(QLVector3) == 12, "QLVector3 must be three packed float32");
QUORPY_STATIC_ASSERT(sizeof(QLTriangle) == 12, "QLTriangle must be three packed int32");

/* Only the include guard stays defined. */
#undef QUORPY_STATIC_ASSERT

#endif /* QUORPY_NATIVE_H */
