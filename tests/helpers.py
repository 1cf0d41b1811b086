"""Small helpers shared by the test modules."""

from __future__ import annotations

import ctypes
import functools
import re
import string
import sys

import numpy as np

from quorpy import catalogue

# The ten functions: their parameters in order, their family, and the recorder's
# native kind that each calls through `fn` (named after the native's C type).
FUNCTIONS = {f.name: f.params for f in catalogue.FUNCTIONS.values()}
FAMILY = {f.name: f.family for f in catalogue.FUNCTIONS.values()}
NATIVE_KIND = {f.name: f.native.removeprefix("QL").removesuffix("_t") for f in catalogue.FUNCTIONS.values()}


# Buffer format prefixes besides "=" that give standard sizes in this machine's byte
# order, those of the other order, and the module's refusal of the latter.
NATIVE_ORDER, FOREIGN_ORDER, FOREIGN_ORDER_MESSAGE = (
    ("<", ">!", "Big-endian buffer not supported on little-endian compiler")
    if sys.byteorder == "little"
    else (">!", "<", "Little-endian buffer not supported on big-endian compiler")
)


def raised_as_listed(spec: catalogue.Function, exc: BaseException, errors=None) -> bool:
    """exc is one of the errors the catalogue lists for the function (or among `errors`),
    with its text: the function's name and parameter count filled in, any other field
    standing for anything (a plural "s" for nothing)."""
    known = {"function": spec.name, "count": str(len(spec.params))}
    if errors is None:
        errors = [e for group in spec.raises.values() for e in group]
    for error in errors:
        pattern = "".join(
            re.escape(literal) + ("" if field is None else re.escape(known[field]) if field in known else ".*?")
            for literal, field, _, _ in string.Formatter().parse(error.message)
        )
        if type(exc).__name__ == error.exception and re.fullmatch(pattern, str(exc)):
            return True
    return False


def counted(n: int, noun: str) -> str:
    """How the module's messages count: "1 row", "0 rows", "3 columns"."""
    return f"{n} {noun}{'' if n == 1 else 's'}"


def assert_one_module_frame(exc: BaseException, name: str, caller_frames: int = 1) -> None:
    """The traceback holds exactly one entry added by the module, named
    quorpy._fastloop.<name>, with a line number, and it comes right after the
    `caller_frames` Python frames that led to the call (1: the test called the
    function itself)."""
    qualname = f"quorpy._fastloop.{name}"
    entries = []
    tb = exc.__traceback__
    while tb is not None:
        entries.append(tb)
        tb = tb.tb_next
    names = [t.tb_frame.f_code.co_name for t in entries]
    assert names.count(qualname) == 1, names
    pos = names.index(qualname)
    assert pos == caller_frames, names
    entry = entries[pos]
    assert entry.tb_frame.f_code.co_qualname == qualname
    assert entry.tb_lineno is not None and entry.tb_lineno > 0
    import quorpy._fastloop as mod

    # The entry's frame runs in the module namespace.
    assert entry.tb_frame.f_globals is mod.__dict__
    # Nothing of the module's own handling is chained onto the exception.
    assert exc.__context__ is None and exc.__cause__ is None


# -- raw calls into the interpreter ------------------------------------------------
# Through a library handle of our own: ctypes.pythonapi's function objects are shared
# by every user in the process, so their argument types are not ours to set.

_PYTHON = ctypes.PyDLL(None)

# Flags that a C-contiguous, writable request with a format carries: the module's request.
PyBUF_WRITABLE = 0x0001
PyBUF_FORMAT = 0x0004
PyBUF_C_CONTIGUOUS = 0x0038  # PyBUF_STRIDES | 0x20
CONTIG_WRITABLE_FORMAT = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE  # 0x3D


class PyBufferStruct(ctypes.Structure):
    """The C Py_buffer, for calling the buffer protocol through ctypes."""

    _fields_ = [
        ("buf", ctypes.c_void_p),
        ("obj", ctypes.c_void_p),
        ("len", ctypes.c_ssize_t),
        ("itemsize", ctypes.c_ssize_t),
        ("readonly", ctypes.c_int),
        ("ndim", ctypes.c_int),
        ("format", ctypes.c_char_p),
        ("shape", ctypes.POINTER(ctypes.c_ssize_t)),
        ("strides", ctypes.POINTER(ctypes.c_ssize_t)),
        ("suboffsets", ctypes.c_void_p),
        ("internal", ctypes.c_void_p),
    ]


def _c_api(name: str, restype, *argtypes):
    function = getattr(_PYTHON, name)
    function.restype = restype
    function.argtypes = list(argtypes)
    return function


PyObject_GetBuffer = _c_api(
    "PyObject_GetBuffer", ctypes.c_int, ctypes.py_object, ctypes.POINTER(PyBufferStruct), ctypes.c_int
)
PyBuffer_Release = _c_api("PyBuffer_Release", None, ctypes.POINTER(PyBufferStruct))
PyObject_Vectorcall = _c_api(
    "PyObject_Vectorcall", ctypes.py_object, ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p
)
PyLong_AsLong = _c_api("PyLong_AsLong", ctypes.c_long, ctypes.py_object)
PyLong_AsUnsignedLong = _c_api("PyLong_AsUnsignedLong", ctypes.c_ulong, ctypes.py_object)


