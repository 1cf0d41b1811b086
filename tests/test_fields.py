"""scalar_set_many / vector_set_many and scalar_get_many / vector_get_many: one
native call per row of pos, in row order, with row addresses inside the
caller's arrays; values passed by value (scalar) or by row address (vector);
found flags from the sampler's byte; NaN where nothing was found; new result
arrays made through the module's np on every call; and every refusal made
before any native call and any allocation."""

from __future__ import annotations

import sys
import threading
from dataclasses import dataclass

import numpy as np
import pytest

from helpers import RecordingNumpy, assert_one_module_frame, counted, get_buffer_error

INST = 0xFEDCBA9876543210
H = 2**64 - 2
FN_ZERO = "fn is 0: the address of a native function is required"
CANONICAL_NAN = 0x7FC00000
# NaN with a payload, signalling NaN, -0.0, +inf, -inf, smallest subnormal, negative NaN.
SPECIAL_BITS = [0x7FC0BEEF, 0x7F800001, 0x80000000, 0x7F800000, 0xFF800000, 0x00000001, 0xFFC00001]


@dataclass(frozen=True)
class Family:
    prefix: str  # "scalar" or "vector"
    setter_kind: str  # recording entry points
    sampler_kind: str
    unit: str  # what the size message calls one element of vals

    @property
    def words(self) -> int:
        return 1 if self.prefix == "scalar" else 3

    def setter(self, fastloop):
        return getattr(fastloop, f"{self.prefix}_set_many")

    def getter(self, fastloop):
        return getattr(fastloop, f"{self.prefix}_get_many")

    def value_shape(self, n: int):
        return (n,) if self.prefix == "scalar" else (n, 3)

    def values(self, n: int, cols: int = 3) -> np.ndarray:
        """n distinct float32 values (scalar) or (n, cols) rows (vector)."""
        size = n * (1 if self.prefix == "scalar" else cols)
        bits = np.arange(size, dtype=np.uint32) * np.uint32(0x00811111) + np.uint32(0x40000000)
        k = min(len(SPECIAL_BITS), size)
        bits[:k] = SPECIAL_BITS[:k]
        out = bits.view(np.float32)
        return out.copy() if self.prefix == "scalar" else out.reshape(n, cols).copy()


SCALAR = Family("scalar", "setscl", "getscl", "element")
VECTOR = Family("vector", "setvec", "getvecf", "row")


@pytest.fixture(params=[SCALAR, VECTOR], ids=["scalar", "vector"])
def family(request) -> Family:
    return request.param


def positions(n: int, cols: int = 3) -> np.ndarray:
    """(n, cols) float32 positions, every element different."""
    return (np.arange(n * cols, dtype=np.float32) * np.float32(1.5) - np.float32(7.25)).reshape(n, cols)


def bits(a) -> np.ndarray:
    return np.ascontiguousarray(a).view(np.uint32)


@pytest.fixture
def recording_np(fastloop, monkeypatch) -> RecordingNumpy:
    shim = RecordingNumpy()
    monkeypatch.setattr(fastloop, "np", shim)
    return shim


# pos layouts, each of 4 rows: (rows, columns of the array they are cut from, first row)
POS_LAYOUTS = {
    "contiguous": (4, 3, 0),
    "rows-of-a-larger-array": (10, 3, 5),
    "five-columns": (4, 5, 0),
}


def cut(layout, make):
    total, cols, first = layout
    owner = make(total, cols)
    return owner, owner[first : first + 4], owner.ctypes.data + first * owner.strides[0], owner.strides[0]


def check_pos_calls(calls, pos, base, stride):
    assert [c.ptr for c in calls] == [base + i * stride for i in range(len(pos))]
    assert [c.data for c in calls] == [pos[i, :3].tobytes() for i in range(len(pos))]
    assert [c.ordinal for c in calls] == list(range(len(pos)))
    for c in calls:
        assert (c.inst, c.h) == (INST, H)
        assert not c.gil and not c.attached
        assert c.thread == threading.get_ident()


# ----------------------------------------------------------------------- setters

VALS_LAYOUTS = {
    "contiguous": (4, 3, 0),
    "rows-of-a-larger-array": (7, 3, 2),
    "four-columns": (4, 4, 0),
}


