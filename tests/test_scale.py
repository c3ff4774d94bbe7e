"""Dense and sparse per-gene scaling, checked bit for bit against the model."""

import math

import numpy as np
import pytest

import reference as ref
from brenix_kernels import _core
from helpers_numeric import (INDEX_MSG, assert_all_same, assert_same, big_csr, panic_args,
                             random_csr)

inf, nan = math.inf, math.nan


def expression(n_rows, n_cols=6, seed=0):
    """Mixed-sign values of several magnitudes, plus a constant and a NaN column."""
    rng = np.random.default_rng(seed)
    x = rng.normal(1.0, 2.0, (n_rows, n_cols)) * 10.0 ** rng.integers(-2, 2, (n_rows, n_cols))
    if n_cols > 4:
        x[:, 3] = 2.5
        x[n_rows // 2:, 4] = nan
    return x


def test_model_reproduces_known_variances():
    # Rows of 0.1 summed in order: three give a slightly negative variance.
    for n_rows, var in [(3, -2.6020852139652106e-18), (2, 0.0)]:
        s, sq = sum([0.1] * n_rows), sum([0.1 * 0.1] * n_rows)
        assert ref.column_mean_var(np.array([s]), np.array([sq]), n_rows)[1][0] == var


@pytest.mark.parametrize("n_rows,std,scaled", [(3, nan, nan), (2, 1.0, 0.0)])
def test_constant_column_rounding(n_rows, std, scaled):
    matrix, mean, sd = _core.scale(np.full((n_rows, 1), 0.1), return_mean_std=True)
    assert mean.tolist() == [sum([0.1] * n_rows) / n_rows]
    np.testing.assert_array_equal(sd, [std])
    np.testing.assert_array_equal(matrix, np.full((n_rows, 1), scaled))


# 513 rows: two write chunks; 2049 and 5000 rows: two and three moment chunks.
@pytest.mark.parametrize("n_rows", [1, 2, 513, 2049, 5000])
@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.int64])
@pytest.mark.parametrize("zero_center", [True, False])
def test_dense_matches_model(n_rows, dtype, zero_center):
    x = expression(n_rows)
    x = np.round(np.nan_to_num(x)).astype(dtype) if dtype == np.int64 else x.astype(dtype)
    before = x.copy()
    got = _core.scale(x, zero_center=zero_center, return_mean_std=True)
    assert_all_same(got, ref.scale(x, zero_center, None, True))
    np.testing.assert_array_equal(x, before)


@pytest.mark.parametrize("max_value", [2.0, 0.1, 0.0, 3, -1.0, nan, inf, -inf, -1e39])
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("zero_center", [True, False])
def test_dense_clipping(max_value, dtype, zero_center):
    x = expression(700).astype(dtype)
    got = _core.scale(x, zero_center=zero_center, max_value=max_value)
    assert_all_same(got, ref.scale(x, zero_center, max_value))
    finite = got[~np.isnan(got)].astype(np.float64)
    if zero_center and dtype == np.float64 and 0 <= max_value < inf:
        assert finite.max() == max_value and finite.min() == -max_value


@pytest.mark.parametrize("view", [
    np.asfortranarray, lambda a: a[::-1, ::-2], lambda a: a[100:1400:3, 1:5],
], ids=["fortran", "reversed", "sliced"])
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_dense_layouts_match_c_order_copy(view, dtype):
    x = view(expression(2600, 7).astype(dtype))
    got = _core.scale(x, max_value=1.5, return_mean_std=True)
    assert_all_same(got, ref.scale(np.ascontiguousarray(x), True, 1.5, True))


def test_dense_result_forms():
    x = expression(40)
    bare = _core.scale(x, zero_center=False)
    assert type(bare) is np.ndarray and bare.shape == x.shape and bare.flags.c_contiguous
    assert not np.shares_memory(bare, x)
    full = _core.scale(x, zero_center=False, return_mean_std=True)
    assert type(full) is tuple and len(full) == 3
    assert [a.shape for a in full] == [x.shape, (6,), (6,)]
    assert_same(full[0], bare)


def test_dense_one_row_and_no_rows():
    one = _core.scale(np.array([[3.0, -0.5, 1e10]]), return_mean_std=True)
    assert_all_same(one, (np.zeros((1, 3)), np.array([3.0, -0.5, 1e10]), np.ones(3)))
    matrix, mean, std = _core.scale(np.zeros((0, 4), np.float32), return_mean_std=True)
    assert matrix.shape == (0, 4) and matrix.dtype == np.float32
    assert np.isnan(mean).all() and np.isnan(std).all()


def test_dense_no_columns_is_refused():
    assert panic_args(_core.scale, np.zeros((3, 0))) == ("chunk_size must not be zero",)


# ---------------------------------------------------------------- sparse


def scale_sparse(*args, **kw):
    result = _core.scale_sparse_data(*args, **kw)
    assert isinstance(result, tuple) and len(result) == 3
    return result


