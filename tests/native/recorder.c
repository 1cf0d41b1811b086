/*
 * Recording stand-ins for the runtime's per-element entry points, used by the
 * test suite.  Every entry point appends one record to a process-wide log: who
 * was called, with which handles, index and pointers, what it read through its
 * input pointers, what it returned, and whether the calling thread held the
 * GIL at that moment.  Tests configure beforehand what the getters, samplers,
 * adders and traversals write or report, and read the log afterwards through
 * ctypes.
 *
 * The library is not linked against libpython: the two Python symbols it uses
 * (to tell whether the caller holds the GIL) resolve from the interpreter that
 * loads it.  Nothing here needs the GIL: load it through ctypes.CDLL.
 *
 * The log and the configuration are guarded by one mutex, so threads may call
 * the entry points at the same time.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <errno.h>
#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "platform.h"
#include "quorpy/native.h"

#define EXPORT QUORPY_EXPORT

enum { K_GETVEC = 1, K_GETTRI, K_ADDVEC, K_ADDTRI, K_SETSCL, K_GETSCL, K_SETVEC, K_GETVECF, K_TRAVS, K_TRAVV, K_END };

/* Record flags. */
enum {
    F_P0_NULL = 1,     /* first pointer was null: nothing read or written through it */
    F_P1_NULL = 2,     /* second pointer was null */
    F_RDV_TIMEOUT = 4, /* the rendezvous timed out: the other threads never arrived */
    F_WROTE = 8,       /* the entry point wrote a value through its output pointer */
    F_RDV = 16         /* this call took part in a rendezvous */
};

/* One log record.  Mirrored field by field by RecordStruct in tests/recorder.py. */
typedef struct {
    int64_t seq;   /* position in the log, from 0 */
    int32_t kind;  /* K_* */
    int32_t index; /* index argument of getvec/gettri; -1 otherwise */
    uint64_t inst;
    uint64_t h;
    uint64_t p0;         /* first pointer argument (out, v, t, pos) or the callback */
    uint64_t p1;         /* second pointer argument (value pointer) */
    uint64_t thread;     /* pthread_self() of the calling thread */
    uint8_t in0[12];     /* 12 bytes read through the first input pointer */
    uint8_t in1[12];     /* 12 bytes read through the second input pointer (setvec) */
    uint32_t value_bits; /* bits of the float value passed to setscl */
    int32_t gil;         /* PyGILState_Check() on entry */
    int32_t attached;    /* a thread state was attached on entry */
    int32_t ret;         /* returned value; for traversals the number of elements reported */
    int32_t ordinal;     /* how many calls of this kind preceded this one since the reset */
    int32_t flags;       /* F_* */
} rec_t;

static pthread_mutex_t g_mu = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_cv = PTHREAD_COND_INITIALIZER;

static rec_t* g_log;
static int64_t g_log_len, g_log_cap;
static int g_logging = 1;
static int64_t g_seq;
static int32_t g_ordinal[K_END];
static int64_t g_counts[K_END];

/* Getter configuration: a table of 3 words per row (NULL: values derived from
 * the index) and a mask of rows to leave unwritten. */
static uint32_t* g_table;
static int64_t g_table_rows;
static uint8_t* g_skip;
static int64_t g_skip_len;

/* Adders: the int they return. */
static int32_t g_add_ret[K_END];

/* Samplers (getscl, getvecf): per call ordinal, cycled. */
typedef struct {
    uint8_t* ret; /* returned byte; empty: 1 */
    int64_t ret_len;
    uint8_t* write; /* whether to write a value; empty: write */
    int64_t write_len;
    uint32_t* vals;   /* words written (1 or 3 per call); empty: derived from the ordinal */
    int64_t vals_len; /* in calls */
} sampler_cfg;
static sampler_cfg g_sampler[K_END];

/* Traversals: elements (coordinate + value) and how many to report per pass. */
typedef struct {
    uint32_t* coords; /* 3 words per element */
    uint32_t* vals;   /* 1 (scalar) or 3 (vector) words per element */
    int64_t nelem;
    int64_t* passes; /* elements reported on call k; the last entry serves later calls */
    int64_t npasses; /* 0: every call reports nelem elements */
} trav_cfg;
static trav_cfg g_trav[K_END];

