"""Argument binding and integer conversion shared by the ten functions: the
count, keyword and conversion errors with their exact texts, the order in
which arguments are bound and converted, the single traceback entry, and that
a failed call leaves no reference or buffer behind."""

from __future__ import annotations

import itertools
import re
import sys
import traceback
import warnings

import numpy as np
import pytest

from helpers import (
    FUNCTIONS,
    NATIVE_KIND,
    Boom,
    HasInt,
    IndexOnly,
    PyLong_AsLong,
    PyLong_AsUnsignedLong,
    RaisingEqual,
    SameStr,
    StrictInt,
    assert_one_module_frame,
    get_buffer_error,
    vectorcall,
)

NEGATIVE = "can't convert negative value to unsigned PY_LONG_LONG"
NOT_AN_INTEGER = "an integer is required"
INT_RANGE = "value too large to convert to int"
DEPRECATED_INT = (
    "__int__ returned non-int (type {}).  The ability to return an instance of a strict "
    "subclass of int is deprecated, and may be removed in a future version of Python."
)
U64_PARAMS = ("fn", "inst", "h")


def interpreter_overflow(convert, value: int) -> str:
    """Message of the interpreter's own OverflowError for this C conversion."""
    with pytest.raises(OverflowError) as info:
        convert(value)
    return str(info.value)


U64_TOO_BIG = interpreter_overflow(PyLong_AsUnsignedLong, 2**64)
LONG_TOO_BIG = interpreter_overflow(PyLong_AsLong, 2**63)


def count_message(name: str, given: int) -> str:
    expected = len(FUNCTIONS[name])
    return f"{name}() takes exactly {expected} positional arguments ({given} given)"


def valid_args(name: str) -> dict:
    """Arguments that bind and convert; no native function is reached with them
    (counts and arrays are empty) except through the traversal functions."""
    empty_rows = np.zeros((0, 3), np.float32)
    values = {
        "fn": 0,
        "inst": 0,
        "h": 0,
        "n": 0,
        "verts": empty_rows,
        "tris": np.zeros((0, 3), np.int32),
        "pos": empty_rows,
        "vals": np.zeros(0, np.float32) if name == "scalar_set_many" else empty_rows,
    }
    return {p: values[p] for p in FUNCTIONS[name]}


def raises_exactly(name, exc_type, message, func, *args, **kwargs):
    with pytest.raises(exc_type) as info:
        func(*args, **kwargs)
    assert type(info.value) is exc_type
    assert str(info.value) == message
    assert_one_module_frame(info.value, name)
    return info.value


ALL = list(FUNCTIONS)


# --------------------------------------------------------------------------- counts


@pytest.mark.parametrize(
    "name, nargs",
    [(name, k) for name in ALL for k in range(len(FUNCTIONS[name]) + 3) if k != len(FUNCTIONS[name])],
)
def test_wrong_positional_count(fastloop, name, nargs):
    args = [0] * nargs
    raises_exactly(name, TypeError, count_message(name, nargs), getattr(fastloop, name), *args)


@pytest.mark.parametrize("name", ALL)
@pytest.mark.parametrize("keyword", ["fn", "zz"])
def test_too_many_positionals_with_keywords_counts_positionals(fastloop, name, keyword):
    # The count is checked before any keyword is looked at, known or not.
    n = len(FUNCTIONS[name])
    func = getattr(fastloop, name)
    raises_exactly(name, TypeError, count_message(name, n + 1), func, *[0] * (n + 1), **{keyword: 0})


@pytest.mark.parametrize(
    "name, missing, npos",
    [(name, j, k) for name in ALL for j in range(len(FUNCTIONS[name])) for k in range(j + 1)],
)
@pytest.mark.parametrize("reverse", [False, True], ids=["kw-forward", "kw-reverse"])
def test_missing_parameter_reports_its_position(fastloop, name, missing, npos, reverse):
    params = FUNCTIONS[name]
    values = valid_args(name)
    positional = [values[p] for p in params[:npos]]
    keywords = [(p, values[p]) for p in params[npos:] if p != params[missing]]
    if reverse:
        keywords.reverse()
    func = getattr(fastloop, name)
    raises_exactly(name, TypeError, count_message(name, missing), func, *positional, **dict(keywords))


