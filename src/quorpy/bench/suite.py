"""The whole run: every workload, function, size and contender, the calls that
transfer nothing, and two threads against one, with large calls and with small.

The rounds of every case are shared among a few fresh processes, run one after the
other. Where a process's libraries and JIT code land (the loader places them anew in
each) decides how a native's branches share the processor's predictors with the loop
that calls it: in one process in three, one contender's calls into one native took
10-30% longer in every round, where in the next they took as long as the others'. In
one process that luck would stand as a difference; spread over several, it shows in
the rounds' range, which is the noise the verdicts judge against.
"""

from __future__ import annotations

import os
import pickle
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from dataclasses import asdict, dataclass, field, replace
from typing import Any, NotRequired, TextIO, TypedDict

import numpy as np

from quorpy import _fastloop
from quorpy.bench import threads, timing
from quorpy.bench.contenders import Call, CffiLoop, CLoop, Contender, CtypesLoop, Ours, module_args, results_source
from quorpy.bench.machine import Machine, Versions
from quorpy.bench.workloads import FUNCTIONS, WORKLOADS, Workload


@dataclass(frozen=True)
class Config:
    sizes: tuple[int, ...] = (1, 100, 10_000, 100_000, 1_000_000)
    rounds: int = 11
    budget_ns: int = 5_000_000
    py_loop_max: int = 100_000  # ctypes and cffi loops: larger sizes are extrapolated
    workloads: tuple[str, ...] = ("reference", "cheapest")
    functions: tuple[str, ...] = FUNCTIONS
    thread_n: int = 1_000_000  # large calls, read_vertices
    thread_small_n: int = 100  # small calls, every function
    thread_rounds: int = 7
    processes: int = 3  # the rounds of every case are shared among this many processes


FULL = Config()
QUICK = Config(
    sizes=(1, 100, 10_000, 100_000),
    rounds=3,
    budget_ns=1_000_000,
    py_loop_max=10_000,
    thread_n=100_000,
    thread_rounds=3,
)


@dataclass
class Result:
    workload: str
    function: str
    contender: str
    n: int
    status: str  # measured, extrapolated (from the largest measured size) or unavailable
    samples: list[float] = field(default_factory=list)  # ns per call, one per round
    calls_per_batch: int = 0
    note: str = ""

    @property
    def median(self) -> float:
        return statistics.median(self.samples)

    @property
    def min(self) -> float:
        return min(self.samples)


# The yardstick for functions that allocate nothing.
YARDSTICK = "np.empty((0, 3), dtype=np.float32)"


def allocation(function: str) -> str:
    """What a call that transfers nothing must at least do: make its empty results."""
    return results_source(function, 0) or YARDSTICK


def contenders() -> list[Contender]:
    found: list[Contender] = [Ours(), CLoop()]
    try:
        from quorpy.bench.nb import Numba
    except ImportError:
        found.append(_Missing("numba", "numba @njit", "numba is not installed (pip install quorpy[bench])"))
    else:
        found.append(Numba())
    found += [CtypesLoop(), CffiLoop()]
    return found


class _Missing(Contender):
    def __init__(self, key: str, label: str, reason: str) -> None:
        self.key, self.label, self.reason = key, label, reason

    def missing(self) -> str | None:
        return self.reason


def _maker(c: Contender, workload: Workload, function: str, n: int) -> Callable[[], Call]:
    return lambda: c.call(function, workload.inputs(function, n))


class Progress:
    """Numbered steps on `stream`; a process measuring part of the run continues the
    count and the clock (perf_counter is the system's monotonic clock) of the one that
    started it."""

    def __init__(self, total: int, stream: TextIO = sys.stderr, done: int = 0, t0: float | None = None) -> None:
        self.total, self.done, self.stream = total, done, stream
        self.tty = stream.isatty()
        self.t0 = time.perf_counter() if t0 is None else t0

    def step(self, text: str) -> None:
        self.done += 1
        line = f"[{self.done:3d}/{self.total} {time.perf_counter() - self.t0:5.1f} s] {text}"
        if self.tty:
            self.stream.write("\r\x1b[K" + line)
        else:
            self.stream.write(line + "\n")
        self.stream.flush()

    def finish(self) -> None:
        if self.tty:
            self.stream.write("\r\x1b[K")
        self.stream.flush()


