"""The public functions (brenix_kernels.hvg_seurat_stats, mean_var, scale) against _core on the
equivalent input: the same bits for dense arrays, CSR with either index width, CSC, groups, masks and
sparse-to-dense scaling, empty matrices and groups; inputs left unchanged; the errors (first bad entry and
duplicates on every path). test_pool runs the same cases on several thread counts."""

import numpy as np
import pytest
import scipy.sparse as sp

import brenix_kernels as bk
from brenix_kernels import _arrays, _blocks, _core, _public
from conftest import INDEX_MSG, assert_same

# The adversarial inputs hold infinities, whose means are infinite: the warning for raw counts
# (test_refusals) would be noise here.
pytestmark = pytest.mark.filterwarnings(r"ignore:hvg_seurat_stats\(\). a gene's mean is inf:UserWarning")

TINY = {np.float64: 5e-324, np.float32: np.float32(1e-45)}  # the smallest subnormals


def adversarial(values, rng, tiny):
    """Puts NaN, infinities, signed zeros and subnormals into a few columns of `values` (rows of
    (row, column, value) are spread over the whole matrix)."""
    n = len(values)
    for col, special in [(5, np.nan), (6, np.inf), (7, -np.inf)]:
        values[rng.integers(0, n), col] = special
    values[rng.integers(0, n, 300), 8] = tiny
    values[rng.integers(0, n, 300), 8] = -0.0
    values[rng.integers(0, n, 30), 9] = -tiny
    values[:, 10] = -0.0
    return values


def group_codes(n, rng):
    # Group 0 holds most rows, so that it alone spans more than one 2048-row or 1,000,000-entry
    # chunk; group 3 is empty; -1 leaves rows out.
    return rng.choice([0, 1, 2, 4, -1], n, p=[0.88, 0.04, 0.03, 0.03, 0.02])


def make_dense(dtype):
    rng = np.random.default_rng(1)
    x = np.log1p(rng.poisson(0.7, (4500, 12))).astype(dtype)  # three 2048-row chunks
    x[:, 3] = 0  # an empty column
    x[100:140] = 0  # empty rows
    return adversarial(x, rng, TINY[dtype])


def make_csr(dtype, index_dtype, cls=sp.csr_array):
    """30,000 x 80 with 1.2 million stored entries (two chunks), empty rows and an empty column,
    stored zeros of both signs, and every seventh row stored in reverse (unsorted) order."""
    rng = np.random.default_rng(2)
    stored = rng.random((30_000, 80)) < 0.5
    stored[:, 3] = False
    stored[200:260] = False
    rows, cols = np.nonzero(stored)
    data = np.log1p(rng.poisson(2.0, rows.size) + 0.5).astype(dtype)
    data[rng.integers(0, data.size, 500)] = rng.choice([0.0, -0.0], 500)
    data[cols == 11] = rng.choice([0.0, -0.0], np.count_nonzero(cols == 11))  # mean exactly 0
    specials = adversarial(np.ones((1, 12), dtype), rng, TINY[dtype])[0, 5:10]
    for col, value in zip(range(5, 10), specials):
        where = np.flatnonzero(cols == col)
        data[where[rng.integers(0, where.size, 40)]] = value
    indptr = np.zeros(30_001, np.int64)
    np.cumsum(np.bincount(rows, minlength=30_000), out=indptr[1:])
    for r in range(0, 30_000, 7):
        a, b = indptr[r], indptr[r + 1]
        cols[a:b], data[a:b] = cols[a:b][::-1].copy(), data[a:b][::-1].copy()
    X = cls((data, cols.astype(index_dtype), indptr.astype(index_dtype)), shape=stored.shape)
    X.indices = cols.astype(index_dtype)  # keep the width asked for
    return X


def make_csc(X):
    """The CSC form of X with the rows of every column in a shuffled storage order."""
    C = sp.csc_array(X)
    rng = np.random.default_rng(3)
    for c in range(C.shape[1]):
        a, b = C.indptr[c], C.indptr[c + 1]
        order = rng.permutation(b - a) + a
        C.indices[a:b], C.data[a:b] = C.indices[order], C.data[order]
    C.indices = C.indices.astype(X.indices.dtype)
    C.has_sorted_indices = False
    return C


