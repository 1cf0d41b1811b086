"""Mesh readout: read_vertices and read_triangles against the recording getters.
Calls, indices, row addresses, lock state and values bit for bit; the count
edge cases; results of a rebound np.empty that must never reach the loop; and
the lookup of the module global np on every call, by every function."""

from __future__ import annotations

import builtins
import ctypes
import gc
import json
import re
import sys
import threading
import time
import types
from _testbuffer import ND_WRITABLE, ndarray

import numpy as np
import pytest

from helpers import FUNCTIONS, NATIVE_KIND, FakeNumpy, RecordingNumpy, assert_one_module_frame, get_buffer_error

READERS = [
    pytest.param("read_vertices", "getvec", np.float32, id="vertices"),
    pytest.param("read_triangles", "gettri", np.int32, id="triangles"),
]
ELEMENT = {"read_vertices": "float", "read_triangles": "int"}
DTYPE_NAME = {"read_vertices": "float32", "read_triangles": "int32"}
INST = 0xDEAD_BEEF_0000_0001
H = 0xFFFF_FFFF_FFFF_FFFE


def expected_rows(rec, name, n, start=0):
    if name == "read_vertices":
        return rec.expected_vertices(n, start)
    return rec.expected_triangles(n, start)


def bits(a):
    return np.ascontiguousarray(a).view(np.uint32)


def numpy_error(shape, dtype):
    with pytest.raises(Exception) as info:
        np.empty(shape, dtype=dtype)
    return info.value


# --------------------------------------------------------------------------- the loop


@pytest.mark.parametrize("name, kind, dtype", READERS)
@pytest.mark.parametrize("n", [1, 2, 3, 7, 64])
def test_getter_called_for_each_row(fastloop, rec, name, kind, dtype, n):
    out = getattr(fastloop, name)(rec.fn(kind), INST, H, n)

    assert type(out) is np.ndarray
    assert out.dtype == dtype and out.shape == (n, 3)
    assert out.strides == (12, 4)
    assert out.flags.c_contiguous and out.flags.writeable and out.flags.owndata
    calls = rec.calls()
    base = out.ctypes.data
    assert [(c.kind, c.index, c.inst, c.h, c.ptr) for c in calls] == [
        (kind, i, INST, H, base + 12 * i) for i in range(n)
    ]
    assert not any(c.gil or c.attached for c in calls)
    assert {c.thread for c in calls} == {threading.get_ident()}
    assert np.array_equal(bits(out), bits(expected_rows(rec, name, n)))
    # The module keeps nothing: no reference (out counts as many as an array held the
    # same way, by one name here), no buffer export.
    baseline = np.empty(0)
    assert sys.getrefcount(out) == sys.getrefcount(baseline)
    out.resize((n + 5, 3), refcheck=False)


@pytest.mark.parametrize("name, kind, dtype", READERS)
def test_values_from_a_table_bit_for_bit(fastloop, rec, name, kind, dtype):
    words = np.array(
        [
            [0x7FC00001, 0xFFC12345, 0x7F800001],  # quiet NaNs with payloads, a signalling NaN
            [0x80000000, 0x00000000, 0x00000001],  # -0.0, +0.0, smallest subnormal
            [0x7F800000, 0xFF800000, 0x7F7FFFFF],  # +inf, -inf, largest finite
            [0x80000000, 0x7FFFFFFF, 0xFFFFFFFF],
        ],
        dtype=np.uint32,
    )
    rec.set_getter_table(words)
    out = getattr(fastloop, name)(rec.fn(kind), 1, 2, 4)
    assert np.array_equal(out.view(np.uint32), words)


@pytest.mark.parametrize("name, kind, dtype", READERS)
def test_rows_the_getter_skips_are_not_its_business(fastloop, rec, name, kind, dtype):
    rec.set_getter_skip([1, 3])
    out = getattr(fastloop, name)(rec.fn(kind), 1, 2, 5)
    assert [c.index for c in rec.calls()] == [0, 1, 2, 3, 4]
    expected = expected_rows(rec, name, 5)
    for i in (0, 2, 4):
        assert np.array_equal(bits(out[i]), bits(expected[i]))


@pytest.mark.parametrize("name, kind, dtype", READERS)
@pytest.mark.parametrize("inst, h", [(0, 0), (2**64 - 1, 2**64 - 1), (1, 2**63)])
def test_handles_pass_through_unchanged(fastloop, rec, name, kind, dtype, inst, h):
    getattr(fastloop, name)(rec.fn(kind), inst, h, 2)
    assert [(c.inst, c.h) for c in rec.calls()] == [(inst, h)] * 2


