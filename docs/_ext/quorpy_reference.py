"""The API reference, made from the facts the package states once: the catalogue of the
ten functions (src/quorpy/catalogue.py), the C header of the native types
(src/quorpy/include/quorpy/native.h) and the type stubs (src/quorpy/_fastloop.pyi).

Directives (reStructuredText; from MyST, inside an ``eval-rst`` block):

``.. quorpy-functions:: FAMILY``
    one entry per function of that family of the catalogue ("readout", "building"...)
``.. quorpy-natives::``
    a table: each function, the C type of its native and that type's declaration
``.. quorpy-buffer-errors::``
    the buffer refusals that the entries leave out (catalogue.BUFFER_ERRORS)
``.. quorpy-targets::``
    the benchmark's numbered targets, as its report states them (bench/report.py)

The sources are read from the tree, not from an installed package, so the site builds
without compiling anything; a fact the sources lack fails the build.
"""

from __future__ import annotations

import ast
import importlib.util
import re
import sys
from pathlib import Path
from types import ModuleType
from typing import Any

import numpy as np
from docutils import nodes
from docutils.statemachine import StringList
from sphinx.application import Sphinx
from sphinx.errors import ExtensionError
from sphinx.util.docutils import SphinxDirective

SRC = Path(__file__).resolve().parents[2] / "src" / "quorpy"
CATALOGUE = SRC / "catalogue.py"
HEADER = SRC / "include" / "quorpy" / "native.h"
STUB = SRC / "_fastloop.pyi"
BENCH_REPORT = SRC / "bench" / "report.py"
MODULE = "quorpy._fastloop"


def load_catalogue() -> ModuleType:
    """quorpy.catalogue, from its file: importing the package would need it installed."""
    spec = importlib.util.spec_from_file_location("quorpy_catalogue", CATALOGUE)
    if spec is None or spec.loader is None:
        raise ExtensionError(f"cannot load {CATALOGUE}")
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # dataclasses look their module up
    spec.loader.exec_module(module)
    return module


# -- the header --------------------------------------------------------------------------

TYPEDEF_NAME = re.compile(r"\(\*\s*(\w+)\s*\)|(\w+)\s*;\s*$")


def header_typedefs(text: str) -> dict[str, tuple[str, str]]:
    """Each one-line typedef of the header: its name -> (the comment over its group,
    the declaration). A comment stands over the typedefs that follow it, up to the next
    comment or blank line."""
    found: dict[str, tuple[str, str]] = {}
    comment: list[str] = []
    in_comment = False
    for line in text.splitlines():
        stripped = line.strip()
        if in_comment or stripped.startswith("/*"):
            if not in_comment:
                comment = []
            comment.append(line)
            in_comment = "*/" not in stripped
            continue
        if not stripped:
            comment = []
        elif stripped.startswith("typedef") and stripped.endswith(";"):
            m = TYPEDEF_NAME.search(stripped)
            if m:
                found[m.group(1) or m.group(2)] = ("\n".join(comment), stripped)
    return found


def declaration(native: str, typedefs: dict[str, tuple[str, str]]) -> list[str]:
    """The C lines that declare `native`: its group's comment, then the declarations of
    the header's types it takes (its callback, say), then its own."""
    if native not in typedefs:
        raise ExtensionError(f"{native}, a native type of the catalogue, is not declared in {HEADER}")
    comment, decl = typedefs[native]
    taken = decl.split("(*", 1)[1]
    used = dict.fromkeys(t for t in re.findall(r"\bQL\w+", taken) if t in typedefs and t not in (native, "QLu64"))
    return [*comment.splitlines(), *(typedefs[t][1] for t in used), decl]


# -- the stub ----------------------------------------------------------------------------


