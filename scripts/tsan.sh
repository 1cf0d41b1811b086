#!/usr/bin/env bash
# Looks for data races with ThreadSanitizer (TSan), in free-threaded CPython 3.13 built
# with it (scripts/pythons.sh 3.13t-tsan: this script runs itself through it, unless
# QUORPY_PYTHON already names such an interpreter). The package and the test natives are
# built with -fsanitize=thread (QUORPY_SANITIZE=thread, cmake/sanitize.cmake) by the
# interpreter's own compiler, into a venv of their own (build/tsan-venv, CMake build
# directory build/tsan). Then, with the GIL off, three runs of pytest:
#   threads   the thread and stress tests
#   parallel  the MODULEs, each test on four threads at once (pytest-run-parallel)
#   hostile   the stress in which failures race successes while `np` and NumPy's names
#             change, on 15 threads, for QUORPY_TSAN_STRESS_SECONDS (default 20)
#
#   scripts/tsan.sh [PYTEST_ARG...] [-- MODULE...]
#
# (.ci/run's tsan leg passes the modules of its free-threaded leg.) Reports go to
# build/tsan-logs/. TSan reads one suppression file, made there of CPython's own for its
# free-threaded build and the project's (scripts/tsan-suppressions.txt), which names only
# races whose two accesses are both inside CPython, libffi or NumPy, each with its reason.
# Fails when a run fails or any report is left: every report is printed, and one with a
# racing access in the project's own code (the extension, the reference runtime, the
# test natives) is marked so; such a race is to be mended, never suppressed.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)

# The set-up and these checks run the interpreter too: what TSan would say of pip or
# CMake is not what is checked here.
export TSAN_OPTIONS=report_bugs=0
if [ -z "${QUORPY_PYTHON:-}" ]; then
    exec "$ROOT/scripts/pythons.sh" run 3.13t-tsan "$0" "$@"
fi
if ! "$QUORPY_PYTHON" -c 'import sys, sysconfig
sys.exit("--with-thread-sanitizer" not in sysconfig.get_config_var("CONFIG_ARGS"))'; then
    echo "error: QUORPY_PYTHON=$QUORPY_PYTHON is not built with ThreadSanitizer (unset it: scripts/pythons.sh provides one)" >&2
    exit 1
fi
unset PYTHON_GIL

pytest_args=() modules=()
while [ $# -gt 0 ]; do
    if [ "$1" = -- ]; then
        shift
        modules=("$@")
        break
    fi
    pytest_args+=("$1")
    shift
done

# TSan's runtime is linked into the interpreter: what runs in it is built by the same
# compiler, which finds that runtime there.
read -r CC CXX < <("$QUORPY_PYTHON" -c 'import sysconfig
print(*(sysconfig.get_config_var(v).split()[0] for v in ("CC", "CXX")))')
export CC CXX
CPYTHON_SUPPRESSIONS=$("$QUORPY_PYTHON" -c 'import sys; print(sys.base_prefix)')/share/tsan/suppressions_free_threading.txt

export QUORPY_VENV=${QUORPY_TSAN_VENV:-$ROOT/build/tsan-venv}
export QUORPY_BUILD_DIR=$ROOT/build/tsan
export QUORPY_PIP_ARGS="-Ccmake.define.QUORPY_SANITIZE=thread -Ccmake.build-type=RelWithDebInfo pytest-run-parallel"
source "$ROOT/scripts/setup-env.sh" test
cd "$ROOT"

LOGS=$ROOT/build/tsan-logs
rm -rf "$LOGS"
mkdir -p "$LOGS"
cat "$CPYTHON_SUPPRESSIONS" "$ROOT/scripts/tsan-suppressions.txt" >"$LOGS/suppressions.txt"

# A report does not end the process, nor change its status: the logs are the verdict.
status=0
run() {  # run NAME PYTEST_ARG...: one run of pytest, its reports in $LOGS/NAME.PID
    local name=$1
    shift
    echo "tsan: $name" >&2
    TSAN_OPTIONS="suppressions=$LOGS/suppressions.txt print_suppressions=1 exitcode=0 log_path=$LOGS/$name" \
        QUORPY_SANITIZED=thread "$VENV/bin/python" -m pytest ${pytest_args[@]+"${pytest_args[@]}"} "$@" || status=1
}
run threads -k "thread or concurrent or stress" --deselect tests/test_stress.py::test_failures_race_successes_while_numpy_changes tests/
[ ${#modules[@]} -eq 0 ] || run parallel --parallel-threads=4 "${modules[@]}"
QUORPY_STRESS_SECONDS=${QUORPY_TSAN_STRESS_SECONDS:-20} run hostile tests/test_stress.py::test_failures_race_successes_while_numpy_changes

# Each report, marked by where its racing accesses are (the stacks under "Read of
# size..." and "Previous write of size..."; any stack of a report of another kind); then
# how often each suppression matched, and the counts.
OWN='_fastloop\.|libquorlan_ref\.so|librecorder\.so|libextra_traverse\.so|badbuffer\.|/src/quorpy/|/src/reference/|/tests/native/'
shopt -s nullglob
logs=("$LOGS"/threads.* "$LOGS"/parallel.* "$LOGS"/hostile.*)
verdict=$(awk -v own="$OWN" '
    function flush() {
        if (!inreport) return
        if (!accesses) mine = mineany
        if (mine) own_reports++
        printf "\n===== report %d (%s)%s:%s\n", reports, file,
            mine ? ", RACING ACCESS IN THE PROJECT'\''S CODE" : "", text > "/dev/stderr"
        inreport = 0
    }
    FNR == 1 { flush() }
    /^WARNING: ThreadSanitizer:|^==[0-9]+==ERROR: ThreadSanitizer|^FATAL: ThreadSanitizer/ {
        flush()
        reports++; file = FILENAME; text = ""; inreport = 1; access = 0; accesses = 0; mine = 0; mineany = 0
    }
    inreport {
        text = text "\n" $0
        if ($0 ~ /^  (Previous )?([Aa]tomic )?([Rr]ead|[Ww]rite) of size/) { access = 1; accesses = 1 }
        else if ($0 == "") access = 0
        if ($0 ~ /^ +#[0-9]+ / && $0 ~ own) { mineany = 1; if (access) mine = 1 }
    }
    inreport && /^SUMMARY: ThreadSanitizer/ { flush() }
    /^ThreadSanitizer: Matched [0-9]+ suppressions/ { insuppressed = 1; next }
    insuppressed && /^ *[0-9]+ [a-z_]+:/ { matched[$2] += $1; next }
    { insuppressed = 0 }
    END {
        flush()
        for (s in matched) printf "tsan: suppressed %6d  %s\n", matched[s], s > "/dev/stderr"
        printf "%d %d\n", reports, own_reports
    }' /dev/null ${logs[@]+"${logs[@]}"})
read -r reports own <<<"$verdict"
echo "tsan: $reports report(s) left, $own with a racing access in the project's code (logs: $LOGS)" >&2
[ "$reports" -eq 0 ] || status=1
exit "$status"
