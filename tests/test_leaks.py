"""References, memory and buffers over many calls, on success and on every failure path.

Each case runs one call a few thousand times and then checks that

* the reference count of every object the call was given (fresh ints, arrays,
  keyword names, objects with __int__, stand-ins for NumPy and what they return)
  is what it was before;
* the memory that tracemalloc sees (Python objects and NumPy's array data) has not
  grown, nor the number of blocks allocated and still alive;
* every buffer the call took was given back: exporters that count their exports
  (bytearray behind a memoryview, array.array, the test exporter) show none left,
  and the arrays can be resized.

The natives are the recording stand-ins with logging off, so a call costs little.
"""

from __future__ import annotations

import array
import gc
import os
import sys
import tracemalloc
import warnings
from collections.abc import Callable
from dataclasses import dataclass, field

import numpy as np
import pytest

from quorpy import catalogue

from helpers import (
    FAMILY,
    FUNCTIONS,
    NATIVE_KIND,
    Boom,
    BrokenBuffer,
    FakeNumpy,
    HasInt,
    NoneGiven,
    RaisingEqual,
    SameStr,
    StrictInt,
    vectorcall,
)

CALLS = int(os.environ.get("QUORPY_LEAK_CALLS", "2000"))
WARMUP = 50
# A leaked object of the smallest kind costs 28 bytes or more per call: allow a small
# fraction of that, for allocator caches that settle late.
BYTES_PER_CALL = 4
BLOCKS_SLACK = 8


def fresh(value: int) -> int:
    """An int object of its own, not a cached one."""
    return int(str(value))


@dataclass
class Case:
    call: Callable[[], object]
    watched: list = field(default_factory=list)
    # Exporters whose live exports must be 0 afterwards.
    exporters: list = field(default_factory=list)
    # NumPy arrays that must be resizable afterwards.
    resizable: list = field(default_factory=list)
    # Natives the call is expected to reach (counted by the recorder); 0 for a failure.
    reaches_native: bool = True


def raising(exc_type, f, *args, **kwargs):
    def call():
        try:
            f(*args, **kwargs)
        except exc_type:
            pass
        else:
            raise AssertionError(f"{f.__name__} did not raise {exc_type.__name__}")

    return call


def returning(f, *args, **kwargs):
    return lambda: f(*args, **kwargs)


def live_exports(exporter) -> int:
    """Exports still held on an exporter that counts them."""
    if isinstance(exporter, memoryview):
        try:
            # A memoryview with exports of its own refuses to be released. Releasing
            # it also ends its hold on the bytearray below.
            exporter.release()
        except BufferError:
            return 1
        return 0
    if isinstance(exporter, bytearray):
        try:
            exporter.append(0)
            exporter.pop()
        except BufferError:
            return 1
        return 0
    if isinstance(exporter, array.array):
        try:
            exporter.append(exporter[0] if len(exporter) else 0)
            exporter.pop()
        except BufferError:
            return 1
        return 0
    return exporter.exports


def _window(call, calls: int, frames: int = 1):
    """Run `calls` calls and return the bytes and the blocks that tracemalloc saw
    allocated in that time and still alive, and the snapshot of those blocks.

    The collector is off meanwhile and its youngest generation is collected at the
    end: everything the calls made and dropped, cycles included, is gone then, without
    walking the whole heap of the test session."""
    gc.disable()
    tracemalloc.start(frames)
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(calls):
            call()
        gc.collect(0)
        grown = tracemalloc.get_traced_memory()[0] - before
        # Blocks made since the start and still alive, less tracemalloc's own.
        last = tracemalloc.take_snapshot().filter_traces([tracemalloc.Filter(False, tracemalloc.__file__)])
        return grown, len(last.traces), last
    finally:
        tracemalloc.stop()
        gc.enable()


def _nothing() -> None:
    pass


def _excess(call, calls: int, frames: int = 1):
    """What a window of calls leaves alive beyond what the same window leaves with a call
    that does nothing, right before: (bytes, blocks, snapshot).

    The window itself costs something that has nothing to do with the calls, and that
    cost varies with the session: the collection at its end runs the collector's
    callbacks, which other libraries register (hypothesis times every collection), and a
    free-threaded interpreter frees some memory only later, at a safe point. It is the
    same in both windows, and cancels out."""
    base_bytes, base_blocks, _ = _window(_nothing, calls)
    grown, blocks, last = _window(call, calls, frames)
    return grown - base_bytes, blocks - base_blocks, last


