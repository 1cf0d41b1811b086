#!/usr/bin/env bash
# Sets everything up from nothing and runs the main job: the benchmark against the
# reference runtime. Extra arguments go to `python -m quorpy.bench`.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$ROOT/scripts/setup-env.sh" bench
cd "$ROOT"
exec "$VENV/bin/python" -m quorpy.bench "$@"
