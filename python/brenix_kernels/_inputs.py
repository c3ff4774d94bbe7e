"""What the public functions are given, checked and taken apart: the kind of X, its arrays as the
native modules read them, group codes and row masks.

Both ways of computing use this module, the in-memory and file-streaming functions and
:mod:`brenix_kernels.dask`, so that a bad ``groups`` or ``mask`` fails with the same message
whichever way X comes. Nothing here computes a statistic, and nothing imports SciPy, pandas or
dask: an object of theirs cannot exist unless its library has been imported already.
"""

from __future__ import annotations

import math
import numbers
import os
import sys
import warnings
from dataclasses import dataclass
from typing import Any

import numpy as np

ACCEPTED = ("a 2-D NumPy array, a SciPy csr_matrix, csr_array, csc_matrix or csc_array, "
            "a dask array, an AnnData object, or an HDF5 or Zarr dataset")


# --- what X is -----------------------------------------------------------------------------------


@dataclass(frozen=True)
class _Kind:
    name: str  # "dense", "csr", "csc" or "dask"
    n_rows: int
    n_cols: int


def _type_name(obj: object) -> str:
    cls = type(obj)
    return f"{cls.__module__}.{cls.__qualname__}"


def _dask_array(obj: Any) -> bool:
    dask_array = sys.modules.get("dask.array")
    return dask_array is not None and isinstance(obj, dask_array.Array)


def _kind(X: Any, function: str) -> _Kind:
    """What X is, from its type and shape alone, its element types checked: nothing is converted
    yet."""
    if isinstance(X, np.ndarray):
        if X.ndim != 2:
            raise ValueError(f"{function}() takes a 2-D matrix, cells x genes; X has shape {X.shape}")
        _real_values(X.dtype)
        return _Kind("dense", int(X.shape[0]), int(X.shape[1]))
    sparse = sys.modules.get("scipy.sparse")
    if sparse is not None:
        for layout in ("csr", "csc"):
            classes = tuple(getattr(sparse, f"{layout}_{k}") for k in ("matrix", "array")
                            if hasattr(sparse, f"{layout}_{k}"))
            if isinstance(X, classes):
                if len(X.shape) != 2:
                    raise ValueError(f"{function}() takes a 2-D matrix; X has shape {X.shape}")
                _integer_entries(X.indptr, X.indices, X.data)
                return _Kind(layout, int(X.shape[0]), int(X.shape[1]))
        if sparse.issparse(X):
            raise TypeError(f"{function}() takes {ACCEPTED}, not {_type_name(X)} (SciPy's "
                            f"{X.format} format); convert it with X.tocsr()")
    if _dask_array(X):
        return _Kind("dask", -1, -1)
    raise TypeError(f"{function}() takes {ACCEPTED}, not {_type_name(X)}")


def _dask_sparse(X: Any) -> bool:
    """Whether a dask array's blocks are sparse matrices, as its meta says."""
    meta = getattr(X, "_meta", None)
    return getattr(meta, "format", None) is not None or type(meta).__module__.startswith("scipy.sparse")


# --- the arguments every path checks ------------------------------------------------------------
# Each rule is here once and called on every path (in memory, dask, files), before anything is
# read or computed; _core itself takes any value, as it always has.


def _real_number(value: Any, name: str, function: str) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{function}(): {name} must be a real number or None, not "
                        f"{_type_name(value)}")
    return float(value)


def _max_value(max_value: Any, function: str) -> float | None:
    """The clip of the scaled values. At or below 0 it would replace every value by itself or
    by its negative (a scaled matrix of one value), and NaN would make every value NaN."""
    if max_value is None:
        return None
    value = _real_number(max_value, "max_value", function)
    if not value > 0:  # NaN too
        raise ValueError(f"{function}(): max_value must be > 0 (the scaled values are clipped at "
                         f"max_value, and at -max_value when centred) or None not to clip; got "
                         f"{max_value!r}")
    return value


