/* Native entry points of the mesh/field runtime, as the transfer functions call them.
 *
 * The one statement of the native contract, in C, for every native written here (the
 * reference runtime, the benchmark's natives and loops, the test natives) and for the
 * extension itself; the benchmark's cffi declarations are read from this file too.
 *
 * The caller hands the extension the address of one of these as an integer, which is
 * reinterpreted without any check. Every entry point takes the library instance handle
 * and the object handle first, runs with the GIL released and has no error channel.
 */
#ifndef QUORPY_TRANSFER_NATIVE_H
#define QUORPY_TRANSFER_NATIVE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* cffi: from here to the end marker, plain declarations only. */

typedef uint64_t u64;

/* One packed record per array row: three float32 / three int32, 12 bytes. */
typedef struct QLVector3 {
    float x, y, z;
} QLVector3;
typedef struct QLTriangle {
    int32_t a, b, c;
} QLTriangle;

/* Mesh readout: write element `index` through the pointer. */
typedef void (*getvec_t)(u64 inst, u64 h, int index, float* out);
typedef void (*gettri_t)(u64 inst, u64 h, int index, int32_t* out);
/* Mesh building: read one record; the int result is not examined. */
typedef int (*addvec_t)(u64 inst, u64 h, const float* v);
typedef int (*addtri_t)(u64 inst, u64 h, const int32_t* t);
/* Field access: setters read a position (and a value); samplers return a found byte
 * and, when non-zero, have written the value through the last pointer. */
typedef void (*setscl_t)(u64 inst, u64 h, const float* pos, float value);
typedef unsigned char (*getscl_t)(u64 inst, u64 h, const float* pos, float* value);
typedef void (*setvec_t)(u64 inst, u64 h, const float* pos, const float* value);
typedef unsigned char (*getvecf_t)(u64 inst, u64 h, const float* pos, float* value);
/* Traversals call back once per active value, synchronously on the calling thread.
 * The pointers handed to a callback are valid only during that call. */
typedef void (*travs_cb_t)(const float* pc, float v);
typedef void (*travv_cb_t)(const float* pc, const float* pv);
typedef void (*traverse_s_t)(u64 inst, u64 h, travs_cb_t cb);
typedef void (*traverse_v_t)(u64 inst, u64 h, travv_cb_t cb);

/* cffi: end. */

#ifdef __cplusplus
}
#define QUORPY_STATIC_ASSERT static_assert
#else
#define QUORPY_STATIC_ASSERT _Static_assert
#endif

QUORPY_STATIC_ASSERT(sizeof(QLVector3) == 12, "QLVector3 must be three packed float32");
QUORPY_STATIC_ASSERT(sizeof(QLTriangle) == 12, "QLTriangle must be three packed int32");

#endif /* QUORPY_TRANSFER_NATIVE_H */
