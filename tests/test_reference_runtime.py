"""The reference runtime, exercised through ctypes alone, and what ships with it: the
libraries, the C header of the native types and the README's examples."""

import ctypes
import gc
import importlib.util
import os
import re
import shlex
import shutil
import struct
import subprocess
import sys
import threading
import warnings
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pytest

from quorpy import _fastloop, _libs, get_include, reference
from quorpy.bench import clib
from quorpy.reference import ENTRY_POINTS, TRAVS_CB, TRAVV_CB, Runtime

from natives import SANITIZED

INT_MAX = 2**31 - 1
F3 = ctypes.c_float * 3
I3 = ctypes.c_int32 * 3


def bits(x):
    return struct.unpack("=I", struct.pack("=f", x))[0]


def f3_from_bits(*b):
    """Three floats with exactly the given bit patterns."""
    return F3.from_buffer_copy(struct.pack("=3I", *b))


@pytest.fixture
def rt():
    with Runtime() as r:
        yield r


# -- handles and counts ---------------------------------------------------------


def test_handles_are_nonzero_and_distinct(rt):
    with Runtime() as other:
        hs = [rt.inst, other.inst, rt.new_mesh(), rt.new_scalar_field(), rt.new_vector_field(), other.new_mesh()]
    assert 0 not in hs
    assert len(set(hs)) == len(hs)


def test_objects_belong_to_their_instance(rt):
    mesh = rt.new_mesh()
    rt.add_vertex(mesh, (1, 2, 3))
    with Runtime() as other:
        assert other.vertex_count(mesh) == -1
        assert other.add_vertex(mesh, (0, 0, 0)) == -1
    assert rt.vertex_count(mesh) == 1


def test_destroy_object(rt):
    f = rt.new_scalar_field()
    rt.scalar_set(f, (0, 0, 0), 1.0)
    assert rt.lib.qlref_object_destroy(rt.inst, f) == 0
    assert rt.lib.qlref_object_destroy(rt.inst, f) == -1
    assert rt.field_count(f) == -1
    assert rt.scalar_sample(f, (0, 0, 0)) is None
    with pytest.raises(KeyError):
        rt.destroy(f)


def test_close_destroys_instance_and_objects():
    rt = Runtime()
    inst, mesh = rt.inst, rt.new_mesh()
    rt.close()
    rt.close()
    assert rt.lib.qlref_mesh_vertex_count(inst, mesh) == -1
    assert rt.lib.qlref_mesh_create(inst) == 0
    with pytest.raises(ValueError):
        rt.args("get_vertex", mesh)


@pytest.mark.thread_unsafe  # the unraisable hook and the warning filters are the process's
@pytest.mark.parametrize("closed", [True, False])
def test_a_runtime_collected_unclosed_is_destroyed_with_a_resource_warning(closed):
    rt = Runtime()
    lib, inst, mesh = rt.lib, rt.inst, rt.new_mesh()
    if closed:
        rt.close()
    seen = []
    # As under -W error::ResourceWarning: the warning raised in __del__ reaches the hook.
    with warnings.catch_warnings():
        warnings.simplefilter("error", ResourceWarning)
        hook, sys.unraisablehook = sys.unraisablehook, seen.append
        try:
            del rt
            gc.collect()
        finally:
            sys.unraisablehook = hook
    assert [(type(u.exc_value), str(u.exc_value)) for u in seen] == (
        [] if closed else [(ResourceWarning, f"unclosed runtime instance {inst}")]
    )
    assert lib.qlref_mesh_vertex_count(inst, mesh) == -1


@pytest.mark.parametrize("kind", ["mesh", "scalar", "vector"])
def test_calls_on_the_wrong_kind_are_harmless(rt, kind):
    h = {"mesh": rt.new_mesh, "scalar": rt.new_scalar_field, "vector": rt.new_vector_field}[kind]()
    is_mesh = kind == "mesh"
    assert (rt.vertex_count(h) == 0) == is_mesh
    assert (rt.add_vertex(h, (1, 1, 1)) == 0) == is_mesh
    assert (rt.field_count(h) == -1) == is_mesh
    rt.scalar_set(h, (1, 1, 1), 2.0)
    rt.vector_set(h, (1, 1, 1), (3, 3, 3))
    assert (rt.scalar_sample(h, (1, 1, 1)) == 2.0) == (kind == "scalar")
    assert (rt.vector_sample(h, (1, 1, 1)) == (3, 3, 3)) == (kind == "vector")
    assert rt.field_count(h) == (-1 if is_mesh else 1)


