# Types of the compiled transfer functions (the functions carry no docstrings).
#
# fn is the address of a native function of the matching C type (an int from ctypes);
# inst and h are the runtime's instance and object handles. fn, inst, h and n take
# anything with __int__. Arrays are C-contiguous and writable, float32 or int32 as
# typed below; None stands for an empty array.

from typing import SupportsInt

import numpy as np
from numpy.typing import NDArray

def read_vertices(fn: SupportsInt, inst: SupportsInt, h: SupportsInt, n: SupportsInt) -> NDArray[np.float32]: ...
def read_triangles(fn: SupportsInt, inst: SupportsInt, h: SupportsInt, n: SupportsInt) -> NDArray[np.int32]: ...
def add_vertices(fn: SupportsInt, inst: SupportsInt, h: SupportsInt, verts: NDArray[np.float32] | None) -> None: ...
def add_triangles(fn: SupportsInt, inst: SupportsInt, h: SupportsInt, tris: NDArray[np.int32] | None) -> None: ...
def scalar_set_many(
    fn: SupportsInt,
    inst: SupportsInt,
    h: SupportsInt,
    pos: NDArray[np.float32] | None,
    vals: NDArray[np.float32] | None,
) -> None: ...
def scalar_get_many(
    fn: SupportsInt, inst: SupportsInt, h: SupportsInt, pos: NDArray[np.float32] | None
) -> tuple[NDArray[np.float32], NDArray[np.bool_]]: ...
def vector_set_many(
    fn: SupportsInt,
    inst: SupportsInt,
    h: SupportsInt,
    pos: NDArray[np.float32] | None,
    vals: NDArray[np.float32] | None,
) -> None: ...
def vector_get_many(
    fn: SupportsInt, inst: SupportsInt, h: SupportsInt, pos: NDArray[np.float32] | None
) -> tuple[NDArray[np.float32], NDArray[np.bool_]]: ...
def scalar_active_values(
    fn: SupportsInt, inst: SupportsInt, h: SupportsInt
) -> tuple[NDArray[np.float32], NDArray[np.float32]]: ...
def vector_active_values(
    fn: SupportsInt, inst: SupportsInt, h: SupportsInt
) -> tuple[NDArray[np.float32], NDArray[np.float32]]: ...
