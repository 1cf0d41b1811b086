#!/usr/bin/env bash
# Builds the documentation site from nothing into build/docs/html, warnings as errors,
# with Sphinx at pinned versions in a tools venv of its own (build/docs-venv). The API
# reference is made from the sources in the tree (the catalogue, the C header, the type
# stubs), so nothing is compiled or installed for it.
#
#   scripts/docs.sh           build the site; open build/docs/html/index.html
#   scripts/docs.sh --check   build it, then open it in headless Chromium and check, as a
#                             reader would, that the search for scalar_get_many leads to
#                             its API entry and that the entry shows its signature and its
#                             native type (docs/browser_check.py). Debian's chromium and
#                             chromium-driver are installed with apt-get when missing.
#                             Screenshots go to build/docs/ (search.png, scalar_get_many.png).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$ROOT/scripts/find-python.sh"
cd "$ROOT"

TOOLS=$ROOT/build/docs-venv
OUT=$ROOT/build/docs
[ -x "$TOOLS/bin/python" ] || "$(find_python)" -m venv "$TOOLS"
# NumPy: the catalogue, which the reference is made from, names NumPy's types.
tools=("sphinx==9.2.0" "pydata-sphinx-theme==0.24.0" "myst-parser==5.2.0" "numpy==2.5.5")
[ "${1:-}" != --check ] || tools+=("selenium==4.51.0")
"$TOOLS/bin/python" -m pip --disable-pip-version-check -q install --prefer-binary "${tools[@]}"

rm -rf "$OUT"
"$TOOLS/bin/sphinx-build" -W --keep-going -E -q -b html -d "$OUT/doctrees" docs "$OUT/html"
echo "docs: built into $OUT/html (open index.html)"

if [ "${1:-}" = --check ]; then
    if ! command -v chromium >/dev/null 2>&1 || ! command -v chromedriver >/dev/null 2>&1; then
        echo "installing chromium and chromium-driver" >&2
        apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
            chromium chromium-driver >/dev/null
    fi
    "$TOOLS/bin/python" docs/browser_check.py "$OUT"
fi
