"""Round trips through the reference runtime: what the bulk functions push in
comes back out, through the bulk readers and through the runtime's own
per-element entry points."""

from __future__ import annotations

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from quorpy import _fastloop
from quorpy.reference import Runtime

CANONICAL_NAN = 0x7FC00000

# Any float32 bit pattern: NaNs with payloads, infinities, -0.0, subnormals.
float_bits = hnp.arrays(np.uint32, st.tuples(st.integers(0, 40), st.just(3)))
int_rows = hnp.arrays(np.int32, st.tuples(st.integers(0, 40), st.just(3)))


def bits(a) -> np.ndarray:
    return np.ascontiguousarray(a).view(np.uint32)


def as_floats(b: np.ndarray) -> np.ndarray:
    return np.ascontiguousarray(b).view(np.float32)


# ----------------------------------------------------------------- meshes


@settings(max_examples=60, deadline=None)
@given(first=float_bits, second=float_bits)
def test_vertices_come_back_bit_for_bit(first, second):
    with Runtime() as rt:
        mesh = rt.new_mesh()
        args = rt.args("add_vertex", mesh)
        _fastloop.add_vertices(*args, as_floats(first))
        _fastloop.add_vertices(*args, as_floats(second))  # appends after the first batch
        n = rt.vertex_count(mesh)
        assert n == len(first) + len(second)
        got = _fastloop.read_vertices(*rt.args("get_vertex", mesh), n)
        np.testing.assert_array_equal(bits(got), np.concatenate([first, second]))
        assert rt.triangle_count(mesh) == 0


@settings(max_examples=60, deadline=None)
@given(first=int_rows, second=int_rows)
def test_triangles_come_back(first, second):
    with Runtime() as rt:
        mesh = rt.new_mesh()
        args = rt.args("add_triangle", mesh)
        _fastloop.add_triangles(*args, first)
        _fastloop.add_triangles(*args, second)
        n = rt.triangle_count(mesh)
        assert n == len(first) + len(second)
        got = _fastloop.read_triangles(*rt.args("get_triangle", mesh), n)
        np.testing.assert_array_equal(got, np.concatenate([first, second]))
        assert rt.vertex_count(mesh) == 0


@pytest.mark.parametrize("cols", [3, 4, 7])
def test_mesh_built_from_wider_rows_and_read_element_by_element(cols):
    verts = (np.arange(5 * cols, dtype=np.float32) * np.float32(0.75)).reshape(5, cols)
    tris = (np.arange(4 * cols, dtype=np.int32) * 3 - 11).reshape(4, cols)
    with Runtime() as rt:
        mesh = rt.new_mesh()
        _fastloop.add_vertices(*rt.args("add_vertex", mesh), verts)
        _fastloop.add_triangles(*rt.args("add_triangle", mesh), tris)
        # Each row contributes its first three columns.
        assert [rt.get_vertex(mesh, i) for i in range(5)] == [tuple(map(float, r[:3])) for r in verts]
        assert [rt.get_triangle(mesh, i) for i in range(4)] == [tuple(map(int, r[:3])) for r in tris]


def test_building_another_mesh_leaves_this_one_alone():
    with Runtime() as rt:
        a, b = rt.new_mesh(), rt.new_mesh()
        _fastloop.add_vertices(*rt.args("add_vertex", a), np.ones((2, 3), np.float32))
        _fastloop.add_vertices(*rt.args("add_vertex", b), np.zeros((3, 3), np.float32))
        assert (rt.vertex_count(a), rt.vertex_count(b)) == (2, 3)
        np.testing.assert_array_equal(_fastloop.read_vertices(*rt.args("get_vertex", a), 2), np.ones((2, 3)))


# ----------------------------------------------------------------- fields


def field_case(prefix: str):
    """Strategy of (positions, values) with repeated positions likely: each
    position is drawn from a small pool of bit patterns (NaN, -0.0, 0.0, ...)."""
    words = 1 if prefix == "scalar" else 3
    pool = st.sampled_from(
        [0x00000000, 0x80000000, 0x3F800000, 0xBF800000, 0x7FC00000, 0x7FC0BEEF, 0x7F800000, 0x00000001]
    )

    @st.composite
    def case(draw):
        n = draw(st.integers(0, 30))
        pos = draw(hnp.arrays(np.uint32, (n, 3), elements=pool))
        vals = draw(hnp.arrays(np.uint32, (n, words) if words == 3 else (n,)))
        return pos, vals

    return case()


def stored(pos_bits, vals_bits) -> dict:
    """What a field holds after setting these rows in order: last value wins."""
    out = {}
    for p, v in zip(pos_bits, vals_bits):
        out[tuple(int(w) for w in p)] = tuple(int(w) for w in np.atleast_1d(v))
    return out


def unset_positions(held: dict, k: int) -> np.ndarray:
    """k positions (as bits) that are not in the field."""
    cand = np.array([[0x40000000 + i, 0x40400000, 0x40800000 + 7 * i] for i in range(k)], np.uint32)
    assert not any(tuple(int(w) for w in c) in held for c in cand)
    return cand


