"""Typed views over caller arrays: which buffers are accepted, the exact refusal
messages for NumPy dtypes, hand-written struct formats, records and layouts,
errors passed through from the exporter, and that every buffer is given back."""

from __future__ import annotations

import ctypes
from _testbuffer import ND_WRITABLE, ndarray

import numpy as np
import pytest

from quorpy import catalogue
from quorpy.catalogue import BUFFER_ERRORS

from helpers import (
    CONTIG_WRITABLE_FORMAT,
    FOREIGN_ORDER,
    FOREIGN_ORDER_MESSAGE,
    FUNCTIONS,
    NATIVE_ORDER,
    assert_one_module_frame,
    get_buffer_error,
    raised_as_listed,
)

# Every view taken over a caller argument: function, parameter, element, axes.
SLOTS = [
    ("add_vertices", "verts", "float", 2),
    ("add_triangles", "tris", "int", 2),
    ("scalar_set_many", "pos", "float", 2),
    ("scalar_set_many", "vals", "float", 1),
    ("scalar_get_many", "pos", "float", 2),
    ("vector_set_many", "pos", "float", 2),
    ("vector_set_many", "vals", "float", 2),
    ("vector_get_many", "pos", "float", 2),
]
SLOT_IDS = [f"{f}.{p}" for f, p, _, _ in SLOTS]
FN_KIND = {
    "add_vertices": "addvec",
    "add_triangles": "addtri",
    "scalar_set_many": "setscl",
    "scalar_get_many": "getscl",
    "vector_set_many": "setvec",
    "vector_get_many": "getvecf",
}
ELEMENT_DTYPE = {"float": np.float32, "int": np.int32}

LONG_DOUBLE = "Python does not define a standard format string size for long double ('g').."


def mismatch(expected: str, got: str) -> str:
    return f"Buffer dtype mismatch, expected '{expected}' but got {got}"


def surplus(got: str) -> str:
    return f"Buffer dtype mismatch, expected end but got {got}"


def not_understood(ch: str) -> str:
    return f"Does not understand character buffer dtype format string ('{ch}')"


def offset_message(offset: int) -> str:
    return f"Buffer dtype mismatch; next field is at offset {offset} but 0 expected"


def itemsize_message(size: int, name: str, expected: int) -> str:
    def s(n):
        return "s" if n >= 2 else ""

    return f"Item size of buffer ({size} byte{s(size)}) does not match size of '{name}' ({expected} byte{s(expected)})"


def dims_message(expected: int, got: int) -> str:
    return f"Buffer has wrong number of dimensions (expected {expected}, got {got})"


def call_args(func_name: str, param: str, obj, fn: int) -> list:
    """Arguments for func_name with obj in `param` and harmless values elsewhere:
    the other arrays are valid and have no rows, so no native call can follow
    from them."""
    args = {"fn": fn, "inst": 3, "h": 4}
    for p in FUNCTIONS[func_name][3:]:
        if p == param:
            args[p] = obj
        elif func_name == "scalar_set_many" and p == "vals":
            args[p] = np.zeros(0, np.float32)
        else:
            args[p] = np.zeros((0, 3), np.float32)
    return list(args.values())


def refuse(fastloop, rec, slot, obj, exc_type, message):
    func_name, param, _, _ = slot
    func = getattr(fastloop, func_name)
    with pytest.raises(exc_type) as info:
        func(*call_args(func_name, param, obj, rec.fn(FN_KIND[func_name])))
    assert type(info.value) is exc_type
    assert str(info.value) == message
    if get_buffer_error(obj) is None:
        # The module's own refusal: the documentation lists it, among the function's
        # errors or the rarer ones.
        spec = catalogue.FUNCTIONS[func_name]
        assert raised_as_listed(spec, info.value, [e for g in spec.raises.values() for e in g] + list(BUFFER_ERRORS))
    assert_one_module_frame(info.value, func_name)
    assert rec.count() == 0
    return info.value


def shaped(dtype, ndim: int, rows: int = 2):
    return np.zeros((rows, 3) if ndim == 2 else (rows * 3,), dtype=dtype)


