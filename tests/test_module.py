"""The module object: its docstring, its namespace, its functions, and what the
shared library exports. Import and re-import are in test_lifecycle.py."""

from __future__ import annotations

import builtins
import inspect
import shutil
import subprocess
import types

import numpy as np
import pytest

from helpers import FUNCTIONS

MODULE_DOC = (
    "Compiled bulk transfer between NumPy and the native Quorlan runtime.\n"
    "\n"
    "The C ABI exposes only per-element getters/setters. Looping over them from\n"
    "Python (one ctypes call each) is slow. Here we take the raw address of a native\n"
    "function (obtained from ctypes) and call it through a typed function pointer in\n"
    "a ``nogil`` loop, writing straight into a contiguous NumPy buffer -- so the\n"
    "whole transfer costs one Python call plus a tight compiled loop.\n"
    "\n"
    "All functions take ``fn`` = the native function's address (an int), the library\n"
    "instance and object handles, and operate on C-contiguous NumPy arrays whose\n"
    "memory layout matches the packed C structs (QLVector3 = 3 float32, QLTriangle =\n"
    "3 int32). ``bool``-returning natives are read as a 1-byte ``unsigned char`` to\n"
    "match the C ABI exactly.\n"
)


def test_docstring_is_exact(fastloop):
    assert fastloop.__doc__ == MODULE_DOC
    assert len(fastloop.__doc__.split("\n")) == 14  # 13 lines, each ended by a line feed


def test_namespace(fastloop):
    assert fastloop.__name__ == "quorpy._fastloop"
    assert fastloop.np is np
    assert type(fastloop.__test__) is dict and fastloop.__test__ == {}
    assert fastloop.__builtins__ is builtins
    assert fastloop.__package__ == "quorpy"
    assert fastloop.__file__ == fastloop.__spec__.origin
    assert fastloop.__loader__ is fastloop.__spec__.loader
    assert not hasattr(fastloop, "__path__")


def test_public_names_are_np_and_the_ten_functions(fastloop):
    public = sorted(name for name in vars(fastloop) if not name.startswith("_"))
    assert public == sorted(["np", *FUNCTIONS])


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_identity(fastloop, name):
    f = getattr(fastloop, name)
    assert isinstance(f, types.BuiltinFunctionType)
    assert f.__name__ == name
    assert f.__qualname__ == name
    assert f.__module__ == "quorpy._fastloop"
    # The signature comes from a doc that holds nothing else.
    assert f.__doc__ is None
    params = inspect.signature(f).parameters.values()
    assert [p.name for p in params] == list(FUNCTIONS[name])
    assert {p.kind for p in params} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}


# Symbols that the linker itself defines in every shared object.
LINKER_SYMBOLS = {"_init", "_fini", "_edata", "_end", "__bss_start"}


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm is not installed")
def test_only_the_init_function_is_exported(fastloop):
    proc = subprocess.run(["nm", "-D", "--defined-only", fastloop.__file__], capture_output=True, text=True, check=True)
    symbols = {line.split()[-1] for line in proc.stdout.splitlines() if line.strip()}
    assert symbols - LINKER_SYMBOLS == {"PyInit__fastloop"}