@pytest.mark.parametrize(
    "call, given",
    [
        (lambda f: f(1, 2, 3), 3),
        (lambda f: f(1, 2, n=5), 2),
        (lambda f: f(fn=1, inst=2, n=4), 2),
        (lambda f: f(inst=2, h=3, n=4), 0),
        (lambda f: f(1, 2, 3, 4, 5, n=6), 5),
        (lambda f: f(h=3), 0),
        (lambda f: f(1, inst=2, h=3), 3),
    ],
)
def test_read_vertices_count_examples(fastloop, call, given):
    with pytest.raises(TypeError) as info:
        call(fastloop.read_vertices)
    assert str(info.value) == count_message("read_vertices", given)
    assert_one_module_frame(info.value, "read_vertices", caller_frames=2)


def test_no_arguments_for_the_traversal_function(fastloop):
    raises_exactly(
        "scalar_active_values",
        TypeError,
        "scalar_active_values() takes exactly 3 positional arguments (0 given)",
        fastloop.scalar_active_values,
    )


@pytest.mark.parametrize("name", ALL)
def test_printed_traceback_shows_the_entry_with_its_line(fastloop, name):
    with pytest.raises(TypeError) as info:
        getattr(fastloop, name)()
    text = "".join(traceback.format_exception(info.value))
    pattern = r'File "[^"]+", line [1-9][0-9]*, in quorpy\._fastloop\.' + name + "\n"
    assert len(re.findall(pattern, text)) == 1, text
    with pytest.raises(TypeError) as again:
        getattr(fastloop, name)()
    # Each failing call has a frame of its own, over the function's one code object.
    first, second = (e.__traceback__.tb_next for e in (info.value, again.value))
    assert second.tb_frame is not first.tb_frame and second.tb_frame.f_code is first.tb_frame.f_code
    assert second.tb_lineno == first.tb_lineno


# --------------------------------------------------------------------------- keywords


@pytest.mark.parametrize(
    "name, index, npos",
    [(name, i, k) for name in ALL for i in range(len(FUNCTIONS[name])) for k in sorted({i + 1, len(FUNCTIONS[name])})],
)
def test_keyword_for_a_positional_parameter(fastloop, name, index, npos):
    # Reported even when later parameters are missing: keywords come first.
    params = FUNCTIONS[name]
    values = valid_args(name)
    args = [values[p] for p in params[:npos]]
    raises_exactly(
        name,
        TypeError,
        f"{name}() got multiple values for keyword argument '{params[index]}'",
        getattr(fastloop, name),
        *args,
        **{params[index]: 0},
    )


UNKNOWN_KEYWORDS = ["m", "N", "FN", "fn ", " fn", "fnx", "f", "", "ñ", "fn\x00", "self", "kwargs"]


@pytest.mark.parametrize("name", ALL)
@pytest.mark.parametrize("keyword", UNKNOWN_KEYWORDS)
def test_unexpected_keyword_wins_over_missing_parameters(fastloop, name, keyword):
    n = len(FUNCTIONS[name])
    raises_exactly(
        name,
        TypeError,
        f"{name}() got an unexpected keyword argument '{keyword}'",
        getattr(fastloop, name),
        *[0] * (n - 1),
        **{keyword: 5},
    )


@pytest.mark.parametrize("name", ["read_vertices", "read_triangles"])
def test_keyword_with_embedded_nul_is_not_n(fastloop, name):
    raises_exactly(
        name,
        TypeError,
        f"{name}() got an unexpected keyword argument 'n\x00'",
        getattr(fastloop, name),
        0,
        0,
        0,
        **{"n\x00": 0},
    )


@pytest.mark.parametrize("name", ALL)
@pytest.mark.parametrize(
    "keywords, message",
    [
        ({"zz": 1, "fn": 2}, "got an unexpected keyword argument 'zz'"),
        ({"fn": 2, "zz": 1}, "got multiple values for keyword argument 'fn'"),
        ({"yy": 1, "zz": 2}, "got an unexpected keyword argument 'yy'"),
        ({"inst": 1, "fn": 2, "zz": 3}, "got multiple values for keyword argument 'fn'"),
    ],
)
def test_first_bad_keyword_is_reported(fastloop, name, keywords, message):
    raises_exactly(name, TypeError, f"{name}() {message}", getattr(fastloop, name), 0, **keywords)


