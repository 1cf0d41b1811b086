"""Import, failed import, re-import, re-execution and interpreters: the module's
process-wide state over the life of a process.

Apart from the first two, each check runs in a fresh interpreter process of its own,
since what it exercises (the first import, the interpreter that made it, the one
executed module object) cannot be undone within a process.
"""

from __future__ import annotations

import importlib
import importlib.machinery
import importlib.util
import json
import subprocess
import sys
import sysconfig

import numpy as np
import pytest

from helpers import FUNCTIONS

INTERPRETER_CHANGE = "Interpreter change detected - this module can only be loaded into one interpreter per process."
REINITIALISATION = "Module '_fastloop' has already been imported. Re-initialisation is not supported."
NO_SUBINTERPRETERS = "module quorpy._fastloop does not support loading in subinterpreters"
NUMPY_HALTED = "import of numpy halted; None in sys.modules"


def test_reimport_returns_the_same_module(fastloop, monkeypatch):
    # importlib writes the new spec onto whatever module it gets back; put it back.
    monkeypatch.setattr(fastloop, "__spec__", fastloop.__spec__)
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


# Shared by the scripts: a round trip through every family of functions against the
# reference runtime, returning True when everything came back as sent.
ROUND_TRIP = rf"""
def round_trip(m):
    import numpy as np
    from quorpy.reference import Runtime
    with Runtime() as rt:
        mesh = rt.new_mesh()
        v = np.arange(12, dtype=np.float32).reshape(4, 3) - 5.5
        t = np.arange(6, dtype=np.int32).reshape(2, 3)
        m.add_vertices(*rt.args("add_vertex", mesh), v)
        m.add_triangles(*rt.args("add_triangle", mesh), t)
        ok = np.array_equal(m.read_vertices(*rt.args("get_vertex", mesh), 4), v)
        ok &= np.array_equal(m.read_triangles(*rt.args("get_triangle", mesh), 2), t)
        sf, vf = rt.new_scalar_field(), rt.new_vector_field()
        m.scalar_set_many(*rt.args("scalar_set", sf), v, v[:, 0].copy())
        vals, found = m.scalar_get_many(*rt.args("scalar_sample", sf), v)
        ok &= bool(found.all()) and np.array_equal(vals, v[:, 0])
        m.vector_set_many(*rt.args("vector_set", vf), v, -v)
        vecs, found = m.vector_get_many(*rt.args("vector_sample", vf), v)
        ok &= bool(found.all()) and np.array_equal(vecs, -v)
        coords, vals = m.scalar_active_values(*rt.args("scalar_traverse", sf))
        ok &= np.array_equal(coords, v) and np.array_equal(vals, v[:, 0])
        coords, vecs = m.vector_active_values(*rt.args("vector_traverse", vf))
        ok &= np.array_equal(coords, v) and np.array_equal(vecs, -v)
        return bool(ok)


def traceback_names(exc):
    names, tb = [], exc.__traceback__
    while tb is not None:
        names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    return names


FUNCTIONS = {list(FUNCTIONS)!r}
"""


def run_report(run_python, body: str) -> dict:
    """Run the script in a fresh interpreter; it prints one JSON report last."""
    proc = run_python(ROUND_TRIP + body)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


def test_the_import_is_silent_and_leaves_the_gil_as_it_was(run_python):
    # Built for this interpreter, the module warns of nothing (every warning is an error
    # here); on a free-threaded build it declares that it needs no GIL, so the import
    # does not turn the GIL on. PYTHON_GIL would decide that instead: it is removed.
    proc = run_python(
        """
import json, sys, warnings
warnings.simplefilter("error")
import quorpy._fastloop
print(json.dumps(sys._is_gil_enabled()))
""",
        env_changes={"PYTHON_GIL": None},
    )
    assert (proc.returncode, proc.stderr) == (0, "")
    free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    assert json.loads(proc.stdout) is not free_threaded


def test_import_without_numpy_fails_then_succeeds_once_numpy_is_back(run_python):
    report = run_report(
        run_python,
        r"""
import json, sys
sys.modules["numpy"] = None
report = {}
try:
    import quorpy._fastloop
except ImportError as exc:
    report["error"] = str(exc)
    names = traceback_names(exc)
    report["init_entries"] = names.count("init quorpy._fastloop")
    report["innermost"] = names[-1]
report["left_in_sys_modules"] = "quorpy._fastloop" in sys.modules

del sys.modules["numpy"]
import numpy
import quorpy._fastloop as m
report["np"] = m.np is numpy
report["public"] = sorted(n for n in vars(m) if not n.startswith("_"))
report["round_trip"] = round_trip(m)
print(json.dumps(report))
""",
    )
    assert report == {
        "error": NUMPY_HALTED,
        "init_entries": 1,
        # The entry stands where the failure happened: below the import machinery.
        "innermost": "init quorpy._fastloop",
        "left_in_sys_modules": False,
        "np": True,
        "public": sorted(["np", *FUNCTIONS]),
        "round_trip": True,
    }


