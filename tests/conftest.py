"""Shared fixtures: the test natives (the recording library, the meeting traversals,
the badbuffer module), the extension module, and a way to run a snippet in a fresh
interpreter."""

from __future__ import annotations

import os
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).parent))

from natives import Natives, build_natives, load_badbuffer  # noqa: E402
from recorder import Recorder  # noqa: E402

TESTS_DIR = Path(__file__).parent


# Fixtures whose one object every thread of a test would share: the recorder's log, a
# runtime object a test fills. Under pytest-run-parallel (--parallel-threads), a test
# that uses one runs in a single thread; every other test runs in all of them at once.
SHARED_STATE_FIXTURES = ("recorder", "rec", "quiet", "field", "meeting_traversals")


@pytest.hookimpl(tryfirst=True)
def pytest_configure(config):
    # The plugin's own marker, declared for runs without it (the suite also runs outside
    # the source tree, against an installed wheel).
    config.addinivalue_line("markers", "thread_unsafe: changes process-wide state; runs in one thread")
    if config.pluginmanager.hasplugin("run-parallel"):
        for name in SHARED_STATE_FIXTURES:
            config.addinivalue_line("thread_unsafe_fixtures", name)


@pytest.fixture(scope="session")
def natives(request, tmp_path_factory) -> Natives:
    """Paths of the test natives (built once, cached across runs)."""
    cache = getattr(request.config, "cache", None)
    dest = cache.mkdir("quorpy-natives") if cache is not None else tmp_path_factory.mktemp("natives")
    try:
        return build_natives(dest)
    except (RuntimeError, OSError):
        # A stale or unwritable cache must not stop the run: build afresh.
        return build_natives(tmp_path_factory.mktemp("natives"))


@pytest.fixture(scope="session")
def recorder_path(natives) -> Path:
    return natives.recorder


@pytest.fixture(scope="session")
def badbuffer(natives):
    """The badbuffer module: ``badbuffer.Exporter(nbytes, format=..., ...)`` makes a
    buffer exporter that ignores the request flags (see tests/native/badbuffer.c)."""
    return load_badbuffer(natives.badbuffer)


@pytest.fixture(scope="session")
def recorder(recorder_path) -> Recorder:
    return Recorder(recorder_path)


@pytest.fixture
def rec(recorder) -> Recorder:
    """The recorder with an empty log and default behaviour, reset again afterwards."""
    recorder.reset()
    yield recorder
    recorder.reset()


@pytest.fixture(scope="session")
def fastloop():
    from quorpy import _fastloop

    return _fastloop


@pytest.fixture(autouse=True)
def _np_binding_restored(request):
    """Every test leaves the module global np bound to NumPy (tests that rebind
    or delete it use monkeypatch; this catches one that forgets)."""
    yield
    mod = sys.modules.get("quorpy._fastloop")
    if mod is not None and mod.__dict__.get("np") is not np:
        mod.np = np
        pytest.fail("test left quorpy._fastloop.np rebound")


@pytest.fixture(scope="session", autouse=True)
def _gil_stays_off():
    """On a free-threaded build the whole session runs without the GIL: an extension
    module loaded on the way that does not declare it safe would turn the GIL on, and
    the thread tests would no longer test anything new."""
    free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    chosen = os.environ.get("PYTHON_GIL")
    yield
    if free_threaded and chosen != "1":
        assert not sys._is_gil_enabled(), "a module loaded during the session turned the GIL on"


@pytest.fixture
def run_python(recorder_path):
    """Run code in a fresh interpreter (same executable and environment, with
    tests/ on sys.path and RECORDER_PATH set) and return the completed process.
    For checks that touch process-wide state or could take the process down."""

    def run(code: str, timeout: float = 120, env_changes: dict[str, str | None] | None = None):
        """`env_changes` sets variables, or removes those it maps to None."""
        env = dict(os.environ)
        for name, value in (env_changes or {}).items():
            if value is None:
                env.pop(name, None)
            else:
                env[name] = value
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(TESTS_DIR), env.get("PYTHONPATH")]))
        env["RECORDER_PATH"] = str(recorder_path)
        return subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            capture_output=True,
            text=True,
            timeout=timeout,
            env=env,
        )

    return run