# -- meshes -----------------------------------------------------------------------


def test_vertex_round_trip_is_bit_exact(rt):
    mesh = rt.new_mesh()
    rows = [(0.0, -0.0, 1.5), (float("inf"), -float("inf"), 3e38), (float("nan"), 1e-45, -2.25)]
    assert [rt.add_vertex(mesh, r) for r in rows] == [0, 1, 2]
    assert rt.vertex_count(mesh) == 3 and rt.triangle_count(mesh) == 0
    for i, r in enumerate(rows):
        assert list(map(bits, rt.get_vertex(mesh, i))) == list(map(bits, r))


def test_triangle_round_trip(rt):
    mesh = rt.new_mesh()
    tris = [(0, 1, 2), (-1, INT_MAX, -(2**31)), (7, 7, 7)]
    assert [rt.add_triangle(mesh, t) for t in tris] == [0, 1, 2]
    assert rt.triangle_count(mesh) == 3 and rt.vertex_count(mesh) == 0
    assert [rt.get_triangle(mesh, i) for i in range(3)] == tris


@pytest.mark.parametrize(
    "getter, buf, missing",
    [("qlref_mesh_get_vertex", F3, [0x7FC00000] * 3), ("qlref_mesh_get_triangle", I3, [-1] * 3)],
)
@pytest.mark.parametrize("where", ["index -1", "index n", "index INT_MAX", "inst 0", "h 0", "swapped"])
def test_index_getter_writes_the_missing_element_when_out_of_range(rt, getter, buf, missing, where):
    mesh = rt.new_mesh()
    for i in range(2):
        rt.add_vertex(mesh, (i, i, i))
        rt.add_triangle(mesh, (i, i, i))
    inst, h, index = {
        "index -1": (rt.inst, mesh, -1),
        "index n": (rt.inst, mesh, 2),
        "index INT_MAX": (rt.inst, mesh, INT_MAX),
        "inst 0": (0, mesh, 0),
        "h 0": (rt.inst, 0, 0),
        "swapped": (mesh, rt.inst, 0),
    }[where]
    out = buf(9, 9, 9)
    getattr(rt.lib, getter)(inst, h, index, out)
    # A vertex of quiet NaNs, a triangle of -1: compared as bits.
    assert list(out if buf is I3 else map(bits, out)) == missing


def test_adders_and_counts_on_bad_handles(rt):
    lib = rt.lib
    assert lib.qlref_mesh_add_vertex(0, 0, F3()) == -1
    assert lib.qlref_mesh_add_triangle(rt.inst, 12345678, I3()) == -1
    assert lib.qlref_mesh_vertex_count(0, 0) == -1
    assert lib.qlref_mesh_triangle_count(rt.inst, 0) == -1
    assert lib.qlref_field_count(0, 0) == -1
    lib.qlref_instance_destroy(0)
    lib.qlref_instance_destroy(987654321)


# -- fields -----------------------------------------------------------------------

FIELD_KINDS = {
    # kind: (new, set, sample, items, value for a seed)
    "scalar": ("new_scalar_field", "scalar_set", "scalar_sample", "scalar_items", lambda s: float(s)),
    "vector": ("new_vector_field", "vector_set", "vector_sample", "vector_items", lambda s: (s, -s, s + 0.5)),
}


@pytest.fixture(params=FIELD_KINDS)
def field(rt, request):
    new, set_, sample, items, value = FIELD_KINDS[request.param]
    h = getattr(rt, new)()
    return SimpleNamespace(
        set=lambda pos, v: getattr(rt, set_)(h, pos, v),
        sample=lambda pos: getattr(rt, sample)(h, pos),
        items=lambda: getattr(rt, items)(h),
        count=lambda: rt.field_count(h),
        value=value,
    )


