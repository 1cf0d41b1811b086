"""Threads: every function called from several threads at once, on handles of their own
and on shared handles of the reference runtime, while other threads allocate and free
NumPy arrays; and the same with calls that fail racing them, while `np` is rebound or
deleted in the module and NumPy's own names are swapped. Every result is checked, not
only the absence of a crash.

The run lasts QUORPY_STRESS_SECONDS seconds (default 4). A hang is turned into a dump
of every thread's stack and a failed run by faulthandler.
"""

from __future__ import annotations

import faulthandler
import gc
import os
import sys
import threading
import time
import traceback

import numpy as np
import pytest

from quorpy.reference import Runtime

from helpers import FUNCTIONS, NATIVE_KIND, FakeNumpy
from test_hostile import ODD_OBJECTS, TRANSFORMS, VIEWS, expected_outcome

DURATION = float(os.environ.get("QUORPY_STRESS_SECONDS", "4"))
OWN_THREADS = 4
SHARED_WRITERS = 2
SHARED_READERS = 2
ALLOCATORS = 2
SHARED_POSITIONS = 64
# Objects of the threads that own them are replaced once they hold this many elements,
# so that reading everything back stays cheap.
MAX_ELEMENTS = 1500
# Rows each writer appends to the shared mesh at most, for the same reason.
MAX_SHARED_ROWS = 20_000


def random_floats(rng, shape) -> np.ndarray:
    """float32 with random bit patterns, NaN excluded so that values compare exactly
    (and bit for bit through .view)."""
    bits = rng.integers(0, 2**32, size=shape, dtype=np.uint64).astype(np.uint32)
    values = bits.view(np.float32)
    values[np.isnan(values)] = 1.5
    return values


def same_bits(a: np.ndarray, b: np.ndarray) -> bool:
    return a.shape == b.shape and a.dtype == b.dtype and a.tobytes() == b.tobytes()


class Stress:
    """Shared state of one run: the runtime, the shared objects, the deadline, and what
    every thread did or met."""

    def __init__(self, fl, rt: Runtime, duration: float):
        self.fl = fl
        self.rt = rt
        self.duration = duration
        self.errors: list[str] = []
        self.calls: dict[str, int] = {}
        self.lock = threading.Lock()
        self.barrier: threading.Barrier | None = None
        # Shared objects. Positions of the shared fields are fixed up front; writers only
        # overwrite their values, so every traversal sees the same count.
        self.mesh = rt.new_mesh()
        self.sfield = rt.new_scalar_field()
        self.vfield = rt.new_vector_field()
        self.positions = np.zeros((SHARED_POSITIONS, 3), np.float32)
        self.positions[:, 0] = np.arange(SHARED_POSITIONS)
        self.positions[:, 1] = 0.25
        self.positions[:, 2] = -7.0
        fl.scalar_set_many(*rt.args("scalar_set", self.sfield), self.positions, np.zeros(SHARED_POSITIONS, np.float32))
        fl.vector_set_many(*rt.args("vector_set", self.vfield), self.positions, self.encode_vectors(0, 0))
        # Last iteration each shared writer has started: values it wrote carry at most this.
        self.progress = [0] * (SHARED_WRITERS + 1)
        # Rows each shared writer appended to the shared mesh, in order.
        self.appended = [0] * (SHARED_WRITERS + 1)

    # -- the encoding of shared values: who wrote it, in which iteration -------------------

    @staticmethod
    def code(writer: int, iteration: int) -> float:
        return float(writer * 1_000_000 + iteration)  # exact in float32 below 2**24

    def decode(self, value: float) -> tuple[int, int]:
        writer, iteration = divmod(int(value), 1_000_000)
        if float(value) != int(value):
            raise AssertionError(f"value {value!r} was never written")
        return writer, iteration

    def encode_vectors(self, writer: int, iteration: int) -> np.ndarray:
        c = self.code(writer, iteration)
        row = np.array([c, c + 0.5, -c], np.float32)
        return np.tile(row, (SHARED_POSITIONS, 1))

    def check_written(self, value: float) -> None:
        writer, iteration = self.decode(value)
        if writer == 0:
            if iteration != 0:
                raise AssertionError(f"value {value!r} was never written")
            return
        if not 1 <= writer <= SHARED_WRITERS or iteration > self.progress[writer]:
            raise AssertionError(f"value {value!r}: writer {writer} has not reached iteration {iteration}")

    # -- running ---------------------------------------------------------------------------

    def start(self, bodies) -> list[threading.Thread]:
        """A thread for each (name, body), all released at once."""
        self.barrier = threading.Barrier(len(bodies))
        return [self.run(name, body) for name, body in bodies]

    def run(self, name: str, body) -> threading.Thread:
        def main():
            calls = 0
            try:
                # Every thread starts its clock as they leave the barrier together.
                self.barrier.wait(timeout=60)
                deadline = time.monotonic() + self.duration
                while time.monotonic() < deadline:
                    calls += body()
            except BaseException:  # noqa: BLE001 - reported by the main thread
                with self.lock:
                    self.errors.append(f"{name}:\n{traceback.format_exc()}")
                self.barrier.abort()
            with self.lock:
                self.calls[name] = calls

        t = threading.Thread(target=main, name=name, daemon=True)
        t.start()
        return t


