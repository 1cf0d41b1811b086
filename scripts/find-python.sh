#!/usr/bin/env bash
# Defines find_python, which prints the path of the interpreter the scripts build and
# test with: $QUORPY_PYTHON when it is set (CPython 3.13 or later, free-threaded or not,
# for instance one that scripts/pythons.sh provides), else a Python 3.13 on PATH, under
# pyenv, or in the usual places. Also defines python_tag, which prints an interpreter's
# tag (cp313, cp314, cp313t...), and interpreter_pins. Sourced by the other scripts.
find_python() {
    if [ -n "${QUORPY_PYTHON:-}" ]; then
        if "$QUORPY_PYTHON" -c 'import sys; assert sys.implementation.name == "cpython" and sys.version_info >= (3, 13)' \
            >/dev/null 2>&1; then
            command -v "$QUORPY_PYTHON" || echo "$QUORPY_PYTHON"
            return 0
        fi
        echo "error: QUORPY_PYTHON=$QUORPY_PYTHON is not a CPython 3.13 or later" >&2
        return 1
    fi
    local candidates=(python3.13)
    if command -v pyenv >/dev/null 2>&1; then
        candidates+=("$(pyenv root)"/versions/3.13*/bin/python3.13)
    fi
    candidates+=("$HOME"/.pyenv/versions/3.13*/bin/python3.13 /usr/local/bin/python3.13 /usr/bin/python3.13)
    for py in "${candidates[@]}"; do
        if "$py" -c 'import sys; assert sys.version_info[:2] == (3, 13)' >/dev/null 2>&1; then
            command -v "$py" || echo "$py"
            return 0
        fi
    done
    echo "error: no Python 3.13 interpreter found (tried: ${candidates[*]})" >&2
    return 1
}

python_tag() {
    "$1" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}{sys.abiflags}")'
}

# interpreter_pins PY: requirements an install with PY needs besides the package's own,
# one a line. mypy from 1.19 on needs librt and ast-serialize, which have no wheels for
# free-threaded 3.13 at all (and the latter builds only with Rust), nor librt for s390x:
# there the stub check runs with mypy 1.18.
interpreter_pins() {
    if [ "$(python_tag "$1")" = cp313t ] || [ "$(uname -m)" = s390x ]; then
        echo "mypy<1.19"
    fi
}
