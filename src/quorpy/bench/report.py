"""The printed table, the targets and the JSON figures."""

from __future__ import annotations

import json
import re
import statistics
import textwrap
from collections.abc import Iterable, Sequence
from dataclasses import asdict
from typing import NotRequired, TypedDict

from quorpy.bench.suite import Result, Run
from quorpy.bench.threads import Figure
from quorpy.bench.workloads import WORKLOADS

SMALL = 100  # up to this size, times are per call; above, per element
WIDTH = 100  # columns of the printed report


def fmt_3(x: float) -> str:
    """Three significant digits, without an exponent up to 10**6 - 1."""
    return f"{x:.3g}" if x < 1000 else f"{x:.0f}"


def fmt_ns(x: float) -> str:
    for limit, div, suffix in ((1e9, 1e9, "G"), (1e6, 1e6, "M"), (1e4, 1e3, "k")):
        if x >= limit:
            return f"{x / div:.3g}{suffix}"
    return fmt_3(x)


def fmt_x(x: float) -> str:
    """A ratio in at most five columns below 10 000: two decimals near 1, fewer above."""
    return f"{x:.2f}x" if x < 2 else f"{x:.1f}x" if x < 10 else f"{x:.0f}x"


NBSP = "\xa0"  # a space that fill() does not break at


def fill(text: str, indent: int = 8) -> list[str]:
    """``text`` as lines of the report's width, continued ``indent`` columns in."""
    lines = textwrap.wrap(text, WIDTH, subsequent_indent=" " * indent, break_long_words=False, break_on_hyphens=False)
    return [line.replace(NBSP, " ") for line in lines] or [""]


def fmt_size(n: int) -> str:
    return f"10^{len(str(n)) - 1}" if n >= 10_000 and str(n).strip("0") == "1" else str(n)


def per_unit(r: Result, stat: str = "median") -> float:
    """ns per call for small sizes, per element above."""
    t: float = getattr(r, stat)
    return t if r.n <= SMALL else t / r.n


class Index:
    def __init__(self, results: Iterable[Result]) -> None:
        self.by = {(r.workload, r.function, r.contender, r.n): r for r in results}

    def get(self, workload: str, function: str, contender: str, n: int) -> Result | None:
        r = self.by.get((workload, function, contender, n))
        return r if r is not None and r.samples else None

    def rounds(self, workload: str, function: str, a: str, b: str, n: int) -> list[float] | None:
        """a's time over b's in each round, the two batches having run side by side
        (a drift of the machine cancels out)."""
        ra, rb = self.get(workload, function, a, n), self.get(workload, function, b, n)
        if not (ra and rb):
            return None
        if len(ra.samples) != len(rb.samples):
            return [ra.median / rb.median]
        return [x / y for x, y in zip(ra.samples, rb.samples)]

    def unavailable(self, workload: str, contender: str) -> str | None:
        """Why ``contender`` did not run with this workload, if it did not."""
        return next(
            (
                r.note
                for r in self.by.values()
                if (r.workload, r.contender, r.status) == (workload, contender, "unavailable")
            ),
            None,
        )

    def ratio(self, workload: str, function: str, a: str, b: str, n: int) -> float | None:
        """a's time over b's: the median of the per-round ratios."""
        r = self.rounds(workload, function, a, b, n)
        return statistics.median(r) if r else None


def header(run: Run) -> str:
    """What was timed, on what, when."""
    v, m = run["versions"], run["machine"]
    gil = f", free-threaded, GIL {m['gil']}" if m["python_build"] == "free-threaded" else ""
    compilers = v["compilers"]
    lines = [
        f"quorpy {v['quorpy']}, NumPy {v['numpy']}, CPython {v['python']}{gil}",
        f"built by {compilers['c++']} (C++) and {compilers['c']} (C); {run['kind']} run of {run['date']}",
        f"{m['cpu']}, {m['cpus']} cpus; {m['platform']}",
    ]
    return "\n".join([row for line in lines for row in fill(line, 2)] + [""])


