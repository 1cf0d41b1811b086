#!/usr/bin/env bash
# Sets everything up from nothing (venv, build, test dependencies) and runs the test
# suite. Extra arguments go to pytest.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$ROOT/scripts/setup-env.sh" test
cd "$ROOT"
exec "$VENV/bin/python" -m pytest "$@"
