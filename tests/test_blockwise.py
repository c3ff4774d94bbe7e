"""The block-wise pieces (brenix_kernels._blocks, chained by brenix_kernels._folds) without dask:
folded by hand over row blocks they give _core's bits on the whole matrix, for any cut."""

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import brenix_kernels as bk
from brenix_kernels import _arrays, _blocks, _core
from brenix_kernels._folds import Chain, Sums
from conftest import INDEX_MSG, assert_same, panic


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
    assert_same(folded(Sums(sparse=False, expm1=True, log_base=log_base), blocks, 9),
                _core.hvg_seurat_stats(x, log_base=log_base))
    assert_same(folded(Sums(sparse=False, expm1=False), blocks, 9), _core.scale(x, return_mean_std=True)[1:])


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
        chain = Chain(Sums(sparse=sparse, expm1=statistic == "hvg", square_f64=statistic == "mean_var", statistic=statistic),
                      8, n_groups=len(expected[0]))
        for a, b in zip(edges, edges[1:]):
            chain.add(x[a:b], codes[a:b])
        assert_same(chain.result(), expected)


SUMS, CHUNKS = "running sums must hold 2 * n_cols values", "chunk sums must hold a multiple of 2 * n_cols values"
X3 = np.ones((4, 3))
I2 = np.zeros(2, np.int32)
ROW3 = np.array([0, 3])  # one row of three stored entries
HEAD, OPEN = "head must add up to the items given, one count per group", "open chunks must hold 2 * n_cols values per group"


