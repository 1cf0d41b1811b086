"""Do calls run in parallel? Two threads, each calling one function on an object of its
own (a mesh or a field), against one thread making both threads' calls one after the
other: the same work, so the time ratio is the throughput the second thread adds (2.0 at
best on two free cores, 1.0 if the calls serialise).

Two kinds of calls are measured:

- large calls (read_vertices of many rows), which spend nearly all their time in the
  native loop, with the GIL released;
- small calls (every function at n = 100), where binding the arguments and making the
  results weigh as much as the loop: under a GIL those parts take turns, so only a
  free-threaded build can gain much there.

The plain C loop, called through ctypes (which releases the GIL too) and making new
result arrays as the functions do, runs the same experiment as a control: what it cannot
gain, the native and the machine do not allow.
"""

from __future__ import annotations

import gc
import statistics
import threading
import time
from collections.abc import Callable, Sequence
from typing import TypedDict

from quorpy.bench import timing
from quorpy.bench.contenders import Contender
from quorpy.bench.machine import Load
from quorpy.bench.workloads import Workload


class _Pair:
    """Two worker threads kept for all rounds, started and joined through barriers."""

    def __init__(self) -> None:
        self.jobs: list[Callable[[], object] | None] = [None, None]
        self.start, self.done = threading.Barrier(3), threading.Barrier(3)
        self.stopping = False
        self.threads = [threading.Thread(target=self._work, args=(i,), daemon=True) for i in range(2)]
        for t in self.threads:
            t.start()

    def _work(self, i: int) -> None:
        while True:
            self.start.wait()
            if self.stopping:
                return
            job = self.jobs[i]
            if job is not None:
                job()
            self.done.wait()

    def run(self, first: Callable[[], object], second: Callable[[], object] | None) -> int:
        self.jobs = [first, second]
        t0 = time.perf_counter_ns()
        self.start.wait()
        self.done.wait()
        return time.perf_counter_ns() - t0

    def close(self) -> None:
        self.stopping = True
        self.start.wait()
        for t in self.threads:
            t.join()


class Figure(TypedDict):
    workload: str
    calls: str  # large or small
    function: str
    contender: str
    n: int
    calls_per_thread: int
    one_thread_ns: list[int]  # one per round: one thread making both threads' calls
    two_threads_ns: list[int]
    ratio: float  # of the medians: the throughput of two threads over one
    other_cores_busy: float | None


def _job(entry: timing.Entry) -> Callable[[], int]:
    """entry.k calls on fresh inputs (an adder gets a fresh mesh), made now."""
    call = entry.make()
    return lambda: timing.run_batch(call, entry.k)


def _one_after_the_other(first: Callable[[], int], second: Callable[[], int]) -> Callable[[], object]:
    return lambda: (first(), second())


def _entry(c: Contender, workload: Workload, function: str, n: int, copy: int) -> timing.Entry:
    return timing.Entry(c.key, lambda: c.call(function, workload.inputs(function, n, copy)))


def measure(
    workload: Workload,
    function: str,
    calls: str,
    n: int,
    contenders: Sequence[Contender],
    rounds: int,
    budget_ns: int,
) -> list[Figure]:
    """For each contender: one-thread and two-thread times (ns per round) of calling
    ``function`` on two objects of the workload, interleaved, and their ratio."""
    entries = {}
    for c in contenders:
        a, b = (_entry(c, workload, function, n, copy) for copy in (0, 1))
        timing.calibrate(a, budget_ns // 2)
        timing.run_batch(b.make(), 1)  # warm up the second object too
        b.k = a.k
        entries[c.key] = (a, b)

    times: dict[str, tuple[list[int], list[int]]] = {key: ([], []) for key in entries}
    load, pair, collecting = Load(), _Pair(), gc.isenabled()
    gc.disable()
    try:
        for r in range(rounds):
            for key, (a, b) in entries.items():
                one, two = times[key]
                for together in (True, False) if r % 2 else (False, True):
                    ja, jb = _job(a), _job(b)
                    if together:
                        two.append(pair.run(ja, jb))
                    else:
                        one.append(pair.run(_one_after_the_other(ja, jb), None))
    finally:
        pair.close()
        if collecting:
            gc.enable()
    others = load.others()
    return [
        {
            "workload": workload.key,
            "calls": calls,
            "function": function,
            "contender": key,
            "n": n,
            "calls_per_thread": entries[key][0].k,
            "one_thread_ns": one,
            "two_threads_ns": two,
            "ratio": statistics.median(one) / statistics.median(two),
            "other_cores_busy": others,
        }
        for key, (one, two) in times.items()
    ]
