"""Sphinx configuration of veldra's documentation.

Built by ``bash scripts/docs.sh`` (warnings are errors). The API reference
documents every name in ``veldra.__all__`` (the build fails if api.md misses
one); the command-line reference is generated from the argument parser.
"""

from __future__ import annotations

import re
from pathlib import Path

import veldra

project = "veldra"
author = "The veldra developers"
copyright = "the veldra developers"
release = version = veldra.__version__

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.intersphinx",
    "sphinx.ext.mathjax",
    "numpydoc",
    "myst_parser",
    "sphinxarg.ext",
]

source_suffix = {".md": "markdown", ".rst": "restructuredtext"}
root_doc = "index"
exclude_patterns = ["_build", "_generated"]
myst_enable_extensions = ["colon_fence", "deflist"]
myst_heading_anchors = 3
# Options such as --checkpoint stay two hyphens, not a dash.
smartquotes = False

autodoc_member_order = "groupwise"
autodoc_typehints = "none"  # the numpydoc sections give the types
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False
numpydoc_xref_param_type = False

# No network at build time: cross-references to other projects stay text.
intersphinx_mapping: dict = {}

html_theme = "pydata_sphinx_theme"
html_title = f"veldra {release}"
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
    "secondary_sidebar_items": ["page-toc"],
}
html_sidebars = {"**": []}  # the pages have no sub-pages to list on the left
html_static_path: list[str] = []
html_show_sourcelink = False


def _check_api_reference(app) -> None:
    """Every public name has its entry in the API reference."""
    text = (Path(app.srcdir) / "api.md").read_text()
    documented = set(re.findall(r"veldra\.(\w+)", text))
    missing = sorted(set(veldra.__all__) - documented)
    if missing:
        raise RuntimeError(f"api.md documents no entry for: {', '.join(missing)}")


def _write_cli_epilog(app) -> None:
    """The ``order`` command's examples and exit statuses, as its help prints
    them, for cli.md to include (sphinx-argparse would read them as
    reStructuredText)."""
    import argparse

    from veldra._cli._parser import build_parser

    parser = build_parser()
    (commands,) = (
        action
        for action in parser._actions
        if isinstance(action, argparse._SubParsersAction)
    )
    out = Path(app.srcdir) / "_generated" / "order-epilog.txt"
    out.parent.mkdir(exist_ok=True)
    text = commands.choices["order"].epilog
    if not out.exists() or out.read_text() != text:
        out.write_text(text)


def setup(app):
    app.connect("builder-inited", _check_api_reference)
    app.connect("builder-inited", _write_cli_epilog)
