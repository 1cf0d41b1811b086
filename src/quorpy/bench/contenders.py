"""The contenders: this module, a plain C loop, and Python loops through ctypes and cffi.

A contender turns one function's :class:`~quorpy.bench.workloads.Inputs` into a
:class:`Call`: a statement and the names it uses, which the timer compiles into a
loop the way :mod:`timeit` does, so that every contender pays the same (small) loop
overhead per call. The numba contender lives in :mod:`quorpy.bench.nb`.
"""

from __future__ import annotations

import ctypes
from collections.abc import Callable
from dataclasses import dataclass, field
from importlib import resources
from typing import Any

import numpy as np
from numpy.typing import NDArray

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


# ---- results, made as the functions make them ------------------------------------------
# Fresh memory is not free: the first write to each new page costs the kernel a fault,
# which arrays reused from call to call would hide. So every contender that returns
# arrays makes them anew on every call, with the calls the functions make.


def _making(a: catalogue.Array) -> tuple[str, type[np.generic], type | None]:
    """How the functions make the result ``a``: ``np.<call>(shape, dtype=dtype)``, then a
    view as ``view``. Found flags are zeroed bytes viewed as bool; the rest np.empty."""
    if a.dtype is np.bool_:
        return "zeros", np.uint8, bool
    return "empty", a.dtype, None


def _shape(a: catalogue.Array, n: int) -> int | tuple[int, ...]:
    shape = a.sized(n)
    return shape[0] if len(shape) == 1 else shape


def new_result(a: catalogue.Array, n: int) -> NDArray[Any]:
    """A new result array ``a`` of n rows, made as the functions make it."""
    call, dtype, view = _making(a)
    out: NDArray[Any] = getattr(np, call)(_shape(a, n), dtype=dtype)
    return out if view is None else out.view(view)


def results_source(function: str, n: int) -> str:
    """The same calls as source text, for the results of ``function`` at n rows."""
    made = []
    for a in catalogue.FUNCTIONS[function].outputs:
        call, dtype, view = _making(a)
        viewed = f".view({view.__name__})" if view else ""
        made.append(f"np.{call}({_shape(a, n)}, dtype=np.{dtype.__name__}){viewed}")
    return ", ".join(made)


class CLoop(Contender):
    """One ctypes call running the whole C loop, over result arrays made anew on every
    call with NumPy, as the function itself must return new arrays: the cost of the
    native calls and of fresh result memory, and nothing else."""

    key, label = "c_loop", "C loop"

    def call(self, function: str, inp: Inputs) -> Call:
        inputs = [a.ctypes.data for a in (inp.rows, inp.vals) if a is not None]
        run = _with_new_results(clib.loop(function), inputs, catalogue.FUNCTIONS[function].outputs, inp.n)
        return Call("f(fn, inst, h, n)", {"f": run, "fn": inp.fn, "inst": inp.inst, "h": inp.h, "n": inp.n})


def _with_new_results(
    loop: Callable[..., object], inputs: list[int], outputs: tuple[catalogue.Array, ...], n: int
) -> Callable[[int, int, int, int], tuple[NDArray[Any], ...]]:
    """The C loop as a call ``run(fn, inst, h, n)`` that makes the result arrays for n
    elements, runs the loop over the input addresses and them, and returns them."""

    def run(fn: int, inst: int, h: int, n: int) -> tuple[NDArray[Any], ...]:
        arrays = tuple(new_result(a, n) for a in outputs)
        loop(fn, inst, h, *inputs, *[a.ctypes.data for a in arrays], n)
        return arrays

    return run


# ---- Python loops ---------------------------------------------------------------------
# Written as a user would write them, fast idioms included: integer addresses with
# pointer arithmetic, values converted to a list once, flags and traversed values
# gathered in a list and written into the results at once.

Native = Callable[..., Any]  # as a Python loop calls it: ctypes or cffi
Address = Callable[[NDArray[Any]], Any]  # an array's address: an int, or cffi's char*


def _read_rows(g: Native, inst: int, h: int, n: int, addr: Address, made: catalogue.Array) -> NDArray[Any]:
    out = new_result(made, n)
    base = addr(out)
    for i in range(n):
        g(inst, h, i, base + 12 * i)
    return out


def _add_rows(g: Native, inst: int, h: int, rows: NDArray[Any], addr: Address) -> None:
    base = addr(rows)
    for i in range(len(rows)):
        g(inst, h, base + 12 * i)


def _scalar_set(g: Native, inst: int, h: int, pos: NDArray[Any], vals: NDArray[Any], addr: Address) -> None:
    base = addr(pos)
    for i, v in enumerate(vals.tolist()):
        g(inst, h, base + 12 * i, v)


def _vector_set(g: Native, inst: int, h: int, pos: NDArray[Any], vals: NDArray[Any], addr: Address) -> None:
    pb, vb = addr(pos), addr(vals)
    for i in range(len(pos)):
        g(inst, h, pb + 12 * i, vb + 12 * i)


