"""The contenders: this module, a plain C loop, and Python loops through ctypes and cffi.

A contender turns one function's :class:`~quorpy.bench.workloads.Inputs` into a
:class:`Call`: a statement and the names it uses, which the timer compiles into a
loop the way :mod:`timeit` does, so that every contender pays the same (small) loop
overhead per call. The numba contender lives in :mod:`quorpy.bench.nb`.
"""

from __future__ import annotations

import ctypes
from dataclasses import dataclass, field
from importlib import resources

import numpy as np

from quorpy import _fastloop, catalogue
from quorpy.bench import clib
from quorpy.bench.workloads import Inputs


@dataclass
class Call:
    stmt: str
    names: dict[str, object] = field(default_factory=dict)


def module_args(function: str, inp: Inputs) -> tuple[str, dict[str, object]]:
    """The arguments of a call in the module's own form: source text and values."""
    names: dict[str, object] = {"fn": inp.fn, "inst": inp.inst, "h": inp.h}
    if catalogue.FUNCTIONS[function].family == catalogue.READOUT:
        names["n"] = inp.n
    elif inp.rows is not None:
        names["rows"] = inp.rows
        if inp.vals is not None:
            names["vals"] = inp.vals
    return ", ".join(names), names


class Contender:
    key = ""
    label = ""
    #: Slow contenders are measured up to a size cap only, and extrapolated above.
    capped = False

    def missing(self) -> str | None:
        """Why this contender cannot run here, or None."""
        return None

    def call(self, function: str, inp: Inputs) -> Call:
        raise NotImplementedError


class Ours(Contender):
    key, label = "quorpy", "quorpy"

    def call(self, function: str, inp: Inputs) -> Call:
        args, names = module_args(function, inp)
        return Call(f"f({args})", {"f": getattr(_fastloop, function), **names})


class CLoop(Contender):
    """One ctypes call running the whole C loop, over result arrays made anew on every
    call with NumPy, as the function itself must return new arrays: the cost of the
    native calls and of fresh result memory, and nothing else. (Fresh memory is not
    free: the first write to each new page costs the kernel a fault, which arrays
    reused from call to call would hide.)"""

    key, label = "c_loop", "C loop"

    def call(self, function: str, inp: Inputs) -> Call:
        inputs = [a.ctypes.data for a in (inp.rows, inp.vals) if a is not None]
        run = _with_new_results(clib.loop(function), inputs, catalogue.FUNCTIONS[function].outputs, inp.n)
        return Call("f(fn, inst, h, n)", {"f": run, "fn": inp.fn, "inst": inp.inst, "h": inp.h, "n": inp.n})


def _with_new_results(loop, inputs: list[int], outputs: tuple[catalogue.Array, ...], n: int):
    """The C loop as a call ``run(fn, inst, h, n)`` that makes the result arrays for n
    elements, runs the loop over the input addresses and them, and returns them."""
    specs = [(a.sized(n), a.dtype) for a in outputs]

    def run(fn: int, inst: int, h: int, n: int) -> tuple[np.ndarray, ...]:
        arrays = tuple(np.empty(shape, dtype) for shape, dtype in specs)
        loop(fn, inst, h, *inputs, *[a.ctypes.data for a in arrays], n)
        return arrays

    return run


# ---- Python loops ---------------------------------------------------------------------
# Written as a user would write them, fast idioms included: integer addresses with
# pointer arithmetic, values converted to a list once, results gathered in a list.


def _read_rows(g, inst, h, n, addr, dtype):
    out = np.empty((n, 3), dtype)
    base = addr(out)
    for i in range(n):
        g(inst, h, i, base + 12 * i)
    return out


def _add_rows(g, inst, h, rows, addr):
    base = addr(rows)
    for i in range(len(rows)):
        g(inst, h, base + 12 * i)


def _scalar_set(g, inst, h, pos, vals, addr):
    base = addr(pos)
    for i, v in enumerate(vals.tolist()):
        g(inst, h, base + 12 * i, v)


def _vector_set(g, inst, h, pos, vals, addr):
    pb, vb = addr(pos), addr(vals)
    for i in range(len(pos)):
        g(inst, h, pb + 12 * i, vb + 12 * i)


def _get_many(g, inst, h, pos, addr, vector):
    n = len(pos)
    vals = np.empty((n, 3) if vector else n, np.float32)
    pb, vb, step = addr(pos), addr(vals), 12 if vector else 4
    found = np.array([g(inst, h, pb + 12 * i, vb + step * i) for i in range(n)], dtype=bool)
    vals[~found] = np.nan
    return vals, found


def _gathered(coords, vals, vector):
    c = np.array(coords, np.float32).reshape(-1, 3)
    return c, np.array(vals, np.float32).reshape(-1, 3) if vector else np.array(vals, np.float32)