def csr_entries(X):
    """The CSR entries _core reads: int64 indices (for CSC: those of X.tocsr(), sorted)."""
    if X.format == "csc":
        X = X.tocsr()
        X.sort_indices()
    return np.asarray(X.indices, np.int64), X.data, X.shape[0], X.shape[1]


def core_mean_std(X, square_f64=False):
    if isinstance(X, np.ndarray):
        return _core.scale(X.astype(np.float64) if square_f64 else X, return_mean_std=True)[1:]
    return _core.scale_sparse_data(*csr_entries(X), promote=square_f64)[1:]


def grouped(fn, X, codes):
    """fn on each group's rows, stacked: what the grouped call must give."""
    parts = [fn(X[codes == k]) for k in range(codes.max() + 1)]
    return tuple(np.stack([p[i] for p in parts]) for i in range(2))


def as_std(mean_var_result):
    """(means, variances) as scale reports them: std, with 1.0 for a variance of exactly zero."""
    means, variances = mean_var_result
    return means, np.where(variances == 0, 1.0, np.sqrt(variances))


def scale_rows(X, mask, **kw):
    """_core.scale's result on the masked rows, the other rows X's values in the result's dtype."""
    dense = X.toarray() if sp.issparse(X) else X
    part, mean, std = _core.scale(dense[mask], return_mean_std=True, **kw)
    out = dense.astype(part.dtype)
    out[mask] = part
    return out, mean, std


def in_csr_order(result):
    if result.format == "csc":
        result = result.tocsr()
        result.sort_indices()
    return result.data