def test_set_sample_and_overwrite(field):
    v = field.value
    assert field.sample((1, 2, 3)) is None
    field.set((1, 2, 3), v(1))
    field.set((4, 5, 6), v(2))
    assert field.sample((1, 2, 3)) == v(1)
    assert field.sample((1, 2, 3.0000002)) is None
    field.set((1, 2, 3), v(7))
    assert field.count() == 2
    assert field.items() == [((1, 2, 3), v(7)), ((4, 5, 6), v(2))]


def test_positions_are_keyed_by_bits(field):
    v = field.value
    field.set((0.0, 0.0, 0.0), v(1))
    field.set((-0.0, 0.0, 0.0), v(2))
    assert field.count() == 2
    assert field.sample((0.0, 0.0, 0.0)) == v(1)
    assert field.sample((-0.0, 0.0, 0.0)) == v(2)
    assert field.sample((0.0, -0.0, 0.0)) is None


@pytest.mark.parametrize("kind", ["scalar", "vector"])
def test_nan_positions_and_not_found_writes_nan(rt, kind):
    qnan, other_nan = 0x7FC00000, 0x7FC00001
    if kind == "scalar":
        h, setter, sampler = rt.new_scalar_field(), rt.lib.qlref_scalar_set, rt.lib.qlref_scalar_sample
        setter(rt.inst, h, f3_from_bits(qnan, 0, 0), 4.0)
        out, expect = (ctypes.c_float * 1)(-9), [4.0]
    else:
        h, setter, sampler = rt.new_vector_field(), rt.lib.qlref_vector_set, rt.lib.qlref_vector_sample
        setter(rt.inst, h, f3_from_bits(qnan, 0, 0), F3(4, 5, 6))
        out, expect = F3(-9, -9, -9), [4.0, 5.0, 6.0]
    for where in (h, 0):  # an unknown position, then an unknown field
        out[:] = [-9.0] * len(out)
        assert sampler(rt.inst, where, f3_from_bits(other_nan if where else qnan, 0, 0), out) == 0
        assert [bits(x) for x in out] == [qnan] * len(out)
    assert sampler(rt.inst, h, f3_from_bits(qnan, 0, 0), out) == 1
    assert list(out) == expect


def test_traversal_order_survives_many_entries(field):
    # Enough entries to cross the runtime's internal copy chunks several times.
    n = 1000
    for i in range(n):
        field.set((i, -i, 0.5), field.value(i))
    field.set((3, -3, 0.5), field.value(-1))
    items = field.items()
    assert items == field.items()
    assert len(items) == n == field.count()
    assert [p for p, _ in items] == [(i, -i, 0.5) for i in range(n)]
    assert [val for _, val in items] == [field.value(-1 if i == 3 else i) for i in range(n)]


def test_callbacks_get_one_reused_buffer(rt):
    sf, vf = rt.new_scalar_field(), rt.new_vector_field()
    for i in range(3):
        rt.scalar_set(sf, (i, 0, 0), i)
        rt.vector_set(vf, (i, 0, 0), (i, i, i))
    addrs = {"s": set(), "c": set(), "v": set()}
    rt.lib.qlref_scalar_traverse(rt.inst, sf, TRAVS_CB(lambda pc, v: addrs["s"].add(ctypes.addressof(pc.contents))))
    rt.lib.qlref_vector_traverse(
        rt.inst,
        vf,
        TRAVV_CB(
            lambda pc, pv: (
                addrs["c"].add(ctypes.addressof(pc.contents)),
                addrs["v"].add(ctypes.addressof(pv.contents)),
            )
        ),
    )
    assert all(len(a) == 1 for a in addrs.values())


def test_callback_may_call_back_into_the_runtime(rt):
    f = rt.new_scalar_field()
    for i in range(300):
        rt.scalar_set(f, (i, 0, 0), i)
    calls = []

    def cb(pc, v):
        calls.append(v)
        rt.scalar_set(f, (pc[0], 1, 0), v)  # grows the field being traversed
        if len(calls) == 10:
            rt.destroy(f)  # the traversal keeps going on what it started with

    rt.lib.qlref_scalar_traverse(rt.inst, f, TRAVS_CB(cb))
    assert calls == list(range(300))
    assert rt.field_count(f) == -1