/* Rendezvous: while armed, the first call of each thread waits until `n`
 * threads have arrived (or the timeout passes).  Only possible when every
 * caller has released the GIL. */
static int g_rdv_n;
static int g_rdv_timeout_ms;
static int g_rdv_arrived;
static int g_rdv_gen;
static __thread int t_rdv_gen;

/* Buffers handed to traversal callbacks: one per thread, reused for every
 * element, scribbled over after each callback returns. */
static __thread float t_cb_coord[3];
static __thread float t_cb_val[3];

/* ---------------------------------------------------------------- values */

/* Bits of component c of the vector that the getters write at index i when no
 * table is set.  Every sixth row holds specials: a NaN with a payload, -0.0,
 * +inf; and -inf, a signalling NaN, the smallest subnormal. */
EXPORT uint32_t rec_vec_bits(int64_t i, int c) {
    static const uint32_t special_a[3] = {0x7FC0BEEFu, 0x80000000u, 0x7F800000u};
    static const uint32_t special_b[3] = {0xFF800000u, 0x7F800001u, 0x00000001u};
    int64_t m = ((i % 6) + 6) % 6;
    if (m == 4) {
        return special_a[c];
    }
    if (m == 5) {
        return special_b[c];
    }
    float f = (float)(i * 3 + c) + 0.25f;
    if (i & 1) {
        f = -f;
    }
    uint32_t bits;
    memcpy(&bits, &f, sizeof bits);
    return bits;
}

/* Component c of the triangle that the getters write at index i. */
EXPORT int32_t rec_tri_value(int64_t i, int c) {
    static const int32_t special[3] = {INT32_MIN, -1, INT32_MAX};
    if (((i % 4) + 4) % 4 == 3) {
        return special[c];
    }
    switch (c) {
    case 0: return (int32_t)(i * 3);
    case 1: return (int32_t)(-(i + 1));
    default: return (int32_t)(i ^ 0x5A5A5A5A);
    }
}

/* ---------------------------------------------------------------- log */

static void rec_begin(rec_t* r, int kind, uint64_t inst, uint64_t h) {
    memset(r, 0, sizeof *r);
    r->kind = kind;
    r->index = -1;
    r->inst = inst;
    r->h = h;
    r->gil = PyGILState_Check();
    r->attached = PyThreadState_GetUnchecked() != NULL;
    r->thread = (uint64_t)pthread_self();
}

/* Called with g_mu held. */
static void rec_append_locked(rec_t* r) {
    r->seq = g_seq++;
    g_counts[r->kind]++;
    if (!g_logging) {
        return;
    }
    if (g_log_len == g_log_cap) {
        int64_t cap = g_log_cap ? g_log_cap * 2 : 1024;
        rec_t* p = realloc(g_log, (size_t)cap * sizeof *p);
        if (!p) {
            return; /* out of memory: drop the record, the counts still move */
        }
        g_log = p;
        g_log_cap = cap;
    }
    g_log[g_log_len++] = *r;
}

static void rendezvous(rec_t* r) {
    pthread_mutex_lock(&g_mu);
    if (g_rdv_n > 0 && t_rdv_gen != g_rdv_gen) {
        t_rdv_gen = g_rdv_gen;
        r->flags |= F_RDV;
        g_rdv_arrived++;
        pthread_cond_broadcast(&g_cv);
        struct timespec deadline;
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_sec += g_rdv_timeout_ms / 1000;
        deadline.tv_nsec += (long)(g_rdv_timeout_ms % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec++;
            deadline.tv_nsec -= 1000000000L;
        }
        while (g_rdv_arrived < g_rdv_n) {
            if (pthread_cond_timedwait(&g_cv, &g_mu, &deadline) == ETIMEDOUT) {
                if (g_rdv_arrived < g_rdv_n) {
                    r->flags |= F_RDV_TIMEOUT;
                }
                break;
            }
        }
    }
    pthread_mutex_unlock(&g_mu);
}

static void read12(uint8_t dst[12], const void* src) {
    if (src) {
        memcpy(dst, src, 12);
    }
}

