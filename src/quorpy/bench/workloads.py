"""What each transfer function is run on: the reference runtime or the cheapest natives.

A workload hands out, for one function and one size, an :class:`Inputs`: the
``(fn, inst, h)`` triple and the arrays the call takes. Every contender gets the same
inputs. Inputs are asked for anew before each timed batch; that is where state is put
back (an adder gets a fresh, empty mesh), outside the timing.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from quorpy import _fastloop, catalogue
from quorpy.bench import clib
from quorpy.reference import Runtime

FUNCTIONS = tuple(catalogue.FUNCTIONS)


@dataclass
class Inputs:
    fn: int
    inst: int
    h: int
    n: int
    rows: np.ndarray | None = None  # verts, tris or pos: (n, 3)
    vals: np.ndarray | None = None  # setters: (n,) or (n, 3)


class Data:
    """The arrays all calls take slices of: distinct positions, values, vertices, triangles."""

    def __init__(self, n: int) -> None:
        i = np.arange(n, dtype=np.float32)
        self.pos = np.stack([i, i * 0.5 + 0.25, -i], axis=1)
        self.verts = self.pos + np.float32(1)
        self.tris = (np.arange(3 * n, dtype=np.int32) % 1000).reshape(n, 3)
        self.svals = i / 4
        self.vvals = np.stack([i / 4, i / 8, i / 16], axis=1)

    def inputs(self, function: str, fn: int, inst: int, h: int, n: int) -> Inputs:
        f = catalogue.FUNCTIONS[function]
        vals = self.vvals if f.vector else self.svals
        arrays = {"verts": self.verts, "tris": self.tris, "pos": self.pos, "vals": vals}
        return Inputs(fn, inst, h, n, *(arrays[a.name][:n] for a in f.inputs))


class Cheapest:
    """The cheapest natives of the helper library: no state, so nothing to put back.
    Their traversals report ``h`` values, so ``h`` is the size."""

    name = "cheapest native"
    key = "cheapest"

    def __init__(self, max_n: int) -> None:
        self.data = Data(max_n)
        clib.reserve(max_n)

    def inputs(self, function: str, n: int) -> Inputs:
        h = n if catalogue.FUNCTIONS[function].family == catalogue.ACTIVE_VALUES else 1
        return self.data.inputs(function, clib.cheapest(function), 1, h, n)

    def mesh_for_threads(self, n: int) -> tuple[int, int, int]:
        return clib.cheapest("read_vertices"), 1, 1

    def close(self) -> None:
        pass


class Reference:
    """The reference runtime. Readers read a mesh that holds the largest size; setters
    overwrite, samplers sample and traversals visit a field that holds exactly the
    first n positions; adders append to a fresh mesh for every timed batch."""

    name = "reference runtime"
    key = "reference"

    def __init__(self, max_n: int) -> None:
        self.data = Data(max_n)
        self.rt = Runtime()
        self.mesh = self.filled_mesh(max_n)
        self.fields: dict[tuple[bool, int], int] = {}
        self.fresh: int | None = None

    def filled_mesh(self, n: int) -> int:
        rt, mesh = self.rt, self.rt.new_mesh()
        _fastloop.add_vertices(*rt.args("add_vertex", mesh), self.data.verts[:n])
        _fastloop.add_triangles(*rt.args("add_triangle", mesh), self.data.tris[:n])
        return mesh

    def field(self, vector: bool, n: int) -> int:
        if (vector, n) not in self.fields:
            rt = self.rt
            if vector:
                h = rt.new_vector_field()
                _fastloop.vector_set_many(*rt.args("vector_set", h), self.data.pos[:n], self.data.vvals[:n])
            else:
                h = rt.new_scalar_field()
                _fastloop.scalar_set_many(*rt.args("scalar_set", h), self.data.pos[:n], self.data.svals[:n])
            self.fields[vector, n] = h
        return self.fields[vector, n]

    def inputs(self, function: str, n: int) -> Inputs:
        f = catalogue.FUNCTIONS[function]
        if f.family == catalogue.READOUT:
            h = self.mesh
        elif f.family == catalogue.BUILDING:
            if self.fresh is not None:
                self.rt.destroy(self.fresh)
            h = self.fresh = self.rt.new_mesh()
        else:
            h = self.field(f.vector, n)
        return self.data.inputs(function, *self.rt.args(f.entry, h), n)

    def mesh_for_threads(self, n: int) -> tuple[int, int, int]:
        return self.rt.args("get_vertex", self.filled_mesh(n))

    def close(self) -> None:
        self.rt.close()


WORKLOADS = {"reference": Reference, "cheapest": Cheapest}
