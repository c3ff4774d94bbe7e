"""Arguments the public functions refuse before any work, alike on every path (in memory, dask, a file);
the empty per-gene results of a matrix without genes; the warning for raw counts where log-normalised data
are expected; no native report on standard error from the public functions, while _core keeps writing its own."""

import math
import re
import warnings

import numpy as np
import pytest
import scipy.sparse as sp

import brenix_kernels as bk
from brenix_kernels import _folds, _public, _stream
from conftest import INDEX_MSG, run_py

da = pytest.importorskip("dask.array")
h5py = pytest.importorskip("h5py")

PATHS = ["dense", "csr", "csc", "dask", "file"]


@pytest.fixture
def as_path(tmp_path):
    """X as the given path takes it: a NumPy array, a SciPy matrix, a dask array, or an HDF5 dataset."""
    files = []

    def convert(X, path):
        X = np.asarray(X, dtype=np.float64)
        if path in ("csr", "csc"):
            return sp.csr_matrix(X).asformat(path)
        if path == "dask":
            return da.from_array(X, chunks=(max(1, X.shape[0] // 2), max(1, X.shape[1])))
        if path == "file":
            files.append(h5py.File(tmp_path / f"x{len(files)}.h5", "w"))
            return files[-1].create_dataset("x", data=X)
        return X

    yield convert
    for f in files:
        f.close()


@pytest.fixture
def no_native(monkeypatch):
    """Any native call fails: what is refused is refused before any work."""
    for module in (_public, _folds, _stream):
        monkeypatch.setattr(module, "_arrays" if module is _public else "_blocks", None)


LOG_BASE = "log_base must be a finite number > 0 other than 1"
MAX_VALUE = "max_value must be > 0"
REFUSED = [  # function, options, shape of X, error, message
    *[(bk.scale, {"max_value": v}, (4, 3), ValueError, MAX_VALUE) for v in (-1, 0, -0.0, math.nan, -math.inf)],
    (bk.scale, {"max_value": "1"}, (4, 3), TypeError, "max_value must be a real number or None, not builtins.str"),
    *[(fn, {"log_base": b}, (4, 3), ValueError, LOG_BASE) for b in (0, -2.0, 1, math.inf, math.nan)
      for fn in (bk.hvg_seurat_stats, lambda X, **kw: bk.variable_genes(X, method="mvp", **kw))],
    (bk.hvg_seurat_stats, {"log_base": True}, (4, 3), TypeError,
     "log_base must be a real number or None, not builtins.bool"),
    *[(fn, {}, (0, 3), ValueError, r"X has no cells \(shape \(0, 3\)\)")
      for fn in (bk.hvg_seurat_stats, bk.mean_var, bk.scale, bk.vst_stats, bk.variable_genes)],
    *[(fn, {}, (4, 0), ValueError, r"X has no genes \(shape \(4, 0\)\)")
      for fn in (bk.scale, bk.vst_stats, bk.variable_genes)],
    (bk.mean_var, {"groups": np.zeros(0, int)}, (0, 3), ValueError, "X has no cells"),  # before the groups
]


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("fn, options, shape, error, message", REFUSED)
def test_refused_before_any_work_on_every_path(no_native, as_path, path, fn, options, shape, error, message):
    with pytest.raises(error, match=message):
        fn(as_path(np.ones(shape), path), **options)


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("fn", [bk.hvg_seurat_stats, bk.mean_var])
@pytest.mark.parametrize("groups, shape", [(None, (0,)), ([0, -1, 2, 2], (3, 0))])
def test_no_genes_give_empty_statistics(no_native, as_path, path, fn, groups, shape):
    got = fn(as_path(np.ones((4, 0)), path), groups=groups)
    got = da.compute(*got) if path == "dask" else got
    assert [(a.dtype, a.shape) for a in got] == [(np.float64, shape)] * 2
    with pytest.raises(ValueError, match="groups has 3 codes but X has 4 rows"):  # still checked
        fn(as_path(np.ones((4, 0)), path), groups=[0, 1, 2])


def normalised(counts, total):
    """log1p of the counts scaled to `total` per cell."""
    return np.log1p(counts / counts.sum(axis=1, keepdims=True) * total)


RNG = np.random.default_rng(5)
COUNTS = RNG.poisson(np.linspace(1, 40, 12), (60, 12)).astype(np.float64)
HUGE = COUNTS.copy()
HUGE[3, 4] = 800  # expm1 overflows


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("X, fn, warned", [
    (COUNTS, bk.hvg_seurat_stats, r"mean is [\d.]+, above 20.*looks like raw counts.*take log1p first"),
    (HUGE, lambda X: bk.hvg_seurat_stats(X, groups=np.arange(60) % 3),
     r"mean is inf \(expm1 of some value of X is infinite"),
    (COUNTS, lambda X: bk.variable_genes(X, method="disp", n_top=3), "looks like raw counts"),
    # Counts per million, one cell holding nearly all of a gene's: the highest mean log-normalised data reach.
    (normalised(np.where(np.arange(60)[:, None] == 0, 1e9, COUNTS), 1e6), bk.hvg_seurat_stats, None),
    (normalised(COUNTS, 1e4), lambda X: bk.variable_genes(X, method="mvp"), None),
])
def test_raw_counts_warn(as_path, path, X, fn, warned):
    X = as_path(X, path)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = fn(X)
        if path == "dask" and isinstance(result, tuple):
            da.compute(*result)  # the lazy means are looked at when computed
    messages = [str(w.message) for w in caught if issubclass(w.category, UserWarning)]
    if warned is None:
        assert messages == []
    else:
        assert len(messages) == 1 and re.search(warned, messages[0]), messages


STDERR_CHILD = """
import numpy as np, scipy.sparse as sp, dask, dask.array as da, h5py, anndata, tempfile, os, sys
import brenix_kernels as bk
from brenix_kernels import dask as bd, _core
X = sp.csr_matrix(np.arange(1.0, 13.0).reshape(4, 3))
X.indices[4] = 7
# The blocks cut from X's arrays: slicing would drop the bad entry.
def block(a, p, q):
    return sp.csr_matrix((X.data[p:q], X.indices[p:q], X.indptr[a:a + 3] - p), shape=(2, 3))
blocks = da.concatenate([da.from_delayed(dask.delayed(block(a, p, q)), (2, 3), dtype=X.dtype, meta=X[:0])
                         for a, p, q in [(0, 0, X.indptr[2]), (2, X.indptr[2], X.indptr[4])]])
calls = [lambda: bk.hvg_seurat_stats(X), lambda: bk.scale(X, zero_center=False),
         lambda: bk.mean_var(X, groups=[0, 1, 1, 0]), lambda: bk.vst_stats(X),
         lambda: da.compute(bd.scale_sparse(blocks))]
with tempfile.TemporaryDirectory() as tmp:
    path = os.path.join(tmp, "x.h5ad")
    good = sp.csr_matrix(np.arange(1.0, 13.0).reshape(4, 3))
    anndata.AnnData(good).write_h5ad(path)
    with h5py.File(path, "r+") as f:
        f["X/indices"][4] = 7
    backed = anndata.read_h5ad(path, backed="r")
    calls.append(lambda: bk.mean_var(backed))
    for call in calls:
        try:
            call()
        except bk.InvalidEntriesError as error:
            print(error.args[0])
    backed.file.close()
sys.stderr.flush()
print("core", file=sys.stderr, flush=True)
try:
    _core.hvg_seurat_stats_sparse(X.indices.astype(np.int64), X.data, 4, 3)
except BaseException as error:
    print(type(error).__name__, error)
"""


def test_public_functions_write_no_native_report():
    child = run_py(STDERR_CHILD)
    assert child.returncode == 0, child.stderr
    bad = INDEX_MSG.format(3, 7)
    assert child.stdout.splitlines() == [bad] * 6 + [f"PanicException {bad}"]
    before, core = child.stderr.split("core\n")
    assert before == ""  # the public functions' failures: nothing
    assert re.search(r"thread '.*' failed at \S+:\d+:\n" + re.escape(bad), core)  # _core's report, still written