# -- threads that own their objects --------------------------------------------------------


def own_objects(s: Stress, seed: int):
    fl, rt = s.fl, s.rt
    rng = np.random.default_rng(seed)
    state = {}

    def renew():
        for key in ("mesh", "sfield", "vfield"):
            if key in state:
                rt.destroy(state[key])
        state.update(
            mesh=rt.new_mesh(),
            sfield=rt.new_scalar_field(),
            vfield=rt.new_vector_field(),
            verts=np.zeros((0, 3), np.float32),
            tris=np.zeros((0, 3), np.int32),
            spos=np.zeros((0, 3), np.float32),
            svals=np.zeros(0, np.float32),
            vpos=np.zeros((0, 3), np.float32),
            vvals=np.zeros((0, 3), np.float32),
            next_key=0,
        )

    def fresh_positions(k):
        # Distinct from every earlier one of this thread and of every other thread.
        pos = random_floats(rng, (k, 3))
        pos[:, 0] = seed
        pos[:, 1] = np.arange(state["next_key"], state["next_key"] + k)
        state["next_key"] += k
        return pos

    renew()

    def body() -> int:
        if len(state["verts"]) > MAX_ELEMENTS or len(state["spos"]) > MAX_ELEMENTS:
            renew()
        k = int(rng.integers(1, 60))
        mesh = state["mesh"]

        verts = random_floats(rng, (k, 3))
        fl.add_vertices(*rt.args("add_vertex", mesh), verts)
        state["verts"] = np.concatenate([state["verts"], verts])
        got = fl.read_vertices(*rt.args("get_vertex", mesh), len(state["verts"]))
        assert same_bits(got, state["verts"]), "vertices of an own mesh differ"

        tris = rng.integers(-(2**31), 2**31, size=(k, 3), dtype=np.int64).astype(np.int32)
        fl.add_triangles(*rt.args("add_triangle", mesh), tris)
        state["tris"] = np.concatenate([state["tris"], tris])
        got = fl.read_triangles(*rt.args("get_triangle", mesh), len(state["tris"]))
        assert same_bits(got, state["tris"]), "triangles of an own mesh differ"

        sfield, vfield = state["sfield"], state["vfield"]
        pos, vals = fresh_positions(k), random_floats(rng, k)
        fl.scalar_set_many(*rt.args("scalar_set", sfield), pos, vals)
        state["spos"] = np.concatenate([state["spos"], pos])
        state["svals"] = np.concatenate([state["svals"], vals])
        got, found = fl.scalar_get_many(*rt.args("scalar_sample", sfield), state["spos"])
        assert found.all() and same_bits(got, state["svals"]), "scalar samples of an own field differ"
        missing = fresh_positions(3)
        got, found = fl.scalar_get_many(*rt.args("scalar_sample", sfield), missing)
        assert not found.any() and np.isnan(got).all()
        coords, values = fl.scalar_active_values(*rt.args("scalar_traverse", sfield))
        assert same_bits(coords, state["spos"]) and same_bits(values, state["svals"]), "own scalar field differs"

        pos, vals = fresh_positions(k), random_floats(rng, (k, 3))
        fl.vector_set_many(*rt.args("vector_set", vfield), pos, vals)
        state["vpos"] = np.concatenate([state["vpos"], pos])
        state["vvals"] = np.concatenate([state["vvals"], vals])
        got, found = fl.vector_get_many(*rt.args("vector_sample", vfield), state["vpos"])
        assert found.all() and same_bits(got, state["vvals"]), "vector samples of an own field differ"
        coords, values = fl.vector_active_values(*rt.args("vector_traverse", vfield))
        assert same_bits(coords, state["vpos"]) and same_bits(values, state["vvals"]), "own vector field differs"
        return 12

    return body


# -- threads that share objects ------------------------------------------------------------