def run_case(workload: Workload, function: str, n: int, cs: list[Contender], cfg: Config) -> list[Result]:
    """All contenders on one function and size, interleaved."""
    results: list[Result] = []
    entries: list[tuple[Contender, timing.Entry]] = []
    for c in cs:
        reason = c.missing()
        if reason:
            results.append(Result(workload.key, function, c.key, n, "unavailable", note=reason))
        elif not c.capped or n <= cfg.py_loop_max:
            entries.append((c, timing.Entry(c.key, _maker(c, workload, function, n))))
    timing.measure([e for _, e in entries], cfg.rounds, cfg.budget_ns, equal_batches=True)
    for c, e in entries:
        results.append(Result(workload.key, function, c.key, n, "measured", e.samples, e.k))
    return results


def extrapolate(results: list[Result], cs: list[Contender], cfg: Config) -> list[Result]:
    """Times of capped contenders above the cap, from their largest measured size."""
    out = []
    measured = [s for s in cfg.sizes if s <= cfg.py_loop_max]
    capped = {c.key for c in cs if c.capped}
    for r in results:
        if r.contender in capped and r.status == "measured" and measured and r.n == max(measured):
            for big in (s for s in cfg.sizes if s > cfg.py_loop_max):
                scaled = [t * big / r.n for t in r.samples]
                out.append(Result(r.workload, r.function, r.contender, big, "extrapolated", scaled, 0, f"from n={r.n}"))
    return out


def run_zero(workload: Workload, function: str, cfg: Config) -> list[Result]:
    """A call that transfers nothing against the allocations it must make from Python."""
    alloc = allocation(function)
    ours = timing.Entry("quorpy", lambda: _zero_call(workload, function))
    base = timing.Entry("numpy", lambda: Call(alloc, {"np": np}))
    timing.measure([ours, base], cfg.rounds, cfg.budget_ns)
    return [
        Result(workload.key, function, "quorpy", 0, "measured", ours.samples, ours.k),
        Result(workload.key, function, "numpy", 0, "measured", base.samples, base.k, alloc),
    ]


def _zero_call(workload: Workload, function: str) -> Call:
    # Spelled module.function(...) like the baseline's np.empty(...): same lookups.
    args, names = module_args(function, workload.inputs(function, 0))
    return Call(f"_fastloop.{function}({args})", {"_fastloop": _fastloop, **names})


def run_threads(
    workload: Workload, function: str, calls: str, cs: list[Contender], cfg: Config
) -> list[threads.Figure]:
    """The threads figures of large or small calls (a large call's batch lasts longer)."""
    n, budget = (cfg.thread_n, 20 * cfg.budget_ns) if calls == "large" else (cfg.thread_small_n, 4 * cfg.budget_ns)
    return threads.measure(workload, function, calls, n, cs, cfg.thread_rounds, budget)


class Run(TypedDict):
    """A run's figures; the command line adds what it ran on, and when."""

    config: dict[str, Any]  # a Config as a dict
    contenders: dict[str, str]  # key -> label
    results: list[Result]
    threads: list[threads.Figure]
    kind: NotRequired[str]  # quick or full
    date: NotRequired[str]
    versions: NotRequired[Versions]
    machine: NotRequired[Machine]
    seconds: NotRequired[float]
    other_cores_busy: NotRequired[float | None]


def case_steps(cfg: Config) -> int:
    """Progress steps of one process's share of the cases: per workload, each function
    at n = 0 and every size."""
    return len(cfg.workloads) * len(cfg.functions) * (len(cfg.sizes) + 1)


def steps(cfg: Config) -> int:
    """Progress steps: every process's share of the cases, then per workload the large
    calls in two threads, and each function's small calls in two threads."""
    return cfg.processes * case_steps(cfg) + len(cfg.workloads) * (len(cfg.functions) + 1)


