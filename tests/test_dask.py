"""brenix_kernels.dask against brenix_kernels._core on the whole matrix, bit for bit, for any row
chunking and on every scheduler; its errors; an out-of-core run within the workers' memory limit."""

import os
import re

import numpy as np
import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

dask = pytest.importorskip("dask")
da = pytest.importorskip("dask.array")
sp = pytest.importorskip("scipy.sparse")

import brenix_kernels as bk  # noqa: E402
from brenix_kernels import _core  # noqa: E402
from brenix_kernels import dask as bd  # noqa: E402
from conftest import INDEX_MSG, assert_same  # noqa: E402

# Some inputs hold infinities, whose means are infinite: the warning for raw counts (test_refusals)
# would be noise here.
pytestmark = pytest.mark.filterwarnings(r"ignore:hvg_seurat_stats\(\). a gene's mean is inf:UserWarning")

ODD = [np.nan, np.inf, -np.inf, -0.0, 3e20]
# ASan keeps freed memory in quarantine: worker processes get no memory limit under it.
UNDER_SANITIZER = os.environ.get("BRENIX_UNDER_SANITIZER") == "1"


def counts(seed, shape, dtype, odd=False):
    """log1p of small counts: mostly zeros (the kernels skip them), values repeating within rows."""
    rng = np.random.default_rng(seed)
    x = np.log1p(rng.poisson(rng.uniform(0.05, 2.0, shape[1]), shape) * rng.uniform(0.5, 3, (shape[0], 1)))
    if odd:
        mask = rng.random(shape) < 0.001
        x[mask] = rng.choice(ODD, mask.sum())
    return x.astype(dtype)


def csr(seed, n_rows, n_cols, density, dtype, kind=sp.csr_matrix, index="i4"):
    rng = np.random.default_rng(seed)
    m = sp.random(n_rows, n_cols, density=density, format="csr", rng=rng, dtype="f8")
    m.sort_indices()  # merged column chunks come back in sorted order
    m.data = np.log1p(np.round(m.data * 20)).astype(dtype)
    m = kind(m)
    m.indices, m.indptr = m.indices.astype(index), m.indptr.astype(index)
    return m


def entries(m):
    return m.indices.astype(np.int64), m.data


def compute(*arrays, **kwargs):
    return tuple(np.asarray(a) if isinstance(a, np.ndarray) else a for a in dask.compute(*arrays, **kwargs))


# --- dense ----------------------------------------------------------------------------------------

# 7000 rows are four kernel chunks, the last short. Blocks: one; aligned on 2048; smaller than a
# chunk; a chunk over three blocks (2048..4096 in 1900 | 150 | 2000); one-row blocks at the ends.
DENSE_ROWS = 7000
ROW_CHUNKS = {
    "whole": (7000,),
    "aligned": (2048, 2048, 2048, 856),
    "small": (700,) * 10,
    "three": (1900, 150, 2000, 2950),
    "ragged": (1, 2047, 1, 4950, 1),
}


def at_each_row_chunking(test):
    for rows, dtype in zip(ROW_CHUNKS.values(), ["f8", "f4", "i8", "f8", "f4"]):
        test = example(cuts=list(np.cumsum(rows)[:-1]), dtype=dtype, n_groups=3)(test)
    return test


@settings(max_examples=30, deadline=None, database=None, suppress_health_check=list(HealthCheck))
@given(cuts=st.lists(st.integers(1, DENSE_ROWS - 1), max_size=6), dtype=st.sampled_from(["f8", "f4", "i8"]),
       n_groups=st.integers(1, 4))
