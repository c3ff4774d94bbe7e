"""The functions users call: dense NumPy arrays, SciPy sparse matrices as they come, groups of rows.

Everything here is bookkeeping: the input is classified, checked and taken apart into the arrays the
native module ``brenix_kernels._arrays`` reads in place, and its results are put back together.
The arithmetic, and with it every bit of the results, is native and shares ``_core``'s kernels and
its one worker pool.

The checks run before anything is converted or computed, so that a bad ``groups`` or ``mask``
costs nothing and nothing is half done when it is reported.
"""

from __future__ import annotations

import math
import sys
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Literal, overload

import numpy as np
import numpy.typing as npt

from . import _arrays, _blocks, _stream
from ._blockwise import Sums

if TYPE_CHECKING:
    import dask.array as da
    import scipy.sparse as sp

    Matrix = np.ndarray | sp.csr_matrix | sp.csr_array | sp.csc_matrix | sp.csc_array | da.Array

__all__ = ["hvg_seurat_stats", "mean_var", "scale"]

_F64 = npt.NDArray[np.float64]

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


def _kind(X: Any, function: str) -> _Kind:
    """What X is, from its type and shape alone: nothing is converted yet."""
    if isinstance(X, np.ndarray):
        if X.ndim != 2:
            raise ValueError(f"{function}() takes a 2-D matrix, cells x genes; X has shape {X.shape}")
        return _Kind("dense", int(X.shape[0]), int(X.shape[1]))
    # Neither SciPy nor dask is imported here: an object of theirs cannot exist unless its
    # library has been imported already.
    sparse = sys.modules.get("scipy.sparse")
    if sparse is not None:
        for layout in ("csr", "csc"):
            classes = tuple(getattr(sparse, f"{layout}_{k}") for k in ("matrix", "array")
                            if hasattr(sparse, f"{layout}_{k}"))
            if isinstance(X, classes):
                if len(X.shape) != 2:
                    raise ValueError(f"{function}() takes a 2-D matrix; X has shape {X.shape}")
                return _Kind(layout, int(X.shape[0]), int(X.shape[1]))
        if sparse.issparse(X):
            raise TypeError(f"{function}() takes {ACCEPTED}, not {_type_name(X)} (SciPy's "
                            f"{X.format} format); convert it with X.tocsr()")
    dask_array = sys.modules.get("dask.array")
    if dask_array is not None and isinstance(X, dask_array.Array):
        return _Kind("dask", -1, -1)
    raise TypeError(f"{function}() takes {ACCEPTED}, not {_type_name(X)}")


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


def _group_codes(groups: Any, n_rows: int, n_cols: int) -> tuple[np.ndarray, int]:
    """The codes as the native module takes them (C-contiguous int64) and the number of groups."""
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
    if codes.size == 0:
        return np.zeros(0, np.int64), 0
    if codes.dtype.kind == "i" and codes.min() < -1:
        row = int(np.argmax(codes < -1))
        raise ValueError(f"groups[{row}] is {codes[row]}: a code is a group number >= 0, or -1 "
                         "to leave the row out")
    high = int(codes.max())
    if high > np.iinfo(np.int64).max - 1:
        row = int(np.argmax(codes == high))
        raise ValueError(f"groups[{row}] is {high}: too large a group number")
    n_groups = max(high + 1, 0)
    # Two float64 results of (n_groups, n_cols): a stray huge code must fail as the allocation it
    # asks for, not overflow a size on the native side.
    if 2 * 8 * n_groups * n_cols > sys.maxsize:
        raise MemoryError(f"groups has a code of {high}: the results of {n_groups} groups x "
                          f"{n_cols} genes cannot be allocated")
    return np.ascontiguousarray(codes, dtype=np.int64), n_groups


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


# --- taking X apart ------------------------------------------------------------------------------