/* ---------------------------------------------------------------- mesh readout */

/* Called with g_mu held.  Returns 0 when row `index` is to be left alone. */
static int getter_words(int kind, int64_t index, uint32_t w[3]) {
    if (index >= 0 && index < g_skip_len && g_skip[index]) {
        return 0;
    }
    if (g_table) {
        if (index < 0 || index >= g_table_rows) {
            return 0;
        }
        memcpy(w, g_table + 3 * index, 12);
        return 1;
    }
    for (int c = 0; c < 3; c++) {
        if (kind == K_GETVEC) {
            w[c] = rec_vec_bits(index, c);
        } else {
            int32_t v = rec_tri_value(index, c);
            memcpy(&w[c], &v, 4);
        }
    }
    return 1;
}

static void index_getter(int kind, uint64_t inst, uint64_t h, int index, void* out) {
    rec_t r;
    rec_begin(&r, kind, inst, h);
    r.index = index;
    r.p0 = (uint64_t)(uintptr_t)out;
    rendezvous(&r);
    uint32_t w[3];
    pthread_mutex_lock(&g_mu);
    int write = getter_words(kind, index, w);
    if (!out) {
        r.flags |= F_P0_NULL;
        write = 0;
    }
    if (write) {
        r.flags |= F_WROTE;
    }
    r.ordinal = g_ordinal[kind]++;
    rec_append_locked(&r);
    pthread_mutex_unlock(&g_mu);
    if (write) {
        memcpy(out, w, 12);
    }
}

EXPORT void rec_getvec(uint64_t inst, uint64_t h, int index, float* out) {
    index_getter(K_GETVEC, inst, h, index, out);
}

EXPORT void rec_gettri(uint64_t inst, uint64_t h, int index, int32_t* out) {
    index_getter(K_GETTRI, inst, h, index, out);
}

/* ---------------------------------------------------------------- mesh building */

static int adder(int kind, uint64_t inst, uint64_t h, const void* p) {
    rec_t r;
    rec_begin(&r, kind, inst, h);
    r.p0 = (uint64_t)(uintptr_t)p;
    if (p) {
        read12(r.in0, p);
    } else {
        r.flags |= F_P0_NULL;
    }
    rendezvous(&r);
    pthread_mutex_lock(&g_mu);
    r.ret = g_add_ret[kind];
    r.ordinal = g_ordinal[kind]++;
    rec_append_locked(&r);
    pthread_mutex_unlock(&g_mu);
    return r.ret;
}

EXPORT int rec_addvec(uint64_t inst, uint64_t h, const float* v) { return adder(K_ADDVEC, inst, h, v); }

EXPORT int rec_addtri(uint64_t inst, uint64_t h, const int32_t* t) { return adder(K_ADDTRI, inst, h, t); }

/* ---------------------------------------------------------------- field setters */

EXPORT void rec_setscl(uint64_t inst, uint64_t h, const float* pos, float value) {
    rec_t r;
    rec_begin(&r, K_SETSCL, inst, h);
    r.p0 = (uint64_t)(uintptr_t)pos;
    if (pos) {
        read12(r.in0, pos);
    } else {
        r.flags |= F_P0_NULL;
    }
    memcpy(&r.value_bits, &value, 4);
    rendezvous(&r);
    pthread_mutex_lock(&g_mu);
    r.ordinal = g_ordinal[K_SETSCL]++;
    rec_append_locked(&r);
    pthread_mutex_unlock(&g_mu);
}

EXPORT void rec_setvec(uint64_t inst, uint64_t h, const float* pos, const float* value) {
    rec_t r;
    rec_begin(&r, K_SETVEC, inst, h);
    r.p0 = (uint64_t)(uintptr_t)pos;
    r.p1 = (uint64_t)(uintptr_t)value;
    if (pos) {
        read12(r.in0, pos);
    } else {
        r.flags |= F_P0_NULL;
    }
    if (value) {
        read12(r.in1, value);
    } else {
        r.flags |= F_P1_NULL;
    }
    rendezvous(&r);
    pthread_mutex_lock(&g_mu);
    r.ordinal = g_ordinal[K_SETVEC]++;
    rec_append_locked(&r);
    pthread_mutex_unlock(&g_mu);
}