def _get_many(
    g: Native, inst: int, h: int, pos: NDArray[Any], addr: Address, made: tuple[catalogue.Array, ...]
) -> tuple[NDArray[Any], NDArray[Any]]:
    n = len(pos)
    vals, found = (new_result(a, n) for a in made)
    pb, vb, step = addr(pos), addr(vals), vals.strides[0]
    found[:] = [g(inst, h, pb + 12 * i, vb + step * i) for i in range(n)]
    vals[~found] = np.nan
    return vals, found


# A traversal's results (coords, values), by whether its values are vectors.
_TRAVERSED = {f.vector: f.outputs for f in catalogue.FUNCTIONS.values() if f.family == catalogue.ACTIVE_VALUES}


def _gathered(coords: list[float], vals: list[float], vector: bool) -> tuple[NDArray[Any], NDArray[Any]]:
    c, v = (new_result(a, len(coords) // 3) for a in _TRAVERSED[vector])
    c.reshape(-1)[:] = coords
    v.reshape(-1)[:] = vals
    return c, v


class _PythonLoop(Contender):
    """What the two Python loops share: the loop bodies above; they differ in how a
    native is typed, how an address becomes a pointer, and how a callback is made."""

    capped = True

    def native(self, spec: catalogue.Function, fn: int) -> Native:
        raise NotImplementedError

    def address(self, a: NDArray[Any]) -> Any:
        raise NotImplementedError

    def traverse(self, g: Native, inst: int, h: int, vector: bool) -> tuple[NDArray[Any], NDArray[Any]]:
        raise NotImplementedError

    def call(self, function: str, inp: Inputs) -> Call:
        spec = catalogue.FUNCTIONS[function]
        g, addr = self.native(spec, inp.fn), self.address
        names: dict[str, object] = {"g": g, "inst": inp.inst, "h": inp.h, "addr": addr}
        if spec.family == catalogue.READOUT:
            names.update(n=inp.n, made=spec.outputs[0], f=_read_rows)
            return Call("f(g, inst, h, n, addr, made)", names)
        if spec.family == catalogue.BUILDING:
            return Call("f(g, inst, h, rows, addr)", {**names, "rows": inp.rows, "f": _add_rows})
        if spec.family == catalogue.FIELD_SETTER:
            f = _vector_set if spec.vector else _scalar_set
            return Call("f(g, inst, h, pos, vals, addr)", {**names, "pos": inp.rows, "vals": inp.vals, "f": f})
        if spec.family == catalogue.FIELD_SAMPLER:
            names.update(pos=inp.rows, made=spec.outputs, f=_get_many)
            return Call("f(g, inst, h, pos, addr, made)", names)
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
    def address(a: NDArray[Any]) -> int:
        return a.ctypes.data

    def native(self, spec: catalogue.Function, fn: int) -> Native:
        return self.TYPES[spec.native](fn)

    def traverse(self, g: Native, inst: int, h: int, vector: bool) -> tuple[NDArray[Any], NDArray[Any]]:
        coords: list[float] = []
        vals: list[float] = []
        if vector:

            def report(pc: Any, v: Any) -> None:
                coords.extend(pc[:3])
                vals.extend(v[:3])

            g(inst, h, self.TRAVV(report))
        else:

            def report(pc: Any, v: Any) -> None:
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
        self.ffi: Any = None
        try:
            import cffi
        except ImportError:
            return
        self.ffi = cffi.FFI()
        self.ffi.cdef(native_declarations())

    def missing(self) -> str | None:
        return None if self.ffi is not None else "cffi is not installed (pip install quorpy[bench])"

    def address(self, a: NDArray[Any]) -> Any:
        # A char[] over the array: its pointer arithmetic steps in bytes, as the loop
        # bodies expect, and it keeps the array alive.
        return self.ffi.from_buffer(a)

    def native(self, spec: catalogue.Function, fn: int) -> Native:
        # The loops pass char* where the native wants float*/int32*: retype the
        # native's pointer parameters accordingly (same ABI).
        if spec.family == catalogue.ACTIVE_VALUES:
            native: Native = self.ffi.cast(spec.native, fn)
            return native
        return self._char_typed(spec.native, fn)

    def _char_typed(self, t: str, fn: int) -> Native:
        ffi = self.ffi
        proto = ffi.typeof(t)
        args = ", ".join("char *" if a.kind == "pointer" else a.cname for a in proto.args)
        native: Native = ffi.cast(f"{proto.result.cname}(*)({args})", fn)
        return native

    def traverse(self, g: Native, inst: int, h: int, vector: bool) -> tuple[NDArray[Any], NDArray[Any]]:
        ffi, coords, vals = self.ffi, list[float](), list[float]()
        if vector:

            def report(pc: Any, v: Any) -> None:
                coords.extend(ffi.unpack(pc, 3))
                vals.extend(ffi.unpack(v, 3))

            g(inst, h, ffi.callback("QLtravv_cb_t", report))
        else:

            def report(pc: Any, v: Any) -> None:
                coords.extend(ffi.unpack(pc, 3))
                vals.append(v)

            g(inst, h, ffi.callback("QLtravs_cb_t", report))
        return _gathered(coords, vals, vector)
