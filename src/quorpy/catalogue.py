"""The ten transfer functions of :mod:`quorpy._fastloop`, described once.

For each function: its family, whether it moves scalars or 3-vectors, its parameters
in order, the C type of the native it calls through ``fn``, the reference runtime's
entry point of that type, the arrays it takes and returns, a one-line summary and the
errors of its own. For each family: what its native must do, what a call does about
the GIL and what it costs. The errors every function shares are listed once, below.
The reference runtime, the benchmark, the tests and the API reference of the
documentation read these facts from here; family dispatch goes through
``Function.family``, never through a function's name.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Literal

import numpy as np

READOUT = "readout"
BUILDING = "building"
FIELD_SETTER = "field setter"
FIELD_SAMPLER = "field sampler"
ACTIVE_VALUES = "active values"

HANDLES = ("fn", "inst", "h")

#: One extent of an array's shape: a fixed size, or "n", the number of rows.
Extent = int | Literal["n"]


@dataclass(frozen=True)
class Array:
    """An array argument or result: ``shape`` counts rows in ``n``."""

    name: str
    shape: tuple[Extent, ...]
    dtype: type[np.generic]
    meaning: str = ""

    def sized(self, n: int) -> tuple[int, ...]:
        """The shape of this array for ``n`` rows."""
        return tuple(n if d == "n" else d for d in self.shape)


@dataclass(frozen=True)
class Error:
    """An exception a call raises: its type, its exact message and when it is raised.

    ``message`` is the text as raised, with ``{field}`` where the call fills something
    in (``{function}`` and ``{count}`` are the function's name and number of
    parameters; ``{s}`` is "s" after a count other than one). Messages that the
    interpreter or NumPy make are theirs, passed through unchanged.
    """

    exception: str
    message: str
    when: str


ROWS: tuple[Extent, ...] = ("n", 3)
POS = Array("pos", ROWS, np.float32, "the positions, one (x, y, z) per row")
FOUND = Array("found", ("n",), np.bool_, "True where the native had a value")
COORDS = Array(
    "coords", ROWS, np.float32, "the position of each active value, in the order the traversal reported them"
)

# -- errors ----------------------------------------------------------------------------

#: Binding the arguments: every function.
BINDING_ERRORS = (
    Error(
        "TypeError",
        "{function}() takes exactly {count} positional arguments ({given} given)",
        "too many positional arguments, or a parameter missing ({given} is then the position of the first one missing)",
    ),
    Error(
        "TypeError",
        "{function}() got multiple values for keyword argument '{keyword}'",
        "a keyword names a parameter already given by position",
    ),
    Error("TypeError", "{function}() got an unexpected keyword argument '{keyword}'", "a keyword names no parameter"),
    Error(
        "TypeError", "{function}() keywords must be strings", "a keyword name is not a str (a call through the C API)"
    ),
)

#: Converting ``fn``, ``inst`` and ``h`` (and ``n``) with ``__int__``: every function.
INTEGER_ERRORS = (
    Error(
        "TypeError",
        "an integer is required",
        "an object without ``__int__``: a str, None, a ctypes function object (whose address is "
        "``ctypes.cast(f, ctypes.c_void_p).value``)",
    ),
    Error("TypeError", "__int__ returned non-int (type {type})", "the object's ``__int__`` returns something else"),
)

#: ``fn``, ``inst`` and ``h`` are unsigned 64-bit integers.
HANDLE_ERRORS = (
    *INTEGER_ERRORS,
    Error("OverflowError", "can't convert negative value to unsigned PY_LONG_LONG", "a negative value"),
    Error(
        "OverflowError",
        "Python int too large to convert to C unsigned long",
        "2**64 or more (the interpreter's message)",
    ),
)

#: ``n`` is a C int, and the first extent of the result.
COUNT_ERRORS = (
    *INTEGER_ERRORS,
    Error("OverflowError", "value too large to convert to int", "outside -2**31 to 2**31 - 1"),
    Error(
        "OverflowError",
        "Python int too large to convert to C long",
        "outside the signed 64-bit range (the interpreter's message)",
    ),
    Error(
        "ValueError", "negative dimensions are not allowed", "a negative n (NumPy's message, before any native call)"
    ),
)

#: The refusals of an array argument that a caller meets. Each array is used in place,
#: never copied: anything else is refused before the first native call.
ARRAY_ERRORS = (
    Error(
        "TypeError",
        "a bytes-like object is required, not '{type}'",
        "not an array: a list or a tuple, say (the interpreter's message); pass a NumPy array",
    ),
    Error(
        "ValueError",
        "ndarray is not C-contiguous",
        "a strided or transposed array, such as ``arr[::2]`` or ``arr.T`` (NumPy's message); pass "
        "``np.ascontiguousarray(arr)``",
    ),
    Error(
        "ValueError",
        "buffer source array is read-only",
        "a read-only array, also where the function only reads it (NumPy's message); pass ``arr.copy()``",
    ),
    Error(
        "ValueError",
        "Buffer has wrong number of dimensions (expected {expected}, got {got})",
        "a one-axis array where rows are expected, or the other way round",
    ),
    Error(
        "ValueError",
        "Buffer dtype mismatch, expected '{expected}' but got {got}",
        "another element type: a float64 array where float32 is expected gives expected 'float' but got 'double'; "
        "pass ``arr.astype(np.float32)`` (or ``np.int32`` for triangles)",
    ),
    Error(
        "ValueError",
        "{array} is not aligned: its '{element}' elements need an address that is a multiple of {alignment}",
        "a view at an odd byte offset into another array",
    ),
)

#: Rows of a two-axis array argument are read three elements at a time.
COLUMNS_ERROR = Error(
    "ValueError",
    "{array} has {columns} column{s} per row; at least 3 are required",
    "a two-axis array with rows narrower than three elements",
)

#: The other refusals of a buffer, listed once: exporters other than NumPy that ignore
#: the request for C-contiguous, writable memory, unusual format strings, and a rebound
#: module global ``np`` whose results are not what ``np.empty`` and ``np.zeros`` make.
BUFFER_ERRORS = (
    Error("ValueError", "Big-endian buffer not supported on little-endian compiler", "a '>' or '!' byte order"),
    Error(
        "ValueError",
        "Little-endian buffer not supported on big-endian compiler",
        "a '<' byte order, on a big-endian machine",
    ),
    Error(
        "ValueError",
        "Does not understand character buffer dtype format string ('{character}')",
        "a format character outside the grammar: float16 ('e'), a pointer ('P')...",
    ),
    Error("ValueError", "Unexpected format string character: 'Z'", "'Z' not followed by 'f', 'd' or 'g'"),
    Error(
        "ValueError",
        "Python does not define a standard format string size for long double ('g')..",
        "'g' under a standard-size prefix",
    ),
    Error(
        "ValueError",
        "Buffer dtype mismatch, expected end but got {got}",
        "a format of more than one element: a repeat count, or a record of several fields",
    ),
    Error(
        "ValueError",
        "Buffer dtype mismatch; next field is at offset {offset} but 0 expected",
        "a record whose element does not come first",
    ),
    Error("ValueError", "Expected 0 dimension(s), got {ndim}", "a sub-array shape in the format"),
    Error("ValueError", "Buffer acquisition: Expected '{{' after 'T'", "a malformed record format"),
    Error("ValueError", "Cannot handle repeated arrays in format string", "a repeat count before a sub-array shape"),
    Error("ValueError", "Expected a comma in format string, got '{character}'", "a malformed sub-array shape"),
    Error("ValueError", "Unexpected end of format string, expected ')'", "a malformed sub-array shape"),
    Error(
        "ValueError",
        "Item size of buffer ({itemsize} byte{s}) does not match size of '{element}' ({size} bytes)",
        "an item size other than the element's: a record with pad bytes after its element",
    ),
    Error("ValueError", "Buffer is read-only", "an exporter that ignored the request for write access"),
    Error(
        "ValueError",
        "Buffer and memoryview are not contiguous in the same dimension.",
        "an exporter that ignored the request for C-contiguous memory",
    ),
    Error("ValueError", "Buffer exposes suboffsets but no strides", "an exporter of indirect memory"),
    Error(
        "ValueError", "Buffer not compatible with direct access in dimension {axis}.", "an exporter of indirect memory"
    ),
    Error("ValueError", "Buffer not C contiguous.", "strides that are not C order as a whole"),
    Error("ValueError", "Buffer exposes no shape", "a two-axis buffer without a shape"),
    Error("ValueError", "Buffer has a negative extent ({extent}) in dimension {axis}", "a shape that is no shape"),
    Error(
        "ValueError",
        "Buffer of shape {shape} with {itemsize}-byte items is larger than any memory",
        "a shape whose byte size does not fit in a Py_ssize_t",
    ),
    Error(
        "ValueError",
        "Buffer length ({length} bytes) does not match its shape {shape} of {itemsize}-byte items ({total} bytes)",
        "a length that its shape does not describe",
    ),
    Error("ValueError", "Buffer of {length} bytes is at address NULL", "memory at a null address"),
    Error(
        "ValueError",
        "result array has shape ({rows}, {columns}) where ({n}, 3) is needed",
        "a rebound np whose empty() gives fewer rows or columns than asked for",
    ),
    Error(
        "ValueError",
        "result array has {length} elements where {n} are needed",
        "a rebound np whose empty() or zeros() gives fewer elements than asked for",
    ),
    Error(
        "ValueError",
        "result array {array} is not aligned: its '{element}' elements need an address that is a multiple of "
        "{alignment}",
        "a rebound np whose results are misaligned",
    ),
    Error(
        "SystemError",
        "error return without exception set",
        "an __int__, buffer exporter or rebound np of the caller's that fails without setting an exception",
    ),
)

ZERO_FN = Error(
    "ValueError",
    "fn is 0: the address of a native function is required",
    "fn is 0 where it would be called; a call with nothing to transfer does not examine it",
)
NO_NUMPY = Error(
    "NameError",
    "name 'np' is not defined",
    "the module global np was deleted (and the builtins have none); NumPy's own errors, such as MemoryError, pass "
    "through too",
)


def _short_vals(unit: str) -> Error:
    return Error(
        "ValueError",
        f"vals has {{length}} {unit}{{s}} but pos has {{rows}} row{{s}}",
        f"vals has fewer {unit}s than pos has rows (None has none)",
    )


FIELD_CHANGED = Error(
    "RuntimeError",
    "the field changed during extraction: the count pass reported {n} value{s}, the fill pass {m}",
    "the fill traversal reported more values than the count traversal before it (fewer give that many rows)",
)

# -- families ----------------------------------------------------------------------------


@dataclass(frozen=True)
class Family:
    """What the functions of one family have in common, as the reference states it."""

    native_must: str  # what the native has to do, beyond having its C type
    gil: str  # when the GIL is released
    cost: str  # what a call costs besides the native's own time


FAMILIES = {
    READOUT: Family(
        "Write the three elements of element ``index`` through ``out``. It is called for index 0 to n - 1, in "
        "order; the module does not know the mesh's size, so it also asks for indices past its end if n does. A row "
        "the native does not write keeps what ``np.empty`` left there.",
        "Released once, around the n native calls; not released when n is 0.",
        "One ``np.empty((n, 3))`` and n native calls; nothing per element besides.",
    ),
    BUILDING: Family(
        "Read the three elements of one row through the pointer, which points into the caller's array. Its "
        "``int`` result is not examined.",
        "Released once, around the native calls, also when there are none.",
        "One native call per row, on the caller's memory in place; nothing is allocated or copied.",
    ),
    FIELD_SETTER: Family(
        "Read the position's three elements through ``pos``, and the value: a ``float`` passed by value (scalar "
        "fields) or three elements through ``value`` (vector fields).",
        "Released once, around the native calls, also when there are none.",
        "One native call per row of ``pos``, on the caller's memory in place; nothing is allocated or copied.",
    ),
    FIELD_SAMPLER: Family(
        "Return a non-zero byte if the field has a value at the position, having written it through ``value`` "
        "(one element, or three); return 0 if not. A value not found comes back as NaN with a False flag, whatever "
        "the native wrote.",
        "Released once, around the native calls, also when there are none.",
        "``np.empty`` for the values and ``np.zeros(n, np.uint8)`` for the flags, viewed as bool, then one native "
        "call per row of ``pos``. The vector sampler sets the rows not found to NaN afterwards, with one masked "
        "assignment, skipped when every row was found.",
    ),
    ACTIVE_VALUES: Family(
        "Call the callback once per active value, synchronously, on the calling thread, before returning, and "
        "report the same values in the same order when the field has not changed: the field is traversed twice. "
        "The pointers handed to the callback need be valid only during that call.",
        "Released around each traversal; the callbacks run without it. A field without values is traversed once.",
        "Two traversals (one counts, one fills) and two ``np.empty``: the runtime gives no count in advance, and "
        "the results are written in place, without a growing buffer or a copy.",
    ),
}

#: What the scalar parameters are; ``{native}`` is the function's native type.
PARAMETERS = {
    "fn": "the address of a native function of type ``{native}``, as ``ctypes.cast(f, ctypes.c_void_p).value`` "
    "gives it; called as given, without any check but that it is not 0",
    "inst": "the runtime's instance handle, passed to the native unchanged",
    "h": "the handle of the runtime object ({object}), passed to the native unchanged",
    "n": "the number of rows to read, from 0 to 2**31 - 1",
}


@dataclass(frozen=True)
class Function:
    name: str
    family: str
    vector: bool  # a field function whose values are 3-vectors
    native: str  # C type of the native called through fn
    entry: str  # the reference runtime's entry point, as named by Runtime.args
    symbol: str  # ... and its exported symbol
    inputs: tuple[Array, ...]  # array arguments, in parameter order
    outputs: tuple[Array, ...]  # array results, in result order
    summary: str  # what it does, in one line
    errors: tuple[Error, ...]  # the errors of its own, besides those of binding and of its arrays

    @property
    def params(self) -> tuple[str, ...]:
        """The parameters in order: the handles, then a row count or the arrays."""
        return HANDLES + (("n",) if self.family == READOUT else tuple(a.name for a in self.inputs))

    @property
    def object(self) -> str:
        """What ``h`` designates."""
        return "a mesh" if self.family in (READOUT, BUILDING) else f"a {'vector' if self.vector else 'scalar'} field"

    @property
    def raises(self) -> dict[str, tuple[Error, ...]]:
        """Every error a call can raise (but those of BUFFER_ERRORS), by what it is about."""
        groups: dict[str, tuple[Error, ...]] = {"the call": BINDING_ERRORS, ", ".join(HANDLES): HANDLE_ERRORS}
        if self.family == READOUT:
            groups["n"] = COUNT_ERRORS
        if self.inputs:
            two_axes = any(len(a.shape) == 2 for a in self.inputs)
            groups[", ".join(a.name for a in self.inputs)] = ARRAY_ERRORS + ((COLUMNS_ERROR,) if two_axes else ())
        groups["the transfer"] = self.errors
        return groups


_MESH = (ZERO_FN,)
_ALLOCATES = (ZERO_FN, NO_NUMPY)

# One function per entry, its facts in the order of Function's fields.
# fmt: off
FUNCTIONS = {
    f.name: f
    for f in (
        Function(
            "read_vertices", READOUT, False, "QLgetvec_t", "get_vertex", "qlref_mesh_get_vertex",
            (), (Array("verts", ROWS, np.float32, "vertex i of the mesh in row i, as the native wrote it"),),
            "The first n vertices of a mesh, as a new (n, 3) float32 array.",
            _ALLOCATES,
        ),
        Function(
            "read_triangles", READOUT, False, "QLgettri_t", "get_triangle", "qlref_mesh_get_triangle",
            (), (Array("tris", ROWS, np.int32, "the three vertex indices of triangle i in row i"),),
            "The first n triangles of a mesh, as a new (n, 3) int32 array of vertex indices.",
            _ALLOCATES,
        ),
        Function(
            "add_vertices", BUILDING, False, "QLaddvec_t", "add_vertex", "qlref_mesh_add_vertex",
            (Array("verts", ROWS, np.float32, "the vertices to add, one (x, y, z) per row; None adds none"),), (),
            "Adds every row of a float32 array to a mesh as a vertex, in row order.",
            _MESH,
        ),
        Function(
            "add_triangles", BUILDING, False, "QLaddtri_t", "add_triangle", "qlref_mesh_add_triangle",
            (Array("tris", ROWS, np.int32, "the triangles to add, three vertex indices per row; None adds none"),),
            (),
            "Adds every row of an int32 array to a mesh as a triangle, in row order.",
            _MESH,
        ),
        Function(
            "scalar_set_many", FIELD_SETTER, False, "QLsetscl_t", "scalar_set", "qlref_scalar_set",
            (POS, Array("vals", ("n",), np.float32, "the value for each row of pos; elements past them are unused")),
            (),
            "Stores a float32 value at each of many positions of a scalar field.",
            (ZERO_FN, _short_vals("element")),
        ),
        Function(
            "scalar_get_many", FIELD_SAMPLER, False, "QLgetscl_t", "scalar_sample", "qlref_scalar_sample",
            (POS,),
            (Array("vals", ("n",), np.float32, "the value at each position; NaN where there is none"), FOUND),
            "Samples a scalar field at many positions: the values, and where they were found.",
            _ALLOCATES,
        ),
        Function(
            "vector_set_many", FIELD_SETTER, True, "QLsetvec_t", "vector_set", "qlref_vector_set",
            (POS, Array("vals", ROWS, np.float32, "the vector for each row of pos; rows past them are unused")),
            (),
            "Stores a 3-vector at each of many positions of a vector field.",
            (ZERO_FN, _short_vals("row")),
        ),
        Function(
            "vector_get_many", FIELD_SAMPLER, True, "QLgetvecf_t", "vector_sample", "qlref_vector_sample",
            (POS,),
            (Array("vals", ROWS, np.float32, "the vector at each position; a row of NaN where there is none"), FOUND),
            "Samples a vector field at many positions: the vectors, and where they were found.",
            _ALLOCATES,
        ),
        Function(
            "scalar_active_values", ACTIVE_VALUES, False, "QLtraverse_s_t", "scalar_traverse", "qlref_scalar_traverse",
            (), (COORDS, Array("vals", ("n",), np.float32, "the value at each of those positions")),
            "Every active value of a scalar field, with its position, from its traversal.",
            (*_ALLOCATES, FIELD_CHANGED),
        ),
        Function(
            "vector_active_values", ACTIVE_VALUES, True, "QLtraverse_v_t", "vector_traverse", "qlref_vector_traverse",
            (), (COORDS, Array("vals", ROWS, np.float32, "the vector at each of those positions")),
            "Every active vector of a vector field, with its position, from its traversal.",
            (*_ALLOCATES, FIELD_CHANGED),
        ),
    )
}
# fmt: on
