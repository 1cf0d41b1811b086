"""Small helpers shared by the test modules."""

from __future__ import annotations

from quorpy import catalogue

# The ten functions: their parameters in order, their family, and the recorder's
# native kind that each calls through `fn` (named after the native's C type).
FUNCTIONS = {f.name: f.params for f in catalogue.FUNCTIONS.values()}
FAMILY = {f.name: f.family for f in catalogue.FUNCTIONS.values()}
NATIVE_KIND = {f.name: f.native.removesuffix("_t") for f in catalogue.FUNCTIONS.values()}


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
