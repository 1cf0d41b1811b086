#!/usr/bin/env bash
# Tests the wheel in dist/ made for the interpreter that scripts/find-python.sh names
# ($QUORPY_PYTHON, or the machine's 3.13) and the machine's architecture, as a user gets
# it: installs it with its test extra into a fresh venv outside the source tree and runs
# a copy of the test suite (and the pages it checks) there, from a temporary directory,
# against the installed package. Extra arguments go to pytest. scripts/wheel.sh runs it
# on each interpreter, through scripts/pythons.sh run for those the machine lacks.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$ROOT/scripts/find-python.sh"
PY=$(find_python)
cd "$ROOT"

tag=$(python_tag "$PY")
wheels=(dist/quorpy-*-"${tag%t}-$tag"-manylinux_*_"$(uname -m)".whl)
if [ ! -f "${wheels[0]}" ]; then
    echo "test-wheel: no $tag wheel for $(uname -m) in dist/ (scripts/wheel.sh makes them)" >&2
    exit 1
fi

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
"$PY" -m venv "$WORK/venv"
# Dependencies as wheels where any release has one: the newest is not built for every
# interpreter (NumPy for free-threaded 3.13, for one).
mapfile -t pins < <(interpreter_pins "$PY")
"$WORK/venv/bin/python" -m pip --disable-pip-version-check -q install --prefer-binary "${wheels[0]}[test]" \
    ${pins[@]+"${pins[@]}"}
# The suite, the pages whose examples it runs, and what its test natives are built from
# besides their own sources and the installed quorpy/native.h: the sanitizer flags and
# the header of attribute macros, which does not ship.
cp -r --parents tests README.md DESCRIPTION.md docs examples cmake src/quorpy/platform.h "$WORK/"
cd "$WORK"
"$WORK/venv/bin/python" -c 'import quorpy, sys; print("testing quorpy", quorpy.__version__, "at", quorpy.__file__, "with", sys.version)'
"$WORK/venv/bin/python" -m pytest -ra -p no:cacheprovider tests "$@"