def _describe(last) -> str:
    sites = last.statistics("traceback")[:4]
    return "\n".join(f"{s}\n" + "\n".join(s.traceback.format(most_recent_first=True)) for s in sites)


def run_case(case: Case) -> None:
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        for _ in range(WARMUP):
            case.call()
        refs = [sys.getrefcount(o) for o in case.watched]
        # A leak grows the memory, and the number of blocks alive, in every window of
        # calls. The interpreter itself now and then makes a one-off allocation that it
        # keeps (a cache table), which shows in one window only: the calls pass when one
        # window shows no growth.
        windows = []
        for _ in range(3):
            grown, blocks, _ = _excess(case.call, CALLS)
            windows.append((grown, blocks))
            if grown <= BYTES_PER_CALL * CALLS and blocks <= BLOCKS_SLACK:
                break
        else:
            # Once more, with deeper tracebacks to tell where.
            _, _, last = _excess(case.call, CALLS, frames=8)
            pytest.fail(f"{windows} (bytes, blocks) left in windows of {CALLS} calls, made at:\n{_describe(last)}")
        assert [sys.getrefcount(o) for o in case.watched] == refs
    assert [live_exports(e) for e in case.exporters] == [0] * len(case.exporters)
    for a in case.resizable:
        a.resize((a.shape[0] + 1,) + a.shape[1:], refcheck=False)


@pytest.fixture
def quiet(rec):
    """The recorder with logging off: counts only."""
    rec.set_logging(False)
    return rec


def rows(n=4, dtype=np.float32, cols=3):
    return np.arange(n * cols, dtype=dtype).reshape(n, cols).copy()


def byte_rows(n=4):
    """(n, 3) float32 rows over a bytearray, through a memoryview: both count exports."""
    backing = bytearray(12 * n)
    return backing, memoryview(backing).cast("f", (n, 3))


# -- calls that succeed ----------------------------------------------------------------

KINDS = NATIVE_KIND


def success_cases(fl, rec, badbuffer):
    """Calls that work, by name. Each gets fresh handles: the fn as an int of its own, an
    instance handle above 2**32 and an object handle above 2**63."""
    inst, h = fresh(2**40 + 3), fresh(2**63 + 5)

    def handles(name):
        return fresh(rec.fn(KINDS[name])), inst, h

    cases = {}
    for name in ("read_vertices", "read_triangles"):
        f = getattr(fl, name)
        fn, i, hh = handles(name)
        cases[name] = Case(returning(f, fn, i, hh, 7), [fn, i, hh])
        cases[name + " by keyword"] = Case(returning(f, n=7, h=hh, inst=i, fn=fn), [fn, i, hh])
        cases[name + " n=0"] = Case(returning(f, fn, i, hh, 0), [fn, i, hh], reaches_native=False)

    fn, i, hh = handles("add_vertices")
    verts = rows()
    backing, mv = byte_rows()
    e = badbuffer.Exporter(48, format="f", itemsize=4, shape=(4, 3))
    cases["add_vertices"] = Case(returning(fl.add_vertices, fn, i, hh, verts), [fn, i, hh, verts], [], [verts])
    cases["add_vertices memoryview"] = Case(returning(fl.add_vertices, fn, i, hh, mv), [fn, mv, backing], [mv, backing])
    cases["add_vertices foreign exporter"] = Case(returning(fl.add_vertices, fn, i, hh, e), [fn, e], [e])
    cases["add_vertices None"] = Case(returning(fl.add_vertices, fn, i, hh, None), [fn, i, hh], reaches_native=False)
    fn, i, hh = handles("add_triangles")
    tris = rows(dtype=np.int32)
    cases["add_triangles"] = Case(returning(fl.add_triangles, fn, i, hh, tris), [fn, i, hh, tris], [], [tris])

    fn, i, hh = handles("scalar_set_many")
    pos, vals = rows(), np.arange(4, dtype=np.float32)
    avals = array.array("f", range(5))
    key = SameStr("vals")
    cases["scalar_set_many"] = Case(
        returning(fl.scalar_set_many, fn, i, hh, pos, vals), [fn, i, hh, pos, vals], [], [pos, vals]
    )
    cases["scalar_set_many array.array by str subclass keyword"] = Case(
        returning(fl.scalar_set_many, fn, i, hh, pos, **{key: avals}), [fn, pos, avals, key], [avals], [pos]
    )
    fn, i, hh = handles("scalar_get_many")
    cases["scalar_get_many"] = Case(returning(fl.scalar_get_many, fn, i, hh, pos), [fn, i, hh, pos], [], [pos])
    cases["scalar_get_many some not found"] = Case(
        returning(fl.scalar_get_many, fn, i, hh, pos), [fn, i, hh, pos], [], [pos]
    )
    cases["scalar_get_many None"] = Case(
        returning(fl.scalar_get_many, fn, i, hh, None), [fn, i, hh], reaches_native=False
    )

    fn, i, hh = handles("vector_set_many")
    vpos, vvals = rows(), rows(5)
    cases["vector_set_many"] = Case(
        returning(fl.vector_set_many, fn, i, hh, vpos, vvals), [fn, i, hh, vpos, vvals], [], [vpos, vvals]
    )
    fn, i, hh = handles("vector_get_many")
    cases["vector_get_many"] = Case(returning(fl.vector_get_many, fn, i, hh, vpos), [fn, i, hh, vpos], [], [vpos])
    cases["vector_get_many some not found"] = Case(
        returning(fl.vector_get_many, fn, i, hh, vpos), [fn, i, hh, vpos], [], [vpos]
    )

    for name in ("scalar_active_values", "vector_active_values"):
        fn, i, hh = handles(name)
        cases[name + " none active"] = Case(returning(getattr(fl, name), fn, i, hh), [fn, i, hh])
        cases[name + " three active"] = Case(returning(getattr(fl, name), fn, i, hh), [fn, i, hh])
    return cases


