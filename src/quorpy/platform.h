/* Attribute macros for the compiled parts of the package, usable from C and C++.
 *
 * QUORPY_EXPORT marks an entry point of a shared library: every target is built with
 * hidden symbols, so only what carries it is reachable through ctypes.
 *
 * QUORPY_TLS declares thread-local storage in the initial-exec model where the
 * toolchain has one: a callback reaches such a variable as cheaply as a global,
 * instead of calling __tls_get_addr on each access. Elsewhere it is plain
 * thread-local storage.
 *
 * QUORPY_NOINLINE keeps a function out of its callers. */
#ifndef QUORPY_PLATFORM_H
#define QUORPY_PLATFORM_H

#if defined(_WIN32)
#define QUORPY_EXPORT __declspec(dllexport)
#elif defined(__GNUC__)
#define QUORPY_EXPORT __attribute__((visibility("default")))
#else
#define QUORPY_EXPORT
#endif

#if defined(__cplusplus)
#define QUORPY_THREAD_LOCAL thread_local
#elif defined(_MSC_VER)
#define QUORPY_THREAD_LOCAL __declspec(thread)
#else
#define QUORPY_THREAD_LOCAL _Thread_local
#endif

#if defined(_MSC_VER)
#define QUORPY_NOINLINE __declspec(noinline)
#elif defined(__GNUC__)
#define QUORPY_NOINLINE __attribute__((noinline))
#else
#define QUORPY_NOINLINE
#endif

/* ELF only: Mach-O and PE have a single TLS model. */
#if defined(__GNUC__) && defined(__ELF__)
#define QUORPY_TLS QUORPY_THREAD_LOCAL __attribute__((tls_model("initial-exec")))
#else
#define QUORPY_TLS QUORPY_THREAD_LOCAL
#endif

#endif
