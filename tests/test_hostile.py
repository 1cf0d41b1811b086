"""Hostile inputs: arbitrary objects, dtypes, shapes, strides and buffer layouts at
every argument of every function.

A call either does its job, exactly when every argument is usable, or raises one of
the documented exceptions before any native function is called; it never crashes and
never touches memory outside the buffers it was given. The expected outcome of each
generated call is worked out independently (``expected_outcome``) from the raw buffer
that the argument exports, and the recording natives tell how many calls were made,
with which handles and at which addresses.
"""

from __future__ import annotations

import array
import ctypes
import decimal
import fractions
import os
import re
import struct
import subprocess
import sys
import textwrap
import warnings
from dataclasses import dataclass

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from quorpy import catalogue

from helpers import (
    CONTIG_WRITABLE_FORMAT,
    FAMILY,
    FOREIGN_ORDER,
    FUNCTIONS,
    NATIVE_KIND,
    NATIVE_ORDER,
    Boom,
    BrokenBuffer,
    FakeNumpy,
    HasInt,
    IndexOnly,
    PyBuffer_Release,
    PyBufferStruct,
    PyObject_GetBuffer,
    StrictInt,
    assert_one_module_frame,
    get_buffer_error,
    vectorcall,
)

ADDRESS_SANITIZED = os.environ.get("QUORPY_SANITIZED") == "address"
EXAMPLES = int(os.environ.get("QUORPY_HOSTILE_EXAMPLES", "250"))

HYPOTHESIS = settings(
    max_examples=EXAMPLES,
    deadline=None,
    suppress_health_check=[
        HealthCheck.too_slow,
        HealthCheck.filter_too_much,
        HealthCheck.data_too_large,
        HealthCheck.function_scoped_fixture,
    ],
)

NATIVE = NATIVE_KIND

# The typed view each array parameter takes: element character and number of axes.
VIEWS = {
    ("add_vertices", "verts"): ("f", 2),
    ("add_triangles", "tris"): ("i", 2),
    ("scalar_set_many", "pos"): ("f", 2),
    ("scalar_set_many", "vals"): ("f", 1),
    ("scalar_get_many", "pos"): ("f", 2),
    ("vector_set_many", "pos"): ("f", 2),
    ("vector_set_many", "vals"): ("f", 2),
    ("vector_get_many", "pos"): ("f", 2),
}

U64_MAX = 2**64 - 1
INT_MIN, INT_MAX = -(2**31), 2**31 - 1


# -- objects with unusual integer conversions ----------------------------------------

# Objects that no integer parameter accepts, or accepts only through __int__.
ODD_OBJECTS = [
    None,
    "1",
    b"1",
    bytearray(b"1"),
    [],
    (1,),
    {},
    {1},
    object(),
    1j,
    IndexOnly(5),
    HasInt(2.0),
    HasInt("3"),
    HasInt(None),
    HasInt(Boom("from __int__")),
    HasInt(True),
    HasInt(StrictInt(7)),
    float("nan"),
    float("inf"),
    float("-inf"),
    decimal.Decimal("NaN"),
    decimal.Decimal("Infinity"),
    np.array([1, 2]),
    np.array(5),
    np.float32("nan"),
    np.bool_(True),
    slice(1),
    range(3),
    type,
    print,
]


def integer_value(x):
    """The int the module converts x to (before its range check), or the exception
    it raises: a bare int as is, else whatever the type's __int__ returns, which must
    be an int; __index__ never counts."""
    if isinstance(x, int):
        return int(x)
    convert = getattr(type(x), "__int__", None)
    if convert is None:
        return TypeError
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            result = convert(x)
    except Exception as exc:  # noqa: BLE001 - the outcome being predicted
        return type(exc)
    if not isinstance(result, int):
        return TypeError
    return int(result)


def u64_outcome(x):
    v = integer_value(x)
    if isinstance(v, type):
        return v
    return v if 0 <= v <= U64_MAX else OverflowError


def cint_outcome(x):
    v = integer_value(x)
    if isinstance(v, type):
        return v
    return v if INT_MIN <= v <= INT_MAX else OverflowError


# -- what an array argument exports ---------------------------------------------------


@dataclass
class Exported:
    addr: int
    length: int
    itemsize: int
    readonly: bool
    ndim: int
    format: str | None
    shape: tuple | None
    strides: tuple | None


def exported(obj) -> Exported:
    """What obj's exporter hands to a consumer making the module's request."""
    view = PyBufferStruct()
    PyObject_GetBuffer(obj, ctypes.byref(view), CONTIG_WRITABLE_FORMAT)
    try:
        nd = view.ndim
        return Exported(
            view.buf or 0,
            view.len,
            view.itemsize,
            bool(view.readonly),
            nd,
            None if view.format is None else view.format.decode("latin-1"),
            None if not view.shape else tuple(view.shape[i] for i in range(nd)),
            None if not view.strides else tuple(view.strides[i] for i in range(nd)),
        )
    finally:
        PyBuffer_Release(ctypes.byref(view))


def format_matches(fmt: str, itemsize: int, elem: str) -> bool:
    """Does a buffer format describe exactly one 4-byte float ('f') or int ('i')
    element at offset 0, possibly wrapped in one-field records?"""
    prefixes = ""
    s = fmt
    while m := re.fullmatch(r"([@=<>!^]?)T\{(.*):[^:]*:\}", s):
        prefixes += m.group(1)
        s = m.group(2)
    m = re.fullmatch(r"([@=<>!^]?)([A-Za-z?])", s)
    if not m:
        return False
    prefixes += m.group(1)
    if any(p in FOREIGN_ORDER for p in prefixes):
        return False
    mode = prefixes[-1:] or "@"
    c = m.group(2)
    matched = c == elem or (elem == "i" and c == "l" and mode in "=" + NATIVE_ORDER)
    return matched and itemsize == 4


