"""add_vertices and add_triangles: one adder call per row, in row order, with the
row's address inside the caller's own array, the handles passed through, the
GIL released, the adder's result ignored, and every refusal made before any
native call."""

from __future__ import annotations

import sys
import threading
from dataclasses import dataclass

import numpy as np
import pytest

from helpers import assert_one_module_frame, counted, get_buffer_error

INST = 2**64 - 1
H = 0x0123456789ABCDEF
FN_ZERO = "fn is 0: the address of a native function is required"


@dataclass(frozen=True)
class Adder:
    name: str  # module function
    kind: str  # recording entry point
    dtype: type  # element type of a row
    arg: str  # name of the array parameter
    elem: str  # element name in view messages
    bad_dtype: type  # a dtype of the same kind that is refused
    bad_desc: str  # how the view messages describe it

    def of(self, fastloop):
        return getattr(fastloop, self.name)


@pytest.fixture(
    params=[
        Adder("add_vertices", "addvec", np.float32, "verts", "float", np.float64, "'double'"),
        Adder("add_triangles", "addtri", np.int32, "tris", "int", np.int64, "'long'"),
    ],
    ids=["vertices", "triangles"],
)
def adder(request) -> Adder:
    return request.param


def sample_rows(dtype, n: int, cols: int = 3) -> np.ndarray:
    """A new (n, cols) array of distinct elements; the float rows include NaN
    payloads, -0.0, infinities and a subnormal, the int rows the int32 extremes."""
    if dtype == np.float32:
        bits = np.arange(n * cols, dtype=np.uint32) * np.uint32(0x01010101) + np.uint32(0x3F800000)
        specials = np.array([0x7FC0BEEF, 0x80000000, 0x7F800000, 0xFF800000, 0x00000001], np.uint32)
        k = min(len(specials), bits.size)
        bits[:k] = specials[:k]
        return bits.view(np.float32).reshape(n, cols).copy()
    vals = np.arange(n * cols, dtype=np.int64) * 7919 - 50
    k = min(3, vals.size)
    vals[:k] = [np.iinfo(np.int32).min, -1, np.iinfo(np.int32).max][:k]
    return vals.astype(np.int32).reshape(n, cols)


def first_three(a: np.ndarray, i: int) -> bytes:
    """The 12 bytes an adder reads at the start of row i."""
    return a[i, :3].tobytes()


# Caller arrays of four rows: (rows, columns of the array they are cut from, first row).
LAYOUTS = {
    "contiguous": (4, 3, 0),
    "rows-of-a-larger-array": (9, 3, 3),
    "four-columns": (4, 4, 0),
    "five-columns": (4, 5, 0),
}


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("by_keyword", [False, True], ids=["positional", "keywords"])
def test_every_row_is_passed_in_place(fastloop, rec, adder, layout, by_keyword):
    total, cols, first = LAYOUTS[layout]
    owner = sample_rows(adder.dtype, total, cols)
    rows = owner[first : first + 4]
    fn = rec.fn(adder.kind)
    if by_keyword:
        result = adder.of(fastloop)(**{adder.arg: rows, "h": H, "fn": fn, "inst": INST})
    else:
        result = adder.of(fastloop)(fn, INST, H, rows)
    assert result is None

    calls = rec.calls()
    assert [c.kind for c in calls] == [adder.kind] * 4
    # Row i's own address inside the caller's buffer (never a copy), first row
    # first, advancing by the full row stride however wide the rows are.
    base = owner.ctypes.data + first * owner.strides[0]
    assert [c.ptr for c in calls] == [base + i * 4 * cols for i in range(4)]
    assert [c.data for c in calls] == [first_three(rows, i) for i in range(4)]
    assert [c.ordinal for c in calls] == [0, 1, 2, 3]
    for c in calls:
        assert (c.inst, c.h) == (INST, H)
        assert not c.gil and not c.attached
        assert c.thread == threading.get_ident()


def test_contiguous_rows_are_twelve_bytes_apart(fastloop, rec, adder):
    rows = sample_rows(adder.dtype, 6)
    adder.of(fastloop)(rec.fn(adder.kind), 1, 2, rows)
    ptrs = [c.ptr for c in rec.calls()]
    assert ptrs[0] == rows.ctypes.data
    assert np.diff(ptrs).tolist() == [12] * 5


