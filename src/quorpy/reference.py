"""A live mesh/field runtime to drive ``quorpy._fastloop`` against.

``libquorlan_ref.so`` (``.dylib`` on macOS, ``quorlan_ref.dll`` on Windows), built
and installed with the package, is a small in-process runtime with one per-element
native entry point of each kind that the transfer functions call. This module loads
it with :mod:`ctypes` and wraps it in :class:`Runtime`, which creates objects and
hands out the ``(fn, inst, h)`` triples that every ``_fastloop`` function takes
first::

    import numpy as np
    from quorpy import _fastloop
    from quorpy.reference import Runtime

    with Runtime() as rt:
        mesh = rt.new_mesh()
        _fastloop.add_vertices(*rt.args("add_vertex", mesh), np.eye(3, dtype=np.float32))
        verts = _fastloop.read_vertices(*rt.args("get_vertex", mesh), rt.vertex_count(mesh))

        field = rt.new_scalar_field()
        pos = np.random.rand(100, 3).astype(np.float32)
        _fastloop.scalar_set_many(*rt.args("scalar_set", field), pos, pos[:, 0].copy())
        vals, found = _fastloop.scalar_get_many(*rt.args("scalar_sample", field), pos)
        coords, vals = _fastloop.scalar_active_values(*rt.args("scalar_traverse", field))

Runtime behaviour in brief: handles are never 0; meshes are lists of vertices and
triangles addressed by index; fields map a position, keyed by the exact bits of its
three floats (so ``-0.0`` and ``0.0`` are different positions), to a value, and are
traversed in insertion order. Bad handles, indices out of range and unknown
positions are harmless: adders and counts return -1, samplers return 0, and getters
and samplers still write all they are given to write, so no row is left as it was:
where there is no element, a vertex of NaN or a triangle of -1; where there is no
value, NaN. Every entry point is thread-safe and never calls into Python.

The per-element helpers of :class:`Runtime` (``add_vertex``, ``scalar_sample``,
``scalar_items`` ...) go through ctypes one call at a time. They are the slow but
independent path for checking what a bulk transfer did.
"""

from __future__ import annotations

import ctypes
import functools
import warnings
from collections.abc import Callable, Sequence
from typing import Any

from quorpy._libs import library_path
from quorpy.catalogue import FUNCTIONS

__all__ = ["ENTRY_POINTS", "LIBRARY_PATH", "Runtime", "TRAVS_CB", "TRAVV_CB", "load_library"]

LIBRARY_PATH = library_path("quorlan_ref")

#: Short entry-point name -> exported symbol, from :mod:`quorpy.catalogue`. Each
#: symbol has exactly the C type that its ``_fastloop`` function expects for ``fn``.
ENTRY_POINTS = {f.entry: f.symbol for f in FUNCTIONS.values()}

_u64 = ctypes.c_uint64
_int = ctypes.c_int
_f32 = ctypes.c_float
_pf = ctypes.POINTER(ctypes.c_float)
_pi = ctypes.POINTER(ctypes.c_int32)

#: Traversal callback types: ``(coord, value)`` and ``(coord, vector)``. The
#: pointers are valid only during the call; copy what you need.
TRAVS_CB = ctypes.CFUNCTYPE(None, _pf, _f32)
TRAVV_CB = ctypes.CFUNCTYPE(None, _pf, _pf)

_SIGNATURES = {
    "qlref_instance_create": (_u64, []),
    "qlref_instance_destroy": (None, [_u64]),
    "qlref_mesh_create": (_u64, [_u64]),
    "qlref_scalar_field_create": (_u64, [_u64]),
    "qlref_vector_field_create": (_u64, [_u64]),
    "qlref_object_destroy": (_int, [_u64, _u64]),
    "qlref_mesh_vertex_count": (_int, [_u64, _u64]),
    "qlref_mesh_triangle_count": (_int, [_u64, _u64]),
    "qlref_field_count": (ctypes.c_int64, [_u64, _u64]),
    "qlref_mesh_get_vertex": (None, [_u64, _u64, _int, _pf]),
    "qlref_mesh_get_triangle": (None, [_u64, _u64, _int, _pi]),
    "qlref_mesh_add_vertex": (_int, [_u64, _u64, _pf]),
    "qlref_mesh_add_triangle": (_int, [_u64, _u64, _pi]),
    "qlref_scalar_set": (None, [_u64, _u64, _pf, _f32]),
    "qlref_scalar_sample": (ctypes.c_ubyte, [_u64, _u64, _pf, _pf]),
    "qlref_vector_set": (None, [_u64, _u64, _pf, _pf]),
    "qlref_vector_sample": (ctypes.c_ubyte, [_u64, _u64, _pf, _pf]),
    "qlref_scalar_traverse": (None, [_u64, _u64, TRAVS_CB]),
    "qlref_vector_traverse": (None, [_u64, _u64, TRAVV_CB]),
}