def cases():
    """(name, the public call, what _core gives for it), on a few shared inputs."""
    out = []
    dense = {d: make_dense(d) for d in (np.float64, np.float32)}
    csr = {(d, i): make_csr(d, i) for d in (np.float64, np.float32) for i in (np.int32, np.int64)}
    csr32 = csr[np.float32, np.int32]
    csc = {np.float64: make_csc(csr[np.float64, np.int32]), np.float32: make_csc(csr[np.float32, np.int64])}
    codes = group_codes(4500, np.random.default_rng(4))
    sparse_codes = group_codes(30_000, np.random.default_rng(5))
    mask = np.random.default_rng(6).random(30_000) < 0.7

    for d, x in dense.items():
        n = np.dtype(d).name
        out += [
            (f"hvg dense {n}", lambda x=x: bk.hvg_seurat_stats(x), lambda x=x: _core.hvg_seurat_stats(x)),
            (f"hvg dense {n} fortran log2", lambda x=x: bk.hvg_seurat_stats(np.asfortranarray(x), log_base=2),
             lambda x=x: _core.hvg_seurat_stats(x, log_base=2)),
            (f"hvg dense {n} groups", lambda x=x: bk.hvg_seurat_stats(x, groups=codes),
             lambda x=x: grouped(_core.hvg_seurat_stats, x, codes)),
            (f"mean_var dense {n}", lambda x=x: as_std(bk.mean_var(x)), lambda x=x: core_mean_std(x)),
            (f"mean_var dense {n} square_f64 groups",
             lambda x=x: as_std(bk.mean_var(x, square_f64=True, groups=codes)),
             lambda x=x: grouped(lambda s: core_mean_std(s, True), x, codes)),
            (f"scale dense {n}", lambda x=x: bk.scale(x[::-1], max_value=1.5, return_mean_std=True),
             lambda x=x: _core.scale(x[::-1], max_value=1.5, return_mean_std=True)),
            (f"scale dense {n} uncentred promote",
             lambda x=x: bk.scale(x, zero_center=False, promote=True, return_mean_std=True),
             lambda x=x: _core.scale(x.astype(np.float64), zero_center=False, return_mean_std=True)),
            (f"scale dense {n} mask", lambda x=x: bk.scale(x, mask=codes == 0, max_value=2, return_mean_std=True),
             lambda x=x: scale_rows(x, codes == 0, max_value=2)),
        ]
    counts = np.arange(60).reshape(12, 5) % 7  # integers: converted to float64, as _core does
    out += [("hvg dense int", lambda: bk.hvg_seurat_stats(counts), lambda: _core.hvg_seurat_stats(counts)),
            ("mean_var csr int", lambda: as_std(bk.mean_var(sp.csr_array(counts))),
             lambda: core_mean_std(sp.csr_array(counts).astype(np.float64)))]

    for (d, i), X in csr.items():
        n = f"{np.dtype(d).name} {np.dtype(i).name}"
        out += [
            (f"hvg csr {n}", lambda X=X: bk.hvg_seurat_stats(X, log_base=10),
             lambda X=X: _core.hvg_seurat_stats_sparse(*csr_entries(X), log_base=10)),
            (f"mean_var csr {n}", lambda X=X: as_std(bk.mean_var(X)), lambda X=X: core_mean_std(X)),
        ]
    for d in (np.float64, np.float32):
        n = np.dtype(d).name
        X, C = csr[d, np.int32 if d == np.float64 else np.int64], csc[d]
        out += [
            (f"hvg csc {n} square_f64", lambda C=C: bk.hvg_seurat_stats(C, square_f64=True),
             lambda C=C: _core.hvg_seurat_stats_sparse(*csr_entries(C), square_f64=True)),
            (f"mean_var csc {n}", lambda C=C: as_std(bk.mean_var(C)), lambda C=C: core_mean_std(C)),
            (f"mean_var csr {n} groups", lambda X=X: as_std(bk.mean_var(X, groups=sparse_codes)),
             lambda X=X: grouped(core_mean_std, X, sparse_codes)),
            (f"hvg csr {n} groups", lambda X=X: bk.hvg_seurat_stats(X, groups=sparse_codes),
             lambda X=X: grouped(lambda s: _core.hvg_seurat_stats_sparse(*csr_entries(s)), X, sparse_codes)),
            (f"hvg csc {n} groups log base 0.5", lambda C=C: bk.hvg_seurat_stats(C, log_base=0.5, groups=sparse_codes),
             lambda C=C: grouped(lambda s: _core.hvg_seurat_stats_sparse(*csr_entries(s), log_base=0.5), C,
                                 sparse_codes)),
            (f"mean_var csc {n} square_f64 groups",
             lambda C=C: as_std(bk.mean_var(C, square_f64=True, groups=sparse_codes)),
             lambda C=C: grouped(lambda s: core_mean_std(s, True), C, sparse_codes)),
        ]
        for name, M, clip in [("csr", X, 3), ("csc", C, 0.5)]:
            out += [
                (f"scale {name} {n} to dense", lambda M=M, c=clip: bk.scale(M, max_value=c, return_mean_std=True),
                 lambda M=M, c=clip: _core.scale(M.toarray(), max_value=c, return_mean_std=True)),
                (f"scale {name} {n} to dense mask", lambda M=M: bk.scale(M, mask=mask, return_mean_std=True),
                 lambda M=M: scale_rows(M, mask)),
                (f"scale {name} {n} uncentred", lambda M=M: (in_csr_order(bk.scale(M, zero_center=False, max_value=2)),),
                 lambda M=M: _core.scale_sparse_data(*csr_entries(M), max_value=2)[:1]),
                (f"scale {name} {n} uncentred promote mask",
                 lambda M=M: masked_values(bk.scale(M, zero_center=False, promote=True, mask=mask,
                                                    return_mean_std=True), mask),
                 lambda M=M: masked_expected(M, mask)),
            ]
    out.append(("scale csr float32 to dense promote", lambda: bk.scale(csr32, promote=True, return_mean_std=True),
                lambda: _core.scale(csr32.toarray().astype(np.float64), return_mean_std=True)))
    hvg_of = lambda s: _core.hvg_seurat_stats_sparse(*csr_entries(s))  # noqa: E731
    for layout in ("csr", "csc"):
        Z, left_out = sp.csr_array((3, 4)).asformat(layout), np.array([-1, 1, -1])
        out += [(f"hvg {layout} no entries, group 0 empty", lambda Z=Z: bk.hvg_seurat_stats(Z, groups=left_out),
                 lambda Z=Z: grouped(hvg_of, Z, left_out)),
                (f"scale {layout} no entries", lambda Z=Z: bk.scale(Z, return_mean_std=True),
                 lambda Z=Z: _core.scale(Z.toarray(), return_mean_std=True))]
    return out


