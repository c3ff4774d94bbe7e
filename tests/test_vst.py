"""vst_stats and its native passes: the deviation sums against the NumPy model of their documented order (dense
2048-row chunks, sparse 1,000,000-entry chunks in CSR order), bit for bit, for every input kind, group and pass;
vst_stats against the model with the same loess fit; dask and files against memory; the refusals."""

import numpy as np
import pytest
import scipy.sparse as sp

import brenix_kernels as bk
import reference as ref
from brenix_kernels import _arrays
from conftest import assert_same


def count_matrix(n_rows, n_cols, density, seed):
    """Counts of varied depth per gene, a gene of zeros, a gene constant at 3, one gene with a huge count."""
    rng = np.random.default_rng(seed)
    x = rng.poisson(rng.gamma(0.6, 3.0, n_cols), (n_rows, n_cols)) * (rng.random((n_rows, n_cols)) < density)
    x[:, 1], x[:, 2] = 0, 3
    x[n_rows // 2, 4] = 100_000  # its standardised value reaches the clip
    return x.astype(np.float64)


DENSE = count_matrix(4500, 40, 0.6, 1)  # three 2048-row chunks
CSR = sp.csr_array(count_matrix(30_000, 80, 0.5, 2))  # about 1.2 million entries: two chunks
for r in range(0, CSR.shape[0], 9):  # some rows stored in reverse column order
    a, b = CSR.indptr[r], CSR.indptr[r + 1]
    CSR.indices[a:b], CSR.data[a:b] = CSR.indices[a:b][::-1].copy(), CSR.data[a:b][::-1].copy()


def groups_of(n, seed):  # group 0 spans several chunks, group 2 is small, -1 leaves rows out
    return np.random.default_rng(seed).choice([0, 1, 2, -1], n, p=[0.8, 0.12, 0.03, 0.05])


def parameters(n_cols, n_sets, seed, standardised):
    rng = np.random.default_rng(seed)
    mean, sd, clip = rng.uniform(0, 3, (n_sets, n_cols)), rng.uniform(0.5, 2, (n_sets, n_cols)), rng.uniform(1, 4, n_sets)
    return (mean, sd, clip) if standardised else (mean, None, None)


def model_dense(x, mean, sd, clip):
    ones, squares = ref.deviation_terms(x, mean, sd, clip)
    return ref.dense_sums(ones), ref.dense_sums(squares)


def model_csr(m, mean, sd, clip):
    indices = m.indices.astype(np.int64)
    per_entry = (mean[indices], None if sd is None else sd[indices])
    ones, squares = ref.deviation_terms(m.data, *per_entry, clip)
    return ref.sparse_sums(ones, indices, m.shape[1]), ref.sparse_sums(squares, indices, m.shape[1])


def native(x, mean, sd, clip, codes, n_groups):
    flat = [None if a is None else np.ascontiguousarray(a, np.float64).reshape(-1) for a in (mean, sd, clip)]
    if isinstance(x, np.ndarray):
        return _arrays.deviation_sums(x, *flat, codes, n_groups)
    return _arrays.deviation_sums_sparse(x.format, x.indptr.astype(np.int64), x.indices, x.data, *x.shape, *flat,
                                         codes, n_groups)


@pytest.mark.parametrize("standardised", [False, True])
@pytest.mark.parametrize("kind", ["dense f64", "dense f32", "csr i32", "csr i64 f32", "csc"])
def test_deviation_sums_follow_the_documented_order(kind, standardised):
    """Ungrouped, and each group's row of a grouped call as the pass over its rows alone."""
    if kind.startswith("dense"):
        x = DENSE.astype(np.float32 if kind.endswith("f32") else np.float64)
        x[7, 5] = -1.0  # a negative count: its column's sum is NaN
        model = model_dense
    else:
        x = CSR.copy()
        x.data[11] = -2.0
        if "i64" in kind:
            x.indices = x.indices.astype(np.int64)
        if "f32" in kind:
            x.data = x.data.astype(np.float32)
        model = model_csr
        if kind == "csc":  # its sums are those of the CSR form, stored in row order
            x, model = x.tocsc(), (lambda m, *p: model_csr(sp.csr_array(m.tocsr()).sorted_indices(), *p))
    n_rows, n_cols = x.shape
    mean, sd, clip = parameters(n_cols, 1, 3, standardised)
    pick = lambda a, k: None if a is None else a[k]  # noqa: E731
    got = native(x, mean, sd, clip, None, 0)
    assert_same(got, model(x, mean[0], pick(sd, 0), pick(clip, 0)))
    assert np.isnan(got[1]).sum() == 1
    codes = groups_of(n_rows, 4)
    mean, sd, clip = parameters(n_cols, 3, 5, standardised)
    counts, sums = native(x, mean, sd, clip, codes, 3)
    for k in range(3):
        assert_same((counts[k], sums[k]), model(x[codes == k], mean[k], pick(sd, k), pick(clip, k)))


@pytest.fixture
def skmisc():  # the loess fit's library (the [selection] extra)
    return pytest.importorskip("skmisc.loess")


def model_vst(skmisc, sums_of, mean, n, span=0.3, clip=None):
    """The statistics from a model of the passes (sums_of(mean, sd, clip)), fitted with the same loess."""
    counts, sums = sums_of(mean, None, None)
    variance = (sums + mean * mean * (n - counts)) / (n - 1.0)
    fitted = variance > 0
    fit = skmisc.loess(np.log10(mean[fitted]), np.log10(variance[fitted]), span=span, degree=2)
    fit.fit()
    expected = np.zeros(mean.size)
    expected[fitted] = 10.0 ** fit.outputs.fitted_values
    sd = np.sqrt(expected)
    safe = np.where(sd > 0, sd, 1.0)
    counts, sums = sums_of(mean, safe, np.sqrt(n) if clip is None else clip)
    z = (0.0 - mean) / safe
    standardised = np.where(sd > 0, (sums + z * z * (n - counts)) / (n - 1.0), 0.0)
    return mean, variance, expected, standardised


def test_vst_stats_dense_and_sparse_against_the_model(skmisc):
    n = DENSE.shape[0]
    got = bk.vst_stats(DENSE)
    assert_same(got, model_vst(skmisc, lambda *p: model_dense(DENSE, *p), ref.dense_sums(DENSE) / n, n))
    # the zero and the constant gene: no fit, nothing standardised; the huge count clipped at sqrt(n)
    assert all(got[i][j] == 0 for i in (1, 2, 3) for j in (1, 2)) and got[0][2] == 3
    assert got[3][4] < (np.sqrt(n) ** 2 + (n - 1) * 1e-3) / (n - 1)
    for same_counts in (DENSE.astype(np.float32), DENSE.astype(np.int32), np.asfortranarray(DENSE)):
        assert_same(bk.vst_stats(same_counts), got)
    n = CSR.shape[0]
    got = bk.vst_stats(CSR, span=0.5, clip_max=3.0)
    mean = ref.sparse_sums(CSR.data, CSR.indices, CSR.shape[1]) / n
    assert_same(got, model_vst(skmisc, lambda *p: model_csr(CSR, *p), mean, n, span=0.5, clip=3.0))
    assert_same(got[0], bk.mean_var(CSR)[0])
    narrow = sp.csr_matrix((CSR.data.astype(np.float32), CSR.indices.astype(np.int64), CSR.indptr), CSR.shape)
    for same_counts in (CSR.tocsc(), narrow, sp.csc_matrix(narrow), sp.csr_matrix(CSR.astype(np.int64))):
        assert_same(bk.vst_stats(same_counts, span=0.5, clip_max=3.0), got)


@pytest.mark.parametrize("X", [DENSE, CSR], ids=["dense", "csr"])
def test_each_group_is_fitted_and_clipped_on_its_own(X, skmisc):
    codes = groups_of(X.shape[0], 6)
    got = bk.vst_stats(X, groups=codes)
    for k in range(3):
        assert_same(tuple(a[k] for a in got), bk.vst_stats(X[np.flatnonzero(codes == k)]))


def test_dask_arrays_and_files_give_the_bits_of_memory(tmp_path, skmisc):
    da = pytest.importorskip("dask.array")
    anndata = pytest.importorskip("anndata")
    x = DENSE[:3000]
    codes = groups_of(x.shape[0], 7)
    for X in (x, sp.csr_matrix(x)):
        expected, grouped = bk.vst_stats(X), bk.vst_stats(X, groups=codes)
        for rows in (700, 2048):
            lazy = da.from_array(X, chunks=(rows, 13))
            assert_same(bk.vst_stats(lazy), expected)
            assert_same(bk.vst_stats(lazy, groups=da.from_array(codes, chunks=999)), grouped)
        path = tmp_path / f"{type(X).__name__}.h5ad"
        anndata.AnnData(X).write_h5ad(path)
        backed = anndata.read_h5ad(path, backed="r")
        assert_same(bk.vst_stats(backed, block_bytes=50_000), expected)
        assert_same(bk.vst_stats(backed, groups=codes, block_bytes=50_000), grouped)


@pytest.mark.parametrize("change, call, message", [
    (lambda x: -x, {}, "negative values"),
    (lambda x: np.where(x == 3, np.nan, x), {}, "not finite"),
    (lambda x: x[:1], {}, "1 row"),
    (lambda x: x[:, :12], {}, "10 gene(s) have a variance > 0, and a fit with span=0.3 needs at least 20"),
    (lambda x: x, {"groups": np.r_[np.zeros(4499, int), 1]}, "group 1 has 1 cell"),
    (lambda x: x, {"span": 0}, "span must be in (0, 1]"),
    (lambda x: x, {"span": 1.5}, "span must be in (0, 1]"),
    (lambda x: x, {"clip_max": -1.0}, "clip_max must be > 0"),
    (lambda x: x, {"clip_max": np.nan}, "clip_max must be > 0"),
])
def test_refusals(change, call, message):
    for X in (change(DENSE), sp.csr_matrix(change(DENSE))):
        with pytest.raises(ValueError) as info:
            bk.vst_stats(X, **call)
        assert message in str(info.value)