# -- addresses ----------------------------------------------------------------------


def test_entry_point_addresses_are_distinct(rt):
    addrs = {rt.fn(name) for name in ENTRY_POINTS}
    assert len(addrs) == len(ENTRY_POINTS) and 0 not in addrs and None not in addrs


def test_unknown_entry_point_is_a_key_error_naming_the_known_ones(rt):
    with pytest.raises(KeyError) as info:
        rt.args("add_vertices", rt.new_mesh())  # the function's name, not its entry point's
    text = info.value.args[0]
    assert "'add_vertices'" in text and "calls 'add_vertex'" in text
    assert set(ENTRY_POINTS) <= set(re.findall(r"\w+", text))


def test_args_drive_the_entry_points_by_address(rt):
    QLu64, pf = ctypes.c_uint64, ctypes.POINTER(ctypes.c_float)
    QLaddvec_t = ctypes.CFUNCTYPE(ctypes.c_int, QLu64, QLu64, pf)
    QLgetvec_t = ctypes.CFUNCTYPE(None, QLu64, QLu64, ctypes.c_int, pf)
    QLtraverse_v_t = ctypes.CFUNCTYPE(None, QLu64, QLu64, TRAVV_CB)
    mesh, vf = rt.new_mesh(), rt.new_vector_field()

    fn, inst, h = rt.args("add_vertex", mesh)
    assert (inst, h) == (rt.inst, mesh)
    assert QLaddvec_t(fn)(inst, h, F3(1, 2, 3)) == 0
    out = F3()
    QLgetvec_t(rt.fn("get_vertex"))(rt.inst, mesh, 0, out)
    assert tuple(out) == (1, 2, 3)

    rt.vector_set(vf, (2, 2, 2), (1, 0, 0))
    seen = []
    cb = TRAVV_CB(lambda pc, pv: seen.append((tuple(pc[:3]), tuple(pv[:3]))))
    QLtraverse_v_t(rt.fn("vector_traverse"))(rt.inst, vf, cb)
    assert seen == [((2, 2, 2), (1, 0, 0))]


# -- the libraries, the header and the README ------------------------------------------


@pytest.mark.parametrize(
    "platform, names",
    [
        ("linux", ["libquorlan_ref.so"]),
        ("darwin", ["libquorlan_ref.dylib"]),
        ("win32", ["quorlan_ref.dll", "libquorlan_ref.dll"]),
    ],
)
def test_library_file_names_follow_the_platform(platform, names):
    assert _libs.file_names("quorlan_ref", platform) == names


def test_libraries_are_found_beside_the_extension_module():
    # In an editable install the Python sources are elsewhere: only this place holds them.
    where = Path(_fastloop.__file__).parent
    for path in (reference.LIBRARY_PATH, clib.LIBRARY_PATH):
        assert Path(path).parent == where and Path(path).is_file()


# Each binary exports its entry points and nothing else: the release wheels link a C++
# runtime statically, whose symbols (operator new, std:: instantiations) must not
# interpose on the loading process's own. The sanitizer build exports what it must.
@pytest.mark.skipif(
    not sys.platform.startswith("linux") or SANITIZED != "OFF", reason="ELF export tables, sanitizers off"
)
@pytest.mark.parametrize(
    "path, entry",
    [
        (_fastloop.__file__, "PyInit__fastloop"),
        (reference.LIBRARY_PATH, r"qlref_\w+"),
        (clib.LIBRARY_PATH, r"qlbench_\w+"),
    ],
)
def test_binaries_export_only_their_entry_points(path, entry):
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("no nm (binutils)")
    table = subprocess.run([nm, "-D", "--defined-only", path], capture_output=True, text=True, check=True).stdout
    names = [line.split()[-1] for line in table.splitlines()]
    assert names and [name for name in names if not re.fullmatch(entry, name)] == []