SETTER_LAYOUTS = [
    pytest.param(fam, layout, id=f"{fam.prefix}-vals-{layout}")
    for fam in (SCALAR, VECTOR)
    for layout in VALS_LAYOUTS
    if fam is VECTOR or layout != "four-columns"
]


@pytest.mark.parametrize("pos_layout", POS_LAYOUTS)
@pytest.mark.parametrize("family, vals_layout", SETTER_LAYOUTS)
def test_setter_passes_rows_and_values_in_place(fastloop, rec, family, pos_layout, vals_layout):
    _, pos, pos_base, pos_stride = cut(POS_LAYOUTS[pos_layout], positions)
    vowner, vals, vals_base, vals_stride = cut(VALS_LAYOUTS[vals_layout], family.values)
    assert family.setter(fastloop)(rec.fn(family.setter_kind), INST, H, pos, vals) is None

    calls = rec.calls()
    assert [c.kind for c in calls] == [family.setter_kind] * 4
    check_pos_calls(calls, pos, pos_base, pos_stride)
    if family is SCALAR:
        # Element i as a float32 argument, bit for bit (NaN payloads, -0.0, inf).
        assert [c.value_bits for c in calls] == bits(vals).tolist()
    else:
        # The address of row i of vals, inside the caller's array.
        assert [c.ptr2 for c in calls] == [vals_base + i * vals_stride for i in range(4)]
        assert [c.data2 for c in calls] == [vals[i, :3].tobytes() for i in range(4)]


@pytest.mark.parametrize("extra", [1, 5])
def test_values_past_the_rows_are_ignored(fastloop, rec, family, extra):
    pos = positions(3)
    vals = family.values(3 + extra)
    family.setter(fastloop)(rec.fn(family.setter_kind), INST, H, pos, vals)
    calls = rec.calls()
    assert len(calls) == 3
    if family is SCALAR:
        assert [c.value_bits for c in calls] == bits(vals[:3]).tolist()
    else:
        assert [c.data2 for c in calls] == [vals[i].tobytes() for i in range(3)]


@pytest.mark.parametrize("pos_shape", [None, (0, 3), (0, 5), (0, 1)], ids=str)
@pytest.mark.parametrize("vals_rows", [None, 0, 4])
@pytest.mark.parametrize("use_zero_fn", [False, True], ids=["fn", "fn0"])
def test_setter_without_rows_makes_no_call(fastloop, rec, family, pos_shape, vals_rows, use_zero_fn):
    pos = None if pos_shape is None else np.zeros(pos_shape, np.float32)
    vals = None if vals_rows is None else family.values(vals_rows)
    fn = 0 if use_zero_fn else rec.fn(family.setter_kind)
    assert family.setter(fastloop)(fn, INST, H, pos, vals) is None
    assert rec.count() == 0


@pytest.mark.parametrize("n, given", [(1, None), (3, None), (3, 0), (2, 1), (3, 2), (5, 4)])
@pytest.mark.parametrize("use_zero_fn", [False, True], ids=["fn", "fn0"])
def test_too_few_values_are_refused_before_any_call(fastloop, rec, family, n, given, use_zero_fn):
    vals = None if given is None else family.values(given)
    fn = 0 if use_zero_fn else rec.fn(family.setter_kind)
    with pytest.raises(ValueError) as info:
        family.setter(fastloop)(fn, INST, H, positions(n), vals)
    have = 0 if given is None else given
    # With fn 0 either refusal is right, as long as one comes before any call.
    if not use_zero_fn:
        assert str(info.value) == f"vals has {counted(have, family.unit)} but pos has {counted(n, 'row')}"
    else:
        assert str(info.value) in (f"vals has {counted(have, family.unit)} but pos has {counted(n, 'row')}", FN_ZERO)
    assert_one_module_frame(info.value, f"{family.prefix}_set_many")
    assert rec.count() == 0


@pytest.mark.parametrize("cols", [0, 1, 2])
def test_setter_refuses_pos_with_fewer_than_three_columns(fastloop, rec, family, cols):
    with pytest.raises(ValueError) as info:
        family.setter(fastloop)(rec.fn(family.setter_kind), INST, H, np.ones((2, cols), np.float32), family.values(2))
    assert str(info.value) == f"pos has {counted(cols, 'column')} per row; at least 3 are required"
    assert_one_module_frame(info.value, f"{family.prefix}_set_many")
    assert rec.count() == 0