REC_F = np.dtype([("a", "f4")])
REC_I = np.dtype([("a", "i4")])
REC_F_PAD = np.dtype({"names": ["a"], "formats": ["f4"], "itemsize": 8})
REC_FFF = np.dtype([("a", "f4"), ("b", "f4"), ("c", "f4")])
REC_FI = np.dtype([("a", "f4"), ("b", "i4")])
REC_IF = np.dtype([("a", "i4"), ("b", "f4")])
REC_OFFSET = np.dtype({"names": ["a"], "formats": ["f4"], "offsets": [4], "itemsize": 8})
REC_SUBARRAY = np.dtype([("a", "f4", (3,))])
REC_SUBARRAY_2D = np.dtype([("a", "f4", (3, 2))])
REC_NESTED = np.dtype([("o", [("a", "f4")])])

SAME = object()  # the expectation is the same for both element types

# (id, dtype, message for a "float" view, message for an "int" view); None: accepted.
DTYPE_CASES = [
    ("float32", np.float32, None, mismatch("int", "'float'")),
    ("int32", np.int32, mismatch("float", "'int'"), None),
    ("float64", np.float64, mismatch("float", "'double'"), mismatch("int", "'double'")),
    ("int64", np.int64, mismatch("float", "'long'"), mismatch("int", "'long'")),
    ("uint32", np.uint32, mismatch("float", "'unsigned int'"), mismatch("int", "'unsigned int'")),
    ("uint64", np.uint64, mismatch("float", "'unsigned long'"), mismatch("int", "'unsigned long'")),
    ("int16", np.int16, mismatch("float", "'short'"), mismatch("int", "'short'")),
    ("uint16", np.uint16, mismatch("float", "'unsigned short'"), mismatch("int", "'unsigned short'")),
    ("int8", np.int8, mismatch("float", "'signed char'"), mismatch("int", "'signed char'")),
    ("uint8", np.uint8, mismatch("float", "'unsigned char'"), mismatch("int", "'unsigned char'")),
    ("bool", np.bool_, mismatch("float", "'bool'"), mismatch("int", "'bool'")),
    ("complex64", np.complex64, mismatch("float", "'complex float'"), mismatch("int", "'complex float'")),
    ("complex128", np.complex128, mismatch("float", "'complex double'"), mismatch("int", "'complex double'")),
    ("longdouble", np.longdouble, mismatch("float", "'long double'"), mismatch("int", "'long double'")),
    (
        "clongdouble",
        np.clongdouble,
        mismatch("float", "'complex long double'"),
        mismatch("int", "'complex long double'"),
    ),
    ("object", object, mismatch("float", "Python object"), mismatch("int", "Python object")),
    ("foreign-order-f4", np.dtype("f4").newbyteorder(), FOREIGN_ORDER_MESSAGE, SAME),
    ("foreign-order-i4", np.dtype("i4").newbyteorder(), FOREIGN_ORDER_MESSAGE, SAME),
    ("float16", np.float16, not_understood("e"), SAME),
    ("unicode", "U1", not_understood("w"), SAME),
    ("void4", "V4", mismatch("float", "end"), mismatch("int", "end")),
    ("record-f4", REC_F, None, mismatch("int", "'float'")),
    ("record-i4", REC_I, mismatch("float", "'int'"), None),
    ("record-nested-f4", REC_NESTED, None, mismatch("int", "'float'")),
    ("record-f4-padded", REC_F_PAD, itemsize_message(8, "float", 4), mismatch("int", "'float'")),
    ("record-fff", REC_FFF, surplus("'float'"), mismatch("int", "'float'")),
    ("record-fi", REC_FI, surplus("'int'"), mismatch("int", "'float'")),
    ("record-if", REC_IF, mismatch("float", "'int'"), surplus("'float'")),
    ("record-offset-4", REC_OFFSET, offset_message(4), None),
    ("record-subarray", REC_SUBARRAY, "Expected 0 dimension(s), got 1", SAME),
    ("record-subarray-2d", REC_SUBARRAY_2D, "Expected 0 dimension(s), got 2", SAME),
]


