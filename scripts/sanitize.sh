#!/usr/bin/env bash
# Builds the package with AddressSanitizer and UndefinedBehaviorSanitizer into a venv of
# its own (build/asan-venv, CMake build dir build/asan) and runs the whole test suite
# under it. Extra arguments go to pytest.
#
# Fails when pytest fails or when a sanitizer reported anything, in this process or in
# any subprocess a test started: reports are written to build/asan-logs/ and printed.
# QUORPY_SANITIZED=address tells the tests which sanitizer is there (tests/natives.py
# builds the test natives with it too).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)

export QUORPY_VENV=${QUORPY_ASAN_VENV:-$ROOT/build/asan-venv}
export QUORPY_BUILD_DIR=$ROOT/build/asan
export QUORPY_PIP_ARGS="-Ccmake.define.QUORPY_SANITIZE=address -Ccmake.build-type=RelWithDebInfo"
source "$ROOT/scripts/setup-env.sh" test
cd "$ROOT"

# The interpreter is not instrumented, so the ASan runtime has to come first: preload
# the very library the extension was linked against.
EXT=$("$VENV/bin/python" -c 'import importlib.util as u; print(u.find_spec("quorpy._fastloop").origin)')
LIBASAN=$(ldd "$EXT" | awk '$1 ~ /^libasan\.so/ {print $3; exit}')
if [ -z "$LIBASAN" ]; then
    echo "error: $EXT is not linked against libasan: was it built with QUORPY_SANITIZE=address?" >&2
    exit 1
fi

LOGS=$ROOT/build/asan-logs
rm -rf "$LOGS"
mkdir -p "$LOGS"

status=0
env \
    LD_PRELOAD="$LIBASAN" \
    PYTHONMALLOC=malloc \
    ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1:log_path=$LOGS/asan" \
    UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$LOGS/ubsan" \
    QUORPY_SANITIZED=address \
    "$VENV/bin/python" -m pytest "$@" || status=$?

# A report ends the process that made it; a test may well have expected that process to
# fail for another reason, so the logs are the verdict.
shopt -s nullglob
reports=("$LOGS"/*)
if [ ${#reports[@]} -gt 0 ]; then
    for f in "${reports[@]}"; do
        echo "===== sanitizer report: $f" >&2
        cat "$f" >&2
    done
    echo "error: ${#reports[@]} sanitizer report(s)" >&2
    [ "$status" -ne 0 ] || status=1
fi
exit "$status"