FIELDS = pytest.mark.parametrize("prefix", ["scalar", "vector"])


def new_field(rt: Runtime, prefix: str) -> int:
    return rt.new_scalar_field() if prefix == "scalar" else rt.new_vector_field()


def field_functions(prefix: str):
    return (
        getattr(_fastloop, f"{prefix}_set_many"),
        getattr(_fastloop, f"{prefix}_get_many"),
        getattr(_fastloop, f"{prefix}_active_values"),
    )


@FIELDS
@settings(max_examples=60, deadline=None)
@given(data=st.data())
def test_values_set_come_back_from_sampling_and_traversal(prefix, data):
    pos_bits, vals_bits = data.draw(field_case(prefix))
    set_many, get_many, active_values = field_functions(prefix)
    held = stored(pos_bits, vals_bits)
    words = 1 if prefix == "scalar" else 3
    with Runtime() as rt:
        field = new_field(rt, prefix)
        set_many(*rt.args(f"{prefix}_set", field), as_floats(pos_bits), as_floats(vals_bits))
        assert rt.field_count(field) == len(held)

        # Sampling at every set position and at positions never set.
        unset = unset_positions(held, 3)
        query = np.concatenate([pos_bits, unset]) if len(pos_bits) else unset
        out, found = get_many(*rt.args(f"{prefix}_sample", field), as_floats(query))
        assert found.tolist() == [True] * len(pos_bits) + [False] * len(unset)
        got = bits(out).reshape(len(query), words)
        for q, row in zip(pos_bits, got):
            assert tuple(int(w) for w in row) == held[tuple(int(w) for w in q)]
        assert (got[len(pos_bits) :] == CANONICAL_NAN).all()

        # Every stored (position, value) pair, once.
        coords, vals = active_values(*rt.args(f"{prefix}_traverse", field))
        pairs = [
            (tuple(int(w) for w in c), tuple(int(w) for w in np.atleast_1d(v)))
            for c, v in zip(bits(coords), bits(vals))
        ]
        assert len(pairs) == len(held)
        assert set(pairs) == set(held.items())


@FIELDS
def test_bulk_and_per_element_paths_agree(prefix):
    set_many, get_many, active_values = field_functions(prefix)
    rng = np.random.default_rng(5)
    pos = rng.standard_normal((50, 3)).astype(np.float32)
    vals = rng.standard_normal((50,) if prefix == "scalar" else (50, 3)).astype(np.float32)
    with Runtime() as rt:
        field = new_field(rt, prefix)
        set_many(*rt.args(f"{prefix}_set", field), pos, vals)
        sample = rt.scalar_sample if prefix == "scalar" else rt.vector_sample
        items = rt.scalar_items(field) if prefix == "scalar" else rt.vector_items(field)
        for p, v in zip(pos, vals):
            got = sample(field, tuple(p))
            assert np.array_equal(np.float32(got), v)
        coords, out = active_values(*rt.args(f"{prefix}_traverse", field))
        # The bulk extraction reports what the runtime's own traversal reports, in its order.
        assert [tuple(c) for c in coords.tolist()] == [c for c, _ in items]
        assert [v if prefix == "scalar" else tuple(v) for v in out.tolist()] == [v for _, v in items]

        # And values set element by element come back through the bulk sampler.
        extra = np.array([[9.5, -9.5, 0.0]], np.float32)
        value = 2.5 if prefix == "scalar" else (1.0, 2.0, 3.0)
        (rt.scalar_set if prefix == "scalar" else rt.vector_set)(field, tuple(extra[0]), value)
        got, found = get_many(*rt.args(f"{prefix}_sample", field), extra)
        assert found.tolist() == [True]
        assert np.array_equal(got[0], np.float32(value))


@FIELDS
def test_wider_position_rows_use_their_first_three_columns(prefix):
    set_many, get_many, _ = field_functions(prefix)
    wide = (np.arange(4 * 5, dtype=np.float32) + 0.5).reshape(4, 5)
    vals = np.arange(4 if prefix == "scalar" else 12, dtype=np.float32).reshape((4,) if prefix == "scalar" else (4, 3))
    with Runtime() as rt:
        field = new_field(rt, prefix)
        set_many(*rt.args(f"{prefix}_set", field), wide, vals)
        out, found = get_many(*rt.args(f"{prefix}_sample", field), np.ascontiguousarray(wide[:, :3]))
        assert found.all()
        np.testing.assert_array_equal(out, vals)


@FIELDS
def test_fields_are_separate(prefix):
    set_many, get_many, active_values = field_functions(prefix)
    pos = np.eye(3, dtype=np.float32)
    vals = np.ones((3,) if prefix == "scalar" else (3, 3), np.float32)
    with Runtime() as rt:
        a, b = new_field(rt, prefix), new_field(rt, prefix)
        set_many(*rt.args(f"{prefix}_set", a), pos, vals)
        out, found = get_many(*rt.args(f"{prefix}_sample", b), pos)
        assert not found.any() and np.isnan(out).all()
        coords, _ = active_values(*rt.args(f"{prefix}_traverse", b))
        assert coords.shape == (0, 3)
