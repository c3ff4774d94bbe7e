"""Seurat means/dispersions, dense and sparse, checked bit for bit against the model."""

import math

import numpy as np
import pytest

import reference as ref
from brenix_kernels import _core
from helpers_numeric import INDEX_MSG, assert_all_same, big_csr, panic_args, random_csr

inf, nan = math.inf, math.nan


def log1p_matrix(n_rows, n_cols=7, seed=0):
    """Log1p-like values spanning several magnitudes, plus a zero and a constant column."""
    rng = np.random.default_rng(seed)
    x = rng.uniform(0.0, 6.0, (n_rows, n_cols)) * 10.0 ** rng.integers(-3, 1, (n_rows, n_cols))
    x[:, 1] = 0.0
    x[:, 2] = 0.75
    return x


def hvg(x, **kw):
    result = _core.hvg_seurat_stats(x, **kw)
    assert isinstance(result, tuple) and len(result) == 2
    return result


# 2049 rows gives a one-row second chunk; 5000 rows gives three chunks, the
# only case where a different chunk size or a single running sum would show.
@pytest.mark.parametrize("n_rows", [1, 2, 3, 2048, 2049, 5000])
@pytest.mark.parametrize("kind", ["float64", "float32", "int64", "bool", "float16"])
def test_dense_matches_model(n_rows, kind):
    x = log1p_matrix(n_rows)
    if kind == "int64":
        x = np.round(x * 2).astype(np.int64)
    elif kind == "bool":
        x = x > 1.0
    else:
        x = x.astype(kind)
    before = x.copy()
    assert_all_same(hvg(x), ref.hvg_seurat_stats(x))
    np.testing.assert_array_equal(x, before)


@pytest.mark.parametrize("view", [
    lambda a: np.asfortranarray(a),
    lambda a: a[::-1, ::-1],
    lambda a: a[1::3, 2:6],
], ids=["fortran", "reversed", "sliced"])
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_dense_layouts_match_c_order_copy(view, dtype):
    x = view(log1p_matrix(2100, 9).astype(dtype))
    expected = ref.hvg_seurat_stats(np.ascontiguousarray(x))
    assert_all_same(hvg(x), expected)


@pytest.mark.parametrize("log_base", [None, 2, 10.0, np.float32(2.5), 1, 0, -3.0, nan, inf])
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_dense_log_base(log_base, dtype):
    x = log1p_matrix(300).astype(dtype)
    kw = {} if log_base is None else {"log_base": log_base}
    assert_all_same(hvg(x, **kw), ref.hvg_seurat_stats(x, log_base))


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_dense_non_finite_and_signed_zero(dtype):
    x = np.tile(np.array([0.5, nan, inf, -inf, -0.0, 0.0, 1.25]), (6, 1))
    x[2] = [1.0, 0.5, 0.5, -1.0, -0.0, 0.0, 1.25]
    x = x.astype(dtype)
    means, disp = hvg(x)
    assert_all_same((means, disp), ref.hvg_seurat_stats(x))
    assert np.isnan(means[1]) and means[2] == inf and np.isnan(disp[2])


def test_zero_mean_column_uses_tiny_mean_and_canonical_nan():
    x = np.zeros((4, 3))
    x[:, 2] = -0.0
    means, disp = hvg(x)
    assert means.tolist() == [math.log1p(1e-12)] * 3
    assert disp.view(np.uint64).tolist() == [0x7FF8000000000000] * 3


def test_no_rows_gives_nan():
    means, disp = hvg(np.zeros((0, 4)))
    assert means.shape == disp.shape == (4,)
    assert np.isnan(means).all() and np.isnan(disp).all()


@pytest.mark.parametrize("n_rows", [0, 5])
def test_no_columns_is_refused(n_rows):
    assert panic_args(_core.hvg_seurat_stats, np.zeros((n_rows, 0))) == (
        "chunk_size must not be zero",)


# ---------------------------------------------------------------- sparse


def hvg_sparse(*args, **kw):
    result = _core.hvg_seurat_stats_sparse(*args, **kw)
    assert isinstance(result, tuple) and len(result) == 2
    return result


def test_model_sparse_sums_follow_storage_order():
    # The model relies on np.add.at visiting repeated columns in order.
    rng = np.random.default_rng(5)
    cols = rng.integers(0, 4, 5000)
    vals = rng.standard_normal(5000) * 10.0 ** rng.integers(-12, 12, 5000)
    naive = [0.0] * 4
    for c, v in zip(cols.tolist(), vals.tolist()):
        naive[c] += v
    assert ref.sparse_sums(vals, cols, 4).tolist() == naive