@pytest.mark.parametrize("cols", [0, 1, 2])
@pytest.mark.parametrize("pos_rows", [2, 0])
def test_vector_setter_refuses_vals_with_fewer_than_three_columns(fastloop, rec, cols, pos_rows):
    with pytest.raises(ValueError) as info:
        fastloop.vector_set_many(rec.fn("setvec"), INST, H, positions(pos_rows), np.ones((2, cols), np.float32))
    assert str(info.value) == f"vals has {counted(cols, 'column')} per row; at least 3 are required"
    assert_one_module_frame(info.value, "vector_set_many")
    assert rec.count() == 0


@pytest.mark.parametrize("n", [1, 4])
def test_setter_refuses_zero_fn_when_there_are_rows(fastloop, family, n):
    with pytest.raises(ValueError) as info:
        family.setter(fastloop)(0, INST, H, positions(n), family.values(n))
    assert str(info.value) == FN_ZERO
    assert_one_module_frame(info.value, f"{family.prefix}_set_many")


def setter_view_case(family: Family, case: str):
    """(pos, vals, expected exception) for arrays that the views refuse."""
    good_vals = family.values(3)
    if case == "pos-double-and-vals-int":
        # pos is viewed first, so its refusal is the one reported.
        return (
            np.zeros((3, 3), np.float64),
            np.zeros(family.value_shape(3), np.int32),
            ValueError("Buffer dtype mismatch, expected 'float' but got 'double'"),
        )
    if case == "pos-one-axis-and-vals-double":
        return (
            np.zeros(9, np.float32),
            np.zeros(family.value_shape(3), np.float64),
            ValueError("Buffer has wrong number of dimensions (expected 2, got 1)"),
        )
    if case == "vals-double":
        return (
            positions(3),
            np.zeros(family.value_shape(3), np.float64),
            ValueError("Buffer dtype mismatch, expected 'float' but got 'double'"),
        )
    if case == "vals-wrong-axes":
        if family is SCALAR:
            return (
                positions(3),
                np.zeros((3, 1), np.float32),
                ValueError("Buffer has wrong number of dimensions (expected 1, got 2)"),
            )
        return (
            positions(3),
            np.zeros(9, np.float32),
            ValueError("Buffer has wrong number of dimensions (expected 2, got 1)"),
        )
    if case == "narrow-pos-and-vals-int":
        # Views are taken while binding, before the size and column checks.
        return (
            np.zeros((3, 2), np.float32),
            np.zeros(family.value_shape(3), np.int32),
            ValueError("Buffer dtype mismatch, expected 'float' but got 'int'"),
        )
    if case == "short-vals-of-wrong-type":
        return (
            positions(3),
            np.zeros(family.value_shape(1), np.float64),
            ValueError("Buffer dtype mismatch, expected 'float' but got 'double'"),
        )
    if case == "vals-read-only":
        good_vals.flags.writeable = False
        return positions(3), good_vals, get_buffer_error(good_vals)
    if case == "pos-strided":
        p = positions(6)[::2]
        return p, good_vals, get_buffer_error(p)
    assert case == "vals-not-contiguous"
    v = family.values(6)[::2]
    return positions(3), v, get_buffer_error(v)


@pytest.mark.parametrize(
    "case",
    [
        "pos-double-and-vals-int",
        "pos-one-axis-and-vals-double",
        "vals-double",
        "vals-wrong-axes",
        "narrow-pos-and-vals-int",
        "short-vals-of-wrong-type",
        "vals-read-only",
        "pos-strided",
        "vals-not-contiguous",
    ],
)
@pytest.mark.parametrize("use_zero_fn", [False, True], ids=["fn", "fn0"])
def test_setter_views_refused_in_parameter_order(fastloop, rec, family, case, use_zero_fn):
    pos, vals, expected = setter_view_case(family, case)
    assert expected is not None
    fn = 0 if use_zero_fn else rec.fn(family.setter_kind)
    with pytest.raises(type(expected)) as info:
        family.setter(fastloop)(fn, INST, H, pos, vals)
    assert str(info.value) == str(expected)
    assert_one_module_frame(info.value, f"{family.prefix}_set_many")
    assert rec.count() == 0