@pytest.mark.parametrize("name, kind, dtype", READERS)
def test_every_call_returns_a_new_array(fastloop, rec, name, kind, dtype):
    func = getattr(fastloop, name)
    a = func(rec.fn(kind), 1, 2, 3)
    b = func(rec.fn(kind), 1, 2, 3)
    assert a is not b
    assert not np.shares_memory(a, b)
    assert np.array_equal(bits(a), bits(b))


@pytest.mark.parametrize("name, kind, dtype", READERS)
def test_many_rows(fastloop, rec, name, kind, dtype):
    n = 20000
    rec.set_logging(False)
    out = getattr(fastloop, name)(rec.fn(kind), 1, 2, n)
    assert rec.count(kind) == n
    for start in (0, 4095, n - 7):
        assert np.array_equal(bits(out[start : start + 7]), bits(expected_rows(rec, name, 7, start)))


@pytest.mark.parametrize("name, kind, dtype", READERS)
@pytest.mark.parametrize("fn", [0, 1, 2**64 - 1, "getter"])
def test_zero_rows_call_nothing(fastloop, rec, name, kind, dtype, fn):
    func = getattr(fastloop, name)
    out = func(rec.fn(kind) if fn == "getter" else fn, 1, 2, 0)
    assert type(out) is np.ndarray
    assert out.shape == (0, 3) and out.dtype == dtype and out.flags.c_contiguous
    assert out is not func(0, 1, 2, 0)
    assert rec.count() == 0


@pytest.mark.parametrize("name, kind, dtype", READERS)
@pytest.mark.parametrize("n", [-1, -7, -(2**31)])
def test_negative_count_is_numpys_error(fastloop, rec, name, kind, dtype, n):
    expected = numpy_error((n, 3), dtype)
    with pytest.raises(type(expected)) as info:
        getattr(fastloop, name)(rec.fn(kind), 1, 2, n)
    assert str(info.value) == str(expected)
    assert_one_module_frame(info.value, name)
    assert rec.count() == 0


@pytest.mark.parametrize("name, kind, dtype", READERS)
def test_lock_is_released_around_the_loop(fastloop, rec, name, kind, dtype):
    # Both threads must be inside their loops at once: the first call on each
    # thread waits for the other.  Holding the lock would make that time out.
    rec.set_rendezvous(2, timeout=10)
    barrier = threading.Barrier(2)
    results = {}
    errors = []

    def work(h):
        try:
            barrier.wait(timeout=10)
            out = getattr(fastloop, name)(rec.fn(kind), 7, h, 6)
            results[h] = (threading.get_ident(), out)
        except BaseException as exc:  # reported below
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(h,)) for h in (100, 200)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert not any(t.is_alive() for t in threads)
    assert errors == []
    calls = rec.calls()
    assert len(calls) == 12
    assert not any(c.rendezvous_timed_out for c in calls)
    for h, (ident, out) in results.items():
        mine = [c for c in calls if c.h == h]
        assert [c.index for c in mine] == list(range(6))
        assert {c.thread for c in mine} == {ident}
        assert [c.ptr for c in mine] == [out.ctypes.data + 12 * i for i in range(6)]
        assert not any(c.gil or c.attached for c in mine)
        assert np.array_equal(bits(out), bits(expected_rows(rec, name, 6)))


@pytest.mark.parametrize("name, kind, dtype", READERS)
def test_no_references_leak(fastloop, rec, monkeypatch, name, kind, dtype):
    func = getattr(fastloop, name)
    watched = (np, np.empty, np.float32, np.int32, dtype)

    def calls(rounds):
        for _ in range(rounds):
            func(rec.fn(kind), 1, 2, 2)
            func(rec.fn(kind), 1, 2, 0)
            with pytest.raises(ValueError):
                func(rec.fn(kind), 1, 2, -1)

    # A first call keeps what it looks up once per process; and garbage is collected
    # before each count, so that a collection in between (of some unrelated cycle that
    # holds the numpy module) cannot show as a reference lost.
    calls(1)
    gc.collect()
    before = [sys.getrefcount(o) for o in watched]
    calls(200)
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == before
    fake = FakeNumpy(lambda shape, dtype: np.empty(shape, np.float64))
    monkeypatch.setattr(fastloop, "np", fake)
    before = sys.getrefcount(fake)
    for _ in range(50):
        with pytest.raises(ValueError):
            func(rec.fn(kind), 1, 2, 2)
    assert sys.getrefcount(fake) == before


