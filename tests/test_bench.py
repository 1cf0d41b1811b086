"""The benchmark tool (python -m quorpy.bench): that it runs and reports, that every
contender computes what the module computes, and the type stubs. Not the timings."""

from __future__ import annotations

import ast
import ctypes
import dataclasses
import datetime
import importlib.util
import json
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

import quorpy
from quorpy import _fastloop, catalogue
from quorpy.bench import cli, clib, report, suite, threads, timing
from quorpy.bench.contenders import Call
from quorpy.bench.workloads import FUNCTIONS, WORKLOADS
from quorpy.catalogue import HANDLES

from helpers import HasInt, raised_as_listed

CONTENDERS = ("quorpy", "c_loop", "numba", "ctypes", "cffi")
HAVE_MATPLOTLIB = importlib.util.find_spec("matplotlib") is not None


def run_bench(*args: str, block: tuple[str, ...] = (), timeout: float = 120) -> subprocess.CompletedProcess:
    """python -m quorpy.bench with `args`, the modules in `block` made unimportable."""
    code = (
        f"import sys, runpy\nfor m in {block!r}: sys.modules[m] = None\n"
        "sys.argv[0] = 'quorpy.bench'\nrunpy.run_module('quorpy.bench', run_name='__main__')"
    )
    return subprocess.run([sys.executable, "-c", code, *args], capture_output=True, text=True, timeout=timeout)


# ---- the whole tool, once ---------------------------------------------------------


@pytest.fixture(scope="module")
def quick(tmp_path_factory):
    out = tmp_path_factory.mktemp("bench")
    args = ["--quick", "--json", str(out / "bench.json")]
    if HAVE_MATPLOTLIB:
        args += ["--plot", str(out / "bench.png")]
    proc = run_bench(*args, timeout=300)
    assert proc.returncode == 0, proc.stderr[-3000:]
    return proc, json.loads((out / "bench.json").read_text()), out


def test_quick_run_prints_a_block_per_function_and_workload(quick):
    proc, _, _ = quick
    for function in FUNCTIONS:
        for wl in WORKLOADS.values():
            assert f"{function} -- {wl.name}" in proc.stdout
    for label in ("quorpy", "C loop", "ctypes loop", "cffi loop", "numba @njit", "vs ctypes"):
        assert label in proc.stdout
    assert "n = 0: a call that transfers nothing" in proc.stdout
    assert max(len(line) for line in proc.stdout.splitlines()) <= report.WIDTH
    assert "Threads, large calls:" in proc.stdout and "Threads, small calls:" in proc.stdout


def test_quick_run_shows_progress_on_stderr_only(quick):
    proc, doc, _ = quick
    # Each process: per workload, each function at n = 0 and every size; then per workload,
    # in two threads, the large calls once and each function's small calls.
    cfg = doc["config"]
    cases = len(cfg["workloads"]) * len(FUNCTIONS) * (len(cfg["sizes"]) + 1)
    steps = cfg["processes"] * cases + len(cfg["workloads"]) * (len(FUNCTIONS) + 1)
    # Anchored: a timing cell such as "109/102" must not pass for a progress line.
    progress = re.compile(rf"^\[ *\d+/{steps} ", re.MULTILINE)
    assert re.search(rf"^\[{steps:3d}/{steps} ", proc.stderr, re.MULTILINE)
    assert not progress.search(proc.stdout)


def test_quick_run_json_has_every_function_and_contender(quick):
    _, doc, _ = quick
    results = doc["results"]
    for wl in doc["config"]["workloads"]:
        for function in FUNCTIONS:
            for contender in CONTENDERS:
                mine = [
                    r
                    for r in results
                    if (r["workload"], r["function"], r["contender"]) == (wl, function, contender) and r["n"]
                ]
                assert mine, (wl, function, contender)
                if mine[0]["status"] == "unavailable":
                    assert "not installed" in mine[0]["note"]
                    continue
                sizes = {r["n"] for r in mine}
                assert sizes == set(doc["config"]["sizes"]), (wl, function, contender, sizes)
                for r in mine:
                    assert len(r["samples_ns_per_call"]) == doc["config"]["rounds"]
                    assert all(t > 0 for t in r["samples_ns_per_call"])
                    assert 0 < r["min_ns_per_call"] <= r["median_ns_per_call"]


def test_python_loops_are_measured_up_to_the_cap_and_extrapolated_above(quick):
    _, doc, _ = quick
    cap = doc["config"]["py_loop_max"]
    loops = [r for r in doc["results"] if r["contender"] in ("ctypes", "cffi") and r["status"] != "unavailable"]
    assert loops
    for r in loops:
        assert (r["status"] == "measured") == (r["n"] <= cap), r
        if r["status"] == "extrapolated":
            base = next(
                b
                for b in loops
                if (b["workload"], b["function"], b["contender"], b["n"])
                == (r["workload"], r["function"], r["contender"], cap)
            )
            assert r["median_ns_per_element"] == pytest.approx(base["median_ns_per_element"])


