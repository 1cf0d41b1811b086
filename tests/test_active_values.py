"""scalar_active_values and vector_active_values: a count pass, arrays made with
np.empty at exactly that size, a fill pass writing straight into them; bit-exact
rows in traversal order; a fill pass reporting fewer than was counted giving
exactly those rows, and one reporting more refused without writing past the
arrays; refusals before any traversal; an extraction nested in another on the
same thread; and several threads extracting at the same time, each with its own
complete result."""

from __future__ import annotations

import ctypes
import itertools
import threading
from dataclasses import dataclass

import numpy as np
import pytest

from helpers import RecordingNumpy, assert_one_module_frame, counted

INST = 0x8000000000000001
H = 0x00000000DEADBEEF
FN_ZERO = "fn is 0: the address of a native function is required"
NEGATIVE = "can't convert negative value to unsigned PY_LONG_LONG"
SENTINEL = 0xDEADBEEF


@dataclass(frozen=True)
class Extraction:
    prefix: str  # "scalar" or "vector"
    kind: str  # recording traversal

    @property
    def words(self) -> int:
        return 1 if self.prefix == "scalar" else 3

    def func(self, fastloop):
        return getattr(fastloop, f"{self.prefix}_active_values")

    def vals_shape(self, n: int):
        return (n,) if self.prefix == "scalar" else (n, 3)


SCALAR = Extraction("scalar", "traverse_s")
VECTOR = Extraction("vector", "traverse_v")


@pytest.fixture(params=[SCALAR, VECTOR], ids=["scalar", "vector"])
def ex(request) -> Extraction:
    return request.param


def elements(ex: Extraction, k: int, seed: int = 0):
    """k elements as float32 bit patterns: coordinates (k, 3) and values (k,) or
    (k, 3). Random bits (so NaNs with payloads, signalling NaNs, subnormals and
    infinities turn up), with the first rows fixed to such specials."""
    rng = np.random.default_rng(seed)
    coords = rng.integers(0, 2**32, size=(k, 3), dtype=np.uint32)
    vals = rng.integers(0, 2**32, size=(k, ex.words), dtype=np.uint32)
    specials = np.array(
        [
            [0x7FC0BEEF, 0x80000000, 0x7F800000],
            [0xFF800000, 0x7F800001, 0x00000001],
            [0x00000000, 0xFFC00001, 0x3F800000],
        ],
        dtype=np.uint32,
    )
    m = min(k, 3)
    coords[:m] = specials[:m]
    vals[:m] = specials[:m, : ex.words][::-1] if ex.words == 3 else specials[:m, 1:2]
    return coords, (vals[:, 0].copy() if ex.words == 1 else vals)


def bits(a) -> np.ndarray:
    return np.ascontiguousarray(a).view(np.uint32)


def check_result(ex: Extraction, result, coords_bits, vals_bits):
    assert type(result) is tuple and len(result) == 2
    coords, vals = result
    n = len(coords_bits)
    assert coords.dtype == np.float32 and coords.shape == (n, 3)
    assert vals.dtype == np.float32 and vals.shape == ex.vals_shape(n)
    for a in (coords, vals):
        assert a.flags.c_contiguous and a.flags.writeable and a.flags.owndata
    np.testing.assert_array_equal(bits(coords), coords_bits)
    np.testing.assert_array_equal(bits(vals), vals_bits)


class GuardedNumpy:
    """Stands in for the module's np: empty returns the first rows of a larger
    array whose remaining rows hold a sentinel, so writes past the end of the
    array the module asked for can be seen afterwards. With cols, rows asked for
    with three columns get that many, the rest holding the sentinel too."""

    PAD = 16

    def __init__(self, cols: int = 3):
        self.owners = []
        self.cols = cols

    def __getattr__(self, name):
        return getattr(np, name)

    def empty(self, shape, dtype=None):
        rows = shape[0] if isinstance(shape, tuple) else shape
        tail = (self.cols,) if isinstance(shape, tuple) else ()
        owner = np.empty((rows + self.PAD, *tail), dtype=dtype)
        owner.view(np.uint32)[...] = SENTINEL
        self.owners.append((rows, owner))
        return owner[:rows]