def test_setter_keeps_no_reference(fastloop, rec, family):
    pos, vals = positions(3), family.values(3)
    before = sys.getrefcount(pos), sys.getrefcount(vals)
    family.setter(fastloop)(rec.fn(family.setter_kind), INST, H, pos, vals)
    assert (sys.getrefcount(pos), sys.getrefcount(vals)) == before


# ----------------------------------------------------------------------- getters


@pytest.mark.parametrize("pos_layout", POS_LAYOUTS)
def test_getter_reads_rows_in_place(fastloop, rec, family, pos_layout):
    _, pos, base, stride = cut(POS_LAYOUTS[pos_layout], positions)
    out, found = family.getter(fastloop)(rec.fn(family.sampler_kind), INST, H, pos)
    calls = rec.calls()
    assert [c.kind for c in calls] == [family.sampler_kind] * 4
    check_pos_calls(calls, pos, base, stride)
    out_lo, out_hi = out.ctypes.data, out.ctypes.data + out.nbytes
    if family is SCALAR:
        # One temporary of the module's own, not the result array.
        assert len({c.ptr2 for c in calls}) == 1
        assert not out_lo <= calls[0].ptr2 < out_hi
    else:
        # The sampler writes straight into row i of the result.
        assert [c.ptr2 for c in calls] == [out_lo + 12 * i for i in range(4)]


def sampler_words(family: Family, n: int) -> np.ndarray:
    """What the sampler writes on call k: distinct bits, including NaN payloads."""
    w = np.arange(n * family.words, dtype=np.uint32) * np.uint32(0x00433333) + np.uint32(0x3F000000)
    w[:: 2 * family.words] = np.uint32(0x7FC0BEEF)  # every other call writes a NaN with a payload first
    return w.reshape(n, family.words)


@pytest.mark.parametrize(
    "returns",
    [[1, 0, 2, 255, 0, 1, 7, 0], [0] * 5, [1] * 5, [255, 128, 2, 1]],
    ids=["mixed", "none-found", "all-found", "any-non-zero"],
)
def test_found_flags_and_values(fastloop, rec, family, returns):
    n = len(returns)
    words = sampler_words(family, n)
    rec.set_sampler(family.sampler_kind, returns=returns, values=words)
    out, found = family.getter(fastloop)(rec.fn(family.sampler_kind), INST, H, positions(n))

    calls = rec.calls()
    assert [c.ret for c in calls] == returns
    assert all(c.wrote for c in calls)  # the sampler wrote even where it reported nothing
    hit = np.array(returns) != 0
    assert found.tolist() == hit.tolist()
    got = bits(out).reshape(n, family.words)
    for i in range(n):
        if hit[i]:
            # Exactly what the sampler wrote, NaN payloads included.
            assert got[i].tolist() == words[i].tolist()
        else:
            # The canonical quiet NaN in every component, whatever was written.
            assert got[i].tolist() == [CANONICAL_NAN] * family.words


def test_found_rows_keep_what_the_sampler_wrote_unmodified(fastloop, rec, family):
    # A found NaN comes back as that NaN with its flag set; only the flag tells
    # it from a position that was not found.
    words = np.array([[0x7FC00000] * family.words, [0xFFC00001] * family.words], np.uint32)
    rec.set_sampler(family.sampler_kind, returns=[1, 0], values=words)
    out, found = family.getter(fastloop)(rec.fn(family.sampler_kind), INST, H, positions(2))
    assert found.tolist() == [True, False]
    assert bits(out).reshape(2, family.words).tolist() == [[0x7FC00000] * family.words, [CANONICAL_NAN] * family.words]
    assert np.isnan(out).all()


@pytest.mark.parametrize("n", [1, 5])
def test_result_arrays(fastloop, rec, family, n):
    out, found = family.getter(fastloop)(rec.fn(family.sampler_kind), INST, H, positions(n))
    assert out.dtype == np.float32 and out.shape == family.value_shape(n)
    assert out.flags.c_contiguous and out.flags.writeable and out.flags.owndata
    assert found.dtype == np.bool_ and found.shape == (n,)
    # The flags are a bool view whose base is the uint8 array the loop wrote.
    assert isinstance(found.base, np.ndarray)
    assert found.base.dtype == np.uint8 and found.base.shape == (n,)
    assert np.shares_memory(found, found.base)
    assert found.base.tolist() == [1] * n


