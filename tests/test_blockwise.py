"""The block-wise pieces (brenix_kernels._blocks, chained by brenix_kernels._blockwise) without dask:
folded by hand over row blocks they give _core's bits on the whole matrix, for any cut."""

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import brenix_kernels as bk
from brenix_kernels import _core
from brenix_kernels._blockwise import Chain, Sums
from conftest import assert_same


def folded(sums, blocks, n_cols):
    chain = Chain(sums, n_cols)
    for block in blocks:
        chain.add(block)
    return chain.result()


def cut(n, bounds):
    return sorted({0, n, *bounds})


@settings(max_examples=20, deadline=None, database=None, suppress_health_check=list(HealthCheck))
@given(bounds=st.lists(st.integers(0, 4500), max_size=5), dtype=st.sampled_from(["f8", "f4"]),
       log_base=st.sampled_from([None, 2.0, np.inf]))
def test_dense_blocks_folded(bounds, dtype, log_base):
    rng = np.random.default_rng(len(bounds))
    x = np.log1p(rng.poisson(0.4, (4500, 9))).astype(dtype)
    x[rng.random(x.shape) < 0.001] = np.nan
    edges = cut(4500, bounds)
    blocks = [x[a:b] for a, b in zip(edges, edges[1:])]
    assert_same(folded(Sums(False, True, log_base), blocks, 9),
                _core.hvg_seurat_stats(x, log_base=log_base))
    assert_same(folded(Sums(False, False), blocks, 9), _core.scale(x, return_mean_std=True)[1:])


@settings(max_examples=15, deadline=None, database=None, suppress_health_check=list(HealthCheck))
@given(bounds=st.lists(st.integers(0, 5000), max_size=5), sparse=st.booleans(), n_groups=st.integers(0, 5))
def test_grouped_chain(bounds, sparse, n_groups):
    # What a reader of a file folds: blocks with their rows' codes, in turn; any cut, groups empty
    # or absent from blocks, rows left out.
    sp = pytest.importorskip("scipy.sparse")
    rng = np.random.default_rng(n_groups)
    x = np.log1p(rng.poisson(0.3, (5000, 8))).astype("f4")
    x = sp.csr_matrix(x) if sparse else x
    codes = rng.integers(-1, max(n_groups - 1, 0), 5000) if n_groups else np.full(5000, -1)
    edges = cut(5000, bounds)
    for statistic, expected in [("hvg", bk.hvg_seurat_stats(x, groups=codes)),
                                ("mean_var", bk.mean_var(x, square_f64=True, groups=codes))]:
        chain = Chain(Sums(sparse, statistic == "hvg", square_f64=statistic == "mean_var", statistic=statistic),
                      8, n_groups=len(expected[0]))
        for a, b in zip(edges, edges[1:]):
            chain.add(x[a:b], codes[a:b])
        assert_same(chain.result(), expected)
