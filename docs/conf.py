"""Sphinx configuration: the documentation of the installed package (make docs)."""

import sys
from pathlib import Path

import brenix_kernels

sys.path.insert(0, str(Path(__file__).parent / "_ext"))

project = "brenix_kernels"
author = "The brenix_kernels developers"
copyright = "The brenix_kernels developers"
release = brenix_kernels.__version__
version = ".".join(release.split(".")[:2])

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",
    "sphinx.ext.intersphinx",
    "myst_parser",
    "if_available",
]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build", "_inventories"]

# Links into the other projects' documentation, from inventories kept in docs/_inventories: the
# build never downloads anything (CI reaches only the package indexes). The files list the objects
# these pages refer to; _inventories/make_inventories.py writes them.
_INVENTORIES = {
    "numpy": "https://numpy.org/doc/stable/",
    "scipy": "https://docs.scipy.org/doc/scipy/",
    "pandas": "https://pandas.pydata.org/docs/",
    "anndata": "https://anndata.readthedocs.io/en/stable/",
    "dask": "https://docs.dask.org/en/stable/",
}
intersphinx_mapping = {name: (url, f"_inventories/{name}.inv") for name, url in _INVENTORIES.items()}

autodoc_typehints = "none"  # the docstrings say what each argument may be
autodoc_preserve_defaults = True
napoleon_numpy_docstring = True
napoleon_google_docstring = False

myst_heading_anchors = 3

html_theme = "furo"
html_title = f"brenix_kernels {release}"
html_static_path = []