class _PythonLoop(Contender):
    """What the two Python loops share: the loop bodies above; they differ in how a
    native is typed, how an address becomes a pointer, and how a callback is made."""

    capped = True

    def call(self, function: str, inp: Inputs) -> Call:
        spec = catalogue.FUNCTIONS[function]
        g, addr = self.native(spec, inp.fn), self.address
        names = {"g": g, "inst": inp.inst, "h": inp.h, "addr": addr}
        if spec.family == catalogue.READOUT:
            names.update(n=inp.n, dt=spec.outputs[0].dtype, f=_read_rows)
            return Call("f(g, inst, h, n, addr, dt)", names)
        if spec.family == catalogue.BUILDING:
            return Call("f(g, inst, h, rows, addr)", {**names, "rows": inp.rows, "f": _add_rows})
        if spec.family == catalogue.FIELD_SETTER:
            f = _vector_set if spec.vector else _scalar_set
            return Call("f(g, inst, h, pos, vals, addr)", {**names, "pos": inp.rows, "vals": inp.vals, "f": f})
        if spec.family == catalogue.FIELD_SAMPLER:
            names.update(pos=inp.rows, vec=spec.vector, f=_get_many)
            return Call("f(g, inst, h, pos, addr, vec)", names)
        names.update(vec=spec.vector, f=self.traverse)
        return Call("f(g, inst, h, vec)", names)


class CtypesLoop(_PythonLoop):
    key, label = "ctypes", "ctypes loop"

    _u64, _p, _f = ctypes.c_uint64, ctypes.c_void_p, ctypes.c_float
    TRAVS = ctypes.CFUNCTYPE(None, ctypes.POINTER(_f), _f)
    TRAVV = ctypes.CFUNCTYPE(None, ctypes.POINTER(_f), ctypes.POINTER(_f))
    _read = ctypes.CFUNCTYPE(None, _u64, _u64, ctypes.c_int, _p)
    _add = ctypes.CFUNCTYPE(ctypes.c_int, _u64, _u64, _p)
    _get = ctypes.CFUNCTYPE(ctypes.c_ubyte, _u64, _u64, _p, _p)
    # The natives' C types in ctypes. Pointers are declared void* so that integer
    # addresses pass as they are.
    TYPES = {
        "QLgetvec_t": _read,
        "QLgettri_t": _read,
        "QLaddvec_t": _add,
        "QLaddtri_t": _add,
        "QLsetscl_t": ctypes.CFUNCTYPE(None, _u64, _u64, _p, _f),
        "QLgetscl_t": _get,
        "QLsetvec_t": ctypes.CFUNCTYPE(None, _u64, _u64, _p, _p),
        "QLgetvecf_t": _get,
        "QLtraverse_s_t": ctypes.CFUNCTYPE(None, _u64, _u64, TRAVS),
        "QLtraverse_v_t": ctypes.CFUNCTYPE(None, _u64, _u64, TRAVV),
    }

    @staticmethod
    def address(a: np.ndarray) -> int:
        return a.ctypes.data

    def native(self, spec: catalogue.Function, fn: int):
        return self.TYPES[spec.native](fn)

    def traverse(self, g, inst, h, vector):
        coords, vals = [], []
        if vector:

            def report(pc, pv):
                coords.extend(pc[:3])
                vals.extend(pv[:3])

            g(inst, h, self.TRAVV(report))
        else:

            def report(pc, v):
                coords.extend(pc[:3])
                vals.append(v)

            g(inst, h, self.TRAVS(report))
        return _gathered(coords, vals, vector)


def native_declarations() -> str:
    """The native types as C declarations, read from the header the natives are
    written against (shipped in the package): the part of it marked for cffi."""
    text = (resources.files("quorpy") / "include" / "quorpy" / "native.h").read_text()
    begin = text.index("\n", text.index("/* cffi: from here"))
    return text[begin : text.index("/* cffi: end. */")]


class CffiLoop(_PythonLoop):
    """cffi in ABI mode: the native is cast from its address, arrays become typed
    pointers with ``ffi.from_buffer`` and advance by pointer arithmetic."""

    key, label = "cffi", "cffi loop"

    def __init__(self) -> None:
        try:
            import cffi
        except ImportError:
            self.ffi = None
            return
        self.ffi = cffi.FFI()
        self.ffi.cdef(native_declarations())

    def missing(self) -> str | None:
        return None if self.ffi is not None else "cffi is not installed (pip install quorpy[bench])"

    def address(self, a: np.ndarray):
        # A char[] over the array: its pointer arithmetic steps in bytes, as the loop
        # bodies expect, and it keeps the array alive.
        return self.ffi.from_buffer(a)

    def native(self, spec: catalogue.Function, fn: int):
        # The loops pass char* where the native wants float*/int32*: retype the
        # native's pointer parameters accordingly (same ABI).
        if spec.family == catalogue.ACTIVE_VALUES:
            return self.ffi.cast(spec.native, fn)
        return self._char_typed(spec.native, fn)

    def _char_typed(self, t: str, fn: int):
        ffi = self.ffi
        proto = ffi.typeof(t)
        args = ", ".join("char *" if a.kind == "pointer" else a.cname for a in proto.args)
        return ffi.cast(f"{proto.result.cname}(*)({args})", fn)

    def traverse(self, g, inst, h, vector):
        ffi, coords, vals = self.ffi, [], []
        if vector:

            def report(pc, pv):
                coords.extend(ffi.unpack(pc, 3))
                vals.extend(ffi.unpack(pv, 3))

            g(inst, h, ffi.callback("QLtravv_cb_t", report))
        else:

            def report(pc, v):
                coords.extend(ffi.unpack(pc, 3))
                vals.append(v)

            g(inst, h, ffi.callback("QLtravs_cb_t", report))
        return _gathered(coords, vals, vector)
