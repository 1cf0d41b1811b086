"""The benchmark's helper library, ``libquorpy_bench.so`` (src/bench/bench.c).

It is built and installed with the package, next to the extension module, and holds
the cheapest native of every type and one plain C loop per transfer function.
"""

from __future__ import annotations

import ctypes
import functools
from typing import Any

from quorpy import catalogue
from quorpy._libs import library_path

LIBRARY_PATH = library_path("quorpy_bench")

#: Transfer function -> the cheapest native it can call, named after the reference
#: runtime's entry point of the same type.
CHEAPEST = {f.name: "qlbench_" + f.entry for f in catalogue.FUNCTIONS.values()}

_u64, _p, _i64 = ctypes.c_uint64, ctypes.c_void_p, ctypes.c_int64


@functools.cache
def load(path: str = LIBRARY_PATH) -> ctypes.CDLL:
    """Load the library once and declare its loops: each takes (fn, inst, h), the
    addresses of the function's array arguments and results, then a row count; a
    traversal returns how many values it visited."""
    lib = ctypes.CDLL(path)
    for fn in catalogue.FUNCTIONS.values():
        f = getattr(lib, "qlbench_loop_" + fn.name)
        f.argtypes = [_p, _u64, _u64] + [_p] * (len(fn.inputs) + len(fn.outputs)) + [_i64]
        f.restype = _i64 if fn.family == catalogue.ACTIVE_VALUES else None
    lib.qlbench_reserve.argtypes = [_i64]
    lib.qlbench_reserve.restype = ctypes.c_int
    for name in ("qlbench_c_compiler", "qlbench_cxx_compiler"):
        getattr(lib, name).restype = ctypes.c_char_p
    lib.qlbench_sink.restype = ctypes.POINTER(ctypes.c_float)
    lib.qlbench_isink.restype = ctypes.POINTER(ctypes.c_int32)
    return lib


def compilers() -> dict[str, str]:
    """The compilers of the package's native parts: the extension module's (C++) and
    this library's (C), built together."""
    lib = load()
    return {"c++": lib.qlbench_cxx_compiler().decode(), "c": lib.qlbench_c_compiler().decode()}


def cheapest(function: str) -> int:
    """Address of the cheapest native that ``function`` can call."""
    address = ctypes.cast(getattr(load(), CHEAPEST[function]), ctypes.c_void_p).value
    assert address is not None  # an exported function's
    return address


def loop(function: str) -> Any:
    """The plain C loop for ``function``: a ctypes function called as
    ``loop(fn, inst, h, *array_addresses, n)``."""
    return getattr(load(), "qlbench_loop_" + function)


def reserve(n: int) -> None:
    """Make the cheapest traversals able to report up to ``n`` values."""
    if load().qlbench_reserve(n) != 0:
        raise MemoryError(f"cannot reserve a traversal table of {n} rows")