# --------------------------------------------------------------------------- zero fn

ISOLATED_CALL = r"""
import json, os, sys
import numpy as np
from recorder import Recorder
from quorpy import _fastloop as m

rec = Recorder(os.environ["RECORDER_PATH"])
rec.reset()
name, kind, mode, n = {args!r}
dtype = np.float32 if name == "read_vertices" else np.int32
fn = rec.fn(kind)

class Fake:
    float32 = np.float32
    int32 = np.int32
    def empty(self, shape, dtype):
        rows = shape[0]
        if mode == "none":
            return None
        if mode == "short":
            return np.empty((rows - 1, 3), dtype)
        if mode == "no-rows":
            return np.empty((0, 3), dtype)
        if mode == "two-columns":
            return np.empty((rows, 2), dtype)
        if mode == "one-column":
            return np.empty((rows, 1), dtype)
        raise AssertionError(mode)

if mode == "zero-fn":
    fn = 0
else:
    m.np = Fake()
report = {{"calls": None}}
try:
    out = getattr(m, name)(fn, 1, 2, n)
    report["returned"] = repr(type(out))
except Exception as exc:
    report["type"] = type(exc).__name__
    report["message"] = str(exc)
    names = []
    tb = exc.__traceback__
    while tb is not None:
        names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    report["entries"] = names.count("quorpy._fastloop." + name)
report["calls"] = rec.count()
print(json.dumps(report))
"""


def run_isolated(run_python, name, kind, mode, n):
    """Call in a child process: a module that gets these wrong writes through
    a null or short pointer, which must not take the test run down with it."""
    proc = run_python(ISOLATED_CALL.format(args=(name, kind, mode, n)))
    assert proc.returncode == 0, f"child died ({proc.returncode}): {proc.stderr[-2000:]}"
    return json.loads(proc.stdout.strip().splitlines()[-1])


@pytest.mark.parametrize("name, kind, dtype", READERS)
@pytest.mark.parametrize("n", [1, 5])
def test_zero_fn_with_rows_is_refused_before_any_call(run_python, name, kind, dtype, n):
    report = run_isolated(run_python, name, kind, "zero-fn", n)
    assert report.get("type") == "ValueError", report
    assert re.search(r"\bfn\b", report["message"]), report
    assert report["entries"] == 1
    assert report["calls"] == 0


@pytest.mark.parametrize("name, kind, dtype", READERS)
def test_zero_fn_message_in_process(fastloop, rec, name, kind, dtype):
    with pytest.raises(ValueError) as info:
        getattr(fastloop, name)(0, 1, 2, 3)
    assert re.search(r"\bfn\b", str(info.value))
    assert_one_module_frame(info.value, name)


@pytest.mark.parametrize("name, kind, dtype", READERS)
@pytest.mark.parametrize("mode", ["none", "short", "no-rows", "two-columns", "one-column"])
def test_unusable_result_never_reaches_the_loop(run_python, name, kind, dtype, mode):
    report = run_isolated(run_python, name, kind, mode, 4)
    assert report.get("type") in ("TypeError", "ValueError"), report
    assert report["entries"] == 1, report
    assert report["calls"] == 0, report


# --------------------------------------------------------------------------- np looked up on every call


@pytest.mark.parametrize("name, kind, dtype", READERS)
@pytest.mark.parametrize("n", [0, 3])
def test_empty_is_called_through_the_module_global(fastloop, rec, monkeypatch, name, kind, dtype, n):
    fake = FakeNumpy(record=True)
    monkeypatch.setattr(fastloop, "np", fake)
    out = getattr(fastloop, name)(rec.fn(kind), 1, 2, n)
    assert fake.reads == ["empty", DTYPE_NAME[name]]
    ((func, args, kwargs),) = fake.calls
    assert func == "empty"
    assert args == ((n, 3),)
    assert type(args[0]) is tuple and type(args[0][0]) is int and type(args[0][1]) is int
    assert list(kwargs) == ["dtype"] and kwargs["dtype"] is FakeNumpy.DTYPES[DTYPE_NAME[name]]
    assert out.shape == (n, 3) and rec.count() == n
    # Rebinding back takes effect at once as well.
    monkeypatch.setattr(fastloop, "np", np)
    getattr(fastloop, name)(rec.fn(kind), 1, 2, n)
    assert len(fake.calls) == 1