@pytest.mark.parametrize("name", ALL)
@pytest.mark.parametrize("bad", [1, b"fn", None, 2.5], ids=["int", "bytes", "None", "float"])
def test_keyword_names_must_be_strings(fastloop, name, bad):
    # Only reachable through the raw vectorcall: a ** call checks keys itself.
    n = len(FUNCTIONS[name])
    with pytest.raises(TypeError) as info:
        vectorcall(getattr(fastloop, name), [0] * n, (bad,))
    assert str(info.value) == f"{name}() keywords must be strings"
    assert_one_module_frame(info.value, name, caller_frames=2)


@pytest.mark.parametrize(
    "positional, kwnames, message",
    [
        (2, ("zz", 1), "read_vertices() got an unexpected keyword argument 'zz'"),
        (2, (1, "zz"), "read_vertices() keywords must be strings"),
        (1, ("fn", 1), "read_vertices() got multiple values for keyword argument 'fn'"),
        (5, (1,), "read_vertices() takes exactly 4 positional arguments (5 given)"),
        (1, ("inst", "h"), "read_vertices() takes exactly 4 positional arguments (3 given)"),
    ],
)
def test_raw_keyword_tuples(fastloop, positional, kwnames, message):
    with pytest.raises(TypeError) as info:
        vectorcall(fastloop.read_vertices, [0] * (positional + len(kwnames)), kwnames)
    assert str(info.value) == message


class AlwaysEqual(str):
    def __eq__(self, other):
        return True

    __hash__ = str.__hash__


class NeverEqual(str):
    def __eq__(self, other):
        return False

    __hash__ = str.__hash__


@pytest.mark.parametrize("name", ALL)
def test_str_subclass_keyword_for_positional_parameter(fastloop, name):
    n = len(FUNCTIONS[name])
    raises_exactly(
        name,
        TypeError,
        f"{name}() got multiple values for keyword argument 'fn'",
        getattr(fastloop, name),
        *[0] * n,
        **{SameStr("fn"): 0},
    )


@pytest.mark.parametrize("name", ALL)
def test_str_subclass_uses_python_equality(fastloop, name):
    n = len(FUNCTIONS[name])
    func = getattr(fastloop, name)
    # Equal to nothing, even though its text is a parameter name.
    raises_exactly(
        name,
        TypeError,
        f"{name}() got an unexpected keyword argument 'h'",
        func,
        *[0] * (n - 1),
        **{NeverEqual("h"): 0},
    )
    # Equal to everything: with every parameter already given, it collides with
    # fn.  Called here directly: a Python-level wrapper would bind it first.
    with pytest.raises(TypeError) as info:
        func(*[0] * n, **{AlwaysEqual("x"): 0})
    assert str(info.value) == f"{name}() got multiple values for keyword argument 'x'"
    assert_one_module_frame(info.value, name)


@pytest.mark.parametrize("name", ALL)
def test_exception_from_keyword_comparison_propagates(fastloop, name):
    with pytest.raises(Boom) as info:
        getattr(fastloop, name)(0, **{RaisingEqual("inst"): 0})
    assert str(info.value) == "compare"
    assert_one_module_frame(info.value, name)


# --------------------------------------------------------------------------- binding that succeeds


def _orders():
    params = FUNCTIONS["read_vertices"]
    for npos in range(len(params) + 1):
        for rest in itertools.permutations(params[npos:]):
            yield npos, rest


@pytest.mark.parametrize("npos, order", list(_orders()))
def test_any_keyword_order_binds_every_slot(fastloop, rec, npos, order):
    values = {"fn": rec.fn("getvec"), "inst": 0x1111, "h": 0x2222, "n": 2}
    params = FUNCTIONS["read_vertices"]
    args = [values[p] for p in params[:npos]]
    out = fastloop.read_vertices(*args, **{p: values[p] for p in order})
    assert out.shape == (2, 3)
    calls = rec.calls()
    assert [(c.kind, c.inst, c.h, c.index) for c in calls] == [
        ("getvec", 0x1111, 0x2222, 0),
        ("getvec", 0x1111, 0x2222, 1),
    ]


def test_spec_keyword_example_binds(fastloop):
    out = fastloop.read_vertices(h=3, n=0, fn=1, inst=2)
    assert out.shape == (0, 3) and out.dtype == np.float32