@at_each_row_chunking
def test_dense_any_row_chunking(cuts, dtype, n_groups):
    x = counts(1, (DENSE_ROWS, 29), "f8", odd=dtype != "i8")
    x = np.round(x * 2).astype(dtype) if dtype == "i8" else x.astype(dtype)
    codes = np.random.default_rng(n_groups).integers(-1, n_groups, DENSE_ROWS)
    rows = tuple(np.diff(sorted({0, DENSE_ROWS, *cuts})))
    dx = da.from_array(x, chunks=(rows, 10))  # three column chunks, merged first
    # Computed together, so that the graphs of different options share the blocks but nothing else.
    log_bases = [None, 2.0, 0.5]  # a base below 1 makes the logarithm negative
    scaled = bk.scale(dx, max_value=1.5, return_mean_std=True)
    assert scaled[0].chunks[0] == rows and scaled[0].dtype == (np.float32 if dtype == "f4" else np.float64)
    assert_same(compute(*[v for log_base in log_bases for v in bd.hvg_seurat_stats(dx, log_base=log_base)], *scaled,
                        *bk.scale(dx, zero_center=False, max_value=0.5, return_mean_std=True), *bd.mean_var(dx),
                        *bk.mean_var(dx, square_f64=True), *bk.hvg_seurat_stats(dx, groups=codes)),
                sum((_core.hvg_seurat_stats(x, log_base=log_base) for log_base in log_bases), ())
                + _core.scale(x, max_value=1.5, return_mean_std=True)
                + _core.scale(x, zero_center=False, max_value=0.5, return_mean_std=True) + bk.mean_var(x)
                + bk.mean_var(x, square_f64=True) + bk.hvg_seurat_stats(x, groups=codes))


def test_dense_edge_shapes():
    for x in [np.ones((1, 3), np.float32), np.full((3, 2), 0.1)]:
        dx = da.from_array(x, chunks=(1, 1))
        assert_same(compute(*bd.hvg_seurat_stats(dx)), _core.hvg_seurat_stats(x))
        assert_same(compute(*bd.mean_var(dx)), bk.mean_var(x))  # one row: no n/(n-1)
        assert_same(compute(*bd.scale(dx, return_mean_std=True)), _core.scale(x, return_mean_std=True))


# --- sparse ---------------------------------------------------------------------------------------

SPARSE_SHAPE = (30_000, 90)  # 2.4 million stored entries: three kernel chunks


@pytest.mark.slow
@pytest.mark.parametrize("kind, index, dtype",
                         [(sp.csr_matrix, "i4", "f8"), (sp.csr_array, "i8", "f4"), (sp.csr_matrix, "i8", "f4")])
def test_sparse_agrees_with_core(kind, index, dtype):
    m = csr(3, *SPARSE_SHAPE, 0.9, dtype, kind, index)
    n_rows, n_cols = m.shape
    codes = group_codes(17, n_rows)  # group 0's 1.4 million entries: its chunk boundary inside a block and a row
    for rows in [(n_rows,), (1000,) * 30, (11_000, 400, 13_000, 5_600)]:
        # 1000-row blocks hold about 81,000 entries: a kernel chunk spans thirteen of them.
        dx = da.from_array(m, chunks=(rows, 40), asarray=False)
        assert_same(compute(*bd.hvg_seurat_stats(dx, square_f64=True, groups=codes), *bd.mean_var(dx, groups=codes)),
                    bk.hvg_seurat_stats(m, square_f64=True, groups=codes) + bk.mean_var(m, groups=codes))
        for square_f64, log_base in [(False, None), (True, 10)]:
            assert_same(compute(*bd.hvg_seurat_stats(dx, log_base=log_base, square_f64=square_f64)),
                        _core.hvg_seurat_stats_sparse(*entries(m), n_rows, n_cols, log_base=log_base,
                                                      square_f64=square_f64))
            assert_same(compute(*bk.mean_var(dx, square_f64=square_f64)),
                        bk.mean_var(m, square_f64=square_f64))
        for promote, max_value in [(False, None), (True, 2.0)]:
            scaled, mean, std = bd.scale_sparse(dx, max_value=max_value, promote=promote)
            *blocks, mean, std = dask.compute(*scaled.to_delayed().ravel(), mean, std)
            assert scaled.chunks[0] == tuple(rows)
            expected = _core.scale_sparse_data(*entries(m), n_rows, n_cols, max_value=max_value, promote=promote)
            assert_same((sp.vstack(blocks, format="csr").data, mean, std), expected)
            # The structure of the input's row blocks (their columns merged), index types included.
            bounds = np.cumsum((0,) + tuple(rows))
            for got, first, last in zip(blocks, bounds, bounds[1:]):
                block = m[first:last]
                assert type(got) is kind and got.indices.dtype == block.indices.dtype
                assert np.array_equal(got.indices, block.indices) and np.array_equal(got.indptr, block.indptr)


