"""What ran the benchmark: the machine, the interpreter, the versions of what was
timed, and how busy the rest of the machine was while we measured (Linux; else
unknown).

On a small shared machine a neighbour's load skews both the thread figure and the
timings; printing it lets a reader tell a slow result from a busy machine.
"""

from __future__ import annotations

import importlib.metadata
import os
import platform
import sys
import sysconfig
import time
from typing import TypedDict

#: The free-threaded build of CPython, whose GIL is off unless something turns it on.
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def gil_enabled() -> bool:
    """Whether the GIL is on now (on a free-threaded build, an extension module that does
    not declare itself safe without it, or PYTHON_GIL=1, turns it on)."""
    is_enabled = getattr(sys, "_is_gil_enabled", None)
    return True if is_enabled is None else bool(is_enabled())


def cpu_model() -> str:
    """The processor's name as the kernel gives it, else what the platform module knows."""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                key, _, value = line.partition(":")
                if key.strip() in ("model name", "Model", "Hardware") and value.strip():
                    return value.strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def _version(package: str) -> str | None:
    try:
        return importlib.metadata.version(package)
    except importlib.metadata.PackageNotFoundError:
        return None


class Versions(TypedDict):
    """Of what was timed; the optional contenders' packages are None where not installed."""

    quorpy: str | None
    numpy: str | None
    python: str
    compilers: dict[str, str]  # of the native parts, by language
    numba: str | None
    cffi: str | None


def versions() -> Versions:
    from quorpy.bench import clib

    return {
        "quorpy": _version("quorpy"),
        "numpy": _version("numpy"),
        "python": platform.python_version(),
        "compilers": clib.compilers(),
        "numba": _version("numba"),
        "cffi": _version("cffi"),
    }


class Machine(TypedDict):
    python: str
    python_build: str  # free-threaded or default
    gil: str  # enabled or disabled, at the end of the run
    platform: str
    cpu: str
    cpus: int | None


def describe() -> Machine:
    return {
        "python": platform.python_version(),
        "python_build": "free-threaded" if FREE_THREADED else "default",
        "gil": "enabled" if gil_enabled() else "disabled",
        "platform": platform.platform(),
        "cpu": cpu_model(),
        "cpus": os.cpu_count(),
    }


def _busy_seconds() -> float | None:
    """CPU seconds all processes have spent busy since boot, from /proc/stat."""
    try:
        with open("/proc/stat") as f:
            ticks = [int(x) for x in f.readline().split()[1:9]]
    except (OSError, ValueError):
        return None
    idle = ticks[3] + ticks[4]  # idle, iowait
    return (sum(ticks) - idle) / os.sysconf("SC_CLK_TCK")


class Load:
    """Cores kept busy by other processes between start and stop()."""

    def __init__(self) -> None:
        self.wall, self.busy, self.ours = time.monotonic(), _busy_seconds(), self._own()

    @staticmethod
    def _own() -> float:
        # The processes it started and waited for (the run's measuring parts) count as its own.
        t = os.times()
        return t.user + t.system + t.children_user + t.children_system

    def others(self) -> float | None:
        busy = _busy_seconds()
        if busy is None or self.busy is None:
            return None
        wall = time.monotonic() - self.wall
        other = (busy - self.busy) - (self._own() - self.ours)
        return max(0.0, other / wall) if wall > 0 else None