def stub_signatures(text: str) -> dict[str, tuple[dict[str, str], str]]:
    """Each function of the stub: its parameters' annotations and its return annotation,
    with the stub's own type aliases spelled out."""
    tree = ast.parse(text)
    aliases = {
        node.target.id: ast.unparse(node.value)
        for node in tree.body
        if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name) and node.value is not None
    }

    def spelled(annotation: ast.expr | None) -> str:
        text = ast.unparse(annotation) if annotation is not None else ""
        return aliases.get(text, text)

    return {
        f.name: ({a.arg: spelled(a.annotation) for a in f.args.args}, spelled(f.returns))
        for f in tree.body
        if isinstance(f, ast.FunctionDef)
    }


# -- the benchmark's targets -------------------------------------------------------------


def bench_targets() -> dict[int, str]:
    """TARGETS of the benchmark's report: its module's constants alone are run (the rest
    needs the compiled package), those whose values call nothing."""
    tree = ast.parse(BENCH_REPORT.read_text())
    constants = [
        node
        for node in tree.body
        if isinstance(node, ast.Assign)
        and all(isinstance(t, ast.Name) and t.id.isupper() for t in node.targets)
        and not any(isinstance(n, ast.Call) for n in ast.walk(node.value))
    ]
    namespace: dict[str, Any] = {}
    exec(compile(ast.Module(body=constants, type_ignores=[]), str(BENCH_REPORT), "exec"), namespace)
    targets: dict[int, str] = namespace["TARGETS"]
    return targets


# -- the entries -------------------------------------------------------------------------


def literal(text: str) -> str:
    return f"``{text}``"


def dtype(a: Any) -> str:
    return np.dtype(a.dtype).name


def shape(a: Any) -> str:
    extents = a.shape
    return "(" + ", ".join(str(e) for e in extents) + ("," if len(extents) == 1 else "") + ")"


def message(text: str, spec: Any, about: str) -> str:
    """A catalogue message with what the function fills in itself: its name, its number of
    parameters, and the array's name where the message is about one; other fields stay
    as {field}."""
    known = {"function": spec.name, "count": str(len(spec.params))}
    if about in (a.name for a in spec.inputs):
        known["array"] = about
    return re.sub(r"\{(\w+)\}", lambda m: known.get(m.group(1), m.group(0)), text).replace("{{", "{")


def lowered(sentence: str) -> str:
    """A sentence of the catalogue, to follow words of the page's own."""
    return sentence[0].lower() + sentence[1:]


def list_table(header: list[str], rows: list[list[str]], widths: str = "auto") -> list[str]:
    lines = [".. list-table::", "   :header-rows: 1", f"   :widths: {widths}", ""]
    for row in [header, *rows]:
        lines.append(f"   * - {row[0]}")
        lines += [f"     - {cell}" for cell in row[1:]]
    return lines


def errors_table(groups: dict[str, tuple[Any, ...]], spec: Any | None) -> list[str]:
    rows = []
    for about, errors in groups.items():
        for k, e in enumerate(errors):
            text = message(e.message, spec, about) if spec is not None else e.message.replace("{{", "{")
            rows.append(
                [
                    about if k == 0 else "",
                    literal(e.exception),
                    literal(text),
                    e.when,
                ]
            )
    return list_table(["for", "exception", "message", "when"], rows, "15 12 40 33")