@pytest.mark.parametrize(
    "make_key",
    [
        lambda s: "".join(list(s)),  # equal content, not the interned object
        SameStr,
        lambda s: AlwaysEqual("anything"),
    ],
    ids=["runtime-str", "str-subclass", "always-equal"],
)
def test_keywords_matched_by_content_or_equality(fastloop, rec, make_key):
    # The AlwaysEqual key lands in the first slot not filled by position: h.
    key = make_key("h")
    out = fastloop.read_triangles(rec.fn("gettri"), 77, **{key: 88, "n": 1})
    assert out.shape == (1, 3)
    assert [(c.inst, c.h) for c in rec.calls()] == [(77, 88)]


# --------------------------------------------------------------------------- u64 conversion


class IntSubclass(int):
    def __int__(self):
        return 99


U64_REFUSED = [
    pytest.param(-1, OverflowError, NEGATIVE, id="minus-one"),
    pytest.param(-(2**70), OverflowError, NEGATIVE, id="big-negative"),
    pytest.param(2**64, OverflowError, U64_TOO_BIG, id="2**64"),
    pytest.param(2**100, OverflowError, U64_TOO_BIG, id="2**100"),
    pytest.param(-1.5, OverflowError, NEGATIVE, id="float-minus-1.5"),
    pytest.param(float("nan"), ValueError, "cannot convert float NaN to integer", id="nan"),
    pytest.param(float("inf"), OverflowError, "cannot convert float infinity to integer", id="inf"),
    pytest.param(np.int64(-1), OverflowError, NEGATIVE, id="np-int64-minus-one"),
    pytest.param("5", TypeError, NOT_AN_INTEGER, id="str"),
    pytest.param(None, TypeError, NOT_AN_INTEGER, id="None"),
    pytest.param(b"\x01", TypeError, NOT_AN_INTEGER, id="bytes"),
    pytest.param(IndexOnly(), TypeError, NOT_AN_INTEGER, id="index-only"),
    pytest.param(HasInt(1.5), TypeError, "__int__ returned non-int (type float)", id="int-gives-float"),
    pytest.param(HasInt("7"), TypeError, "__int__ returned non-int (type str)", id="int-gives-str"),
    pytest.param(HasInt(-3), OverflowError, NEGATIVE, id="int-gives-negative"),
    pytest.param(HasInt(2**64), OverflowError, U64_TOO_BIG, id="int-gives-2**64"),
    pytest.param(HasInt(Boom("from __int__")), Boom, "from __int__", id="int-raises"),
]


@pytest.mark.parametrize("name", ALL)
@pytest.mark.parametrize("param", U64_PARAMS)
@pytest.mark.parametrize("value, exc_type, message", U64_REFUSED)
def test_u64_refusals(fastloop, rec, name, param, value, exc_type, message):
    args = valid_args(name)
    args["fn"] = rec.fn(NATIVE_KIND[name])
    args[param] = value
    raises_exactly(name, exc_type, message, getattr(fastloop, name), *args.values())
    assert rec.count() == 0


U64_ACCEPTED = [
    pytest.param(0, 0, id="zero"),
    pytest.param(2**63, 2**63, id="2**63"),
    pytest.param(2**64 - 1, 2**64 - 1, id="2**64-1"),
    pytest.param(True, 1, id="True"),
    pytest.param(False, 0, id="False"),
    pytest.param(1.9, 1, id="float-1.9"),
    pytest.param(-0.5, 0, id="float-minus-0.5"),
    pytest.param(np.uint64(2**64 - 1), 2**64 - 1, id="np-uint64-max"),
    pytest.param(np.float32(2.5), 2, id="np-float32"),
    pytest.param(IntSubclass(7), 7, id="int-subclass-not-its-int"),
    pytest.param(HasInt(12345678901234567890), 12345678901234567890, id="has-int"),
]


@pytest.mark.parametrize("param", ["inst", "h"])
@pytest.mark.parametrize("value, expected", U64_ACCEPTED)
def test_u64_values_reach_the_native_unchanged(fastloop, rec, param, value, expected):
    args = {"fn": rec.fn("getvec"), "inst": 5, "h": 6, "n": 1}
    args[param] = value
    fastloop.read_vertices(**args)
    (call,) = rec.calls()
    assert getattr(call, param) == expected
    assert call.inst == (expected if param == "inst" else 5)
    assert call.h == (expected if param == "h" else 6)