def test_quick_run_reports_zero_size_threads_and_targets(quick):
    proc, doc, _ = quick
    zero = [r for r in doc["results"] if r["n"] == 0]
    assert {(r["workload"], r["function"], r["contender"]) for r in zero} == {
        (wl, f, c) for wl in WORKLOADS for f in FUNCTIONS for c in ("quorpy", "numpy")
    }
    assert all(r["median_ns_per_call"] > 0 for r in zero)
    # Two threads: large calls of read_vertices, and small calls of every function.
    assert {(t["workload"], t["calls"], t["function"], t["contender"]) for t in doc["threads"]} == {
        (wl, calls, f, c)
        for wl in WORKLOADS
        for calls, fs in (("large", ["read_vertices"]), ("small", FUNCTIONS))
        for f in fs
        for c in ("quorpy", "c_loop")
    }
    assert {t["n"] for t in doc["threads"] if t["calls"] == "small"} == {100}
    assert all(t["ratio"] > 0 and min(t["one_thread_ns"] + t["two_threads_ns"]) > 0 for t in doc["threads"])
    small = proc.stdout[proc.stdout.index("Threads, small calls") : proc.stdout.index("Targets.")]
    assert all(re.search(rf"^  {f} .* x\d\.\d\d +x\d\.\d\d$", small, re.MULTILINE) for f in FUNCTIONS), small
    # Seven targets per workload, and the absolute speed-ups over ctypes and cffi with the cheapest native.
    assert len(doc["targets"]) == 7 * len(WORKLOADS) + 2
    assert {t["status"] for t in doc["targets"]} <= {"pass", "tie", "MISS", "not measured", "no target"}
    assert report.TARGETS_HEADER in proc.stdout
    assert proc.stdout.count("two threads / one") == 2 * len(WORKLOADS)


def test_quick_run_records_what_was_timed_on_what_and_says_where(quick):
    proc, doc, out = quick
    assert doc["kind"] == "quick"
    age = datetime.datetime.now(datetime.UTC) - datetime.datetime.fromisoformat(doc["date"])
    assert datetime.timedelta(0) < age < datetime.timedelta(hours=1)
    v = doc["versions"]
    assert (v["quorpy"], v["numpy"], v["python"]) == (quorpy.__version__, np.__version__, platform.python_version())
    assert all(c and c != "unknown" for c in v["compilers"].values()), v["compilers"]
    assert doc["machine"]["cpu"] and doc["machine"]["cpus"] == os.cpu_count()
    assert f"figures written to {out / 'bench.json'}" in proc.stderr
    if HAVE_MATPLOTLIB:
        assert f"chart written to {out / 'bench.png'}" in proc.stderr


