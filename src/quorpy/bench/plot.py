"""The log-log chart: time per element against size, one panel per function and
workload, one line per contender. matplotlib is imported only here."""

from __future__ import annotations

from quorpy.bench.report import Index
from quorpy.bench.suite import Run
from quorpy.bench.workloads import WORKLOADS


def require_matplotlib() -> str | None:
    """None if matplotlib can be used, else what to tell the user."""
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return "--plot needs matplotlib, which is not installed: pip install 'quorpy[bench]' (or matplotlib)"
    return None


def title(run: Run) -> str:
    """What the chart shows the figures of: the kind of run, the machine, the date."""
    v, m = run["versions"], run["machine"]
    return (
        f"quorpy {v['quorpy']}, {run['kind']} run of {run['date'][:10]}: {m['cpu']}, {m['cpus']} cpus, "
        f"CPython {v['python']}{' free-threaded' if m['python_build'] == 'free-threaded' else ''}"
    )


def plot(run: Run, path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    cfg, idx = run["config"], Index(run["results"])
    functions, workloads = cfg["functions"], cfg["workloads"]
    cols = min(5, len(functions))
    rows_per = -(-len(functions) // cols)
    fig, axes = plt.subplots(
        rows_per * len(workloads), cols, figsize=(4 * cols, 3.2 * rows_per * len(workloads)), squeeze=False, sharex=True
    )
    for w, wl in enumerate(workloads):
        for i, function in enumerate(functions):
            ax = axes[w * rows_per + i // cols][i % cols]
            for key, label in run["contenders"].items():
                pts = [r for n in cfg["sizes"] if (r := idx.get(wl, function, key, n)) and r.status == "measured"]
                if pts:
                    ax.plot([r.n for r in pts], [r.median / r.n for r in pts], marker="o", ms=3, label=label)
            ax.set_xscale("log")
            ax.set_yscale("log")
            ax.set_title(f"{function}\n{WORKLOADS[wl].name}", fontsize=9)
            ax.grid(True, which="both", alpha=0.3)
            if i % cols == 0:
                ax.set_ylabel("ns per element")
            ax.set_xlabel("elements per call")
    handles, labels = axes[0][0].get_legend_handles_labels()
    fig.suptitle(title(run), y=0.995)
    fig.legend(handles, labels, loc="upper center", ncol=len(labels), bbox_to_anchor=(0.5, 0.975))
    fig.tight_layout(rect=(0, 0, 1, 0.95))
    fig.savefig(path, dpi=90)
    plt.close(fig)
