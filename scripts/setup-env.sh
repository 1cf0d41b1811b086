#!/usr/bin/env bash
# Makes (or refreshes) the project's virtual environment and installs the package into
# it with the extras named in $1 (e.g. "test" or "bench"). Sourced by the other scripts;
# needs nothing but a Python 3.13 interpreter somewhere on the machine.
#
# The environment chooses the rest: QUORPY_PYTHON the interpreter (see find-python.sh;
# with it, the venv and build directory default to .venv-TAG and build/release-TAG, TAG
# being cp314, cp313t...), QUORPY_VENV the venv, QUORPY_BUILD_DIR the CMake build
# directory, QUORPY_PIP_ARGS extra words for the package's pip install (e.g.
# -Ccmake.define.X=ON, or a requirement such as "numpy==2.1.*"),
# QUORPY_SYSTEM_SITE_PACKAGES=1 a venv that sees the interpreter's own packages (Debian's
# NumPy where PyPI has no wheel for the machine, scripts/pythons.sh). Other builds
# (scripts/sanitize.sh) reuse it that way. QUORPY_EDITABLE=1 makes the install editable
# and rebuilt on import (scripts/dev-install.sh), its build directory defaulting to
# build/editable.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$ROOT/scripts/find-python.sh"
PY=$(find_python)
suffix=
[ -z "${QUORPY_PYTHON:-}" ] || suffix=-$(python_tag "$PY")
VENV=${QUORPY_VENV:-$ROOT/.venv$suffix}
read -r -a extra_pip_args <<<"${QUORPY_PIP_ARGS:-}"
editable=()
if [ "${QUORPY_EDITABLE:-}" = 1 ]; then
    # The first import of the package in a process runs the CMake build and install in
    # BUILD_DIR, quietly: it prints nothing unless the build fails (set
    # SKBUILD_EDITABLE_VERBOSE=1 to see it). The install tree is inside BUILD_DIR.
    BUILD_DIR=${QUORPY_BUILD_DIR:-$ROOT/build/editable$suffix}
    editable=(-Ceditable.rebuild=true -Ceditable.verbose=false --editable)
else
    BUILD_DIR=${QUORPY_BUILD_DIR:-$ROOT/build/release$suffix}
fi

if [ -x "$VENV/bin/python" ] && [ "$(python_tag "$VENV/bin/python")" != "$(python_tag "$PY")" ]; then
    echo "$VENV was made with another interpreter than $PY: making it afresh" >&2
    rm -rf "$VENV"
fi
if [ ! -x "$VENV/bin/python" ]; then
    echo "creating $VENV with $PY" >&2
    venv_args=()
    [ "${QUORPY_SYSTEM_SITE_PACKAGES:-}" != 1 ] || venv_args=(--system-site-packages)
    "$PY" -m venv ${venv_args[@]+"${venv_args[@]}"} "$VENV"
fi
PIP=("$VENV/bin/python" -m pip --disable-pip-version-check -q)
"${PIP[@]}" install --upgrade pip
# The build runs without isolation so that the build directory is reused between runs.
# That holds for dependencies too, so they come as wheels where any release has one
# (--prefer-binary): the newest is not built for every interpreter (NumPy for
# free-threaded 3.13, for one); some need pins (find-python.sh).
mapfile -t -O "${#extra_pip_args[@]}" extra_pip_args < <(interpreter_pins "$PY")
build_tools=("scikit-build-core>=0.11" ninja)
command -v cmake >/dev/null 2>&1 || build_tools+=("cmake>=3.18")
# The rebuild on import keeps its install tree in the build directory from
# scikit-build-core 1.0 on; it has been tried with 1.1 only.
[ "${QUORPY_EDITABLE:-}" != 1 ] || build_tools[0]="scikit-build-core>=1.1"
"${PIP[@]}" install --prefer-binary "${build_tools[@]}"
install_quorpy() {  # install_quorpy EXTRAS
    "${PIP[@]}" install --prefer-binary --no-build-isolation -Cbuild-dir="$BUILD_DIR" \
        ${extra_pip_args[@]+"${extra_pip_args[@]}"} ${editable[@]+"${editable[@]}"} "$ROOT${1:+[$1]}"
}
# The bench extra's packages are optional contenders, and some interpreters have no
# wheel of some of them (numba none for free-threaded 3.13 or the newest CPython, cffi
# none for free-threaded 3.13), which fails the whole install. Then the package goes in
# with the other extras, and each of the bench extra's packages on its own as a wheel,
# or not at all: the benchmark says which contender is missing.
install_optional_bench() {  # install_optional_bench EXTRAS LOG
    local others req reqs
    others=$(sed -E 's/(^|,)bench(,|$)/\1/; s/,$//' <<<"$1")
    echo "quorpy[$1] cannot be installed whole with this interpreter (pip's output: $2):" \
        "installing quorpy${others:+[$others]}, then the bench extra's packages one by one, as wheels" >&2
    install_quorpy "$others" || return
    mapfile -t reqs < <("$VENV/bin/python" -c 'import sys, tomllib
print(*tomllib.load(open(sys.argv[1], "rb"))["project"]["optional-dependencies"]["bench"], sep="\n")' \
        "$ROOT/pyproject.toml")
    for req in "${reqs[@]}"; do
        "${PIP[@]}" install --only-binary :all: "$req" 2>/dev/null ||
            echo "$req: not installed (no wheel of it installs here); the benchmark runs without it" >&2
    done
}
echo "building and installing quorpy[${1:-}] with $("$VENV/bin/python" -VV | head -n 1)" >&2
mkdir -p "$ROOT/build"
(
    flock 9
    case ",${1:-}," in
    *,bench,*)
        log=$ROOT/build/pip-$(basename "$VENV").log
        install_quorpy "$1" 2>"$log" || install_optional_bench "$1" "$log"
        ;;
    *) install_quorpy "${1:-}" ;;
    esac
) 9>"$ROOT/build/.install.lock"