/* ---------------------------------------------------------------- samplers */

static unsigned char sampler(int kind, uint64_t inst, uint64_t h, const float* pos, float* value, int words) {
    rec_t r;
    rec_begin(&r, kind, inst, h);
    r.p0 = (uint64_t)(uintptr_t)pos;
    r.p1 = (uint64_t)(uintptr_t)value;
    if (pos) {
        read12(r.in0, pos);
    } else {
        r.flags |= F_P0_NULL;
    }
    if (!value) {
        r.flags |= F_P1_NULL;
    }
    rendezvous(&r);
    uint32_t w[3];
    pthread_mutex_lock(&g_mu);
    sampler_cfg* cfg = &g_sampler[kind];
    int32_t k = g_ordinal[kind]++;
    r.ordinal = k;
    unsigned char ret = cfg->ret_len ? cfg->ret[k % cfg->ret_len] : 1;
    int write = cfg->write_len ? cfg->write[k % cfg->write_len] != 0 : 1;
    for (int c = 0; c < words; c++) {
        w[c] = cfg->vals_len ? cfg->vals[(k % cfg->vals_len) * words + c] : rec_vec_bits(k, c);
    }
    if (!value) {
        write = 0;
    }
    if (write) {
        r.flags |= F_WROTE;
    }
    r.ret = ret;
    rec_append_locked(&r);
    pthread_mutex_unlock(&g_mu);
    if (write) {
        memcpy(value, w, (size_t)words * 4);
    }
    return ret;
}

EXPORT unsigned char rec_getscl(uint64_t inst, uint64_t h, const float* pos, float* value) {
    return sampler(K_GETSCL, inst, h, pos, value, 1);
}

EXPORT unsigned char rec_getvecf(uint64_t inst, uint64_t h, const float* pos, float* value) {
    return sampler(K_GETVECF, inst, h, pos, value, 3);
}

/* ---------------------------------------------------------------- traversals */

static void scribble(void) {
    memset(t_cb_coord, 0xA5, sizeof t_cb_coord);
    memset(t_cb_val, 0xA5, sizeof t_cb_val);
}

static void traverse(int kind, uint64_t inst, uint64_t h, void* cb) {
    rec_t r;
    rec_begin(&r, kind, inst, h);
    r.p0 = (uint64_t)(uintptr_t)cb;
    if (!cb) {
        r.flags |= F_P0_NULL;
    }
    rendezvous(&r);
    int words = kind == K_TRAVS ? 1 : 3;
    pthread_mutex_lock(&g_mu);
    trav_cfg* cfg = &g_trav[kind];
    int32_t k = g_ordinal[kind]++;
    r.ordinal = k;
    int64_t count = cfg->nelem;
    if (cfg->npasses) {
        count = cfg->passes[k < cfg->npasses ? k : cfg->npasses - 1];
    }
    if (cfg->nelem == 0 || count < 0 || !cb) {
        count = 0;
    }
    /* Snapshot what is reported so that the callbacks run without the mutex. */
    uint32_t *coords = NULL, *vals = NULL;
    if (count) {
        coords = malloc((size_t)count * 12);
        vals = malloc((size_t)count * 4 * (size_t)words);
        if (!coords || !vals) {
            count = 0;
        }
        for (int64_t j = 0; j < count; j++) {
            int64_t e = j % cfg->nelem;
            memcpy(coords + 3 * j, cfg->coords + 3 * e, 12);
            memcpy(vals + words * j, cfg->vals + words * e, (size_t)words * 4);
        }
    }
    r.ret = (int32_t)count;
    rec_append_locked(&r);
    pthread_mutex_unlock(&g_mu);
    for (int64_t j = 0; j < count; j++) {
        memcpy(t_cb_coord, coords + 3 * j, 12);
        memcpy(t_cb_val, vals + words * j, (size_t)words * 4);
        if (kind == K_TRAVS) {
            ((QLtravs_cb_t)cb)(t_cb_coord, t_cb_val[0]);
        } else {
            ((QLtravv_cb_t)cb)(t_cb_coord, t_cb_val);
        }
        scribble();
    }
    free(coords);
    free(vals);
}

