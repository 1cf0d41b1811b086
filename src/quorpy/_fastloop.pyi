# Types of the compiled transfer functions (the functions carry no docstrings).
#
# fn is the address of a native function of the matching C type (an int from ctypes);
# inst and h are the runtime's instance and object handles. At run time fn, inst, h and
# n take anything with __int__, floats too, truncated; typed, they take integers only,
# so that a count computed as a float (arr.size / 3) is caught before it drops a row.
# Arrays are C-contiguous and writable, float32 or int32 as typed below; None stands for
# an empty array.

from typing import Any, TypeAlias

import numpy as np
from numpy.typing import NDArray

# TypeAlias rather than `type`: the stub is read by the users' type checkers, old ones too.
_Int: TypeAlias = int | np.integer[Any]  # noqa: UP040

def read_vertices(fn: _Int, inst: _Int, h: _Int, n: _Int) -> NDArray[np.float32]: ...
def read_triangles(fn: _Int, inst: _Int, h: _Int, n: _Int) -> NDArray[np.int32]: ...
def add_vertices(fn: _Int, inst: _Int, h: _Int, verts: NDArray[np.float32] | None) -> None: ...
def add_triangles(fn: _Int, inst: _Int, h: _Int, tris: NDArray[np.int32] | None) -> None: ...
def scalar_set_many(
    fn: _Int,
    inst: _Int,
    h: _Int,
    pos: NDArray[np.float32] | None,
    vals: NDArray[np.float32] | None,
) -> None: ...
def scalar_get_many(
    fn: _Int, inst: _Int, h: _Int, pos: NDArray[np.float32] | None
) -> tuple[NDArray[np.float32], NDArray[np.bool_]]: ...
def vector_set_many(
    fn: _Int,
    inst: _Int,
    h: _Int,
    pos: NDArray[np.float32] | None,
    vals: NDArray[np.float32] | None,
) -> None: ...
def vector_get_many(
    fn: _Int, inst: _Int, h: _Int, pos: NDArray[np.float32] | None
) -> tuple[NDArray[np.float32], NDArray[np.bool_]]: ...
def scalar_active_values(fn: _Int, inst: _Int, h: _Int) -> tuple[NDArray[np.float32], NDArray[np.float32]]: ...
def vector_active_values(fn: _Int, inst: _Int, h: _Int) -> tuple[NDArray[np.float32], NDArray[np.float32]]: ...