def get_buffer_error(obj, flags: int = CONTIG_WRITABLE_FORMAT) -> BaseException | None:
    """What the exporter of obj raises for a buffer request with these flags
    (None when it grants it): the reference for errors passed through."""
    view = PyBufferStruct()
    try:
        PyObject_GetBuffer(obj, ctypes.byref(view), flags)
    except BaseException as exc:  # noqa: BLE001 - handed back to the test
        return exc
    PyBuffer_Release(ctypes.byref(view))
    return None


def vectorcall(func, args, kwnames=None):
    """Call func through PyObject_Vectorcall with positional values followed by
    the values of the keywords named in the tuple kwnames, which may hold any
    objects: the interpreter checks nothing on this path."""
    args = tuple(args)
    nkw = 0 if kwnames is None else len(kwnames)
    vec = (ctypes.py_object * max(len(args), 1))(*args)
    names = None if kwnames is None else id(kwnames)
    return PyObject_Vectorcall(func, ctypes.addressof(vec), len(args) - nkw, names)


# -- test doubles ---------------------------------------------------------------------


class HasInt:
    """__int__ returns `result`. An exception instance is raised afresh each time (a
    shared one would collect tracebacks), an exception class with "from __int__".
    With a log, each conversion first appends `label` to it."""

    def __init__(self, result, log: list | None = None, label=None):
        self.result = result
        self.log = log
        self.label = label

    def __int__(self):
        if self.log is not None:
            self.log.append(self.label)
        if isinstance(self.result, BaseException):
            raise type(self.result)(*self.result.args)
        if isinstance(self.result, type) and issubclass(self.result, BaseException):
            raise self.result("from __int__")
        return self.result

    def __repr__(self):
        return f"HasInt({self.result!r})"


class IndexOnly:
    """Has __index__ but no __int__."""

    def __init__(self, value: int = 1):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"IndexOnly({self.value})"


class StrictInt(int):
    """A strict subclass of int that changes nothing."""


class Boom(Exception):
    """Raised by the doubles below: an exception no code under test raises itself."""


class SameStr(str):
    """A str subclass that compares by content."""


class RaisingEqual(str):
    """A str subclass whose comparison raises Boom."""

    def __eq__(self, other):
        raise Boom("compare")

    __hash__ = str.__hash__


class BrokenBuffer:
    """Its buffer export raises Boom."""

    def __buffer__(self, flags):
        raise Boom("export")


class NoneGiven:
    """Makes a FakeNumpy function return None."""


class FakeNumpy:
    """Stands in for the module global np. Its dtypes are NumPy's float32, int32 and
    uint8 as dtype objects, not the scalar types np.float32 & co, so that a test can tell
    they were passed on. empty and zeros give what was passed for them: None, NumPy's
    own array; NoneGiven, None; an exception class, raised; a function, its result for
    the same arguments; anything else, that object. With record=True the attributes read
    (`reads`) and the calls of empty and zeros (`calls`: name, args, kwargs) are logged;
    off by default, for tests that watch memory."""

    DTYPES = {name: np.dtype(name) for name in ("float32", "int32", "uint8")}

    def __init__(self, empty=None, zeros=None, record: bool = False):
        self.gives = {"empty": empty, "zeros": zeros}
        self.reads = [] if record else None
        self.calls = [] if record else None

    def __getattr__(self, name):
        if name.startswith("__") or name in ("gives", "reads", "calls"):
            raise AttributeError(name)
        if self.reads is not None:
            self.reads.append(name)
        if name in self.gives:
            return functools.partial(self._make, name)
        if name in self.DTYPES:
            return self.DTYPES[name]
        raise AttributeError(name)

    def _make(self, name: str, *args, **kwargs):
        if self.calls is not None:
            self.calls.append((name, args, kwargs))
        what = self.gives[name]
        if what is None:
            return getattr(np, name)(*args, **kwargs)
        if what is NoneGiven:
            return None
        if isinstance(what, type) and issubclass(what, BaseException):
            raise what("from the fake numpy")
        if callable(what):
            return what(*args, **kwargs)
        return what


class RecordingNumpy:
    """Stands in for the module global np: records empty/zeros calls and the arrays
    they made, and passes every other attribute to NumPy."""

    def __init__(self):
        self.calls = []
        self.made = []

    def __getattr__(self, name):
        return getattr(np, name)

    def _make(self, func, shape, dtype):
        self.calls.append((func, shape, dtype))
        a = getattr(np, func)(shape, dtype=dtype)
        self.made.append(a)
        return a

    def empty(self, shape, dtype=None):
        return self._make("empty", shape, dtype)

    def zeros(self, shape, dtype=None):
        return self._make("zeros", shape, dtype)
