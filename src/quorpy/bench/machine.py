"""How busy the rest of the machine was while we measured (Linux; else unknown).

On a small shared machine a neighbour's load skews both the thread figure and the
timings; printing it lets a reader tell a slow result from a busy machine.
"""

from __future__ import annotations

import os
import time


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
        t = os.times()
        return t.user + t.system

    def others(self) -> float | None:
        busy = _busy_seconds()
        if busy is None or self.busy is None:
            return None
        wall = time.monotonic() - self.wall
        other = (busy - self.busy) - (self._own() - self.ours)
        return max(0.0, other / wall) if wall > 0 else None