@dataclass
class ViewOutcome:
    rows: int
    cols: int
    addr: int
    row_stride: int


def view_outcome(obj, elem: str, ndim: int):
    """The typed view the module takes of obj, or the exception type it raises."""
    if obj is None:
        return ViewOutcome(0, 0, 0, 0)
    err = get_buffer_error(obj)
    if err is not None:
        return type(err)
    b = exported(obj)
    if b.readonly:
        return ValueError
    if b.ndim != ndim:
        return ValueError
    if not format_matches(b.format or "B", b.itemsize, elem):
        return ValueError
    if b.shape is None and ndim == 2:
        return ValueError
    if b.length > 0 and b.addr % b.itemsize:  # the 4-byte elements' alignment
        return ValueError
    shape = b.shape if b.shape is not None else (b.length // b.itemsize,)
    rows = shape[0]
    cols = shape[1] if ndim == 2 else 1
    if b.strides is not None:
        stride = b.strides[0]
    else:
        stride = b.itemsize * (cols if ndim == 2 else 1)
    return ViewOutcome(rows, cols, b.addr, stride)


@dataclass
class Success:
    calls: int
    fn: int
    inst: int
    h: int
    views: dict
    n: int = 0


def expected_outcome(name: str, args: dict):
    """Success(...) with what the call must do, or the exception type it raises."""
    conv = {}
    views = {}
    for p in FUNCTIONS[name]:
        x = args[p]
        if p in ("fn", "inst", "h"):
            r = u64_outcome(x)
        elif p == "n":
            r = cint_outcome(x)
        else:
            r = view_outcome(x, *VIEWS[(name, p)])
            views[p] = r
        if isinstance(r, type):
            return r
        conv[p] = r
    fn = conv["fn"]
    ok = lambda calls: Success(calls, fn, conv["inst"], conv["h"], views, conv.get("n", 0))  # noqa: E731

    if FAMILY[name] == catalogue.READOUT:
        n = conv["n"]
        if n < 0 or (n > 0 and fn == 0):
            return ValueError
        return ok(n)
    if FAMILY[name] == catalogue.ACTIVE_VALUES:
        return ValueError if fn == 0 else ok(None)
    first = views.get("verts") or views.get("tris") or views["pos"]
    if first.rows > 0 and first.cols < 3:
        return ValueError
    if FAMILY[name] == catalogue.FIELD_SETTER:
        vals = views["vals"]
        if vals.rows < first.rows:
            return ValueError
        if name == "vector_set_many" and vals.rows > 0 and vals.cols < 3:
            return ValueError
    if first.rows > 0 and fn == 0:
        return ValueError
    return ok(first.rows)


# -- strategies ---------------------------------------------------------------------


def weighted(*choices):
    """One of the strategies, picked with the given weights: (weight, strategy), ..."""
    return st.sampled_from([strategy for weight, strategy in choices for _ in range(weight)]).flatmap(
        lambda strategy: strategy
    )


valid_u64 = st.integers(0, U64_MAX)

# Every spelling of a usable handle; weighted so that most calls get past conversion.
good_handles = st.one_of(
    valid_u64,
    valid_u64,
    valid_u64.map(StrictInt),
    valid_u64.map(HasInt),
    st.integers(0, 2**63 - 1).map(np.int64),
    valid_u64.map(np.uint64),
    st.booleans(),
    st.floats(0.0, 2.0**64, exclude_max=True),
    st.decimals(0, U64_MAX, allow_nan=False),
    st.fractions(0, U64_MAX),
)
bad_handles = st.one_of(
    st.integers(max_value=-1),
    st.integers(min_value=2**64),
    st.floats().filter(lambda f: not 0.0 <= f < 2.0**64),
    st.decimals().filter(lambda d: not isinstance(u64_outcome(d), int)),
    st.fractions(max_value=-1),
    st.sampled_from([x for x in ODD_OBJECTS if not isinstance(u64_outcome(x), int)]),
)
handles = weighted((6, good_handles), (1, bad_handles))


def fn_values(address: int):
    """Values for fn: the recording native in every spelling, zero in every spelling,
    and objects that fail conversion. Nothing else: any other address would be called."""
    same = st.sampled_from(
        [
            address,
            StrictInt(address),
            HasInt(address),
            np.uint64(address),
            np.int64(address),
            decimal.Decimal(address),
            fractions.Fraction(2 * address + 1, 2),
        ]
    )
    zero = st.sampled_from([0, False, 0.5, -0.5, StrictInt(0), HasInt(0), np.uint64(0), decimal.Decimal("0.9")])
    refused = st.one_of(
        st.integers(max_value=-1),
        st.integers(min_value=2**64),
        st.floats(max_value=-1.0),
        st.floats(min_value=2.0**64),
        st.sampled_from([x for x in ODD_OBJECTS if not isinstance(u64_outcome(x), int)]),
    )
    return weighted((6, same), (1, zero), (1, refused))


good_counts = st.one_of(
    st.integers(-4, 12),
    st.just(INT_MIN),
    st.floats(-4.0, 12.0),
    st.integers(0, 12).map(HasInt),
    st.integers(0, 12).map(StrictInt),
    st.integers(0, 12).map(np.int32),
)
bad_counts = st.one_of(
    st.integers(min_value=INT_MAX + 1),
    st.integers(max_value=INT_MIN - 1),
    st.floats(min_value=2.0**31),
    st.sampled_from([x for x in ODD_OBJECTS if not isinstance(cint_outcome(x), int)]),
)
counts = weighted((5, good_counts), (1, bad_counts))


def _as_readonly(a):
    a = a.copy()
    a.flags.writeable = False
    return a


TRANSFORMS = {
    "as is": lambda a: a,
    "read-only": _as_readonly,
    "transposed": lambda a: a.T,
    "every other row": lambda a: a[::2] if a.ndim else a,
    "reversed rows": lambda a: a[::-1] if a.ndim else a,
    "reversed columns": lambda a: a[..., ::-1] if a.ndim else a,
    "Fortran order": np.asfortranarray,
    "matrix": lambda a: np.asmatrix(a) if a.ndim == 2 else a,
    "masked": lambda a: np.ma.masked_array(a),
}

byte_swapped = hnp.scalar_dtypes().map(lambda d: d.newbyteorder())

any_dtype = st.one_of(
    hnp.scalar_dtypes(),
    byte_swapped,
    hnp.array_dtypes(allow_subarrays=True, max_size=3),
    hnp.nested_dtypes(max_itemsize=64),
    hnp.byte_string_dtypes(max_len=5),
    hnp.unicode_string_dtypes(max_len=3),
    hnp.datetime64_dtypes(),
    hnp.timedelta64_dtypes(),
    st.sampled_from(
        [
            np.dtype(object),
            np.dtype("V4"),
            np.dtype("V12"),
            np.dtype([("a", "f4")]),
            np.dtype([("a", "i4")]),
            np.dtype([("a", [("b", "f4")])]),
            np.dtype({"names": ["a"], "formats": ["f4"], "offsets": [0], "itemsize": 8}),
            np.dtype({"names": ["a"], "formats": ["f4"], "offsets": [4], "itemsize": 8}),
            np.dtype([("a", "f4", (1,))]),
            np.dtype([("a", "f4", (3,))]),
            np.dtype([("a", "f4"), ("b", "i4")]),
            np.dtype("f4").newbyteorder(),
            np.dtype("i4").newbyteorder(),
            np.dtype("f2"),
            np.dtype("f8"),
            np.dtype("i8"),
            np.dtype("u4"),
            np.dtype("c8"),
            np.dtype("g"),
        ]
    ),
)


@st.composite
def hostile_arrays(draw):
    dtype = draw(any_dtype)
    shape = draw(hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=4))
    if dtype.kind == "V" and dtype.names is None:
        # Plain void: no element strategy; any bytes will do.
        count = int(np.prod(shape, dtype=np.int64))
        a = np.frombuffer(draw(st.binary(min_size=count * dtype.itemsize, max_size=count * dtype.itemsize)), dtype)
        a = a.reshape(shape).copy()
    else:
        a = draw(hnp.arrays(dtype, shape))
    return TRANSFORMS[draw(st.sampled_from(sorted(TRANSFORMS)))](a)