def _log_base(log_base: Any, function: str) -> float | None:
    """The base of the logarithm X was transformed with: the statistics divide by log(base),
    which is 0 for 1, NaN below 0 and infinite or NaN for a base that is not finite."""
    if log_base is None:
        return None
    value = _real_number(log_base, "log_base", function)
    if not (math.isfinite(value) and value > 0 and value != 1):
        raise ValueError(f"{function}(): log_base must be a finite number > 0 other than 1 (the "
                         f"base of the logarithm X was transformed with; None: natural), not "
                         f"{log_base!r}")
    return value


def _check_shape(function: str, n_rows: Any, n_cols: Any, *, genes: bool) -> None:
    """X must have cells: every statistic is over them, and none is defined over no cells. With
    ``genes``, it must have genes too (functions that fit or transform them; the per-gene
    statistics of no genes are empty). Sizes that are not known yet (NaN) pass."""
    if n_rows == 0:
        raise ValueError(f"{function}(): X has no cells (shape ({n_rows}, {n_cols})); the "
                         "statistics are over the cells (rows) and need at least one")
    if genes and n_cols == 0:
        raise ValueError(f"{function}(): X has no genes (shape ({n_rows}, {n_cols})); there is "
                         "nothing to compute for no genes (columns)")


def _no_genes(n_groups: int | None) -> tuple[np.ndarray, np.ndarray]:
    """The per-gene statistics of a matrix without genes: two empty float64 arrays, one row per
    group with groups (n_groups None without)."""
    shape = (0,) if n_groups is None else (n_groups, 0)
    return np.zeros(shape), np.zeros(shape)


# --- what the results say of X ------------------------------------------------------------------

# The largest gene mean hvg_seurat_stats takes for log-normalised data. Its means are
# log1p(mean(expm1(x))): for x = log1p(y) with each cell's y normalised to a total of S, every
# mean(y) is at most S, so every mean at most log1p(S), 13.8 for S = 1e6 (counts per million),
# the largest scale factor in use. Raw counts give far more: a count c in one of n cells alone
# gives a mean above c - log(n), and expm1 of a count of 710 or more is infinite. 20 leaves a
# margin of a factor of 400 in mean(y) above 1e6.
COUNTS_MEAN_BOUND = 20.0


def _warn_if_counts(means: np.ndarray, stacklevel: int = 1) -> None:
    """Warns when the means of hvg_seurat_stats say that X is most likely raw counts: from the
    results alone, one comparison per gene."""
    means = np.asarray(means)
    if not (means > COUNTS_MEAN_BOUND).any():  # NaN compares False; inf is above
        return
    top = float(np.nanmax(means))
    overflow = (" (expm1 of some value of X is infinite, as for any count of 710 or more)"
                if math.isinf(top) else "")
    warnings.warn(f"hvg_seurat_stats(): a gene's mean is {top:.4g}{overflow}, above "
                  f"{COUNTS_MEAN_BOUND:g}, which log-normalised data do not reach (data "
                  "normalised to 1e6 per cell and log1p-transformed stay below 13.8): X looks like "
                  "raw counts. Normalise each cell to a total (e.g. 1e4) and take log1p first; raw "
                  "counts are what variable_genes(method='vst') and vst_stats take.", UserWarning,
                  stacklevel=stacklevel + 1)


# --- groups and mask -----------------------------------------------------------------------------


def _categorical_codes(groups: Any) -> np.ndarray | None:
    """The codes of a pandas Categorical (or of a Series of one), or None for anything else."""
    pandas = sys.modules.get("pandas")
    if pandas is None:
        return None
    if isinstance(groups, pandas.Categorical):
        return np.asarray(groups.codes)
    if isinstance(groups, pandas.Series) and isinstance(groups.dtype, pandas.CategoricalDtype):
        return np.asarray(groups.cat.codes)
    return None