# A native's own names that the header must leave alone (it once declared both itself),
# declared before it, and a native of one of its types.
OWN_NAMES_FIRST = """\
typedef unsigned long long u64;
typedef int getvec_t;

#include <quorpy/native.h>

u64 own_total = 1;
getvec_t own_count = 2;

static void get_vertex(QLu64 inst, QLu64 h, int index, float* out) {
    out[0] = (float)inst;
    out[1] = (float)h;
    out[2] = (float)index;
}
QLgetvec_t get_vertex_native = get_vertex;
"""


@pytest.mark.parametrize("lang, std, env, default", [("c", "c11", "CC", "cc"), ("c++", "c++17", "CXX", "c++")])
def test_header_from_get_include_leaves_the_includers_names_alone(tmp_path, lang, std, env, default):
    compiler = shlex.split(os.environ.get(env) or default)
    if shutil.which(compiler[0]) is None:
        pytest.skip(f"no {lang} compiler ({compiler[0]})")
    cc = [*compiler, "-x", lang, f"-std={std}", "-I", get_include()]

    def run(source: str, *args: str) -> str:
        path = tmp_path / "source"
        path.write_text(source)
        proc = subprocess.run([*cc, *args, str(path)], capture_output=True, text=True, cwd=tmp_path)
        assert proc.returncode == 0, proc.stderr
        return proc.stdout

    run(OWN_NAMES_FIRST, "-Wall", "-Wextra", "-pedantic", "-Werror", "-c", "-o", "native.o")
    # Every macro it leaves defined is prefixed as well (its own include aside).
    std_macros = set(run("#include <stdint.h>\n", "-E", "-dM").splitlines())
    added = set(run("#include <quorpy/native.h>\n", "-E", "-dM").splitlines()) - std_macros
    assert added and all(m.startswith("#define QUORPY_") for m in added), added


ROOT = Path(__file__).parent.parent
# README.md is the repository's page, DESCRIPTION.md the package index's; docs/ holds the
# documentation's pages.
PAGES = ["README.md", "DESCRIPTION.md", *sorted(str(p.relative_to(ROOT)) for p in ROOT.glob("docs/*.md"))]
# Pages that must have at least this many Python blocks; the others may have none.
LEAST = {"README.md": 1, "DESCRIPTION.md": 1, "docs/getting-started.md": 2}


def blocks(page: str, language: str) -> list[str]:
    return re.findall(rf"^```{language}\n(.*?)^```", (ROOT / page).read_text(), re.M | re.S)


@pytest.mark.parametrize("name", [p for p in PAGES if p in LEAST or blocks(p, "python")])
def test_python_blocks_of_the_pages_run_as_written(name):
    found = blocks(name, "python")
    assert len(found) >= LEAST.get(name, 1)
    for i, block in enumerate(found, 1):
        exec(compile(block, f"{name} python block {i}", "exec"), {})


def _example():
    spec = importlib.util.spec_from_file_location("example_native", ROOT / "examples" / "native.py")
    example = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(example)
    return example


# The example's own build, and each build line of the pages run as written, in a shell
# with nothing of the suite's environment: no venv activated, only the system's PATH.
BUILD_LINES = sorted(
    {line for page in PAGES for b in blocks(page, "sh") for line in b.splitlines() if line.startswith("cc ")}
)


@pytest.mark.parametrize("built_by", ["examples/native.py", *BUILD_LINES], ids=["driver", *["line"] * len(BUILD_LINES)])
def test_example_native_builds_and_runs(tmp_path, built_by):
    example = _example()
    by_driver = built_by == "examples/native.py"
    compiler = shlex.split(os.environ.get("CC") or "cc")[0] if by_driver else "cc"
    if shutil.which(compiler) is None:
        pytest.skip(f"no C compiler ({compiler})")
    if by_driver:
        library = example.build(tmp_path)
    else:
        # .venv/bin/python there runs the suite's interpreter; examples/ is the tree's.
        python = tmp_path / ".venv" / "bin" / "python"
        python.parent.mkdir(parents=True)
        python.write_text(f'#!/bin/sh\nexec {shlex.quote(sys.executable)} "$@"\n')
        python.chmod(0o755)
        (tmp_path / "examples").symlink_to(ROOT / "examples")
        env = {"PATH": "/usr/local/bin:/usr/bin:/bin", "HOME": str(tmp_path)}
        proc = subprocess.run(["bash", "-c", built_by], cwd=tmp_path, env=env, capture_output=True, text=True)
        assert proc.returncode == 0, proc.stderr
        library = tmp_path / "libexample.so"
    got = example.run(ctypes.CDLL(str(library)))
    i = np.arange(4, dtype=np.float32)
    np.testing.assert_array_equal(got["verts"], np.stack([i, i * i, np.full(4, 7)], axis=1))
    np.testing.assert_array_equal(got["vals"], [6, np.nan])
    np.testing.assert_array_equal(got["found"], [True, False])
    np.testing.assert_array_equal(got["coords"], [[0, 0, 0], [1, 0, 0], [2, 0, 0]])
    np.testing.assert_array_equal(got["values"], [0, 1, 2])


