"""The module object: its namespace, its functions, import and re-import, and
what the shared library exports."""

from __future__ import annotations

import builtins
import importlib
import importlib.machinery
import importlib.util
import json
import shutil
import subprocess
import sys
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

INTERPRETER_CHANGE = (
    "Interpreter change detected - this module can only be loaded into one interpreter per process."
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
    assert f.__doc__ is None


def test_reimport_returns_the_same_module(fastloop, monkeypatch):
    before = {name: getattr(fastloop, name) for name in FUNCTIONS}
    sentinel = object()
    monkeypatch.setattr(fastloop, "_reimport_marker", sentinel, raising=False)
    monkeypatch.delitem(sys.modules, "quorpy._fastloop")

    again = importlib.import_module("quorpy._fastloop")

    assert again is fastloop
    # The body did not run a second time: nothing was rebound or reset.
    assert again._reimport_marker is sentinel
    assert all(getattr(again, name) is f for name, f in before.items())
    assert again.np is np


def test_loading_the_file_again_gives_the_same_module(fastloop, monkeypatch):
    # importlib writes the new spec onto whatever module it gets back; put it back.
    monkeypatch.setattr(fastloop, "__spec__", fastloop.__spec__)
    monkeypatch.setattr(fastloop, "__loader__", fastloop.__loader__)
    path = fastloop.__file__
    loader = importlib.machinery.ExtensionFileLoader("quorpy._fastloop", path)
    spec = importlib.util.spec_from_file_location("quorpy._fastloop", path, loader=loader)

    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)

    assert mod is fastloop
    assert mod.read_vertices(0, 0, 0, 0).shape == (0, 3)


SUBINTERPRETER_SCRIPT = r"""
import json, sys
import _interpreters
import quorpy._fastloop as m

path = m.__file__
code = f'''
import importlib.machinery, importlib.util
loader = importlib.machinery.ExtensionFileLoader("quorpy._fastloop", {path!r})
spec = importlib.util.spec_from_file_location("quorpy._fastloop", {path!r}, loader=loader)
mod = importlib.util.module_from_spec(spec)
'''
interp = _interpreters.create("legacy")
results = []
for _ in range(2):
    r = _interpreters.run_string(interp, code)
    results.append(None if r is None else [r.type.__name__, r.msg])
_interpreters.destroy(interp)
# The first interpreter keeps working.
out = m.read_vertices(0, 1, 2, 0)
print(json.dumps({"results": results, "shape": list(out.shape), "np": m.np is sys.modules["numpy"]}))
"""


def test_second_interpreter_is_refused(run_python):
    # In a child process: creating a subinterpreter changes process-wide state
    # (it turns PyGILState_Check off for good) that later tests rely on.
    proc = run_python(SUBINTERPRETER_SCRIPT)
    assert proc.returncode == 0, proc.stderr
    report = json.loads(proc.stdout.strip().splitlines()[-1])
    assert report["results"] == [["ImportError", INTERPRETER_CHANGE]] * 2
    assert report["shape"] == [0, 3]
    assert report["np"] is True


FAILED_IMPORT_SCRIPT = r"""
import json, sys, traceback
import importlib.abc

class NoNumpy(importlib.abc.MetaPathFinder):
    def find_spec(self, name, path=None, target=None):
        if name == "numpy" or name.startswith("numpy."):
            raise ImportError("numpy is blocked here")
        return None

assert "numpy" not in sys.modules
blocker = NoNumpy()
sys.meta_path.insert(0, blocker)
report = {}
try:
    import quorpy._fastloop
except ImportError as exc:
    report["error"] = str(exc)
    names = []
    tb = exc.__traceback__
    while tb is not None:
        names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    report["init_entries"] = names.count("init quorpy._fastloop")
report["in_sys_modules"] = "quorpy._fastloop" in sys.modules
sys.meta_path.remove(blocker)

import numpy
import quorpy._fastloop as m
report["np_after"] = m.np is numpy
report["functions"] = sorted(n for n in vars(m) if not n.startswith("_"))
report["shape"] = list(m.read_triangles(0, 0, 0, 0).shape)
print(json.dumps(report))
"""


def test_failed_import_leaves_the_next_import_to_start_afresh(run_python):
    proc = run_python(FAILED_IMPORT_SCRIPT)
    assert proc.returncode == 0, proc.stderr
    report = json.loads(proc.stdout.strip().splitlines()[-1])
    assert report["error"] == "numpy is blocked here"
    assert report["init_entries"] == 1
    assert report["in_sys_modules"] is False
    assert report["np_after"] is True
    assert report["functions"] == sorted(["np", *FUNCTIONS])
    assert report["shape"] == [0, 3]


# Symbols that the linker itself defines in every shared object.
LINKER_SYMBOLS = {"_init", "_fini", "_edata", "_end", "__bss_start"}


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm is not installed")
def test_only_the_init_function_is_exported(fastloop):
    proc = subprocess.run(
        ["nm", "-D", "--defined-only", fastloop.__file__], capture_output=True, text=True, check=True
    )
    symbols = {line.split()[-1] for line in proc.stdout.splitlines() if line.strip()}
    assert symbols - LINKER_SYMBOLS == {"PyInit__fastloop"}