def _dtype_params(accepted: bool):
    out = []
    for slot, slot_id in zip(SLOTS, SLOT_IDS):
        for case_id, dtype, float_msg, int_msg in DTYPE_CASES:
            if int_msg is SAME:
                int_msg = float_msg
            message = float_msg if slot[2] == "float" else int_msg
            if case_id == "record-offset-4" and slot[2] == "int":
                continue  # which of two faults is told first is not fixed
            if (message is None) == accepted:
                out.append(pytest.param(slot, dtype, message, id=f"{slot_id}-{case_id}"))
    return out


@pytest.mark.parametrize("slot, dtype, message", _dtype_params(accepted=False))
def test_numpy_dtype_refused(fastloop, rec, slot, dtype, message):
    arr = shaped(dtype, slot[3])
    refuse(fastloop, rec, slot, arr, ValueError, message)
    # The refused buffer was given back: the array can be resized.
    arr.resize((7,) + arr.shape[1:], refcheck=False)


def full_args(func_name: str, rows: int, fn: int, **override) -> list:
    """Valid arguments with `rows` rows in every array, then the overrides."""
    args = {"fn": fn, "inst": 3, "h": 4}
    for p in FUNCTIONS[func_name][3:]:
        if func_name == "scalar_set_many" and p == "vals":
            args[p] = np.zeros(rows, np.float32)
        else:
            args[p] = np.zeros((rows, 3), np.int32 if p == "tris" else np.float32)
    args.update(override)
    return list(args.values())


@pytest.mark.parametrize("slot, dtype, message", _dtype_params(accepted=True))
def test_numpy_dtype_accepted(fastloop, rec, slot, dtype, message):
    func_name, param, element, ndim = slot
    arr = shaped(dtype, ndim, rows=2)
    arr.view(np.uint8).reshape(-1)[:] = np.arange(arr.nbytes, dtype=np.uint8)
    base = arr.ctypes.data
    func = getattr(fastloop, func_name)
    func(*full_args(func_name, 2, rec.fn(FN_KIND[func_name]), **{param: arr}))
    calls = rec.calls()
    assert len(calls) == 2
    if param == "vals" and func_name == "scalar_set_many":
        assert [c.value_bits for c in calls] == list(arr.view(np.uint32).reshape(-1)[:2])
    elif param == "vals":
        assert [c.ptr2 for c in calls] == [base, base + 12]
        assert [c.data2 for c in calls] == [arr.tobytes()[:12], arr.tobytes()[12:24]]
    else:
        assert [c.ptr for c in calls] == [base, base + 12]
        assert [c.data for c in calls] == [arr.tobytes()[:12], arr.tobytes()[12:24]]
    arr.resize((5,) + arr.shape[1:], refcheck=False)


@pytest.mark.parametrize("slot", SLOTS, ids=SLOT_IDS)
def test_wrong_number_of_axes(fastloop, rec, slot):
    ndim = slot[3]
    dtype = ELEMENT_DTYPE[slot[2]]
    other = 1 if ndim == 2 else 2
    refuse(fastloop, rec, slot, shaped(dtype, other), ValueError, dims_message(ndim, other))
    refuse(fastloop, rec, slot, np.zeros((2, 3, 1), dtype), ValueError, dims_message(ndim, 3))
    refuse(fastloop, rec, slot, np.zeros((), dtype), ValueError, dims_message(ndim, 0))
    # The number of axes is tested before the element type.
    refuse(fastloop, rec, slot, shaped(np.float64, other), ValueError, dims_message(ndim, other))


def _readonly(ndim):
    a = shaped(np.float32, ndim)
    a.flags.writeable = False
    return a


