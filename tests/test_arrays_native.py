"""brenix_kernels._arrays bit for bit against _core on the equivalent input: each group's rows as
their own subset, the sorted CSR form of a CSC matrix with int64 indices, the dense form of a sparse
matrix; on 1, 2 and 3 threads, with values chosen to break sums (NaN, infinities, signed zeros,
subnormals), empty rows, columns and groups, and more than one chunk of each kind."""

import hashlib
import json
import math
import os

import numpy as np
import pytest
import scipy.sparse as sp

from brenix_kernels import _arrays, _core
from conftest import INDEX_MSG, assert_same, panic, run_py

ODD = [np.nan, np.inf, -np.inf, 0.0, -0.0, 5e-324, -5e-324, 1e-40, 2.5, 3e20]


def matrix(seed, n_rows, n_cols, density, dtype, odd=True):
    """A CSR matrix of log-normalised counts with odd values scattered in, an empty row and column."""
    rng = np.random.default_rng(seed)
    counts = rng.integers(1, 9, (n_rows, n_cols)) * rng.uniform(0.2, 5.0, (n_rows, 1))  # per-cell size factors
    dense = np.where(rng.random((n_rows, n_cols)) < density, np.log1p(counts), 0.0)
    if odd:  # in every fifth column only: a NaN or an infinity would hide the rounding of the rest
        hit = (rng.random((n_rows, n_cols)) < 0.02) & (np.arange(n_cols) % 5 == 0)
        dense[hit] = rng.choice(ODD, hit.sum())
    dense[:, n_cols // 2] = 0.0
    dense[n_rows // 3] = 0.0
    X = sp.csr_matrix(dense.astype(dtype))
    X.data[rng.random(X.nnz) < 0.01] = -0.0  # stored zeros of both signs
    return X


def shuffled(X, seed):
    """The same matrix with each major slice's entries in random order (csr rows, csc columns)."""
    X = X.copy()
    rng = np.random.default_rng(seed)
    for a, b in zip(X.indptr[:-1], X.indptr[1:]):
        p = a + rng.permutation(b - a)
        X.indices[a:b], X.data[a:b] = X.indices[p], X.data[p]
    X.has_sorted_indices = False
    return X


def stored(X, width):
    """_arrays' view of a SciPy matrix: layout, int64 indptr, indices of the given width, data, shape."""
    return (X.format, X.indptr.astype(np.int64), X.indices.astype(width), X.data, *X.shape)


def csr_form(X):
    """What _core is given for X: CSR in storage order, or, for CSC, the CSR form with sorted rows."""
    if X.format == "csr":
        return X
    Y = X.tocsr()
    Y.has_sorted_indices = False
    Y.sort_indices()
    return Y


def core_hvg(S, log_base, square_f64):
    return _core.hvg_seurat_stats_sparse(S.indices.astype(np.int64), S.data, S.shape[0], S.shape[1],
                                         log_base=log_base, square_f64=square_f64)


def row_of(result, k):
    return tuple(part[k] for part in result)


def assert_moments(got, mean, std):
    """(means, variances) against the mean and std _core returns: std is sqrt(var), or 1.0 for var == 0."""
    with np.errstate(invalid="ignore"):
        assert_same((got[0], np.where(got[1] == 0.0, 1.0, np.sqrt(got[1]))), (mean, std))


GROUPS = 4
CASES = [("csr", np.int32, np.float32), ("csr", np.int64, np.float64), ("csc", np.int32, np.float64),
         ("csc", np.int64, np.float32)]


@pytest.fixture(scope="module", params=CASES, ids=lambda c: "-".join(map(str, (c[0], np.dtype(c[1]), np.dtype(c[2])))))
def case(request):
    layout, width, dtype = request.param
    X = matrix(CASES.index(request.param), 300, 40, 0.3, dtype)
    X = shuffled(X.asformat(layout), 5)
    codes = np.random.default_rng(2).integers(-1, GROUPS - 1, X.shape[0])  # the last group is empty
    return X, width, codes


@pytest.mark.parametrize("log_base, square_f64", [(None, False), (2.0, True), (np.inf, False)])
def test_hvg_sparse_matches_core_per_group(case, log_base, square_f64):
    X, width, codes = case
    args = stored(X, width)
    assert_same(_arrays.hvg_seurat_stats_sparse(*args, log_base, square_f64, None, 0),
                core_hvg(csr_form(X), log_base, square_f64))
    got = _arrays.hvg_seurat_stats_sparse(*args, log_base, square_f64, codes, GROUPS)
    for k in range(GROUPS):
        assert_same(row_of(got, k), core_hvg(csr_form(X)[codes == k], log_base, square_f64))


@pytest.mark.parametrize("square_f64", [False, True])
def test_mean_var_sparse_matches_core_per_group(case, square_f64):
    X, width, codes = case
    got = _arrays.mean_var_sparse(*stored(X, width), square_f64, codes, GROUPS)
    for k in range(GROUPS):
        S = csr_form(X)[codes == k]
        _, mean, std = _core.scale_sparse_data(S.indices.astype(np.int64), S.data, *S.shape, promote=square_f64)
        assert_moments(row_of(got, k), mean, std)


@pytest.mark.parametrize("max_value", [None, 1.5, -0.5, np.nan])
def test_scale_sparse_to_dense_matches_dense_scale(case, max_value):
    X, width, codes = case
    D = X.toarray()
    assert_same(_arrays.scale_sparse_to_dense(*stored(X, width), max_value, None),
                _core.scale(D, max_value=max_value, return_mean_std=True))
    mask = codes == 0
    out, mean, std = _arrays.scale_sparse_to_dense(*stored(X, width), max_value, mask)
    expected = _core.scale(D[mask], max_value=max_value, return_mean_std=True)
    assert_same((out[mask], mean, std), expected)
    assert_same(out[~mask], D[~mask])


@pytest.mark.parametrize("max_value, promote", [(None, False), (1.5, True), (0.0, False)])
def test_scale_sparse_values_in_storage_order(case, max_value, promote):
    X, width, codes = case
    mask = codes == 1
    for given in (None, mask):
        values, mean, std = _arrays.scale_sparse(*stored(X, width), max_value, promote, given)
        # The new values put back into X's structure, in the CSR form _core sees.
        Y = csr_form(type(X)((values, X.indices, X.indptr), shape=X.shape))
        rows = np.repeat(np.arange(X.shape[0]), np.diff(Y.indptr))
        S = csr_form(X)[mask] if given is not None else csr_form(X)
        expected = _core.scale_sparse_data(S.indices.astype(np.int64), S.data, *S.shape, max_value=max_value,
                                           promote=promote)
        assert_same((mean, std), expected[1:])
        keep = np.ones(X.shape[0], bool) if given is None else mask
        assert_same(Y.data[keep[rows]], expected[0])
        assert_same(Y.data[~keep[rows]], csr_form(X).data[~keep[rows]].astype(values.dtype))


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_dense_functions_match_core_per_group(dtype):
    x = matrix(3, 2100, 7, 0.4, np.float64).toarray().astype(dtype)  # two 2048-row chunks
    x = x[:, ::-1]  # not row-major: taken as its row-major copy
    codes = np.r_[np.zeros(2060, np.int64), np.full(40, 2)]  # group 0 spans two chunks, group 1 is empty
    got = _arrays.hvg_seurat_stats(x, 10.0, codes, 3)
    moments = _arrays.mean_var(x, False, codes, 3)
    widened = _arrays.mean_var(x, True, codes, 3)
    for k in range(3):
        rows = x[codes == k]
        assert_same(row_of(got, k), _core.hvg_seurat_stats(rows, log_base=10.0))
        assert_moments(row_of(moments, k), *_core.scale(rows, return_mean_std=True)[1:])
        assert_moments(row_of(widened, k), *_core.scale(rows.astype(np.float64), return_mean_std=True)[1:])
    assert_same(_arrays.hvg_seurat_stats(x, None, None, 0), _core.hvg_seurat_stats(x))
    mask = codes == 0
    for zero_center, max_value in [(True, 1.0), (False, None)]:
        assert_same(_arrays.scale(x, zero_center, max_value, None),
                    _core.scale(x, zero_center=zero_center, max_value=max_value, return_mean_std=True))
        out, mean, std = _arrays.scale(x, zero_center, max_value, mask)
        assert_same((out[mask], mean, std),
                    _core.scale(x[mask], zero_center=zero_center, max_value=max_value, return_mean_std=True))
        assert_same(out[~mask], x[~mask])


# A matrix of several 1,000,000-entry chunks, in a child per thread count: every function against _core,
# and the digests of all results, which must not depend on the thread count. Rows are long (1,500
# columns), so chunk cuts fall inside rows, and a group's cuts elsewhere than the whole matrix's.
LARGE = r"""
import hashlib, json, sys
import numpy as np, scipy.sparse as sp
sys.path.insert(0, __TESTS__)
from test_arrays_native import matrix, shuffled, stored, csr_form, core_hvg, row_of, assert_moments
from conftest import assert_same
from brenix_kernels import _arrays, _core
# float64: sums of float32 values (and of their expm1f) are mostly exact in float64 whatever their order,
# so only float64 values show a chunk cut in the wrong place.
X = matrix(11, 5000, 1500, 0.35, np.float64)  # about 2.6 million entries, 5000 rows
codes = np.random.default_rng(4).integers(-1, 3, X.shape[0])
codes[:2500][codes[:2500] != 2] = 0  # group 0: over 1,000,000 entries and 2048 rows; group 1 only later
digest = hashlib.sha256()
for layout in ("csr", "csc"):
    M = shuffled(X.asformat(layout), 8) if layout == "csc" else X
    args = stored(M, np.int32)
    for got, k, expected in [
        (_arrays.hvg_seurat_stats_sparse(*args, None, False, None, 0), None, core_hvg(csr_form(M), None, False)),
        *[(_arrays.hvg_seurat_stats_sparse(*args, None, False, codes, 3), k, core_hvg(csr_form(M)[codes == k], None, False))
          for k in range(3)],
    ]:
        assert_same(got if k is None else row_of(got, k), expected)
        digest.update(b"".join(p.tobytes() for p in got))
    moments = _arrays.mean_var_sparse(*args, True, codes, 3)
    for k in range(3):
        S = csr_form(M)[codes == k]
        assert_moments(row_of(moments, k), *_core.scale_sparse_data(S.indices.astype(np.int64), S.data, *S.shape, promote=True)[1:])
    dense = _arrays.scale_sparse_to_dense(*args, 2.0, None)
    assert_same(dense, _core.scale(X.toarray(), max_value=2.0, return_mean_std=True))
    out, mean, std = _arrays.scale_sparse_to_dense(*args, None, codes == 0)
    assert_same((out[codes == 0], mean, std), _core.scale(X.toarray()[codes == 0], return_mean_std=True))
    values = _arrays.scale_sparse(*args, None, False, codes == 2)
    for part in (*moments, *dense, *values):
        digest.update(part.tobytes())
print(digest.hexdigest())
"""


@pytest.mark.slow
def test_many_chunks_agree_with_core_on_any_thread_count():
    program = LARGE.replace("__TESTS__", repr(os.path.dirname(__file__)))
    digests = set()
    for threads in ("1", "2", "3"):
        child = run_py(program, env={"RAYON_NUM_THREADS": threads, "RAYON_RS_NUM_CPUS": None}, timeout=600)
        assert child.returncode == 0, child.stderr
        digests.add(child.stdout)
    assert len(digests) == 1


# --- errors -----------------------------------------------------------------------------------------

def small(layout="csr", width=np.int32):
    X = sp.csr_matrix(np.array([[1.0, 0, 2], [0, 0, 3], [4, 5, 0]])).asformat(layout)
    return [layout, X.indptr.astype(np.int64), X.indices.astype(width), X.data.copy(), 3, 3]


ALL_CALLS = [
    lambda a: _arrays.hvg_seurat_stats_sparse(*a, None, False, None, 0),
    lambda a: _arrays.hvg_seurat_stats_sparse(*a, None, False, np.array([0, -1, 1]), 2),
    lambda a: _arrays.mean_var_sparse(*a, False, None, 0),
    lambda a: _arrays.scale_sparse_to_dense(*a, None, None),
    lambda a: _arrays.scale_sparse_to_dense(*a, None, np.array([True, False, True])),
    lambda a: _arrays.scale_sparse(*a, None, False, np.array([False, True, False])),
]


@pytest.mark.parametrize("call", ALL_CALLS)
@pytest.mark.parametrize("width", [np.int32, np.int64])
def test_an_index_out_of_range_fails_at_the_first_bad_entry(call, width):
    a = small("csr", width)
    a[2][[1, 4]] = [7, -2]  # row 0's second entry, then row 2's second
    assert panic(call, a).args[0] == INDEX_MSG.format(3, 7)
    a = small("csc", width)
    a[2][[2, 4]] = [-1, 9]
    assert panic(call, a).args[0] == INDEX_MSG.format(3, 2**64 - 1)
    a = small("csr", width)
    a[2] = a[2][:3]  # indices shorter than data: row 2 has no index for its entries
    assert panic(call, a).args[0] == INDEX_MSG.format(3, 3)


@pytest.mark.parametrize("call", ALL_CALLS)
@pytest.mark.parametrize("layout, position, value, where", [
    ("csr", 1, 0, "row 0, column 0"),  # an unsorted row: [0, 0]
    ("csr", 4, 0, "row 2, column 0"),
    ("csc", 1, 0, "row 0, column 0"),  # an unsorted column: rows [0, 0]
    ("csc", 4, 0, "row 0, column 2"),
])
def test_duplicates_are_refused_and_nothing_is_written(call, layout, position, value, where):
    a = small(layout)
    a[2][position] = value
    before = [x.copy() if isinstance(x, np.ndarray) else x for x in a]
    with pytest.raises(ValueError) as info:
        call(a)
    assert str(info.value) == (f"the matrix has duplicate entries ({where}); call sum_duplicates() on it first: "
                               "SciPy adds the values of duplicates, and expm1 of a sum is not the sum of the expm1s")
    assert all(np.array_equal(x, y) for x, y in zip(a, before) if isinstance(x, np.ndarray))


@pytest.mark.parametrize("change, error", [
    (lambda a: a.__setitem__(0, "coo"), ValueError),
    (lambda a: a.__setitem__(1, a[1][:-1]), ValueError),  # one offset short
    (lambda a: a.__setitem__(1, a[1] + 1), ValueError),  # not from 0
    (lambda a: a.__setitem__(1, a[1][[0, 2, 1, 3]]), ValueError),  # decreasing
    (lambda a: a.__setitem__(3, np.r_[a[3], 1.0]), ValueError),  # data longer than the last offset
    (lambda a: a.__setitem__(1, a[1].astype(np.int32)), TypeError),
    (lambda a: a.__setitem__(2, a[2].astype(np.int16)), TypeError),
    (lambda a: a.__setitem__(3, a[3].astype(np.float16)), TypeError),
    (lambda a: a.__setitem__(3, np.repeat(a[3], 2)[::2]), TypeError),  # not contiguous
])
def test_inconsistent_or_mistyped_arrays_are_refused(change, error):
    a = small()
    change(a)
    with pytest.raises(error):
        _arrays.hvg_seurat_stats_sparse(*a, None, False, None, 0)


@pytest.mark.parametrize("groups, n_groups", [
    (np.array([0, 1]), 2), (np.array([0, 1, 2]), 2), (np.array([0, -2, 1]), 2), (np.array([0, 1, 1], np.int32), 2),
])
def test_bad_groups_are_refused(groups, n_groups):
    with pytest.raises(ValueError):
        _arrays.mean_var_sparse(*small(), False, groups, n_groups)
    with pytest.raises(ValueError):
        _arrays.hvg_seurat_stats(np.ones((3, 2)), None, groups, n_groups)


@pytest.mark.parametrize("mask", [np.array([True, False]), np.array([1, 0, 1])])
def test_bad_masks_are_refused(mask):
    with pytest.raises(ValueError):
        _arrays.scale(np.ones((3, 2)), True, None, mask)
    with pytest.raises(ValueError):
        _arrays.scale_sparse(*small(), None, False, mask)


@pytest.mark.parametrize("layout", ["csr", "csc"])
def test_empty_matrices_and_groups(layout):
    no_rows = _core.hvg_seurat_stats_sparse(np.zeros(0, np.int64), np.zeros(0), 0, 4)
    X = sp.csr_matrix((0, 4)).asformat(layout)
    assert_same(_arrays.hvg_seurat_stats_sparse(*stored(X, np.int32), None, False, None, 0), no_rows)
    assert [a.shape for a in _arrays.mean_var_sparse(*stored(X, np.int32), False, np.zeros(0, np.int64), 0)] == [(0, 4)] * 2
    Y = sp.csr_matrix((3, 4)).asformat(layout)  # rows without entries, every one left out
    got = _arrays.hvg_seurat_stats_sparse(*stored(Y, np.int64), None, False, np.array([-1, -1, -1]), 2)
    assert_same(row_of(got, 1), no_rows)
    assert_same(_arrays.scale_sparse_to_dense(*stored(Y, np.int32), None, None),
                _core.scale(Y.toarray(), return_mean_std=True))


def test_no_columns_fail_as_the_dense_kernels_do():
    message = "chunk_size must not be zero"
    assert panic(_arrays.scale_sparse_to_dense, *stored(sp.csr_matrix((3, 0)), np.int32), None, None).args[0] == message
    assert panic(_arrays.hvg_seurat_stats, np.ones((3, 0)), None, np.array([0, 0, 1]), 2).args[0] == message
    assert panic(_arrays.scale, np.ones((3, 0)), True, None, np.array([True, False, True])).args[0] == message