def _dense(X: np.ndarray, as_float64: bool = False) -> np.ndarray:
    """X as the native module reads it: 2-D, row-major, float32 or float64.

    A row-major float32 or float64 array is the input itself. Other element types go through
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


# --- dask ----------------------------------------------------------------------------------------


def _dask_sparse(X: Any) -> bool:
    meta = getattr(X, "_meta", None)
    return getattr(meta, "format", None) is not None or type(meta).__module__.startswith("scipy.sparse")


def _all_rows(X: Any) -> np.ndarray | None:
    """For CSR blocks, one group code per row putting every row in group 0; else None.

    The dask module's ungrouped passes take the stored entries as _core does, an entry stored
    twice included, but the in-memory functions refuse one (expm1 of a sum is not the sum of the
    expm1s, nor a square the sum of the squares). Their ungrouped pass is the grouped pass of one
    group holding every row, so the dask module's grouped pass of that group gives their bits,
    and their errors, in about a fifth more time."""
    n_rows = X.shape[0] if X.ndim == 2 else 0  # the dask module refuses other shapes itself
    if not _dask_sparse(X) or math.isnan(n_rows) or n_rows == 0:
        return None
    return np.zeros(n_rows, np.int64)


def _dask_stats(function: Any, X: Any, groups: Any, **options: Any) -> tuple[Any, Any]:
    every = _all_rows(X) if groups is None else None
    if every is None:
        return function(X, groups=groups, **options)
    first, second = function(X, groups=every, **options)
    return first[0], second[0]


# --- AnnData objects and matrices in files ------------------------------------------------------


def _unwrap(X: Any, layer: str | None, groups: Any, function: str) -> tuple[Any, Any]:
    """The matrix an AnnData object holds (X or a layer), and groups named by an obs column."""
    if _stream.is_anndata(X):
        return _stream.anndata_matrix(X, layer, function), _stream.anndata_groups(X, groups)
    if layer is not None:
        raise TypeError(f"{function}(): layer= names a layer of an AnnData object, and X is "
                        f"{_type_name(X)}")
    return X, groups


def _stream_codes(groups: Any, src: _stream.Source) -> tuple[np.ndarray | None, int | None]:
    if groups is None:
        return None, None
    return _group_codes(groups, src.n_rows, src.n_cols)


def _check_out(out: Any, shape: tuple[int, ...], dtype: np.dtype, what: str) -> None:
    if out is None:
        raise ValueError(f"scale() of a matrix read from a file writes {what} to out=, an array "
                         f"of shape {shape} and dtype {dtype} (a NumPy memmap, a Zarr array or an "
                         "HDF5 dataset), rather than loading it all into memory")
    if tuple(out.shape) != shape or np.dtype(out.dtype) != dtype:
        raise ValueError(f"out= must have shape {shape} and dtype {dtype} ({what}); it has shape "
                         f"{tuple(out.shape)} and dtype {np.dtype(out.dtype)}")


def _write(out: Any, first: int, last: int, values: np.ndarray, src: _stream.Source) -> None:
    try:
        out[first:last] = values
    except (KeyboardInterrupt, SystemExit, MemoryError):
        raise
    except Exception as error:
        raise OSError(f"cannot write rows of the scaled {src.name} to out=: {error}") from error


def _stream_scale(src: _stream.Source, zero_center, max_value, promote, mask, return_mean_std,
                  out, block_bytes, progress):
    from ._blockwise import csr_arrays, native

    rows = None if mask is None else _row_mask(mask, src.n_rows)
    as_float64 = bool(promote) and src.dtype == np.float32
    first = _stream.Pass(src, block_bytes, progress, "scale: statistics")
    second = _stream.Pass(src, block_bytes, progress, "scale: writing")
    if not src.sparse or zero_center:
        dtype = np.dtype(np.float32 if _stream._values(src.dtype, as_float64) == np.float32
                         else np.float64)
        _check_out(out, (src.n_rows, src.n_cols), dtype, "the scaled matrix")
        mean, std = first.run(Sums(False, False), as_float64=as_float64, densify=src.sparse,
                              rows=rows)

        def write(start, stop, block):
            scaled = native(_blocks.scale_dense, block, mean, std, zero_center=bool(zero_center),
                            max_value=max_value, mask=None if rows is None else rows[start:stop])
            _write(out, start, stop, scaled, src)

        second.run(None, as_float64=as_float64, densify=src.sparse, write=write)
    else:
        nnz = int(src.indptr[-1])
        dtype = np.dtype(np.float32 if src.dtype == np.float32 and not promote else np.float64)
        _check_out(out, (nnz,), dtype, "the scaled values of the stored entries, in storage order "
                   "(the structure is the input's)")
        mean, std = first.run(Sums(True, False, square_f64=bool(promote)), rows=rows)

        def write(start, stop, block):
            values = native(_blocks.scale_sparse_values, *csr_arrays(block), std,
                            max_value=max_value, promote=bool(promote),
                            mask=None if rows is None else rows[start:stop])
            _write(out, int(src.indptr[start]), int(src.indptr[stop]), values, src)

        second.run(None, write=write)
    return (out, mean, std) if return_mean_std else out


# --- the public functions ------------------------------------------------------------------------


def hvg_seurat_stats(X: Matrix, *, log_base: float | None = None, square_f64: bool = False,
                     groups: npt.ArrayLike | str | None = None, layer: str | None = None,
                     block_bytes: int | None = None, progress: bool = False) -> tuple[_F64, _F64]:
    """Per-gene Seurat statistics ``(means, dispersions)`` of a log1p-transformed matrix.

    ``means = log1p(mean(expm1(x)))`` and ``dispersions = log(var(expm1(x)) / mean(expm1(x)))``
    over the cells (rows) of X, as float64 arrays of one value per gene; a mean of exactly 0 is
    taken as 1e-12 and a ratio of exactly 0 gives NaN. ``log_base`` is the base of the logarithm
    X was transformed with (None: natural).

    X is one of:

    - a 2-D NumPy array: the results of ``_core.hvg_seurat_stats(X)``. A row-major float32 or
      float64 array is read in place; float32 stays float32 (expm1 and the squares are taken in
      single precision). Other layouts are copied row-major, other element types converted to
      float64.
    - a SciPy ``csr_matrix``, ``csr_array``, ``csc_matrix`` or ``csc_array`` with int32 or int64
      indices, read in place: the results of ``_core.hvg_seurat_stats_sparse`` on the CSR
      entries in storage order (for CSC: those of ``X.tocsr()`` with sorted indices). Unsorted
      indices are fine; duplicate entries raise ``ValueError`` (call ``X.sum_duplicates()``:
      expm1 of a sum is not the sum of the expm1s).
    - a dask array: :func:`brenix_kernels.dask.hvg_seurat_stats` (lazy results, the same bits
      and errors, duplicates in CSR blocks included; ``groups`` may also be a dask array chunked
      like X's rows).

    ``square_f64`` squares float32 values of a sparse matrix after widening them to float64, as
    ``_core.hvg_seurat_stats_sparse`` does. Float64 values are squared in float64 anyway, so it
    changes nothing for them; a dense float32 matrix has no such path and raises ``ValueError``.

    ``groups``: one integer code per row, or a pandas Categorical (its codes). Code k >= 0 puts
    the row in group k, -1 leaves it out. The results are then 2-D, ``(n_groups, n_genes)`` with
    ``n_groups = max(code) + 1``, and row k is bit for bit the ungrouped result of
    ``X[groups == k]`` (all NaN for an empty group), all from one pass over X.

    AnnData objects and matrices in files:

    - An ``anndata.AnnData`` object: its X, or the layer named by ``layer=``, is taken as X; the
      object is not changed. ``groups`` may then name a column of its ``obs``.
    - A matrix in a file is read in row blocks and never loaded whole: the X of a backed AnnData
      (``anndata.read_h5ad(path, backed="r")``), an HDF5 (h5py) or Zarr dataset holding a dense
      matrix, or anndata's sparse dataset of a CSR matrix (``anndata.io.sparse_dataset(group)``,
      the group of an ``.h5ad`` or ``.zarr`` file). A block takes about ``block_bytes`` of memory
      (default 256 MiB) with its conversions; the results are those of the matrix loaded and
      given as X, bit for bit, for any block size. ``progress=True`` shows the rows read with
      tqdm, if installed. A file that cannot be read raises ``OSError`` naming it and the rows.
    """
    X, groups = _unwrap(X, layer, groups, "hvg_seurat_stats")
    src = _stream.source(X, "hvg_seurat_stats")
    if src is not None:
        if square_f64 and not src.sparse:
            _check_dense_square_f64(src.dtype)
        sums = Sums(src.sparse, True, log_base, bool(square_f64) and src.sparse)
        codes, n_groups = _stream_codes(groups, src)
        return _stream.Pass(src, block_bytes, progress, "hvg_seurat_stats").run(
            sums, codes=codes, n_groups=n_groups)
    kind = _kind(X, "hvg_seurat_stats")
    if kind.name == "dask":
        from . import dask as bd

        if square_f64 and not _dask_sparse(X):
            _check_dense_square_f64(X.dtype)
            square_f64 = False
        return _dask_stats(bd.hvg_seurat_stats, X, groups, log_base=log_base,
                           square_f64=bool(square_f64))
    codes, n_groups = (None, 0) if groups is None else _group_codes(groups, kind.n_rows, kind.n_cols)
    if kind.name == "dense":
        if square_f64:
            _check_dense_square_f64(X.dtype)
        return _arrays.hvg_seurat_stats(_dense(X), log_base, codes, n_groups)
    return _arrays.hvg_seurat_stats_sparse(*_sparse(X, kind).args(), log_base, bool(square_f64),
                                           codes, n_groups)


def _check_dense_square_f64(dtype: np.dtype) -> None:
    if dtype == np.float32:
        raise ValueError("square_f64 applies to sparse float32 values: a dense float32 matrix is "
                         "squared in float32, as _core.hvg_seurat_stats does (X.astype(np.float64) "
                         "takes expm1 and the squares in float64)")


def mean_var(X: Matrix, *, square_f64: bool = False, groups: npt.ArrayLike | str | None = None,
             layer: str | None = None, block_bytes: int | None = None,
             progress: bool = False) -> tuple[_F64, _F64]:
    """Per-gene ``(means, variances)`` of X's rows, as float64 arrays of one value per gene.

    Variances carry the n/(n-1) correction (none for n = 1) and are not zero-replaced. The bits
    are those of the moments ``scale`` computes for the same input:

    - dense X (2-D NumPy array, read in place when row-major float32 or float64): those of
      ``_core.scale(X)``; ``np.sqrt(variances)`` is its std wherever that std is not the 1.0 that
      replaces a zero;
    - CSR or CSC (int32 or int64 indices, read in place): those of ``_core.scale_sparse_data`` on
      the CSR entries (for CSC: of ``X.tocsr()`` with sorted indices). Implicit zeros count as
      observations; duplicate entries raise ``ValueError`` (call ``X.sum_duplicates()``).

    ``square_f64`` squares float32 values in float64: the results are then those of
    ``X.astype(np.float64)``, computed without that copy (for float64 X it changes nothing).

    ``groups``: as in :func:`hvg_seurat_stats`; results become ``(n_groups, n_genes)``, row k
    that of ``X[groups == k]`` (NaN for an empty group).

    A dask array goes to :func:`brenix_kernels.dask.mean_var` (lazy results, the same bits and
    errors).
    AnnData objects and matrices in files (``layer``, ``block_bytes``, ``progress``): as in
    :func:`hvg_seurat_stats`.
    """
    X, groups = _unwrap(X, layer, groups, "mean_var")
    src = _stream.source(X, "mean_var")
    if src is not None:
        codes, n_groups = _stream_codes(groups, src)
        sums = Sums(src.sparse, False, square_f64=bool(square_f64), statistic="mean_var")
        return _stream.Pass(src, block_bytes, progress, "mean_var").run(sums, codes=codes,
                                                                        n_groups=n_groups)
    kind = _kind(X, "mean_var")
    if kind.name == "dask":
        from . import dask as bd

        return _dask_stats(bd.mean_var, X, groups, square_f64=bool(square_f64))
    codes, n_groups = (None, 0) if groups is None else _group_codes(groups, kind.n_rows, kind.n_cols)
    if kind.name == "dense":
        return _arrays.mean_var(_dense(X), bool(square_f64), codes, n_groups)
    return _arrays.mean_var_sparse(*_sparse(X, kind).args(), bool(square_f64), codes, n_groups)


@overload
def scale(X: Matrix, *, zero_center: bool = True, max_value: float | None = None,
          promote: bool = False, mask: npt.ArrayLike | None = None,
          return_mean_std: Literal[False] = False, layer: str | None = None, out: Any = None,
          block_bytes: int | None = None, progress: bool = False) -> Any: ...
@overload
def scale(X: Matrix, *, zero_center: bool = True, max_value: float | None = None,
          promote: bool = False, mask: npt.ArrayLike | None = None,
          return_mean_std: Literal[True], layer: str | None = None, out: Any = None,
          block_bytes: int | None = None, progress: bool = False) -> tuple[Any, _F64, _F64]: ...
def scale(X, *, zero_center=True, max_value=None, promote=False, mask=None,
          return_mean_std=False, layer=None, out=None, block_bytes=None, progress=False):
    """Each gene (column) of X divided by its standard deviation over the cells, centred first
    when ``zero_center``; returns the scaled matrix, or ``(scaled, mean, std)`` with
    ``return_mean_std`` (float64 vectors; a std of exactly 0 is taken as 1.0).

    ``max_value`` clips the scaled values from above and, when centring, at ``-max_value`` from
    below.

    - A 2-D NumPy array gives ``_core.scale(X, ...)``: a new array, float32 for float32 input and
      float64 otherwise. A row-major float32 or float64 array is read in place.
    - A CSR or CSC matrix (int32 or int64 indices, read in place) with ``zero_center`` gives the
      dense matrix ``_core.scale(X.toarray(), ...)`` would, without forming ``X.toarray()``.
    - Without ``zero_center`` it gives a sparse matrix of X's class and structure (a copy of it)
      whose values are those of ``_core.scale_sparse_data`` on the CSR entries: upper clipping
      only, zeros stay zeros. Duplicate entries raise ``ValueError`` (call
      ``X.sum_duplicates()``).
    - A dask array goes to :func:`brenix_kernels.dask.scale` (dense blocks, and CSR blocks with
      ``zero_center``: the dense result above) or, for CSR blocks without ``zero_center``, to
      :func:`brenix_kernels.dask.scale_sparse`; ``mask`` with either.

    ``promote`` with float32 X computes as if X were ``X.astype(np.float64)``: float64 squares and
    a float64 result. That is ``_core.scale_sparse_data``'s ``promote``, and what it means for
    the dense and centred paths too, where it costs a float64 copy of the values (dense X, or
    the stored values of a sparse one). It changes nothing for other X.

    ``mask``: one boolean per row. The statistics come from the rows where it is True, which are
    scaled as ``scale(X[mask])`` would scale them; the other rows come back unscaled, in the
    result's dtype.

    AnnData objects and matrices in files (``layer``, ``block_bytes``, ``progress``): as in
    :func:`hvg_seurat_stats`. A matrix in a file is read twice, for the statistics and then to
    write the scaled rows into ``out=``, which is then returned: dense X or ``zero_center`` give
    an array of X's shape, in the dtype above; CSR X without ``zero_center`` gives the scaled
    values of the stored entries, a 1-D array of one per entry in storage order (the result's
    structure is X's: its indptr and indices).
    """
    X, _ = _unwrap(X, layer, None, "scale")
    src = _stream.source(X, "scale")
    if src is not None:
        return _stream_scale(src, zero_center, max_value, promote, mask, return_mean_std, out,
                             block_bytes, progress)
    if out is not None:
        raise TypeError("scale(): out= is where the scaled rows of a matrix read from a file go; "
                        f"for {_type_name(X)} the result is a new array")
    kind = _kind(X, "scale")
    if kind.name == "dask":
        return _dask_scale(X, zero_center, max_value, promote, mask, return_mean_std)
    rows = None if mask is None else _row_mask(mask, kind.n_rows)
    if kind.name == "dense":
        result, mean, std = _arrays.scale(_dense(X, promote and X.dtype == np.float32),
                                          bool(zero_center), max_value, rows)
    elif zero_center:
        parts = _sparse(X, kind, promote and X.dtype == np.float32)
        result, mean, std = _arrays.scale_sparse_to_dense(*parts.args(), max_value, rows)
    else:
        parts = _sparse(X, kind)
        values, mean, std = _arrays.scale_sparse(*parts.args(), max_value, bool(promote), rows)
        result = _with_values(X, parts, values)
    return (result, mean, std) if return_mean_std else result


def _dask_scale(X, zero_center, max_value, promote, mask, return_mean_std):
    from . import dask as bd

    if _dask_sparse(X) and not zero_center:
        every = _all_rows(X) if mask is None else None
        if every is not None:
            mask = every == 0  # every row checked, as one group: see _all_rows
        scaled, mean, std = bd.scale_sparse(X, max_value=max_value, promote=bool(promote),
                                            mask=mask)
        return (scaled, mean, std) if return_mean_std else scaled
    if promote and X.dtype == np.float32:
        X = X.astype(np.float64)
    return bd.scale(X, zero_center=bool(zero_center), max_value=max_value,
                    return_mean_std=bool(return_mean_std), mask=mask)
