"""What each transfer function is run on: the reference runtime or the cheapest natives.

A workload hands out, for one function and one size, an :class:`Inputs`: the
``(fn, inst, h)`` triple and the arrays the call takes. Every contender gets the same
inputs. Inputs are asked for anew before each timed batch; that is where state is put
back (an adder gets a fresh, empty mesh), outside the timing. Two threads ask for
two copies: inputs on objects of their own, which share no state.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

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
    rows: NDArray[Any] | None = None  # verts, tris or pos: (n, 3)
    vals: NDArray[np.float32] | None = None  # setters: (n,) or (n, 3)


class Data:
    """The arrays all calls take slices of: distinct positions, values, vertices, triangles."""

    def __init__(self, n: int) -> None:
        i = np.arange(n, dtype=np.float32)
        f32 = np.float32
        self.pos: NDArray[np.float32] = np.stack([i, i * f32(0.5) + f32(0.25), -i], axis=1)
        self.verts: NDArray[np.float32] = self.pos + f32(1)
        self.tris: NDArray[np.int32] = (np.arange(3 * n, dtype=np.int32) % 1000).reshape(n, 3)
        self.svals: NDArray[np.float32] = i / f32(4)
        self.vvals: NDArray[np.float32] = np.stack([i / f32(4), i / f32(8), i / f32(16)], axis=1)

    def inputs(self, function: str, fn: int, inst: int, h: int, n: int) -> Inputs:
        f = catalogue.FUNCTIONS[function]
        vals = self.vvals if f.vector else self.svals
        arrays: dict[str, NDArray[Any]] = {"verts": self.verts, "tris": self.tris, "pos": self.pos, "vals": vals}
        return Inputs(fn, inst, h, n, *(arrays[a.name][:n] for a in f.inputs))


class Workload:
    name = ""
    key = ""

    def __init__(self, max_n: int) -> None:
        """Ready for sizes up to max_n."""

    def inputs(self, function: str, n: int, copy: int = 0) -> Inputs:
        """Inputs of ``function`` for n rows, on the objects of ``copy``."""
        raise NotImplementedError

    def close(self) -> None:
        pass


class Cheapest(Workload):
    """The cheapest natives of the helper library: no state, so nothing to put back and
    nothing to copy. Their traversals report ``h`` values, so ``h`` is the size."""

    name = "cheapest native"
    key = "cheapest"

    def __init__(self, max_n: int) -> None:
        self.data = Data(max_n)
        clib.reserve(max_n)

    def inputs(self, function: str, n: int, copy: int = 0) -> Inputs:
        h = n if catalogue.FUNCTIONS[function].family == catalogue.ACTIVE_VALUES else 1
        return self.data.inputs(function, clib.cheapest(function), 1, h, n)


class Reference(Workload):
    """The reference runtime. Readers read a mesh that holds the largest size; setters
    overwrite, samplers sample and traversals visit a field that holds exactly the
    first n positions; adders append to a fresh mesh for every timed batch. Each copy
    has objects of its own."""

    name = "reference runtime"
    key = "reference"

    def __init__(self, max_n: int) -> None:
        self.data = Data(max_n)
        self.rt = Runtime()
        self.meshes: dict[int, int] = {}
        self.fields: dict[tuple[bool, int, int], int] = {}
        self.fresh: dict[int, int] = {}

    def mesh(self, copy: int) -> int:
        if copy not in self.meshes:
            rt, mesh = self.rt, self.rt.new_mesh()
            _fastloop.add_vertices(*rt.args("add_vertex", mesh), self.data.verts)
            _fastloop.add_triangles(*rt.args("add_triangle", mesh), self.data.tris)
            self.meshes[copy] = mesh
        return self.meshes[copy]

    def field(self, vector: bool, n: int, copy: int) -> int:
        if (vector, n, copy) not in self.fields:
            rt = self.rt
            if vector:
                h = rt.new_vector_field()
                _fastloop.vector_set_many(*rt.args("vector_set", h), self.data.pos[:n], self.data.vvals[:n])
            else:
                h = rt.new_scalar_field()
                _fastloop.scalar_set_many(*rt.args("scalar_set", h), self.data.pos[:n], self.data.svals[:n])
            self.fields[vector, n, copy] = h
        return self.fields[vector, n, copy]

    def inputs(self, function: str, n: int, copy: int = 0) -> Inputs:
        f = catalogue.FUNCTIONS[function]
        if f.family == catalogue.READOUT:
            h = self.mesh(copy)
        elif f.family == catalogue.BUILDING:
            if copy in self.fresh:
                self.rt.destroy(self.fresh[copy])
            h = self.fresh[copy] = self.rt.new_mesh()
        else:
            h = self.field(f.vector, n, copy)
        return self.data.inputs(function, *self.rt.args(f.entry, h), n)

    def close(self) -> None:
        self.rt.close()


WORKLOADS: dict[str, type[Workload]] = {"reference": Reference, "cheapest": Cheapest}
