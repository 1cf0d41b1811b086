#!/usr/bin/env bash
# Sets everything up from nothing (venv, build, test dependencies) and runs the test
# suite. Extra arguments go to pytest. QUORPY_EXTRAS names the extras to install
# (default: test); setup-env.sh lists the other variables it reads.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$ROOT/scripts/setup-env.sh" "${QUORPY_EXTRAS:-test}"
cd "$ROOT"
exec "$VENV/bin/python" -m pytest "$@"
