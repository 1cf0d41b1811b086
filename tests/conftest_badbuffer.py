"""Builds and loads tests/native/badbuffer.c, a buffer exporter that ignores the
consumer's request flags (see the comment at the top of the C file).

Test modules that need it import the fixture::

    from conftest_badbuffer import badbuffer  # noqa: F401  (fixture)

and then make exporters with ``badbuffer.Exporter(nbytes, format=..., ...)``.
"""

from __future__ import annotations

import hashlib
import importlib.machinery
import importlib.util
import os
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

SOURCE = Path(__file__).with_name("native") / "badbuffer.c"


def build(dest_dir: os.PathLike | str) -> Path:
    """Compile the extension into dest_dir (reused when already there); return its path."""
    digest = hashlib.sha256(SOURCE.read_bytes() + sys.version.encode()).hexdigest()[:16]
    dest_dir = Path(dest_dir)
    dest_dir.mkdir(parents=True, exist_ok=True)
    target = dest_dir / f"badbuffer-{digest}{sysconfig.get_config_var('EXT_SUFFIX')}"
    if target.exists():
        return target
    tmp = target.with_name(f"{target.name}.{os.getpid()}.tmp")
    cmd = [
        os.environ.get("CC", "cc"),
        "-O1",
        "-g",
        "-shared",
        "-fPIC",
        "-Wall",
        "-Werror",
        "-I" + sysconfig.get_paths()["include"],
        "-o",
        str(tmp),
        str(SOURCE),
    ]
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError(f"compiling badbuffer failed: {' '.join(cmd)}\n{proc.stderr}")
    os.replace(tmp, target)
    return target


def load(path: os.PathLike | str):
    """Import the built extension as the module ``badbuffer``."""
    if "badbuffer" in sys.modules:
        return sys.modules["badbuffer"]
    loader = importlib.machinery.ExtensionFileLoader("badbuffer", str(path))
    spec = importlib.util.spec_from_file_location("badbuffer", str(path), loader=loader)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    sys.modules["badbuffer"] = module
    return module


@pytest.fixture(scope="session")
def badbuffer(tmp_path_factory):
    """The badbuffer module, compiled once per session."""
    return load(build(tmp_path_factory.mktemp("badbuffer")))