@pytest.mark.parametrize("name, kind, dtype", READERS)
def test_result_of_empty_is_returned_itself(fastloop, rec, monkeypatch, name, kind, dtype):
    made = []

    def make(shape, dtype):
        a = np.full((shape[0] + 2, 3), 0x5A, dtype=dtype)  # more rows than asked for
        made.append(a)
        return a

    monkeypatch.setattr(fastloop, "np", FakeNumpy(make))
    out = getattr(fastloop, name)(rec.fn(kind), 1, 2, 3)
    assert out is made[0]
    assert np.array_equal(bits(out[:3]), bits(expected_rows(rec, name, 3)))
    assert np.all(out[3:] == 0x5A)
    assert [c.ptr for c in rec.calls()] == [out.ctypes.data + 12 * i for i in range(3)]


@pytest.mark.parametrize("name, kind, dtype", READERS)
def test_np_found_among_the_builtins(fastloop, rec, monkeypatch, name, kind, dtype):
    fake = FakeNumpy(record=True)
    monkeypatch.delattr(fastloop, "np")
    monkeypatch.setattr(builtins, "np", fake, raising=False)
    out = getattr(fastloop, name)(rec.fn(kind), 1, 2, 2)
    assert out.shape == (2, 3)
    assert len(fake.calls) == 1
    # The module's own binding wins over the builtins.
    monkeypatch.setattr(fastloop, "np", np, raising=False)
    getattr(fastloop, name)(rec.fn(kind), 1, 2, 2)
    assert len(fake.calls) == 1


class Refused(Exception):
    pass


@pytest.mark.parametrize("name, kind, dtype", READERS)
def test_exception_from_empty_propagates(fastloop, rec, monkeypatch, name, kind, dtype):
    def make(shape, dtype):
        raise Refused("no memory today")

    monkeypatch.setattr(fastloop, "np", FakeNumpy(make))
    with pytest.raises(Refused) as info:
        getattr(fastloop, name)(rec.fn(kind), 1, 2, 3)
    assert str(info.value) == "no memory today"
    assert_one_module_frame(info.value, name)
    assert rec.count() == 0


@pytest.mark.parametrize("name, kind, dtype", READERS)
def test_np_without_empty(fastloop, rec, monkeypatch, name, kind, dtype):
    monkeypatch.setattr(fastloop, "np", types.SimpleNamespace(float32=np.float32, int32=np.int32))
    with pytest.raises(AttributeError) as info:
        getattr(fastloop, name)(rec.fn(kind), 1, 2, 3)
    assert "empty" in str(info.value)
    assert_one_module_frame(info.value, name)
    assert rec.count() == 0


# Each allocating function with the size of what it reads or reports: the readers'
# count, the samplers' rows of pos, the traversals' elements.
ALLOCATING = [
    ("read_vertices", 0),
    ("read_vertices", 2),
    ("read_triangles", 0),
    ("read_triangles", 2),
    ("scalar_get_many", 4),
    ("vector_get_many", 4),
    ("scalar_active_values", 0),
    ("scalar_active_values", 3),
    ("vector_active_values", 0),
    ("vector_active_values", 3),
]


@pytest.mark.parametrize("name, size", ALLOCATING)
def test_deleted_np_raises_name_error(fastloop, rec, monkeypatch, name, size):
    kind = NATIVE_KIND[name]
    params = FUNCTIONS[name][3:]
    pos = np.zeros((size, 3), np.float32)
    if not params:  # a traversal, reporting `size` elements
        rec.set_traversal(kind, pos, np.zeros((size, 3 if kind == "traverse_v" else 1), np.float32))
    args = [{"n": size, "pos": pos}[p] for p in params]
    monkeypatch.delattr(fastloop, "np")
    with pytest.raises(NameError) as info:
        getattr(fastloop, name)(rec.fn(kind), 1, 2, *args)
    assert type(info.value) is NameError
    assert str(info.value) == "name 'np' is not defined"
    assert_one_module_frame(info.value, name)
    # Only a traversal's count pass comes before the arrays are made; no row was read.
    expected = [] if params else [kind]
    assert [c.kind for c in rec.calls()] == expected
    assert rec.count() == len(expected)
    if "pos" in params:
        pos.resize((9, 3), refcheck=False)  # the position buffer was given back