def test_loaded_under_another_name_it_is_still_the_module(run_python):
    report = run_report(
        run_python,
        r"""
import importlib.machinery, importlib.util, json, sys
path = importlib.util.find_spec("quorpy._fastloop").origin
loader = importlib.machinery.ExtensionFileLoader("elsewhere._fastloop", path)
m = importlib.util.module_from_spec(importlib.util.spec_from_loader("elsewhere._fastloop", loader))
loader.exec_module(m)
report = {"name": m.__name__, "registered": sys.modules["quorpy._fastloop"] is m}
report["modules"] = sorted({getattr(m, n).__module__ for n in FUNCTIONS})
report["round_trip"] = round_trip(m)
print(json.dumps(report))
""",
    )
    assert report == {
        "name": "elsewhere._fastloop",
        "registered": True,
        "modules": ["quorpy._fastloop"],
        "round_trip": True,
    }


def test_a_second_module_object_cannot_be_executed_once_one_has_been(run_python):
    report = run_report(
        run_python,
        r"""
import _imp, importlib.util, json, sys
spec = importlib.util.find_spec("quorpy._fastloop")
# Made by the create step before any import has executed: a module of its own.
early = importlib.util.module_from_spec(spec)
import quorpy._fastloop as good
report = {"distinct": good is not early}
try:
    spec.loader.exec_module(early)
except RuntimeError as exc:
    report["early_exec"] = [str(exc), traceback_names(exc).count("init quorpy._fastloop")]
report["early_names"] = sorted(n for n in vars(early) if not n.startswith("__"))
report["good_is_registered"] = sys.modules["quorpy._fastloop"] is good

# Executing the module that succeeded once more changes nothing.
functions = {n: getattr(good, n) for n in FUNCTIONS}
test_dict, np_before = good.__test__, good.np
good.marker = "kept"
report["exec_good"] = _imp.exec_dynamic(good)
report["rebound"] = [n for n in FUNCTIONS if getattr(good, n) is not functions[n]]
report["kept"] = [good.marker, good.__test__ is test_dict, good.np is np_before]
report["round_trip"] = round_trip(good)
print(json.dumps(report))
""",
    )
    assert report == {
        "distinct": True,
        # Refused before the body runs: no init entry, nothing bound.
        "early_exec": [REINITIALISATION, 0],
        "early_names": [],
        "good_is_registered": True,
        "exec_good": 0,
        "rebound": [],
        "kept": ["kept", True, True],
        "round_trip": True,
    }


def test_after_a_failed_import_a_new_module_object_executes_in_full(run_python):
    report = run_report(
        run_python,
        r"""
import _imp, importlib, importlib.util, json, sys
sys.modules["numpy"] = None
spec = importlib.util.find_spec("quorpy._fastloop")
failed = importlib.util.module_from_spec(spec)
report = {}
try:
    spec.loader.exec_module(failed)
except ImportError as exc:
    report["failed"] = str(exc)
# The failed execution registered its module object; a later import must not get it.
sys.modules.pop("quorpy._fastloop", None)
# The failure recorded no module: the create step makes a new one.
later = importlib.util.module_from_spec(spec)
report["new_object"] = later is not failed
del sys.modules["numpy"]
import numpy
report["exec_later"] = _imp.exec_dynamic(later)
report["public"] = sorted(n for n in vars(later) if not n.startswith("_"))
report["np"] = later.np is numpy
report["round_trip"] = round_trip(later)
# It is now the one module: an import through the create step hands it back...
sys.modules.pop("quorpy._fastloop", None)
report["same_on_import"] = importlib.import_module("quorpy._fastloop") is later
# ...and the object of the failed execution stays as it was left.
report["failed_exec_again"] = _imp.exec_dynamic(failed)
report["failed_names"] = sorted(n for n in vars(failed) if not n.startswith("__"))
print(json.dumps(report))
""",
    )
    assert report == {
        "failed": NUMPY_HALTED,
        "new_object": True,
        "exec_later": 0,
        "public": sorted(["np", *FUNCTIONS]),
        "np": True,
        "round_trip": True,
        "same_on_import": True,
        # The interpreter executes a module object once, failed or not: this returns
        # without running the module's execute step.
        "failed_exec_again": 0,
        "failed_names": [],
    }


