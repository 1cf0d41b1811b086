"""Builds the test natives (tests/native/CMakeLists.txt) and loads the badbuffer module.

``build_natives(root)`` configures and builds the CMake project once into a directory
under `root` named after a hash of everything the build reads and of the interpreter;
a later run with the same inputs reuses it. When the suite runs under the sanitizers
(QUORPY_SANITIZED names the sanitizer: address or thread), the natives are built with
it like the package (QUORPY_SANITIZE, cmake/sanitize.cmake).
"""

from __future__ import annotations

import fcntl
import hashlib
import importlib.machinery
import importlib.util
import os
import shutil
import subprocess
import sys
import sysconfig
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from types import ModuleType

import quorpy

ROOT = Path(__file__).resolve().parent.parent
PROJECT = ROOT / "tests" / "native"
INCLUDE = Path(quorpy.get_include())
SANITIZED = os.environ.get("QUORPY_SANITIZED", "OFF")


@dataclass(frozen=True)
class Natives:
    recorder: Path
    extra_traverse: Path
    badbuffer: Path


def _inputs() -> Iterator[tuple[str, Path]]:
    """Every file the build depends on, each with a name for it: this one (the configure
    options), the project, the shared CMake code, the package's headers in the tree and
    the installed header the natives are written against."""
    headers = (ROOT / "src" / "quorpy").rglob("*.h*")
    candidates = [Path(__file__).resolve(), *PROJECT.iterdir(), *(ROOT / "cmake").iterdir(), *headers]
    for path in sorted(p for p in candidates if p.is_file()):
        yield str(path.relative_to(ROOT)), path
    for path in sorted(p for p in INCLUDE.rglob("*.h") if p.is_file()):
        yield str(path), path


def _key() -> str:
    digest = hashlib.sha256()
    for name, path in _inputs():
        digest.update(name.encode() + b"\0" + path.read_bytes())
    digest.update(f"{sys.executable}\0{sys.version}\0{SANITIZED}".encode())
    return digest.hexdigest()[:16]


def _tool(name: str) -> str | None:
    """A build tool installed next to the interpreter (the venv) or on PATH."""
    local = Path(sys.executable).with_name(name)
    return str(local) if local.exists() else shutil.which(name)


def _run(cmd: list[str]) -> None:
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError(f"building the test natives failed: {' '.join(cmd)}\n{proc.stdout}{proc.stderr}")


def _build(build: Path) -> None:
    cmake = _tool("cmake")
    if cmake is None:
        raise RuntimeError("building the test natives needs cmake, next to the interpreter or on PATH")
    configure = [
        cmake,
        "-S",
        str(PROJECT),
        "-B",
        str(build),
        "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
        f"-DPython_EXECUTABLE={sys.executable}",
        f"-DQUORPY_SANITIZE={SANITIZED}",
        f"-DQUORPY_INCLUDE={INCLUDE}",
    ]
    ninja = _tool("ninja")
    if ninja is not None:
        configure += ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}"]
    _run(configure)
    _run([cmake, "--build", str(build)])


def build_natives(root: os.PathLike | str) -> Natives:
    """Build the test natives under root (or reuse an earlier build) and return their paths."""
    build = Path(root) / _key()
    build.mkdir(parents=True, exist_ok=True)
    natives = Natives(
        recorder=build / "librecorder.so",
        extra_traverse=build / "libextra_traverse.so",
        badbuffer=build / f"badbuffer{sysconfig.get_config_var('EXT_SUFFIX')}",
    )
    # Runs of the suite may share the cache: one builds while the others wait.
    with open(build / ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        done = build / ".built"
        if not done.exists():
            _build(build)
            done.touch()
    return natives


def load_badbuffer(path: os.PathLike | str) -> ModuleType:
    """Import the built extension as the module ``badbuffer`` (once per process)."""
    if "badbuffer" in sys.modules:
        return sys.modules["badbuffer"]
    loader = importlib.machinery.ExtensionFileLoader("badbuffer", str(path))
    spec = importlib.util.spec_from_file_location("badbuffer", str(path), loader=loader)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    sys.modules["badbuffer"] = module
    return module
