"""Bulk transfer between NumPy arrays and a native mesh/field runtime.

``quorpy._fastloop`` holds the compiled transfer functions; ``quorpy.reference`` is a
small reference runtime to drive them against; ``get_include()`` locates the C header
that natives are written against.
"""

from importlib.metadata import version as _version
from pathlib import Path as _Path

__all__ = ["__version__", "get_include"]

__version__ = _version("quorpy")


def get_include() -> str:
    """The directory to put on a C or C++ compiler's include path (``-I``) so that a
    native written against the package's types can ``#include <quorpy/native.h>``.

    The header ships with the Python sources of the package (not with its compiled
    parts), so it is found next to this file in a normal, wheel or editable install.
    """
    return str(_Path(__file__).resolve().parent / "include")
