#!/usr/bin/env bash
# Makes (or refreshes) the project's virtual environment and installs the package into
# it with the extras named in $1 (e.g. "test" or "bench"). Sourced by the other scripts;
# needs nothing but a Python 3.13 interpreter somewhere on the machine.
#
# Other builds (scripts/sanitize.sh) reuse it through the environment: QUORPY_VENV is
# the venv, QUORPY_BUILD_DIR the CMake build directory, QUORPY_PIP_ARGS extra words for
# the package's pip install (e.g. -Ccmake.define.X=ON, or a requirement such as
# "numpy==2.1.*").
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VENV=${QUORPY_VENV:-$ROOT/.venv}
BUILD_DIR=${QUORPY_BUILD_DIR:-$ROOT/build/release}
read -r -a extra_pip_args <<<"${QUORPY_PIP_ARGS:-}"
source "$ROOT/scripts/find-python.sh"

if [ ! -x "$VENV/bin/python" ]; then
    PY=$(find_python)
    echo "creating $VENV with $PY" >&2
    "$PY" -m venv "$VENV"
fi
PIP=("$VENV/bin/python" -m pip --disable-pip-version-check -q)
"${PIP[@]}" install --upgrade pip
# The build runs without isolation so that the build directory is reused between runs.
build_tools=("scikit-build-core>=0.11" ninja)
command -v cmake >/dev/null 2>&1 || build_tools+=("cmake>=3.18")
"${PIP[@]}" install "${build_tools[@]}"
echo "building and installing quorpy[${1:-}]" >&2
mkdir -p "$ROOT/build"
(
    flock 9
    "${PIP[@]}" install --no-build-isolation -Cbuild-dir="$BUILD_DIR" ${extra_pip_args[@]+"${extra_pip_args[@]}"} \
        "$ROOT${1:+[$1]}"
) 9>"$ROOT/build/.install.lock"