# ------------------------------------------------------------ one extraction


@pytest.mark.parametrize("n", [1, 2, 7, 300])
def test_elements_come_back_bit_for_bit_in_traversal_order(fastloop, rec, ex, n):
    coords_bits, vals_bits = elements(ex, n, seed=n)
    rec.set_traversal(ex.kind, coords_bits, vals_bits)
    result = ex.func(fastloop)(rec.fn(ex.kind), INST, H)
    check_result(ex, result, coords_bits, vals_bits)

    calls = rec.calls()
    # A count pass and a fill pass, each over the whole object.
    assert [c.kind for c in calls] == [ex.kind, ex.kind]
    assert [c.ret for c in calls] == [n, n]
    for c in calls:
        assert (c.inst, c.h) == (INST, H)
        assert c.ptr != 0
        assert not c.gil and not c.attached
        assert c.thread == threading.get_ident()


@pytest.mark.parametrize("passes", [None, [0, 4]], ids=["empty", "counted-none"])
def test_nothing_counted_gives_empty_arrays_after_one_traversal(fastloop, rec, ex, passes):
    if passes is None:
        rec.set_traversal(ex.kind, np.zeros((0, 3), np.uint32), np.zeros(ex.vals_shape(0), np.uint32))
    else:
        rec.set_traversal(ex.kind, *elements(ex, 4), passes=passes)
    coords, vals = ex.func(fastloop)(rec.fn(ex.kind), INST, H)
    assert coords.dtype == np.float32 and coords.shape == (0, 3)
    assert vals.dtype == np.float32 and vals.shape == ex.vals_shape(0)
    assert [c.kind for c in rec.calls()] == [ex.kind]


@pytest.mark.parametrize("n, reported", [(5, 3), (5, 0), (6, 5), (1, 0)])
def test_fill_pass_reporting_fewer_gives_exactly_the_reported_rows(fastloop, rec, ex, n, reported):
    # The field shrank between the passes: the result is what the fill pass saw, with
    # no row of uninitialised memory after it.
    coords_bits, vals_bits = elements(ex, n, seed=3)
    rec.set_traversal(ex.kind, coords_bits, vals_bits, passes=[n, reported])
    result = ex.func(fastloop)(rec.fn(ex.kind), INST, H)
    check_result(ex, result, coords_bits[:reported], vals_bits[:reported])
    assert [c.ret for c in rec.calls()] == [n, reported]


@pytest.mark.parametrize("n, reported", [(1, 2), (3, 4), (3, 11), (40, 41)])
def test_fill_pass_reporting_more_is_refused_without_writing_past_the_arrays(
    fastloop, rec, ex, monkeypatch, n, reported
):
    coords_bits, vals_bits = elements(ex, reported, seed=4)
    rec.set_traversal(ex.kind, coords_bits, vals_bits, passes=[n, reported])
    guarded = GuardedNumpy()
    monkeypatch.setattr(fastloop, "np", guarded)
    with pytest.raises(RuntimeError) as info:
        ex.func(fastloop)(rec.fn(ex.kind), INST, H)
    assert str(info.value) == (
        f"the field changed during extraction: the count pass reported {counted(n, 'value')}, the fill pass {reported}"
    )
    assert_one_module_frame(info.value, f"{ex.prefix}_active_values")

    (coords_rows, coords_owner), (vals_rows, vals_owner) = guarded.owners
    assert coords_rows == vals_rows == n
    # Exactly the first n elements were written, and nothing after them.
    assert bits(coords_owner[:n]).tolist() == coords_bits[:n].tolist()
    assert bits(vals_owner[:n]).tolist() == vals_bits[:n].tolist()
    assert (bits(coords_owner[n:]) == SENTINEL).all()
    assert (bits(vals_owner[n:]) == SENTINEL).all()

    # The next extraction starts afresh.
    monkeypatch.undo()
    rec.reset()
    again_coords, again_vals = elements(ex, 5, seed=5)
    rec.set_traversal(ex.kind, again_coords, again_vals)
    check_result(ex, ex.func(fastloop)(rec.fn(ex.kind), INST, H), again_coords, again_vals)


