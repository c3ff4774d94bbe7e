"""Plain NumPy model of the four kernels, the oracle of the exactness tests; it never imports the module.

It repeats the documented order of floating-point operations (``np.sum`` is pairwise, so it is not used):
dense sums run row by row in 2048-row chunks, sparse sums entry by entry in 1,000,000-entry chunks, each
chunk from +0.0, chunk totals added in order; float32 squares are rounded in float32 unless float64
squares are asked for; expm1, expm1f, log and log1p come from the C maths library, as in the module.
"""

import ctypes
import ctypes.util

import numpy as np

MOMENT_CHUNK_ROWS = 2048
SPARSE_CHUNK_ENTRIES = 1_000_000
TINY_MEAN = 1e-12
QUIET_NAN = np.uint64(0x7FF8000000000000).view(np.float64)

_libm = ctypes.CDLL(ctypes.util.find_library("m"))
for _name, _t in [("expm1", ctypes.c_double), ("log", ctypes.c_double),
                  ("log1p", ctypes.c_double), ("expm1f", ctypes.c_float)]:
    getattr(_libm, _name).restype = _t
    getattr(_libm, _name).argtypes = [_t]


def libm(name, a, dtype=np.float64):
    """A C maths function elementwise, called once per distinct bit pattern."""
    a = np.ascontiguousarray(a, dtype=dtype)
    uniq, inverse = np.unique(a.view(f"u{a.itemsize}"), return_inverse=True)
    mapped = np.array([getattr(_libm, name)(v) for v in uniq.view(dtype).tolist()], dtype=dtype)
    return mapped[inverse].reshape(a.shape)


def dense_sums(terms):
    """Per-column totals of a (n_rows, n_cols) float64 array of summands."""
    total = np.zeros(terms.shape[1])
    for first in range(0, terms.shape[0], MOMENT_CHUNK_ROWS):
        chunk = terms[first:first + MOMENT_CHUNK_ROWS]
        total = total + np.add.accumulate(np.vstack([np.zeros((1, terms.shape[1])), chunk]))[-1]
    return total


def sparse_sums(terms, indices, n_cols):
    """Per-column totals of stored summands, in storage order within each chunk (np.add.at keeps it)."""
    total, cols = np.zeros(n_cols), np.asarray(indices)[:len(terms)]
    for first in range(0, len(terms), SPARSE_CHUNK_ENTRIES):
        part = np.zeros(n_cols)
        np.add.at(part, cols[first:first + SPARSE_CHUNK_ENTRIES], terms[first:first + SPARSE_CHUNK_ENTRIES])
        total = total + part
    return total


def column_mean_var(s, sq, n):
    nf = float(n)
    mean = s / nf
    d = sq / nf - mean * mean
    if n == 1:
        return mean, d
    factor = nf / (nf - 1.0)
    return mean, d * factor


def column_mean_std(s, sq, n):
    mean, var = column_mean_var(s, sq, n)
    return mean, np.where(var == 0.0, 1.0, np.sqrt(var))


def finish_hvg(mean, var):
    m = np.where(mean == 0.0, TINY_MEAN, mean)
    d = var / m
    return libm("log1p", m), np.where(d == 0.0, QUIET_NAN, libm("log", d))


def _expm1_terms(values, log_base, square_f64=False):
    """Back-transformed values and their squares, as float64 summands."""
    c = None if log_base is None else libm("log", [float(log_base)])[0]
    if values.dtype == np.float64:
        e = libm("expm1", values if c is None else values * c)
        return e, e * e
    v = values if c is None else (c * values.astype(np.float64)).astype(np.float32)
    e32 = libm("expm1f", v, np.float32)
    e = e32.astype(np.float64)
    return e, (e * e if square_f64 else (e32 * e32).astype(np.float64))


def _plain_terms(values, square_f64):
    x = values.astype(np.float64)
    if values.dtype == np.float32 and not square_f64:
        return x, (values * values).astype(np.float64)
    return x, x * x


# NaN and infinities propagate by IEEE rules, without warnings.
@np.errstate(all="ignore")
def hvg_seurat_stats(x, log_base=None):
    x = np.ascontiguousarray(x if x.dtype in (np.float64, np.float32) else x.astype(np.float64))
    e, q = _expm1_terms(x, log_base)
    return finish_hvg(*column_mean_var(dense_sums(e), dense_sums(q), x.shape[0]))


@np.errstate(all="ignore")
def hvg_seurat_stats_sparse(indices, data, n_rows, n_cols, log_base=None, square_f64=False):
    e, q = _expm1_terms(data, log_base, square_f64)
    return finish_hvg(*column_mean_var(sparse_sums(e, indices, n_cols), sparse_sums(q, indices, n_cols), n_rows))


@np.errstate(all="ignore")
def scale(x, zero_center=True, max_value=None, return_mean_std=False):
    x = np.ascontiguousarray(x if x.dtype in (np.float64, np.float32) else x.astype(np.float64))
    mean, std = column_mean_std(*map(dense_sums, _plain_terms(x, square_f64=False)), x.shape[0])
    v = x.astype(np.float64)
    if zero_center:
        v = v - mean
    out = (v / std).astype(x.dtype)
    if max_value is not None:
        m, wide = float(max_value), out.astype(np.float64)
        low = (wide < -m) if zero_center else np.zeros(wide.shape, bool)
        out = np.where(wide > m, x.dtype.type(m), np.where(low, x.dtype.type(-m), out))
    return (out, mean, std) if return_mean_std else out


@np.errstate(all="ignore")
def scale_sparse_data(indices, data, n_rows, n_cols, max_value=None, promote=False):
    mean, std = column_mean_std(*[sparse_sums(t, indices, n_cols) for t in _plain_terms(data, promote)], n_rows)
    v = data.astype(np.float64) / std[np.asarray(indices)[:len(data)]]
    if max_value is not None:
        v = np.where(v > float(max_value), float(max_value), v)
    return v.astype(np.float32 if data.dtype == np.float32 and not promote else np.float64), mean, std


@np.errstate(all="ignore")
def deviation_terms(values, mean, sd=None, clip=None):
    """(1, d * d) per value, d = x - mean or min((x - mean) / sd, clip) (NaN for x not >= 0), broadcast."""
    d = values.astype(np.float64) - mean
    if sd is not None:
        d = d / sd
        d = np.where(d > clip, clip, d)
    d = np.where(values >= 0, d, np.nan)
    return np.ones_like(d), d * d