def _group_codes(groups: Any, n_rows: int, n_cols: int, *, lazy: bool = False) -> tuple[Any, int]:
    """The codes as the native module takes them (C-contiguous int64) and the number of groups.

    With ``lazy``, codes in a dask array stay in one (as int64): only their extremes are computed
    now, since the number of groups sizes the results. Either way the checks are these, and so are
    their messages.
    """
    if lazy and _dask_array(groups):
        codes = groups
    else:
        codes = _categorical_codes(groups)
        if codes is None:
            codes = np.asarray(groups)
    if codes.dtype.kind not in "iu":
        raise TypeError("groups must be integer codes (or a pandas Categorical), one per row: "
                        f"k >= 0 puts the row in group k, -1 leaves it out; got dtype "
                        f"{codes.dtype}")
    if codes.ndim != 1:
        raise ValueError(f"groups must be 1-D, one code per row; got shape {codes.shape}")
    if codes.shape[0] != n_rows:
        raise ValueError(f"groups has {codes.shape[0]} codes but X has {n_rows} rows")
    if codes.shape[0] == 0:
        return np.zeros(0, np.int64), 0
    low = codes.min() if codes.dtype.kind == "i" else 0
    high = codes.max()
    if not isinstance(codes, np.ndarray):  # both from one pass over the dask array
        import dask

        low, high = dask.compute(low, high)
    if low < -1:
        row = int(np.argmax(codes < -1))  # int() computes a dask array's
        raise ValueError(f"groups[{row}] is {int(codes[row])}: a code is a group number >= 0, or "
                         "-1 to leave the row out")
    high = int(high)
    if high > np.iinfo(np.int64).max - 1:
        row = int(np.argmax(codes == high))
        raise ValueError(f"groups[{row}] is {high}: too large a group number")
    n_groups = max(high + 1, 0)
    _check_group_memory(codes, high, n_groups, n_rows, n_cols)
    if not isinstance(codes, np.ndarray):
        return codes.astype(np.int64), n_groups
    return np.ascontiguousarray(codes, dtype=np.int64), n_groups


# What each group costs beside its rows, in bytes per column: the two float64 results, the
# group's running total (a float64 sum and sum of squares per column) and, when the rows come in
# blocks (dask, files), the open chunk the folds carry (two more per column); and, whatever the
# columns, the per-group counts, offsets and chunk plans of the grouped passes and folds.
GROUP_BYTES_PER_COLUMN = 2 * 8 + 2 * 8 + 2 * 8
GROUP_BYTES = 256
# Codes beyond the number of rows leave most groups empty: such a code is taken only while the
# memory its empty groups take stays below this.
SPARSE_GROUPS_BYTES = 1 << 30


def _physical_memory() -> int:
    try:
        return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (AttributeError, ValueError, OSError):
        return 16 << 30


def _check_group_memory(codes: Any, high: int, n_groups: int, n_rows: int, n_cols: int) -> None:
    """Refuses codes whose number of groups implies more memory than is sensible, before any
    per-group buffer is allocated: a stray huge code would otherwise ask for gigabytes and fail
    only once they ran out, or take the machine down first."""
    implied = n_groups * (GROUP_BYTES_PER_COLUMN * n_cols + GROUP_BYTES)
    memory = _physical_memory()
    if implied <= memory and (n_groups <= n_rows or implied <= SPARSE_GROUPS_BYTES):
        return
    limit = (f"this machine's {memory} bytes of memory" if implied > memory else
             f"{SPARSE_GROUPS_BYTES} bytes, the most taken for more groups than X has rows "
             f"({n_rows})")
    row = int(np.argmax(codes == high))  # int() computes a dask array's
    raise MemoryError(f"groups[{row}] is {high}: the results and per-group working memory of "
                      f"{n_groups} groups x {n_cols} genes ({implied} bytes) cannot be allocated: "
                      f"they would take more than {limit}")


def _row_mask(mask: Any, n_rows: int) -> np.ndarray:
    m = np.asarray(mask)
    if m.dtype != np.bool_:
        hint = ("; for row numbers, build one with np.isin(np.arange(n_rows), rows)"
                if m.dtype.kind in "iu" else "")
        raise TypeError(f"mask must be booleans, one per row; got dtype {m.dtype}{hint}")
    if m.ndim != 1 or m.shape[0] != n_rows:
        raise ValueError(f"mask must be 1-D with one value per row of X ({n_rows}); got shape "
                         f"{m.shape}")
    return np.ascontiguousarray(m)