@pytest.mark.parametrize("ret", [0, -1, 1, 2**31 - 1, -(2**31)])
def test_adder_result_is_ignored(fastloop, rec, adder, ret):
    rec.set_add_return(adder.kind, ret)
    rows = sample_rows(adder.dtype, 5)
    assert adder.of(fastloop)(rec.fn(adder.kind), 1, 2, rows) is None
    calls = rec.calls()
    assert [c.ret for c in calls] == [ret] * 5
    assert [c.data for c in calls] == [first_three(rows, i) for i in range(5)]


@pytest.mark.parametrize("shape", [None, (0, 3), (0, 5), (0, 2), (0, 0)], ids=str)
@pytest.mark.parametrize("use_zero_fn", [False, True], ids=["fn", "fn0"])
def test_no_rows_no_call(fastloop, rec, adder, shape, use_zero_fn):
    rows = None if shape is None else np.zeros(shape, adder.dtype)
    fn = 0 if use_zero_fn else rec.fn(adder.kind)
    assert adder.of(fastloop)(fn, 1, 2, rows) is None
    assert rec.count() == 0


@pytest.mark.parametrize("n", [1, 3])
def test_zero_fn_is_refused_when_there_are_rows(fastloop, adder, n):
    with pytest.raises(ValueError) as info:
        adder.of(fastloop)(0, 1, 2, sample_rows(adder.dtype, n))
    assert str(info.value) == FN_ZERO
    assert_one_module_frame(info.value, adder.name)


@pytest.mark.parametrize("shape", [(1, 2), (3, 2), (2, 1), (1, 0)], ids=str)
def test_fewer_than_three_columns_are_refused(fastloop, rec, adder, shape):
    with pytest.raises(ValueError) as info:
        adder.of(fastloop)(rec.fn(adder.kind), 1, 2, np.ones(shape, adder.dtype))
    assert str(info.value) == f"{adder.arg} has {counted(shape[1], 'column')} per row; at least 3 are required"
    assert_one_module_frame(info.value, adder.name)
    assert rec.count() == 0


def refused_array(adder: Adder, case: str):
    """(array, exception type, message); None for both: the exporter's own refusal."""
    if case == "wrong-dtype":
        return (
            np.zeros((3, 3), adder.bad_dtype),
            ValueError,
            (f"Buffer dtype mismatch, expected '{adder.elem}' but got {adder.bad_desc}"),
        )
    if case == "unsigned":
        return (
            np.zeros((3, 3), np.uint32),
            ValueError,
            (f"Buffer dtype mismatch, expected '{adder.elem}' but got 'unsigned int'"),
        )
    if case == "one-axis":
        return np.zeros(9, adder.dtype), ValueError, "Buffer has wrong number of dimensions (expected 2, got 1)"
    if case == "three-axes":
        return (
            np.zeros((1, 3, 3), adder.dtype),
            ValueError,
            ("Buffer has wrong number of dimensions (expected 2, got 3)"),
        )
    if case == "column-slice":
        return sample_rows(adder.dtype, 4, cols=6)[:, :3], None, None
    if case == "every-other-row":
        return sample_rows(adder.dtype, 6)[::2], None, None
    if case == "transposed":
        return sample_rows(adder.dtype, 3).T, None, None
    if case == "read-only":
        a = sample_rows(adder.dtype, 3)
        a.flags.writeable = False
        return a, None, None
    assert case == "list"
    return [[1, 2, 3]], None, None


@pytest.mark.parametrize(
    "case",
    [
        "wrong-dtype",
        "unsigned",
        "one-axis",
        "three-axes",
        "column-slice",
        "every-other-row",
        "transposed",
        "read-only",
        "list",
    ],
)
@pytest.mark.parametrize("use_zero_fn", [False, True], ids=["fn", "fn0"])
def test_unusable_arrays_are_refused_before_any_call(fastloop, rec, adder, case, use_zero_fn):
    rows, exc_type, message = refused_array(adder, case)
    if exc_type is None:
        # Refused by the exporter or the interpreter itself; never copied instead.
        expected = get_buffer_error(rows)
        assert expected is not None
        exc_type, message = type(expected), str(expected)
    # The view is taken while binding, so it is what is reported even with fn 0.
    fn = 0 if use_zero_fn else rec.fn(adder.kind)
    with pytest.raises(exc_type) as info:
        adder.of(fastloop)(fn, 1, 2, rows)
    assert str(info.value) == message
    assert_one_module_frame(info.value, adder.name)
    assert rec.count() == 0


def test_no_reference_is_kept(fastloop, rec, adder):
    rows = sample_rows(adder.dtype, 3)
    before = sys.getrefcount(rows)
    adder.of(fastloop)(rec.fn(adder.kind), 1, 2, rows)
    assert sys.getrefcount(rows) == before
