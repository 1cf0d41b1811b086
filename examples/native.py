"""Builds native.c against quorpy's header, loads it with ctypes and hands its entry
points to quorpy._fastloop::

    python examples/native.py

The C compiler is ``$CC``, else ``cc``.
"""

from __future__ import annotations

import ctypes
import os
import shlex
import subprocess
import tempfile
from pathlib import Path

import numpy as np

import quorpy
from quorpy import _fastloop

SOURCE = Path(__file__).resolve().with_name("native.c")


def build(out_dir: str | os.PathLike[str]) -> Path:
    """Compiles native.c into a shared library in out_dir; returns its path."""
    library = Path(out_dir) / "libexample.so"
    cc = shlex.split(os.environ.get("CC") or "cc")
    subprocess.run(
        [*cc, "-O2", "-shared", "-fPIC", "-I", quorpy.get_include(), "-o", str(library), str(SOURCE)], check=True
    )
    return library


def address(library: ctypes.CDLL, name: str) -> int:
    """The address of an entry point: what every quorpy function takes as fn."""
    fn = ctypes.cast(getattr(library, name), ctypes.c_void_p).value
    assert fn is not None
    return fn


def run(library: ctypes.CDLL) -> dict[str, np.ndarray]:
    inst = 0  # this runtime has no instance to pass; a real one has
    verts = _fastloop.read_vertices(address(library, "example_get_vertex"), inst, 7, 4)
    pos = np.array([[1, 2, 3], [-1, 0, 0]], dtype=np.float32)
    vals, found = _fastloop.scalar_get_many(address(library, "example_sample"), inst, 0, pos)
    coords, values = _fastloop.scalar_active_values(address(library, "example_traverse"), inst, 3)
    return {"verts": verts, "vals": vals, "found": found, "coords": coords, "values": values}


if __name__ == "__main__":
    with tempfile.TemporaryDirectory() as tmp:
        for name, array in run(ctypes.CDLL(str(build(tmp)))).items():
            print(f"{name} =\n{array}")