@pytest.mark.parametrize("n", [0, 1, 6])
def test_arrays_are_made_with_np_empty_at_the_counted_size(fastloop, rec, ex, monkeypatch, n):
    coords_bits, vals_bits = elements(ex, n)
    rec.set_traversal(ex.kind, coords_bits, vals_bits)
    shim = RecordingNumpy()
    monkeypatch.setattr(fastloop, "np", shim)
    coords, vals = ex.func(fastloop)(rec.fn(ex.kind), INST, H)
    expected_vals_shape = n if ex is SCALAR else (n, 3)
    assert shim.calls == [("empty", (n, 3), np.float32), ("empty", expected_vals_shape, np.float32)]
    assert type(shim.calls[1][1]) is type(expected_vals_shape)  # a bare count for scalar values
    assert coords is shim.made[0] and vals is shim.made[1]
    assert bits(coords).tolist() == coords_bits.tolist()
    assert bits(vals).tolist() == vals_bits.tolist()


@pytest.mark.parametrize("n, reported", [(4, 4), (4, 2)], ids=["filled", "shrunk"])
def test_wide_result_rows_get_whole_elements_at_their_row_stride(fastloop, rec, ex, monkeypatch, n, reported):
    coords_bits, vals_bits = elements(ex, n, seed=8)
    rec.set_traversal(ex.kind, coords_bits, vals_bits, passes=[n, reported])
    monkeypatch.setattr(fastloop, "np", GuardedNumpy(cols=5))
    for got, want in zip(ex.func(fastloop)(rec.fn(ex.kind), INST, H), (coords_bits, vals_bits)):
        assert len(got) == reported
        if got.ndim == 2:
            assert bits(got[:, :3]).tolist() == want[:reported].tolist()
            assert (bits(got[:, 3:]) == SENTINEL).all()
        else:
            assert bits(got).tolist() == want[:reported].tolist()


def test_results_are_new_on_every_call(fastloop, rec, ex):
    fn = rec.fn(ex.kind)
    first_bits = elements(ex, 4, seed=10)
    rec.set_traversal(ex.kind, *first_bits)
    first = ex.func(fastloop)(fn, INST, H)
    second_bits = elements(ex, 4, seed=11)
    rec.set_traversal(ex.kind, *second_bits)
    second = ex.func(fastloop)(fn, INST, H)
    for a, b in zip(first, second):
        assert a is not b and not np.shares_memory(a, b)
    # The earlier arrays were not written by the later call.
    check_result(ex, first, *first_bits)
    check_result(ex, second, *second_bits)


def test_zero_fn_is_refused(fastloop, ex):
    with pytest.raises(ValueError) as info:
        ex.func(fastloop)(0, INST, H)
    assert str(info.value) == FN_ZERO
    assert_one_module_frame(info.value, f"{ex.prefix}_active_values")


@pytest.mark.parametrize("negative", ["fn", "inst", "h"])
def test_negative_argument_is_refused_before_any_traversal(fastloop, rec, ex, negative):
    rec.set_traversal(ex.kind, *elements(ex, 2))
    args = {"fn": rec.fn(ex.kind), "inst": INST, "h": H, negative: -1}
    with pytest.raises(OverflowError) as info:
        ex.func(fastloop)(**args)
    assert str(info.value) == NEGATIVE
    assert rec.count() == 0


