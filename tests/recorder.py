"""Python side of the recording native library (tests/native/recorder.c).

The library provides one recording stand-in for every kind of runtime entry
point.  The extension calls them through the addresses that ``Recorder.fn``
hands out; each call is appended to a log that ``Recorder.calls`` returns as
``Call`` tuples.  Typical use::

    rec.reset()
    out = _fastloop.read_vertices(rec.fn("getvec"), 7, 9, 3)
    calls = rec.calls()
    assert [c.index for c in calls] == [0, 1, 2]
    assert not any(c.gil for c in calls)

The library is built once per test session with the other test natives (see
natives.py).
"""

from __future__ import annotations

import ctypes
import os
from collections import namedtuple
from pathlib import Path

import numpy as np

KINDS = (
    "getvec",
    "gettri",
    "addvec",
    "addtri",
    "setscl",
    "getscl",
    "setvec",
    "getvecf",
    "traverse_s",
    "traverse_v",
)
KIND_IDS = {name: i + 1 for i, name in enumerate(KINDS)}
KIND_NAMES = {i: name for name, i in KIND_IDS.items()}
_SYMBOLS = {name: "rec_" + name for name in KINDS}

F_P0_NULL = 1
F_P1_NULL = 2
F_RDV_TIMEOUT = 4
F_WROTE = 8
F_RDV = 16


class RecordStruct(ctypes.Structure):
    _fields_ = [
        ("seq", ctypes.c_int64),
        ("kind", ctypes.c_int32),
        ("index", ctypes.c_int32),
        ("inst", ctypes.c_uint64),
        ("h", ctypes.c_uint64),
        ("p0", ctypes.c_uint64),
        ("p1", ctypes.c_uint64),
        ("thread", ctypes.c_uint64),
        ("in0", ctypes.c_uint8 * 12),
        ("in1", ctypes.c_uint8 * 12),
        ("value_bits", ctypes.c_uint32),
        ("gil", ctypes.c_int32),
        ("attached", ctypes.c_int32),
        ("ret", ctypes.c_int32),
        ("ordinal", ctypes.c_int32),
        ("flags", ctypes.c_int32),
    ]


_CallBase = namedtuple(
    "_CallBase",
    "seq kind index inst h ptr ptr2 thread data data2 value_bits gil attached ret ordinal flags",
)


class Call(_CallBase):
    """One logged native call.

    kind        "getvec", "addtri", ...
    index       index argument of the getters (-1 for the other kinds)
    inst, h     the handles as passed
    ptr, ptr2   pointer arguments as integers: ptr is out/v/t/pos, or the
                callback of a traversal; ptr2 is the value pointer
    data, data2 the 12 bytes read through ptr / ptr2 (inputs only)
    value_bits  bits of the float value given to setscl
    gil         PyGILState_Check() on entry
    attached    a thread state was attached on entry
    ret         value returned (adders, samplers) or elements reported
                (traversals)
    ordinal     calls of the same kind before this one since the reset
    """

    __slots__ = ()

    @property
    def floats(self) -> np.ndarray:
        return np.frombuffer(self.data, dtype=np.float32).copy()

    @property
    def ints(self) -> np.ndarray:
        return np.frombuffer(self.data, dtype=np.int32).copy()

    @property
    def words(self) -> tuple[int, int, int]:
        return tuple(int(w) for w in np.frombuffer(self.data, dtype=np.uint32))

    @property
    def floats2(self) -> np.ndarray:
        return np.frombuffer(self.data2, dtype=np.float32).copy()

    @property
    def words2(self) -> tuple[int, int, int]:
        return tuple(int(w) for w in np.frombuffer(self.data2, dtype=np.uint32))

    @property
    def value(self) -> np.float32:
        return np.array([self.value_bits], dtype=np.uint32).view(np.float32)[0]

    @property
    def wrote(self) -> bool:
        return bool(self.flags & F_WROTE)

    @property
    def rendezvous_timed_out(self) -> bool:
        return bool(self.flags & F_RDV_TIMEOUT)


