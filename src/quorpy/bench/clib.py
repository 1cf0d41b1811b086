"""The benchmark's helper library, ``libquorpy_bench.so`` (src/bench/bench.c).

It is built and installed with the package, next to the extension module, and holds
the cheapest native of every type and one plain C loop per transfer function.
"""

from __future__ import annotations

import ctypes
import functools

from quorpy._libs import library_path

LIBRARY_PATH = library_path("quorpy_bench")

#: Transfer function -> the cheapest native it can call.
CHEAPEST = {
    "read_vertices": "qlbench_get_vertex",
    "read_triangles": "qlbench_get_triangle",
    "add_vertices": "qlbench_add_vertex",
    "add_triangles": "qlbench_add_triangle",
    "scalar_set_many": "qlbench_scalar_set",
    "scalar_get_many": "qlbench_scalar_sample",
    "vector_set_many": "qlbench_vector_set",
    "vector_get_many": "qlbench_vector_sample",
    "scalar_active_values": "qlbench_scalar_traverse",
    "vector_active_values": "qlbench_vector_traverse",
}

_u64, _p, _i64 = ctypes.c_uint64, ctypes.c_void_p, ctypes.c_int64

# Every loop takes (fn, inst, h), then array addresses, then a row count.
_LOOP_ARRAYS = {
    "read_vertices": 1,
    "read_triangles": 1,
    "add_vertices": 1,
    "add_triangles": 1,
    "scalar_set_many": 2,
    "vector_set_many": 2,
    "scalar_get_many": 3,
    "vector_get_many": 3,
    "scalar_active_values": 2,
    "vector_active_values": 2,
}


@functools.cache
def load(path: str = LIBRARY_PATH) -> ctypes.CDLL:
    """Load the library once and declare its loops."""
    lib = ctypes.CDLL(path)
    for name, arrays in _LOOP_ARRAYS.items():
        f = getattr(lib, "qlbench_loop_" + name)
        f.argtypes = [_p, _u64, _u64] + [_p] * arrays + [_i64]
        f.restype = _i64 if name.endswith("active_values") else None
    lib.qlbench_reserve.argtypes = [_i64]
    lib.qlbench_reserve.restype = ctypes.c_int
    return lib


def cheapest(function: str) -> int:
    """Address of the cheapest native that ``function`` can call."""
    return ctypes.cast(getattr(load(), CHEAPEST[function]), ctypes.c_void_p).value


def loop(function: str):
    """The plain C loop for ``function``: a ctypes function called as
    ``loop(fn, inst, h, *array_addresses, n)``."""
    return getattr(load(), "qlbench_loop_" + function)


def reserve(n: int) -> None:
    """Make the cheapest traversals able to report up to ``n`` values."""
    if load().qlbench_reserve(n) != 0:
        raise MemoryError(f"cannot reserve a traversal table of {n} rows")