# Refused by the exporter itself; the module passes its error on unchanged.
EXPORTER_REFUSALS = [
    ("list", lambda nd: [[0.0, 0.0, 0.0]]),
    ("tuple", lambda nd: (0.0, 0.0, 0.0)),
    ("int", lambda nd: 5),
    ("str", lambda nd: "abc"),
    ("bytes", lambda nd: b"\x00" * 24),
    ("readonly", _readonly),
    ("transposed", lambda nd: np.zeros((3, 2), np.float32).T if nd == 2 else None),
    ("strided-rows", lambda nd: np.zeros((4, 3), np.float32)[::2] if nd == 2 else np.zeros(6, np.float32)[::2]),
    ("column-slice", lambda nd: np.zeros((2, 4), np.float32)[:, :3] if nd == 2 else None),
    ("reversed", lambda nd: np.zeros(6, np.float32)[::-1] if nd == 1 else np.zeros((2, 3), np.float32)[::-1]),
    ("datetime", lambda nd: shaped("M8[s]", nd)),
]


@pytest.mark.parametrize(
    "slot, case",
    [
        pytest.param(slot, make, id=f"{slot_id}-{case_id}")
        for slot, slot_id in zip(SLOTS, SLOT_IDS)
        for case_id, make in EXPORTER_REFUSALS
        if make(slot[3]) is not None
    ],
)
def test_exporter_errors_pass_through(fastloop, rec, slot, case):
    obj = case(slot[3])
    expected = get_buffer_error(obj)
    assert expected is not None
    refuse(fastloop, rec, slot, obj, type(expected), str(expected))


class BrokenExporter:
    def __buffer__(self, flags):
        raise BufferError("no export")


# The common mistakes keep their message and gain a note that names the argument and
# the fix; other refusals gain none. (slot, the refused object, its error, the note)
HINTS = [
    (
        0,
        lambda: np.zeros((2, 3)),
        ValueError(mismatch("float", "'double'")),
        "verts must have dtype float32: pass verts.astype(np.float32)",
    ),
    (
        1,
        lambda: np.zeros((2, 3), np.int64),
        ValueError(mismatch("int", "'long'")),
        "tris must have dtype int32: pass tris.astype(np.int32)",
    ),
    (
        3,
        lambda: [0.0, 1.0],
        TypeError("a bytes-like object is required, not 'list'"),
        "vals must be a NumPy array of shape (n,) and dtype float32: pass np.asarray(vals, dtype=np.float32)",
    ),
    (
        2,
        lambda: np.zeros((4, 3), np.float32)[::2],
        ValueError("ndarray is not C-contiguous"),
        "pos must be C-contiguous: pass np.ascontiguousarray(pos)",
    ),
    (
        6,
        lambda: _readonly(2),
        ValueError("buffer source array is read-only"),
        "vals must be writable, even as an input: pass a copy, vals.copy()",
    ),
    (
        0,
        lambda: np.zeros(6, np.float32),
        ValueError(dims_message(2, 1)),
        "verts must have shape (n, 3): pass verts.reshape(-1, 3)",
    ),
    (0, BrokenExporter, BufferError("no export"), None),
]


@pytest.mark.parametrize("slot, make, error, note", HINTS, ids=[f"{SLOT_IDS[h[0]]}-{i}" for i, h in enumerate(HINTS)])
def test_common_mistakes_carry_a_note(fastloop, rec, slot, make, error, note):
    exc = refuse(fastloop, rec, SLOTS[slot], make(), type(error), str(error))
    assert getattr(exc, "__notes__", None) == (None if note is None else [note])


def test_a_ctypes_function_as_fn_carries_a_note(fastloop):
    f = ctypes.CFUNCTYPE(None)(lambda: None)
    with pytest.raises(TypeError) as info:
        fastloop.add_vertices(f, 0, 0, np.zeros((0, 3), np.float32))
    assert str(info.value) == "an integer is required"
    assert info.value.__notes__ == [
        "fn must be the address of a native function, an int: for a ctypes function f, pass "
        "ctypes.cast(f, ctypes.c_void_p).value"
    ]
    assert_one_module_frame(info.value, "add_vertices")


@pytest.mark.parametrize("slot", SLOTS, ids=SLOT_IDS)
def test_none_is_an_empty_view(fastloop, rec, slot):
    func_name, param, _, _ = slot
    func = getattr(fastloop, func_name)
    func(*call_args(func_name, param, None, rec.fn(FN_KIND[func_name])))
    assert rec.count() == 0


