/*
 * Traversals for the concurrent active-value extraction tests.
 *
 * Every call of ext_traverse_s / ext_traverse_v first meets the calls of the
 * other threads at a reusable barrier (when one is armed), so that the count
 * passes of all threads run at the same time, and so do the fill passes.
 * While reporting, a traversal yields the processor every few elements so that
 * the threads' callbacks interleave.  The number of traversals running at
 * once is tracked; the test reads its maximum afterwards.
 *
 * Object h reports exactly h elements (inst is ignored).  Element i of object h:
 *   coordinate (i, h, -(i % 1000))
 *   scalar value  i * 0.5 + (h & 255)
 *   vector value  (i * 0.5 + (h & 255), -i, h)
 * All of these are exact in float32 for the sizes the tests use.
 *
 * Plain C: no Python symbols, safe to call without the GIL.
 */
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <stdint.h>
#include <string.h>
#include <time.h>

#include "platform.h"
#include "quorpy/native.h"

#define EXPORT QUORPY_EXPORT

static pthread_mutex_t g_mu = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_cv = PTHREAD_COND_INITIALIZER;
static int g_parties; /* threads meeting at each traversal; 0: no barrier */
static int g_timeout_ms;
static int64_t g_arrived; /* arrivals since the reset */
static int g_timeouts;    /* barrier waits that gave up */
static int g_active;      /* traversals running now */
static int g_max_active;  /* most traversals seen running at once */
static int64_t g_calls;   /* traversal calls since the reset */

/* Arm the barrier for `parties` threads (0: none) and clear the statistics. */
EXPORT void ext_reset(int parties, int timeout_ms) {
    pthread_mutex_lock(&g_mu);
    g_parties = parties;
    g_timeout_ms = timeout_ms;
    g_arrived = 0;
    g_timeouts = 0;
    g_active = 0;
    g_max_active = 0;
    g_calls = 0;
    pthread_mutex_unlock(&g_mu);
}

EXPORT int ext_max_active(void) {
    pthread_mutex_lock(&g_mu);
    int v = g_max_active;
    pthread_mutex_unlock(&g_mu);
    return v;
}

EXPORT int ext_timeouts(void) {
    pthread_mutex_lock(&g_mu);
    int v = g_timeouts;
    pthread_mutex_unlock(&g_mu);
    return v;
}

EXPORT int64_t ext_calls(void) {
    pthread_mutex_lock(&g_mu);
    int64_t v = g_calls;
    pthread_mutex_unlock(&g_mu);
    return v;
}

static void enter(void) {
    pthread_mutex_lock(&g_mu);
    g_calls++;
    /* Counted on arrival: a thread released by the barrier may finish its traversal
     * before the last one to arrive gets the lock back. */
    g_active++;
    if (g_active > g_max_active) {
        g_max_active = g_active;
    }
    if (g_parties > 0) {
        /* Arrival k belongs to round k / parties; wait for that round to fill. */
        int64_t round_end = (g_arrived / g_parties + 1) * g_parties;
        g_arrived++;
        pthread_cond_broadcast(&g_cv);
        struct timespec deadline;
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_sec += g_timeout_ms / 1000;
        deadline.tv_nsec += (long)(g_timeout_ms % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec++;
            deadline.tv_nsec -= 1000000000L;
        }
        while (g_arrived < round_end) {
            if (pthread_cond_timedwait(&g_cv, &g_mu, &deadline) == ETIMEDOUT) {
                if (g_arrived < round_end) {
                    g_timeouts++;
                }
                break;
            }
        }
    }
    pthread_mutex_unlock(&g_mu);
}

static void leave(void) {
    pthread_mutex_lock(&g_mu);
    g_active--;
    pthread_mutex_unlock(&g_mu);
}

static void element(uint64_t h, int64_t i, float pc[3], float pv[3]) {
    pc[0] = (float)i;
    pc[1] = (float)h;
    pc[2] = -(float)(i % 1000);
    pv[0] = (float)i * 0.5f + (float)(h & 255);
    pv[1] = -(float)i;
    pv[2] = (float)h;
}

EXPORT void ext_traverse_s(uint64_t inst, uint64_t h, QLtravs_cb_t cb) {
    (void)inst;
    enter();
    for (int64_t i = 0; i < (int64_t)h; i++) {
        float pc[3], pv[3];
        element(h, i, pc, pv);
        cb(pc, pv[0]);
        memset(pc, 0xA5, sizeof pc); /* the callback must have copied already */
        if ((i & 31) == 31) {
            sched_yield();
        }
    }
    leave();
}

EXPORT void ext_traverse_v(uint64_t inst, uint64_t h, QLtravv_cb_t cb) {
    (void)inst;
    enter();
    for (int64_t i = 0; i < (int64_t)h; i++) {
        float pc[3], pv[3];
        element(h, i, pc, pv);
        cb(pc, pv);
        memset(pc, 0xA5, sizeof pc);
        memset(pv, 0xA5, sizeof pv);
        if ((i & 31) == 31) {
            sched_yield();
        }
    }
    leave();
}

/* Each traversal has exactly the type the module calls it through. */
_Static_assert(__builtin_types_compatible_p(__typeof__(&ext_traverse_s), QLtraverse_s_t), "ext_traverse_s");
_Static_assert(__builtin_types_compatible_p(__typeof__(&ext_traverse_v), QLtraverse_v_t), "ext_traverse_v");