@st.composite
def good_arrays(draw, elem: str, ndim: int):
    """Mostly usable arrays: the right dtype, any row count, any number of columns."""
    dtype = np.float32 if elem == "f" else np.int32
    rows = draw(st.integers(0, 6))
    shape = (rows,) if ndim == 1 else (rows, draw(st.sampled_from([3, 3, 3, 1, 2, 4, 5])))
    a = draw(hnp.arrays(dtype, shape))
    if draw(st.integers(0, 9)) == 0:
        a = TRANSFORMS[draw(st.sampled_from(sorted(TRANSFORMS)))](a)
    return a


class BufferProxy:
    """Exports the buffer of another object through __buffer__."""

    def __init__(self, target):
        self.target = target

    def __buffer__(self, flags):
        return memoryview(self.target)

    def __repr__(self):
        return f"BufferProxy({self.target!r})"


class Record(ctypes.Structure):
    _fields_ = [("x", ctypes.c_float)]


class Triple(ctypes.Structure):
    _fields_ = [("x", ctypes.c_float * 3)]


def unaligned(kind: str, elem: str, shape: tuple, badbuffer=None):
    """A writable C-contiguous array of 4-byte elements one byte past an aligned
    address: a NumPy view of bytes, or a foreign exporter."""
    size = 4 * int(np.prod(shape))
    if kind == "numpy":
        return np.zeros(size + 1, np.uint8)[1:].view(np.float32 if elem == "f" else np.int32).reshape(shape)
    return badbuffer.Exporter(size + 1, format=elem, itemsize=4, shape=shape, offset=1)


@st.composite
def other_exporters(draw, elem: str, ndim: int):
    rows = draw(st.integers(0, 4))
    ctype = ctypes.c_float if elem == "f" else ctypes.c_int
    choices = [
        lambda: (ctype * 3 * rows)(),
        lambda: (ctype * rows)(),
        lambda: (ctypes.c_double * 3 * rows)(),
        lambda: (ctypes.c_long * 3 * rows)(),
        lambda: (Record * rows)(),
        lambda: (Triple * rows)(),
        lambda: array.array("f", range(rows)),
        lambda: array.array("i", range(rows)),
        lambda: array.array("d", range(rows)),
        lambda: bytearray(rows * 12),
        lambda: bytes(rows * 12),
        lambda: memoryview(np.zeros((rows, 3), np.float32)),
        lambda: memoryview(np.zeros((rows, 3), np.float32)).toreadonly(),
        lambda: memoryview(bytearray(max(rows, 1) * 12)).cast("f", (max(rows, 1), 3)),
        lambda: unaligned("numpy", elem, (rows, 3) if ndim == 2 else (rows,)),
        lambda: BufferProxy(np.zeros((rows, 3), np.float32 if elem == "f" else np.int32)),
        lambda: BufferProxy(np.zeros(rows, np.float32)),
        lambda: BrokenBuffer(),
        lambda: np.float32(1.0),
        lambda: np.zeros((rows, 3), np.float32).tolist(),
        lambda: str(rows),
        lambda: rows,
        lambda: object(),
    ]
    return draw(st.sampled_from(choices))()


def array_values(elem: str, ndim: int):
    return weighted(
        (1, st.none()),
        (5, good_arrays(elem, ndim)),
        (2, hostile_arrays()),
        (2, other_exporters(elem, ndim)),
    )


