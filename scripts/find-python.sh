#!/usr/bin/env bash
# Defines find_python, which prints the path of a Python 3.13 interpreter: on PATH,
# under pyenv, or in the usual places. Sourced by the other scripts.
find_python() {
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