@pytest.mark.parametrize("order", list(itertools.permutations(["fn", "inst", "h"])), ids="-".join)
def test_keywords_in_any_order(fastloop, rec, ex, order):
    coords_bits, vals_bits = elements(ex, 3, seed=7)
    rec.set_traversal(ex.kind, coords_bits, vals_bits)
    values = {"fn": rec.fn(ex.kind), "inst": INST, "h": H}
    result = ex.func(fastloop)(**{k: values[k] for k in order})
    check_result(ex, result, coords_bits, vals_bits)
    assert {(c.inst, c.h) for c in rec.calls()} == {(INST, H)}


# ------------------------------------------------------------ nested extractions

OUTER, INNER = 1, 2


def python_traversal(ex: Extraction, fields, nest):
    """A traversal native written in Python, as ctypes lets C call it: it reports the
    elements of fields[h] as float32 bits, and calls nest(h, i) before element i, where
    a nested extraction can be made."""
    from quorpy.reference import TRAVS_CB, TRAVV_CB

    floats3 = ctypes.c_float * 3

    def traverse(inst, h, cb):
        coords, vals = fields[h]
        for i in range(len(coords)):
            nest(h, i)
            v = floats3.from_buffer_copy(vals[i]) if ex is VECTOR else ctypes.c_float.from_buffer_copy(vals[i])
            cb(floats3.from_buffer_copy(coords[i]), v)

    prototype = ctypes.CFUNCTYPE(None, ctypes.c_uint64, ctypes.c_uint64, TRAVS_CB if ex is SCALAR else TRAVV_CB)
    native = prototype(traverse)
    return native, ctypes.cast(native, ctypes.c_void_p).value


@pytest.mark.parametrize("at", [0, 2], ids=["before-forwarding", "at-an-element"])
@pytest.mark.parametrize("inner, k", [(SCALAR, 3), (VECTOR, 4), (SCALAR, 0)], ids=["scalar", "vector", "empty"])
def test_an_extraction_nested_in_a_python_traversal_leaves_both_results_exact(fastloop, ex, inner, k, at):
    # The callbacks carry no context, so the traversal state belongs to the thread; an
    # extraction made from inside another one on the same thread must not disturb it,
    # in either pass.
    outer_bits = elements(ex, 5, seed=50)
    inner_bits = elements(inner, k, seed=51)
    got = []

    def nest(h, i):
        if h == OUTER and i == at:
            got.append(inner.func(fastloop)(inner_addr, INST, INNER))

    outer_native, outer_addr = python_traversal(ex, {OUTER: outer_bits}, nest)
    inner_native, inner_addr = python_traversal(inner, {INNER: inner_bits}, nest)
    check_result(ex, ex.func(fastloop)(outer_addr, INST, OUTER), *outer_bits)
    assert len(got) == 2  # one in each pass of the outer extraction
    for result in got:
        check_result(inner, result, *inner_bits)


# ------------------------------------------------------------ concurrent extractions

NTHREADS = 4


def run_threads(targets, timeout=120.0):
    """Start one thread per target; they pass a barrier together before calling.
    Returns the results in order; re-raises the first failure."""
    barrier = threading.Barrier(len(targets))
    results = [None] * len(targets)
    errors = []

    def body(i, target):
        try:
            barrier.wait(timeout=30)
            results[i] = target()
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    threads = [threading.Thread(target=body, args=(i, t)) for i, t in enumerate(targets)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout)
    assert not any(t.is_alive() for t in threads), "an extraction did not finish"
    if errors:
        raise errors[0]
    return results


def test_threads_counting_at_the_same_time(fastloop, rec, ex):
    """The recorder holds every thread's first traversal (its count pass) until
    all four have started one, so the count passes certainly overlap."""
    n = 20000
    coords_bits, vals_bits = elements(ex, n, seed=21)
    rec.set_traversal(ex.kind, coords_bits, vals_bits)
    rec.set_rendezvous(NTHREADS, timeout=20.0)
    fn = ex.func(fastloop)
    addr = rec.fn(ex.kind)
    results = run_threads([lambda: fn(addr, INST, H)] * NTHREADS)
    calls = rec.calls()
    assert not any(c.rendezvous_timed_out for c in calls)
    assert len(calls) == 2 * NTHREADS
    assert len({c.thread for c in calls}) == NTHREADS
    for result in results:
        check_result(ex, result, coords_bits, vals_bits)