@st.composite
def covering_values(draw, rows: int, ndim: int):
    """float32 values for at least `rows` rows of pos."""
    extra = draw(st.integers(0, 3))
    shape = (rows + extra,) if ndim == 1 else (rows + extra, draw(st.sampled_from([3, 3, 4, 2])))
    return draw(hnp.arrays(np.float32, shape))


@st.composite
def argument_values(draw, name: str, address: int):
    args = {}
    for p in FUNCTIONS[name]:
        if p == "fn":
            args[p] = draw(fn_values(address))
        elif p in ("inst", "h"):
            args[p] = draw(handles)
        elif p == "n":
            args[p] = draw(counts)
        elif p == "vals" and isinstance(args["pos"], np.ndarray) and args["pos"].ndim == 2:
            # Mostly values that cover every row of pos, so that the loop runs.
            elem, ndim = VIEWS[(name, p)]
            rows = args["pos"].shape[0]
            args[p] = draw(weighted((3, covering_values(rows, ndim)), (2, array_values(elem, ndim))))
        else:
            args[p] = draw(array_values(*VIEWS[(name, p)]))
    return args


@st.composite
def call_styles(draw, params):
    """How the arguments are passed: the first k by position, the rest by keyword in
    any order; or a broken binding."""
    k = draw(st.integers(0, len(params)))
    keywords = draw(st.permutations(params[k:]))
    breakage = draw(st.sampled_from([None] * 12 + ["missing", "extra", "unknown", "twice", "not a str"]))
    return k, list(keywords), breakage


def make_call(f, params, args, style):
    k, keywords, breakage = style
    positional = [args[p] for p in params[:k]]
    kw = {p: args[p] for p in keywords}
    if breakage == "missing":
        if keywords:
            del kw[keywords[-1]]
        else:
            positional.pop()
    elif breakage == "extra":
        positional = [args[p] for p in params] + [0]
        kw = {}
    elif breakage == "unknown":
        kw["bogus"] = 0
    elif breakage == "twice":
        positional = [args[p] for p in params]
        kw = {params[0]: args[params[0]]}
    elif breakage == "not a str":
        values = positional + list(kw.values()) + [0]
        return lambda: vectorcall(f, values, tuple(kw) + (1,))
    return lambda: f(*positional, **kw)


def check_success(rec, name, params, args, expect, result):
    calls = rec.calls()
    kind = NATIVE[name]
    assert all(c.kind == kind for c in calls)
    assert all(not c.gil for c in calls)
    assert all(c.inst == expect.inst and c.h == expect.h for c in calls)
    if FAMILY[name] == catalogue.ACTIVE_VALUES:
        coords, vals = result
        assert len(calls) == (1 if coords.shape[0] == 0 else 2)
        return
    assert len(calls) == expect.calls
    if FAMILY[name] == catalogue.READOUT:
        n = expect.n
        assert result.shape == (n, 3)
        assert result.dtype == (np.float32 if name == "read_vertices" else np.int32)
        assert [c.index for c in calls] == list(range(n))
        assert [c.ptr for c in calls] == [result.ctypes.data + 12 * i for i in range(n)]
        if name == "read_vertices":
            assert result.view(np.uint32).tobytes() == rec.expected_vertices(n).view(np.uint32).tobytes()
        else:
            assert np.array_equal(result, rec.expected_triangles(n))
        return
    rows = expect.views.get("verts") or expect.views.get("tris") or expect.views["pos"]
    assert [c.ptr for c in calls] == [rows.addr + i * rows.row_stride for i in range(expect.calls)]
    if name == "scalar_set_many":
        vals = expect.views["vals"]
        want = [ctypes.c_uint32.from_address(vals.addr + 4 * i).value for i in range(expect.calls)]
        assert [c.value_bits for c in calls] == want
    if name == "vector_set_many":
        vals = expect.views["vals"]
        assert [c.ptr2 for c in calls] == [vals.addr + i * vals.row_stride for i in range(expect.calls)]
    if FAMILY[name] == catalogue.FIELD_SAMPLER:
        values, found = result
        assert found.dtype == np.bool_ and found.shape == (expect.calls,) and found.all()
        assert values.shape == ((expect.calls,) if name == "scalar_get_many" else (expect.calls, 3))
    elif FAMILY[name] in (catalogue.BUILDING, catalogue.FIELD_SETTER):
        assert result is None


QUIET = [
    pytest.mark.filterwarnings("ignore::PendingDeprecationWarning"),  # np.matrix
    pytest.mark.filterwarnings("ignore::RuntimeWarning"),  # NumPy casting odd fill values
]


@pytest.mark.parametrize("name", list(FUNCTIONS))
@QUIET[0]
@QUIET[1]
@HYPOTHESIS
@given(data=st.data())
def test_any_arguments_either_work_or_are_refused_before_any_native_call(fastloop, recorder, name, data):
    rec = recorder
    rec.reset()
    f = getattr(fastloop, name)
    params = FUNCTIONS[name]
    kind = NATIVE[name]
    args = data.draw(argument_values(name, rec.fn(kind)), label="args")
    style = data.draw(call_styles(params), label="style")
    if FAMILY[name] == catalogue.ACTIVE_VALUES:
        k = data.draw(st.integers(0, 4), label="active values")
        rec.set_traversal(kind, np.arange(3 * k).reshape(k, 3), np.arange(k * (1 if kind == "traverse_s" else 3)))

    expect = TypeError if style[2] is not None else expected_outcome(name, args)
    if isinstance(expect, type):
        event(f"refused: {expect.__name__}")
    else:
        event("works" + ("" if expect.calls is None else ", rows" if expect.calls else ", no rows"))
    call = make_call(f, params, args, style)

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        if isinstance(expect, type):
            with pytest.raises(expect):
                call()
            assert rec.count() == 0, "a native function was called for a refused call"
        else:
            result = call()
            check_success(rec, name, params, args, expect, result)