SUCCESS_NAMES = [
    "read_vertices",
    "read_vertices by keyword",
    "read_vertices n=0",
    "read_triangles",
    "read_triangles by keyword",
    "read_triangles n=0",
    "add_vertices",
    "add_vertices memoryview",
    "add_vertices foreign exporter",
    "add_vertices None",
    "add_triangles",
    "scalar_set_many",
    "scalar_set_many array.array by str subclass keyword",
    "scalar_get_many",
    "scalar_get_many some not found",
    "scalar_get_many None",
    "vector_set_many",
    "vector_get_many",
    "vector_get_many some not found",
    "scalar_active_values none active",
    "scalar_active_values three active",
    "vector_active_values none active",
    "vector_active_values three active",
]


@pytest.mark.parametrize("case_name", SUCCESS_NAMES)
def test_successful_calls_leave_nothing_behind(fastloop, quiet, badbuffer, case_name):
    if "some not found" in case_name:
        quiet.set_sampler("getscl", returns=[1, 0, 0])
        quiet.set_sampler("getvecf", returns=[0, 1])
    if "three active" in case_name:
        coords = np.arange(9, dtype=np.float32).reshape(3, 3)
        quiet.set_traversal("traverse_s", coords, np.arange(3))
        quiet.set_traversal("traverse_v", coords, coords + 1)
    case = success_cases(fastloop, quiet, badbuffer)[case_name]
    run_case(case)
    calls = quiet.count()
    if case.reaches_native or "active_values" in case_name:
        assert calls >= (WARMUP + CALLS), calls
    else:
        assert calls == 0


# -- calls that fail -----------------------------------------------------------------


