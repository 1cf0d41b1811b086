"""Shared libraries built and installed with the package, found by CMake target name.

CMake installs them next to the extension module, which is not always next to the
Python sources: an editable install keeps those in the source tree. So the extension
module's own location is the place to look.
"""

from __future__ import annotations

import importlib.util
import sys
from pathlib import Path


def file_names(target: str, platform: str = sys.platform) -> list[str]:
    """The file names a shared library of CMake target ``target`` has on ``platform``."""
    if platform == "win32":
        return [f"{target}.dll", f"lib{target}.dll"]  # MSVC, MinGW
    if platform == "darwin":
        return [f"lib{target}.dylib"]
    return [f"lib{target}.so"]


def library_dir() -> Path:
    """The directory the extension module (and with it every shared library) is in."""
    spec = importlib.util.find_spec("quorpy._fastloop")
    if spec is None or spec.origin is None:
        raise ImportError("quorpy._fastloop is not installed")
    return Path(spec.origin).parent


def library_path(target: str) -> str:
    """Path of the shared library of ``target``; if it is missing, the path it would
    have, so that loading it fails with the loader's own error."""
    directory = library_dir()
    names = file_names(target)
    found = [directory / name for name in names if (directory / name).is_file()]
    return str(found[0] if found else directory / names[0])
