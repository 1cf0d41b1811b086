"""The ten transfer functions of :mod:`quorpy._fastloop`, described once.

For each function: its family, whether it moves scalars or 3-vectors, its parameters
in order, the C type of the native it calls through ``fn``, the reference runtime's
entry point of that type, and the arrays it takes and returns. The reference runtime,
the benchmark and the tests read these facts from here; family dispatch goes through
``Function.family``, never through a function's name.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Literal

import numpy as np

READOUT = "readout"
BUILDING = "building"
FIELD_SETTER = "field setter"
FIELD_SAMPLER = "field sampler"
ACTIVE_VALUES = "active values"

HANDLES = ("fn", "inst", "h")

#: One extent of an array's shape: a fixed size, or "n", the number of rows.
Extent = int | Literal["n"]


@dataclass(frozen=True)
class Array:
    """An array argument or result: ``shape`` counts rows in ``n``."""

    name: str
    shape: tuple[Extent, ...]
    dtype: type[np.generic]

    def sized(self, n: int) -> tuple[int, ...]:
        """The shape of this array for ``n`` rows."""
        return tuple(n if d == "n" else d for d in self.shape)


ROWS: tuple[Extent, ...] = ("n", 3)
POS = Array("pos", ROWS, np.float32)
FOUND = Array("found", ("n",), np.bool_)
COORDS = Array("coords", ROWS, np.float32)
SCALARS, VECTORS = Array("vals", ("n",), np.float32), Array("vals", ROWS, np.float32)


@dataclass(frozen=True)
class Function:
    name: str
    family: str
    vector: bool  # a field function whose values are 3-vectors
    native: str  # C type of the native called through fn
    entry: str  # the reference runtime's entry point, as named by Runtime.args
    symbol: str  # ... and its exported symbol
    inputs: tuple[Array, ...]  # array arguments, in parameter order
    outputs: tuple[Array, ...]  # array results, in result order

    @property
    def params(self) -> tuple[str, ...]:
        """The parameters in order: the handles, then a row count or the arrays."""
        return HANDLES + (("n",) if self.family == READOUT else tuple(a.name for a in self.inputs))


# One function per two lines reads as a table.
# fmt: off
FUNCTIONS = {
    f.name: f
    for f in (
        Function("read_vertices", READOUT, False, "QLgetvec_t",
                 "get_vertex", "qlref_mesh_get_vertex", (), (Array("verts", ROWS, np.float32),)),
        Function("read_triangles", READOUT, False, "QLgettri_t",
                 "get_triangle", "qlref_mesh_get_triangle", (), (Array("tris", ROWS, np.int32),)),
        Function("add_vertices", BUILDING, False, "QLaddvec_t",
                 "add_vertex", "qlref_mesh_add_vertex", (Array("verts", ROWS, np.float32),), ()),
        Function("add_triangles", BUILDING, False, "QLaddtri_t",
                 "add_triangle", "qlref_mesh_add_triangle", (Array("tris", ROWS, np.int32),), ()),
        Function("scalar_set_many", FIELD_SETTER, False, "QLsetscl_t",
                 "scalar_set", "qlref_scalar_set", (POS, SCALARS), ()),
        Function("scalar_get_many", FIELD_SAMPLER, False, "QLgetscl_t",
                 "scalar_sample", "qlref_scalar_sample", (POS,), (SCALARS, FOUND)),
        Function("vector_set_many", FIELD_SETTER, True, "QLsetvec_t",
                 "vector_set", "qlref_vector_set", (POS, VECTORS), ()),
        Function("vector_get_many", FIELD_SAMPLER, True, "QLgetvecf_t",
                 "vector_sample", "qlref_vector_sample", (POS,), (VECTORS, FOUND)),
        Function("scalar_active_values", ACTIVE_VALUES, False, "QLtraverse_s_t",
                 "scalar_traverse", "qlref_scalar_traverse", (), (COORDS, SCALARS)),
        Function("vector_active_values", ACTIVE_VALUES, True, "QLtraverse_v_t",
                 "vector_traverse", "qlref_vector_traverse", (), (COORDS, VECTORS)),
    )
}
# fmt: on