# -- a traversal that reports a different number of values on its second pass -----------


@pytest.mark.parametrize("name", ["scalar_active_values", "vector_active_values"])
@HYPOTHESIS
@given(data=st.data())
def test_fill_pass_disagreeing_with_the_count_gives_what_it_reported(fastloop, recorder, name, data):
    rec = recorder
    rec.reset()
    kind = NATIVE[name]
    width = 1 if kind == "traverse_s" else 3
    counted = data.draw(st.integers(0, 6), label="count pass")
    filled = data.draw(st.integers(0, 12), label="fill pass")
    elements = max(counted, filled, 1)
    coords = np.arange(3 * elements, dtype=np.float32).reshape(elements, 3) + 0.5
    values = -np.arange(width * elements, dtype=np.float32).reshape(elements, width)
    rec.set_traversal(kind, coords, values, passes=[counted, filled])

    f = getattr(fastloop, name)
    if counted > 0 and filled > counted:
        with pytest.raises(RuntimeError):
            f(rec.fn(kind), 1, 2)
        return
    got_coords, got_vals = f(rec.fn(kind), 1, 2)
    # Exactly the rows the fill pass reported (none when nothing was counted).
    shown = min(counted, filled)
    assert got_coords.shape == (shown, 3)
    assert got_vals.shape == ((shown,) if width == 1 else (shown, 3))
    assert np.array_equal(got_coords, coords[:shown])
    assert np.array_equal(got_vals, values[:shown].reshape(got_vals.shape))
    assert rec.count(kind) == (1 if counted == 0 else 2)


# -- NumPy rebound to something that hands back unusable results ---------------------------


@pytest.mark.parametrize("name", ["read_vertices", "read_triangles"])
@QUIET[0]
@QUIET[1]
@HYPOTHESIS
@given(data=st.data())
def test_a_result_array_that_does_not_fit_never_reaches_the_loop(fastloop, recorder, name, data):
    rec = recorder
    rec.reset()
    elem = "f" if name == "read_vertices" else "i"
    n = data.draw(st.integers(1, 5), label="n")
    result = data.draw(
        st.one_of(st.none(), good_arrays(elem, 2), hostile_arrays(), other_exporters(elem, 2)), label="result"
    )
    view = view_outcome(result, elem, 2)
    fits = not isinstance(view, type) and result is not None and view.rows >= n and view.cols >= 3
    fake = FakeNumpy(lambda *args, **kwargs: result, record=True)
    fastloop.np = fake
    try:
        if fits:
            out = getattr(fastloop, name)(rec.fn(NATIVE[name]), 1, 2, n)
            assert out is result
            assert [c.ptr for c in rec.calls()] == [view.addr + i * view.row_stride for i in range(n)]
        else:
            if result is None:
                expected = (TypeError, ValueError)  # how None is refused is the module's choice
            else:
                expected = view if isinstance(view, type) else ValueError
            with pytest.raises(expected):
                getattr(fastloop, name)(rec.fn(NATIVE[name]), 1, 2, n)
            assert rec.count() == 0
    finally:
        fastloop.np = np
    assert fake.calls == [("empty", ((n, 3),), {"dtype": np.float32 if elem == "f" else np.int32})]


# -- buffers laid out the way no NumPy array is -------------------------------------------

NOT_SAME_DIM = "Buffer and memoryview are not contiguous in the same dimension."
NOT_C = "Buffer not C contiguous."
SUBOFFSETS_NO_STRIDES = "Buffer exposes suboffsets but no strides"
INDIRECT = "Buffer not compatible with direct access in dimension {}."

# (shape, strides, suboffsets, message): a float32 rows view over 4-byte items.
ROW_LAYOUTS = [
    ((2, 3), (12, 8), None, NOT_SAME_DIM),
    ((2, 3), (12, 2), None, NOT_SAME_DIM),
    ((2, 3), (12, -4), None, NOT_SAME_DIM),
    ((2, 3), (2, 4), None, NOT_SAME_DIM),
    ((2, 3), (0, 4), None, NOT_SAME_DIM),
    ((2, 3), (16, 4), None, NOT_C),
    ((2, 3), (-12, 4), None, NOT_C),
    ((2, 3), (24, 4), None, NOT_C),
    ((3, 2), (4, 12), None, NOT_SAME_DIM),
    ((2, 3), None, (-1, -1), SUBOFFSETS_NO_STRIDES),
    ((2, 3), (12, 4), (0, -1), INDIRECT.format(0)),
    ((2, 3), (12, 4), (-1, 0), INDIRECT.format(1)),
    ((2, 3), (12, 4), (5, 7), INDIRECT.format(0)),
    ((1, 3), (12, 4), (-1, 0), INDIRECT.format(1)),
    ((1, 3), None, (0, -1), SUBOFFSETS_NO_STRIDES),
    ((1, 1), None, (-1, 0), INDIRECT.format(1)),
    # Accepted: an axis of extent 1 may have any stride, negative suboffsets mean direct.
    ((1, 3), (999, 4), None, None),
    ((1, 3), (-12, 4), None, None),
    ((2, 3), (12, 4), (-1, -1), None),
    ((4, 3), None, None, None),
    ((3, 5), None, None, None),
    ((3, 5), (20, 4), None, None),
    ((2, 3), (12, 4), None, None),
]


def _describe(layout):
    shape, strides, suboffsets, message = layout
    return f"{shape}-{strides}-{suboffsets}-{'ok' if message is None else message[:24]}"