@pytest.mark.slow
def test_a_chunk_of_entries_ending_on_a_block_boundary():
    m = sp.csr_matrix(counts(10, (12_000, 100), "f4") + 1)  # every entry stored: entry 1,000,000 starts row 10,000
    codes = np.zeros(12_000, np.int64)
    for rows in [(10_000, 2_000), (9_999, 1, 2_000), (5_000, 5_000, 0, 2_000)]:
        dm = da.from_array(m, chunks=(rows, 100), asarray=False)
        assert_same(compute(*bd.hvg_seurat_stats(dm), *bd.hvg_seurat_stats(dm, groups=codes)),
                    _core.hvg_seurat_stats_sparse(*entries(m), 12_000, 100) + bk.hvg_seurat_stats(m, groups=codes))


# --- groups ---------------------------------------------------------------------------------------


def group_codes(seed, n_rows):
    """Group 0 large (its rows span several 2048-row chunks, cut by the blocks), 1 smaller, 2 empty,
    3 only in the first 40 rows (absent from later blocks), -1 rows left out."""
    codes = np.random.default_rng(seed).choice([0, 0, 0, 1, -1], n_rows)
    codes[:40:3] = 3
    return codes


@pytest.mark.parametrize("rows", ["whole", "three", "ragged", "small"])
@pytest.mark.parametrize("dtype", ["f8", "f4"])
def test_dense_groups_and_masks_agree_with_in_memory(rows, dtype, monkeypatch):
    monkeypatch.setattr(bd, "MAX_CHAINS", 1 if dtype == "f8" else 4)
    x = counts(11, (DENSE_ROWS, 13), dtype, odd=True)
    codes = group_codes(12, DENSE_ROWS)
    dx = da.from_array(x, chunks=(ROW_CHUNKS[rows], 5))
    # NumPy codes, and codes in a dask array chunked otherwise than x.
    for groups in [codes, da.from_array(codes, chunks=1500)]:
        lazy = [*bd.hvg_seurat_stats(dx, log_base=2.0, groups=groups), *bd.mean_var(dx, groups=groups),
                *bk.mean_var(dx, square_f64=True, groups=groups)]
        assert all(isinstance(r, da.Array) and r.shape == (4, 13) for r in lazy)
        assert_same(compute(*lazy), bk.hvg_seurat_stats(x, log_base=2.0, groups=codes) + bk.mean_var(x, groups=codes)
                    + bk.mean_var(x, square_f64=True, groups=codes))
    # The statistics of the masked rows (group 0 of a grouped pass), those rows scaled, the rest as they are.
    mask = codes != 0
    for kw in ({"max_value": 3}, {"zero_center": False}, {"promote": True}):
        got = compute(*bk.scale(dx, mask=mask, return_mean_std=True, **kw))
        assert_same(got, bk.scale(x, mask=mask, return_mean_std=True, **kw))
        core_kw = {k: v for k, v in kw.items() if k != "promote"}
        assert_same(got[0][mask], _core.scale(x[mask].astype("f8") if "promote" in kw else x[mask], **core_kw))


@pytest.mark.parametrize("chains", [1, 4])  # folds of all groups, or of groups split among chains
def test_sparse_small_blocks_and_empty(chains, monkeypatch):
    monkeypatch.setattr(bd, "MAX_CHAINS", chains)
    pd = pytest.importorskip("pandas")
    m = csr(14, 3000, 9, 0.3, "f4", sp.csr_matrix, "i8")
    codes = group_codes(15, 3000)
    categories = pd.Categorical.from_codes(codes, ["a", "b", "c", "d"])
    for rows in [(3000,), (29,) * 103 + (13,), (1000, 0, 2000)]:
        dm = da.from_array(m, chunks=(rows, 9), asarray=False)
        assert_same(compute(*bd.hvg_seurat_stats(dm), *bd.mean_var(dm), *bd.hvg_seurat_stats(dm, groups=categories),
                            *bd.mean_var(dm, groups=codes), *bd.hvg_seurat_stats(dm, log_base=10, groups=codes)),
                    _core.hvg_seurat_stats_sparse(*entries(m), 3000, 9) + bk.mean_var(m)
                    + bk.hvg_seurat_stats(m, groups=codes) + bk.mean_var(m, groups=codes)
                    + bk.hvg_seurat_stats(m, log_base=10, groups=codes))
    empty = da.from_array(sp.csr_matrix((4, 3), dtype="f8"), chunks=(2, 3), asarray=False)
    assert_same(compute(*bd.scale_sparse(empty)[1:]),
                _core.scale_sparse_data(np.zeros(0, np.int64), np.zeros(0), 4, 3)[1:])


