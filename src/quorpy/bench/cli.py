"""``python -m quorpy.bench``: run, print the table and the targets, optionally write
the raw figures (--json) and the chart (--plot)."""

from __future__ import annotations

import argparse
import dataclasses
import datetime
import os
import sys
import time

from quorpy.bench import machine, report, suite
from quorpy.bench.workloads import FUNCTIONS

#: How long --quick takes, as measured on a 2-core machine.
QUICK_TAKES = "about 15 s"


def parse(argv: list[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(
        prog="python -m quorpy.bench",
        description="Time quorpy's transfer functions against a plain C loop, numba, ctypes and cffi loops.",
        epilog="\n".join(["The report ends with a verdict on each target:", *report.targets_legend()]),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument("--quick", action="store_true", help=f"a reduced run (smaller sizes, fewer rounds), {QUICK_TAKES}")
    p.add_argument("--json", metavar="FILE", help="write the raw figures to FILE")
    p.add_argument("--plot", metavar="FILE.png", help="draw time per element against size (needs matplotlib)")
    p.add_argument("--functions", metavar="NAME,...", help="only these functions (default: all ten)")
    p.add_argument("--workloads", metavar="NAME,...", help="reference and/or cheapest (default: both)")
    p.add_argument("--version", action="store_true", help="print the versions of what would be timed, and exit")
    return p.parse_args(argv)


def version_text() -> str:
    v = machine.versions()
    build = ", free-threaded" if machine.FREE_THREADED else ""
    return f"quorpy {v['quorpy']} (NumPy {v['numpy']}, CPython {v['python']}{build}, built by {v['compilers']['c++']})"


def _subset(text: str | None, allowed: tuple[str, ...], what: str) -> tuple[str, ...] | None:
    if text is None:
        return None
    chosen = tuple(x.strip() for x in text.split(",") if x.strip())
    unknown = [x for x in chosen if x not in allowed]
    if unknown or not chosen:
        raise SystemExit(f"error: unknown {what}: {', '.join(unknown) or text!r} (known: {', '.join(allowed)})")
    return chosen


def main(argv: list[str] | None = None) -> int:
    args = parse(argv)
    if args.version:
        print(version_text())
        return 0
    if args.plot:
        from quorpy.bench.plot import require_matplotlib

        problem = require_matplotlib()
        if problem:
            print(f"error: {problem}", file=sys.stderr)
            return 2
    cfg = suite.QUICK if args.quick else suite.FULL
    functions = _subset(args.functions, FUNCTIONS, "function")
    workloads = _subset(args.workloads, ("reference", "cheapest"), "workload")
    cfg = dataclasses.replace(cfg, functions=functions or cfg.functions, workloads=workloads or cfg.workloads)

    started = datetime.datetime.now(datetime.UTC)
    t0, load = time.perf_counter(), machine.Load()
    run = suite.run(cfg)
    run["kind"] = "quick" if args.quick else "full"
    run["date"] = started.isoformat(timespec="seconds")
    run["versions"] = machine.versions()
    run["machine"] = machine.describe()
    run["seconds"] = round(time.perf_counter() - t0, 1)
    run["other_cores_busy"] = load.others()
    target_rows = report.targets(run)

    print(report.header(run))
    print(report.table(run))
    print(report.zero_table(run))
    print(report.threads_table(run))
    print(report.targets_text(target_rows, run["other_cores_busy"]))
    busy = run["other_cores_busy"]
    meanwhile = (
        f"; other processes kept {busy:.2f} of {os.cpu_count()} cores busy meanwhile" if busy is not None else ""
    )
    print(f"\n({run['seconds']} s, {run['kind']} run{meanwhile})")
    sys.stdout.flush()
    if args.json:
        with open(args.json, "w") as f:
            f.write(report.to_json(run, target_rows))
        print(f"figures written to {os.path.abspath(args.json)}", file=sys.stderr)
    if args.plot:
        from quorpy.bench.plot import plot

        plot(run, args.plot)
        print(f"chart written to {os.path.abspath(args.plot)}", file=sys.stderr)
    return 0