def table(run: Run) -> str:
    cfg, idx = run["config"], Index(run["results"])
    sizes, width = cfg["sizes"], 17
    lines = [
        "Cells: median/min time over the rounds, then the ratio to the plain C loop (median",
        "of the per-round ratios: each round times every contender once, side by side).",
        f"Time is ns per call for n <= {SMALL}, ns per element above. '~' = extrapolated",
        "linearly from the largest measured size (the Python loops stop there); '-' = not run.",
    ]
    for wl in cfg["workloads"]:
        name = WORKLOADS[wl].name
        for function in cfg["functions"]:
            lines += ["", f"{function} -- {name}"]
            head = "".join(f"{'n=' + fmt_size(n):>{width}}" for n in sizes)
            units = "".join(f"{'ns/call' if n <= SMALL else 'ns/element':>{width}}" for n in sizes)
            lines += [f"  {'':12}{head}", f"  {'':12}{units}"]
            for key, label in run["contenders"].items():
                lines.append(f"  {label[:12]:12}" + _row(idx, wl, function, key, sizes, width))
            speedups: list[str] = []
            for n in sizes:
                s = idx.ratio(wl, function, "ctypes", "quorpy", n)
                extra = idx.get(wl, function, "ctypes", n)
                mark = "~" if extra and extra.status == "extrapolated" else ""
                speedups.append(f"{mark}{fmt_3(s)}x" if s else "-")
            lines.append(f"  {'vs ctypes':12}" + "".join(f"{s:>{width}}" for s in speedups))
    return "\n".join(lines)


def _row(idx: Index, wl: str, function: str, key: str, sizes: Sequence[int], width: int) -> str:
    first = next(
        (r for r in idx.by.values() if r.workload == wl and r.function == function and r.contender == key), None
    )
    if first is not None and first.status == "unavailable":
        return "  " + first.note
    cells = []
    for n in sizes:
        r = idx.get(wl, function, key, n)
        if r is None:
            cells.append("-")
            continue
        xc = idx.ratio(wl, function, key, "c_loop", n)
        ratio = f" {fmt_x(xc)}" if xc else ""
        mark = "~" if r.status == "extrapolated" else ""
        cells.append(f"{mark}{fmt_ns(per_unit(r))}/{fmt_ns(per_unit(r, 'min'))}{ratio}")
    return "".join(f" {c:>{width - 1}}" for c in cells)  # a cell too wide moves the rest, never joins them


def zero_table(run: Run) -> str:
    idx = Index(run["results"])
    lines = [
        "",
        "n = 0: a call that transfers nothing, against the allocation it must make (ns per call,",
        "median/min, then the ratio; functions that allocate nothing are compared with one np.empty)",
    ]
    for wl in run["config"]["workloads"]:
        lines.append(f"  {WORKLOADS[wl].name}")
        for function in run["config"]["functions"]:
            ours, base = idx.get(wl, function, "quorpy", 0), idx.get(wl, function, "numpy", 0)
            if not (ours and base):
                continue
            ratio = idx.ratio(wl, function, "quorpy", "numpy", 0) or 0.0
            head = (
                f"    {function:21}{fmt_ns(ours.median):>6}/{fmt_ns(ours.min):<6}"
                f"{ratio:5.2f}x  of {fmt_ns(base.median):>5}/{fmt_ns(base.min):<5} "
            )
            # One allocation per line: each is at most some 40 columns.
            made = re.split(r"(?<=,) (?=np\.)", base.note)
            lines += [head + made[0]] + [" " * len(head) + m for m in made[1:]]
    return "\n".join(lines)


def threads_table(run: Run) -> str:
    return "\n".join(_large_calls(run) + _small_calls(run))


def _calls_per_s(t: Figure, ns: list[int]) -> float:
    """Calls per second of one run of a threads figure (the pair makes 2 k calls)."""
    return 2 * t["calls_per_thread"] * 1e9 / statistics.median(ns)


def _busy(figures: list[Figure]) -> list[str]:
    busy = [b for t in figures if (b := t.get("other_cores_busy")) is not None]
    if not busy:
        return []
    return [f"  (other processes kept {min(busy):.2f}-{max(busy):.2f} cores busy meanwhile)"]


def _large_calls(run: Run) -> list[str]:
    large = [t for t in run["threads"] if t["calls"] == "large"]
    if not large:
        return []
    lines = [
        "",
        f"Threads, large calls: {large[0]['function']} of n={fmt_size(large[0]['n'])} rows, two threads on two "
        "meshes against one",
        "thread doing both (the C loop through ctypes, which releases the GIL too, is the control)",
    ]
    for t in large:
        one, two = statistics.median(t["one_thread_ns"]), statistics.median(t["two_threads_ns"])
        lines.append(
            f"  {WORKLOADS[t['workload']].name:18} {run['contenders'][t['contender']]:7} "
            f"{t['calls_per_thread']:4} calls per thread   one {one / 1e6:6.1f} ms   two {two / 1e6:6.1f} ms"
            f"   x{t['ratio']:.2f}"
        )
    return lines + _busy(large)