@pytest.mark.parametrize("name", [n for n in ALL if len(FUNCTIONS[n]) > 3])
@pytest.mark.parametrize("value, expected", U64_ACCEPTED)
def test_u64_values_accepted_before_a_later_failure(fastloop, name, value, expected):
    # fn, inst and h all convert; the error is the one of the last parameter.
    params = FUNCTIONS[name]
    func = getattr(fastloop, name)
    args = [value, value, value] + [[1.0, 2.0]] * (len(params) - 3)  # neither an int nor a buffer
    message = "an integer is required" if params[-1] == "n" else "a bytes-like object is required, not 'list'"
    raises_exactly(name, TypeError, message, func, *args)


def test_u64_max_fn_is_accepted_when_nothing_is_read(fastloop):
    assert fastloop.read_vertices(2**64 - 1, 2**64 - 1, 2**64 - 1, 0).shape == (0, 3)


@pytest.mark.parametrize("name", ALL)
@pytest.mark.parametrize("failing", U64_PARAMS)
def test_u64_conversion_order_stops_at_first_failure(fastloop, name, failing):
    log = []
    args = valid_args(name)
    for p in U64_PARAMS:
        args[p] = HasInt(Boom(p) if p == failing else 0, log, p)
    # Later array parameters are bad too: they must not be looked at.
    for p in FUNCTIONS[name][3:]:
        args[p] = [1, 2] if p != "n" else HasInt(0, log, "n")
    with pytest.raises(Boom) as info:
        getattr(fastloop, name)(*args.values())
    assert str(info.value) == failing
    assert log == list(U64_PARAMS[: U64_PARAMS.index(failing) + 1])
    assert_one_module_frame(info.value, name)


class RaisesThis:
    def __init__(self, exc):
        self.exc = exc

    def __int__(self):
        raise self.exc


@pytest.mark.parametrize("name", ALL)
def test_exception_from_int_is_passed_on_as_is(fastloop, name):
    exc = Boom("the very one")
    args = valid_args(name)
    args["h"] = RaisesThis(exc)
    with pytest.raises(Boom) as info:
        getattr(fastloop, name)(*args.values())
    assert info.value is exc
    assert_one_module_frame(info.value, name)


@pytest.mark.parametrize("name", ["read_vertices", "read_triangles"])
def test_each_int_conversion_runs_once_in_order(fastloop, name):
    log = []
    args = [HasInt(0, log, p) for p in FUNCTIONS[name]]
    out = getattr(fastloop, name)(*args)
    assert out.shape == (0, 3)
    assert log == ["fn", "inst", "h", "n"]


@pytest.mark.parametrize("name", ALL)
def test_binding_errors_come_before_conversion(fastloop, name):
    n = len(FUNCTIONS[name])
    log = []
    bad = HasInt(Boom("converted"), log, "x")
    func = getattr(fastloop, name)
    raises_exactly(name, TypeError, count_message(name, n - 1), func, *[bad] * (n - 1))
    raises_exactly(name, TypeError, f"{name}() got an unexpected keyword argument 'zz'", func, *[bad] * n, zz=bad)
    assert log == []


@pytest.mark.parametrize("name", [n for n in ALL if len(FUNCTIONS[n]) > 3])
def test_views_are_taken_after_the_integers(fastloop, name):
    args = [0, 0, -1] + [[1, 2]] * (len(FUNCTIONS[name]) - 3)
    if FUNCTIONS[name][3] == "n":
        args[3] = "x"
    raises_exactly(name, OverflowError, NEGATIVE, getattr(fastloop, name), *args)


def test_deprecated_int_subclass_result_warns_then_converts(fastloop, rec):
    with pytest.warns(DeprecationWarning) as record:
        fastloop.read_vertices(rec.fn("getvec"), HasInt(True), HasInt(StrictInt(9)), 1)
    messages = [str(w.message) for w in record if issubclass(w.category, DeprecationWarning)]
    assert messages == [DEPRECATED_INT.format("bool"), DEPRECATED_INT.format("StrictInt")]
    assert [(c.inst, c.h) for c in rec.calls()] == [(1, 9)]


@pytest.mark.parametrize("name", ALL)
def test_deprecated_int_subclass_result_as_error(fastloop, rec, name):
    args = valid_args(name)
    args["inst"] = HasInt(True)
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        raises_exactly(name, DeprecationWarning, DEPRECATED_INT.format("bool"), getattr(fastloop, name), *args.values())
    assert rec.count() == 0


