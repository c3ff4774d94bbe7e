"""Plain NumPy model of the four kernels, used as the oracle in the tests.

Every result of the native module depends on the exact order of its
floating-point operations, so this model repeats that order instead of
using NumPy's reductions (``np.sum`` adds pairwise):

* dense sums run row by row inside 2048-row chunks, sparse sums entry by
  entry inside 1,000,000-entry chunks, each chunk starting from +0.0, and
  the chunk results are added in chunk order: ((0 + p0) + p1) + ...;
* float32 squares are rounded in float32 before widening unless the caller
  asks for float64 squares;
* ``expm1``, ``expm1f``, ``log`` and ``log1p`` come from the C maths library,
  because NumPy's own versions may round differently in the last bit.

Nothing here imports the module under test.
"""

import ctypes
import ctypes.util

import numpy as np

MOMENT_CHUNK_ROWS = 2048
SPARSE_CHUNK_ENTRIES = 1_000_000
TINY_MEAN = 1e-12
QUIET_NAN = np.array([0x7FF8000000000000], dtype=np.uint64).view(np.float64)[0]

_libm = ctypes.CDLL(ctypes.util.find_library("m"))
for _name, _t in [("expm1", ctypes.c_double), ("log", ctypes.c_double),
                  ("log1p", ctypes.c_double), ("expm1f", ctypes.c_float)]:
    getattr(_libm, _name).restype = _t
    getattr(_libm, _name).argtypes = [_t]


def _libm_map(name, a, dtype):
    """Apply a libm function elementwise, calling it once per distinct bit pattern."""
    a = np.ascontiguousarray(a, dtype=dtype)
    bits = np.uint64 if dtype == np.float64 else np.uint32
    uniq, inverse = np.unique(a.view(bits), return_inverse=True)
    fn = getattr(_libm, name)
    mapped = np.array([fn(v) for v in uniq.view(dtype).tolist()], dtype=dtype)
    return mapped[inverse].reshape(a.shape)


def expm1(a):
    return _libm_map("expm1", a, np.float64)


def expm1f(a):
    return _libm_map("expm1f", a, np.float32)


def c_log(a):
    return _libm_map("log", a, np.float64)


def c_log1p(a):
    return _libm_map("log1p", a, np.float64)


def _sequential_rows(block):
    """Column sums of a 2-D block, added row after row from +0.0."""
    start = np.zeros((1, block.shape[1]))
    return np.add.accumulate(np.vstack([start, block]), axis=0)[-1]


def dense_sums(terms):
    """Per-column total of a (n_rows, n_cols) float64 array of summands."""
    total = np.zeros(terms.shape[1])
    for first in range(0, terms.shape[0], MOMENT_CHUNK_ROWS):
        total = total + _sequential_rows(terms[first:first + MOMENT_CHUNK_ROWS])
    return total


def sparse_sums(terms, indices, n_cols):
    """Per-column total of stored summands, in storage order within each chunk."""
    total = np.zeros(n_cols)
    cols = np.asarray(indices)[:len(terms)]
    for first in range(0, len(terms), SPARSE_CHUNK_ENTRIES):
        part = np.zeros(n_cols)
        # ufunc.at visits the index list in order, so repeated columns are
        # accumulated sequentially (checked in test_hvg).
        np.add.at(part, cols[first:first + SPARSE_CHUNK_ENTRIES],
                  terms[first:first + SPARSE_CHUNK_ENTRIES])
        total = total + part
    return total


def column_mean_var(s, sq, n):
    nf = float(n)
    with np.errstate(all="ignore"):
        mean = s / nf
        d = sq / nf - mean * mean
        if n == 1:
            return mean, d
        factor = nf / (nf - 1.0)
        return mean, d * factor


def column_mean_std(s, sq, n):
    mean, var = column_mean_var(s, sq, n)
    with np.errstate(all="ignore"):
        std = np.where(var == 0.0, 1.0, np.sqrt(var))
    return mean, std


def finish_hvg(mean, var):
    m = np.where(mean == 0.0, TINY_MEAN, mean)
    with np.errstate(all="ignore"):
        d = var / m
    dispersions = np.where(d == 0.0, QUIET_NAN, c_log(d))
    return c_log1p(m), dispersions


def _log_scale(log_base):
    return None if log_base is None else float(c_log(np.array([float(log_base)]))[0])


def _dense_input(x):
    x = np.asarray(x)
    if x.dtype not in (np.float64, np.float32):
        x = x.astype(np.float64)
    return np.ascontiguousarray(x)


def _expm1_terms(values, c, square_f64=False):
    """Back-transformed values and their squares, both as float64 summands."""
    with np.errstate(all="ignore"):
        if values.dtype == np.float64:
            e = expm1(values if c is None else values * c)
            return e, e * e
        v = values if c is None else (c * values.astype(np.float64)).astype(np.float32)
        e32 = expm1f(v)
        e = e32.astype(np.float64)
        return e, (e * e if square_f64 else (e32 * e32).astype(np.float64))


def _plain_terms(values, square_f64):
    x = values.astype(np.float64)
    with np.errstate(all="ignore"):
        if values.dtype == np.float32 and not square_f64:
            return x, (values * values).astype(np.float64)
        return x, x * x


def hvg_seurat_stats(x, log_base=None):
    x = _dense_input(x)
    e, q = _expm1_terms(x, _log_scale(log_base))
    mean, var = column_mean_var(dense_sums(e), dense_sums(q), x.shape[0])
    return finish_hvg(mean, var)


def hvg_seurat_stats_sparse(indices, data, n_rows, n_cols, log_base=None, square_f64=False):
    e, q = _expm1_terms(np.asarray(data), _log_scale(log_base), square_f64)
    mean, var = column_mean_var(sparse_sums(e, indices, n_cols),
                                sparse_sums(q, indices, n_cols), n_rows)
    return finish_hvg(mean, var)


def scale(x, zero_center=True, max_value=None, return_mean_std=False):
    x = _dense_input(x)
    s, q = _plain_terms(x, square_f64=False)
    mean, std = column_mean_std(dense_sums(s), dense_sums(q), x.shape[0])
    with np.errstate(all="ignore"):
        v = x.astype(np.float64)
        if zero_center:
            v = v - mean
        v = v / std
        out = v.astype(x.dtype)
        if max_value is not None:
            m = float(max_value)
            wide = out.astype(np.float64)
            low = (wide < -m) if zero_center else np.zeros(wide.shape, bool)
            out = np.where(wide > m, x.dtype.type(m), np.where(low, x.dtype.type(-m), out))
    return (out, mean, std) if return_mean_std else out


def scale_sparse_data(indices, data, n_rows, n_cols, max_value=None, promote=False):
    data = np.asarray(data)
    s, q = _plain_terms(data, square_f64=promote)
    mean, std = column_mean_std(sparse_sums(s, indices, n_cols),
                                sparse_sums(q, indices, n_cols), n_rows)
    cols = np.asarray(indices)[:len(data)]
    with np.errstate(all="ignore"):
        v = data.astype(np.float64) / std[cols]
    if max_value is not None:
        v = np.where(v > float(max_value), float(max_value), v)
    out_type = np.float32 if data.dtype == np.float32 and not promote else np.float64
    with np.errstate(over="ignore"):
        return v.astype(out_type), mean, std