# --------------------------------------------------------------------------- struct formats

# (format, item size, message for a two-axis "float" view, for a two-axis "int" view)
TESTBUFFER_FORMATS = [
    ("f", [0.0], None, mismatch("int", "'float'")),
    ("=f", [0.0], None, mismatch("int", "'float'")),
    (NATIVE_ORDER[0] + "f", [0.0], None, mismatch("int", "'float'")),
    ("@f", [0.0], None, mismatch("int", "'float'")),
    (" f", [0.0], None, mismatch("int", "'float'")),
    ("1f", [0.0], None, mismatch("int", "'float'")),
    ("i", [0], mismatch("float", "'int'"), None),
    ("=l", [0], mismatch("float", "'long'"), None),
    (NATIVE_ORDER[-1] + "l", [0], mismatch("float", "'long'"), None),
    ("l", [0], mismatch("float", "'long'"), mismatch("int", "'long'")),
    ("=L", [0], mismatch("float", "'unsigned long'"), mismatch("int", "'unsigned long'")),
    ("I", [0], mismatch("float", "'unsigned int'"), mismatch("int", "'unsigned int'")),
    ("q", [0], mismatch("float", "'long long'"), mismatch("int", "'long long'")),
    ("=Q", [0], mismatch("float", "'unsigned long long'"), mismatch("int", "'unsigned long long'")),
    ("d", [0.0], mismatch("float", "'double'"), mismatch("int", "'double'")),
    ("c", [b"a"], mismatch("float", "'char'"), mismatch("int", "'char'")),
    ("s", [b"a"], mismatch("float", "a string"), mismatch("int", "a string")),
    ("p", [b"a"], mismatch("float", "a string"), mismatch("int", "a string")),
    ("?", [False], mismatch("float", "'bool'"), mismatch("int", "'bool'")),
    ("xi", [0], mismatch("float", "'int'"), offset_message(4)),
    ("=xi", [0], mismatch("float", "'int'"), offset_message(1)),
    ("xf", [0.0], offset_message(4), mismatch("int", "'float'")),
    ("2i", [(0, 0)], mismatch("float", "'int'"), surplus("'int'")),
    ("2f", [(0.0, 0.0)], surplus("'float'"), mismatch("int", "'float'")),
    ("ii", [(0, 0)], mismatch("float", "'int'"), surplus("'int'")),
    ("if", [(0, 0.0)], mismatch("float", "'int'"), surplus("'float'")),
    ("fi", [(0.0, 0)], surplus("'int'"), mismatch("int", "'float'")),
    ("i4x", [0], mismatch("float", "'int'"), itemsize_message(8, "int", 4)),
    ("fx", [0.0], itemsize_message(5, "float", 4), mismatch("int", "'float'")),
    (FOREIGN_ORDER[0] + "f", [0.0], FOREIGN_ORDER_MESSAGE, FOREIGN_ORDER_MESSAGE),
    (FOREIGN_ORDER[-1] + "i", [0], FOREIGN_ORDER_MESSAGE, FOREIGN_ORDER_MESSAGE),
    ("P", [0], not_understood("P"), not_understood("P")),
]


@pytest.mark.parametrize("fmt, item, float_msg, int_msg", TESTBUFFER_FORMATS, ids=[c[0] for c in TESTBUFFER_FORMATS])
@pytest.mark.parametrize("slot", [SLOTS[0], SLOTS[1]], ids=SLOT_IDS[:2])
def test_struct_formats_from_testbuffer(fastloop, rec, slot, fmt, item, float_msg, int_msg):
    obj = ndarray(item * 6, shape=[2, 3], format=fmt, flags=ND_WRITABLE)
    message = float_msg if slot[2] == "float" else int_msg
    if message is not None:
        refuse(fastloop, rec, slot, obj, ValueError, message)
        return
    func_name, param, _, _ = slot
    getattr(fastloop, func_name)(*call_args(func_name, param, obj, rec.fn(FN_KIND[func_name])))
    calls = rec.calls()
    assert len(calls) == 2
    assert calls[1].ptr - calls[0].ptr == 12