@pytest.mark.parametrize("offset", [0, 8])
@pytest.mark.parametrize("layout", ROW_LAYOUTS, ids=_describe)
def test_row_layouts_of_foreign_exporters(fastloop, rec, badbuffer, layout, offset):
    shape, strides, suboffsets, message = layout
    e = badbuffer.Exporter(
        offset + 64, format="f", itemsize=4, shape=shape, strides=strides, suboffsets=suboffsets, offset=offset
    )
    if message is not None:
        with pytest.raises(ValueError) as info:
            fastloop.add_vertices(rec.fn("addvec"), 1, 2, e)
        assert str(info.value) == message
        assert rec.count() == 0
    else:
        fastloop.add_vertices(rec.fn("addvec"), 1, 2, e)
        # Rows are addressed with the exporter's own row stride, or, when it gives no
        # strides, with the C strides of its shape.
        row_stride = strides[0] if strides is not None else 4 * shape[1]
        assert [c.ptr for c in rec.calls()] == [e.address + i * row_stride for i in range(shape[0])]
    assert e.exports == 0 and e.releases == e.total_exports == 1
    # The module asked for a writable, C-contiguous buffer with a format.
    assert e.last_flags == 0x3D


BIG = 2**62
TOO_BIG = "Buffer of shape {} with 4-byte items is larger than any memory"
LENGTH = "Buffer length ({} bytes) does not match its shape {} of 4-byte items ({} bytes)"

# (Exporter options beyond format "f" and item size 4, message): geometries that describe
# no real memory. Rows go to add_vertices, one-axis buffers to scalar_set_many's vals.
IMPOSSIBLE = [
    (dict(shape=(2, BIG), len=64), TOO_BIG.format(f"(2, {BIG})")),
    (dict(shape=(1, BIG), strides=(12, 4), len=64), TOO_BIG.format(f"(1, {BIG})")),
    (dict(shape=(BIG, 3), strides=(12, 4), len=64), TOO_BIG.format(f"({BIG}, 3)")),
    (dict(shape=(0, BIG), len=0), TOO_BIG.format(f"(0, {BIG})")),
    (dict(shape=(-4, 3), strides=(12, 4), len=48), "Buffer has a negative extent (-4) in dimension 0"),
    (dict(shape=(4, 3), len=12), LENGTH.format(12, "(4, 3)", 48)),
    (dict(shape=(4, 3), strides=(12, 4), len=0), LENGTH.format(0, "(4, 3)", 48)),
    (dict(shape=(BIG,), ndim=1, len=64), TOO_BIG.format(f"({BIG},)")),
    (dict(shape=(3,), ndim=1, len=13), LENGTH.format(13, "(3,)", 12)),
    (dict(ndim=1, len=13), LENGTH.format(13, "(3,)", 12)),
    (dict(shape=(4, 3), null=True), "Buffer of 48 bytes is at address NULL"),
]


@pytest.mark.parametrize("options, message", IMPOSSIBLE, ids=[m[:40] for _, m in IMPOSSIBLE])
def test_impossible_buffer_geometry_is_refused(fastloop, rec, badbuffer, options, message):
    e = badbuffer.Exporter(64, format="f", itemsize=4, **options)
    with pytest.raises(ValueError) as info:
        if options.get("ndim") == 1:
            fastloop.scalar_set_many(rec.fn("setscl"), 1, 2, np.zeros((3, 3), np.float32), e)
        else:
            fastloop.add_vertices(rec.fn("addvec"), 1, 2, e)
    assert str(info.value) == message
    assert rec.count() == 0
    assert e.exports == 0 and e.releases == e.total_exports == 1


# (shape, strides, suboffsets, message) for the one-axis float view of scalar vals.
VALUE_LAYOUTS = [
    ((3,), (8,), None, NOT_SAME_DIM),
    ((3,), (-4,), None, NOT_SAME_DIM),
    ((3,), (0,), None, NOT_SAME_DIM),
    ((3,), None, (-1,), SUBOFFSETS_NO_STRIDES),
    ((1,), None, (-1,), None),
    ((3,), None, (0,), SUBOFFSETS_NO_STRIDES),
    ((1,), None, (0,), INDIRECT.format(0)),
    ((3,), (4,), (0,), INDIRECT.format(0)),
    ((1,), (100,), None, None),
    ((3,), (4,), None, None),
    (None, None, None, None),  # no shape: the length gives the extent
]


@pytest.mark.parametrize("layout", VALUE_LAYOUTS, ids=_describe)
def test_value_layouts_of_foreign_exporters(fastloop, rec, badbuffer, layout):
    shape, strides, suboffsets, message = layout
    e = badbuffer.Exporter(12, format="f", itemsize=4, shape=shape, strides=strides, suboffsets=suboffsets, ndim=1)
    e.write(struct.pack("=3f", 1.5, -2.5, 3.25))
    rows = 1 if shape == (1,) else 3
    pos = np.arange(3 * rows, dtype=np.float32).reshape(rows, 3)
    if message is not None:
        with pytest.raises(ValueError) as info:
            fastloop.scalar_set_many(rec.fn("setscl"), 1, 2, pos, e)
        assert str(info.value) == message
        assert rec.count() == 0
    else:
        fastloop.scalar_set_many(rec.fn("setscl"), 1, 2, pos, e)
        assert [c.value for c in rec.calls()] == [1.5, -2.5, 3.25][:rows]
    assert e.exports == 0 and e.releases == e.total_exports == 1


