"""Interleaved timing of several contenders on one case.

Each contender's statement is compiled into a loop of k calls, as :mod:`timeit`
does (nothing is subtracted: the loop adds some 10 ns per call). k is chosen so
that one batch lasts about ``budget_ns``. A round times one batch of every
contender, in an order that rotates from round to round, so that slow drifts of a
noisy machine fall on all of them alike.
"""

from __future__ import annotations

import gc
import itertools
import math
import random
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field

from quorpy.bench.contenders import Call

_runners: dict[tuple[str, tuple[str, ...]], Callable[..., int]] = {}


def runner(call: Call) -> Callable[..., int]:
    """A function ``run(k, *values)`` that makes the call k times and returns the ns taken."""
    names = tuple(call.names)
    key = (call.stmt, names)
    if key not in _runners:
        params = ", ".join(("_k", "_clock", "_repeat") + names)
        src = (
            f"def run({params}):\n"
            f"    t0 = _clock()\n"
            f"    for _ in _repeat(None, _k):\n"
            f"        {call.stmt}\n"
            f"    return _clock() - t0\n"
        )
        ns: dict[str, object] = {}
        exec(compile(src, f"<bench {call.stmt}>", "exec"), ns)
        _runners[key] = ns["run"]  # type: ignore[assignment]
    return _runners[key]


def run_batch(call: Call, k: int) -> int:
    """ns taken by k calls, with the collector held off as timeit does."""
    run = runner(call)
    enabled = gc.isenabled()
    gc.disable()
    try:
        return run(k, time.perf_counter_ns, itertools.repeat, *call.names.values())
    finally:
        if enabled:
            gc.enable()


@dataclass
class Entry:
    """One contender in a measurement: ``make()`` gives a fresh call for each batch."""

    key: str
    make: Callable[[], Call]
    k: int = 1
    samples: list[float] = field(default_factory=list)  # ns per call, one per round


def calibrate(entry: Entry, budget_ns: int) -> None:
    """Warm up (first calls compile, fault pages in) and pick k for ~budget_ns batches."""
    run_batch(entry.make(), 1)
    k = 1
    while True:
        t = run_batch(entry.make(), k)
        if t >= budget_ns / 4 or k >= 1 << 20:
            break
        k *= 8 if t < budget_ns / 64 else 2
    entry.k = max(1, min(1 << 22, math.ceil(k * budget_ns / max(t, 1))))


# Up to how many bytes a batch's arrays are moved from where they would otherwise be.
LAYOUT_SPREAD = 1 << 20


def measure(entries: Sequence[Entry], rounds: int, budget_ns: int, equal_batches: bool = False) -> None:
    """Fill each entry's samples with ``rounds`` per-call times, interleaved.

    Where an array lands decides, through its address's low bits, whether its rows
    share cache sets with the native's own data or falsely alias stores to it, which
    moved one contender by up to 30% in one process and not in the next. Left alone,
    every round of a process repeats that luck and the rounds' range hides it. So each
    batch first takes a block of random size, held until the batch ends, which moves
    whatever is allocated after it (the batch's inputs and results): the rounds sample
    layouts, and their range shows what layout alone does.

    With `equal_batches`, every contender makes as many calls per batch as the slowest
    can in the budget: a native whose object grows with each call (an adder's mesh) is
    then as large for each contender, instead of largest for the fastest."""
    gc.collect()
    rng = random.Random(0x9E3779B9)
    for e in entries:
        calibrate(e, budget_ns)
    if equal_batches and entries:
        k = min(e.k for e in entries)
        for e in entries:
            e.k = k
    for r in range(rounds):
        order = list(entries[r % len(entries) :]) + list(entries[: r % len(entries)])
        if r % 2:
            order.reverse()
        for e in order:
            spacer = bytearray(rng.randrange(16, LAYOUT_SPREAD, 16))
            call = e.make()
            e.samples.append(run_batch(call, e.k) / e.k)
            del call, spacer