@pytest.mark.skipif(not HAVE_MATPLOTLIB, reason="matplotlib is not installed")
def test_quick_run_draws_the_chart(quick):
    _, _, out = quick
    assert (out / "bench.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_version_names_what_would_be_timed_and_runs_nothing():
    proc = run_bench("--version", timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert f"quorpy {quorpy.__version__} (NumPy {np.__version__}, CPython {platform.python_version()}" in proc.stdout
    assert "[  1/" not in proc.stderr


def test_help_says_what_each_numbered_target_is(capsys):
    with pytest.raises(SystemExit):
        cli.parse(["--help"])
    legend = report.targets_legend()
    assert [line[:5] for line in legend if line[2] == "("] == [f"  ({k})" for k in range(1, 6)]
    assert "\n".join(legend) in capsys.readouterr().out


def test_missing_optional_contenders_are_reported_not_fatal(tmp_path):
    proc = run_bench(
        "--quick",
        "--functions",
        "read_vertices,scalar_active_values",
        "--workloads",
        "cheapest",
        "--json",
        str(tmp_path / "b.json"),
        block=("numba", "cffi"),
    )
    assert proc.returncode == 0, proc.stderr[-3000:]
    doc = json.loads((tmp_path / "b.json").read_text())
    statuses = {(r["contender"], r["status"]) for r in doc["results"]}
    assert ("numba", "unavailable") in statuses and ("cffi", "unavailable") in statuses
    assert ("ctypes", "measured") in statuses
    # A row per function, and the targets against them say why they were not measured.
    for name, targets in (("numba", 2), ("cffi", 1)):
        against = [t for t in doc["targets"] if f"/ {name}" in t["target"] or f"{name} loop /" in t["target"]]
        assert len(against) == targets and all(f"{name} is not installed" in t["note"] for t in against)
        assert proc.stdout.count(f"{name} is not installed") == 2 + targets


def test_plot_without_matplotlib_fails_at_once_with_a_clear_message(tmp_path):
    proc = run_bench("--plot", str(tmp_path / "x.png"), block=("matplotlib",), timeout=60)
    assert proc.returncode == 2
    assert "matplotlib" in proc.stderr and "pip install" in proc.stderr
    assert "[  1/" not in proc.stderr  # nothing was run
    assert not (tmp_path / "x.png").exists()


def test_unknown_function_is_refused():
    proc = run_bench("--functions", "read_vertices,nope", timeout=60)
    assert proc.returncode != 0 and "nope" in proc.stderr


# ---- every contender computes what the module computes ------------------------------

N = 37


@pytest.fixture(scope="module", params=sorted(WORKLOADS))
def workload(request):
    wl = WORKLOADS[request.param](64)
    yield wl
    wl.close()


def contender(key: str):
    c = next(c for c in suite.contenders() if c.key == key)
    if c.missing():
        pytest.skip(c.missing())
    return c


def execute(call: Call):
    ns: dict = {}
    exec(f"_result = ({call.stmt})", dict(call.names), ns)
    return ns["_result"]


def result_of(key: str, function: str, inp):
    c = contender(key)
    return execute(c.call(function, inp))


@pytest.mark.parametrize("key", CONTENDERS[1:])
@pytest.mark.parametrize("function", [f for f in FUNCTIONS if catalogue.FUNCTIONS[f].outputs])
def test_contender_output_equals_the_modules(workload, function, key):
    inp = workload.inputs(function, N)
    expected = result_of("quorpy", function, inp)
    got = result_of(key, function, inp)
    expected = expected if isinstance(expected, tuple) else (expected,)
    got = got if isinstance(got, tuple) else (got,)
    assert len(got) == len(expected)
    for g, e in zip(got, expected):
        assert g.shape == e.shape and g.dtype == e.dtype, (g.shape, g.dtype, e.shape, e.dtype)
        np.testing.assert_array_equal(g, e)
        # Made as the module makes it (found flags: a bool view of np.zeros bytes), since
        # fresh zeroed memory costs what reused memory does not. numba's arrays are views
        # of its own runtime's memory, whatever they were made with.
        if key != "numba":
            assert made_as(g) == made_as(e)
    assert len(expected[0]) == N


def made_as(a: np.ndarray) -> np.dtype:
    return a.dtype if a.base is None else a.base.dtype


@pytest.mark.parametrize("key", ["ctypes", "cffi", "numba", "c_loop"])
def test_samplers_mark_positions_not_found_like_the_module(key):
    wl = WORKLOADS["reference"](8)
    try:
        for function in ("scalar_get_many", "vector_get_many"):
            inp = wl.inputs(function, 8)
            inp = dataclasses.replace(inp, rows=inp.rows + np.float32(1000))  # stored nowhere
            expected = result_of("quorpy", function, inp)
            got = result_of(key, function, inp)
            assert not expected[1].any()
            np.testing.assert_array_equal(got[1], expected[1])
            assert np.isnan(got[0]).all()
    finally:
        wl.close()


@pytest.mark.parametrize("key", CONTENDERS)
@pytest.mark.parametrize("function", ["add_vertices", "add_triangles"])
def test_contender_adds_the_rows_to_the_mesh(function, key):
    wl = WORKLOADS["reference"](N)
    try:
        inp = wl.inputs(function, N)
        execute(contender(key).call(function, inp))
        read = "read_vertices" if function == "add_vertices" else "read_triangles"
        getter = "get_vertex" if function == "add_vertices" else "get_triangle"
        assert (wl.rt.vertex_count(inp.h) if function == "add_vertices" else wl.rt.triangle_count(inp.h)) == N
        np.testing.assert_array_equal(getattr(_fastloop, read)(*wl.rt.args(getter, inp.h), N), inp.rows)
    finally:
        wl.close()


@pytest.mark.parametrize("key", CONTENDERS)
@pytest.mark.parametrize("function", ["scalar_set_many", "vector_set_many"])
def test_contender_sets_the_values_in_the_field(function, key):
    wl = WORKLOADS["reference"](N)
    try:
        inp = wl.inputs(function, N)
        inp = dataclasses.replace(inp, vals=inp.vals * np.float32(3) + np.float32(1))  # differ from what is stored
        execute(contender(key).call(function, inp))
        sample = wl.rt.scalar_sample if function == "scalar_set_many" else wl.rt.vector_sample
        for p, v in zip(inp.rows, inp.vals):
            got = sample(inp.h, tuple(p))
            assert got == pytest.approx(tuple(v) if v.shape else float(v))
    finally:
        wl.close()


# ---- the helper library's cheapest natives -----------------------------------------


def test_cheapest_getters_copy_the_static_tables():
    lib = clib.load()
    table = np.ctypeslib.as_array((ctypes.c_float * 12).in_dll(lib, "qlbench_vertex_table")).reshape(4, 3)
    itable = np.ctypeslib.as_array((ctypes.c_int32 * 12).in_dll(lib, "qlbench_triangle_table")).reshape(4, 3)
    verts = _fastloop.read_vertices(clib.cheapest("read_vertices"), 1, 1, 6)
    tris = _fastloop.read_triangles(clib.cheapest("read_triangles"), 1, 1, 6)
    np.testing.assert_array_equal(verts, table[np.arange(6) % 4])
    np.testing.assert_array_equal(tris, itable[np.arange(6) % 4])


def test_cheapest_adders_and_setters_read_their_whole_input():
    sink, isink = clib.load().qlbench_sink(), clib.load().qlbench_isink()  # this thread's
    rows = np.array([[1, 2, 3], [4, 5, 6]], np.float32)
    _fastloop.add_vertices(clib.cheapest("add_vertices"), 1, 1, rows)
    assert sink[:3] == [4, 5, 6]
    _fastloop.add_triangles(clib.cheapest("add_triangles"), 1, 1, np.array([[7, 8, 9]], np.int32))
    assert isink[:3] == [7, 8, 9]
    _fastloop.scalar_set_many(clib.cheapest("scalar_set_many"), 1, 1, rows, np.array([0.5, 0.25], np.float32))
    assert sink[:4] == [4, 5, 6, 0.25]
    _fastloop.vector_set_many(clib.cheapest("vector_set_many"), 1, 1, rows, rows[::-1].copy())
    assert sink[:6] == [4, 5, 6, 1, 2, 3]


def test_cheapest_samplers_always_find():
    pos = np.array([[1, 2, 3], [-4, 5, 6]], np.float32)
    vals, found = _fastloop.scalar_get_many(clib.cheapest("scalar_get_many"), 1, 1, pos)
    assert found.all() and list(vals) == [1, -4]
    vecs, found = _fastloop.vector_get_many(clib.cheapest("vector_get_many"), 1, 1, pos)
    assert found.all()
    np.testing.assert_array_equal(vecs, pos)


def test_cheapest_traversals_report_h_rows_of_the_table():
    clib.reserve(10)
    coords, vals = _fastloop.scalar_active_values(clib.cheapest("scalar_active_values"), 1, 5)
    i = np.arange(5, dtype=np.float32)
    np.testing.assert_array_equal(coords, np.stack([i, i + 0.5, -i], axis=1))
    np.testing.assert_array_equal(vals, i / 4)
    coords, vecs = _fastloop.vector_active_values(clib.cheapest("vector_active_values"), 1, 3)
    assert coords.shape == (3, 3)
    np.testing.assert_array_equal(vecs, [[0, 1, 2], [0.25, 1, 2], [0.5, 1, 2]])


def test_c_loop_traversal_stores_at_most_its_capacity_but_counts_all():
    clib.reserve(10)
    coords, vals = np.zeros((4, 3), np.float32), np.full(5, -1, np.float32)
    n = clib.loop("scalar_active_values")(
        clib.cheapest("scalar_active_values"), 1, 9, coords.ctypes.data, vals.ctypes.data, 4
    )
    assert n == 9
    assert list(vals) == [0, 0.25, 0.5, 0.75, -1]


# ---- the timer and the targets -------------------------------------------------------


def test_batch_makes_the_call_k_times():
    hits: list[int] = []
    ns = timing.run_batch(Call("hit(1)", {"hit": hits.append}), 25)
    assert len(hits) == 25 and ns > 0


def test_measure_interleaves_and_rotates_the_order():
    made: list[str] = []  # one entry per batch, in the order batches ran

    def entry(key):
        def make():
            made.append(key)
            return Call("f()", {"f": int})

        return timing.Entry(key, make)

    entries = [entry("a"), entry("b"), entry("c")]
    timing.measure(entries, rounds=4, budget_ns=20_000)
    assert all(len(e.samples) == 4 and min(e.samples) > 0 for e in entries)
    rounds = [made[-12:][i : i + 3] for i in range(0, 12, 3)]
    assert all(sorted(r) == ["a", "b", "c"] for r in rounds), rounds
    assert len({r[0] for r in rounds}) > 1, rounds


def test_equal_batches_give_every_contender_the_slowest_ones_calls():
    slow = timing.Entry("slow", lambda: Call("f(2000)", {"f": lambda n: sum(range(n))}))
    fast = timing.Entry("fast", lambda: Call("f()", {"f": int}))
    timing.measure([slow, fast], rounds=2, budget_ns=200_000, equal_batches=True)
    assert slow.k == fast.k < 1000


def test_rounds_shared_among_processes_pair_up_again():
    assert suite.shares(11, 3) == [4, 4, 3] and suite.shares(3, 3) == [1, 1, 1]

    def part(quorpy, numba):
        return [
            suite.Result("cheapest", "read_vertices", c, 10, "measured", t, 1)
            for c, t in (("quorpy", quorpy), ("numba", numba))
        ]

    merged = suite.merge([part([1.0, 2.0], [3.0, 4.0]), part([5.0], [6.0])])
    assert [(r.contender, r.samples) for r in merged] == [("quorpy", [1.0, 2.0, 5.0]), ("numba", [3.0, 4.0, 6.0])]


def _fake_run(
    rounds: dict[tuple[str, str, int], list[float]],
    threads_rounds: list[float],
    control_rounds: list[float] | None = None,
    workloads: tuple[str, ...] = ("cheapest",),
    small_rounds: list[float] | None = None,
    free_threaded: bool = False,
) -> dict:
    """A run whose contenders took the given ns per call in each round, and whose two
    threads gained the given throughput in each round: large calls, and small calls of
    both functions."""
    functions = ("read_vertices", "add_vertices")
    results = [
        suite.Result(wl, function, contender, n, "measured", list(t), 1)
        for wl in workloads
        for (function, contender, n), t in rounds.items()
    ]
    figures = [("large", "read_vertices", 1_000_000, "quorpy", threads_rounds)]
    figures += [("large", "read_vertices", 1_000_000, "c_loop", control_rounds or threads_rounds)]
    figures += [("small", f, 100, c, small_rounds) for f in functions for c in ("quorpy", "c_loop") if small_rounds]
    return {
        "config": dataclasses.asdict(dataclasses.replace(suite.FULL, workloads=workloads, functions=functions)),
        "contenders": {"quorpy": "quorpy", "c_loop": "C loop"},
        "results": results,
        "threads": [
            {
                "workload": wl,
                "calls": calls,
                "function": function,
                "n": n,
                "contender": c,
                "calls_per_thread": 10,
                "ratio": statistics.median(rounds),
                "one_thread_ns": [100.0 * r for r in rounds],
                "two_threads_ns": [100.0] * 3,
            }
            for wl in workloads
            for calls, function, n, c, rounds in figures
        ],
        "machine": {"python_build": "free-threaded" if free_threaded else "default", "gil": "disabled"},
    }


@pytest.mark.parametrize(
    "rounds, limit, higher_is_better, expected",
    [
        ([1.00, 1.05, 1.30], 1.10, False, "pass"),  # the median meets the target
        ([1.05, 1.15, 1.20], 1.10, False, "tie"),  # the median misses, one round meets
        ([1.12, 1.15, 1.30], 1.10, False, "MISS"),  # no round meets
        ([1.10, 1.10, 1.10], 1.10, False, "pass"),
        ([0.95, 0.85, 0.80], 0.90, True, "tie"),
        ([0.89, 0.85, 0.80], 0.90, True, "MISS"),
        ([1.60, 1.75, 1.90], 1.70, True, "pass"),
    ],
)
def test_verdict_calls_pass_tie_or_miss_from_the_spread_of_the_rounds(rounds, limit, higher_is_better, expected):
    assert report.verdict(rounds, limit, higher_is_better) == expected


def test_targets_pass_tie_and_miss_on_the_per_round_ratios():
    big, c = 1_000_000, [100.0, 100.0, 100.0]
    run = _fake_run(
        {
            ("read_vertices", "quorpy", big): [105.0, 115.0, 120.0],
            ("read_vertices", "c_loop", big): c,
            ("add_vertices", "quorpy", big): [130.0, 125.0, 140.0],
            ("add_vertices", "c_loop", big): c,
            ("read_vertices", "quorpy", 0): [120.0, 110.0, 140.0],
            ("read_vertices", "numpy", 0): c,
            ("add_vertices", "quorpy", 0): [90.0, 95.0, 80.0],
            ("add_vertices", "numpy", 0): c,
        },
        threads_rounds=[1.9, 1.6, 1.8],
    )
    rows = {t["target"][:3]: t for t in report.targets(run) if t["status"] != "not measured"}
    assert rows["(1)"]["status"] == "MISS"
    assert rows["(1)"]["worst"] == "add_vertices" and rows["(1)"]["ratio"] == pytest.approx(1.3)
    assert rows["(1)"]["band"] == pytest.approx((1.25, 1.4))
    assert rows["(1)"]["misses"] == {"add_vertices": 1.3} and rows["(1)"]["ties"] == {"read_vertices": 1.15}
    assert rows["(4)"]["status"] == "pass" and rows["(4)"]["ratio"] == pytest.approx(1.2)
    assert rows["(5)"]["status"] == "pass" and rows["(5)"]["ratio"] == pytest.approx(1.8)
    assert rows["(5)"]["note"] == "the C loop's control: 1.80"
    text = report.targets_text(report.targets(run))
    assert "MISS" in text and "add_vertices 1.3" in text and "ties: read_vertices 1.15" in text
    assert "idle machine" not in text and "idle machine" in report.targets_text(report.targets(run), 1.4)


def test_speed_up_is_judged_as_a_share_of_the_c_loops_and_absolutely_only_with_the_cheapest_native():
    mid = 100_000
    run = _fake_run(
        {
            ("read_vertices", "quorpy", mid): [10.0, 11.0, 10.5],
            ("read_vertices", "c_loop", mid): [10.0] * 3,
            ("read_vertices", "ctypes", mid): [500.0] * 3,
            ("read_vertices", "cffi", mid): [300.0] * 3,
            ("add_vertices", "quorpy", mid): [14.0, 13.0, 15.0],
            ("add_vertices", "c_loop", mid): [10.0] * 3,
            ("add_vertices", "ctypes", mid): [2000.0] * 3,
            ("add_vertices", "cffi", mid): [1500.0] * 3,
        },
        threads_rounds=[1.8] * 3,
        workloads=("reference", "cheapest"),
    )
    rows = [t for t in report.targets(run) if t["target"].startswith("(2)")]
    share = {t["workload"]: t for t in rows if "share" in t["target"]}
    assert set(share) == {"reference", "cheapest"}
    # Per round: C loop / quorpy, i.e. (ctypes / quorpy) / (ctypes / C loop).
    assert share["cheapest"]["status"] == "MISS" and share["cheapest"]["misses"] == {"add_vertices": 0.714}
    assert share["cheapest"]["ties"] == {} and share["cheapest"]["worst"] == "add_vertices"
    assert "ctypes 50-200x" in share["cheapest"]["note"]
    absolute = {(t["workload"], t["target"]) for t in rows if "share" not in t["target"]}
    assert absolute == {
        ("cheapest", "(2) n=10^5: ctypes loop / quorpy >= 100"),
        ("cheapest", "(2) n=10^5: cffi loop / quorpy >= 100"),
    }
    cffi = next(t for t in rows if t["target"].startswith("(2) n=10^5: cffi"))
    assert cffi["status"] == "MISS" and cffi["misses"] == {"read_vertices": 28.571}


def test_targets_without_the_size_are_not_measured():
    run = _fake_run(
        {("read_vertices", "quorpy", 1): [5.0], ("read_vertices", "c_loop", 1): [5.0]}, threads_rounds=[1.0, 1.1, 0.9]
    )
    rows = report.targets(run)
    first = next(t for t in rows if t["target"].startswith("(1)"))
    assert first["status"] == "not measured"
    # Two threads gain no more than the C loop's control gains: the native's or the
    # machine's limit, not a miss, and the verdict says what it was judged against;
    # short of a control that reaches 1.70, a miss.
    threads = next(t for t in rows if t["target"].startswith("(5)"))
    assert threads["status"] == "pass" and threads["limit"] == pytest.approx(1.0)
    assert threads["target"] == "(5) n=10^6: two threads / one >= 1.00, the C loop's own gain"
    assert "the C loop's control: 1.00, short of 1.70" in report.targets_text([threads])
    run = _fake_run({}, threads_rounds=[1.0, 1.1, 0.9], control_rounds=[1.9, 1.8, 2.0])
    threads = next(t for t in report.targets(run) if t["target"].startswith("(5)"))
    assert threads["status"] == "MISS" and threads["limit"] == 1.70


def test_a_full_run_prints_within_the_width():
    # Five sizes, and Python loops some 10^3 times slower than the C loop, extrapolated at 10^6.
    per_call = {"quorpy": 370.0, "c_loop": 3560.0, "numba": 553.0, "ctypes": 82_700.0, "cffi": 36_400.0}
    per_element = {"quorpy": 1.87, "c_loop": 1.9, "numba": 2.01, "ctypes": 1234.5, "cffi": 876.5}
    functions = ("read_vertices", "add_vertices")
    rounds = {
        (f, c, n): [(per_call[c] if n <= report.SMALL else per_element[c] * n) * x for x in (1.0, 0.97, 1.02)]
        for f in functions
        for c in per_call
        for n in suite.FULL.sizes
    }
    rounds |= {(f, c, 0): [612.0, 587.0, 633.0] for f in functions for c in ("quorpy", "numpy")}
    run = _fake_run(rounds, [1.9] * 3, small_rounds=[1.5] * 3, workloads=("reference", "cheapest"))
    run["contenders"] = {c.key: c.label for c in suite.contenders()}
    for r in run["results"]:
        if r.contender in ("ctypes", "cffi") and r.n > suite.FULL.py_loop_max:
            r.status = "extrapolated"
    printed = [report.table(run), report.zero_table(run), report.threads_table(run)]
    printed.append(report.targets_text(report.targets(run), other_cores_busy=1.2))
    assert max(len(line) for text in printed for line in text.splitlines()) <= report.WIDTH


def test_number_formats():
    assert [report.fmt_ns(x) for x in (1.234, 45.67, 612.4, 2345, 45_600, 2_500_000)] == [
        "1.23",
        "45.7",
        "612",
        "2345",
        "45.6k",
        "2.5M",
    ]
    assert [report.fmt_size(n) for n in (1, 100, 10_000, 1_000_000, 20_000)] == ["1", "100", "10^4", "10^6", "20000"]


@pytest.mark.parametrize(
    "free_threaded, small_rounds, expected",
    [
        (True, [1.9, 1.6, 1.8], "pass"),
        (True, [1.2, 1.75, 1.3], "tie"),
        (True, [1.2, 1.1, 1.3], "MISS"),
        (False, [1.2, 1.1, 1.3], "no target"),  # with a GIL, a figure
    ],
)
def test_small_calls_in_two_threads_are_a_target_on_free_threaded_builds_only(free_threaded, small_rounds, expected):
    run = _fake_run({}, [1.9] * 3, small_rounds=small_rounds, free_threaded=free_threaded)
    row = next(t for t in report.targets(run) if t["target"].startswith("(5) n=100:"))
    assert row["status"] == expected and row["ratio"] == pytest.approx(statistics.median(small_rounds))
    shown = report.targets_text([row]).split(report.TARGETS_HEADER)[1]
    assert ("MISS" in shown) == (expected == "MISS") and ("not a target" in shown) == (not free_threaded)


def test_threads_figures_of_both_contenders():
    wl = WORKLOADS["cheapest"](1000)
    cs = [c for c in suite.contenders() if c.key in ("quorpy", "c_loop")]
    figures = threads.measure(wl, "scalar_get_many", "small", 1000, cs, rounds=2, budget_ns=2_000_000)
    assert [f["contender"] for f in figures] == ["quorpy", "c_loop"]
    for f in figures:
        assert len(f["one_thread_ns"]) == len(f["two_threads_ns"]) == 2 and f["ratio"] > 0


def test_each_thread_calls_on_objects_of_its_own():
    # Two threads on one object would measure its lock, not the transfer.
    wl = WORKLOADS["reference"](100)
    try:
        for function in FUNCTIONS:
            assert wl.inputs(function, 100, 0).h != wl.inputs(function, 100, 1).h, function
    finally:
        wl.close()


# ---- type stubs ----------------------------------------------------------------------

STUB = Path(quorpy.__file__).with_name("_fastloop.pyi")
PARAMS = {f.name: list(f.params) for f in catalogue.FUNCTIONS.values()}


def test_stub_and_marker_are_installed():
    assert STUB.is_file()
    assert STUB.with_name("py.typed").is_file()


def test_stub_declares_the_ten_functions_with_their_parameter_names():
    tree = ast.parse(STUB.read_text())
    funcs = {f.name: f for f in tree.body if isinstance(f, ast.FunctionDef)}
    public = {name for name in dir(_fastloop) if callable(getattr(_fastloop, name)) and not name.startswith("_")}
    assert set(funcs) == set(PARAMS) == public - {"np"}
    for name, f in funcs.items():
        a = f.args
        assert [p.arg for p in a.args] == PARAMS[name], name
        assert not (a.posonlyargs or a.kwonlyargs or a.vararg or a.kwarg), name
        assert all(p.annotation is not None for p in a.args) and f.returns is not None, name


def test_the_module_accepts_the_stub_parameter_names_as_keywords():
    # Calling every function by the stub's keywords on the cheapest natives.
    tree = ast.parse(STUB.read_text())
    rows = np.zeros((2, 3), np.float32)
    values = {"n": 2, "verts": rows, "tris": np.zeros((2, 3), np.int32), "pos": rows, "vals": np.zeros(2, np.float32)}
    for f in (f for f in tree.body if isinstance(f, ast.FunctionDef)):
        kw = {p.arg: values.get(p.arg, 1) for p in f.args.args}
        kw["fn"] = clib.cheapest(f.name)
        if f.name == "vector_set_many":
            kw["vals"] = rows
        getattr(_fastloop, f.name)(**kw)


@pytest.mark.parametrize("spec", list(catalogue.FUNCTIONS.values()), ids=lambda f: f.name)
def test_catalogue_gives_the_arrays_each_function_takes_and_returns(spec):
    n, f = 5, getattr(_fastloop, spec.name)
    clib.reserve(n)
    kw = {"fn": clib.cheapest(spec.name), "inst": 1, "h": n if spec.family == catalogue.ACTIVE_VALUES else 1}
    arrays = {a.name: np.ones(a.sized(n), a.dtype) for a in spec.inputs}
    kw.update({"n": n} if spec.family == catalogue.READOUT else arrays)
    result = f(**kw)
    got = result if isinstance(result, tuple) else () if result is None else (result,)
    assert [(r.shape, r.dtype) for r in got] == [(a.sized(n), np.dtype(a.dtype)) for a in spec.outputs]
    for a in spec.inputs:
        with pytest.raises(ValueError):
            f(**{**kw, a.name: np.ones(a.sized(n), np.float64)})


@pytest.mark.parametrize("spec", list(catalogue.FUNCTIONS.values()), ids=lambda f: f.name)
def test_catalogue_lists_the_errors_calls_raise_with_their_texts(spec, monkeypatch):
    n, f = 3, getattr(_fastloop, spec.name)
    clib.reserve(n)
    good = {"fn": clib.cheapest(spec.name), "inst": 1, "h": n if spec.family == catalogue.ACTIVE_VALUES else 1}
    good.update(
        {"n": n} if spec.family == catalogue.READOUT else {a.name: np.ones(a.sized(n), a.dtype) for a in spec.inputs}
    )
    args = [good[p] for p in spec.params]
    bad: list[dict] = [{"fn": 0}, *({p: v} for p in HANDLES for v in ("1", -1, 2**64, HasInt(2.0)))]
    if spec.family == catalogue.READOUT:
        bad += [{"n": v} for v in (2**31, 2**63, -1)]
    for a in spec.inputs:
        x = np.ones(a.sized(n), a.dtype)
        readonly = x.copy()
        readonly.flags.writeable = False
        misaligned = np.zeros(x.nbytes + 1, np.uint8)[1:].view(a.dtype).reshape(x.shape)
        bad += [{a.name: v} for v in ([[1, 2, 3]], x[::2], readonly, x.astype(np.float64), misaligned)]
        bad.append({a.name: x.reshape(-1) if x.ndim == 2 else x.reshape(-1, 1)})
        bad.append({a.name: np.ones((n, 2), a.dtype)} if x.ndim == 2 else {a.name: np.ones(n - 1, a.dtype)})
        if spec.family == catalogue.FIELD_SETTER and a.name == "vals":
            bad.append({a.name: np.ones(a.sized(n - 1), a.dtype)})
    calls = [lambda: f(*args[:-1]), lambda: f(*args, fn=1), lambda: f(*args, m=1)]
    calls += [lambda change=change: f(**{**good, **change}) for change in bad]
    if spec.outputs:
        calls.append(lambda: (monkeypatch.delattr(_fastloop, "np"), f(**good)))
    for call in calls:
        with pytest.raises(Exception) as info:
            call()
        assert raised_as_listed(spec, info.value), f"{type(info.value).__name__}: {info.value}"
        monkeypatch.undo()


@pytest.mark.skipif(
    shutil.which("mypy", path=os.path.dirname(sys.executable)) is None and importlib.util.find_spec("mypy") is None,
    reason="mypy is not installed",
)
def test_mypy_knows_the_functions(tmp_path):
    (tmp_path / "good.py").write_text(
        textwrap.dedent("""
        import numpy as np
        from numpy.typing import NDArray
        from quorpy import _fastloop

        verts: NDArray[np.float32] = _fastloop.read_vertices(np.uint64(1), True, 3, n=np.int64(4))
        tris: NDArray[np.int32] = _fastloop.read_triangles(fn=1, inst=2, h=3, n=4)
        vals, found = _fastloop.scalar_get_many(1, 2, 3, pos=verts)
        ok: NDArray[np.bool_] = found
        _fastloop.add_vertices(1, 2, 3, verts=None)
    """)
    )
    (tmp_path / "bad.py").write_text(
        textwrap.dedent("""
        from quorpy import _fastloop

        _fastloop.read_vertices(1, 2, 3)
        _fastloop.read_vertices(1, 2, 3, count=4)
        t: str = _fastloop.read_triangles(1, 2, 3, 4)
        fn, inst, h = 1, 2, 3
        _fastloop.read_vertices(fn, inst, h, 2.5)  # runs, and reads 2 rows
        _fastloop.add_vertices(fn, 2.0, h, None)
    """)
    )
    cmd = [
        sys.executable,
        "-m",
        "mypy",
        "--strict",
        "--follow-imports=silent",
        "--no-incremental",
        "--cache-dir",
        str(tmp_path / "cache"),
    ]
    good = subprocess.run(cmd + [str(tmp_path / "good.py")], capture_output=True, text=True, timeout=300)
    assert good.returncode == 0, good.stdout
    bad = subprocess.run(cmd + [str(tmp_path / "bad.py")], capture_output=True, text=True, timeout=300)
    assert bad.returncode == 1
    assert 'Missing positional argument "n"' in bad.stdout
    assert 'Unexpected keyword argument "count"' in bad.stdout
    assert "Incompatible types in assignment" in bad.stdout
    # Integers only: a float converts at run time, truncated.
    assert 'Argument 4 to "read_vertices" has incompatible type "float"' in bad.stdout
    assert 'Argument 2 to "add_vertices" has incompatible type "float"' in bad.stdout