def masked_values(result, mask):
    scaled, mean, std = result
    return in_csr_order(sp.csr_array(scaled)[mask]), in_csr_order(sp.csr_array(scaled)[~mask]), mean, std


def masked_expected(M, mask):
    values, mean, std = _core.scale_sparse_data(*csr_entries(sp.csr_array(M)[mask]), promote=True)
    return values, in_csr_order(sp.csr_array(M)[~mask]).astype(values.dtype), mean, std


@pytest.fixture(scope="module")
def computed():
    return [(name, public(), expected()) for name, public, expected in cases()]


def test_public_gives_the_bits_of_core(computed):
    for name, got, expected in computed:
        try:
            assert_same(got, expected)
        except AssertionError as error:
            raise AssertionError(f"{name}: {error}") from None


def test_inputs_are_left_unchanged():
    for X in (make_csr(np.float32, np.int32, sp.csr_matrix), make_csc(make_csr(np.float64, np.int64))):
        before = X.copy()
        bk.hvg_seurat_stats(X)
        scaled = bk.scale(X, zero_center=False)
        assert type(scaled) is type(X) and scaled.indices.dtype == X.indices.dtype
        assert not np.shares_memory(scaled.indices, X.indices)  # SciPy edits structure in place
        assert np.array_equal(scaled.indptr, X.indptr) and np.array_equal(scaled.indices, X.indices)
        for a, b in [(X.data, before.data), (X.indices, before.indices), (X.indptr, before.indptr)]:
            assert a.dtype == b.dtype and np.array_equal(a.view(f"u{a.itemsize}"), b.view(f"u{b.itemsize}"))


@pytest.mark.parametrize("memory, sparse_limit, top, refused", [
    (10**12, 10**4, 9, None),  # a group per row: taken whatever it costs below the memory
    (10**12, 10**4, 10, "more groups than X has rows"),  # one group more than rows, over the limit
    (10**12, 10**7, 1000, None),  # far beyond the rows, but small
    (10**4, 10**6, 9, "this machine's 10000 bytes"),
])
def test_group_codes_held_to_the_memory_they_imply(monkeypatch, memory, sparse_limit, top, refused):
    from brenix_kernels import _inputs

    monkeypatch.setattr(_inputs, "_physical_memory", lambda: memory)
    monkeypatch.setattr(_inputs, "SPARSE_GROUPS_BYTES", sparse_limit)
    codes = np.r_[np.arange(9) % 3, top]
    x = np.ones((10, 50), np.float32)
    if refused is None:
        assert bk.mean_var(x, groups=codes)[0].shape == (top + 1, 50)
        return
    for X in (x, sp.csr_matrix(x), pytest.importorskip("dask.array").from_array(x, chunks=3)):
        with pytest.raises(MemoryError, match=rf"groups\[9\] is {top}: .*bytes\) cannot be allocated: .*{refused}"):
            bk.hvg_seurat_stats(X, groups=codes)


@pytest.mark.parametrize("fn", [_arrays.mean_var, _arrays.hvg_seurat_stats])
def test_private_calls_refuse_absurd_numbers_of_groups(fn):
    with pytest.raises(MemoryError, match="n_groups is 4611686018427387904: the per-group offsets alone"):
        fn(np.ones((4, 3)), *([False] if fn is _arrays.mean_var else [None]), np.zeros(4, np.int64), 2**62)