def shares(rounds: int, processes: int) -> list[int]:
    """Rounds per process, as even as they go (11 over 3: 4, 4, 3)."""
    return [rounds // processes + (i < rounds % processes) for i in range(processes)]


def measure_cases(cfg: Config, rounds: int, cs: list[Contender], progress: Progress) -> list[Result]:
    """`rounds` rounds of every case, in this process."""
    cfg = replace(cfg, rounds=rounds)
    results: list[Result] = []
    for key in cfg.workloads:
        workload = WORKLOADS[key](max(cfg.sizes))
        try:
            for function in cfg.functions:
                progress.step(f"{workload.name}: {function} n=0")
                results += run_zero(workload, function, cfg)
                for n in cfg.sizes:
                    progress.step(f"{workload.name}: {function} n={n}")
                    results += run_case(workload, function, n, cs, cfg)
        finally:
            workload.close()
    return results


def _case_key(r: Result) -> tuple[str, str, str, int]:
    return (r.workload, r.function, r.contender, r.n)


def merge(parts: list[list[Result]]) -> list[Result]:
    """One result per case and contender, with the rounds of every part in order: round i
    of one contender still pairs with round i of the others."""
    merged: dict[tuple[str, str, str, int], Result] = {}
    for part in parts:
        for r in part:
            first = merged.setdefault(_case_key(r), replace(r, samples=[]))
            first.samples += r.samples
    return list(merged.values())


def _in_a_process(cfg: Config, rounds: int, missing: dict[str, tuple[str, str]], progress: Progress) -> list[Result]:
    """measure_cases in a fresh interpreter: the same executable and environment, the
    contenders missing here missing there too (they may be hidden from this process
    only), its progress continuing this one's."""
    with tempfile.TemporaryDirectory() as work:
        task, out = os.path.join(work, "task"), os.path.join(work, "results")
        with open(task, "wb") as f:
            pickle.dump((cfg, rounds, missing, progress.total, progress.done, progress.t0), f)
        code = "import sys; from quorpy.bench.suite import part_main; part_main(sys.argv[1], sys.argv[2])"
        subprocess.run([sys.executable, "-c", code, task, out], check=True)
        with open(out, "rb") as f:
            results: list[Result] = pickle.load(f)
    progress.done += case_steps(cfg)
    return results


def part_main(task: str, out: str) -> None:
    """The entry point of a process that measures a share of the rounds."""
    with open(task, "rb") as f:
        cfg, rounds, missing, total, done, t0 = pickle.load(f)
    cs = [_Missing(c.key, *missing[c.key]) if c.key in missing else c for c in contenders()]
    results = measure_cases(cfg, rounds, cs, Progress(total, sys.stderr, done, t0))
    with open(out, "wb") as f:
        pickle.dump(results, f)


def run(cfg: Config, stream: TextIO = sys.stderr) -> Run:
    cs = contenders()
    progress = Progress(steps(cfg), stream)
    missing = {c.key: (c.label, reason) for c in cs if (reason := c.missing())}
    if cfg.processes == 1:
        results = measure_cases(cfg, cfg.rounds, cs, progress)
    else:
        results = merge([_in_a_process(cfg, r, missing, progress) for r in shares(cfg.rounds, cfg.processes)])
    parallel: list[threads.Figure] = []
    control = [c for c in cs if c.key in ("quorpy", "c_loop")]
    for key in cfg.workloads:
        workload = WORKLOADS[key](max(cfg.thread_n, cfg.thread_small_n))
        try:
            progress.step(f"{workload.name}: two threads, large calls")
            parallel += run_threads(workload, "read_vertices", "large", control, cfg)
            for function in cfg.functions:
                progress.step(f"{workload.name}: two threads, {function} n={cfg.thread_small_n}")
                parallel += run_threads(workload, function, "small", control, cfg)
        finally:
            workload.close()
    progress.finish()
    results += extrapolate(results, cs, cfg)
    return {
        "config": asdict(cfg),
        "contenders": {c.key: c.label for c in cs},
        "results": results,
        "threads": parallel,
    }
