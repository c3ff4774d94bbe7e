"""The functions users call: dense NumPy arrays, SciPy sparse matrices as they come, groups of rows.

Everything here is bookkeeping. ``_route`` sends X, for all three functions alike, to the module
that reads it: a matrix in a file to ``_stream``, a dask array to :mod:`brenix_kernels.dask`. A
matrix in memory is classified, checked and taken apart (by ``_inputs``) into the arrays the
native module ``brenix_kernels._arrays`` reads in place, and its results are put back together.
The arithmetic, and with it every bit of the results, is native and shares ``_core``'s kernels and
its one worker pool.

The checks run before anything is converted or computed, so that a bad ``groups`` or ``mask``
costs nothing and nothing is half done when it is reported.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Literal, overload

import numpy as np
import numpy.typing as npt

from . import _arrays, _stream, _vst
from ._folds import Sums
from ._inputs import (_dask_sparse, _dense, _group_codes, _kind, _row_mask, _sparse, _type_name,
                      _with_values)

if TYPE_CHECKING:
    import dask.array as da
    import scipy.sparse as sp

    Matrix = np.ndarray | sp.csr_matrix | sp.csr_array | sp.csc_matrix | sp.csc_array | da.Array

__all__ = ["hvg_seurat_stats", "mean_var", "scale", "vst_stats"]

_F64 = npt.NDArray[np.float64]


# --- where X goes --------------------------------------------------------------------------------


def _route(function: str, X: Any, layer: str | None, groups: Any, streamed, on_dask, in_memory,
           out: Any = None):
    """The one way every public function takes X.

    An AnnData object stands for its matrix (X or a layer), and ``groups`` naming a column of its
    obs for that column. A matrix in a file goes to ``streamed(src, groups)``; then ``out=``,
    which only such a matrix takes, is refused; a dask array goes to ``on_dask(X, groups)``;
    anything else is in memory and goes to ``in_memory(X, kind, codes, n_groups)``, its groups
    checked first (``None, 0`` without).
    """
    X, groups = _unwrap(X, layer, groups, function)
    src = _stream.source(X, function)
    if src is not None:
        return streamed(src, groups)
    if out is not None:
        raise TypeError(f"{function}(): out= is where the scaled rows of a matrix read from a "
                        f"file go; for {_type_name(X)} the result is a new array")
    kind = _kind(X, function)
    if kind.name == "dask":
        return on_dask(X, groups)
    codes, n_groups = (None, 0) if groups is None else _group_codes(groups, kind.n_rows, kind.n_cols)
    return in_memory(X, kind, codes, n_groups)


def _unwrap(X: Any, layer: str | None, groups: Any, function: str) -> tuple[Any, Any]:
    """The matrix an AnnData object holds (X or a layer), and groups named by an obs column."""
    if _stream.is_anndata(X):
        return _stream.anndata_matrix(X, layer, function), _stream.anndata_groups(X, groups)
    if layer is not None:
        raise TypeError(f"{function}(): layer= names a layer of an AnnData object, and X is "
                        f"{_type_name(X)}")
    return X, groups


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
      single precision). Other layouts are copied row-major, bool and integer elements converted
      to float64; complex, string and object arrays raise ``TypeError``, as do index or pointer
      arrays of a sparse X that are not integers.
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
    def streamed(src, groups):
        if square_f64 and not src.sparse:
            _check_dense_square_f64(src.dtype)
        sums = Sums(sparse=src.sparse, expm1=True, log_base=log_base,
                    square_f64=bool(square_f64) and src.sparse)
        return _stream.statistics(src, sums, groups, block_bytes, progress, "hvg_seurat_stats")

    def on_dask(X, groups):
        from . import dask as bd

        squared = bool(square_f64)
        if squared and not _dask_sparse(X):  # dense blocks take no square_f64 at all
            _check_dense_square_f64(X.dtype)
            squared = False
        return bd.hvg_seurat_stats(X, log_base=log_base, square_f64=squared, groups=groups)

    def in_memory(X, kind, codes, n_groups):
        if kind.name == "dense":
            if square_f64:
                _check_dense_square_f64(X.dtype)
            return _arrays.hvg_seurat_stats(_dense(X), log_base, codes, n_groups)
        return _arrays.hvg_seurat_stats_sparse(*_sparse(X, kind).args(), log_base,
                                               bool(square_f64), codes, n_groups)

    return _route("hvg_seurat_stats", X, layer, groups, streamed, on_dask, in_memory)


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
    def streamed(src, groups):
        sums = Sums(sparse=src.sparse, expm1=False, square_f64=bool(square_f64),
                    statistic="mean_var")
        return _stream.statistics(src, sums, groups, block_bytes, progress, "mean_var")

    def on_dask(X, groups):
        from . import dask as bd

        return bd.mean_var(X, square_f64=bool(square_f64), groups=groups)

    def in_memory(X, kind, codes, n_groups):
        if kind.name == "dense":
            return _arrays.mean_var(_dense(X), bool(square_f64), codes, n_groups)
        return _arrays.mean_var_sparse(*_sparse(X, kind).args(), bool(square_f64), codes, n_groups)

    return _route("mean_var", X, layer, groups, streamed, on_dask, in_memory)


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
    def streamed(src, _):
        return _stream.scale(src, zero_center, max_value, promote, mask, return_mean_std, out,
                             block_bytes, progress)

    def on_dask(X, _):
        from . import dask as bd

        if _dask_sparse(X) and not zero_center:
            scaled, mean, std = bd.scale_sparse(X, max_value=max_value, promote=bool(promote),
                                                mask=mask)
            return (scaled, mean, std) if return_mean_std else scaled
        if promote and X.dtype == np.float32:
            X = X.astype(np.float64)
        return bd.scale(X, zero_center=bool(zero_center), max_value=max_value,
                        return_mean_std=bool(return_mean_std), mask=mask)

    def in_memory(X, kind, _codes, _n_groups):
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

    return _route("scale", X, layer, None, streamed, on_dask, in_memory, out=out)


def vst_stats(X: Matrix, *, span: float = 0.3, clip_max: float | None = None,
              groups: npt.ArrayLike | str | None = None, layer: str | None = None,
              block_bytes: int | None = None,
              progress: bool = False) -> tuple[_F64, _F64, _F64, _F64]:
    """Per-gene statistics of the variance-stabilising selection of variable genes, from raw
    counts: ``(means, variances, variances_expected, variances_standardized)``.

    X holds counts (cells in rows, genes in columns), of any real dtype: integer and float32
    counts are taken as float64, exactly, so they give the bits float64 counts give. For each
    gene, over the n cells:

    - ``means``: the bits of :func:`mean_var`'s means of X (of ``X.astype(np.float64)``);
    - ``variances``: about the mean, ``(sum((x - mean)**2 over the stored values) + mean**2 *
      (n - stored)) / (n - 1)``, a second pass over X (every value of a dense X is stored; the
      implicit zeros of a sparse one each add ``mean**2``);
    - ``variances_expected``: ``10 **`` the loess fit of ``log10(variances)`` on
      ``log10(means)`` over the genes whose variance is > 0 (scikit-misc's loess: degree 2,
      gaussian family, surface "interpolate", statistics "approximate", cell 0.2, the given
      ``span``); 0 for the other genes;
    - ``variances_standardized``: ``sum(min((x - mean) / sd, clip_max)**2) / (n - 1)`` over all
      cells with ``sd = sqrt(variances_expected)``, the implicit zeros each adding
      ``((0 - mean) / sd)**2`` (clipped from above only, so never); 0 where the expected
      variance is 0. ``clip_max=None`` clips at ``sqrt(n)``.

    The two passes about the mean run natively, in float64, in the chunks and order of
    :func:`mean_var`'s sums (2048-row chunks of a dense X; 1,000,000 stored entries of a sparse
    one, in CSR order, so a CSC matrix gives the bits of its CSR form): the results do not
    depend on the number of threads.

    ``groups``: as in :func:`hvg_seurat_stats`; the results are then ``(n_groups, n_genes)``,
    row k bit for bit that of ``X[groups == k]``, from one pass over X per pass; each group is
    fitted on its own and clipped at the square root of its own cell count.

    X is anything :func:`mean_var` takes: NumPy arrays, SciPy CSR or CSC matrices (read in
    place), dask arrays (each pass one graph, computed), AnnData objects (``layer``) and
    matrices in files (read twice in row blocks: ``block_bytes``, ``progress``).

    Raises ``ValueError`` for values that are negative or not finite (counts are expected),
    fewer than 2 cells (in a group), a ``span`` outside (0, 1], a ``clip_max`` that is not
    > 0, and too few genes with a variance > 0 for the fit (``span`` times their number must
    be at least 6).
    """
    function = "vst_stats"
    opts = _vst.options(span, clip_max, function)

    def in_memory(X, kind, codes, n_groups):
        n = _cells(codes, n_groups, kind.n_rows)
        if kind.name == "dense":
            x = _dense(X)

            def means():
                return _arrays.mean_var(x, True, codes, n_groups)[0]

            def deviations(mean, sd, clip):
                return _arrays.deviation_sums(x, *_deviation_args(mean, sd, clip, n), codes,
                                              n_groups)
        else:
            parts = _sparse(X, kind)

            def means():
                return _arrays.mean_var_sparse(*parts.args(), True, codes, n_groups)[0]

            def deviations(mean, sd, clip):
                return _arrays.deviation_sums_sparse(*parts.args(),
                                                     *_deviation_args(mean, sd, clip, n), codes,
                                                     n_groups)
        return _vst.compute((means, deviations), n, opts, codes is not None, function)

    def streamed(src, groups):
        codes, n_groups = (None, None) if groups is None else _group_codes(groups, src.n_rows,
                                                                          src.n_cols)
        n = _cells(codes, n_groups or 0, src.n_rows)
        read = _stream.Pass(src, block_bytes, progress, function)

        def means():
            sums = Sums(sparse=src.sparse, expm1=False, square_f64=True, statistic="mean_var")
            return read.run(sums, codes=codes, n_groups=n_groups)[0]

        def deviations(mean, sd, clip):
            sums = Sums(sparse=src.sparse, expm1=False, deviations=(mean, sd, clip))
            return read.run(sums, codes=codes, n_groups=n_groups)

        return _vst.compute((means, deviations), n, opts, codes is not None, function)

    def on_dask(X, groups):
        from . import dask as bd

        return bd.vst_stats(X, span=span, clip_max=clip_max, groups=groups)

    return _route(function, X, layer, groups, streamed, on_dask, in_memory)


def _cells(codes, n_groups: int, n_rows: int) -> np.ndarray:
    """The cells of each group (of X without groups)."""
    if codes is None:
        return np.array([n_rows], np.int64)
    return np.bincount(codes[codes >= 0], minlength=n_groups).astype(np.int64)


def _deviation_args(mean, sd, clip, n):
    """mean, sd and a clip per group as the native passes take them (flat, C-contiguous)."""
    mean = np.ascontiguousarray(mean, dtype=np.float64).reshape(-1)
    if sd is None:
        return mean, None, None
    sd = np.ascontiguousarray(sd, dtype=np.float64).reshape(-1)
    return mean, sd, np.ascontiguousarray(np.broadcast_to(clip, (len(n),)), dtype=np.float64)