# --- element types -------------------------------------------------------------------------------


def _real_values(dtype: Any, what: str = "X") -> None:
    """Values must be real numbers: a conversion to float64 would parse strings, turn None into NaN
    and drop imaginary parts with no more than a warning."""
    dtype = np.dtype(dtype)
    if dtype.kind in "biuf":
        return
    real = f"{what}.real" if what in ("X", "x") else "the real part"
    hint = f"; take {real} explicitly to drop the imaginary parts" if dtype.kind == "c" else ""
    raise TypeError(f"the values of {what} must be real numbers (bool, integer or floating), not "
                    f"{dtype}{hint}")


def _integer_entries(indptr: Any, indices: Any, data: Any, what: str = "X") -> None:
    """A sparse matrix's index and pointer arrays must hold integers, its values real numbers:
    floats would be truncated to positions without a word (SciPy itself refuses them). Takes the
    arrays' dtypes, or arrays."""
    for name, dtype in (("indptr", indptr), ("indices", indices)):
        dtype = np.dtype(getattr(dtype, "dtype", dtype))
        if dtype.kind not in "iu":
            raise TypeError(f"the {name} of {what} must be integers, not {dtype}")
    _real_values(getattr(data, "dtype", data), what)


# --- taking X apart ------------------------------------------------------------------------------


def _dense(X: np.ndarray, as_float64: bool = False) -> np.ndarray:
    """X as the native module reads it: 2-D, row-major, float32 or float64.

    A row-major float32 or float64 array is the input itself. Other real element types go through
    ``astype("float64")`` as in ``_core``, and other layouts are copied once, row-major.
    """
    if as_float64 or (X.dtype != np.float32 and X.dtype != np.float64):
        X = X.astype("float64")
    return np.ascontiguousarray(X)


@dataclass(frozen=True)
class _Sparse:
    layout: str
    indptr: np.ndarray
    indices: np.ndarray
    data: np.ndarray
    n_rows: int
    n_cols: int

    def args(self) -> tuple:
        return (self.layout, self.indptr, self.indices, self.data, self.n_rows, self.n_cols)


def _sparse(X: Any, kind: _Kind, as_float64: bool = False) -> _Sparse:
    """The stored entries of a CSR or CSC matrix: indices and data themselves, no copies.

    Only the row (or column) pointers are converted, to int64: they are one per row or column, a
    small array next to the entries. Index arrays of a width other than 32 or 64 bits, which
    SciPy does not make, are widened; values other than float32 and float64 are converted to
    float64, as dense input is.
    """
    indptr = np.ascontiguousarray(X.indptr, dtype=np.int64)
    # SciPy may keep spare room after the last entry; the stored entries are the first indptr[-1].
    nnz = int(indptr[-1]) if indptr.size else len(X.data)
    indices, data = (a if a.shape[0] == nnz else a[:nnz] for a in (X.indices, X.data))
    if indices.dtype != np.int32 and indices.dtype != np.int64:
        indices = indices.astype(np.int64)
    if as_float64 or (data.dtype != np.float32 and data.dtype != np.float64):
        data = data.astype(np.float64)
    return _Sparse(kind.name, indptr, np.ascontiguousarray(indices), np.ascontiguousarray(data),
                   kind.n_rows, kind.n_cols)


def _with_values(X: Any, parts: _Sparse, values: np.ndarray) -> Any:
    """A matrix of X's class and structure holding `values`.

    The structure is copied: SciPy edits index arrays in place (sort_indices, eliminate_zeros),
    and a shared one would change X's structure under its unchanged values.
    """
    indices = np.array(X.indices[: parts.data.size])
    indptr = X.indptr.copy()
    out = type(X)((values, indices, indptr), shape=X.shape, copy=False)
    out.indices, out.indptr = indices, indptr  # SciPy may widen them to one common index type
    return out