# --- entry errors ---------------------------------------------------------------------------------


def bad_entries(m, positions, columns):
    m = m.copy()
    m.indices[positions] = columns
    return m


def with_duplicate(m, rows):
    """m with the last of `rows` that has two entries storing its first column twice."""
    dup, row = m.copy(), int(np.flatnonzero(rows & (np.diff(m.indptr) >= 2))[-1])
    dup.indices[m.indptr[row] + 1] = dup.indices[m.indptr[row]]
    return dup


def dask_concatenates(kind):
    """Whether dask.array can concatenate blocks of this sparse type: Debian's dask 2024.12 knows the
    sparse matrices but not the newer sparse arrays (csr_array)."""
    try:
        da.concatenate([da.from_array(kind((2, 2)), chunks=(1, 2), asarray=False)] * 2)
        return True
    except ValueError:
        return False


def split_rows(m, rows):
    """A dask array of the row blocks of m, cut from its arrays as they are (slicing would drop the
    entries with bad columns); as sparse matrices where dask cannot concatenate m's kind."""
    parts, first = [], 0
    kind = type(m) if dask_concatenates(type(m)) else sp.csr_matrix
    for n in rows:
        p, q = m.indptr[first], m.indptr[first + n]
        block = kind((m.data[p:q], m.indices[p:q], m.indptr[first:first + n + 1] - p), shape=(n, m.shape[1]))
        parts.append(da.from_delayed(dask.delayed(block), block.shape, dtype=block.dtype, meta=block[:0]))
        first += n
    return da.concatenate(parts)


def outcome(call, X):
    """call(X) computed: its arrays (a sparse one's stored values), or its error's type name and arguments."""
    try:
        result = call(X)
        parts = dask.compute(*(result if isinstance(result, tuple) else (result,)))
    except BaseException as error:
        return type(error).__name__, error.args
    return tuple(np.asarray(p.data if sp.issparse(p) else p) for p in parts)


@pytest.fixture(scope="module")
def broken():
    """A CSR matrix, its rows' groups and a mask, then the matrix as it is and with bad entries or a duplicate."""
    m = csr(23, 3000, 8, 0.5, "f8")
    codes, mask = group_codes(19, 3000), np.random.default_rng(25).random(3000) < 0.6
    rows_of = np.repeat(np.arange(3000), np.diff(m.indptr))
    inside, outside = np.flatnonzero(mask[rows_of]), np.flatnonzero(~mask[rows_of])
    left_out = int(np.flatnonzero(codes[rows_of] == -1)[0])
    assert left_out < 1500 and codes[rows_of[[1500, 9000]]].min() >= 0
    matrices = [m, bad_entries(m, [9000, 1500], [77, 12]),  # in a later block's middle, an earlier one's head
                bad_entries(m, [left_out, 9000, 1500], [99, 77, 12]),  # the first in a row no group has
                bad_entries(m, [outside[4000], inside[-5]], [77, 12]), bad_entries(m, outside[[4000, 300]], [77, 12]),
                with_duplicate(m, codes >= 0), with_duplicate(m, ~mask & (codes == -1))]  # in no group, not masked
    in_groups = [outcome(lambda X: bk.hvg_seurat_stats(X, groups=codes), X) for X in matrices[1:3]]
    assert in_groups[0] == in_groups[1]  # a row in no group is checked after the groups' rows
    return codes, mask, matrices


CSR_CALLS = {
    "hvg": lambda X, codes, mask: bk.hvg_seurat_stats(X),
    "hvg-groups": lambda X, codes, mask: bk.hvg_seurat_stats(X, groups=codes),
    "mean_var-groups": lambda X, codes, mask: bk.mean_var(X, groups=codes),
    "scale-uncentred": lambda X, codes, mask: bk.scale(X, zero_center=False),
    "scale-uncentred-mask": lambda X, codes, mask: bk.scale(X, zero_center=False, max_value=2, promote=True, mask=mask,
                                                            return_mean_std=True),
    "scale-centred": lambda X, codes, mask: bk.scale(X, max_value=3, return_mean_std=True),
}