def shared_writer(s: Stress, writer: int):
    fl, rt = s.fl, s.rt
    iteration = 0

    def body() -> int:
        nonlocal iteration
        iteration += 1
        s.progress[writer] = iteration
        c = s.code(writer, iteration)
        fl.scalar_set_many(*rt.args("scalar_set", s.sfield), s.positions, np.full(SHARED_POSITIONS, c, np.float32))
        fl.vector_set_many(*rt.args("vector_set", s.vfield), s.positions, s.encode_vectors(writer, iteration))
        if s.appended[writer] >= MAX_SHARED_ROWS:
            return 2
        # Rows (writer, sequence number, -sequence number), appended in order.
        k = 8
        seq = np.arange(s.appended[writer], s.appended[writer] + k, dtype=np.float32)
        rows = np.stack([np.full(k, writer, np.float32), seq, -seq], axis=1)
        fl.add_vertices(*rt.args("add_vertex", s.mesh), rows)
        s.appended[writer] += k
        return 3

    return body


def shared_reader(s: Stress):
    fl, rt = s.fl, s.rt

    def body() -> int:
        vals, found = fl.scalar_get_many(*rt.args("scalar_sample", s.sfield), s.positions)
        assert found.all(), "a shared scalar position was not found"
        for v in vals:
            s.check_written(v)
        vecs, found = fl.vector_get_many(*rt.args("vector_sample", s.vfield), s.positions)
        assert found.all(), "a shared vector position was not found"
        # A row comes from one writer's call: never a mix of two.
        assert np.array_equal(vecs[:, 1], vecs[:, 0] + 0.5) and np.array_equal(vecs[:, 2], -vecs[:, 0]), vecs
        for v in vecs[:, 0]:
            s.check_written(v)

        coords, vals = fl.scalar_active_values(*rt.args("scalar_traverse", s.sfield))
        assert same_bits(coords, s.positions), "shared scalar field: positions changed"
        for v in vals:
            s.check_written(v)
        coords, vecs = fl.vector_active_values(*rt.args("vector_traverse", s.vfield))
        assert same_bits(coords, s.positions), "shared vector field: positions changed"
        assert np.array_equal(vecs[:, 1], vecs[:, 0] + 0.5) and np.array_equal(vecs[:, 2], -vecs[:, 0])

        n = s.rt.vertex_count(s.mesh)
        rows = fl.read_vertices(*rt.args("get_vertex", s.mesh), n)
        assert rows.shape == (n, 3)
        writers = rows[:, 0].astype(np.int64)
        assert np.isin(writers, np.arange(1, SHARED_WRITERS + 1)).all(), "a shared vertex was never written"
        assert np.array_equal(rows[:, 2], -rows[:, 1]), "a shared vertex is torn"
        for w in range(1, SHARED_WRITERS + 1):
            # Each writer's rows, in mesh order, are its sequence numbers 0, 1, 2, ...
            mine = rows[writers == w, 1]
            assert np.array_equal(mine, np.arange(len(mine), dtype=np.float32)), f"writer {w}'s rows out of order"
        return 5

    return body