def failure_cases(fl, rec, badbuffer, name):
    """Failing calls of one function, by label: each kind of failure it can meet."""
    inst, h = fresh(2**40 + 3), fresh(2**63 + 5)
    cases = {}
    params = FUNCTIONS[name]
    f = getattr(fl, name)
    fn = fresh(rec.fn(KINDS[name]))
    good = {"fn": fn, "inst": inst, "h": h, "n": 5}
    arrays = []
    for p in params[3:]:
        if p == "n":
            continue
        if p == "tris":
            a = rows(dtype=np.int32)
        elif name == "scalar_set_many" and p == "vals":
            a = np.arange(4, dtype=np.float32)
        else:
            a = rows()
        good[p] = a
        arrays.append(a)
    values = [good[p] for p in params]
    watched = [fn, inst, h, *arrays]

    def case(label, call, extra=(), exporters=()):
        cases[label] = Case(call, watched + list(extra), list(exporters), list(arrays), reaches_native=False)

    # Binding.
    case("too few arguments", raising(TypeError, f, *values[:-1]))
    case("too many arguments", raising(TypeError, f, *values, 0))
    case("unexpected keyword", raising(TypeError, f, *values, bogus=fresh(10**6)))
    case("keyword given twice", raising(TypeError, f, *values, **{params[0]: fn}))
    case("keyword not a str", raising(TypeError, vectorcall, f, values + [0], tuple(params) + (1,)))
    bad_key = RaisingEqual(params[-1])
    case(
        "keyword comparison raises",
        raising(Boom, lambda: f(*values[:-1], **{bad_key: values[-1]})),
        [bad_key],
    )
    # Conversion of fn, inst, h.
    text = "not a number"
    case("fn not a number", raising(TypeError, f, text, *values[1:]), [text])
    case("inst negative", raising(OverflowError, f, fn, -fresh(5000), *values[2:]))
    big = fresh(2**64)
    case("h too big", raising(OverflowError, f, fn, inst, big, *values[3:]), [big])
    non_int = HasInt(2.5)
    case("__int__ returns a float", raising(TypeError, f, non_int, *values[1:]), [non_int])
    failing = HasInt(Boom)
    case("__int__ raises", raising(Boom, f, fn, failing, *values[2:]), [failing])
    strict = HasInt(StrictInt(7))
    case(
        "__int__ returns an int subclass, warning raised",
        raising(DeprecationWarning, f, fn, inst, strict, *values[3:]),
        [strict],
    )
    if "n" in params:
        case("n too big", raising(OverflowError, f, fn, inst, h, fresh(2**31)))
        case("n negative: NumPy refuses", raising(ValueError, f, fn, inst, h, -3))
        case("fn 0 with rows", raising(ValueError, f, 0, inst, h, 3))
    if FAMILY[name] == catalogue.ACTIVE_VALUES:
        case("fn 0", raising(ValueError, f, 0, inst, h))
    # Views over the caller's arrays.
    for p in params[3:]:
        if p == "n":
            continue
        j = params.index(p)

        def with_arg(value, j=j):
            return values[:j] + [value] + values[j + 1 :]

        wrong = np.zeros((4, 3), np.float64) if good[p].ndim == 2 else np.zeros(4, np.float64)
        case(f"{p} of the wrong dtype", raising(ValueError, f, *with_arg(wrong)), [wrong])
        frozen = good[p].copy()
        frozen.flags.writeable = False
        case(f"{p} read-only", raising(ValueError, f, *with_arg(frozen)), [frozen])
        strided = np.zeros((8, 3), good[p].dtype)[::2] if good[p].ndim == 2 else np.zeros(8, np.float32)[::2]
        case(f"{p} not contiguous", raising(ValueError, f, *with_arg(strided)), [strided])
        listed = good[p].tolist()
        case(f"{p} a list", raising(TypeError, f, *with_arg(listed)), [listed])
        broken = BrokenBuffer()
        case(f"{p} export raises", raising(Boom, f, *with_arg(broken)), [broken])
        e = badbuffer.Exporter(
            48, format="i" if p == "tris" else "f", itemsize=4, shape=good[p].shape, strides=(16, 4)[-good[p].ndim :]
        )
        case(f"{p} foreign exporter refused", raising(ValueError, f, *with_arg(e)), [e], [e])
        if good[p].ndim == 2:
            narrow = np.zeros((4, 2), good[p].dtype)
            case(f"{p} with two columns", raising(ValueError, f, *with_arg(narrow)), [narrow])
    if FAMILY[name] == catalogue.FIELD_SETTER:
        short = np.zeros(2, np.float32) if name == "scalar_set_many" else rows(2)
        case("vals shorter than pos", raising(ValueError, f, fn, inst, h, good["pos"], short), [short])
        backing, mv = byte_rows()
        case(
            "pos taken, then vals refused",
            raising(ValueError, f, fn, inst, h, mv, np.zeros(9, np.float64)),
            [mv, backing],
            [mv, backing],
        )
    if len(params) > 3 and "n" not in params:
        case("fn 0 with rows", raising(ValueError, f, 0, *values[1:]))
    return cases


@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_failing_calls_leave_nothing_behind(fastloop, quiet, badbuffer, name):
    cases = failure_cases(fastloop, quiet, badbuffer, name)
    for label, case in cases.items():
        try:
            run_case(case)
        except AssertionError as exc:
            raise AssertionError(f"{name}: {label}: {exc}") from None
        assert quiet.count() == 0, f"{name}: {label}: a failing call reached a native function"


# -- failures inside the body: NumPy missing, refusing or handing back odd results ------


class NoView(np.ndarray):
    """A uint8 array whose view() fails: the last NumPy step of the samplers."""

    def view(self, *args, **kwargs):
        raise Boom("view")


def frozen(shape, dtype):
    a = np.zeros(shape, dtype)
    a.flags.writeable = False
    return a


REFUSED_SOMEHOW = (TypeError, ValueError)  # np.empty handing back None: the module picks