def test_results_are_new_on_every_call(fastloop, rec, family):
    pos = positions(3)
    fn = rec.fn(family.sampler_kind)
    first = family.getter(fastloop)(fn, INST, H, pos)
    kept = [a.copy() for a in first]
    rec.set_sampler(family.sampler_kind, returns=[0])
    second = family.getter(fastloop)(fn, INST, H, pos)
    for a, b in zip(first, second):
        assert a is not b
        assert not np.shares_memory(a, b)
    assert not np.shares_memory(first[1].base, second[1].base)
    # The second call (nothing found) left the first results alone.
    np.testing.assert_array_equal(bits(first[0]), bits(kept[0]))
    np.testing.assert_array_equal(first[1], kept[1])
    assert not second[1].any()


@pytest.mark.parametrize(
    "pos", [None, np.zeros((0, 3), np.float32), np.zeros((0, 1), np.float32)], ids=["None", "0x3", "0x1"]
)
@pytest.mark.parametrize("use_zero_fn", [False, True], ids=["fn", "fn0"])
def test_getter_without_rows_makes_no_call(fastloop, rec, family, pos, use_zero_fn):
    fn = 0 if use_zero_fn else rec.fn(family.sampler_kind)
    out, found = family.getter(fastloop)(fn, INST, H, pos)
    assert out.dtype == np.float32 and out.shape == family.value_shape(0)
    assert found.dtype == np.bool_ and found.shape == (0,)
    assert found.base.dtype == np.uint8
    assert rec.count() == 0


@pytest.mark.parametrize("pos", [None, 3], ids=["no-rows", "rows"])
def test_getter_allocates_through_the_module_np(fastloop, rec, family, recording_np, pos):
    n = 0 if pos is None else pos
    out, found = family.getter(fastloop)(rec.fn(family.sampler_kind), INST, H, None if pos is None else positions(pos))
    shape = n if family is SCALAR else (n, 3)
    assert recording_np.calls == [("empty", shape, np.float32), ("zeros", n, np.uint8)]
    assert type(recording_np.calls[0][1]) is type(shape)
    assert out is recording_np.made[0]
    assert found.base is recording_np.made[1]
    assert rec.count() == n


def getter_refusal(case: str):
    """(pos, expected exception) for a getter call refused before allocating."""
    if case == "zero-fn":
        return positions(2), ValueError(FN_ZERO)
    if case in ("two-columns", "one-column", "no-columns"):
        cols = {"two-columns": 2, "one-column": 1, "no-columns": 0}[case]
        return np.ones((3, cols), np.float32), ValueError(
            f"pos has {counted(cols, 'column')} per row; at least 3 are required"
        )
    if case == "double":
        return np.zeros((2, 3), np.float64), ValueError("Buffer dtype mismatch, expected 'float' but got 'double'")
    if case == "one-axis":
        return np.zeros(6, np.float32), ValueError("Buffer has wrong number of dimensions (expected 2, got 1)")
    if case == "read-only":
        p = positions(2)
        p.flags.writeable = False
        return p, get_buffer_error(p)
    assert case == "transposed"
    p = positions(3).T
    return p, get_buffer_error(p)


@pytest.mark.parametrize(
    "case", ["zero-fn", "two-columns", "one-column", "no-columns", "double", "one-axis", "read-only", "transposed"]
)
def test_getter_refusals_come_before_any_allocation(fastloop, rec, family, recording_np, case):
    pos, expected = getter_refusal(case)
    fn = 0 if case == "zero-fn" else rec.fn(family.sampler_kind)
    with pytest.raises(type(expected)) as info:
        family.getter(fastloop)(fn, INST, H, pos)
    assert str(info.value) == str(expected)
    assert_one_module_frame(info.value, f"{family.prefix}_get_many")
    assert recording_np.calls == []
    assert rec.count() == 0


def test_getter_keeps_no_reference(fastloop, rec, family):
    pos = positions(3)
    before = sys.getrefcount(pos)
    out, found = family.getter(fastloop)(rec.fn(family.sampler_kind), INST, H, pos)
    assert sys.getrefcount(pos) == before
    # The caller holds the only references to the results: as many as an array held the
    # same way, by one name here.
    baseline = np.empty(0)
    assert sys.getrefcount(out) == sys.getrefcount(found) == sys.getrefcount(baseline)