class Recorder:
    """Addresses, configuration and log of the recording entry points."""

    def __init__(self, path: os.PathLike | str):
        self.path = Path(path)
        self.lib = ctypes.CDLL(str(self.path))
        lib = self.lib
        lib.rec_record_size.restype = ctypes.c_int
        if lib.rec_record_size() != ctypes.sizeof(RecordStruct):
            raise RuntimeError("RecordStruct does not match rec_t in recorder.c")
        lib.rec_vec_bits.restype = ctypes.c_uint32
        lib.rec_vec_bits.argtypes = [ctypes.c_int64, ctypes.c_int]
        lib.rec_tri_value.restype = ctypes.c_int32
        lib.rec_tri_value.argtypes = [ctypes.c_int64, ctypes.c_int]
        lib.rec_log_count.restype = ctypes.c_int64
        lib.rec_call_count.restype = ctypes.c_int64
        lib.rec_call_count.argtypes = [ctypes.c_int]
        lib.rec_log_read.restype = ctypes.c_int64
        lib.rec_log_read.argtypes = [ctypes.c_void_p, ctypes.c_int64, ctypes.c_int64]
        lib.rec_set_getter_table.argtypes = [ctypes.c_void_p, ctypes.c_int64]
        lib.rec_set_getter_skip.argtypes = [ctypes.c_void_p, ctypes.c_int64]
        lib.rec_set_add_return.argtypes = [ctypes.c_int, ctypes.c_int32]
        lib.rec_set_sampler.argtypes = [
            ctypes.c_int,
            ctypes.c_void_p,
            ctypes.c_int64,
            ctypes.c_void_p,
            ctypes.c_int64,
            ctypes.c_void_p,
            ctypes.c_int64,
        ]
        lib.rec_set_traversal.argtypes = [
            ctypes.c_int,
            ctypes.c_void_p,
            ctypes.c_void_p,
            ctypes.c_int64,
            ctypes.c_void_p,
            ctypes.c_int64,
        ]
        lib.rec_set_rendezvous.argtypes = [ctypes.c_int, ctypes.c_int]
        lib.rec_set_logging.argtypes = [ctypes.c_int]
        self._addresses = {
            name: ctypes.cast(getattr(lib, sym), ctypes.c_void_p).value for name, sym in _SYMBOLS.items()
        }

    # -- entry points and log -------------------------------------------------

    def fn(self, kind: str) -> int:
        """Address of the recording entry point of that kind, e.g. fn("getvec")."""
        return self._addresses[kind]

    def reset(self) -> None:
        """Empty the log and restore every default (see rec_reset_config)."""
        self.lib.rec_reset_config()
        self.lib.rec_reset_log()

    def clear_log(self) -> None:
        self.lib.rec_reset_log()

    def set_logging(self, on: bool) -> None:
        """Turn logging of records off for big or threaded runs; counts still move."""
        self.lib.rec_set_logging(1 if on else 0)

    def count(self, kind: str | None = None) -> int:
        """Calls since the reset, of one kind or of all kinds (logged or not)."""
        if kind is None:
            return sum(self.lib.rec_call_count(k) for k in KIND_IDS.values())
        return self.lib.rec_call_count(KIND_IDS[kind])

    def calls(self, kind: str | None = None) -> list[Call]:
        """Logged calls in call order, optionally only those of one kind."""
        n = self.lib.rec_log_count()
        buf = (RecordStruct * max(n, 1))()
        got = self.lib.rec_log_read(ctypes.addressof(buf), 0, n)
        out = []
        for r in buf[:got]:
            name = KIND_NAMES[r.kind]
            if kind is not None and name != kind:
                continue
            out.append(
                Call(
                    r.seq,
                    name,
                    r.index,
                    r.inst,
                    r.h,
                    r.p0,
                    r.p1,
                    r.thread,
                    bytes(r.in0),
                    bytes(r.in1),
                    r.value_bits,
                    bool(r.gil),
                    bool(r.attached),
                    r.ret,
                    r.ordinal,
                    r.flags,
                )
            )
        return out

    # -- getters --------------------------------------------------------------

    def vec_bits(self, i: int, c: int) -> int:
        return self.lib.rec_vec_bits(i, c)

    def tri_value(self, i: int, c: int) -> int:
        return self.lib.rec_tri_value(i, c)

    def expected_vertices(self, n: int, start: int = 0) -> np.ndarray:
        """(n, 3) float32 array of what getvec writes at indices start.. by default."""
        bits = np.array(
            [[self.vec_bits(i, c) for c in range(3)] for i in range(start, start + n)],
            dtype=np.uint32,
        ).reshape(n, 3)
        return bits.view(np.float32)

    def expected_triangles(self, n: int, start: int = 0) -> np.ndarray:
        """(n, 3) int32 array of what gettri writes at indices start.. by default."""
        return np.array(
            [[self.tri_value(i, c) for c in range(3)] for i in range(start, start + n)],
            dtype=np.int32,
        ).reshape(n, 3)

    def set_getter_table(self, rows) -> None:
        """Make getvec/gettri write row i of `rows` (shape (k, 3), 4-byte items)
        for index i < k and nothing beyond; None: back to derived values."""
        if rows is None:
            self.lib.rec_set_getter_table(None, 0)
            return
        a = np.ascontiguousarray(rows)
        if a.ndim != 2 or a.shape[1] != 3 or a.itemsize != 4:
            raise ValueError("getter table must have shape (k, 3) with 4-byte items")
        self.lib.rec_set_getter_table(a.ctypes.data, a.shape[0])

    def set_getter_skip(self, indices) -> None:
        """Leave the rows at these indices unwritten."""
        indices = list(indices)
        mask = np.zeros(max(indices, default=-1) + 1, dtype=np.uint8)
        mask[indices] = 1
        self.lib.rec_set_getter_skip(mask.ctypes.data if mask.size else None, mask.size)

    # -- adders, samplers, traversals -------------------------------------------

    def set_add_return(self, kind: str, value: int) -> None:
        """Value that addvec/addtri return."""
        self.lib.rec_set_add_return(KIND_IDS[kind], value)

    def set_sampler(self, kind: str, returns=None, writes=None, values=None) -> None:
        """Behaviour of getscl/getvecf by call ordinal k (each sequence cycled):
        return byte returns[k] (default 1), write a value if writes[k] (default
        yes), the value written is values[k] (a float for getscl, three floats
        for getvecf; default derived from k by rec_vec_bits).  Values are taken
        as float32 bit patterns when given as a uint32 array."""
        words = 1 if kind == "getscl" else 3
        r = None if returns is None else np.ascontiguousarray(returns, dtype=np.uint8)
        w = None if writes is None else np.ascontiguousarray(writes, dtype=np.uint8)
        v = None
        if values is not None:
            v = np.asarray(values)
            v = v.view(np.uint32) if v.dtype == np.uint32 else v.astype(np.float32).view(np.uint32)
            v = np.ascontiguousarray(v).reshape(-1, words)
        self.lib.rec_set_sampler(
            KIND_IDS[kind],
            None if r is None else r.ctypes.data,
            0 if r is None else r.size,
            None if w is None else w.ctypes.data,
            0 if w is None else w.size,
            None if v is None else v.ctypes.data,
            0 if v is None else v.shape[0],
        )

    def set_traversal(self, kind: str, coords, values, passes=None) -> None:
        """Elements that traverse_s/traverse_v report: coords (k, 3), values (k,)
        or (k, 3), float32 (or uint32 bit patterns).  passes[j] is the number
        of elements reported by the j-th traversal call (last entry for later
        calls; elements cycle when more are asked for); None: all k each time."""
        words = 1 if kind == "traverse_s" else 3
        c = np.asarray(coords)
        c = c.view(np.uint32) if c.dtype == np.uint32 else c.astype(np.float32).view(np.uint32)
        c = np.ascontiguousarray(c).reshape(-1, 3)
        v = np.asarray(values)
        v = v.view(np.uint32) if v.dtype == np.uint32 else v.astype(np.float32).view(np.uint32)
        v = np.ascontiguousarray(v).reshape(-1, words)
        if c.shape[0] != v.shape[0]:
            raise ValueError("coords and values differ in length")
        p = None if passes is None else np.ascontiguousarray(passes, dtype=np.int64)
        self.lib.rec_set_traversal(
            KIND_IDS[kind],
            c.ctypes.data if c.size else None,
            v.ctypes.data if v.size else None,
            c.shape[0],
            None if p is None else p.ctypes.data,
            0 if p is None else p.size,
        )

    def set_rendezvous(self, nthreads: int, timeout: float = 5.0) -> None:
        """The first call on each thread waits until nthreads threads have made
        one (or timeout seconds pass: the record then has rendezvous_timed_out).
        0 disarms it."""
        self.lib.rec_set_rendezvous(nthreads, int(timeout * 1000))