@pytest.mark.parametrize("name, vals_shape", [("scalar_set_many", (2,)), ("vector_set_many", (2, 3))])
def test_setters_work_without_np(fastloop, rec, monkeypatch, name, vals_shape):
    # The setters allocate nothing, so they do not need NumPy from the module.
    monkeypatch.delattr(fastloop, "np")
    kind = NATIVE_KIND[name]
    getattr(fastloop, name)(rec.fn(kind), INST, H, np.ones((2, 3), np.float32), np.ones(vals_shape, np.float32))
    assert rec.count(kind) == 2


@pytest.mark.parametrize("name", ["scalar_get_many", "vector_get_many"])
def test_getter_uses_np_as_rebound_between_calls(fastloop, rec, monkeypatch, name):
    fn, getter, pos = rec.fn(NATIVE_KIND[name]), getattr(fastloop, name), np.ones((1, 3), np.float32)
    getter(fn, INST, H, pos)
    shim = RecordingNumpy()
    monkeypatch.setattr(fastloop, "np", shim)
    getter(fn, INST, H, pos)
    assert [c[0] for c in shim.calls] == ["empty", "zeros"]
    monkeypatch.undo()
    getter(fn, INST, H, pos)
    assert len(shim.calls) == 2


class CollidingKey(str):
    """A key of the module namespace with the hash of "np": every lookup of np compares
    against it, and that comparison runs Python code (`on_compare`)."""

    on_compare = None

    def __hash__(self):
        return hash("np")

    def __eq__(self, other):
        if CollidingKey.on_compare is not None:
            CollidingKey.on_compare()
        return False


@pytest.mark.thread_unsafe  # rebinds np.float32 and changes the module namespace
def test_np_rebound_during_a_lookup_takes_effect_on_the_next_call(fastloop):
    ns = fastloop.__dict__
    real_float32 = np.float32
    choices = [np.float64, np.float16]

    def rebind():
        np.float32 = choices[0]
        choices.reverse()

    key = CollidingKey("not np")
    # Put the colliding key ahead of "np" in the namespace's probe order.
    del ns["np"]
    ns[key] = None
    ns["np"] = np
    try:
        CollidingKey.on_compare = rebind
        fastloop.read_vertices(0, 0, 0, 0)  # every np lookup in it rebinds np.float32
        CollidingKey.on_compare = None
        now = np.float32
        # No Python code runs during this call's lookups: it must see np.float32 as it is.
        assert fastloop.read_vertices(0, 0, 0, 0).dtype == np.dtype(now)
    finally:
        CollidingKey.on_compare = None
        np.float32 = real_float32
        del ns[key]


@pytest.mark.thread_unsafe  # rebinds np
def test_np_rebound_on_another_thread_takes_effect_on_every_thread(fastloop, monkeypatch):
    # One thread rebinds np to a module of its own and back, over and over, while four
    # others call. Results are right whichever np a call met; once NumPy is back for
    # good, no thread's call may reach the other module (through what it remembered).
    stand_in = types.ModuleType("stand_in")
    reached = []

    def empty(shape, dtype):
        reached.append(1)
        return np.empty(shape, dtype)

    stand_in.empty, stand_in.float32, stand_in.int32 = empty, np.float32, np.int32
    stop, errors = threading.Event(), []
    rebound = threading.Barrier(5, timeout=60)

    def call():
        try:
            while not stop.is_set():
                assert fastloop.read_vertices(0, 0, 0, 0).dtype == np.float32
            rebound.wait()
            before = len(reached)
            for _ in range(200):
                assert fastloop.read_triangles(0, 0, 0, 0).dtype == np.int32
            assert len(reached) == before, "a call reached np as it was before"
        except BaseException as exc:  # noqa: BLE001 - reported by the main thread
            errors.append(exc)
            rebound.abort()

    threads = [threading.Thread(target=call) for _ in range(4)]
    for t in threads:
        t.start()
    try:
        deadline = time.monotonic() + 30
        i = 0
        while len(reached) < 100 and time.monotonic() < deadline:
            monkeypatch.setattr(fastloop, "np", stand_in if i % 2 == 0 else np)
            i += 1
            time.sleep(0.0002)  # lets the callers run where there is a GIL
    finally:
        monkeypatch.setattr(fastloop, "np", np)
        stop.set()
    rebound.wait()
    for t in threads:
        t.join(timeout=60)
    assert not errors, errors
    assert reached, "no call reached the stand-in"


