"""The public functions' docstrings: their examples run as doctests against the installed package, and each has
the sections a user looks for, its Parameters naming every parameter of the signature."""

import doctest
import importlib
import inspect
import re

import pytest

import brenix_kernels as bk

pytest.importorskip("dask.array")
pytest.importorskip("pandas")
pytest.importorskip("skmisc")
from brenix_kernels import dask as bd  # noqa: E402

MODULES = ["brenix_kernels._public", "brenix_kernels._selection", "brenix_kernels.dask"]
FUNCTIONS = [bk.hvg_seurat_stats, bk.mean_var, bk.scale, bk.vst_stats, bk.variable_genes, bd.hvg_seurat_stats,
             bd.mean_var, bd.scale, bd.scale_sparse, bd.vst_stats]


@pytest.mark.parametrize("name", MODULES)
def test_examples_run(name):
    result = doctest.testmod(importlib.import_module(name), optionflags=doctest.NORMALIZE_WHITESPACE)
    assert result.attempted > 0 and result.failed == 0


def section(doc, title):
    match = re.search(rf"^{title}\n{'-' * len(title)}\n(.*?)(?=^\w+\n-+\n|\Z)", doc, re.S | re.M)
    assert match, f"no {title} section"
    return match.group(1)


@pytest.mark.parametrize("fn", FUNCTIONS, ids=lambda fn: f"{fn.__module__}.{fn.__name__}")
def test_docstring_sections(fn):
    doc = inspect.cleandoc(fn.__doc__)
    for title in ("Returns", "Raises", "Notes", "Examples"):
        section(doc, title)
    documented = {name.strip() for line in re.findall(r"^(\w[\w, ]*)$", section(doc, "Parameters"), re.M)
                  for name in line.split(",")}
    assert set(inspect.signature(fn).parameters) == documented