# Formats that only a hand-made exporter produces; all for a two-axis "float"
# view (add_vertices) with an item size of 4 unless said otherwise.
RAW_FORMATS = [
    ("=g", 16, LONG_DOUBLE),
    (NATIVE_ORDER[0] + "g", 16, LONG_DOUBLE),
    ("=Zg", 32, LONG_DOUBLE),
    ("g", 16, mismatch("float", "'long double'")),
    ("Zf", 8, mismatch("float", "'complex float'")),
    ("Zd", 16, mismatch("float", "'complex double'")),
    ("Zg", 32, mismatch("float", "'complex long double'")),
    ("Zi", 8, "Unexpected format string character: 'Z'"),
    ("O", 8, mismatch("float", "Python object")),
    ("e", 2, not_understood("e")),
    ("n", 8, not_understood("n")),
    ("N", 8, not_understood("N")),
    ("\tf", 4, not_understood("\t")),
    ("", 4, mismatch("float", "end")),
    ("4x", 4, mismatch("float", "end")),
    ("^f", 4, None),
    ("\r\nf\n", 4, None),
    ("T{f:a:}", 4, None),
    ("T{" + NATIVE_ORDER[0] + "f:x:}", 4, None),
    ("T{" + FOREIGN_ORDER[0] + "f:x:}", 4, FOREIGN_ORDER_MESSAGE),
    ("T{T{f:a:}:o:}", 4, None),
    ("T{f:a:f:b:}", 8, surplus("'float'")),
    ("T{f:a:}T{f:b:}", 8, surplus("'float'")),
    ("T{i:a:}", 4, mismatch("float", "'int'")),
    ("T{f:a:i:b:}", 8, surplus("'int'")),
    ("T{xxxxf:a:}", 8, offset_message(4)),
    ("^T{xf:a:}", 5, offset_message(1)),
    ("T{f:a:4x}", 8, itemsize_message(8, "float", 4)),
    ("T{(3)f:a:}", 12, "Expected 0 dimension(s), got 1"),
    ("(3)f", 12, "Expected 0 dimension(s), got 1"),
    ("(2,3)f", 24, "Expected 0 dimension(s), got 2"),
    ("2(3)f", 24, "Cannot handle repeated arrays in format string"),
    ("(3;)f", 12, "Expected a comma in format string, got ';'"),
    ("Tf", 4, "Buffer acquisition: Expected '{' after 'T'"),
    ("f", 8, itemsize_message(8, "float", 4)),
    ("f", 1, itemsize_message(1, "float", 4)),
    ("f", 2, itemsize_message(2, "float", 4)),
]


@pytest.mark.parametrize("fmt, itemsize, message", RAW_FORMATS, ids=[repr(c[0]) + f"/{c[1]}" for c in RAW_FORMATS])
def test_raw_formats(fastloop, rec, badbuffer, fmt, itemsize, message):
    obj = badbuffer.Exporter(6 * itemsize, format=fmt, itemsize=itemsize, shape=(2, 3))
    slot = SLOTS[0]
    if message is None:
        fastloop.add_vertices(rec.fn("addvec"), 3, 4, obj)
        addr = obj.address
        assert [c.ptr for c in rec.calls()] == [addr, addr + 12]
    else:
        refuse(fastloop, rec, slot, obj, ValueError, message)
    assert obj.exports == 0


class CFloat1(ctypes.Structure):
    _fields_ = [("x", ctypes.c_float)]


class CInt1(ctypes.Structure):
    _fields_ = [("x", ctypes.c_int32)]


class CFloatInt(ctypes.Structure):
    _fields_ = [("x", ctypes.c_float), ("y", ctypes.c_int32)]


class CFloat3(ctypes.Structure):
    _fields_ = [("x", ctypes.c_float * 3)]


