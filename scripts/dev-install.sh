#!/usr/bin/env bash
# Incremental rebuild of the package into the existing .venv (development only).
# Serialised with a lock so that several shells can call it at once.
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p build
exec 9>build/.install.lock
flock 9
.venv/bin/pip install -q --no-build-isolation --no-deps -Cbuild-dir=build/release "$@" .
