"""Import behaviour, the function table and the internal-failure exception."""

import importlib
import inspect
import sys
import types

import numpy as np
import pytest

from conftest import run_in_subprocess

NAMES = ["scale", "scale_sparse_data", "hvg_seurat_stats", "hvg_seurat_stats_sparse"]

SIGNATURES = {
    "scale": "(x, *, zero_center=True, max_value=None, return_mean_std=False)",
    "scale_sparse_data": "(indices, data, n_rows, n_cols, *, max_value=None, promote=False)",
    "hvg_seurat_stats": "(x, *, log_base=None)",
    "hvg_seurat_stats_sparse": "(indices, data, n_rows, n_cols, *, log_base=None, square_f64=False)",
}

DOCS = {
    "scale": """Standardize each gene (column) to zero mean and unit variance.

`x` must be a 2-D NumPy array of dtype `float32`, `float64`, or an integer
type (integers are cast to `float64`, matching Brenix).

- `zero_center`: subtract the per-gene mean before scaling.
- `max_value`: clip (truncate) scaled values to `[-max_value, max_value]`;
  the lower bound is only applied when `zero_center` is true.
- `return_mean_std`: also return the per-gene mean and std arrays.""",
    "scale_sparse_data": """Scale a sparse (CSR) matrix's non-zero values and return mean/std.

`indices[k]` is the column index of `data[k]`; `n_rows`/`n_cols` are the
matrix dimensions. Matches `brenix.pp.scale`'s sparse path (sklearn-style
mean/variance, upper-bound clipping only). `promote` reproduces the
reference's CSC behaviour: CSC output is promoted to `float64`, CSR keeps
its dtype.""",
    "hvg_seurat_stats": """Compute per-gene `means` and `dispersions` for the Seurat flavor.

`x` is the logarithmized (log1p) expression matrix, `n_obs` x `n_vars`,
float32 or float64. `log_base` is the base of the logarithm (`None` = natural
log, matching `brenix.pp.log1p`'s default).

Returns `(means, dispersions)` as float64 arrays of length `n_vars`, where
`means = log1p(mean(expm1(x)))` and
`dispersions = log(var(expm1(x)) / mean(expm1(x)))` with the reference's
exact edge-case handling (`mean==0 -> 1e-12`, `dispersion==0 -> NaN`).""",
    "hvg_seurat_stats_sparse": """Sparse (CSR) variant of [`hvg_seurat_stats`]: `indices[k]` is the column of
`data[k]`. Same Seurat recipe, but sums only the non-zero entries.""",
}


def test_all_lists_the_functions_in_registration_order(core):
    assert type(core.__all__) is list
    assert core.__all__ == NAMES


def test_module_exposes_nothing_else(core):
    assert {n for n in dir(core) if not n.startswith("_")} == set(NAMES)
    assert core.__name__ == "brenix_kernels._core"
    assert core.__doc__ == "The native extension module (`brenix_kernels._core`)."


def test_reimport_returns_the_cached_module(core):
    # A fresh import runs the entry point again; it must hand back the
    # module created the first time, not a second one.
    del sys.modules["brenix_kernels._core"]
    try:
        again = importlib.import_module("brenix_kernels._core")
    finally:
        sys.modules["brenix_kernels._core"] = core
    assert again is core
    assert again.scale is core.scale


def test_import_does_not_load_numpy():
    proc = run_in_subprocess(
        "import sys, brenix_kernels._core as m\n"
        "assert 'numpy' not in sys.modules, sorted(k for k in sys.modules if 'numpy' in k)\n"
        "assert m.__all__\n"
    )
    assert proc.returncode == 0, proc.stderr


@pytest.mark.parametrize("name", NAMES)
def test_function_objects(core, name):
    fn = getattr(core, name)
    assert fn.__text_signature__ == SIGNATURES[name]
    assert str(inspect.signature(fn)) == SIGNATURES[name]
    # The signature header is stripped; the docstring starts at the summary.
    assert fn.__doc__ == DOCS[name]
    assert type(fn) is types.BuiltinFunctionType
    assert fn.__name__ == fn.__qualname__ == name
    assert fn.__module__ == "brenix_kernels._core"
    assert fn.__self__ is core


def test_import_from_second_interpreter_is_refused():
    # The 'legacy' configuration lets single-phase modules load, so the
    # refusal must come from the module's own entry point.
    proc = run_in_subprocess(
        """
import _interpreters
import brenix_kernels._core
iid = _interpreters.create('legacy')
try:
    err = _interpreters.exec(iid, '''
try:
    import brenix_kernels._core
except ImportError as exc:
    print('ImportError:', exc)
else:
    print('imported')
''')
finally:
    _interpreters.destroy(iid)
assert err is None, err
"""
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.startswith("ImportError:"), proc.stdout
    assert "interpreter" in proc.stdout.lower()


@pytest.mark.parametrize("name", ["scale", "hvg_seurat_stats"])
def test_panic_exception(core, name):
    caught_by_exception = False
    try:
        try:
            getattr(core, name)(np.zeros((3, 0), dtype=np.float32))
        except Exception:
            caught_by_exception = True
    except BaseException as exc:
        panic = exc
    assert not caught_by_exception
    cls = type(panic)
    assert cls.__name__ == "PanicException" and cls.__bases__ == (BaseException,)
    assert panic.args == ("chunk_size must not be zero",)
    # One class per process, whichever kernel fails.
    with pytest.raises(cls) as again:
        core.scale_sparse_data(np.array([0, 7]), np.ones(2), 2, 3)
    assert again.value.args == ("index out of bounds: the len is 3 but the index is 7",)


def test_panic_writes_diagnostic_to_stderr():
    proc = run_in_subprocess(
        """
import numpy as np
from brenix_kernels import _core
try:
    _core.scale(np.zeros((4, 0)))
except BaseException as exc:
    print(type(exc).__name__, exc.args)
print(_core.scale(np.array([[1.0], [3.0]])).ravel().tolist())
"""
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        "PanicException ('chunk_size must not be zero',)",
        "[-0.7071067811865475, 0.7071067811865475]",
    ]
    assert "chunk_size must not be zero" in proc.stderr