@pytest.mark.parametrize("name, i", [(name, i) for name in CSR_CALLS for i in range(7)])
def test_csr_blocks_give_the_in_memory_results_and_errors(broken, name, i):
    """The bits of the in-memory call for any blocks, and for a bad column or a duplicate its error, whichever block
    fails first: the first bad entry in storage order of the rows read (a group's; a mask's, then the others'), a
    duplicate's row counted in the whole matrix."""
    codes, mask, matrices = broken
    call = lambda X: CSR_CALLS[name](X, codes, mask)  # noqa: E731
    expected = outcome(call, matrices[i])
    if i == 1:
        assert expected == ("InvalidEntriesError", (INDEX_MSG.format(8, 12),))
    for rows in [(3000,), (100,) * 30, (2999, 1)]:
        got = outcome(call, split_rows(matrices[i], rows))
        if isinstance(expected[0], str):
            assert got == expected, rows
        else:
            assert_same(got, expected)


@pytest.mark.parametrize("fn", [bk.mean_var, bk.hvg_seurat_stats])
@pytest.mark.parametrize("form", ["csr", "csc", "csr-blocks"])
def test_a_bad_entry_in_a_row_no_group_has(fn, form):
    """Rows coded -1 are summed by no group but still checked: the error of the ungrouped call."""
    X = (sp.csc_matrix if form == "csc" else sp.csr_matrix)(np.array([[1.0, 0, 2], [0, 3, 0], [4, 0, 5]], np.float32))
    X.indices[0] = 7  # row 0's first entry either way
    expected = outcome(fn, X)
    assert expected == ("InvalidEntriesError", (INDEX_MSG.format(3, 7),))
    X = split_rows(X, (2, 1)) if form == "csr-blocks" else X
    assert outcome(lambda X: fn(X, groups=np.array([-1, 0, 0])), X) == expected


@pytest.mark.slow
def test_bad_entry_in_a_head_before_one_in_a_later_chunk():
    # Block 1 starts mid-chunk: a bad column among the entries that finish the first chunk comes
    # before the one in its own chunk, which its parallel pass meets first.
    m = bad_entries(csr(9, 30_000, 50, 1.0, "f4"), [700_000, 1_200_000], [60, 77])
    with pytest.raises(bd.PanicException, match=re.escape(INDEX_MSG.format(50, 60))):
        bd.hvg_seurat_stats(split_rows(m, (10_000, 20_000)))[0].compute()


