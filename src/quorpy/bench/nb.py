"""The numba contender: an ``@njit`` loop calling the native through its address.

numba has no way to call an address that it receives as an integer at run time
(ctypes functions and cfuncs are frozen in as constants when compiled). So a small
intrinsic, :func:`_caller`, emits what a C compiler emits for a call through a
function pointer: ``inttoptr`` to the native's exact C type, then an indirect call.
Array pointers travel as integers (``arr.ctypes.data + offset``), which the x86-64
calling convention passes exactly like pointers.

Traversals call back with no context, so the callbacks are ``@cfunc``s that find
their cursor and output addresses in a small state array whose address they hold as
a constant. Like the module, a traversal runs twice: it counts, then fills arrays of
that size.

Results are made with the calls the functions make (np.empty, and found flags as
np.zeros bytes viewed as bool), as a numba user would write them: in numba's own
implementation of those calls (its np.zeros is an allocation and a memset).

Every loop releases the GIL (``nogil=True``), as the functions must and the C loop does
through ctypes: a loop that keeps it spares itself that cost, and stops every other
thread meanwhile.

Loops are compiled on first use and cached on disk (``cache=True``); the cfuncs,
which hold an address of this process, are compiled anew in each process.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
from llvmlite import ir
from numba import cfunc, njit, types
from numba.extending import intrinsic
from numba.np.numpy_support import carray
from numpy.typing import NDArray

from quorpy import catalogue
from quorpy.bench.contenders import Call, Contender, module_args
from quorpy.bench.workloads import Inputs

u64, i32, f32, u8, addr = types.uint64, types.int32, types.float32, types.uint8, types.intp
Array = NDArray[Any]
Codegen = Callable[[Any, Any, Any, Sequence[Any]], Any]  # (context, builder, signature, LLVM arguments)


def _caller(restype: types.Type, *params: types.Type) -> Callable[..., Any]:
    """An intrinsic ``call(fn, (args...))`` calling the native at address ``fn`` as
    ``restype(*params)``; each argument is converted to its parameter's type."""

    @intrinsic
    def call(typingctx: Any, fn: types.Type, args: Any) -> tuple[Any, Codegen]:
        def codegen(context: Any, builder: Any, sig: Any, llargs: Sequence[Any]) -> Any:
            fnty = ir.FunctionType(context.get_value_type(restype), [context.get_value_type(p) for p in params])
            ptr = builder.inttoptr(llargs[0], fnty.as_pointer())
            values = [
                context.cast(builder, builder.extract_value(llargs[1], i), args[i], p) for i, p in enumerate(params)
            ]
            result = builder.call(ptr, values)
            return context.get_dummy_value() if restype == types.void else result

        return restype(fn, args), codegen

    return call


def _pointer_to(dtype: types.Type) -> Callable[..., Any]:
    @intrinsic
    def pointer(typingctx: Any, address: types.Type) -> tuple[Any, Codegen]:
        def codegen(context: Any, builder: Any, sig: Any, llargs: Sequence[Any]) -> Any:
            return builder.inttoptr(llargs[0], context.get_value_type(sig.return_type))

        return types.CPointer(dtype)(address), codegen  # type: ignore[no-untyped-call]

    return pointer


_getrow = _caller(types.void, u64, u64, i32, addr)
_addrow = _caller(types.int32, u64, u64, addr)
_setscl = _caller(types.void, u64, u64, addr, f32)
_setvec = _caller(types.void, u64, u64, addr, addr)
_sample = _caller(u8, u64, u64, addr, addr)
_traverse = _caller(types.void, u64, u64, addr)
_f32p, _i64p = _pointer_to(f32), _pointer_to(types.int64)


@njit(cache=True, nogil=True)
def read_rows(fn: int, inst: int, h: int, n: int, out: Array) -> Array:
    # `out` is np.empty((n, 3), dtype) made here by the caller's dtype: one loop for both.
    base = out.ctypes.data
    for i in range(n):
        _getrow(fn, (inst, h, i, base + 12 * i))
    return out


@njit(cache=True, nogil=True)
def read_vertices(fn: int, inst: int, h: int, n: int) -> Array:
    return read_rows(fn, inst, h, n, np.empty((n, 3), np.float32))


@njit(cache=True, nogil=True)
def read_triangles(fn: int, inst: int, h: int, n: int) -> Array:
    return read_rows(fn, inst, h, n, np.empty((n, 3), np.int32))


@njit(cache=True, nogil=True)
def add_rows(fn: int, inst: int, h: int, rows: Array) -> None:
    base = rows.ctypes.data
    for i in range(rows.shape[0]):
        _addrow(fn, (inst, h, base + 12 * i))


@njit(cache=True, nogil=True)
def scalar_set_many(fn: int, inst: int, h: int, pos: Array, vals: Array) -> None:
    base = pos.ctypes.data
    for i in range(pos.shape[0]):
        _setscl(fn, (inst, h, base + 12 * i, vals[i]))