def allocator(s: Stress, seed: int):
    rng = np.random.default_rng(seed)

    def body() -> int:
        kept = []
        for _ in range(20):
            n = int(rng.integers(1, 200_000))
            a = np.empty(n, np.float32)
            a.fill(1.0)
            b = np.ones((n // 3 + 1, 3), np.int32)
            assert a.sum(dtype=np.float64) == n and b.sum() == 3 * (n // 3 + 1)
            if rng.random() < 0.5:
                kept.append(a)
            del a, b
        kept.clear()
        if rng.random() < 0.05:
            gc.collect()
        return 1

    return body


# -- calls that fail, and NumPy changing under the calls -----------------------------------


class NumpyMayBeMissing:
    """The module as threads that expect exact results see it while `np` may be deleted
    from it: a call that meets `np` missing fails with the NameError of a missing global
    and is made again, and every other outcome is the call's own."""

    MISSING = "name 'np' is not defined"

    def __init__(self, fl):
        self.fl = fl
        self.missed = 0  # lost updates between threads do not matter: only "ever" does

    def __getattr__(self, name):
        f = getattr(self.fl, name)

        def call(*args):
            while True:
                try:
                    return f(*args)
                except NameError as exc:
                    if str(exc) != self.MISSING:
                        raise
                    self.missed += 1

        return call


def refused_calls() -> list[tuple[str, list, type]]:
    """Calls of every function that fail, each with the exception expected: one bad
    argument at a time, in calls that would otherwise succeed without calling a native
    (zero fn, no rows). The arguments are shared by every thread that makes them."""
    rows = np.arange(6, dtype=np.float32).reshape(2, 3)
    arrays = [TRANSFORMS[t](rows) for t in ("read-only", "transposed", "reversed rows", "Fortran order")]
    arrays += [rows.astype(np.float64), rows.astype(np.int64), rows, *ODD_OBJECTS[:12]]
    calls = []
    for name, params in FUNCTIONS.items():
        base = {p: 0 for p in params}
        for p in params:
            if p in ("verts", "tris", "pos", "vals"):
                elem, ndim = VIEWS[(name, p)]
                base[p] = np.zeros((0, 3) if ndim == 2 else 0, np.float32 if elem == "f" else np.int32)
        for p in params:
            for value in arrays if p in ("verts", "tris", "pos", "vals") else [*ODD_OBJECTS, -1, 2**64, 2**31]:
                args = {**base, p: value}
                expected = expected_outcome(name, args)
                if isinstance(expected, type):
                    calls.append((name, [args[q] for q in params], expected))
    return calls


def failing_caller(s: Stress, calls, seed: int):
    rng = np.random.default_rng(seed)

    def body() -> int:
        for i in rng.permutation(len(calls))[:50]:
            name, args, expected = calls[i]
            try:
                getattr(s.fl, name)(*args)
            except expected:
                continue
            except BaseException as exc:  # noqa: BLE001 - reported with the call
                raise AssertionError(f"{name}{tuple(args)!r} raised {exc!r}, not {expected.__name__}") from exc
            raise AssertionError(f"{name}{tuple(args)!r} did not raise {expected.__name__}")
        return 50

    return body


def numpy_changer(fl):
    """Rebinds the module's `np` to a stand-in that gives the same results, deletes it,
    and binds NumPy again, over and over."""
    stand_in = FakeNumpy()  # empty and zeros are NumPy's; its dtypes are dtype objects

    def body() -> int:
        for state in (stand_in, None, np):
            if state is None:
                del fl.np
            else:
                fl.np = state
            time.sleep(0.0005)
        return 3

    return body


def numpy_names_swapper():
    """Replaces each of NumPy's names that the module uses with an equivalent (its
    allocators wrapped, its scalar types as dtype objects) and restores it, over and over."""
    real = {name: getattr(np, name) for name in ("empty", "zeros", "float32", "int32", "uint8")}
    equivalent = {name: np.dtype(real[name]) for name in ("float32", "int32", "uint8")}
    equivalent["empty"] = lambda *args, **kwargs: real["empty"](*args, **kwargs)
    equivalent["zeros"] = lambda *args, **kwargs: real["zeros"](*args, **kwargs)

    def body() -> int:
        for name in real:
            setattr(np, name, equivalent[name])
            try:
                time.sleep(0.0002)
            finally:
                setattr(np, name, real[name])
        return len(real)

    return body


def run_stress(fl, extra=lambda s: []) -> None:
    """The own, shared and allocating threads, and those of `extra(s)`: (name, body)."""
    faulthandler.dump_traceback_later(DURATION + 120, exit=True)
    try:
        with Runtime() as rt:
            s = Stress(fl, rt, DURATION)
            bodies = [(f"own-{i}", own_objects(s, seed=100 + i)) for i in range(OWN_THREADS)]
            bodies += [(f"writer-{w}", shared_writer(s, w)) for w in range(1, SHARED_WRITERS + 1)]
            bodies += [(f"reader-{i}", shared_reader(s)) for i in range(SHARED_READERS)]
            bodies += [(f"alloc-{i}", allocator(s, seed=200 + i)) for i in range(ALLOCATORS)]
            threads = s.start(bodies + extra(s))
            for t in threads:
                t.join(timeout=DURATION + 60)
            stuck = [t.name for t in threads if t.is_alive()]
            assert not stuck, f"threads still running: {stuck}"
            assert not s.errors, "\n".join(s.errors)
            # Every thread got through its loop at least once.
            assert all(s.calls[t.name] > 0 for t in threads), s.calls
            # After the run: the shared mesh holds exactly what the writers appended.
            assert rt.vertex_count(s.mesh) == sum(s.appended)
            for v in s.positions:
                assert rt.scalar_sample(s.sfield, v) is not None
    finally:
        faulthandler.cancel_dump_traceback_later()
    print(f"\nstress: {DURATION:.1f} s, {len(threads)} threads, module calls per thread: {s.calls}")


def test_concurrent_calls_on_own_and_shared_handles(fastloop):
    run_stress(fastloop)


@pytest.mark.thread_unsafe  # rebinds and deletes np, swaps NumPy's names
@pytest.mark.filterwarnings("ignore:__int__ returned non-int:DeprecationWarning")  # HasInt(True) & co
def test_failures_race_successes_while_numpy_changes(fastloop):
    calls = refused_calls()
    assert {name for name, _, _ in calls} == set(FUNCTIONS)
    fl = NumpyMayBeMissing(fastloop)
    extra = lambda s: [  # noqa: E731
        *((f"failing-{i}", failing_caller(s, calls, seed=300 + i)) for i in range(3)),
        ("np-changer", numpy_changer(fastloop)),
        ("numpy-names", numpy_names_swapper()),
    ]
    try:
        run_stress(fl, extra)
    finally:
        fastloop.np = np
    # Some call met `np` missing: the race this test is about happened.
    assert fl.missed > 0


@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_every_function_runs_its_natives_on_several_threads_at_once(fastloop, rec, name):
    # Each thread's first native call waits until all of them have made one: that can
    # only happen if every thread released the GIL around its loop.
    nthreads = 4
    kind = NATIVE_KIND[name]
    rec.set_traversal("traverse_s", np.ones((2, 3)), np.ones(2))
    rec.set_traversal("traverse_v", np.ones((2, 3)), np.ones((2, 3)))
    rec.set_rendezvous(nthreads, timeout=10.0)
    rows = np.ones((2, 3), np.float32)
    extra = {
        "read_vertices": [2],
        "read_triangles": [2],
        "add_vertices": [rows],
        "add_triangles": [rows.astype(np.int32)],
        "scalar_set_many": [rows, np.ones(2, np.float32)],
        "scalar_get_many": [rows],
        "vector_set_many": [rows, rows],
        "vector_get_many": [rows],
    }.get(name, [])
    f = getattr(fastloop, name)
    errors = []

    def call(i):
        try:
            f(rec.fn(kind), i, 7, *extra)
        except BaseException as exc:  # noqa: BLE001
            errors.append(exc)

    threads = [threading.Thread(target=call, args=(i,)) for i in range(nthreads)]
    faulthandler.dump_traceback_later(120, exit=True)
    try:
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=60)
    finally:
        faulthandler.cancel_dump_traceback_later()
    assert not any(t.is_alive() for t in threads)
    assert not errors
    calls = rec.calls(kind)
    met = [c for c in calls if c.flags & 16]  # took part in the rendezvous
    assert len(met) == nthreads
    assert not any(c.rendezvous_timed_out for c in calls)
    assert sorted(c.inst for c in met) == list(range(nthreads))
    assert not any(c.gil for c in calls)


@pytest.mark.thread_unsafe  # stores into NumPy's namespace
def test_stores_into_numpy_while_other_threads_call_keep_every_reference_count(fastloop):
    # The module watches NumPy's namespace. CPython notifies the watcher from inside a
    # store, while it holds the dict's lock between reading the old value and writing
    # the new one; were the watcher to wait there, another store could run in between,
    # and one value would lose a reference twice while another kept one it should not.
    seconds = min(DURATION, 3.0)
    stop = threading.Event()
    errors: list[BaseException] = []
    kept: list[list[object]] = []

    def call():
        try:
            while not stop.is_set():
                fastloop.read_vertices(0, 0, 0, 0)
        except BaseException as exc:  # noqa: BLE001 - reported by the main thread
            errors.append(exc)

    def store():
        mine = kept[-1]
        while not stop.is_set():
            for _ in range(100):
                mine.append(object())
                np._probe = mine[-1]

    threads = [threading.Thread(target=call) for _ in range(6)]
    for _ in range(3):
        kept.append([])
        threads.append(threading.Thread(target=store))
    faulthandler.dump_traceback_later(seconds + 120, exit=True)
    try:
        for t in threads:
            t.start()
        time.sleep(seconds)
        stop.set()
        for t in threads:
            t.join(timeout=60)
    finally:
        stop.set()
        faulthandler.cancel_dump_traceback_later()
        del np._probe
    assert not any(t.is_alive() for t in threads) and not errors, errors

    # Each object is held by its list alone now, as a control held the same way is.
    def counts(objects):
        return [sys.getrefcount(o) for o in objects]

    (expected,) = counts([object()])
    wrong = [c - expected for mine in kept for c in counts(mine) if c != expected]
    stores = sum(map(len, kept))
    assert not wrong, f"{len(wrong)} of {stores} stored objects with a wrong count (off by {sorted(set(wrong))})"