@pytest.mark.parametrize("log_base", [None, 2.0, 0.5])
@pytest.mark.parametrize("dtype,square_f64", [
    (np.float64, False), (np.float64, True), (np.float32, False), (np.float32, True)])
def test_sparse_matches_model(dtype, square_f64, log_base):
    indices, data = random_csr(1, 4000, 40, dtype)
    before = (indices.copy(), data.copy())
    got = hvg_sparse(indices, data, 700, 40, log_base=log_base, square_f64=square_f64)
    assert_all_same(got, ref.hvg_seurat_stats_sparse(indices, data, 700, 40, log_base, square_f64))
    np.testing.assert_array_equal(indices, before[0])
    np.testing.assert_array_equal(data, before[1])


def test_sparse_square_f64_ignored_for_float64():
    indices, data = random_csr(2, 3000, 30)
    assert_all_same(hvg_sparse(indices, data, 400, 30, square_f64=True),
                    hvg_sparse(indices, data, 400, 30))


@pytest.mark.parametrize("n_rows", [0, 1, 2, 10])
def test_sparse_small_and_degenerate(n_rows):
    # Duplicate entries for one column, non-finite values and a negative zero.
    indices = np.array([0, 0, 1, 2, 3, 3, 4, 0], dtype=np.int64)
    data = np.array([0.3, 0.3, nan, inf, -0.0, 2.0, 1.5, 4.0])
    assert_all_same(hvg_sparse(indices, data, n_rows, 6),
                    ref.hvg_seurat_stats_sparse(indices, data, n_rows, 6))


@pytest.mark.parametrize("n_rows,n_cols", [(5, 3), (0, 3), (5, 0), (0, 0)])
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_sparse_empty_data(n_rows, n_cols, dtype):
    indices = np.array([7, -1], dtype=np.int64)  # never read: there is no data
    means, disp = hvg_sparse(indices, np.zeros(0, dtype), n_rows, n_cols)
    assert means.dtype == disp.dtype == np.float64
    assert means.shape == disp.shape == (n_cols,)
    assert np.isnan(disp).all()
    expected = math.log1p(1e-12) if n_rows else nan
    np.testing.assert_array_equal(means, np.full(n_cols, expected))


def test_sparse_explicit_zeros_change_nothing():
    indices, data = random_csr(3, 2000, 20)
    stored = data != 0.0
    assert not stored.all()
    assert_all_same(hvg_sparse(indices, data, 300, 20),
                    hvg_sparse(indices[stored], data[stored], 300, 20))


def test_sparse_extra_indices_are_ignored():
    indices, data = random_csr(4, 500, 12)
    longer = np.concatenate([indices, [-1, 10**12, 3]])
    assert_all_same(hvg_sparse(longer, data, 90, 12), hvg_sparse(indices, data, 90, 12))


def test_sparse_float32_square_overflow():
    # expm1f(47.8) is about 5.7e20: finite in float32, its float32 square is not.
    data = np.array([47.8, 1.0, 2.0], dtype=np.float32)
    indices = np.array([0, 0, 1], dtype=np.int64)
    narrow = hvg_sparse(indices, data, 4, 2)
    wide = hvg_sparse(indices, data, 4, 2, square_f64=True)
    assert narrow[1][0] == inf and math.isfinite(wide[1][0])
    assert_all_same(narrow, ref.hvg_seurat_stats_sparse(indices, data, 4, 2))
    assert_all_same(wide, ref.hvg_seurat_stats_sparse(indices, data, 4, 2, None, True))


@pytest.mark.parametrize("indices,n_cols,msg", [
    ([0, 1, 5, 9], 5, INDEX_MSG.format(5, 5)),
    ([0, -1, 9, 0], 5, INDEX_MSG.format(5, 2**64 - 1)),
    ([0, 1], 5, INDEX_MSG.format(2, 2)),
    ([0, 1, 2, 3], 0, INDEX_MSG.format(0, 0)),
])
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_sparse_bad_entries(indices, n_cols, msg, dtype):
    data = np.ones(4, dtype)
    indices = np.array(indices, dtype=np.int64)
    assert panic_args(_core.hvg_seurat_stats_sparse, indices, data, 3, n_cols) == (msg,)


@pytest.mark.slow
@pytest.mark.parametrize("dtype,square_f64,log_base", [
    (np.float64, False, None), (np.float64, False, 2.0),
    (np.float32, False, None), (np.float32, True, 10.0)])
def test_sparse_many_chunks(dtype, square_f64, log_base):
    indices, data = big_csr(11, dtype)
    got = hvg_sparse(indices, data, 3_000_000, 200, log_base=log_base, square_f64=square_f64)
    expected = ref.hvg_seurat_stats_sparse(indices, data, 3_000_000, 200, log_base, square_f64)
    assert_all_same(got, expected)