@njit(cache=True, nogil=True)
def vector_set_many(fn: int, inst: int, h: int, pos: Array, vals: Array) -> None:
    pb, vb = pos.ctypes.data, vals.ctypes.data
    for i in range(pos.shape[0]):
        _setvec(fn, (inst, h, pb + 12 * i, vb + 12 * i))


@njit(cache=True, nogil=True)
def scalar_get_many(fn: int, inst: int, h: int, pos: Array) -> tuple[Array, Array]:
    n = pos.shape[0]
    vals, found = np.empty(n, np.float32), np.zeros(n, np.uint8)
    pb, vb = pos.ctypes.data, vals.ctypes.data
    for i in range(n):
        found[i] = _sample(fn, (inst, h, pb + 12 * i, vb + 4 * i)) != 0
        if not found[i]:
            vals[i] = np.nan
    return vals, found.view(np.bool_)


@njit(cache=True, nogil=True)
def vector_get_many(fn: int, inst: int, h: int, pos: Array) -> tuple[Array, Array]:
    n = pos.shape[0]
    vals, found = np.empty((n, 3), np.float32), np.zeros(n, np.uint8)
    pb, vb = pos.ctypes.data, vals.ctypes.data
    for i in range(n):
        found[i] = _sample(fn, (inst, h, pb + 12 * i, vb + 12 * i)) != 0
        if not found[i]:
            vals[i, :] = np.nan
    return vals, found.view(np.bool_)


# ---- traversals -------------------------------------------------------------------
# state: [next index, coords address, values address, rows allocated]

_state = np.zeros(4, np.int64)
_STATE = _state.ctypes.data
_pf = types.CPointer(f32)  # type: ignore[no-untyped-call]


@cfunc(types.void(_pf, f32))
def _count_s(pc: Any, v: float) -> None:
    carray(_i64p(_STATE), 4)[0] += 1


@cfunc(types.void(_pf, _pf))
def _count_v(pc: Any, pv: Any) -> None:
    carray(_i64p(_STATE), 4)[0] += 1


@cfunc(types.void(_pf, f32))
def _fill_s(pc: Any, v: float) -> None:
    st = carray(_i64p(_STATE), 4)
    i = st[0]
    st[0] = i + 1
    if i < st[3]:
        c = carray(_f32p(st[1] + 12 * i), 3)
        c[0], c[1], c[2] = pc[0], pc[1], pc[2]
        carray(_f32p(st[2] + 4 * i), 1)[0] = v


@cfunc(types.void(_pf, _pf))
def _fill_v(pc: Any, pv: Any) -> None:
    st = carray(_i64p(_STATE), 4)
    i = st[0]
    st[0] = i + 1
    if i < st[3]:
        c = carray(_f32p(st[1] + 12 * i), 3)
        c[0], c[1], c[2] = pc[0], pc[1], pc[2]
        v = carray(_f32p(st[2] + 12 * i), 3)
        v[0], v[1], v[2] = pv[0], pv[1], pv[2]


@njit(cache=True, nogil=True)
def _count(fn: int, inst: int, h: int, count: int, state: Array) -> int:
    state[0] = 0
    _traverse(fn, (inst, h, count))
    return int(state[0])


@njit(cache=True, nogil=True)
def _fill(fn: int, inst: int, h: int, fill: int, state: Array, coords: Array, vals: Array) -> tuple[Array, Array]:
    state[0], state[1], state[2], state[3] = 0, coords.ctypes.data, vals.ctypes.data, coords.shape[0]
    _traverse(fn, (inst, h, fill))
    return coords, vals


@njit(cache=True, nogil=True)
def scalar_active_values(fn: int, inst: int, h: int, count: int, fill: int, state: Array) -> tuple[Array, Array]:
    n = _count(fn, inst, h, count, state)
    return _fill(fn, inst, h, fill, state, np.empty((n, 3), np.float32), np.empty(n, np.float32))


@njit(cache=True, nogil=True)
def vector_active_values(fn: int, inst: int, h: int, count: int, fill: int, state: Array) -> tuple[Array, Array]:
    n = _count(fn, inst, h, count, state)
    return _fill(fn, inst, h, fill, state, np.empty((n, 3), np.float32), np.empty((n, 3), np.float32))


# A traversal's (count, fill) callbacks, by whether its values are vectors.
CALLBACKS = {False: (_count_s, _fill_s), True: (_count_v, _fill_v)}


class Numba(Contender):
    key, label = "numba", "numba @njit"

    def call(self, function: str, inp: Inputs) -> Call:
        args, names = module_args(function, inp)
        spec = catalogue.FUNCTIONS[function]
        if spec.family == catalogue.ACTIVE_VALUES:
            count, fill = CALLBACKS[spec.vector]
            names.update(c=count.address, fl=fill.address, st=_state)
            args += ", c, fl, st"
        f = add_rows if spec.family == catalogue.BUILDING else globals()[function]
        return Call(f"f({args})", {"f": f, **names})
