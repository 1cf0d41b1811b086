"""Bulk transfer between NumPy arrays and a native mesh/field runtime.

``quorpy._fastloop`` holds the compiled transfer functions; ``quorpy.reference`` is a
small reference runtime to drive them against.
"""

from importlib.metadata import version as _version

__version__ = _version("quorpy")