def entry(spec: Any, cat: ModuleType, typedefs: dict[str, tuple[str, str]], stub: dict) -> list[str]:
    s = spec  # a catalogue.Function
    annotations, returns = stub[s.name]
    family = cat.FAMILIES[s.family]
    params = ", ".join(s.params)
    lines = [f".. py:function:: {s.name}({params}) -> {returns}", f"   :module: {MODULE}", ""]
    body = [s.summary, ""]
    for p in s.params:
        array = next((a for a in s.inputs if a.name == p), None)
        if array is None:
            what = cat.PARAMETERS[p].format(native=s.native, object=s.object)
        else:
            what = (
                f"{dtype(array)}, shape {shape(array)}, C-contiguous, writable (even though it is only read) and "
                f"aligned: {array.meaning}"
            )
        body.append(f":param {p}: {what}")
        body.append(f":type {p}: {literal(annotations[p])}")
    if s.outputs:
        made = [f"``{a.name}``, a new {shape(a)} {dtype(a)} array: {a.meaning}" for a in s.outputs]
        if len(made) == 1:
            body.append(f":returns: {made[0]}")
        else:
            body.append(f":returns: a tuple ({', '.join(a.name for a in s.outputs)}): " + "; ".join(made))
    else:
        body.append(":returns: None")
    body.append(f":rtype: {literal(returns)}")
    body += ["", ".. rubric:: Native", "", f"``fn`` is the address of a ``{s.native}``:", ""]
    body += [".. code-block:: c", ""] + [f"   {line}" for line in declaration(s.native, typedefs)] + [""]
    body += [f"It must {lowered(family.native_must)}", ""]
    body += [".. rubric:: Threads and the GIL", "", f"The GIL is {lowered(family.gil)} {THREADS}", ""]
    body += [".. rubric:: Cost", "", family.cost, ""]
    body += [".. rubric:: Raises", "", RAISES_NOTE, ""]
    body += errors_table(s.raises, s)
    return lines + [f"   {line}" if line else "" for line in body] + [""]


THREADS = (
    "The native runs on the calling thread, one call after another. Calls on other threads run meanwhile; "
    "see :doc:`free-threading`."
)
RAISES_NOTE = (
    "Each exception is raised before the first native call, but for those of the transfer itself. In the "
    "messages, a ``{field}`` stands for what the call fills in. The rarer refusals of a buffer, which every "
    "array argument can meet, are listed under :ref:`buffer-errors`."
)


class Reference(SphinxDirective):
    def sources(self) -> tuple[ModuleType, dict[str, tuple[str, str]], dict]:
        for path in (CATALOGUE, HEADER, STUB):
            self.env.note_dependency(str(path))
        cat = load_catalogue()
        return cat, header_typedefs(HEADER.read_text()), stub_signatures(STUB.read_text())

    def parsed(self, lines: list[str]) -> list[nodes.Node]:
        container = nodes.container()
        self.state.nested_parse(StringList(lines, str(CATALOGUE)), self.content_offset, container)
        return container.children


class Functions(Reference):
    required_arguments = 1
    final_argument_whitespace = True

    def run(self) -> list[nodes.Node]:
        cat, typedefs, stub = self.sources()
        family = self.arguments[0]
        specs = [f for f in cat.FUNCTIONS.values() if f.family == family]
        if not specs:
            raise self.error(f"no function of the family {family!r} in the catalogue")
        return self.parsed([line for s in specs for line in entry(s, cat, typedefs, stub)])


class Natives(Reference):
    def run(self) -> list[nodes.Node]:
        cat, typedefs, _ = self.sources()
        rows = [
            [f":py:func:`~{MODULE}.{f.name}`", literal(f.native), literal(declaration(f.native, typedefs)[-1])]
            for f in cat.FUNCTIONS.values()
        ]
        return self.parsed(list_table(["function", "native type", "declaration"], rows, "20 15 65"))


class BufferErrors(Reference):
    def run(self) -> list[nodes.Node]:
        cat, _, _ = self.sources()
        return self.parsed(errors_table({"any array": cat.BUFFER_ERRORS}, None))


class Targets(Reference):
    def run(self) -> list[nodes.Node]:
        self.env.note_dependency(str(BENCH_REPORT))
        return self.parsed([f"- **({k})** {what}" for k, what in bench_targets().items()])


def setup(app: Sphinx) -> dict[str, Any]:
    app.add_directive("quorpy-functions", Functions)
    app.add_directive("quorpy-natives", Natives)
    app.add_directive("quorpy-buffer-errors", BufferErrors)
    app.add_directive("quorpy-targets", Targets)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