def _small_calls(run: Run) -> list[str]:
    small = [t for t in run["threads"] if t["calls"] == "small"]
    if not small:
        return []
    by = {(t["workload"], t["function"], t["contender"]): t for t in small}
    workloads = [wl for wl in run["config"]["workloads"] if any(t["workload"] == wl for t in small)]
    lines = [
        "",
        f"Threads, small calls: each function at n={small[0]['n']} on two objects, two threads against one",
        "doing both: calls per second in one thread, and the throughput of two threads over one",
        f"({_gil_state(run)})",
        f"  {'':20}" + "".join(f"{WORKLOADS[wl].name:>26}" for wl in workloads),
        f"  {'':20}" + f"{'calls/s':>10}{'quorpy':>8}{'C loop':>8}" * len(workloads),
    ]
    for function in run["config"]["functions"]:
        cells = []
        for wl in workloads:
            ours, control = by.get((wl, function, "quorpy")), by.get((wl, function, "c_loop"))
            cells.append(f"{fmt_ns(_calls_per_s(ours, ours['one_thread_ns'])) if ours else '-':>10}")
            cells += [f"{'x' + format(t['ratio'], '.2f') if t else '-':>8}" for t in (ours, control)]
        lines.append(f"  {function:20}" + "".join(cells))
    return lines + _busy(small)


def _free_threaded(run: Run) -> bool:
    return run["machine"]["python_build"] == "free-threaded"


def _gil_state(run: Run) -> str:
    if not _free_threaded(run):
        return "a build with a GIL, which small calls take turns for: a figure, not a target"
    if run["machine"]["gil"] == "enabled":
        return "free-threaded build, but the GIL was on: an extension module turned it on, or PYTHON_GIL=1"
    return f"free-threaded build, GIL off: the target is {THREADS_TARGET:.2f}"


#: The limits of the targets: quorpy's time over the C loop's at 10^6 (1), its share of the
#: C loop's speed-up over the Python loops and its own speed-up with the cheapest native
#: at 10^5 (2), its time over its allocation's at n=0 (4), and two threads' throughput
#: over one's (5). Against numba (3) the limit is numba itself.
C_LOOP_RATIO = 1.10
SPEEDUP_SHARE = 0.90
ABSOLUTE_SPEEDUP = 100
ALLOCATION_RATIO = 1.30
THREADS_TARGET = 1.70

# Speed-ups over the Python loops are judged absolutely only with the cheapest native:
# with a costlier one the native's own time caps what any loop can reach.
ABSOLUTE_SPEEDUP_WORKLOAD = "cheapest"

#: What each numbered target asks of quorpy; the Targets section and --help print them.
TARGETS = {
    1: f"at n=10^6, at most {C_LOOP_RATIO:.2f}x the plain C loop's time over the same native",
    2: f"at n=10^5, at least {SPEEDUP_SHARE:.2f} of the plain C loop's speed-up over the ctypes and cffi loops "
    f"with the same native, and with the cheapest native at least {ABSOLUTE_SPEEDUP}x theirs",
    3: "at n=10^6 at most numba's time, and up to n=100 less than numba's per call",
    4: f"at n=0, a call that transfers nothing: at most {ALLOCATION_RATIO:.2f}x the NumPy allocation it must make",
    5: f"two threads against one: at least {THREADS_TARGET:.2f}x the throughput with large calls, or as much as "
    "the C loop itself gains where the native or the machine allows less; with small calls on a free-threaded "
    "build only, since with a GIL they take turns for it",
}


def targets_legend(indent: int = 2) -> list[str]:
    """One line (or more) per numbered target."""
    return [line for k, what in TARGETS.items() for line in fill(f"{' ' * indent}({k}) {what}", indent + 4)]


TARGETS_HEADER = "\n".join(
    fill(
        "Targets. Each comparison is judged on its per-round ratios (a round times every contender once, side by "
        "side), whose range is this run's noise: pass if the median meets the target, tie if it does not but some "
        "round does (a difference within the noise), MISS if no round does. What quorpy must reach:",
        0,
    )
    + targets_legend()
)


def verdict(rounds: list[float], limit: float, higher_is_better: bool = False) -> str:
    """pass, tie or MISS. The noise band is the range of the per-round ratios: a rank
    rule that needs no model of the noise. A MISS says that every round missed, which a
    true tie does with odds of 2**(1 - rounds); a tie says the run cannot tell."""

    def meets(r: float) -> bool:
        return r >= limit if higher_is_better else r <= limit

    if meets(statistics.median(rounds)):
        return "pass"
    return "tie" if any(meets(r) for r in rounds) else "MISS"