@pytest.mark.parametrize(
    "kwargs, message",
    [
        (dict(readonly=True), "Buffer is read-only"),
        (dict(format=None, itemsize=1, shape=(12,)), "Buffer dtype mismatch, expected 'float' but got 'unsigned char'"),
        (dict(format=None, itemsize=4, shape=(3,)), "Buffer dtype mismatch, expected 'float' but got 'unsigned char'"),
        (dict(format="B", itemsize=4, shape=(3,)), "Buffer dtype mismatch, expected 'float' but got 'unsigned char'"),
        (dict(shape=(), strides=()), "Buffer has wrong number of dimensions (expected 1, got 0)"),
        (dict(shape=(3, 1), strides=(4, 4)), "Buffer has wrong number of dimensions (expected 1, got 2)"),
        (dict(itemsize=8, shape=(1,)), "Item size of buffer (8 bytes) does not match size of 'float' (4 bytes)"),
        (dict(itemsize=1, shape=(12,)), "Item size of buffer (1 byte) does not match size of 'float' (4 bytes)"),
        (dict(format=NATIVE_ORDER[0] + "f  \n", shape=(3,)), None),
        (dict(format="^f", shape=(3,)), None),
        (dict(format="T{f:x:}", shape=(3,)), None),
        (dict(format="f\t", shape=(3,)), "Does not understand character buffer dtype format string ('\t')"),
        (dict(format="Zq", itemsize=8, shape=(1,)), "Unexpected format string character: 'Z'"),
        (
            dict(format="=g", itemsize=16, shape=(1,)),
            "Python does not define a standard format string size for long double ('g')..",
        ),
    ],
)
def test_foreign_value_buffers(fastloop, rec, badbuffer, kwargs, message):
    options = dict(format="f", itemsize=4) | kwargs
    e = badbuffer.Exporter(16, **options)
    pos = np.zeros((1, 3), np.float32)
    if message is not None:
        with pytest.raises(ValueError) as info:
            fastloop.scalar_set_many(rec.fn("setscl"), 1, 2, pos, e)
        assert str(info.value) == message
        assert rec.count() == 0
    else:
        fastloop.scalar_set_many(rec.fn("setscl"), 1, 2, pos, e)
        assert rec.count("setscl") == 1
    assert e.exports == 0 and e.releases == e.total_exports == 1


def test_rows_without_a_shape_are_refused(fastloop, rec, badbuffer):
    e = badbuffer.Exporter(24, format="f", itemsize=4, ndim=2)
    with pytest.raises(ValueError, match="shape"):
        fastloop.add_vertices(rec.fn("addvec"), 1, 2, e)
    assert rec.count() == 0
    assert e.exports == 0 and e.releases == 1


@pytest.mark.parametrize(
    "error",
    [BufferError("refused by the exporter"), Boom("odd"), MemoryError()],
    ids=lambda e: type(e).__name__,
)
def test_an_exporter_error_passes_through_unchanged(fastloop, rec, badbuffer, error):
    e = badbuffer.Exporter(24, format="f", itemsize=4, shape=(2, 3), error=error)
    pos = np.zeros((2, 3), np.float32)
    with pytest.raises(type(error)) as info:
        fastloop.vector_set_many(rec.fn("setvec"), 1, 2, pos, e)
    assert info.value is error
    assert rec.count() == 0
    assert e.exports == 0 and e.releases == 0
    # The view taken of pos before was given back: pos can be resized.
    pos.resize((4, 3), refcheck=False)


# (function, what the message calls the array, its element, its shape): an argument, or
# with "result array" what the rebound np.empty gives.
UNALIGNED_CASES = [
    ("add_vertices", "verts", "f", (2, 3)),
    ("scalar_set_many", "vals", "f", (2,)),
    ("read_triangles", "result array out", "i", (2, 3)),
    ("scalar_get_many", "result array out", "f", (2,)),
]


@pytest.mark.parametrize("kind", ["numpy", "badbuffer"])
@pytest.mark.parametrize("name, subject, elem, shape", UNALIGNED_CASES, ids=[c[0] for c in UNALIGNED_CASES])
def test_unaligned_memory_is_refused_before_any_native_call(
    fastloop, rec, badbuffer, monkeypatch, kind, name, subject, elem, shape
):
    a = unaligned(kind, elem, shape, badbuffer)
    pos = np.zeros((2, 3), np.float32)
    if subject.startswith("result"):
        monkeypatch.setattr(fastloop, "np", FakeNumpy(empty=a))
        args = (2,) if name == "read_triangles" else (pos,)
    else:
        args = (a,) if name == "add_vertices" else (pos, a)
    with pytest.raises(ValueError) as info:
        getattr(fastloop, name)(rec.fn(NATIVE[name]), 1, 2, *args)
    element = "float" if elem == "f" else "int"
    need = f"its '{element}' elements need an address that is a multiple of 4"
    assert str(info.value) == f"{subject} is not aligned: {need}"
    assert rec.count() == 0
    if kind == "badbuffer":
        assert a.exports == 0 and a.releases == 1


@pytest.mark.parametrize("where", ["exporter", "__int__"])
def test_a_failure_without_an_exception_is_a_system_error(fastloop, rec, badbuffer, where):
    # What CPython's own memoryview(obj) and int(obj) do with such objects.
    pos = np.zeros((2, 3), np.float32)
    if where == "exporter":
        args = (rec.fn("setvec"), 1, 2, pos, badbuffer.Exporter(24, format="f", itemsize=4, silent=True))
    else:
        args = (badbuffer.SilentInt(), 1, 2, pos, pos)
    with pytest.raises(SystemError) as info:
        fastloop.vector_set_many(*args)
    assert str(info.value) == "error return without exception set"
    assert_one_module_frame(info.value, "vector_set_many")
    assert rec.count() == 0


def test_rows_of_a_foreign_exporter_are_read_in_place(fastloop, rec, badbuffer):
    e = badbuffer.Exporter(8 + 36, format="i", itemsize=4, shape=(3, 3), offset=8)
    e.write(struct.pack("=9i", *range(10, 19)), 8)
    fastloop.add_triangles(rec.fn("addtri"), 1, 2, e)
    assert [list(c.ints) for c in rec.calls()] == [[10, 11, 12], [13, 14, 15], [16, 17, 18]]


