"""Every result bit for bit against the NumPy model in reference.py, plus a few known numbers."""

import math

import numpy as np
import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import reference as ref
from brenix_kernels._core import hvg_seurat_stats, hvg_seurat_stats_sparse, scale, scale_sparse_data
from conftest import assert_same

nan, inf = math.nan, math.inf
PROPERTY = settings(max_examples=200, deadline=None, database=None, suppress_health_check=list(HealthCheck))
# 2048, 2049 and 4100 rows are one, two and three moment chunks (and several 512-row write chunks);
# widths are mostly not multiples of 16; 4100 and 8300 columns cross the 4096-column scan blocks.
SHAPES = [(0, 5), (1, 17), (2, 3), (3, 33), (5, 16), (9, 47), (40, 100), (3, 4100), (5, 8300), (2048, 3), (2049, 21),
          (4100, 6)]
ODD_VALUES = [0.0, -0.0, nan, inf, -inf, 0.5, -0.5, 1.25, 3e20]
LOG_BASES = [None, 2, 10.0, np.float32(2.5), 1, 0, -3.0, nan, inf]  # inf and NaN make zeros count
MAX_VALUES = [None, 2.0, 0.1, 0.0, -0.0, 3, -1.0, nan, inf, -inf]


def values(seed, kind, shape):
    """Log-normalised small counts (values repeat within a row), spread magnitudes, or odd values."""
    rng = np.random.default_rng(seed)
    per_row = rng.uniform(0.2, 5.0, (shape[0], 1) if len(shape) == 2 else 1)
    x = np.log1p(rng.poisson(rng.uniform(0.05, 3.0), shape) * per_row)
    if kind == "spread":
        x = rng.normal(1.0, 2.0, shape) * 10.0 ** rng.integers(-3, 3, shape)
    elif kind == "odd":  # scattered among the zeros, so that the zero scan meets them
        mask = rng.random(shape) < 0.2
        x[mask] = rng.choice(ODD_VALUES, mask.sum())
    if len(shape) == 2 and shape[1]:
        x[:, rng.integers(shape[1])] = rng.choice([0.1, 2.5, 0.0, -0.0])  # a constant column
    return x


KINDS = st.sampled_from(["counts", "spread", "odd"])


@st.composite
def dense(draw):
    x = values(draw(st.integers(0, 2**32 - 1)), draw(KINDS), draw(st.sampled_from(SHAPES)))
    dtype = draw(st.sampled_from(["f8", "f4", "i8", "?"]))
    if dtype == "i8":
        x = np.clip(np.nan_to_num(np.round(x * 3)), -999, 999)
    x = x.astype(dtype)
    layouts = {"C": x, "F": np.asfortranarray(x), "reversed": x[::-1, ::-1], "strided": np.repeat(x, 2, axis=1)[:, ::2]}
    return layouts[draw(st.sampled_from(list(layouts)))]


@PROPERTY
@given(x=dense(), log_base=st.sampled_from(LOG_BASES), zero_center=st.booleans(),
       max_value=st.sampled_from(MAX_VALUES), with_stats=st.booleans())
def test_dense(x, log_base, zero_center, max_value, with_stats):
    kw = {} if log_base is None else {"log_base": log_base}  # absent and None are the same (test_interface)
    assert_same(hvg_seurat_stats(x, **kw), ref.hvg_seurat_stats(x, log_base))
    got = scale(x, zero_center=zero_center, max_value=max_value, return_mean_std=with_stats)
    assert_same(got, ref.scale(x, zero_center, max_value, with_stats))