EXPORT void rec_traverse_s(uint64_t inst, uint64_t h, QLtravs_cb_t cb) { traverse(K_TRAVS, inst, h, (void*)cb); }

EXPORT void rec_traverse_v(uint64_t inst, uint64_t h, QLtravv_cb_t cb) { traverse(K_TRAVV, inst, h, (void*)cb); }

/* ---------------------------------------------------------------- controls */

/* Each entry point has exactly the type the module calls it through. */
#define HAS_TYPE(f, t) _Static_assert(__builtin_types_compatible_p(__typeof__(&f), t), #f " must be a " #t)
HAS_TYPE(rec_getvec, QLgetvec_t);
HAS_TYPE(rec_gettri, QLgettri_t);
HAS_TYPE(rec_addvec, QLaddvec_t);
HAS_TYPE(rec_addtri, QLaddtri_t);
HAS_TYPE(rec_setscl, QLsetscl_t);
HAS_TYPE(rec_getscl, QLgetscl_t);
HAS_TYPE(rec_setvec, QLsetvec_t);
HAS_TYPE(rec_getvecf, QLgetvecf_t);
HAS_TYPE(rec_traverse_s, QLtraverse_s_t);
HAS_TYPE(rec_traverse_v, QLtraverse_v_t);

EXPORT int rec_record_size(void) { return (int)sizeof(rec_t); }

/* Empty the log and restart the per-kind ordinals and counts. */
EXPORT void rec_reset_log(void) {
    pthread_mutex_lock(&g_mu);
    g_log_len = 0;
    g_seq = 0;
    memset(g_ordinal, 0, sizeof g_ordinal);
    memset(g_counts, 0, sizeof g_counts);
    pthread_mutex_unlock(&g_mu);
}

static void* dup_array(const void* src, size_t bytes) {
    if (!src || !bytes) {
        return NULL;
    }
    void* p = malloc(bytes);
    if (p) {
        memcpy(p, src, bytes);
    }
    return p;
}

static void clear_sampler(sampler_cfg* s) {
    free(s->ret);
    free(s->write);
    free(s->vals);
    memset(s, 0, sizeof *s);
}

static void clear_trav(trav_cfg* t) {
    free(t->coords);
    free(t->vals);
    free(t->passes);
    memset(t, 0, sizeof *t);
}

/* Back to the defaults: derived getter values, no skipped rows, adders return
 * 0, samplers find everything, traversals report nothing, no rendezvous,
 * logging on. */
EXPORT void rec_reset_config(void) {
    pthread_mutex_lock(&g_mu);
    free(g_table);
    g_table = NULL;
    g_table_rows = 0;
    free(g_skip);
    g_skip = NULL;
    g_skip_len = 0;
    memset(g_add_ret, 0, sizeof g_add_ret);
    for (int k = 0; k < K_END; k++) {
        clear_sampler(&g_sampler[k]);
        clear_trav(&g_trav[k]);
    }
    g_rdv_n = 0;
    g_rdv_arrived = 0;
    g_logging = 1;
    pthread_mutex_unlock(&g_mu);
}

EXPORT void rec_set_logging(int on) {
    pthread_mutex_lock(&g_mu);
    g_logging = on;
    pthread_mutex_unlock(&g_mu);
}

EXPORT int64_t rec_log_count(void) {
    pthread_mutex_lock(&g_mu);
    int64_t n = g_log_len;
    pthread_mutex_unlock(&g_mu);
    return n;
}

/* Calls of one kind since the reset, logged or not. */
EXPORT int64_t rec_call_count(int kind) {
    if (kind <= 0 || kind >= K_END) {
        return -1;
    }
    pthread_mutex_lock(&g_mu);
    int64_t n = g_counts[kind];
    pthread_mutex_unlock(&g_mu);
    return n;
}