# ctypes arrays export without strides and with standard-size formats.
CTYPES_CASES = [
    ("c_float", ctypes.c_float, None, mismatch("int", "'float'")),
    ("c_int32", ctypes.c_int32, mismatch("float", "'int'"), None),
    ("c_double", ctypes.c_double, mismatch("float", "'double'"), mismatch("int", "'double'")),
    ("c_longdouble", ctypes.c_longdouble, LONG_DOUBLE, LONG_DOUBLE),
    ("c_int64", ctypes.c_int64, mismatch("float", "'long long'"), mismatch("int", "'long long'")),
    ("c_bool", ctypes.c_bool, mismatch("float", "'bool'"), mismatch("int", "'bool'")),
    ("struct-float", CFloat1, None, mismatch("int", "'float'")),
    ("struct-int", CInt1, mismatch("float", "'int'"), None),
    ("struct-float-int", CFloatInt, surplus("'int'"), mismatch("int", "'float'")),
    ("struct-float3", CFloat3, "Expected 0 dimension(s), got 1", "Expected 0 dimension(s), got 1"),
]


@pytest.mark.parametrize("ctype, float_msg, int_msg", [c[1:] for c in CTYPES_CASES], ids=[c[0] for c in CTYPES_CASES])
@pytest.mark.parametrize("slot", [SLOTS[0], SLOTS[1]], ids=SLOT_IDS[:2])
def test_ctypes_arrays(fastloop, rec, slot, ctype, float_msg, int_msg):
    obj = (ctype * 3 * 2)()
    message = float_msg if slot[2] == "float" else int_msg
    if message is not None:
        refuse(fastloop, rec, slot, obj, ValueError, message)
        return
    func_name, param, _, _ = slot
    getattr(fastloop, func_name)(*call_args(func_name, param, obj, rec.fn(FN_KIND[func_name])))
    base = ctypes.addressof(obj)
    # No strides from ctypes: rows are taken 12 bytes apart.
    assert [c.ptr for c in rec.calls()] == [base, base + 12]


# --------------------------------------------------------------------------- layouts


NOT_SAME_DIM = "Buffer and memoryview are not contiguous in the same dimension."
NOT_C = "Buffer not C contiguous."

# (shape, strides, suboffsets, message) for a two-axis "float" view, item size 4.
LAYOUTS_2D = [
    ((2, 3), (12, 8), None, NOT_SAME_DIM),
    ((2, 3), (12, -4), None, NOT_SAME_DIM),
    ((2, 3), (0, 4), None, NOT_SAME_DIM),
    ((2, 3), (2, 4), None, NOT_SAME_DIM),
    ((2, 3), (-2, 4), None, NOT_SAME_DIM),
    ((2, 3), (4, 4), None, NOT_C),
    ((2, 3), (-12, 4), None, NOT_C),
    ((2, 3), (24, 4), None, NOT_C),
    ((2, 3), None, (-1, -1), "Buffer exposes suboffsets but no strides"),
    ((2, 3), (12, 4), (-1, 0), "Buffer not compatible with direct access in dimension 1."),
    ((2, 3), (12, 4), (0, -1), "Buffer not compatible with direct access in dimension 0."),
    ((1, 3), (12, 4), (-1, 5), "Buffer not compatible with direct access in dimension 1."),
    ((2, 3), (12, 4), (-1, -1), None),
    ((2, 3), None, None, None),
    ((1, 3), (999, 4), None, None),
    ((1, 3), (-5, 4), None, None),
    ((0, 3), (7, 9), None, None),
]