MASK_CALLS = {
    "dense": lambda X, m: bk.scale(X, mask=m),
    "csr-centred": lambda X, m: bk.scale(sp.csr_array(X), mask=m, return_mean_std=True),
    "csr-uncentred": lambda X, m: bk.scale(sp.csr_array(X), zero_center=False, mask=m).toarray(),
    "dask": lambda X, m: bk.scale(pytest.importorskip("dask.array").from_array(X, chunks=2), mask=m).compute(),
    "private-blocks": lambda X, m: _blocks.scale_dense(X, np.zeros(3), np.ones(3), zero_center=True, max_value=None,
                                                        mask=m),
    "private-arrays": lambda X, m: _arrays.scale(X, True, None, m),
}


@pytest.mark.parametrize("name", MASK_CALLS)
def test_mask_bytes_other_than_0_and_1_are_true(name):
    # NumPy lets a bool hold any byte (a uint8 array viewed as bool): the native code must not read one as a C++
    # bool, which is undefined beyond 0 and 1 (the sanitizer build checks it).
    flags = np.array([1, 0, 2, 255, 0], np.uint8)
    X = np.arange(15.0).reshape(5, 3)
    got, expected = (MASK_CALLS[name](X, m) for m in (flags.view(bool), flags != 0))
    assert_same(got, expected)


def test_pandas_categorical_groups_by_codes():
    pd = pytest.importorskip("pandas")
    x = make_dense(np.float64)[:300]
    labels = np.array(["b", "a", None, "c"], dtype=object)[np.arange(300) % 4]
    cat = pd.Categorical(labels, categories=["a", "b", "c", "unused"])
    codes = np.array([1, 0, -1, 2])[np.arange(300) % 4]  # None has no category: -1
    # Three groups, by the largest code: the unused category at the end has no rows to count.
    assert_same(bk.hvg_seurat_stats(x, groups=cat), grouped(_core.hvg_seurat_stats, x, codes))
    assert_same(as_std(bk.mean_var(x, groups=pd.Series(cat))), grouped(core_mean_std, x, codes))


X4 = np.arange(12.0).reshape(4, 3)


def with_arrays(X, **dtypes):
    """X in CSR with some of its arrays converted (SciPy refuses such a matrix, so set afterwards)."""
    m = sp.csr_matrix(X)
    for name, dtype in dtypes.items():
        setattr(m, name, getattr(m, name).astype(dtype))
    return m


@pytest.mark.parametrize("call, error, message", [
    (lambda: bk.hvg_seurat_stats(X4, groups=[0, 1, 0]), ValueError, "groups has 3 codes but X has 4 rows"),
    (lambda: bk.mean_var(X4, groups=np.zeros((4, 1), int)), ValueError, "groups must be 1-D"),
    (lambda: bk.mean_var(X4, groups=np.zeros(4)), TypeError, "groups must be integer codes"),
    (lambda: bk.mean_var(X4, groups=np.ones(4, bool)), TypeError, "got dtype bool"),
    (lambda: bk.hvg_seurat_stats(sp.csr_array(X4), groups=[0, -1, -2, 1]), ValueError, r"groups\[2\] is -2"),
    (lambda: bk.mean_var(sp.csr_array(X4), groups=[0, 2**62, 0, 1]), MemoryError, "cannot be allocated"),
    # 2**28 groups of four genes: tens of GiB, refused before a byte of it is asked for.
    (lambda: bk.mean_var(np.ones((10, 4), np.float32), groups=[0] * 9 + [2**28]), MemoryError,
     r"groups\[9\] is 268435456: .* 268435457 groups x 4 genes \(\d+ bytes\) cannot be allocated"),
    (lambda: bk.scale(X4.astype(complex)), TypeError, r"not complex128; take X.real explicitly"),
    (lambda: bk.mean_var(X4.astype(object)), TypeError, "must be real numbers .* not object"),
    (lambda: bk.mean_var(X4.astype(str)), TypeError, "must be real numbers .* not <U32"),
    (lambda: bk.mean_var(with_arrays(X4, indices=float)), TypeError, "the indices of X must be integers, not float64"),
    (lambda: bk.scale(with_arrays(X4, indptr=float)), TypeError, "the indptr of X must be integers, not float64"),
    (lambda: bk.scale(with_arrays(X4, data=complex), zero_center=False), TypeError, "take X.real explicitly"),
    (lambda: bk.hvg_seurat_stats(with_arrays(X4, data=object)), TypeError, "not object"),
    (lambda: bk.scale(X4, mask=[True, False]), ValueError, r"one value per row of X \(4\)"),
    (lambda: bk.scale(sp.csc_array(X4), mask=[0, 1, 1, 0]), TypeError, "mask must be booleans"),
    (lambda: bk.hvg_seurat_stats(X4.astype(np.float32), square_f64=True), ValueError, "square_f64 applies"),
    (lambda: bk.scale([[1.0, 2.0]]), TypeError, "takes a 2-D NumPy array, a SciPy csr_matrix.*not builtins.list"),
    (lambda: bk.mean_var(sp.coo_array(X4)), TypeError, r"coo format\); convert it with X.tocsr\(\)"),
    (lambda: bk.mean_var(np.zeros(3)), ValueError, "takes a 2-D matrix"),
])
def test_bad_arguments_are_refused_before_any_work(monkeypatch, call, error, message):
    monkeypatch.setattr(_public, "_arrays", None)  # any native call would fail differently
    with pytest.raises(error, match=message):
        call()