# -- threads --------------------------------------------------------------------------


def test_concurrent_field_and_mesh_use(rt):
    threads, per = 4, 1500
    field, mesh = rt.new_scalar_field(), rt.new_mesh()
    shared = [(k, 0.0, 0.0) for k in range(50)]  # every thread overwrites these
    errors, indices = [], [[] for _ in range(threads)]

    def work(t):
        try:
            for i in range(per):
                rt.scalar_set(field, (t, i, 1.0), t * per + i)
                rt.scalar_set(field, shared[i % 50], t)
                indices[t].append(rt.add_vertex(mesh, (t, i, 0)))
                back = rt.scalar_sample(field, (t, i // 2, 1.0))
                if back != t * per + i // 2:
                    errors.append((t, i, back))
                if rt.scalar_sample(field, shared[i % 50]) not in range(threads):
                    errors.append((t, i, "shared"))
                side = rt.new_vector_field()  # churn the object table meanwhile
                rt.destroy(side)
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    pool = [threading.Thread(target=work, args=(t,)) for t in range(threads)]
    for th in pool:
        th.start()
    for th in pool:
        th.join()
    assert errors == []
    assert rt.field_count(field) == threads * per + 50
    assert sorted(i for ix in indices for i in ix) == list(range(threads * per))
    for t in range(threads):
        for i, idx in enumerate(indices[t][:: per // 10]):
            assert rt.get_vertex(mesh, idx) == (t, i * (per // 10), 0)
    values = dict(rt.scalar_items(field))
    assert all(values[(t, i, 1.0)] == t * per + i for t in range(threads) for i in range(per))


@pytest.mark.parametrize("destroy", ["object", "instance"])
@pytest.mark.parametrize("caller", ["same thread", "other thread"])
def test_handle_is_refused_once_destroyed_by_a_thread_that_used_it(destroy, caller):
    # Lookups may be remembered per thread: a thread that has used a handle must still
    # be refused it as soon as the destruction has returned, whichever thread destroyed it.
    rt = Runtime()
    lib, inst, mesh = rt.lib, rt.inst, rt.new_mesh()
    rt.add_vertex(mesh, (1, 2, 3))
    seen = {}

    def use(when):
        out = F3(9, 9, 9)
        lib.qlref_mesh_get_vertex(inst, mesh, 0, out)
        seen[when] = (
            lib.qlref_mesh_vertex_count(inst, mesh),
            lib.qlref_mesh_add_vertex(inst, mesh, F3(4, 5, 6)),
            tuple(map(bits, out)),
        )

    def kill():
        if destroy == "object":
            assert lib.qlref_object_destroy(inst, mesh) == 0
        rt.close()

    if caller == "same thread":
        use("before")
        kill()
        use("after")
    else:
        used, killed = threading.Event(), threading.Event()

        def worker():
            use("before")
            used.set()
            killed.wait(10)
            use("after")

        th = threading.Thread(target=worker)
        th.start()
        assert used.wait(10)
        kill()
        killed.set()
        th.join(10)
    # Once destroyed, the mesh has no vertex: the getter writes a vertex of NaN.
    assert seen == {"before": (1, 1, tuple(map(bits, (1, 2, 3)))), "after": (-1, -1, (0x7FC00000,) * 3)}