def test_sparse_worked_example():
    indices, data = np.array([0, 0, 1]), np.array([2.0, 4.0, 3.0])
    values, mean, std = scale_sparse(indices, data, 4, 2, max_value=2.0)
    assert_all_same((values, mean, std), ref.scale_sparse_data(indices, data, 4, 2, 2.0))
    assert mean.tolist() == [1.5, 0.75] and std[1] == 1.5
    assert values.tolist()[1:] == [2.0, 2.0]
    assert f"{values[0]:.8f}" == "1.04446594" and f"{std[0]:.8f}" == "1.91485422"


@pytest.mark.parametrize("max_value", [None, 1.0, 0.0, -0.5, 2, nan, inf, -1e39])
@pytest.mark.parametrize("dtype,promote", [
    (np.float64, False), (np.float32, False), (np.float32, True)])
def test_sparse_matches_model(dtype, promote, max_value):
    indices, data = random_csr(7, 3000, 25, dtype)
    data[::7] *= -1
    before = (indices.copy(), data.copy())
    got = scale_sparse(indices, data, 500, 25, max_value=max_value, promote=promote)
    assert_all_same(got, ref.scale_sparse_data(indices, data, 500, 25, max_value, promote))
    np.testing.assert_array_equal(indices, before[0])
    np.testing.assert_array_equal(data, before[1])


def test_sparse_promote_ignored_for_float64():
    indices, data = random_csr(8, 1000, 10)
    assert_all_same(scale_sparse(indices, data, 100, 10, promote=True),
                    scale_sparse(indices, data, 100, 10))


@pytest.mark.parametrize("n_rows", [0, 1, 3])
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_sparse_few_rows_and_odd_values(n_rows, dtype):
    indices = np.array([0, 1, 1, 2, 3, 4, 4], dtype=np.int64)
    data = np.array([2.5, -1.0, 3.0, nan, inf, -0.0, 7.0], dtype=dtype)
    got = scale_sparse(indices, data, n_rows, 6, max_value=2.0)
    assert_all_same(got, ref.scale_sparse_data(indices, data, n_rows, 6, 2.0))


@pytest.mark.parametrize("dtype,promote,out", [
    (np.float64, False, np.float64), (np.float32, False, np.float32),
    (np.float32, True, np.float64)])
def test_sparse_empty_data(dtype, promote, out):
    values, mean, std = scale_sparse(np.array([-4], np.int64), np.zeros(0, dtype), 6, 3,
                                     promote=promote)
    assert values.dtype == out and values.shape == (0,)
    assert_all_same((mean, std), (np.zeros(3), np.ones(3)))


@pytest.mark.parametrize("indices,n_cols,msg", [
    ([0, 3, 1, 7], 3, INDEX_MSG.format(3, 3)),
    ([0, 1, -1, 99], 3, INDEX_MSG.format(3, 2**64 - 1)),
    ([0, 2], 3, INDEX_MSG.format(2, 2)),
    ([0, 1, 2, 0], 0, INDEX_MSG.format(0, 0)),
])
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_sparse_bad_entries(indices, n_cols, msg, dtype):
    data = np.ones(4, dtype)
    indices = np.array(indices, dtype=np.int64)
    assert panic_args(_core.scale_sparse_data, indices, data, 5, n_cols) == (msg,)
    values, mean, std = scale_sparse(np.zeros(4, np.int64), data, 5, 3)  # still usable
    assert mean.tolist() == [0.8, 0.0, 0.0]


@pytest.mark.parametrize("fn", [_core.scale_sparse_data, _core.hvg_seurat_stats_sparse])
def test_sparse_huge_column_counts(fn):
    empty_idx, empty = np.zeros(0, np.int64), np.zeros(0)
    assert panic_args(fn, empty_idx, empty, 4, 2**60) == ("capacity overflow",)
    assert panic_args(fn, np.zeros(2, np.int64), np.ones(2), 4, 2**64 - 1) == ("capacity overflow",)
    with pytest.raises(MemoryError):
        fn(empty_idx, empty, 4, 2**50)


@pytest.mark.slow
@pytest.mark.parametrize("dtype,promote", [
    (np.float64, False), (np.float32, False), (np.float32, True)])
def test_sparse_many_chunks(dtype, promote):
    indices, data = big_csr(12, dtype)
    got = scale_sparse(indices, data, 3_000_000, 200, max_value=3.0, promote=promote)
    assert_all_same(got, ref.scale_sparse_data(indices, data, 3_000_000, 200, 3.0, promote))


@pytest.mark.slow
@pytest.mark.parametrize("fn", [_core.scale_sparse_data, _core.hvg_seurat_stats_sparse])
def test_sparse_first_bad_entry_in_storage_order(fn):
    indices, data = big_csr(13, nnz=2_600_000, n_cols=50)
    indices[2_500_000] = -7       # chunk 2
    indices[1_200_000] = 50       # chunk 1: the first one in storage order
    indices[1_999_999] = 10**15   # chunk 1, later
    assert panic_args(fn, indices, data, 10, 50) == (INDEX_MSG.format(50, 50),)
    assert panic_args(fn, indices[:1_500_000], data, 10, 50) == (INDEX_MSG.format(50, 50),)
    indices[1_200_000] = 0
    short = INDEX_MSG.format(1_500_000, 1_500_000)
    assert panic_args(fn, indices[:1_500_000], data, 10, 50) == (short,)