def test_reload_keeps_the_module_as_it_is(run_python):
    report = run_report(
        run_python,
        r"""
import importlib, json
import quorpy._fastloop as m
functions = {n: getattr(m, n) for n in FUNCTIONS}
m.marker = "kept"
again = importlib.reload(m)
report = {
    "same": again is m,
    "rebound": [n for n in FUNCTIONS if getattr(m, n) is not functions[n]],
    "marker": m.marker,
    "round_trip": round_trip(m),
}
print(json.dumps(report))
""",
    )
    assert report == {"same": True, "rebound": [], "marker": "kept", "round_trip": True}


SUBINTERPRETER_HELPERS = r"""
import _interpreters

def run_in(interp, code):
    r = _interpreters.run_string(interp, code)
    return None if r is None else [r.type.__name__, r.msg]
"""


NUMPY_IN_A_SUBINTERPRETER = r"""
import _interpreters, json
interp = _interpreters.create("legacy")
r = _interpreters.run_string(interp, "import numpy")
print(json.dumps(None if r is None else f"{r.type.__name__}: {r.msg.strip().splitlines()[-1]}"))
"""


@pytest.fixture(scope="session")
def numpy_refuses_subinterpreters() -> str | None:
    """Why NumPy cannot be imported in a legacy subinterpreter here, or None if it can.
    Some NumPy releases fail inside their own import there ("CPU dispatcher tracer
    already initlized"), and free-threaded builds refuse subinterpreters outright."""
    proc = subprocess.run(
        [sys.executable, "-c", NUMPY_IN_A_SUBINTERPRETER], capture_output=True, text=True, timeout=120
    )
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


def test_a_legacy_subinterpreter_that_imports_first_keeps_the_module(run_python, numpy_refuses_subinterpreters):
    # The module takes whichever interpreter runs its create step first; here that is a
    # subinterpreter, and the main interpreter is the one refused afterwards.
    if numpy_refuses_subinterpreters:
        pytest.skip(f"NumPy {np.__version__} cannot be imported in a subinterpreter: {numpy_refuses_subinterpreters}")
    report = run_report(
        run_python,
        SUBINTERPRETER_HELPERS
        + r"""
import json, warnings
warnings.simplefilter("ignore")
interp = _interpreters.create("legacy")
inner = (
    "import warnings\n"
    "warnings.simplefilter('ignore')\n"
    + ROUND_TRIP_SOURCE
    + "import quorpy._fastloop as m\n"
    "assert round_trip(m)\n"
)
report = {"sub": run_in(interp, inner)}
try:
    import quorpy._fastloop
except ImportError as exc:
    report["main"] = str(exc)
report["sub_again"] = run_in(
    interp, "import quorpy._fastloop as m\nassert m.read_vertices(0, 0, 0, 0).shape == (0, 3)\n"
)
_interpreters.destroy(interp)
print(json.dumps(report))
""".replace("ROUND_TRIP_SOURCE", repr(ROUND_TRIP)),
    )
    assert report == {"sub": None, "main": INTERPRETER_CHANGE, "sub_again": None}


def test_the_interpreter_of_a_failed_import_is_kept(run_python):
    # The first create step records its interpreter even when execution then fails.
    report = run_report(
        run_python,
        SUBINTERPRETER_HELPERS
        + r"""
import json, sys
sys.modules["numpy"] = None
report = {}
try:
    import quorpy._fastloop
except ImportError as exc:
    report["main"] = str(exc)
del sys.modules["numpy"]
interp = _interpreters.create("legacy")
report["sub"] = run_in(interp, "import quorpy._fastloop")
_interpreters.destroy(interp)
import quorpy._fastloop as m
report["round_trip"] = round_trip(m)
print(json.dumps(report))
""",
    )
    assert report == {"main": NUMPY_HALTED, "sub": ["ImportError", INTERPRETER_CHANGE], "round_trip": True}


@pytest.mark.parametrize("main_first", [False, True], ids=["before the main import", "after the main import"])
def test_an_isolated_subinterpreter_is_refused_by_the_interpreter(run_python, main_first):
    # The module declares no support for several interpreters, so an isolated one
    # refuses it before the module's own create step runs: nothing is recorded, and
    # the main interpreter can still import it afterwards.
    report = run_report(
        run_python,
        SUBINTERPRETER_HELPERS
        + f"MAIN_FIRST = {main_first!r}\n"
        + r"""
import json
if MAIN_FIRST:
    import quorpy._fastloop
interp = _interpreters.create()
report = {"isolated": run_in(interp, "import quorpy._fastloop")}
_interpreters.destroy(interp)
import quorpy._fastloop as m
report["round_trip"] = round_trip(m)
print(json.dumps(report))
""",
    )
    assert report == {"isolated": ["ImportError", NO_SUBINTERPRETERS], "round_trip": True}


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