# --------------------------------------------------------------------------- what empty may return


def dims_message(got):
    return f"Buffer has wrong number of dimensions (expected 2, got {got})"


def _transposed(n, dtype):
    return np.empty((3, n), dtype).T


def _readonly(n, dtype):
    a = np.empty((n, 3), dtype)
    a.flags.writeable = False
    return a


@pytest.mark.parametrize("name, kind, dtype", READERS)
@pytest.mark.parametrize(
    "make, message",
    [
        pytest.param(lambda n, dt: np.empty((n, 3), np.float64), "double", id="float64"),
        pytest.param(lambda n, dt: np.empty((n, 3), np.int64), "long", id="int64"),
        pytest.param(lambda n, dt: np.empty((n, 3), np.uint32), "unsigned int", id="uint32"),
        pytest.param(lambda n, dt: np.empty(3 * n, dt), dims_message(1), id="one-axis"),
        pytest.param(lambda n, dt: np.empty((n, 3, 1), dt), dims_message(3), id="three-axes"),
        pytest.param(_transposed, None, id="transposed"),
        pytest.param(_readonly, None, id="readonly"),
        pytest.param(lambda n, dt: [[0, 0, 0]] * n, None, id="list"),
    ],
)
def test_unusable_result_is_refused_by_the_view(fastloop, rec, monkeypatch, name, kind, dtype, make, message):
    n = 4
    bad = make(n, dtype)
    monkeypatch.setattr(fastloop, "np", FakeNumpy(lambda shape, dtype: bad))
    if message is None:
        expected_exc = get_buffer_error(bad)
        exc_type, text = type(expected_exc), str(expected_exc)
    elif message.startswith("Buffer"):
        exc_type, text = ValueError, message
    else:
        exc_type = ValueError
        text = f"Buffer dtype mismatch, expected '{ELEMENT[name]}' but got '{message}'"
    with pytest.raises(exc_type) as info:
        getattr(fastloop, name)(rec.fn(kind), 1, 2, n)
    assert str(info.value) == text
    assert_one_module_frame(info.value, name)
    assert rec.count() == 0
    if isinstance(bad, np.ndarray) and bad.flags.owndata:
        bad.resize(bad.size + 3, refcheck=False)


@pytest.mark.parametrize("name, kind, dtype", READERS)
def test_wrong_element_type_of_result(fastloop, rec, monkeypatch, name, kind, dtype):
    other = np.int32 if dtype == np.float32 else np.float32
    other_name = "int" if other == np.int32 else "float"
    monkeypatch.setattr(fastloop, "np", FakeNumpy(lambda shape, dtype: np.empty(shape, other)))
    with pytest.raises(ValueError) as info:
        getattr(fastloop, name)(rec.fn(kind), 1, 2, 2)
    assert str(info.value) == f"Buffer dtype mismatch, expected '{ELEMENT[name]}' but got '{other_name}'"
    assert rec.count() == 0


@pytest.mark.parametrize("name, kind, dtype", READERS)
def test_other_exporters_as_result(fastloop, rec, badbuffer, monkeypatch, name, kind, dtype):
    """Any buffer exporter that passes the view is written in place and
    returned: a stride-less exporter, a ctypes array and a struct-format one."""
    n = 3
    ctype = ctypes.c_float if name == "read_vertices" else ctypes.c_int32
    fmt = "f" if name == "read_vertices" else "=l"
    objects = [
        badbuffer.Exporter(4 * 3 * n, format="f" if name == "read_vertices" else "i", itemsize=4, shape=(n, 3)),
        (ctype * 3 * n)(),
        ndarray([0] * (3 * n), shape=[n, 3], format=fmt, flags=ND_WRITABLE),
    ]
    expected = bits(expected_rows(rec, name, n)).tobytes()
    for obj in objects:
        monkeypatch.setattr(fastloop, "np", FakeNumpy(lambda shape, dtype, obj=obj: obj))
        rec.clear_log()
        out = getattr(fastloop, name)(rec.fn(kind), 1, 2, n)
        assert out is obj
        if obj is objects[0]:
            assert (obj.exports, obj.total_exports) == (0, 1)
        assert bytes(memoryview(out).cast("B")) == expected
        ptrs = [c.ptr for c in rec.calls()]
        assert [p - ptrs[0] for p in ptrs] == [0, 12, 24]