/* Copy up to `max` records from position `start`; returns how many were copied. */
EXPORT int64_t rec_log_read(rec_t* dst, int64_t start, int64_t max) {
    pthread_mutex_lock(&g_mu);
    int64_t n = 0;
    if (start >= 0 && start < g_log_len) {
        n = g_log_len - start;
        if (n > max) {
            n = max;
        }
        memcpy(dst, g_log + start, (size_t)n * sizeof *dst);
    }
    pthread_mutex_unlock(&g_mu);
    return n;
}

/* Getter values: `rows` rows of 3 words each (float bits or int32), copied.
 * NULL or 0 rows: derived from the index.  Rows past the table are not written. */
EXPORT void rec_set_getter_table(const uint32_t* words, int64_t rows) {
    pthread_mutex_lock(&g_mu);
    free(g_table);
    g_table = dup_array(words, (size_t)rows * 12);
    g_table_rows = g_table ? rows : 0;
    pthread_mutex_unlock(&g_mu);
}

/* Rows whose mask byte is non-zero are left unwritten by the getters. */
EXPORT void rec_set_getter_skip(const uint8_t* mask, int64_t len) {
    pthread_mutex_lock(&g_mu);
    free(g_skip);
    g_skip = dup_array(mask, (size_t)len);
    g_skip_len = g_skip ? len : 0;
    pthread_mutex_unlock(&g_mu);
}

EXPORT void rec_set_add_return(int kind, int32_t value) {
    if (kind <= 0 || kind >= K_END) {
        return;
    }
    pthread_mutex_lock(&g_mu);
    g_add_ret[kind] = value;
    pthread_mutex_unlock(&g_mu);
}

/* Sampler behaviour by call ordinal k (each array cycled; an empty one gives
 * the default): returned byte ret[k] (default 1), whether to write write[k]
 * (default yes), words written vals[k] (1 or 3 per call; default rec_vec_bits). */
EXPORT void rec_set_sampler(int kind, const uint8_t* ret, int64_t ret_len, const uint8_t* write, int64_t write_len,
                            const uint32_t* vals, int64_t vals_len) {
    if (kind != K_GETSCL && kind != K_GETVECF) {
        return;
    }
    size_t words = kind == K_GETSCL ? 1 : 3;
    pthread_mutex_lock(&g_mu);
    sampler_cfg* s = &g_sampler[kind];
    clear_sampler(s);
    s->ret = dup_array(ret, (size_t)ret_len);
    s->ret_len = s->ret ? ret_len : 0;
    s->write = dup_array(write, (size_t)write_len);
    s->write_len = s->write ? write_len : 0;
    s->vals = dup_array(vals, (size_t)vals_len * words * 4);
    s->vals_len = s->vals ? vals_len : 0;
    pthread_mutex_unlock(&g_mu);
}

/* Traversal elements (coords: 3 words each; vals: 1 word each for the scalar
 * traversal, 3 for the vector one) and the number reported per call: call k
 * reports passes[k] elements (the last entry serves later calls; elements are
 * cycled when more are asked for than given).  npasses 0: all nelem elements. */
EXPORT void rec_set_traversal(int kind, const uint32_t* coords, const uint32_t* vals, int64_t nelem,
                              const int64_t* passes, int64_t npasses) {
    if (kind != K_TRAVS && kind != K_TRAVV) {
        return;
    }
    size_t words = kind == K_TRAVS ? 1 : 3;
    pthread_mutex_lock(&g_mu);
    trav_cfg* t = &g_trav[kind];
    clear_trav(t);
    t->coords = dup_array(coords, (size_t)nelem * 12);
    t->vals = dup_array(vals, (size_t)nelem * words * 4);
    t->nelem = (t->coords && t->vals) ? nelem : 0;
    t->passes = dup_array(passes, (size_t)npasses * sizeof(int64_t));
    t->npasses = t->passes ? npasses : 0;
    pthread_mutex_unlock(&g_mu);
}

/* Arm (n > 0) or disarm (n == 0) the rendezvous; see above. */
EXPORT void rec_set_rendezvous(int n, int timeout_ms) {
    pthread_mutex_lock(&g_mu);
    g_rdv_n = n;
    g_rdv_timeout_ms = timeout_ms;
    g_rdv_arrived = 0;
    g_rdv_gen++;
    pthread_mutex_unlock(&g_mu);
}
