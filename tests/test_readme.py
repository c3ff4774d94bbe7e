"""The README's Python examples, each as a user runs it after the documented install: in a fresh
interpreter and an empty directory, in the README's order, leaving nothing behind. An example that needs an extra that is
not installed is skipped. The README is not there when the suite runs against an installed wheel,
outside the checkout."""

import ast
import re
from pathlib import Path

import pytest

from conftest import run_py

README = Path(__file__).resolve().parent.parent / "README.md"
BLOCKS = (re.findall(r"^```python\n(.*?)^```$", README.read_text(encoding="utf-8"), re.M | re.S)
          if README.is_file() else [])

# What the package's functions need that a block does not import itself.
NEEDS = {"vst_stats": ["skmisc"], "variable_genes": ["pandas", "skmisc"],
         "plot_variable_genes": ["matplotlib"], "read_h5ad": ["h5py"]}


def needed(code):
    """The modules a block imports, and those behind the functions it calls."""
    modules = set()
    for node in ast.walk(ast.parse(code)):
        if isinstance(node, ast.Import):
            modules.update(alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and node.level == 0:
            modules.add(node.module)
        elif isinstance(node, ast.Attribute):
            modules.update(NEEDS.get(node.attr, ()))
    return sorted(m for m in modules if m.split(".")[0] != "brenix_kernels")


@pytest.mark.slow  # the examples' matrices hold millions of entries, and one starts a cluster
@pytest.mark.parametrize("code", BLOCKS, ids=[f"block{i + 1}" for i in range(len(BLOCKS))])
def test_example_runs(code, tmp_path):
    for module in needed(code):
        pytest.importorskip(module)
    result = run_py(code, timeout=300, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    # Nothing left behind, so that it runs again as well (a second run would find a file there).
    assert not any(tmp_path.iterdir()), sorted(p.name for p in tmp_path.iterdir())