@st.composite
def csr(draw):
    """(indices, data, n_rows, n_cols): repeated columns, explicit zeros, empty last column, extra indices."""
    n_cols, nnz = draw(st.sampled_from([1, 2, 7, 50, 300])), draw(st.sampled_from([0, 1, 5, 100, 3000]))
    rng = np.random.default_rng(seed := draw(st.integers(0, 2**32 - 1)))
    extra = rng.integers(-5, 10**12, draw(st.sampled_from([0, 0, 3])))  # past the data: never read
    indices = np.concatenate([rng.integers(0, max(n_cols - 1, 1), nnz), extra])
    data = values(seed, draw(KINDS), (nnz,)).astype(draw(st.sampled_from(["f8", "f4"])))
    return indices, data, draw(st.sampled_from([0, 1, 2, 3, 100, 10**6])), n_cols


EMPTY = (np.array([7, -1]), np.zeros(0), 5, 0)
EMPTY_ROWS = (np.array([], np.int64), np.zeros(0, np.float32), 0, 3)
OVERFLOW_F32 = (np.array([0, 0, 1]), np.array([47.8, 1.0, 3e20], np.float32), 4, 2)  # squares overflow float32


@PROPERTY
@given(case=csr(), log_base=st.sampled_from(LOG_BASES), max_value=st.sampled_from(MAX_VALUES), flag=st.booleans())
@example(case=EMPTY, log_base=None, max_value=None, flag=False)
@example(case=EMPTY_ROWS, log_base=None, max_value=None, flag=False)
@example(case=OVERFLOW_F32, log_base=None, max_value=None, flag=False)
@example(case=OVERFLOW_F32, log_base=None, max_value=None, flag=True)
def test_sparse(case, log_base, max_value, flag):  # flag: square_f64, and promote
    got = hvg_seurat_stats_sparse(*case, log_base=log_base, square_f64=flag)
    assert_same(got, ref.hvg_seurat_stats_sparse(*case, log_base, flag))
    assert_same(scale_sparse_data(*case, max_value=max_value, promote=flag), ref.scale_sparse_data(*case, max_value, flag))


@pytest.mark.slow
@pytest.mark.parametrize("dtype", ["f8", "f4"])
def test_sparse_with_several_chunks(dtype):
    rng = np.random.default_rng(11)
    indices = rng.integers(0, 200, 2_500_000)  # three chunks of stored entries
    data = np.round(rng.uniform(0.0, 4.0, indices.size), 3).astype(dtype)
    for flag, option in [(False, None), (True, 2.0)]:
        assert_same(hvg_seurat_stats_sparse(indices, data, 3_000_000, 200, log_base=option, square_f64=flag),
                    ref.hvg_seurat_stats_sparse(indices, data, 3_000_000, 200, option, flag))
        assert_same(scale_sparse_data(indices, data, 3_000_000, 200, max_value=option, promote=flag),
                    ref.scale_sparse_data(indices, data, 3_000_000, 200, option, flag))


def test_known_numbers():
    # The worked example of sparse scaling.
    values_, mean, std = scale_sparse_data(np.array([0, 0, 1]), np.array([2.0, 4.0, 3.0]), 4, 2, max_value=2.0)
    assert mean.tolist() == [1.5, 0.75] and std[1] == 1.5 and values_.tolist()[1:] == [2.0, 2.0]
    assert (round(values_[0], 7), round(std[0], 7)) == (1.0444659, 1.9148542)
    # Three rows of 0.1 leave a variance of -2.6e-18 (std NaN), two leave exactly 0 (std 1.0).
    for rows, std_, scaled in [(3, nan, nan), (2, 1.0, 0.0)]:
        out, _, sd = scale(np.full((rows, 1), 0.1), return_mean_std=True)
        np.testing.assert_array_equal(np.r_[sd, out.ravel()], [std_] + [scaled] * rows)
    # A zero mean becomes 1e-12, and a zero ratio the quiet NaN 0x7FF8000000000000.
    means, disp = hvg_seurat_stats(np.array([[0.0, -0.0]] * 4))
    assert means.tolist() == [math.log1p(1e-12)] * 2 and disp.view("u8").tolist() == [0x7FF8000000000000] * 2
