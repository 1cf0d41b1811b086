"""Sphinx configuration of the documentation site (scripts/docs.sh builds it)."""

import sys
import tomllib
from pathlib import Path

DOCS = Path(__file__).resolve().parent
sys.path.insert(0, str(DOCS / "_ext"))

with open(DOCS.parent / "pyproject.toml", "rb") as f:
    release = version = tomllib.load(f)["project"]["version"]

project = "quorpy"
author = "the quorpy developers"
copyright = "the quorpy developers"

extensions = ["myst_parser", "quorpy_reference"]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build"]
# Pages include the repository's own Markdown files; their headings get anchors too.
myst_heading_anchors = 3
myst_enable_extensions = ["colon_fence"]
default_role = "literal"

html_theme = "pydata_sphinx_theme"
html_title = f"quorpy {release}"
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
    "footer_start": ["copyright"],
    "footer_end": ["sphinx-version"],
}
# Every page is at the top level: the section navigation would be empty.
html_sidebars = {"**": []}
html_show_sourcelink = False