class Target(TypedDict):
    target: str
    workload: str
    status: str  # pass, tie, MISS; no target (a figure only) or not measured
    note: str
    worst: NotRequired[str]  # the function (and size) of the worst median ratio
    ratio: NotRequired[float]  # that ratio
    band: NotRequired[tuple[float, float]]  # the range of its per-round ratios
    limit: NotRequired[float]
    misses: NotRequired[dict[str, float]]  # median ratios of those that missed
    ties: NotRequired[dict[str, float]]


def targets(run: Run) -> list[Target]:
    """Each target, per workload: the verdict, the worst function's median ratio and
    band, and the functions that missed or tied."""
    cfg, idx = run["config"], Index(run["results"])
    sizes, functions = cfg["sizes"], cfg["functions"]
    out: list[Target] = []

    def check(
        name: str,
        wl: str,
        measured: dict[str, list[float] | None],
        limit: float,
        higher_is_better: bool = False,
        note: str = "",
        judged: bool = True,
        against: str = "",
    ) -> None:
        rounds = {f: r for f, r in measured.items() if r}
        if not rounds:
            why = idx.unavailable(wl, against) or note or "size not in this run"
            out.append(Target(target=name, workload=wl, status="not measured", note=why))
            return
        medians = {f: statistics.median(r) for f, r in rounds.items()}
        verdicts = {f: verdict(r, limit, higher_is_better) for f, r in rounds.items()}
        worst = (min if higher_is_better else max)(medians, key=lambda f: medians[f])
        status = next(s for s in ("MISS", "tie", "pass") if s in verdicts.values())
        if not judged:
            status, verdicts = "no target", {}

        def called(v: str) -> dict[str, float]:
            return {f: round(medians[f], 3) for f in verdicts if verdicts[f] == v}

        out.append(
            Target(
                target=name,
                workload=wl,
                status=status,
                worst=worst,
                ratio=medians[worst],
                band=(min(rounds[worst]), max(rounds[worst])),
                limit=limit,
                note=note,
                misses=called("MISS"),
                ties=called("tie"),
            )
        )

    big, mid = 1_000_000, 100_000
    for wl in cfg["workloads"]:
        check(
            f"(1) n=10^6: quorpy / C loop <= {C_LOOP_RATIO:.2f}",
            wl,
            {f: idx.rounds(wl, f, "quorpy", "c_loop", big) for f in functions},
            C_LOOP_RATIO,
        )
        # Per round (ctypes / quorpy) / (ctypes / C loop): the Python loop's time cancels,
        # so the share is the same over ctypes and cffi.
        check(
            f"(2) n=10^5: share of the C loop's speed-up >= {SPEEDUP_SHARE:.2f}",
            wl,
            {f: idx.rounds(wl, f, "c_loop", "quorpy", mid) for f in functions},
            SPEEDUP_SHARE,
            True,
            _loop_speedups(idx, wl, functions, mid),
        )
        if wl == ABSOLUTE_SPEEDUP_WORKLOAD:
            for other in ("ctypes", "cffi"):
                check(
                    f"(2) n=10^5: {other} loop / quorpy >= {ABSOLUTE_SPEEDUP}",
                    wl,
                    {f: idx.rounds(wl, f, other, "quorpy", mid) for f in functions},
                    ABSOLUTE_SPEEDUP,
                    True,
                    against=other,
                )
        check(
            "(3) n=10^6: quorpy / numba <= 1.00",
            wl,
            {f: idx.rounds(wl, f, "quorpy", "numba", big) for f in functions},
            1.00,
            against="numba",
        )
        per_call = {
            f"{f} n={n}": idx.rounds(wl, f, "quorpy", "numba", n) for f in functions for n in sizes if n <= SMALL
        }
        check("(3) n<=100: quorpy / numba per call < 1.00", wl, per_call, 0.9999, against="numba")
        check(
            f"(4) n=0: quorpy / its numpy allocation <= {ALLOCATION_RATIO:.2f}",
            wl,
            {f: idx.rounds(wl, f, "quorpy", "numpy", 0) for f in functions},
            ALLOCATION_RATIO,
        )
        # As in (2), the C loop's own gain is the most the native and the machine allow:
        # where it falls short of the target, quorpy is judged against it, and says so.
        mine = [t for t in run["threads"] if t["workload"] == wl]
        large = {t["contender"]: t for t in mine if t["calls"] == "large"}
        control = large.get("c_loop")
        size = fmt_size(next(iter(large.values()))["n"]) if large else "?"
        limit = min(THREADS_TARGET, control["ratio"]) if control else THREADS_TARGET
        check(
            f"(5) n={size}: two threads / one >= "
            + (f"{limit:.2f}, the C loop's own gain" if limit < THREADS_TARGET else f"{THREADS_TARGET:.2f}"),
            wl,
            {t["function"]: _thread_rounds(t) for t in large.values() if t["contender"] == "quorpy"},
            limit,
            True,
            _control(control, THREADS_TARGET),
        )
        # Small calls gain only where nothing serialises them: a target on free-threaded
        # builds, a figure on the others. The C loop's control is shown, not used.
        small = [t for t in mine if t["calls"] == "small"]
        gains = [t["ratio"] for t in small if t["contender"] == "c_loop"]
        check(
            f"(5) n={small[0]['n'] if small else '?'}: two threads / one >= {THREADS_TARGET:.2f}, free-threaded",
            wl,
            {t["function"]: _thread_rounds(t) for t in small if t["contender"] == "quorpy"},
            THREADS_TARGET,
            True,
            f"the C loop's control: {min(gains):.2f}-{max(gains):.2f}" if gains else "",
            judged=_free_threaded(run),
        )
    return out