def _unknown_entry_point(name: str) -> str:
    hint = f" (the function {name} calls {FUNCTIONS[name].entry!r})" if name in FUNCTIONS else ""
    return f"unknown entry point {name!r}{hint}; the known ones are {', '.join(ENTRY_POINTS)}"


@functools.cache
def load_library(path: str = LIBRARY_PATH) -> ctypes.CDLL:
    """Load the runtime library once and declare the types of all its symbols."""
    lib = ctypes.CDLL(path)
    for name, (restype, argtypes) in _SIGNATURES.items():
        f = getattr(lib, name)
        f.restype = restype
        f.argtypes = argtypes
    return lib


def _vec3(v: Sequence[float]) -> ctypes.Array[ctypes.c_float]:
    return (ctypes.c_float * 3)(*v)


class Runtime:
    """One runtime instance; close it (or use ``with``) to destroy all its objects.
    One collected unclosed is destroyed then, with a :exc:`ResourceWarning`.

    ``lib`` is the loaded :class:`ctypes.CDLL`, whose typed functions
    (``rt.lib.qlref_mesh_get_vertex`` ...) can be called directly, and ``inst`` is
    the instance handle (0 once closed). Objects are plain integer handles.

    >>> with Runtime() as rt:
    ...     f = rt.new_scalar_field()
    ...     rt.scalar_set(f, (1, 2, 3), 0.5)
    ...     rt.scalar_sample(f, (1, 2, 3)), rt.scalar_sample(f, (0, 0, 0))
    (0.5, None)
    """

    def __init__(self, path: str = LIBRARY_PATH) -> None:
        self.lib: ctypes.CDLL = load_library(path)
        self.inst: int = self.lib.qlref_instance_create()

    def close(self) -> None:
        """Destroy the instance and every object in it. Safe to call twice."""
        if self.inst:
            self.lib.qlref_instance_destroy(self.inst)
            self.inst = 0

    def __del__(self) -> None:
        # As an unclosed file does: free it all the same, and say so. Freed first, so that
        # a warning turned into an error (-W error) cannot leak it.
        inst = getattr(self, "inst", 0)
        if inst:
            self.close()
            warnings.warn(f"unclosed runtime instance {inst}", ResourceWarning, stacklevel=2, source=self)

    def __enter__(self) -> Runtime:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def _live(self) -> int:
        if not self.inst:
            raise ValueError("the runtime instance is closed")
        return self.inst

    # -- objects --------------------------------------------------------------

    def new_mesh(self) -> int:
        return int(self.lib.qlref_mesh_create(self._live()))

    def new_scalar_field(self) -> int:
        return int(self.lib.qlref_scalar_field_create(self._live()))

    def new_vector_field(self) -> int:
        return int(self.lib.qlref_vector_field_create(self._live()))

    def destroy(self, h: int) -> None:
        """Destroy one object; ``KeyError`` if ``h`` is not an object of this instance."""
        if self.lib.qlref_object_destroy(self._live(), h) != 0:
            raise KeyError(h)

    def vertex_count(self, h: int) -> int:
        """Number of vertices of mesh ``h`` (-1 if ``h`` is not a mesh)."""
        return int(self.lib.qlref_mesh_vertex_count(self._live(), h))

    def triangle_count(self, h: int) -> int:
        """Number of triangles of mesh ``h`` (-1 if ``h`` is not a mesh)."""
        return int(self.lib.qlref_mesh_triangle_count(self._live(), h))

    def field_count(self, h: int) -> int:
        """Number of stored values of field ``h`` (-1 if ``h`` is not a field)."""
        return int(self.lib.qlref_field_count(self._live(), h))

    # -- addresses for _fastloop ------------------------------------------------

    def fn(self, name: str) -> int:
        """Address of the entry point ``name`` (a key of :data:`ENTRY_POINTS`); a
        ``KeyError`` that lists the known names for any other ``name``."""
        symbol = ENTRY_POINTS.get(name)
        if symbol is None:
            raise KeyError(_unknown_entry_point(name))
        address = ctypes.cast(getattr(self.lib, symbol), ctypes.c_void_p).value
        if address is None:  # the loader resolved it: never expected
            raise OSError(f"{symbol} of {LIBRARY_PATH} resolved to a null address")
        return address

    def args(self, name: str, h: int) -> tuple[int, int, int]:
        """``(fn, inst, h)`` for a ``_fastloop`` call on object ``h``."""
        return self.fn(name), self._live(), h

    # -- per-element access through ctypes ----------------------------------------

    def add_vertex(self, h: int, v: Sequence[float]) -> int:
        return int(self.lib.qlref_mesh_add_vertex(self._live(), h, _vec3(v)))

    def add_triangle(self, h: int, t: Sequence[int]) -> int:
        return int(self.lib.qlref_mesh_add_triangle(self._live(), h, (ctypes.c_int32 * 3)(*t)))

    def get_vertex(self, h: int, i: int) -> tuple[float, float, float] | None:
        """Vertex ``i`` of mesh ``h``, or None if it has none."""
        return self._get(self.lib.qlref_mesh_get_vertex, self.vertex_count, h, i, ctypes.c_float)

    def get_triangle(self, h: int, i: int) -> tuple[int, int, int] | None:
        """Triangle ``i`` of mesh ``h``, or None if it has none."""
        return self._get(self.lib.qlref_mesh_get_triangle, self.triangle_count, h, i, ctypes.c_int32)

    def _get(
        self,
        f: Callable[..., None],
        count: Callable[[int], int],
        h: int,
        i: int,
        ctype: type[ctypes.c_float | ctypes.c_int32],
    ) -> tuple[Any, Any, Any] | None:
        # The getter writes a stand-in for a missing element, so ask the count first.
        if not 0 <= i < count(h):
            return None
        out = (ctype * 3)()
        f(self._live(), h, i, out)
        x, y, z = out
        return x, y, z

    def scalar_set(self, h: int, pos: Sequence[float], value: float) -> None:
        self.lib.qlref_scalar_set(self._live(), h, _vec3(pos), value)

    def scalar_sample(self, h: int, pos: Sequence[float]) -> float | None:
        """The value stored at exactly ``pos``, or None."""
        out = ctypes.c_float()
        found = self.lib.qlref_scalar_sample(self._live(), h, _vec3(pos), ctypes.byref(out))
        return out.value if found else None

    def vector_set(self, h: int, pos: Sequence[float], value: Sequence[float]) -> None:
        self.lib.qlref_vector_set(self._live(), h, _vec3(pos), _vec3(value))

    def vector_sample(self, h: int, pos: Sequence[float]) -> tuple[float, float, float] | None:
        """The vector stored at exactly ``pos``, or None."""
        out = (ctypes.c_float * 3)()
        found = self.lib.qlref_vector_sample(self._live(), h, _vec3(pos), out)
        return tuple(out) if found else None

    def scalar_items(self, h: int) -> list[tuple[tuple[float, float, float], float]]:
        """All ``(position, value)`` pairs of scalar field ``h``, in traversal order."""
        items = []
        cb = TRAVS_CB(lambda pc, v: items.append((tuple(pc[:3]), v)))
        self.lib.qlref_scalar_traverse(self._live(), h, cb)
        return items

    def vector_items(self, h: int) -> list[tuple[tuple[float, float, float], tuple[float, float, float]]]:
        """All ``(position, vector)`` pairs of vector field ``h``, in traversal order."""
        items = []
        cb = TRAVV_CB(lambda pc, pv: items.append((tuple(pc[:3]), tuple(pv[:3]))))
        self.lib.qlref_vector_traverse(self._live(), h, cb)
        return items