# name: (function, what np is made to be, expected exception)
BODY_CASES = {
    "read_vertices: np deleted": ("read_vertices", None, NameError),
    "read_triangles: np deleted": ("read_triangles", None, NameError),
    "scalar_get_many: np deleted": ("scalar_get_many", None, NameError),
    "vector_get_many: np deleted": ("vector_get_many", None, NameError),
    "scalar_active_values: np deleted, after the count pass": ("scalar_active_values", None, NameError),
    "vector_active_values: np deleted, after the count pass": ("vector_active_values", None, NameError),
    "read_vertices: empty raises": ("read_vertices", lambda: FakeNumpy(empty=MemoryError), MemoryError),
    "read_vertices: empty gives a read-only array": (
        "read_vertices",
        lambda: FakeNumpy(empty=frozen((4, 3), np.float32)),
        ValueError,
    ),
    "read_triangles: empty gives too few rows": (
        "read_triangles",
        lambda: FakeNumpy(empty=np.zeros((2, 3), np.int32)),
        ValueError,
    ),
    "read_vertices: empty gives None": ("read_vertices", lambda: FakeNumpy(empty=NoneGiven), REFUSED_SOMEHOW),
    "scalar_get_many: zeros raises after empty": (
        "scalar_get_many",
        lambda: FakeNumpy(zeros=MemoryError),
        MemoryError,
    ),
    "vector_get_many: zeros raises after empty": (
        "vector_get_many",
        lambda: FakeNumpy(zeros=MemoryError),
        MemoryError,
    ),
    "scalar_get_many: zeros gives float flags": (
        "scalar_get_many",
        lambda: FakeNumpy(zeros=np.zeros(4, np.float32)),
        ValueError,
    ),
    "vector_get_many: empty gives a read-only array": (
        "vector_get_many",
        lambda: FakeNumpy(empty=frozen((4, 3), np.float32)),
        ValueError,
    ),
    "scalar_get_many: view fails after the loop": (
        "scalar_get_many",
        lambda: FakeNumpy(zeros=np.zeros(4, np.uint8).view(NoView)),
        Boom,
    ),
    "vector_get_many: view fails after the loop": (
        "vector_get_many",
        lambda: FakeNumpy(zeros=np.zeros(4, np.uint8).view(NoView)),
        Boom,
    ),
    "scalar_active_values: empty raises": (
        "scalar_active_values",
        lambda: FakeNumpy(empty=MemoryError),
        MemoryError,
    ),
    "vector_active_values: empty gives a read-only array": (
        "vector_active_values",
        lambda: FakeNumpy(empty=frozen((3, 3), np.float32)),
        ValueError,
    ),
}


@pytest.mark.parametrize("case_name", sorted(BODY_CASES))
def test_failures_inside_the_body_leave_nothing_behind(fastloop, quiet, monkeypatch, case_name):
    name, make_numpy, exc_type = BODY_CASES[case_name]
    coords = np.ones((3, 3), np.float32)
    quiet.set_traversal("traverse_s", coords, np.ones(3))
    quiet.set_traversal("traverse_v", coords, coords)
    fn, inst, h = fresh(quiet.fn(KINDS[name])), fresh(2**40 + 3), fresh(2**63 + 5)
    pos = rows()
    family = FAMILY[name]
    args = [fn, inst, h] + ([4] if family == catalogue.READOUT else [pos] if family == catalogue.FIELD_SAMPLER else [])
    watched = [fn, inst, h, pos]
    if make_numpy is None:
        monkeypatch.delattr(fastloop, "np")
    else:
        fake = make_numpy()
        # What the fake hands back must not be kept by the module either.
        watched += [v for v in fake.gives.values() if isinstance(v, np.ndarray)]
        monkeypatch.setattr(fastloop, "np", fake)
    run_case(Case(raising(exc_type, getattr(fastloop, name), *args), watched, [], [pos]))


def test_fill_pass_reporting_more_than_counted_leaves_nothing_behind(fastloop, quiet):
    coords = np.arange(12, dtype=np.float32).reshape(4, 3)
    quiet.set_traversal("traverse_v", coords, coords, passes=[2, 4])
    fn, inst, h = fresh(quiet.fn("traverse_v")), fresh(2**40 + 3), fresh(2**63 + 5)

    def call():
        # The recorder's pass counter runs on; start each call at the first pass again.
        quiet.clear_log()
        try:
            fastloop.vector_active_values(fn, inst, h)
        except RuntimeError:
            return
        raise AssertionError("no RuntimeError")

    run_case(Case(call, [fn, inst, h]))