def test_bad_input_and_blocks():
    """Bad arguments are refused at once; bad blocks raise when computed, and the module keeps working."""
    x, m = da.ones((10, 4), chunks=(3, 4)), csr(6, 40, 5, 0.5, "f8")
    ints = da.from_array(sp.csr_matrix(m.astype("i8")), chunks=(10, 5), asarray=False)
    as_csr = da.from_array(m, chunks=(10, 5), asarray=False)
    coo = as_csr.map_blocks(sp.coo_matrix, meta=as_csr._meta)
    mislabelled = as_csr.map_blocks(lambda b: b, meta=np.empty((0, 0)))
    float_indices = as_csr.map_blocks(lambda b: setattr(b, "indices", b.indices.astype(float)) or b, meta=m[:0])
    mixed = da.concatenate([da.from_array(m[:, :2], chunks=(10, 2), asarray=False),
                            da.from_array(m[:, 2:].toarray(), chunks=(10, 3))], axis=1)
    cases = [
        (lambda: bd.hvg_seurat_stats(np.ones((3, 3))), TypeError, "takes a dask array, not 'ndarray'"),
        (lambda: bd.scale(da.ones(5)), ValueError, "takes a 2-D array; this one has shape (5,)"),
        (lambda: bd.hvg_seurat_stats(x, square_f64=True), TypeError, "square_f64 applies to CSR blocks only"),
        (lambda: bd.scale(x[x[:, 0] > 0]), ValueError, "row chunk sizes of x must be known, not (nan, nan, nan, nan)"),
        (lambda: bd.scale(da.concatenate([x[:, x[0] > 0]] * 2, axis=1)), ValueError,
         "cannot merge the column chunks (nan, nan) of x"),
        (lambda: bd.scale_sparse(x), TypeError, "scale_sparse() takes CSR blocks"),
        (lambda: bd.mean_var(x, groups=np.zeros(9, int)), ValueError, "groups has 9 codes but X has 10 rows"),
        (lambda: bd.mean_var(x, groups=np.arange(10) - 2), ValueError, "is -2: a code is a group"),
        (lambda: bd.mean_var(x, groups=da.from_array(np.arange(10) - 2)), ValueError, "is -2: a code is a group"),
        (lambda: bd.mean_var(x, groups=np.zeros(10)), TypeError, "groups must be integer codes"),
        (lambda: bd.mean_var(x.astype(complex)), TypeError, "not complex128; take x.real explicitly"),
        (lambda: bd.hvg_seurat_stats(ints), TypeError, "sparse data must be float32 or float64"),
        (lambda: bd.mean_var(float_indices), TypeError, "the indices of a CSR block must be integers, not float64"),
        (lambda: bd.hvg_seurat_stats(coo), TypeError, "blocks must be CSR (csr_matrix or csr_array), not 'coo_matrix'"),
        (lambda: bd.scale(mislabelled), TypeError, "x._meta is a NumPy array, so every block must be one, not 'csr_matrix'"),
        (lambda: bd.scale(mixed, zero_center=False), TypeError, "cannot merge the column chunks (2, 3) of x, of types ['csr_matrix', 'ndarray']"),
        (lambda: bd.scale(da.ones((5, 3), chunks=2), max_value="1"), TypeError, "max_value must be a real number or None, not builtins.str"),
    ]
    for i, (call, error, message) in enumerate(cases):
        with pytest.raises(error, match=re.escape(message)):
            result = call()
            assert i >= 11, "bad arguments (the first eleven cases) are refused before anything is computed"
            dask.compute(*(result if isinstance(result, tuple) else (result,)))
    assert_same(_core.hvg_seurat_stats(np.ones((3, 2))), compute(*bd.hvg_seurat_stats(da.ones((3, 2)))))  # still works


BLOCK_CALLS = {
    "hvg": lambda x, rows: bd.hvg_seurat_stats(x),
    "hvg-groups": lambda x, rows: bd.hvg_seurat_stats(x, groups=rows % 3),
    "mean_var": lambda x, rows: bd.mean_var(x),
    "mean_var-groups": lambda x, rows: bd.mean_var(x, groups=da.from_array(rows % 2, chunks=700)),
    "scale": lambda x, rows: bk.scale(x, return_mean_std=True),
    "scale-mask": lambda x, rows: bk.scale(x, mask=rows % 2 == 0),
    "scale-uncentred": lambda x, rows: bk.scale(x, zero_center=False, mask=rows % 2 == 0, return_mean_std=True),
}
BAD_BLOCKS = {  # what blocks 1 and 3 become, and what the error says of block 1
    "short": (lambda b: b[:-1], ValueError, "block (1, {j}) of x has shape (999, {n}), but x's chunks give it (1000, {n})"),
    "long": (lambda b: b[np.r_[:b.shape[0], 0]], ValueError, "has shape (1001, {n}), but x's chunks give it (1000, {n})"),
    "dtype": (lambda b: b.astype(np.float64), TypeError, "block (1, {j}) of x has dtype float64, but x's is float32"),
}


@pytest.mark.parametrize("layout", ["dense", "dense-columns", "csr"])
@pytest.mark.parametrize("fault", BAD_BLOCKS)
@pytest.mark.parametrize("name", BLOCK_CALLS)
def test_blocks_other_than_their_chunks_declare(layout, fault, name):
    """A block of other rows or another dtype than x declares fails on every path, naming the first such block in
    row order, before its values are used."""
    if name == "scale-uncentred" and layout != "csr":
        pytest.skip("uncentred scaling keeps CSR blocks only")
    change, error, message = BAD_BLOCKS[fault]
    values = counts(3, (4000, 6), "f4")
    x = da.from_array(sp.csr_matrix(values) if layout == "csr" else values, chunks=(1000, 3 if layout == "dense-columns" else 6),
                      asarray=False)
    bad = {1, 3}
    j = 1 if layout == "dense-columns" else 0
    y = x.map_blocks(lambda b, block_info=None: change(b) if block_info[None]["chunk-location"] in {(i, j) for i in bad} else b,
                     dtype=x.dtype, meta=x._meta)
    with pytest.raises(error, match=re.escape(message.format(j=j, n=y.chunks[1][j]))):
        result = BLOCK_CALLS[name](y, np.arange(4000))
        dask.compute(*(result if isinstance(result, tuple) else (result,)))