def _loop_speedups(idx: Index, wl: str, functions: Sequence[str], n: int) -> str:
    """What the plain C loop itself reaches over each Python loop: the native's limit."""
    notes = []
    for other in ("ctypes", "cffi"):
        reach = [x for f in functions if (x := idx.ratio(wl, f, other, "c_loop", n))]
        if reach:
            extra = any((r := idx.get(wl, f, other, n)) and r.status == "extrapolated" for f in functions)
            notes.append(f"{other} {fmt_3(min(reach))}-{fmt_3(max(reach))}x" + ("~" if extra else ""))
    return "the C loop over " + ", ".join(notes) if notes else ""


def _control(figure: Figure | None, target: float) -> str:
    """The C loop's own threads figure, and whether it set the limit in place of the target."""
    if not figure:
        return ""
    note = f"the C loop's control: {figure['ratio']:.2f}"
    if figure["ratio"] < target:
        note += f", short of {target:.2f}: the native's or the machine's limit"
    return note


def _thread_rounds(figure: Figure | None) -> list[float] | None:
    if not figure:
        return None
    return [one / two for one, two in zip(figure["one_thread_ns"], figure["two_threads_ns"])]


# Other processes' load above which a run's verdicts are not to be trusted: half a
# core on a small machine takes a core from every other batch.
BUSY_CORES = 0.5


def targets_text(rows: list[Target], other_cores_busy: float | None = None) -> str:
    lines = ["", TARGETS_HEADER]
    if other_cores_busy is not None and other_cores_busy >= BUSY_CORES:
        lines += fill(
            f"Other processes kept {other_cores_busy:.2f} cores busy during this run: its noise exceeds "
            "what its rounds show; rerun on an idle machine before trusting a MISS.",
            0,
        )
    for wl in dict.fromkeys(t["workload"] for t in rows):
        lines.append(f"  {WORKLOADS[wl].name}")
        for t in (t for t in rows if t["workload"] == wl):
            shown = t["status"] if t["status"] in ("pass", "tie", "MISS") else "-"
            parts = [f"    {shown:5} {t['target']}:"]
            if t["status"] == "not measured":
                parts.append(f"not measured: {t['note']}")
            else:
                low, high = t["band"]
                parts.append(f"worst {fmt_3(t['ratio'])} [{fmt_3(low)}-{fmt_3(high)}] ({t['worst']})")
                for key in ("misses", "ties"):
                    if t[key]:
                        parts[-1] += ";"
                        parts += [f"{key}:"] + [f"{f} {fmt_3(r)}," for f, r in t[key].items()]
                        parts[-1] = parts[-1].rstrip(",")
                if t["note"]:
                    parts.append(f"[{t['note']}]")
                if t["status"] == "no target":
                    parts.append("[with a GIL: a figure, not a target]")
            # Each part stays on one line.
            lines += fill(" ".join(part.replace(" ", NBSP) for part in parts), 10)
    return "\n".join(lines)


def to_json(run: Run, target_rows: list[Target]) -> str:
    results = []
    for r in run["results"]:
        d = asdict(r)
        d["samples_ns_per_call"] = d.pop("samples")
        if r.samples:
            d["median_ns_per_call"], d["min_ns_per_call"] = r.median, r.min
            d["median_ns_per_element"] = r.median / r.n if r.n else None
        results.append(d)
    doc = {k: v for k, v in run.items() if k != "results"}
    return json.dumps({**doc, "results": results, "targets": target_rows}, indent=1)