@pytest.fixture(scope="session")
def meeting_traversals(natives):
    """tests/native/extra_traverse.c: traversals whose calls meet at a barrier, so
    that both passes of all threads overlap."""
    lib = ctypes.CDLL(str(natives.extra_traverse))
    lib.ext_reset.argtypes = [ctypes.c_int, ctypes.c_int]
    lib.ext_max_active.restype = ctypes.c_int
    lib.ext_timeouts.restype = ctypes.c_int
    lib.ext_calls.restype = ctypes.c_int64
    return lib


def meeting_expected(ex: Extraction, h: int):
    """What the meeting traversal reports for object h (see extra_traverse.c)."""
    i = np.arange(h)
    f = i.astype(np.float32)
    coords = np.stack([f, np.full(h, h, np.float32), -(i % 1000).astype(np.float32)], axis=1)
    v = f * np.float32(0.5) + np.float32(h & 255)
    vals = v if ex is SCALAR else np.stack([v, -f, np.full(h, h, np.float32)], axis=1)
    return bits(coords), bits(vals)


@pytest.mark.parametrize(
    "plan",
    [
        [("scalar", 3001)] * 4,
        [("vector", 3001)] * 4,
        [("scalar", 3001), ("scalar", 4002), ("scalar", 5003), ("scalar", 2004)],
        [("vector", 3001), ("vector", 4002), ("vector", 5003), ("vector", 2004)],
        [("scalar", 3001), ("vector", 4002), ("scalar", 5003), ("vector", 2004)],
    ],
    ids=["scalar-same-field", "vector-same-field", "scalar-four-fields", "vector-four-fields", "mixed"],
)
def test_threads_overlapping_in_both_passes(fastloop, meeting_traversals, plan):
    """Every traversal call waits for one call from each other thread, so the
    count passes run together and so do the fill passes; each thread must still
    get exactly its own field's elements."""
    lib = meeting_traversals
    lib.ext_reset(len(plan), 20000)
    extractions = {"scalar": SCALAR, "vector": VECTOR}
    addr = {
        "scalar": ctypes.cast(lib.ext_traverse_s, ctypes.c_void_p).value,
        "vector": ctypes.cast(lib.ext_traverse_v, ctypes.c_void_p).value,
    }
    targets = [(lambda p=prefix, h=h: extractions[p].func(fastloop)(addr[p], INST, h)) for prefix, h in plan]
    results = run_threads(targets)
    assert lib.ext_timeouts() == 0
    assert lib.ext_calls() == 2 * len(plan)
    assert lib.ext_max_active() == len(plan)
    for (prefix, h), result in zip(plan, results):
        check_result(extractions[prefix], result, *meeting_expected(extractions[prefix], h))


def test_threads_extracting_from_one_reference_field(fastloop, ex):
    """Four threads extract the same large field of the reference runtime at once."""
    from quorpy.reference import Runtime

    n = 60000
    rng = np.random.default_rng(33)
    pos = np.unique(rng.integers(-(2**20), 2**20, size=(n, 3)).astype(np.float32), axis=0)
    n = len(pos)
    vals = rng.standard_normal(ex.vals_shape(n)).astype(np.float32)
    with Runtime() as rt:
        field = rt.new_scalar_field() if ex is SCALAR else rt.new_vector_field()
        setter = fastloop.scalar_set_many if ex is SCALAR else fastloop.vector_set_many
        setter(*rt.args(f"{ex.prefix}_set", field), pos, vals)
        args = rt.args(f"{ex.prefix}_traverse", field)
        fn = ex.func(fastloop)
        for _ in range(10):
            results = run_threads([lambda: fn(*args)] * NTHREADS)
            for result in results:
                # The reference runtime reports in insertion order.
                check_result(ex, result, bits(pos), bits(vals))