# --- a cluster of two worker processes --------------------------------------------------------------


@pytest.fixture(scope="module")
def client():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  memory_limit=0 if UNDER_SANITIZER else "400MB",
                                  dashboard_address=":0", env={"RAYON_NUM_THREADS": "1"}) as cluster:
        with distributed.Client(cluster) as c:
            yield c


def test_cluster_agrees_with_core(client):
    x = counts(7, (DENSE_ROWS, 33), "f4", odd=True)
    dx = da.from_array(x, chunks=(ROW_CHUNKS["three"], 11))
    assert_same(compute(*bd.hvg_seurat_stats(dx, log_base=2)), _core.hvg_seurat_stats(x, log_base=2))
    scaled, mean, std = bd.scale(dx, max_value=3, return_mean_std=True)
    assert_same(compute(scaled, mean, std), _core.scale(x, max_value=3, return_mean_std=True))

    m = csr(8, 4000, 30, 0.2, "f8", sp.csr_array)
    dm = da.from_array(m, chunks=((1500, 1000, 1500), 30), asarray=False)
    assert_same(compute(*bd.hvg_seurat_stats(dm)), _core.hvg_seurat_stats_sparse(*entries(m), 4000, 30))
    bad = split_rows(bad_entries(m, [20000, 5000], [30, 31]), (1500, 1000, 1500))
    with pytest.raises(bd.PanicException, match=re.escape(INDEX_MSG.format(30, 31))):
        compute(*bd.scale_sparse(bad)[1:])

    codes = group_codes(9, DENSE_ROWS)
    assert_same(compute(*bd.hvg_seurat_stats(dx, groups=da.from_array(codes, chunks=2000)), *bd.mean_var(dm, groups=codes[:4000])),
                bk.hvg_seurat_stats(x, groups=codes) + bk.mean_var(m, groups=codes[:4000]))
    mask = codes[:4000] == 1
    scaled, mean, std = compute(*bd.scale_sparse(split_rows(m, (1500, 1000, 1500)), mask=mask))
    expected, *stats = bk.scale(m, zero_center=False, mask=mask, return_mean_std=True)
    assert_same((scaled.data, mean, std), (expected.data, *stats))


def peak_resident_bytes():
    """The process's peak resident memory since it started (Linux's VmHWM): every spike counts."""
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmHWM:"))


def levels(seed, shape):
    """log1p of counts 0..3, three quarters zeros: quick to make in bulk."""
    counts_ = np.maximum(np.random.default_rng(seed).integers(-12, 4, shape, dtype=np.int8), 0)
    return np.log1p(np.arange(4, dtype="f4"))[counts_]


@pytest.mark.slow
@pytest.mark.skipif(UNDER_SANITIZER, reason="ASan keeps freed memory in quarantine")
def test_out_of_core_within_memory_limit(tmp_path):
    """A Zarr array four times a worker's memory limit, on workers of their own."""
    distributed = pytest.importorskip("distributed")
    zarr = pytest.importorskip("zarr")
    limit, n_rows, n_cols, rows = 250e6, 250_000, 1000, 5_000  # 1 GB of float32 in 20 MB blocks
    z = zarr.create_array(tmp_path / "x.zarr", shape=(n_rows, n_cols), chunks=(rows, n_cols), dtype="f4",
                          compressors=None)
    for first in range(0, n_rows, rows):
        z[first:first + rows] = levels(first, (rows, n_cols))
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, memory_limit=limit, dashboard_address=":0",
                                  env={"RAYON_NUM_THREADS": "1"}) as cluster, distributed.Client(cluster) as c:
        got = compute(*bd.hvg_seurat_stats(da.from_zarr(z)))
        peaks = c.run(peak_resident_bytes)
    assert n_rows * n_cols * 4 > 3.9 * limit and max(peaks.values()) < limit, peaks
    assert_same(got, _core.hvg_seurat_stats(z[:]))
