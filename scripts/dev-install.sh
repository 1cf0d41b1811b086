#!/usr/bin/env bash
# The development loop: installs the package editable into .venv (made when missing, as
# scripts/test.sh does), with scikit-build-core's rebuild on import and the CMake build in
# build/editable. From then on the Python sources are used from src/, and the first time
# a process imports quorpy._fastloop or looks up the package's shared libraries
# (quorpy.reference and quorpy.bench do), the CMake build and install run first: after a
# C or C++ change, just run Python again. Nothing is printed unless the build fails
# (SKBUILD_EDITABLE_VERBOSE=1 shows the build). QUORPY_EXTRAS names the extras to install
# (default: test); scripts/setup-env.sh lists the other variables it reads.
#
# The rebuild runs the `cmake` first on PATH when Python imports quorpy: activate the
# venv (its cmake comes with the test extra) or keep another one on PATH. Run this script
# again after adding or removing files, or after deleting build/editable, which the
# install uses. scripts/test.sh and scripts/main.sh install the package into .venv
# non-editable again: in the loop, run the suite with `.venv/bin/python -m pytest`.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
export QUORPY_EDITABLE=1
source "$ROOT/scripts/setup-env.sh" "${QUORPY_EXTRAS:-test}"
if ! command -v cmake >/dev/null 2>&1; then
    echo "note: no cmake on PATH: an import of quorpy cannot rebuild until $VENV/bin is on PATH" \
        "(source $VENV/bin/activate)" >&2
fi
echo "quorpy is installed editable into $VENV and rebuilt from $BUILD_DIR on import" >&2
