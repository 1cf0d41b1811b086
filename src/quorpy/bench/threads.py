"""Does a transfer release the GIL? Two threads reading two meshes against one thread
reading both, one after the other: the same work, so the time ratio is the throughput
gained by the second thread (2.0 at best on two free cores, 1.0 if the GIL is held).

The plain C loop, called through ctypes (which releases the GIL too) and making a new
result array for every read as read_vertices does, runs the same experiment as a
control: what it cannot gain, the native and the machine do not allow.
"""

from __future__ import annotations

import statistics
import threading
import time

import numpy as np

from quorpy import _fastloop
from quorpy.bench import clib
from quorpy.bench.machine import Load


class _Pair:
    """Two worker threads kept for all rounds, started and joined through barriers."""

    def __init__(self) -> None:
        self.jobs: list = [None, None]
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
            if self.jobs[i] is not None:
                self.jobs[i]()
            self.done.wait()

    def run(self, first, second) -> int:
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


def _readers(contender: str, args, n: int):
    """A function reading n vertices once with this contender."""
    if contender == "quorpy":
        read = _fastloop.read_vertices
        return lambda: read(*args, n)
    loop = clib.loop("read_vertices")

    def read() -> np.ndarray:
        # A new result array each time, as read_vertices makes: fresh memory is part of
        # what two threads contend for (page faults, the allocator's arenas).
        out = np.empty((n, 3), np.float32)
        loop(*args, out.ctypes.data, n)
        return out

    return read


def _repeated(read, m: int):
    def job():
        for _ in range(m):
            read()

    return job


def measure(workload, n: int, rounds: int, budget_ns: int) -> list[dict]:
    """For quorpy and the C loop: one-thread and two-thread times (ns per round) of
    reading n vertices of each of two meshes, interleaved, and their ratio."""
    a, b = workload.mesh_for_threads(n), workload.mesh_for_threads(n)
    jobs = {}
    for contender in ("quorpy", "c_loop"):
        ra, rb = _readers(contender, a, n), _readers(contender, b, n)
        ra()
        t0 = time.perf_counter_ns()
        ra()
        m = max(1, round(budget_ns / 2 / max(time.perf_counter_ns() - t0, 1)))
        ja, jb = _repeated(ra, m), _repeated(rb, m)
        jobs[contender] = (m, (lambda ja=ja, jb=jb: (ja(), jb())), ja, jb)

    times = {c: ([], []) for c in jobs}
    load = Load()
    pair = _Pair()
    try:
        for r in range(rounds):
            for contender, (_, both, ja, jb) in jobs.items():
                one, two = times[contender]
                if r % 2:
                    two.append(pair.run(ja, jb))
                    one.append(pair.run(both, None))
                else:
                    one.append(pair.run(both, None))
                    two.append(pair.run(ja, jb))
    finally:
        pair.close()
    others = load.others()
    return [
        {
            "workload": workload.key,
            "contender": contender,
            "n": n,
            "reads_per_thread": jobs[contender][0],
            "one_thread_ns": one,
            "two_threads_ns": two,
            "ratio": statistics.median(one) / statistics.median(two),
            "other_cores_busy": others,
        }
        for contender, (one, two) in times.items()
    ]