@pytest.mark.parametrize(
    "shape, strides, suboffsets, message",
    LAYOUTS_2D,
    ids=[f"{c[0]}-{c[1]}-{c[2]}" for c in LAYOUTS_2D],
)
def test_two_axis_layouts(fastloop, rec, badbuffer, shape, strides, suboffsets, message):
    # Over-allocate so that even a wrongly accepted layout stays in bounds.
    nbytes = shape[0] * shape[1] * 4
    obj = badbuffer.Exporter(nbytes, format="f", itemsize=4, shape=shape, strides=strides, suboffsets=suboffsets)
    if shape[0] * shape[1] == 0:
        assert obj.address != 0
    slot = SLOTS[0]
    if message is not None:
        refuse(fastloop, rec, slot, obj, ValueError, message)
    else:
        fastloop.add_vertices(rec.fn("addvec"), 3, 4, obj)
        addr = obj.address
        stride = strides[0] if strides else shape[1] * 4
        assert [c.ptr for c in rec.calls()] == [addr + i * stride for i in range(shape[0])]
    assert obj.exports == 0
    assert obj.last_flags == CONTIG_WRITABLE_FORMAT


LAYOUTS_1D = [
    ((3,), (8,), None, NOT_SAME_DIM),
    ((3,), (-4,), None, NOT_SAME_DIM),
    ((3,), (4,), (0,), "Buffer not compatible with direct access in dimension 0."),
    ((3,), None, (-1,), "Buffer exposes suboffsets but no strides"),
    ((1,), (100,), None, None),
    ((0,), (3,), None, None),
    ((3,), None, None, None),
]


@pytest.mark.parametrize(
    "shape, strides, suboffsets, message",
    LAYOUTS_1D,
    ids=[f"{c[0]}-{c[1]}-{c[2]}" for c in LAYOUTS_1D],
)
def test_one_axis_layouts(fastloop, rec, badbuffer, shape, strides, suboffsets, message):
    layout = dict(shape=shape, strides=strides, suboffsets=suboffsets)
    obj = badbuffer.Exporter(shape[0] * 4, format="f", itemsize=4, **layout)
    if message is not None:
        refuse(fastloop, rec, SLOTS[3], obj, ValueError, message)
    else:
        # With positions for each element the values go out one by one.
        words = np.arange(1, shape[0] + 1, dtype=np.uint32)
        obj.write(words.tobytes())
        fastloop.scalar_set_many(rec.fn("setscl"), 3, 4, np.zeros((shape[0], 3), np.float32), obj)
        assert [c.value_bits for c in rec.calls()] == list(words)
    assert obj.exports == 0
    assert obj.last_flags == CONTIG_WRITABLE_FORMAT


# --------------------------------------------------------------------------- release on every path


@pytest.mark.parametrize("func_name", ["scalar_set_many", "vector_set_many"])
def test_first_view_released_when_the_second_is_refused(fastloop, rec, badbuffer, func_name):
    pos = badbuffer.Exporter(24, format="f", itemsize=4, shape=(2, 3))
    vals_ok = badbuffer.Exporter(24, format="f", itemsize=4, shape=(6,) if func_name == "scalar_set_many" else (2, 3))
    func = getattr(fastloop, func_name)
    fn = rec.fn(FN_KIND[func_name])
    for bad in (np.zeros((2, 3), np.float64), [1.0], np.zeros((2, 3, 1), np.float32)):
        with pytest.raises((ValueError, TypeError)):
            func(fn, 1, 2, pos, bad)
        assert pos.exports == 0
    # Refused first: the later view is never requested.
    before = vals_ok.total_exports
    with pytest.raises(ValueError):
        func(fn, 1, 2, np.zeros((2, 3), np.float64), vals_ok)
    assert vals_ok.total_exports == before
    assert rec.count() == 0


@pytest.mark.parametrize("slot", SLOTS, ids=SLOT_IDS)
def test_views_released_after_success(fastloop, rec, badbuffer, slot):
    func_name, param, element, ndim = slot
    args = full_args(func_name, 2, rec.fn(FN_KIND[func_name]))
    exporters = []
    for i, p in enumerate(FUNCTIONS[func_name][3:], start=3):
        shape = list(args[i].shape)
        fmt = "i" if p == "tris" else "f"
        args[i] = badbuffer.Exporter(4 * int(np.prod(shape)), format=fmt, itemsize=4, shape=shape)
        exporters.append(args[i])
    getattr(fastloop, func_name)(*args)
    assert rec.count() == 2
    for e in exporters:
        assert (e.exports, e.total_exports) == (0, 1)