@pytest.mark.parametrize("call, message", [
    (lambda: _blocks.continue_dense(np.zeros(5), X3), SUMS),  # odd
    (lambda: _blocks.continue_dense(np.zeros(4), X3), SUMS),  # two columns of sums for three of x
    (lambda: _blocks.continue_dense(np.zeros(8), X3, expm1=True), SUMS),
    (lambda: _blocks.continue_sparse(np.zeros(3), np.zeros(2, np.int64), np.ones(2)), SUMS),
    (lambda: _blocks.fold(np.zeros(4), np.zeros(6)), CHUNKS),
    (lambda: _blocks.fold(np.zeros(0), np.zeros(2)), CHUNKS),
    (lambda: _blocks.finish_mean_std(np.zeros(3), 5), SUMS),
    (lambda: _blocks.finish_hvg(np.zeros(7), 5), SUMS),
    (lambda: _blocks.scale_dense(X3, np.zeros(2), np.ones(3)), "mean and std must hold one value per column of x"),
    (lambda: _blocks.scale_dense(X3, np.zeros(3), np.ones(4)), "mean and std must hold one value per column of x"),
    # A grouped fold's gathered heads: head[k] items of group k, for running sums of as many groups.
    (lambda: _blocks.continue_dense_groups(np.zeros(6), np.array([3]), X3), HEAD),
    (lambda: _blocks.continue_dense_groups(np.zeros(6), np.array([5, -1]), X3), "head must hold counts >= 0"),
    (lambda: _blocks.continue_dense_groups(np.zeros(6), np.array([1, 3]), X3), OPEN),
    (lambda: _blocks.continue_sparse_groups(np.zeros(8), np.array([1, 2]), I2, np.ones(2), 2), HEAD),
    (lambda: _blocks.continue_sparse_groups(np.zeros(4), np.array([1, 1]), I2, np.ones(2), 2), OPEN),
    (lambda: _blocks.continue_sparse_groups(np.zeros(8), np.array([1, 1]), I2, np.ones(3), 2),
     "indices and data must have one item per stored entry"),
])
def test_inconsistent_sizes_are_refused(call, message):
    with pytest.raises(ValueError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("call, message", [
    (lambda: _blocks.scale_sparse_values(ROW3, np.array([0, 2, 5]), np.ones(3), np.ones(3)), INDEX_MSG.format(3, 5)),
    (lambda: _blocks.scale_sparse_values(ROW3, np.array([0, 1]), np.ones(3), np.ones(3)), INDEX_MSG.format(2, 2)),
    (lambda: _blocks.continue_sparse(np.zeros(4), np.array([1, 0]), np.ones(3)), INDEX_MSG.format(2, 2)),
    (lambda: _blocks.sparse_partial(np.array([1, 0, 1]), np.ones(4, np.float32), 2, 999_998), INDEX_MSG.format(3, 3)),
])
def test_entries_past_the_columns_or_the_indices_fail_at_the_first(call, message):
    assert panic(call).args[0] == message


def raised(call):
    """(type name, args) of what the call raises, or None."""
    try:
        call()
    except BaseException as error:  # noqa: B036 -- PanicException derives from BaseException only
        return type(error).__name__, error.args
    return None


# Rows of three entries, columns 0, 2 and 5 of 8; each problem is (row, kind): an index past the
# columns, a negative one, or the row's first column stored again. 6000 rows span two tasks of rows.
@pytest.mark.parametrize("problems", [
    [], [(5000, "past")], [(17, "negative")], [(4200, "twice")],
    [(4200, "twice"), (30, "past")], [(30, "twice"), (4200, "negative")], [(30, "past"), (30, "twice")],
])
@pytest.mark.parametrize("width", [np.int32, np.int64])
def test_check_csr_raises_what_the_in_memory_functions_raise(problems, width):
    n_rows, n_cols, first_row = 6000, 8, 123
    indptr = np.arange(0, 3 * n_rows + 1, 3, dtype=np.int64)
    indices = np.tile(np.array([0, 2, 5], width), n_rows)
    for row, kind in problems:
        p = 3 * row + (1 if kind != "twice" else 2)
        indices[p] = {"past": n_cols + 1, "negative": -1, "twice": 0}[kind]
    # The block as rows first_row... of a matrix whose earlier rows are empty.
    whole = np.r_[np.zeros(first_row, np.int64), indptr]
    expected = raised(lambda: _arrays.mean_var_sparse("csr", whole, indices, np.ones(indices.size), first_row + n_rows,
                                                      n_cols, False, None, 0))
    assert raised(lambda: _blocks.check_csr(indptr, indices, n_cols, first_row)) == expected
    assert (expected is None) == (not problems)


@pytest.mark.parametrize("indptr", [[1, 3], [0, 2, 1, 3], [0, 2], [0, 4]])
def test_check_csr_refuses_row_pointers_that_do_not_fit(indptr):
    with pytest.raises(ValueError, match=r"^indptr must hold n_rows \+ 1 \(csr\) or n_cols \+ 1 \(csc\) offsets"):
        _blocks.check_csr(np.array(indptr, np.int64), np.array([0, 1, 2], np.int32), 3, 0)


def chunked_totals(indices, data, n_cols, first):
    """NumPy's sums and sums of squares per column of stored entries numbered from `first`: summed
    in storage order within each 1,000,000-entry chunk of the numbering, chunk totals added in
    order."""
    total = np.zeros(2 * n_cols)
    chunk = (first + np.arange(data.size)) // 1_000_000
    for c in np.unique(chunk):
        at = chunk == c
        total = total + np.concatenate([np.bincount(indices[at], data[at], n_cols),
                                        np.bincount(indices[at], data[at] ** 2, n_cols)])
    return total


@pytest.mark.parametrize("first", [2**31 + 1_000, 2**32 + 300_000])
@pytest.mark.parametrize("grouped", [False, True])
def test_entries_numbered_past_2_31(first, grouped):
    # Row blocks deep into a file of more than 2^31 stored entries: the chunks are cut where the
    # entry number from the start of the matrix is a multiple of 1,000,000. The blocks follow
    # `first` entries that added nothing (a chunk of zeros left open); a number held in 32 bits
    # anywhere would move every cut (2^31 and 2^32 are not multiples of 1,000,000).
    sp = pytest.importorskip("scipy.sparse")
    rng = np.random.default_rng(first % 1000)
    x = sp.csr_matrix(np.where(rng.random((50_000, 50)) < 0.9, rng.random((50_000, 50)), 0.0))
    sums = Sums(sparse=True, expm1=False, statistic="mean_var")
    chain = Chain(sums, 50, n_groups=1 if grouped else None)
    if grouped:
        chain.state.items[0], chain.state.is_open[0] = first, True
    else:
        chain.entries, chain.state = first, (np.zeros(100), np.zeros(100))
    edges = [0, 7_000, 23_000, 23_001, 50_000]
    for a, b in zip(edges, edges[1:]):
        chain.add(x[a:b], np.zeros(b - a, np.int64) if grouped else None)
    if grouped:
        got = chain.state.total(0) + chain.state.open[0]
    else:
        total, carry = chain.state
        got = total + carry
    expected = chunked_totals(x.indices, x.data, 50, first)
    assert_same(got, expected)
    assert not np.array_equal(expected, chunked_totals(x.indices, x.data, 50, first - 2**31))
