#!/usr/bin/env bash
# The static checks: ruff (lint and format) and mypy --strict over the Python sources and
# clang-format over the C and C++ sources, each at a pinned version in a tools venv of its
# own (build/lint-venv), with the NumPy whose annotations mypy reads. Checks only;
# `scripts/lint.sh --fix` applies ruff's and clang-format's fixes instead.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$ROOT/scripts/find-python.sh"
cd "$ROOT"

TOOLS=$ROOT/build/lint-venv
[ -x "$TOOLS/bin/python" ] || "$(find_python)" -m venv "$TOOLS"
# mypy reads the annotations of NumPy and of the benchmark's contenders (numba, cffi).
"$TOOLS/bin/python" -m pip --disable-pip-version-check -q install --prefer-binary "ruff==0.17.6" \
    "clang-format==23.1.5" "mypy==2.4.1" "numpy==2.5.5" "numba==0.68.1" "cffi==2.1.1"

mapfile -t c_sources < <(git ls-files '*.c' '*.h' '*.cpp' '*.hpp')
if [ "${1:-}" = "--fix" ]; then
    "$TOOLS/bin/ruff" check --fix . || true  # what it cannot fix, the check reports
    "$TOOLS/bin/ruff" format .
    "$TOOLS/bin/clang-format" -i "${c_sources[@]}"
    exit 0
fi
status=0
"$TOOLS/bin/ruff" check . || status=1
"$TOOLS/bin/ruff" format --check . || status=1
"$TOOLS/bin/clang-format" --dry-run --Werror "${c_sources[@]}" || status=1
"$TOOLS/bin/mypy" --strict -p quorpy --cache-dir build/mypy-cache || status=1
[ "$status" -eq 0 ] && echo "lint: ruff check, ruff format, clang-format and mypy: all clean"
exit "$status"