def test_deprecated_result_still_goes_through_the_range_check(fastloop):
    with pytest.warns(DeprecationWarning):
        raises_exactly("read_vertices", OverflowError, NEGATIVE, fastloop.read_vertices, 0, HasInt(StrictInt(-3)), 0, 0)


# --------------------------------------------------------------------------- C int conversion of n


N_REFUSED = [
    pytest.param(2**31, OverflowError, INT_RANGE, id="2**31"),
    pytest.param(-(2**31) - 1, OverflowError, INT_RANGE, id="-2**31-1"),
    pytest.param(2**63 - 1, OverflowError, INT_RANGE, id="2**63-1"),
    pytest.param(-(2**63), OverflowError, INT_RANGE, id="-2**63"),
    pytest.param(2**63, OverflowError, LONG_TOO_BIG, id="2**63"),
    pytest.param(-(2**63) - 1, OverflowError, LONG_TOO_BIG, id="-2**63-1"),
    pytest.param(2**80, OverflowError, LONG_TOO_BIG, id="2**80"),
    pytest.param(float(2**31), OverflowError, INT_RANGE, id="float-2**31"),
    pytest.param("3", TypeError, NOT_AN_INTEGER, id="str"),
    pytest.param(None, TypeError, NOT_AN_INTEGER, id="None"),
    pytest.param(IndexOnly(), TypeError, NOT_AN_INTEGER, id="index-only"),
    pytest.param(HasInt(2.0), TypeError, "__int__ returned non-int (type float)", id="int-gives-float"),
    pytest.param(HasInt(2**31), OverflowError, INT_RANGE, id="int-gives-2**31"),
    pytest.param(float("nan"), ValueError, "cannot convert float NaN to integer", id="nan"),
]


@pytest.mark.parametrize("name", ["read_vertices", "read_triangles"])
@pytest.mark.parametrize("value, exc_type, message", N_REFUSED)
def test_n_refusals(fastloop, rec, name, value, exc_type, message):
    fn = rec.fn("getvec" if name == "read_vertices" else "gettri")
    raises_exactly(name, exc_type, message, getattr(fastloop, name), fn, 1, 2, value)
    assert rec.count() == 0


@pytest.mark.parametrize(
    "value, expected",
    [
        pytest.param(3, 3, id="int"),
        pytest.param(True, 1, id="True"),
        pytest.param(3.9, 3, id="float-3.9"),
        pytest.param(-0.7, 0, id="float-minus-0.7"),
        pytest.param(np.int8(2), 2, id="np-int8"),
        pytest.param(HasInt(4), 4, id="has-int"),
        pytest.param(IntSubclass(2), 2, id="int-subclass-not-its-int"),
    ],
)
def test_n_accepted(fastloop, rec, value, expected):
    out = fastloop.read_vertices(rec.fn("getvec"), 1, 2, value)
    assert out.shape == (expected, 3)
    assert [c.index for c in rec.calls()] == list(range(expected))


# --------------------------------------------------------------------------- nothing left behind


@pytest.mark.parametrize("name", [n for n in ALL if len(FUNCTIONS[n]) > 4])
def test_failed_calls_release_references_and_buffers(fastloop, name):
    func = getattr(fastloop, name)
    pos = np.zeros((4, 3), np.float32)
    big = 2**40 + 12345  # not a cached small int
    holder = HasInt(7)
    refs = [sys.getrefcount(o) for o in (pos, big, holder)]
    for _ in range(20):
        # The view of pos is taken, then vals is refused.
        with pytest.raises(TypeError):
            func(big, holder, big, pos, [1.0])
        with pytest.raises(TypeError):
            func(big, holder, big, pos, vals=pos, zz=holder)
        with pytest.raises(OverflowError):
            func(big, holder, -1, pos, pos)
    assert [sys.getrefcount(o) for o in (pos, big, holder)] == refs
    pos.resize((8, 3), refcheck=False)
    assert pos.shape == (8, 3)


def test_buffer_error_of_a_list_matches_the_interpreter(fastloop):
    # The reference for the pass-through message used above.
    assert str(get_buffer_error([1.0, 2.0])) == "a bytes-like object is required, not 'list'"