# Every native path a CSR or CSC matrix takes: ungrouped and grouped sums, centred (dense result)
# and uncentred scaling, with and without a mask.
def halves(X):
    return np.arange(X.shape[0]) % 2  # rows in two groups, or masked (0) and not (1)


SPARSE_CALLS = [bk.hvg_seurat_stats, lambda X: bk.hvg_seurat_stats(X, groups=halves(X)), bk.mean_var,
                lambda X: bk.mean_var(X, groups=halves(X)), bk.scale, lambda X: bk.scale(X, mask=halves(X) == 0),
                lambda X: bk.scale(X, zero_center=False), lambda X: bk.scale(X, zero_center=False, mask=halves(X) == 1)]


@pytest.mark.parametrize("fmt", ["csr", "csc", "dask"])
@pytest.mark.parametrize("call", SPARSE_CALLS)
def test_duplicates_are_refused(fmt, call):
    cls = sp.csc_array if fmt == "csc" else sp.csr_matrix
    X = cls((np.ones(4), np.array([0, 2, 2, 1]), np.array([0, 1, 3, 4])), shape=(3, 3))  # 2 twice
    where = "row 2, column 1" if fmt == "csc" else "row 1, column 2"
    with pytest.raises(ValueError, match=rf"duplicate entries \({where}\); call sum_duplicates\(\)") as memory:
        call(X)
    assert X.indices.tolist() == [0, 2, 2, 1] and X.data.tolist() == [1.0] * 4  # nothing written
    if fmt == "dask":  # the same error, its row (1) counted in the whole matrix
        da = pytest.importorskip("dask.array")
        with pytest.raises(ValueError) as info:
            da.compute(call(da.from_array(X, chunks=(1, 3), asarray=False)))
        assert info.value.args == memory.value.args


@pytest.mark.parametrize("width", [np.int32, np.int64])
@pytest.mark.parametrize("fmt, positions, columns, bad", [
    ("csr", [1, 4], [7, -2], 7), ("csc", [2, 4], [-1, 9], 2**64 - 1), ("csr", None, None, 3), ("csc", None, None, 3),
    ("large", [700_000, 1_100_000, 1_150_000], [95, 120, -1], 95)])  # the second and third in the second chunk
def test_first_bad_entry_on_every_path(width, fmt, positions, columns, bad):
    if fmt == "large":
        X, n = make_csr(np.float64, width), 80
    else:
        X, n = sp.csr_matrix(np.array([[1.0, 0, 2], [0, 0, 3], [4, 5, 0]])).asformat(fmt, copy=True), 3
        X.indices = X.indices.astype(width)
    if positions is None:
        X.indices = X.indices[:3]  # the last slice's entries have no index: the first missing one is reported
    else:
        X.indices[positions] = columns
    for call in SPARSE_CALLS:
        with pytest.raises(bk.InvalidEntriesError) as info:
            call(X)
        assert info.value.args == (INDEX_MSG.format(n, bad),)
