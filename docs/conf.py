"""Sphinx configuration for the kestrel_grid documentation.

Build:   sphinx-build -W --keep-going -b html docs build/docs
Doctest: sphinx-build -W -b doctest docs build/doctest

The extension module must be installed; kestrel_grid_tools is read from this checkout
(python/ goes first on sys.path), so the pages document the code beside them.
"""

from __future__ import annotations

import os
import sys

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(ROOT, "python"))
# The same for child processes (the command-line examples run the tool in one).
os.environ["PYTHONPATH"] = os.pathsep.join(
    [os.path.join(ROOT, "python")] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
)

project = "kestrel_grid"
author = "kestrel_grid developers"
copyright = "kestrel_grid developers"
release = "0.1.0"

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",
    "sphinx.ext.doctest",
    "matplotlib.sphinxext.plot_directive",
]

html_theme = "furo"
html_title = "kestrel_grid"
exclude_patterns = ["_build"]
templates_path = []

# No network during builds: nothing is fetched from other projects' inventories.
autodoc_member_order = "bysource"
autodoc_typehints = "description"
autodoc_typehints_format = "short"
napoleon_google_docstring = True
napoleon_numpy_docstring = False

# Figures drawn by the plot directive: PNG only, no source or format links.
plot_formats = [("png", 100)]
plot_html_show_formats = False
plot_html_show_source_link = False
plot_include_source = False

# Every example runs headless in a scratch directory that holds a copy of
# examples/data, so paths in the pages are those of a checkout.
doctest_global_setup = f"""
import os
import shutil
import tempfile
import matplotlib
matplotlib.use("Agg")
import numpy as np
_docs_cwd = os.getcwd()
_docs_tmp = tempfile.TemporaryDirectory()
shutil.copytree({os.path.join(ROOT, "examples", "data")!r},
                os.path.join(_docs_tmp.name, "examples", "data"))
os.chdir(_docs_tmp.name)


def kestrel_grid(*args):
    # The command-line tool in a child process, for an example that needs Python around
    # it; plain runs are ``$ kestrel-grid`` lines, checked by tools/check_shell_examples.py.
    # Prints standard output, then standard error, and returns the exit status.
    import subprocess, sys
    done = subprocess.run([sys.executable, "-m", "kestrel_grid_tools", *args],
                          capture_output=True, text=True)
    print(done.stdout + done.stderr, end="")
    return done.returncode
"""
doctest_global_cleanup = """
os.chdir(_docs_cwd)
_docs_tmp.cleanup()
"""

# pandas pads its tables with trailing spaces; compare whitespace loosely everywhere.
import doctest  # noqa: E402

doctest_default_flags = (
    doctest.ELLIPSIS | doctest.DONT_ACCEPT_TRUE_FOR_1 | doctest.NORMALIZE_WHITESPACE
)


def _resolve_reexports(app, env, node, contnode):
    """Resolves ``kestrel_grid_tools.NAME`` to the submodule that defines NAME, so that
    references may use the import path users write."""
    if node.get("refdomain") != "py":
        return None
    package, _, name = node.get("reftarget", "").rpartition(".")
    if package != "kestrel_grid_tools":
        return None
    import importlib

    tools = importlib.import_module(package)
    for module_name in ("features", "adapters", "plot", "many", "cli"):
        module = importlib.import_module(f"{package}.{module_name}")
        if name in vars(module) and getattr(tools, name, None) is vars(module)[name]:
            return env.get_domain("py").resolve_xref(
                env, node["refdoc"], app.builder, node["reftype"],
                f"{package}.{module_name}.{name}", node, contnode,
            )
    return None


def setup(app):
    app.connect("missing-reference", _resolve_reexports)