def test_foreign_exporter_as_found_flags_and_values(fastloop, rec, badbuffer):
    # The result views take the same path: an np whose zeros hands back a foreign
    # exporter without a format gets unsigned bytes, which is what found flags are.
    flags = badbuffer.Exporter(3, itemsize=1, shape=(3,))

    class Numpy(FakeNumpy):
        def zeros(self, shape, dtype):
            return flags

    fake = Numpy(np.empty(3, np.float32))
    fastloop.np = fake
    try:
        with pytest.raises(AttributeError, match="view"):
            fastloop.scalar_get_many(rec.fn("getscl"), 1, 2, np.zeros((3, 3), np.float32))
    finally:
        fastloop.np = np
    # The loop ran and stored the flags in the exporter's memory, then asking the
    # exporter for a bool view failed; its buffer was released all the same.
    assert rec.count("getscl") == 3
    assert flags.read() == b"\x01\x01\x01"
    assert flags.exports == 0 and flags.releases == 1


# -- formats whose numbers do not fit in 64 bits ------------------------------------------
# Counts and offsets read from an exporter's format, and its strides, must be handled
# without signed overflow: a wrapped repeat count of 2**64+1 would read as 1 and accept
# the format. The check runs in a child process so that, in the sanitizer build, an
# overflow report is seen here rather than ending the whole run.

UB_SCRIPT = r"""
import sys, numpy as np
sys.path.insert(0, {tests!r})
from natives import load_badbuffer
from quorpy import _fastloop
badbuffer = load_badbuffer({lib!r})
kind, fmt, strides = {case!r}
if kind == "vals":
    e = badbuffer.Exporter(8, format=fmt, itemsize=4, shape=(2,))
    call = lambda: _fastloop.scalar_set_many(0, 0, 0, None, e)
else:
    e = badbuffer.Exporter(24, format=fmt, itemsize=4, shape=(2, 3), strides=strides)
    call = lambda: _fastloop.add_vertices(0, 0, 0, e)
try:
    call()
    print("accepted")
except ValueError as exc:
    print("ValueError:", exc)
"""

UB_CASES = [
    pytest.param(
        ("vals", "18446744073709551617f", None),
        "ValueError: Buffer dtype mismatch, expected end but got 'float'",
        id="repeat count 2**64+1",
    ),
    pytest.param(
        ("vals", "99999999999999999999f", None),
        "ValueError: Buffer dtype mismatch, expected end but got 'float'",
        id="repeat count 10**20-1",
    ),
    pytest.param(
        ("vals", "18446744073709551616xf", None),
        re.compile(r"ValueError: Buffer dtype mismatch; next field is at offset \d+ but 0 expected"),
        id="2**64 pad bytes",
    ),
    pytest.param(
        ("vals", "9223372036854775807xf", None),
        re.compile(r"ValueError: Buffer dtype mismatch; next field is at offset \d+ but 0 expected"),
        id="2**63-1 pad bytes",
    ),
    pytest.param(
        ("vals", "4611686018427387904x4611686018427387904xf", None),
        re.compile(r"ValueError: Buffer dtype mismatch; next field is at offset \d+ but 0 expected"),
        id="two runs of 2**62 pad bytes",
    ),
    pytest.param(
        ("vals", "@9223372036854775805xf", None),
        re.compile(r"ValueError: Buffer dtype mismatch; next field is at offset \d+ but 0 expected"),
        id="alignment past 2**63-1",
    ),
    pytest.param(("rows", "f", (-(2**63), 4)), f"ValueError: {NOT_C}", id="row stride -2**63"),
    pytest.param(("rows", "f", (2**63 - 1, 4)), f"ValueError: {NOT_C}", id="row stride 2**63-1"),
    # Big numbers that fit are refused as they should be.
    pytest.param(
        ("vals", "9223372036854775807f", None),
        "ValueError: Buffer dtype mismatch, expected end but got 'float'",
        id="repeat count 2**63-1",
    ),
    pytest.param(
        ("vals", "=4611686018427387904xf", None),
        "ValueError: Buffer dtype mismatch; next field is at offset 4611686018427387904 but 0 expected",
        id="2**62 pad bytes",
    ),
]


@pytest.mark.parametrize("case, expected", UB_CASES)
def test_numbers_too_big_for_64_bits_are_refused_without_undefined_behaviour(natives, case, expected):
    lib = natives.badbuffer
    env = dict(os.environ)
    # Under the sanitizers, report to stderr here instead of the run's log directory:
    # this test inspects the report itself.
    for var in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):
        if var in env:
            env[var] = ":".join(o for o in env[var].split(":") if not o.startswith("log_path="))
    code = UB_SCRIPT.format(tests=os.path.dirname(__file__), lib=str(lib), case=case)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120)
    assert "runtime error" not in proc.stderr, proc.stderr
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout.strip()
    if isinstance(expected, re.Pattern):
        assert expected.fullmatch(out), out
    else:
        assert out == expected


# -- the sanitizer build really checks the module's loops ---------------------------------


@pytest.mark.skipif(not ADDRESS_SANITIZED, reason="only meaningful in the AddressSanitizer build")
def test_sanitizer_reports_a_read_past_a_lying_buffer(natives):
    # A buffer that claims four floats over eight bytes of memory: the module trusts
    # the exporter's shape, so its loop reads past the end, and ASan must say so.
    lib = natives.badbuffer
    code = textwrap.dedent(
        f"""
        import sys, numpy as np
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        from natives import load_badbuffer
        from quorpy import _fastloop
        from quorpy.reference import Runtime
        e = load_badbuffer({str(lib)!r}).Exporter(8, format="f", itemsize=4, shape=(4,), len=16)
        with Runtime() as rt:
            f = rt.new_scalar_field()
            _fastloop.scalar_set_many(*rt.args("scalar_set", f), np.zeros((4, 3), np.float32), e)
        """
    )
    env = dict(os.environ)
    env["ASAN_OPTIONS"] = "detect_leaks=0:halt_on_error=1"
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120)
    assert proc.returncode != 0
    assert "heap-buffer-overflow" in proc.stderr
    assert "scalar_set_many" in proc.stderr or "for_each_row" in proc.stderr
