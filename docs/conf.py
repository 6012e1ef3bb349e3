"""Sphinx configuration of the tonalis documentation (built by tools/docs.sh)."""

import sys
from pathlib import Path

import tonalis

sys.path.insert(0, str(Path(__file__).parent / "_ext"))

project = "tonalis"
copyright = "the tonalis developers"
version = release = tonalis.__version__

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",
    "myst_parser",
    "cli_reference",
    "bench_tables",
]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build"]

myst_enable_extensions = ["colon_fence"]
# Headings become link targets, so that pages can link to sections.
myst_heading_anchors = 3

# Options keep their two hyphens and quotes stay as typed.
smartquotes = False

html_theme = "furo"
html_static_path = ["_static"]
html_title = f"tonalis {release}"

autodoc_member_order = "bysource"
autodoc_default_options = {"members": True, "no-value": True}
autodoc_typehints = "description"
napoleon_google_docstring = True
napoleon_numpy_docstring = True
